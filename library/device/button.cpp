#include "button.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

#include <linux/input.h>

#include "../log.h"

namespace velcap {

namespace {

std::string usbDeviceOf(udev_device* device) {
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    const char* path = usb ? udev_device_get_syspath(usb) : nullptr;
    return path ? path : "";
}

} // namespace

std::vector<std::string> buttonNodes(const std::string& videoNode) {
    std::vector<std::string> nodes;
    const size_t slash = videoNode.rfind('/');
    const std::string sysname = slash == std::string::npos ? videoNode : videoNode.substr(slash + 1);
    UdevPtr udev(udev_new());
    if (!udev) return nodes;
    UdevDevicePtr video(udev_device_new_from_subsystem_sysname(udev.get(), "video4linux", sysname.c_str()));
    if (!video) return nodes;
    const std::string usb = usbDeviceOf(video.get());
    if (usb.empty()) return nodes;
    UdevEnumeratePtr enumeration(udev_enumerate_new(udev.get()));
    if (!enumeration) return nodes;
    udev_enumerate_add_match_subsystem(enumeration.get(), "input");
    udev_enumerate_add_match_sysname(enumeration.get(), "event*");
    udev_enumerate_scan_devices(enumeration.get());
    for (udev_list_entry* item = udev_enumerate_get_list_entry(enumeration.get()); item;
         item = udev_list_entry_get_next(item)) {
        UdevDevicePtr input(udev_device_new_from_syspath(udev.get(), udev_list_entry_get_name(item)));
        if (!input || usbDeviceOf(input.get()) != usb) continue;
        const char* node = udev_device_get_devnode(input.get());
        const char* number = udev_device_get_sysnum(input.get());
        if (node)
            nodes.emplace_back(node);
        else if (number)
            nodes.push_back(std::string("/dev/input/event") + number);
    }
    return nodes;
}

bool ButtonListener::start(const std::string& videoNode, std::function<void(ButtonKey)> pressed) {
    stop();
    for (const std::string& node : buttonNodes(videoNode)) {
        UniqueFD fd(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (fd.isValid())
            inputs_.push_back(std::move(fd));
        else // input nodes are often root's alone: the camera works without its button
            logInfo(Category::Device, "button: %s cannot be read (%s); the button is not heard\n", node.c_str(),
                    std::strerror(errno));
    }
    if (inputs_.empty()) return false;
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_.isValid()) {
        inputs_.clear();
        return false;
    }
    pressed_ = std::move(pressed);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        inputs_.clear();
        wake_.reset();
        return false;
    }
    return true;
}

void ButtonListener::stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        // An eventfd's counter takes this write; the thread wakes from its poll.
        [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof(one));
        thread_.join();
    }
    inputs_.clear();
    wake_.reset();
    pressed_ = nullptr;
}

void ButtonListener::run() {
    std::vector<pollfd> watched;
    watched.push_back({wake_.get(), POLLIN, 0});
    for (const UniqueFD& fd : inputs_) watched.push_back({fd.get(), POLLIN, 0});
    size_t open = inputs_.size();
    while (open > 0) {
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watched[0].revents) break;
        for (size_t i = 1; i < watched.size(); ++i) {
            if (!watched[i].revents) continue;
            input_event events[16];
            const ssize_t n = ::read(watched[i].fd, events, sizeof(events));
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) { // unplugged: ENODEV, or the end
                watched[i].fd = -1;
                --open;
                continue;
            }
            for (size_t e = 0; e < size_t(n) / sizeof(input_event); ++e) {
                if (events[e].type != EV_KEY || events[e].value != 1) continue; // presses, not releases or repeats
                if (events[e].code == KEY_CAMERA)
                    pressed_(ButtonKey::Capture);
                else if (events[e].code == KEY_CAMERA_FOCUS)
                    pressed_(ButtonKey::Focus);
            }
        }
    }
}

} // namespace velcap
