#include "controls.h"

#include <cctype>
#include <cstring>
#include <iterator>
#include <sys/ioctl.h>

#include <linux/videodev2.h>

namespace velcap {

namespace {

struct NamedControl {
    const char* name;
    uint32_t id;
};
constexpr NamedControl kNamedControls[] = {
    {"brightness", V4L2_CID_BRIGHTNESS},
    {"contrast", V4L2_CID_CONTRAST},
    {"saturation", V4L2_CID_SATURATION},
    {"hue", V4L2_CID_HUE},
    {"gain", V4L2_CID_GAIN},
    {"gamma", V4L2_CID_GAMMA},
    {"sharpness", V4L2_CID_SHARPNESS},
    {"backlight_compensation", V4L2_CID_BACKLIGHT_COMPENSATION},
    {"power_line_frequency", V4L2_CID_POWER_LINE_FREQUENCY},
    {"white_balance_automatic", V4L2_CID_AUTO_WHITE_BALANCE},
    {"white_balance_temperature", V4L2_CID_WHITE_BALANCE_TEMPERATURE},
    {"auto_exposure", V4L2_CID_EXPOSURE_AUTO},
    {"exposure_time_absolute", V4L2_CID_EXPOSURE_ABSOLUTE},
    {"focus_automatic_continuous", V4L2_CID_FOCUS_AUTO},
    {"focus_absolute", V4L2_CID_FOCUS_ABSOLUTE},
    {"zoom_absolute", V4L2_CID_ZOOM_ABSOLUTE},
};
// Names that earlier versions gave, still taken (profiles keep them).
constexpr NamedControl kAliases[] = {
    {"focus_auto", V4L2_CID_FOCUS_AUTO},
};

// Controls that hold a number a user sets: not classes, buttons or strings.
bool settable(const v4l2_queryctrl& query) {
    return !(query.flags & V4L2_CTRL_FLAG_DISABLED) &&
           (query.type == V4L2_CTRL_TYPE_INTEGER || query.type == V4L2_CTRL_TYPE_BOOLEAN ||
            query.type == V4L2_CTRL_TYPE_MENU || query.type == V4L2_CTRL_TYPE_INTEGER_MENU);
}

// Every settable control of the camera, in the driver's order.
std::vector<v4l2_queryctrl> enumerate(int fd) {
    std::vector<v4l2_queryctrl> found;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    // A driver that loops is stopped by the bound.
    for (int i = 0; fd >= 0 && i < 1024 && ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0; ++i) {
        if (settable(query)) found.push_back(query);
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return found;
}

std::string labelOf(const v4l2_queryctrl& query) {
    return controlNameOf(std::string(reinterpret_cast<const char*>(query.name),
                                     strnlen(reinterpret_cast<const char*>(query.name), sizeof(query.name))));
}

bool describe(int fd, unsigned id, v4l2_queryctrl& query) {
    query = v4l2_queryctrl{};
    query.id = id;
    return fd >= 0 && ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0 && !(query.flags & V4L2_CTRL_FLAG_DISABLED);
}

} // namespace

const char* namedControlName(int index) {
    return index >= 0 && index < int(std::size(kNamedControls)) ? kNamedControls[index].name : nullptr;
}

unsigned namedControlId(const char* name) {
    if (!name) return 0;
    for (const NamedControl& c : kNamedControls)
        if (std::strcmp(c.name, name) == 0) return c.id;
    for (const NamedControl& c : kAliases)
        if (std::strcmp(c.name, name) == 0) return c.id;
    return 0;
}

std::string controlNameOf(const std::string& label) {
    std::string name;
    for (const char c : label) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += char(std::tolower(static_cast<unsigned char>(c)));
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name;
}

unsigned controlId(int fd, const std::string& name) {
    if (const unsigned id = namedControlId(name.c_str())) return id;
    for (const v4l2_queryctrl& query : enumerate(fd))
        if (labelOf(query) == name) return query.id;
    return 0;
}

const char* nameOfControl(unsigned id) {
    for (const NamedControl& c : kNamedControls)
        if (c.id == id) return c.name;
    return nullptr;
}

Status readControl(int fd, unsigned id, Control& out) {
    v4l2_queryctrl query{};
    if (!describe(fd, id, query)) return Status::NoControl;
    v4l2_control control{};
    control.id = id;
    if (ioctl(fd, VIDIOC_G_CTRL, &control) != 0) return Status::ControlFailed;
    out.id = id;
    const char* known = nameOfControl(id);
    out.name = known ? known : labelOf(query);
    out.minimum = query.minimum;
    out.maximum = query.maximum;
    out.step = query.step;
    out.defaultValue = query.default_value;
    out.value = control.value;
    return Status::Ok;
}

Status writeControl(int fd, unsigned id, int value) {
    v4l2_queryctrl query{};
    if (!describe(fd, id, query)) return Status::NoControl;
    if (value < query.minimum || value > query.maximum) return Status::OutOfRange;
    v4l2_control control{};
    control.id = id;
    control.value = value;
    return ioctl(fd, VIDIOC_S_CTRL, &control) == 0 ? Status::Ok : Status::ControlFailed;
}

std::vector<Control> readControls(int fd) {
    std::vector<Control> controls;
    for (const v4l2_queryctrl& query : enumerate(fd)) {
        Control control;
        if (readControl(fd, query.id, control) == Status::Ok) controls.push_back(std::move(control));
    }
    return controls;
}

} // namespace velcap
