// Finding the supported cameras through libudev, and their display names.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>

#include "../log.h"
#include "../state.h"
#include "unique_fd.h"

using namespace velcap;

namespace {

bool matchesTableEntry(udev_device* device, int entry) {
    const char* vendor = udev_device_get_property_value(device, "ID_VENDOR_ID");
    const char* model = udev_device_get_property_value(device, "ID_MODEL_ID");
    return vendor && model && std::strcmp(vendor, gpyVendor[entry]) == 0 && std::strcmp(model, gpyProduct[entry]) == 0;
}

} // namespace

extern "C" int getDeviceCount() {
    deviceCount = 0;
    UdevPtr context(udev_new());
    if (!context) return -1;
    UdevEnumeratePtr enumeration(udev_enumerate_new(context.get()));
    if (!enumeration) return -1;
    udev_enumerate_add_match_subsystem(enumeration.get(), "video4linux");
    udev_enumerate_scan_devices(enumeration.get());

    devices[0].clear();
    deviceCount = 0;
    // Walk the table, not udev's list, so that cameras come out in table order
    // and each model yields one camera (its first node).
    for (int entry = 0; entry < 9; ++entry) {
        UdevDevicePtr match;
        for (udev_list_entry* item = udev_enumerate_get_list_entry(enumeration.get()); item;
             item = udev_list_entry_get_next(item)) {
            UdevDevicePtr device(udev_device_new_from_syspath(udev_enumerate_get_udev(enumeration.get()),
                                                              udev_list_entry_get_name(item)));
            if (!device) return 0;
            if (matchesTableEntry(device.get(), entry)) {
                match = std::move(device);
                break;
            }
        }
        if (!match) continue;
        char path[100] = {};
        const char* sysnum = udev_device_get_sysnum(match.get());
        std::snprintf(path, sizeof(path), "/dev/video%s", sysnum ? sysnum : "");
        devices[deviceCount] = path;
        velcap::say("node:%s\n", path);
        ++deviceCount;
    }
    return deviceCount;
}

extern "C" const char* getCameraName(int index) {
    static std::string name;
    if (deviceCount < 1) deviceCount = getDeviceCount();
    if (deviceCount < 1 || index < 0 || index >= deviceCount) return nullptr;

    // A descriptor of its own: the shared one may belong to a streaming camera.
    UniqueFD fd(::open(devices[index].c_str(), O_RDWR));
    if (!fd.isValid()) return nullptr;
    v4l2_capability capability{};
    if (ioctl(fd.get(), VIDIOC_QUERYCAP, &capability) != 0) capability.card[0] = 0;
    capability.card[sizeof(capability.card) - 1] = 0;
    std::vector<std::string> pieces = split(reinterpret_cast<const char*>(capability.card), ":");

    if (pieces.size() >= 2)
        name = pieces[1];
    else if (!pieces.empty())
        name = pieces[0];
    else
        name.clear();
    return name.c_str();
}

extern "C" const char* getCameraNode(int index) {
    if (deviceCount < 1) deviceCount = getDeviceCount();
    if (deviceCount < 1 || index < 0 || index >= deviceCount) return nullptr;
    return devices[index].c_str();
}

std::vector<std::string> split(std::string text, std::string separator) {
    std::vector<std::string> pieces;
    if (separator.empty()) return {text};
    text += separator;
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        size_t p = text.find(separator, i);
        if (p == std::string::npos || p >= n) break;
        pieces.push_back(text.substr(i, p - i));
        i = p + separator.size();
    }
    return pieces;
}
