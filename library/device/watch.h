// Knowing a camera again after it was unplugged, and hearing udev's events.
#pragma once

#include <string>

#include "unique_fd.h"

namespace velcap {

// Who a camera is: its USB IDs and serial, and the USB port it sits in.
struct Identity {
    std::string vendor, product, serial, path;
    // The same camera: the same IDs and serial, or, without a serial, the same port.
    bool sameCamera(const Identity& other) const;
};

// Whether a video4linux device captures pictures (not a metadata node).
bool isCaptureNode(udev_device* device);

// The identity of a video node as udev describes it; false when udev does not list it.
bool identify(const std::string& node, Identity& identity);
// The capture node of the camera with this identity that udev lists now, or "".
std::string findCaptureNode(const Identity& identity);

// A udev monitor of the video4linux devices: its descriptor turns readable
// when a device comes or goes.
class DeviceMonitor {
public:
    DeviceMonitor();
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    bool valid() const { return monitor_ != nullptr; }
    int fd() const;
    // Takes one pending event: its action ("add", "remove") and node, or false when none waits.
    bool next(std::string& action, std::string& node, Identity& identity);

private:
    UdevPtr udev_;
    struct udev_monitor* monitor_ = nullptr;
};

} // namespace velcap
