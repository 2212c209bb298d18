// Collects the frames that the library delivers to its frame callback. The
// library keeps the first callback registered for its whole life, so one sink
// serves every test of a program.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>

#include "camera_test.h"

namespace velcap::test {

class FrameSink {
public:
    // Registers the sink's callback (once) and forgets earlier frames.
    static FrameSink& instance();
    void reset();

    // Waits until count frames have arrived since the last reset; false on time-out.
    bool waitFor(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    int count();
    // A copy of the last frame, R, G, B.
    cv::Mat last();
    // Runs inside the callback, on the stream thread, before the frame is counted.
    void onFrame(std::function<void(const cv::Mat&)> hook);

private:
    static void callback(unsigned char* pixels, int width, int height);
    std::mutex mutex_;
    std::condition_variable arrived_;
    int count_ = 0;
    cv::Mat last_;
    std::function<void(const cv::Mat&)> hook_;
};

// A camera test whose frames arrive in the sink, forgotten before and after each test.
class SinkTest : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        sink().reset();
    }
    void TearDown() override {
        sink().reset();
        CameraTest::TearDown();
    }
    static FrameSink& sink() { return FrameSink::instance(); }

    // Opens camera 0 in a format at a size, quietly; returns openCamera's result
    // and, when asked, what the library said.
    static int open(int format, int width, int height, std::string* out = nullptr) {
        SetVideoFormat(format);
        int result = 0;
        std::string text = stdoutOf([&] {
            getCameraResolutionCount(0);
            result = openCamera(0, width, height);
        });
        if (out) *out = text;
        return result;
    }
    static int close(std::string* out = nullptr) {
        int result = 0;
        std::string text = stdoutOf([&] { result = closeCamera(); });
        if (out) *out = text;
        return result;
    }
};

} // namespace velcap::test
