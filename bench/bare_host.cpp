// The least a host can do with the preview: open the first camera at its
// largest MJPEG size, as velcapdesk does, and receive every frame without
// looking at it. The baseline of preview_cpu.sh.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "velcap.h"

namespace {

std::atomic<long> frames{0};

void onFrame(unsigned char*, int, int) {
    ++frames;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 15;
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
