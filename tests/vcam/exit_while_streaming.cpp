// A host that ends the process while the camera streams, as velcapdesk does
// when its display goes away: it must exit cleanly, not die in the library's
// or OpenCV's static destruction. Run under the launcher.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "velcap.h"

namespace {

std::atomic<int> frames{0};

void onFrame(unsigned char* pixels, int width, int height) {
    // Work of OpenCV's on every frame, as a real host's preview does.
    cv::Mat frame(height, width, CV_8UC3, pixels), small, noise(64, 64, CV_8UC1);
    cv::resize(frame, small, cv::Size(width / 4, height / 4), 0, 0, cv::INTER_AREA);
    cv::randu(noise, 0, 255); // OpenCV's per-thread state
    ++frames;
}

} // namespace

int main() {
    SetDataCallback(onFrame);
    SetCutType(1); // the page outline too
    SetVideoFormat(0);
    getCameraResolutionCount(0);
    if (openCamera(0, 1280, 720) != 0) return 2;
    while (frames < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::fflush(stdout);
    std::exit(0);
}
