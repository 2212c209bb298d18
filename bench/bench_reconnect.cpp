// Replugging a streaming camera 100 times with auto-reconnect on: the time
// from the node's return to the first frame of the camera opened again (the
// goal is at most 500 ms), and whether descriptors, memory or the stream
// thread are lost along the way. Run under umockdev-wrapper.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testbed.h"
#include "vcam.h"
#include "velcap/camera.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCycles = 100;

int openDescriptors() {
    int count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++count;
        closedir(d);
    }
    return count - 3; // ".", ".." and the listing's own
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key)
        if (key == "VmRSS:" && status >> value) return value;
    return 0;
}

struct Frames {
    std::mutex mutex;
    std::condition_variable arrived;
    long count = 0;
    Clock::time_point last;
    bool waitBeyond(long seen, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, limit, [&] { return count > seen; });
    }
};

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main() {
    vcam::Testbed testbed;
    testbed.present(vcam::defaultDescription());
    velcap::setLogHandler([](velcap::LogLevel, const char*, const char*) {});
    const std::vector<velcap::Device> list = velcap::devices();
    if (list.empty()) {
        std::fprintf(stderr, "no camera; run under umockdev-wrapper\n");
        return 1;
    }
    // A host that follows the device list, as velcapdesk does.
    velcap::setDeviceCallback([](const velcap::Device&, bool) {});
    Frames frames;
    velcap::Camera camera;
    camera.setAutoReconnect(true);
    camera.setFrameCallback([&](const velcap::Frame&) {
        {
            std::lock_guard lock(frames.mutex);
            ++frames.count;
            frames.last = Clock::now();
        }
        frames.arrived.notify_all();
    });
    if (camera.open(list[0], 1280, 720) != velcap::Status::Ok || !frames.waitBeyond(3, std::chrono::seconds(5))) {
        std::fprintf(stderr, "the camera does not stream\n");
        return 1;
    }

    // The first cycle warms up what stays (udev's and the decoder's tables).
    std::vector<double> latencies;
    int descriptorsBefore = 0, stuck = 0;
    long residentBefore = 0;
    for (int cycle = 0; cycle <= kCycles; ++cycle) {
        if (cycle == 1) descriptorsBefore = openDescriptors(), residentBefore = residentKiB();
        vcam::unplug(0);
        const auto unplugged = Clock::now();
        while (!camera.isAway() && Clock::now() - unplugged < std::chrono::seconds(5))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        long seen = 0;
        {
            std::lock_guard lock(frames.mutex);
            seen = frames.count;
        }
        const auto replugged = Clock::now();
        vcam::replug(0);
        if (!frames.waitBeyond(seen, std::chrono::seconds(5))) {
            ++stuck;
            continue;
        }
        std::lock_guard lock(frames.mutex);
        if (cycle > 0) latencies.push_back(ms(frames.last - replugged));
    }
    const int descriptorsAfter = openDescriptors();
    const long residentAfter = residentKiB();
    camera.close();
    velcap::setDeviceCallback(nullptr);

    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) {
        std::printf("no cycle resumed\n");
        return 1;
    }
    std::printf("%d unplug/replug cycles at 1280x720 MJPEG: %d stuck\n", kCycles, stuck);
    std::printf("resume latency (replug to first frame): median %.1f ms, worst %.1f ms; goal 500 ms\n",
                latencies[latencies.size() / 2], latencies.back());
    std::printf("descriptors %d -> %d, resident memory %ld -> %ld KiB\n", descriptorsBefore, descriptorsAfter,
                residentBefore, residentAfter);
    return stuck == 0 && descriptorsAfter <= descriptorsBefore ? 0 : 1;
}
