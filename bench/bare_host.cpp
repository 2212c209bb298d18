// The least a host can do with the preview: open the first camera at its
// largest MJPEG size, as velcapdesk does, and receive every frame without
// looking at it. The baseline of preview_cpu.sh. With --undecoded, the
// frames are not even decoded (the camera's JPEG passed on): what the
// virtual camera and the stream cost by themselves.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "velcap.h"
#include "velcap/camera.h"

namespace {

std::atomic<long> frames{0};

void onFrame(unsigned char*, int, int) {
    ++frames;
}

} // namespace

// The object interface's camera, its frames delivered undecoded.
int undecoded(int seconds) {
    const std::vector<velcap::Device> list = velcap::devices();
    if (list.empty() || list[0].sizes.empty()) return 3;
    velcap::Camera camera;
    camera.setJpegOnly(true);
    camera.setFrameCallback([](const velcap::Frame&) { ++frames; });
    const auto [width, height] = list[0].sizes.back();
    if (camera.open(list[0], width, height) != velcap::Status::Ok) return 1;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    camera.close();
    std::fprintf(stderr, "bare_host --undecoded: %ld frames at %dx%d\n", frames.load(), width, height);
    return 0;
}

int main(int argc, char** argv) {
    const bool passOn = argc > 1 && std::strcmp(argv[1], "--undecoded") == 0;
    if (passOn) --argc, ++argv;
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 15;
    if (passOn) return undecoded(seconds);
    if (getDeviceCount() <= 0) return 3;
    SetVideoFormat(0);
    int width = 0, height = 0;
    for (int i = 0, count = getCameraResolutionCount(0); i < count; ++i) {
        int w = 0, h = 0;
        if (getCameraResolution(i, &w, &h) == 0 && h > height) width = w, height = h;
    }
    SetDataCallback(onFrame);
    if (openCamera(0, width, height) != 0) return 1;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    closeCamera();
    std::fprintf(stderr, "bare_host: %ld frames at %dx%d\n", frames.load(), width, height);
    return 0;
}
