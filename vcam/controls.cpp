// The control requests of the virtual camera, with the semantics of the
// kernel's control framework: classes, menus, flags, rounding to the step,
// and extended controls with their error index.
#include "controls.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vcam {

namespace {

const char* const kPowerLineMenu[] = {"Disabled", "50 Hz", "60 Hz", "Auto", nullptr};
const char* const kExposureMenu[] = {"Auto Mode", "Manual Mode", "Shutter Priority Mode", "Aperture Priority Mode",
                                     nullptr};

const ControlKind kKinds[] = {
    {"brightness", V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, nullptr, 0, 0, 0},
    {"contrast", V4L2_CID_CONTRAST, "Contrast", V4L2_CTRL_TYPE_INTEGER, nullptr, 0, 0, 0},
    {"saturation", V4L2_CID_SATURATION, "Saturation", V4L2_CTRL_TYPE_INTEGER, nullptr, 0, 0, 0},
    {"hue", V4L2_CID_HUE, "Hue", V4L2_CTRL_TYPE_INTEGER, nullptr, 0, 0, 0},
    {"white_balance_automatic", V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", V4L2_CTRL_TYPE_BOOLEAN,
     nullptr, 0, 0, 0},
    {"gain", V4L2_CID_GAIN, "Gain", V4L2_CTRL_TYPE_INTEGER, nullptr, 0, 0, 0},
    {"gamma", V4L2_CID_GAMMA, "Gamma", V4L2_CTRL_TYPE_INTEGER, nullptr, 0, 0, 0},
    {"power_line_frequency", V4L2_CID_POWER_LINE_FREQUENCY, "Power Line Frequency", V4L2_CTRL_TYPE_MENU, kPowerLineMenu,
     0, 0, 0},
    {"white_balance_temperature", V4L2_CID_WHITE_BALANCE_TEMPERATURE, "White Balance Temperature",
     V4L2_CTRL_TYPE_INTEGER, nullptr, 0, V4L2_CID_AUTO_WHITE_BALANCE, 0},
    {"sharpness", V4L2_CID_SHARPNESS, "Sharpness", V4L2_CTRL_TYPE_INTEGER, nullptr, 0, 0, 0},
    {"backlight_compensation", V4L2_CID_BACKLIGHT_COMPENSATION, "Backlight Compensation", V4L2_CTRL_TYPE_INTEGER,
     nullptr, 0, 0, 0},
    // UVC cameras offer manual and aperture priority only.
    {"auto_exposure", V4L2_CID_EXPOSURE_AUTO, "Auto Exposure", V4L2_CTRL_TYPE_MENU, kExposureMenu, 0b0101, 0, 0},
    {"exposure_time_absolute", V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", V4L2_CTRL_TYPE_INTEGER, nullptr,
     0, V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL},
    {"focus_absolute", V4L2_CID_FOCUS_ABSOLUTE, "Focus, Absolute", V4L2_CTRL_TYPE_INTEGER, nullptr, 0,
     V4L2_CID_FOCUS_AUTO, 0},
    {"focus_auto", V4L2_CID_FOCUS_AUTO, "Focus, Automatic Continuous", V4L2_CTRL_TYPE_BOOLEAN, nullptr, 0, 0, 0},
    {"zoom_absolute", V4L2_CID_ZOOM_ABSOLUTE, "Zoom, Absolute", V4L2_CTRL_TYPE_INTEGER, nullptr, 0, 0, 0},
};

// The class controls that head each class with controls, as the framework adds them.
struct ControlClass {
    uint32_t id;
    const char* name;
};
const ControlClass kClasses[] = {{V4L2_CID_USER_CLASS, "User Controls"}, {V4L2_CID_CAMERA_CLASS, "Camera Controls"}};

uint32_t classOf(uint32_t id) {
    return V4L2_CTRL_ID2WHICH(id);
}

const ControlClass* controlClass(uint32_t id) {
    for (const ControlClass& c : kClasses)
        if (c.id == id) return &c;
    return nullptr;
}

bool hasClass(const std::vector<Control>& controls, uint32_t which) {
    for (const Control& c : controls)
        if (classOf(c.id) == which) return true;
    return false;
}

Control* findControl(std::vector<Control>& controls, uint32_t id) {
    for (Control& c : controls)
        if (c.id == id) return &c;
    return nullptr;
}
const Control* findControl(const std::vector<Control>& controls, uint32_t id) {
    return findControl(const_cast<std::vector<Control>&>(controls), id);
}

uint32_t flagsOf(const std::vector<Control>& controls, const Control& control) {
    uint32_t flags = 0;
    const ControlKind* kind = controlKind(control.id);
    if (kind && kind->automatic) {
        const Control* automatic = findControl(controls, kind->automatic);
        if (automatic && automatic->value != kind->manualValue) flags |= V4L2_CTRL_FLAG_INACTIVE;
    }
    // A control that switches others between automatic and manual changes their flags.
    for (const ControlKind& k : kKinds)
        if (k.automatic == control.id && findControl(controls, k.id)) flags |= V4L2_CTRL_FLAG_UPDATE;
    return flags;
}

// The next identifier after id among the camera's controls and their classes; 0 when none follows.
uint32_t nextId(const std::vector<Control>& controls, uint32_t id) {
    uint32_t next = 0;
    auto consider = [&](uint32_t candidate) {
        if (candidate > id && (!next || candidate < next)) next = candidate;
    };
    for (const Control& c : controls) consider(c.id);
    for (const ControlClass& c : kClasses)
        if (hasClass(controls, classOf(c.id))) consider(c.id);
    return next;
}

struct ControlFacts {
    uint32_t id = 0, type = 0, flags = 0;
    const char* name = "";
    int64_t minimum = 0, maximum = 0, defaultValue = 0;
    uint64_t step = 0;
};

// What the query requests tell of an identifier; false for an unknown one.
bool describe(const std::vector<Control>& controls, uint32_t id, ControlFacts& d) {
    if (const ControlClass* c = controlClass(id)) {
        if (!hasClass(controls, classOf(id))) return false;
        d.id = id;
        d.type = V4L2_CTRL_TYPE_CTRL_CLASS;
        d.name = c->name;
        d.flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
        return true;
    }
    const Control* c = findControl(controls, id);
    const ControlKind* kind = controlKind(id);
    if (!c || !kind) return false;
    d.id = id;
    d.type = kind->type;
    d.name = kind->name;
    d.flags = flagsOf(controls, *c);
    d.minimum = c->minimum;
    d.maximum = c->maximum;
    d.defaultValue = c->defaultValue;
    d.step = kind->type == V4L2_CTRL_TYPE_MENU ? 1 : uint64_t(std::max(c->step, 1));
    return true;
}

// The identifier a query asks for, following the NEXT flags; false when there is none.
bool queriedId(const std::vector<Control>& controls, uint32_t raw, uint32_t& id) {
    const bool nextControl = raw & V4L2_CTRL_FLAG_NEXT_CTRL;
    const bool nextCompound = raw & V4L2_CTRL_FLAG_NEXT_COMPOUND;
    id = raw & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
    if (!nextControl && !nextCompound) return true;
    if (!nextControl) return false; // this camera has no compound controls
    id = nextId(controls, id);
    return id != 0;
}

bool menuItemOffered(const ControlKind& kind, const Control& control, int64_t value) {
    if (value < control.minimum || value > control.maximum) return false;
    if (value < 64 && (kind.skippedItems >> value) & 1) return false;
    for (int64_t i = 0; i <= value; ++i)
        if (!kind.menu[i]) return false;
    return true;
}

// Checks and rounds a value for a control; an errno when the value cannot be taken.
int validate(const std::vector<Control>& controls, uint32_t id, int64_t& value) {
    if (controlClass(id)) return hasClass(controls, classOf(id)) ? EACCES : EINVAL;
    const Control* c = findControl(controls, id);
    const ControlKind* kind = controlKind(id);
    if (!c || !kind) return EINVAL;
    switch (kind->type) {
    case V4L2_CTRL_TYPE_MENU:
        if (value < c->minimum || value > c->maximum) return ERANGE;
        return menuItemOffered(*kind, *c, value) ? 0 : EINVAL;
    case V4L2_CTRL_TYPE_BOOLEAN:
        value = value != 0;
        return 0;
    default:
        value = roundedValue(*c, value);
        return 0;
    }
}

// Stores a validated value and notes the changes it makes, flags of dependent controls included.
void store(std::vector<Control>& controls, uint32_t id, int value, std::vector<ControlChange>& changed) {
    Control* c = findControl(controls, id);
    if (!c || c->value == value) return;
    std::vector<uint32_t> flagsBefore;
    for (const Control& other : controls) flagsBefore.push_back(flagsOf(controls, other));
    c->value = value;
    changed.push_back({id, V4L2_EVENT_CTRL_CH_VALUE});
    for (size_t i = 0; i < controls.size(); ++i)
        if (flagsOf(controls, controls[i]) != flagsBefore[i])
            changed.push_back({controls[i].id, V4L2_EVENT_CTRL_CH_FLAGS});
}

} // namespace

