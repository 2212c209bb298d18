#include "testbed.h"

#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include <umockdev.h>

#include "vcam.h"

namespace vcam {

namespace {

void addRecords(UMockdevTestbed* testbed, const std::string& records) {
    GError* error = nullptr;
    if (!records.empty() && !umockdev_testbed_add_from_string(testbed, records.c_str(), &error)) {
        std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev testbed: " + message);
    }
}

// The sysfs paths of a camera's devices, from the USB device down to its nodes.
std::vector<std::string> devicesOf(const Description& d, const Camera& c) {
    const std::string video = videoSysfsPath(d, c, false);
    const std::string interface = video.substr(0, video.find("/video4linux/"));
    const std::string usb = interface.substr(0, interface.rfind('/'));
    std::vector<std::string> paths = {"/sys" + usb, "/sys" + interface, "/sys" + video};
    if (hasMetadataNode(d, c)) paths.push_back("/sys" + videoSysfsPath(d, c, true));
    return paths;
}

} // namespace

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {
    if (!umockdev_in_mock_environment())
        throw std::runtime_error("vcam::Testbed needs umockdev's preload: run the program under umockdev-wrapper");
    setPlugListener([this](int node, bool plugged) { follow(node, plugged); });
}

Testbed::~Testbed() {
    setPlugListener(nullptr);
    g_object_unref(testbed_);
}

void Testbed::present(const Description& description) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A fresh testbed: umockdev keeps device nodes of removed records.
    g_object_unref(testbed_);
    testbed_ = umockdev_testbed_new();
    description_ = description;
    addRecords(testbed_, udevRecords(description));
    install(description);
}

void Testbed::follow(int node, bool plugged) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Camera* camera = description_.camera(node);
    if (!camera) return;
    std::vector<std::string> paths = devicesOf(description_, *camera);
    if (plugged) {
        // umockdev keeps the device nodes of removed records: the records come back without them.
        std::string records;
        std::istringstream lines(udevRecords(description_, node));
        for (std::string line; std::getline(lines, line);)
            if (line.compare(0, 3, "N: ") != 0) records += line + "\n";
        addRecords(testbed_, records);
        for (const std::string& path : paths) umockdev_testbed_uevent(testbed_, path.c_str(), "add");
    } else {
        // Children go first, as the kernel reports them; each on its own, so
        // that its class and bus links go too.
        for (auto path = paths.rbegin(); path != paths.rend(); ++path) {
            umockdev_testbed_uevent(testbed_, path->c_str(), "remove");
            umockdev_testbed_remove_device(testbed_, path->c_str());
        }
        // Links umockdev may leave would stand in the way of the replug.
        gchar* sys = umockdev_testbed_get_sys_dir(testbed_);
        for (size_t i = 0; i < 2; ++i) {
            const std::string name = paths[i].substr(paths[i].rfind('/') + 1);
            ::unlink((std::string(sys) + "/bus/usb/devices/" + name).c_str());
        }
        g_free(sys);
    }
}

} // namespace vcam
