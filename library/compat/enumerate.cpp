// The flat interface's device list: the nodes of the supported cameras.
#include <atomic>

#include "../device/device.h"
#include "../log.h"
#include "state.h"

namespace {
std::atomic<int> listing{0};
} // namespace

extern "C" void SetDeviceListing(int how) {
    listing = how == 1 || how == 2 ? how : 0;
}

extern "C" int getDeviceCount() {
    deviceCount = 0;
    bool ok = false;
    const velcap::Listing how = listing == 2   ? velcap::Listing::AnyCamera
                                : listing == 1 ? velcap::Listing::EveryCamera
                                               : velcap::Listing::OnePerModel;
    const std::vector<velcap::Device> found = velcap::findCameras(gpyVendor, gpyProduct, 9, how, false, ok);
    if (!ok) return -1;
    devices[0].clear();
    for (const velcap::Device& device : found) {
        if (deviceCount >= 10) break;
        devices[deviceCount] = device.node;
        velcap::logDebug(velcap::Category::Device, "node:%s\n", device.node.c_str());
        ++deviceCount;
    }
    return deviceCount;
}

extern "C" const char* getCameraName(int index) {
    static std::string name;
    if (deviceCount < 1) deviceCount = getDeviceCount();
    if (deviceCount < 1 || index < 0 || index >= deviceCount) return nullptr;
    if (!velcap::cameraName(devices[index], name)) return nullptr;
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
