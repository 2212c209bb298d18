// The open camera's picture controls, and focusing, through the V4L2
// control requests on its descriptor.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <vector>

#include "../device/controls.h"
#include "../log.h"
#include "flat.h"
#include "state.h"

namespace {

// Control indices 0 to 5; any other index keeps the identifier of the last call.
void selectControl(int index, uint32_t& id) {
    static const uint32_t kControls[6] = {V4L2_CID_BRIGHTNESS, V4L2_CID_CONTRAST, V4L2_CID_SATURATION,
                                          V4L2_CID_HUE,        V4L2_CID_GAIN,     V4L2_CID_GAMMA};
    if (index >= 0 && index < 6) id = kControls[index];
}

// Whether the open camera has the control.
bool hasControl(uint32_t id) {
    v4l2_queryctrl query{};
    query.id = id;
    return ioctl(cam_fd, VIDIOC_QUERYCTRL, &query) == 0;
}

// Selects the control of an index and reads its range (qctrl) and value (ctrl):
// 0, -1 when the camera does not describe it, -2 when it cannot be read.
int readSelected(int index, const char* failure) {
    selectControl(index, qctrl.id);
    Sleep(50); // UVC cameras drop control requests that follow each other too closely
    if (ioctl(cam_fd, VIDIOC_QUERYCTRL, &qctrl) != 0) return -1;
    ctrl.id = qctrl.id;
    if (ioctl(cam_fd, VIDIOC_G_CTRL, &ctrl) != 0) {
        std::perror(failure);
        return -2;
    }
    return 0;
}

// The start both focus requests share: 0 with the control's value read, 1 when
// the camera has no such control, -2 when it cannot be read.
int readFocusControl(uint32_t id, v4l2_control& control) {
    Sleep(30); // after the host's previous control request
    if (!hasControl(id)) return 1;
    control = v4l2_control{};
    control.id = id;
    if (ioctl(cam_fd, VIDIOC_G_CTRL, &control) != 0) {
        std::perror("**********************get Focus params failed**************\n");
        return -2;
    }
    return 0;
}

} // namespace

extern "C" int GetVideoCtlParam(int index, int* minimum, int* maximum, int* defaultValue, int* current) {
    if (!bKeep) return -1;
    if (const int read = readSelected(index, "**********************get ctrl failed**************\n"); read != 0)
        return read;
    if (minimum) *minimum = qctrl.minimum;
    if (maximum) *maximum = qctrl.maximum;
    if (defaultValue) *defaultValue = qctrl.default_value;
    if (current) *current = ctrl.value;
    Sleep(50); // room before the caller's next control request
    return 0;
}

extern "C" int SetVideoCtlParam(int index, int value) {
    if (!bKeep) return -1;
    selectControl(index, ctrl.id);
    Sleep(50); // UVC cameras drop control requests that follow each other too closely
    ctrl.value = value;
    if (ioctl(cam_fd, VIDIOC_S_CTRL, &ctrl) == -1) {
        velcap::logLine(velcap::LogLevel::Error, velcap::Category::Device, "set param error!");
        return -1;
    }
    velcap::flatSession().rememberControl(ctrl.id, value);
    Sleep(20); // the camera applies the value before the next request
    return 0;
}

extern "C" int SetVideoCtlDefaultParam(int index) {
    if (!bKeep) return -10001;
    if (const int read = readSelected(index, "**********************get default param failed**************\n");
        read != 0)
        return read == -1 ? -10001 : -10002;
    const int value = qctrl.default_value;
    Sleep(50); // between the read and the write of the same control
    ctrl.value = value;
    if (ioctl(cam_fd, VIDIOC_S_CTRL, &ctrl) == -1) {
        velcap::logError(velcap::Category::Device, "set default param error!");
        return -10003;
    }
    velcap::flatSession().rememberControl(ctrl.id, value);
    Sleep(10); // the camera applies the value before the next request
    return value;
}

extern "C" int ManualFocus() {
    if (!bKeep) return -1;
    v4l2_control control;
    if (const int read = readFocusControl(V4L2_CID_ZOOM_ABSOLUTE, control); read != 0) return read < 0 ? read : 0;
    Sleep(25); // between the read and the write of the same control
    control.value = control.value != 0 ? 0 : 1;
    if (ioctl(cam_fd, VIDIOC_S_CTRL, &control) == -1) {
        velcap::logError(velcap::Category::Device, "set default param error!");
        return -3;
    }
    return 0;
}

extern "C" int ManualFocusEx() {
    if (!bKeep) return -1;
    v4l2_control control;
    if (const int read = readFocusControl(V4L2_CID_FOCUS_AUTO, control); read != 0) return read < 0 ? read : 0;
    // Autofocus off and on again: the camera focuses once on what it sees now.
    Sleep(20); // between the read and the write of the same control
    control.value = 0;
    if (ioctl(cam_fd, VIDIOC_S_CTRL, &control) == -1) {
        velcap::logError(velcap::Category::Device, "set default param error 01!");
        return -3;
    }
    Sleep(50); // the camera takes autofocus off before it is switched on again
    control.value = 1;
    if (ioctl(cam_fd, VIDIOC_S_CTRL, &control) == -1) {
        velcap::logError(velcap::Category::Device, "set default param error 02!");
        return -4;
    }
    velcap::logLine(velcap::LogLevel::Debug, velcap::Category::Device, "ManualFocus");
    return 0;
}

namespace {

// Names handed out stay valid for good: a set never moves its strings.
const char* lastingName(const std::string& name) {
    static std::mutex mutex;
    static auto* names = new std::set<std::string>;
    std::lock_guard lock(mutex);
    return names->insert(name).first->c_str();
}

} // namespace

extern "C" const char* GetCameraControlName(int index) {
    // The open camera's own controls; the usual ones without a camera.
    if (!bKeep) return velcap::namedControlName(index);
    const std::vector<velcap::Control> controls = velcap::readControls(cam_fd);
    return index >= 0 && size_t(index) < controls.size() ? lastingName(controls[size_t(index)].name) : nullptr;
}

extern "C" int GetCameraControl(const char* name, int* minimum, int* maximum, int* defaultValue, int* current) {
    if (!bKeep || !name) return -1;
    const unsigned id = velcap::controlId(cam_fd, name);
    if (id == 0) return -1;
    velcap::Control control;
    const velcap::Status status = velcap::readControl(cam_fd, id, control);
    if (status != velcap::Status::Ok) return status == velcap::Status::NoControl ? -1 : -2;
    if (minimum) *minimum = control.minimum;
    if (maximum) *maximum = control.maximum;
    if (defaultValue) *defaultValue = control.defaultValue;
    if (current) *current = control.value;
    return 0;
}

extern "C" int SetCameraControl(const char* name, int value) {
    if (!bKeep || !name) return -1;
    const unsigned id = velcap::controlId(cam_fd, name);
    if (id == 0) return -1;
    switch (velcap::flatSession().setControl(id, value)) {
    case velcap::Status::Ok:
        return 0;
    case velcap::Status::NoControl:
    case velcap::Status::NotOpen:
        return -1;
    case velcap::Status::OutOfRange:
        return -2;
    default:
        return -3;
    }
}
