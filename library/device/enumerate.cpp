// Finding the supported cameras through libudev, with their names, serials and sizes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>

#include <linux/videodev2.h>

#include "../log.h"
#include "device.h"
#include "unique_fd.h"

namespace velcap {

// One vendor, nine models: the Orvida document cameras, in listing order.
const char* const kSupportedVendors[kSupportedModelCount] = {"31a5", "31a5", "31a5", "31a5", "31a5",
                                                             "31a5", "31a5", "31a5", "31a5"};
const char* const kSupportedProducts[kSupportedModelCount] = {"0801", "0802", "0803", "0501", "0502",
                                                              "1201", "1202", "0301", "0302"};

namespace {

bool matches(udev_device* device, const char* vendor, const char* product) {
    const char* v = udev_device_get_property_value(device, "ID_VENDOR_ID");
    const char* m = udev_device_get_property_value(device, "ID_MODEL_ID");
    return v && m && vendor && product && std::strcmp(v, vendor) == 0 && std::strcmp(m, product) == 0;
}

unsigned hex(const char* text) {
    return text ? unsigned(std::strtoul(text, nullptr, 16)) : 0;
}

// The sizes a user picks from: MJPEG's when the camera has them, else YUYV's.
std::vector<std::pair<int, int>> preferredSizes(const std::string& node) {
    UniqueFD fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.isValid()) return {};
    auto sizes = discreteSizes(fd.get(), V4L2_PIX_FMT_MJPEG, false);
    if (sizes.empty()) sizes = discreteSizes(fd.get(), V4L2_PIX_FMT_YUYV, false);
    return sizes;
}

} // namespace

std::vector<Device> findCameras(const char* const* vendors, const char* const* products, int models, bool withSizes,
                                bool& ok) {
    ok = false;
    std::vector<Device> found;
    UdevPtr context(udev_new());
    if (!context) return found;
    UdevEnumeratePtr enumeration(udev_enumerate_new(context.get()));
    if (!enumeration) return found;
    udev_enumerate_add_match_subsystem(enumeration.get(), "video4linux");
    udev_enumerate_scan_devices(enumeration.get());
    ok = true;
    // Walk the table, not udev's list, so that cameras come out in table order
    // and each model yields one camera (its first node).
    for (int entry = 0; entry < models; ++entry) {
        UdevDevicePtr match;
        for (udev_list_entry* item = udev_enumerate_get_list_entry(enumeration.get()); item;
             item = udev_list_entry_get_next(item)) {
            UdevDevicePtr device(udev_device_new_from_syspath(udev_enumerate_get_udev(enumeration.get()),
                                                              udev_list_entry_get_name(item)));
            if (!device) return found;
            if (matches(device.get(), vendors[entry], products[entry])) {
                match = std::move(device);
                break;
            }
        }
        if (!match) continue;
        Device d;
        const char* sysnum = udev_device_get_sysnum(match.get());
        d.node = std::string("/dev/video") + (sysnum ? sysnum : "");
        d.vendor = hex(udev_device_get_property_value(match.get(), "ID_VENDOR_ID"));
        d.product = hex(udev_device_get_property_value(match.get(), "ID_MODEL_ID"));
        const char* serial = udev_device_get_property_value(match.get(), "ID_SERIAL_SHORT");
        d.serial = serial ? serial : "";
        if (withSizes) {
            cameraName(d.node, d.name);
            // "Maker: Model" leaves a space before the model.
            d.name.erase(0, d.name.find_first_not_of(' '));
            d.name.erase(d.name.find_last_not_of(' ') + 1);
            d.sizes = preferredSizes(d.node);
        }
        found.push_back(std::move(d));
    }
    return found;
}

bool cameraName(const std::string& node, std::string& name) {
    // A descriptor of its own: another may belong to a streaming camera.
    UniqueFD fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.isValid()) return false;
    v4l2_capability capability{};
    if (ioctl(fd.get(), VIDIOC_QUERYCAP, &capability) != 0) capability.card[0] = 0;
    capability.card[sizeof(capability.card) - 1] = 0;
    // "vendor:model:...": the model; a card without a colon is the name itself.
    const std::string card = reinterpret_cast<const char*>(capability.card);
    const size_t colon = card.find(':');
    if (colon == std::string::npos) {
        name = card;
    } else {
        const size_t next = card.find(':', colon + 1);
        name = card.substr(colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
    }
    return true;
}

std::vector<std::pair<int, int>> discreteSizes(int fd, unsigned pixelFormat, bool sayEach) {
    std::vector<std::pair<int, int>> sizes;
    for (unsigned index = 0;; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = pixelFormat;
        if (ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
        // Stepwise and continuous ranges are no choice a user can pick from a list.
        if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) continue;
        sizes.emplace_back(int(size.discrete.width), int(size.discrete.height));
        if (sayEach) logDebug(Category::Device, "width,height:%d,%d\n", size.discrete.width, size.discrete.height);
    }
    return sizes;
}

std::vector<unsigned> pixelFormats(int fd) {
    std::vector<unsigned> formats;
    for (unsigned index = 0;; ++index) {
        v4l2_fmtdesc format{};
        format.index = index;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (ioctl(fd, VIDIOC_ENUM_FMT, &format) != 0) break;
        formats.push_back(format.pixelformat);
    }
    return formats;
}

std::vector<Device> devices() {
    bool ok = false;
    return findCameras(kSupportedVendors, kSupportedProducts, kSupportedModelCount, true, ok);
}

} // namespace velcap
