#include "watch.h"

#include <cstring>

namespace velcap {

namespace {

std::string property(udev_device* device, const char* name) {
    const char* value = udev_device_get_property_value(device, name);
    return value ? value : "";
}

Identity identityOf(udev_device* device) {
    return {property(device, "ID_VENDOR_ID"), property(device, "ID_MODEL_ID"), property(device, "ID_SERIAL_SHORT"),
            property(device, "ID_PATH")};
}

std::string nodeOf(udev_device* device) {
    const char* name = udev_device_get_devnode(device);
    if (name) return name;
    const char* sysnum = udev_device_get_sysnum(device);
    return sysnum ? std::string("/dev/video") + sysnum : std::string();
}

} // namespace

bool isCaptureNode(udev_device* device) {
    const std::string capabilities = property(device, "ID_V4L_CAPABILITIES");
    // Without the property (older udev), every node is a candidate; the open tells.
    return capabilities.empty() || capabilities.find(":capture:") != std::string::npos;
}

bool Identity::sameCamera(const Identity& other) const {
    if (vendor != other.vendor || product != other.product) return false;
    if (!serial.empty() || !other.serial.empty()) return serial == other.serial;
    return !path.empty() && path == other.path;
}

bool identify(const std::string& node, Identity& identity) {
    const size_t slash = node.rfind('/');
    const std::string sysname = slash == std::string::npos ? node : node.substr(slash + 1);
    UdevPtr udev(udev_new());
    if (!udev) return false;
    UdevDevicePtr device(udev_device_new_from_subsystem_sysname(udev.get(), "video4linux", sysname.c_str()));
    if (!device) return false;
    identity = identityOf(device.get());
    return true;
}

std::string findCaptureNode(const Identity& identity) {
    UdevPtr udev(udev_new());
    if (!udev) return {};
    UdevEnumeratePtr enumeration(udev_enumerate_new(udev.get()));
    if (!enumeration) return {};
    udev_enumerate_add_match_subsystem(enumeration.get(), "video4linux");
    udev_enumerate_scan_devices(enumeration.get());
    // Two of a model may share a serial: the one back at its own port first.
    std::string elsewhere;
    for (udev_list_entry* item = udev_enumerate_get_list_entry(enumeration.get()); item;
         item = udev_list_entry_get_next(item)) {
        UdevDevicePtr device(udev_device_new_from_syspath(udev.get(), udev_list_entry_get_name(item)));
        if (!device || !isCaptureNode(device.get())) continue;
        const Identity found = identityOf(device.get());
        if (!found.sameCamera(identity)) continue;
        if (found.path == identity.path) return nodeOf(device.get());
        if (elsewhere.empty()) elsewhere = nodeOf(device.get());
    }
    return elsewhere;
}

DeviceMonitor::DeviceMonitor() : udev_(udev_new()) {
    if (!udev_) return;
    monitor_ = udev_monitor_new_from_netlink(udev_.get(), "udev");
    if (!monitor_) return;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "video4linux", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
    }
}

DeviceMonitor::~DeviceMonitor() {
    if (monitor_) udev_monitor_unref(monitor_);
}

int DeviceMonitor::fd() const {
    return monitor_ ? udev_monitor_get_fd(monitor_) : -1;
}

bool DeviceMonitor::next(std::string& action, std::string& node, Identity& identity) {
    if (!monitor_) return false;
    UdevDevicePtr device(udev_monitor_receive_device(monitor_));
    if (!device) return false;
    const char* a = udev_device_get_action(device.get());
    action = a ? a : "";
    node = isCaptureNode(device.get()) ? nodeOf(device.get()) : std::string();
    identity = identityOf(device.get());
    return true;
}

} // namespace velcap
