// Finding the supported cameras through libudev, with their names, serials and sizes.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>

#include <linux/videodev2.h>

#include "../log.h"
#include "device.h"
#include "unique_fd.h"
#include "watch.h"

namespace velcap {

// One vendor, nine models: the Orvida document cameras, in listing order.
const char* const kSupportedVendors[kSupportedModelCount] = {"31a5", "31a5", "31a5", "31a5", "31a5",
                                                             "31a5", "31a5", "31a5", "31a5"};
const char* const kSupportedProducts[kSupportedModelCount] = {"0801", "0802", "0803", "0501", "0502",
                                                              "1201", "1202", "0301", "0302"};

namespace {

std::string property(udev_device* device, const char* name) {
    const char* value = udev_device_get_property_value(device, name);
    return value ? value : "";
}

unsigned hex(const std::string& text) {
    return unsigned(std::strtoul(text.c_str(), nullptr, 16));
}

// The sizes a user picks from: MJPEG's when the camera has them, else YUYV's.
std::vector<std::pair<int, int>> preferredSizes(const std::string& node) {
    UniqueFD fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.isValid()) return {};
    auto sizes = discreteSizes(fd.get(), V4L2_PIX_FMT_MJPEG, false);
    if (sizes.empty()) sizes = discreteSizes(fd.get(), V4L2_PIX_FMT_YUYV, false);
    return sizes;
}

// Whether a camera outside the table streams what the pipeline decodes.
bool streamsMjpegOrYuyv(const std::string& node) {
    UniqueFD fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.isValid()) return false;
    for (unsigned format : pixelFormats(fd.get()))
        if (format == V4L2_PIX_FMT_MJPEG || format == V4L2_PIX_FMT_YUYV) return true;
    return false;
}

// "usb-0:2:1.0" before "usb-0:10:1.0": numbers compare as numbers.
bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            const unsigned long x = std::strtoul(a.substr(i, ei - i).c_str(), nullptr, 10);
            const unsigned long y = std::strtoul(b.substr(j, ej - j).c_str(), nullptr, 10);
            if (x != y) return x < y;
            i = ei, j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

struct Candidate {
    std::string node, vendor, product, serial, port;
    int number = 0;
};

Candidate candidateOf(udev_device* device) {
    Candidate c;
    const char* sysnum = udev_device_get_sysnum(device);
    c.node = std::string("/dev/video") + (sysnum ? sysnum : "");
    c.number = sysnum ? std::atoi(sysnum) : 0;
    c.vendor = property(device, "ID_VENDOR_ID");
    c.product = property(device, "ID_MODEL_ID");
    c.serial = property(device, "ID_SERIAL_SHORT");
    c.port = property(device, "ID_PATH");
    return c;
}

Device deviceOf(const Candidate& c, bool supported, bool withSizes) {
    Device d;
    d.node = c.node;
    d.vendor = hex(c.vendor);
    d.product = hex(c.product);
    d.serial = c.serial;
    d.port = c.port;
    d.supported = supported;
    if (withSizes) {
        cameraName(d.node, d.name);
        // "Maker: Model" leaves a space before the model.
        d.name.erase(0, d.name.find_first_not_of(' '));
        d.name.erase(d.name.find_last_not_of(' ') + 1);
        d.sizes = preferredSizes(d.node);
    }
    return d;
}

bool isModel(const Candidate& c, const char* vendor, const char* product) {
    return vendor && product && c.vendor == vendor && c.product == product;
}

} // namespace

std::vector<Device> findCameras(const char* const* vendors, const char* const* products, int models, Listing listing,
                                bool withSizes, bool& ok) {
    ok = false;
    std::vector<Device> found;
    UdevPtr context(udev_new());
    if (!context) return found;
    UdevEnumeratePtr enumeration(udev_enumerate_new(context.get()));
    if (!enumeration) return found;
    udev_enumerate_add_match_subsystem(enumeration.get(), "video4linux");
    udev_enumerate_scan_devices(enumeration.get());
    ok = true;
    std::vector<Candidate> all;
    for (udev_list_entry* item = udev_enumerate_get_list_entry(enumeration.get()); item;
         item = udev_list_entry_get_next(item)) {
        UdevDevicePtr device(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(item)));
        if (!device) return found;
        // One per model keeps its first node in udev's order, as it always did.
        if (listing != Listing::OnePerModel && !isCaptureNode(device.get())) continue;
        all.push_back(candidateOf(device.get()));
    }

    if (listing == Listing::OnePerModel) {
        // Walk the table, not udev's list, so that cameras come out in table order.
        for (int entry = 0; entry < models; ++entry)
            for (const Candidate& c : all)
                if (isModel(c, vendors[entry], products[entry])) {
                    found.push_back(deviceOf(c, true, withSizes));
                    break;
                }
        return found;
    }

    // A camera is one USB device at one port: its lowest capture node.
    std::sort(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) {
        if (a.port != b.port) return naturalLess(a.port, b.port);
        return a.number < b.number;
    });
    std::vector<Candidate> cameras;
    for (const Candidate& c : all)
        if (c.port.empty() || cameras.empty() || cameras.back().port != c.port) cameras.push_back(c);

    std::vector<bool> listed(cameras.size(), false);
    for (int entry = 0; entry < models; ++entry)
        for (size_t i = 0; i < cameras.size(); ++i)
            if (!listed[i] && isModel(cameras[i], vendors[entry], products[entry])) {
                found.push_back(deviceOf(cameras[i], true, withSizes));
                listed[i] = true;
            }
    if (listing == Listing::AnyCamera)
        for (size_t i = 0; i < cameras.size(); ++i)
            if (!listed[i] && streamsMjpegOrYuyv(cameras[i].node))
                found.push_back(deviceOf(cameras[i], false, withSizes));
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

std::vector<Device> devices(DeviceFilter filter) {
    bool ok = false;
    return findCameras(kSupportedVendors, kSupportedProducts, kSupportedModelCount,
                       filter == DeviceFilter::AnyCamera ? Listing::AnyCamera : Listing::EveryCamera, true, ok);
}

} // namespace velcap
