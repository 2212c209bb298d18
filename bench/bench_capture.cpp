// One photograph at 8 MP on the virtual camera at its own rate (15 fps):
// the time from calling captureImage to its return, beside one frame period
// and one JPEG encoding of such a frame measured in the same run; and the
// longest gap between two preview frames while a capture runs. Run under
// umockdev-wrapper.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "compat/state.h"
#include "scene.h"
#include "testbed.h"
#include "vcam.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCaptures = 12;
constexpr double kFramePeriodMs = 1000.0 / 15;

std::atomic<long long> gLastFrameNs{0};
std::atomic<long long> gLongestGapNs{0};

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void onFrame(unsigned char*, int, int) {
    const long long now = nowNs(), last = gLastFrameNs.exchange(now);
    if (last && now - last > gLongestGapNs) gLongestGapNs = now - last;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// One JPEG of the scene as SaveImage writes it (B, G, R, quality 85), in memory.
double jpegEncodeMs() {
    cv::Mat rgb = vcam::renderScene(3264, 2448), bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    std::vector<double> times;
    std::vector<uchar> out;
    for (int i = 0; i < 8; ++i) {
        const auto start = Clock::now();
        cv::imencode(".jpg", bgr, out, {cv::IMWRITE_JPEG_QUALITY, 85});
        times.push_back(ms(Clock::now() - start));
    }
    return median(times);
}

struct Quiet {
    // The library's progress lines would drown the results.
    Quiet() {
        std::fflush(stdout);
        saved = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~Quiet() {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
    int saved;
};

void measure(const char* name, int cut, int clean) {
    std::vector<double> latencies, stalls;
    {
        Quiet quiet;
        SetCutType(cut);
        SetDelBlackedge(clean);
        SetDelBackColor(clean);
        for (int i = 0; i < kCaptures; ++i) {
            // Calls at every point of the frame period, as a user's key press falls.
            std::this_thread::sleep_for(std::chrono::milliseconds(150 + 37 * i % 67));
            gLongestGapNs = 0;
            const std::string path = "/tmp/velcap-bench-capture.jpg";
            const auto start = Clock::now();
            const int result = captureImage(path.c_str());
            latencies.push_back(ms(Clock::now() - start));
            std::this_thread::sleep_for(std::chrono::milliseconds(150)); // the frame after the capture
            stalls.push_back(double(gLongestGapNs) / 1e6);
            if (result != 0) std::fprintf(stderr, "captureImage: %d\n", result);
            std::remove(path.c_str());
        }
    }
    std::fprintf(stderr, "%-34s latency median %6.1f ms, worst %6.1f ms; longest preview gap median %6.1f ms\n", name,
                 median(latencies), *std::max_element(latencies.begin(), latencies.end()), median(stalls));
}

} // namespace

int main() {
    vcam::Testbed testbed;
    testbed.present(vcam::defaultDescription());
    SetDataCallback(onFrame);
    {
        Quiet quiet;
        SetVideoFormat(0);
        getCameraResolutionCount(0);
        if (openCamera(0, 3264, 2448) != 0) return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double encode = jpegEncodeMs();
    std::fprintf(stderr, "frame period %.1f ms; one JPEG encode of an 8-MP frame %.1f ms; goal %.1f ms\n",
                 kFramePeriodMs, encode, kFramePeriodMs + 1.3 * encode);
    measure("8 MP JPEG, whole frame", 0, 0);
    measure("8 MP JPEG, page cropped", 1, 0);
    measure("8 MP JPEG, whole frame, cleaned", 0, 1);
    {
        Quiet quiet;
        closeCamera();
    }
    return 0;
}
