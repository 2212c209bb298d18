// Auto-capture: the stream thread photographs each new page laid under the
// camera once, when it has lain still for a while, with the capture pipeline
// and the settings of that frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "../pipeline/capture.h"
#include "clock.h"
#include "settings.h"
#include "velcap/camera.h"

namespace velcap {

// The longest path a capture writes to, in bytes.
constexpr size_t kMaxCapturePath = 254;

class AutoCaptureStage {
public:
    explicit AutoCaptureStage(const Clock& clock = steadyClock());
    // Any thread: the settings apply from the next frame.
    void configure(AutoCapture config);
    bool on() const { return on_; }
    // The stream thread: forget what was seen (a camera opens), and look at one frame.
    void reset();
    void process(const cv::Mat& frame, const FrameSettings& settings, const CaptureParams& params,
                 const PageState& page);

private:
    const Clock& clock_;
    std::mutex mutex_; // guards config_
    std::shared_ptr<const AutoCapture> config_;
    std::atomic<bool> on_{false};
    // What the stage remembers between frames (stream thread only).
    std::vector<uint8_t> view_, previous_, captured_;
    Clock::time_point stillSince_;
    bool haveCaptured_ = false;
    // The still page whose writing failed: tried again until it moves.
    bool failing_ = false;
    Clock::time_point lastAttempt_;
};

} // namespace velcap