const ControlKind* controlKind(uint32_t id) {
    for (const ControlKind& k : kKinds)
        if (k.id == id) return &k;
    return nullptr;
}

const ControlKind* controlKind(const std::string& statement) {
    for (const ControlKind& k : kKinds)
        if (statement == k.statement) return &k;
    // The kernel's name of the control, as v4l2-ctl shows it, works as well.
    if (statement == "focus_automatic_continuous") return controlKind(V4L2_CID_FOCUS_AUTO);
    return nullptr;
}

int roundedValue(const Control& control, int64_t value) {
    const int64_t step = std::max(control.step, 1);
    if (control.maximum >= 0 && value >= control.maximum - step / 2)
        value = control.maximum;
    else
        value += step / 2;
    value = std::clamp<int64_t>(value, control.minimum, control.maximum);
    return int(control.minimum + (value - control.minimum) / step * step);
}

namespace {

// QUERYCTRL and QUERY_EXT_CTRL answer the same, in fields of other widths.
template <typename Query>
int answerQuery(const std::vector<Control>& controls, Query& query) {
    uint32_t id;
    ControlFacts d;
    if (!queriedId(controls, query.id, id) || !describe(controls, id, d)) return EINVAL;
    std::memset(&query, 0, sizeof(query));
    query.id = d.id;
    query.type = d.type;
    std::snprintf(reinterpret_cast<char*>(query.name), sizeof(query.name), "%s", d.name);
    query.minimum = decltype(query.minimum)(d.minimum);
    query.maximum = decltype(query.maximum)(d.maximum);
    query.step = decltype(query.step)(d.step);
    query.default_value = decltype(query.default_value)(d.defaultValue);
    query.flags = d.flags;
    return 0;
}

} // namespace

