#include "frame_sink.h"

#include "velcap.h"

namespace velcap::test {

FrameSink& FrameSink::instance() {
    static FrameSink* sink = [] {
        auto* s = new FrameSink;
        SetDataCallback(&FrameSink::callback);
        return s;
    }();
    return *sink;
}

void FrameSink::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    count_ = 0;
    last_.release();
    hook_ = nullptr;
}

bool FrameSink::waitFor(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return count_ >= count; });
}

int FrameSink::count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

cv::Mat FrameSink::last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_.clone();
}

void FrameSink::onFrame(std::function<void(const cv::Mat&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

void FrameSink::callback(unsigned char* pixels, int width, int height) {
    FrameSink& s = instance();
    cv::Mat frame(height, width, CV_8UC3, pixels);
    std::function<void(const cv::Mat&)> hook;
    {
        std::lock_guard<std::mutex> lock(s.mutex_);
        hook = s.hook_;
    }
    if (hook) hook(frame);
    std::lock_guard<std::mutex> lock(s.mutex_);
    frame.copyTo(s.last_);
    ++s.count_;
    s.arrived_.notify_all();
}

} // namespace velcap::test
