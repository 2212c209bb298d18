// Telling hosts when a supported camera comes or goes, and waking sessions
// that wait for theirs: one udev monitor on a thread of the library, running
// while a host listens or a session holds it.
#include "device_events.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <poll.h>
#include <thread>

#include "../device/device.h"
#include "../device/watch.h"
#include "../log.h"

namespace velcap {

namespace {

using Callback = std::function<void(const Device&, bool)>;

struct Watcher {
    std::mutex mutex; // guards callback, holds, events and thread
    std::condition_variable evented;
    std::shared_ptr<const Callback> callback;
    int holds = 0;
    std::uint64_t events = 0;
    std::thread thread;
    std::atomic<bool> run{false};
};

Watcher& watcher() {
    static Watcher* w = new Watcher; // the thread may outlive the statics at exit
    return *w;
}

bool supported(const Identity& identity) {
    for (int i = 0; i < kSupportedModelCount; ++i)
        if (identity.vendor == kSupportedVendors[i] && identity.product == kSupportedProducts[i]) return true;
    return false;
}

unsigned hex(const std::string& text) {
    return unsigned(std::strtoul(text.c_str(), nullptr, 16));
}

void watch() {
    Watcher& w = watcher();
    DeviceMonitor monitor;
    if (!monitor.valid()) {
        logWarning(Category::Device, "device events: udev gives no monitor; no camera will be announced\n");
        return;
    }
    while (w.run) {
        pollfd descriptor{monitor.fd(), POLLIN, 0};
        if (poll(&descriptor, 1, 100) <= 0) continue;
        std::string action, node;
        Identity identity;
        while (monitor.next(action, node, identity)) {
            {
                std::lock_guard lock(w.mutex);
                ++w.events;
            }
            w.evented.notify_all();
            if (node.empty() || !supported(identity) || (action != "add" && action != "remove")) continue;
            Device device;
            device.node = node;
            device.vendor = hex(identity.vendor);
            device.product = hex(identity.product);
            device.serial = identity.serial;
            const bool added = action == "add";
            if (added) {
                cameraName(node, device.name);
                bool ok = false;
                for (Device& d : findCameras(kSupportedVendors, kSupportedProducts, kSupportedModelCount,
                                             Listing::EveryCamera, true, ok))
                    if (d.node == node) device = std::move(d);
            }
            std::shared_ptr<const Callback> callback;
            {
                std::lock_guard lock(w.mutex);
                callback = w.callback;
            }
            if (callback) (*callback)(device, added);
        }
    }
}

void stopWatching() {
    Watcher& w = watcher();
    w.run = false;
    if (w.thread.joinable() && w.thread.get_id() != std::this_thread::get_id()) w.thread.join();
}

// Starts or stops the thread as listeners come and go. A monitor closed while
// events are on their way is a fault for some senders (umockdev's among them),
// so it lives as long as anyone needs it, not per wait.
void update(Watcher& w, std::unique_lock<std::mutex>& lock) {
    const bool wanted = w.callback || w.holds > 0;
    if (wanted && !w.run) {
        if (w.thread.joinable()) w.thread.join();
        w.run = true;
        w.thread = std::thread(watch);
        static const bool stopsAtExit = std::atexit(stopWatching) == 0;
        (void)stopsAtExit;
    } else if (!wanted && w.run) {
        w.run = false;
        std::thread finished = std::move(w.thread);
        lock.unlock();
        // From the callback itself, the thread ends by itself after it returns.
        if (finished.get_id() == std::this_thread::get_id())
            finished.detach();
        else if (finished.joinable())
            finished.join();
    }
}

} // namespace

void setDeviceCallback(std::function<void(const Device& device, bool added)> callback) {
    Watcher& w = watcher();
    std::unique_lock lock(w.mutex);
    w.callback = callback ? std::make_shared<const Callback>(std::move(callback)) : nullptr;
    update(w, lock);
}

void holdDeviceEvents() {
    Watcher& w = watcher();
    std::unique_lock lock(w.mutex);
    ++w.holds;
    update(w, lock);
}

void releaseDeviceEvents() {
    Watcher& w = watcher();
    std::unique_lock lock(w.mutex);
    if (w.holds > 0) --w.holds;
    update(w, lock);
}

std::uint64_t deviceEventCount() {
    Watcher& w = watcher();
    std::lock_guard lock(w.mutex);
    return w.events;
}

void waitForDeviceEvent(std::uint64_t seen, std::chrono::milliseconds limit) {
    Watcher& w = watcher();
    std::unique_lock lock(w.mutex);
    w.evented.wait_for(lock, limit, [&] { return w.events != seen; });
}

} // namespace velcap