int queryControl(const std::vector<Control>& controls, v4l2_queryctrl& query) {
    return answerQuery(controls, query);
}

int queryExtControl(const std::vector<Control>& controls, v4l2_query_ext_ctrl& query) {
    if (int error = answerQuery(controls, query)) return error;
    if (query.type != V4L2_CTRL_TYPE_CTRL_CLASS) {
        query.elem_size = sizeof(int32_t);
        query.elems = 1;
    }
    return 0;
}

int queryMenu(const std::vector<Control>& controls, v4l2_querymenu& menu) {
    const Control* c = findControl(controls, menu.id);
    const ControlKind* kind = controlKind(menu.id);
    if (!c || !kind || kind->type != V4L2_CTRL_TYPE_MENU || !menuItemOffered(*kind, *c, menu.index)) return EINVAL;
    const uint32_t id = menu.id, index = menu.index;
    std::memset(&menu, 0, sizeof(menu));
    menu.id = id;
    menu.index = index;
    std::snprintf(reinterpret_cast<char*>(menu.name), sizeof(menu.name), "%s", kind->menu[index]);
    return 0;
}

int getControl(const std::vector<Control>& controls, v4l2_control& control) {
    if (controlClass(control.id) && hasClass(controls, classOf(control.id))) return EACCES;
    const Control* c = findControl(controls, control.id);
    if (!c || !controlKind(control.id)) return EINVAL;
    control.value = c->value;
    return 0;
}

int setControl(std::vector<Control>& controls, v4l2_control& control, std::vector<ControlChange>& changed) {
    int64_t value = control.value;
    if (int error = validate(controls, control.id, value)) return error;
    control.value = int32_t(value);
    store(controls, control.id, int(value), changed);
    return 0;
}

int extControls(std::vector<Control>& controls, unsigned long request, v4l2_ext_controls& set,
                std::vector<ControlChange>& changed) {
    const bool get = request == VIDIOC_G_EXT_CTRLS;
    const bool apply = request == VIDIOC_S_EXT_CTRLS;
    set.error_idx = set.count;
    const uint32_t which = set.which;
    const bool defaults = which == V4L2_CTRL_WHICH_DEF_VAL;
    if (which == V4L2_CTRL_WHICH_REQUEST_VAL) return EINVAL; // no request API
    if (defaults && !get) return EINVAL;
    const uint32_t controlClassWanted = defaults ? 0 : V4L2_CTRL_ID2WHICH(which);
    if (set.count == 0) return controlClassWanted == 0 || hasClass(controls, controlClassWanted) ? 0 : EINVAL;
    if (!set.controls) return EFAULT;

    // Every identifier first: an unknown one fails the request before anything is read or changed.
    for (uint32_t i = 0; i < set.count; ++i) {
        const uint32_t id = set.controls[i].id;
        const bool known =
            (controlClass(id) && hasClass(controls, classOf(id))) || (findControl(controls, id) && controlKind(id));
        if ((controlClassWanted && classOf(id) != controlClassWanted) || id >= V4L2_CID_PRIVATE_BASE || !known) {
            if (!get && !apply) set.error_idx = i;
            return EINVAL;
        }
    }
    if (get) {
        for (uint32_t i = 0; i < set.count; ++i)
            if (controlClass(set.controls[i].id)) return EACCES;
        for (uint32_t i = 0; i < set.count; ++i) {
            const Control* c = findControl(controls, set.controls[i].id);
            set.controls[i].value = defaults ? c->defaultValue : c->value;
        }
        return 0;
    }
    std::vector<int64_t> values(set.count);
    for (uint32_t i = 0; i < set.count; ++i) {
        values[i] = set.controls[i].value;
        if (int error = validate(controls, set.controls[i].id, values[i])) {
            set.error_idx = apply ? set.count : i;
            return error;
        }
    }
    for (uint32_t i = 0; i < set.count; ++i) {
        set.controls[i].value = int32_t(values[i]);
        if (apply) store(controls, set.controls[i].id, int(values[i]), changed);
    }
    return 0;
}

void describeControlEvent(const std::vector<Control>& controls, uint32_t id, uint32_t changes, v4l2_event& event) {
    std::memset(&event, 0, sizeof(event));
    event.type = V4L2_EVENT_CTRL;
    event.id = id;
    ControlFacts d;
    if (!describe(controls, id, d)) return;
    event.u.ctrl.changes = changes;
    event.u.ctrl.type = d.type;
    if (const Control* c = findControl(controls, id)) event.u.ctrl.value = c->value;
    event.u.ctrl.flags = d.flags;
    event.u.ctrl.minimum = int32_t(d.minimum);
    event.u.ctrl.maximum = int32_t(d.maximum);
    event.u.ctrl.step = int32_t(d.step);
    event.u.ctrl.default_value = int32_t(d.defaultValue);
    clock_gettime(CLOCK_MONOTONIC, &event.timestamp);
}

} // namespace vcam
