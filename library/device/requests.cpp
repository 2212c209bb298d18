// Capture and recognition requests: the host's thread posts one and waits;
// the stream thread serves it on its next frame and wakes the caller.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <unistd.h>

#include "../imaging/page_quad.h"
#include "../log.h"
#include "../output/capture.h"
#include "../state.h"
#include "device.h"

using namespace std::chrono_literals;
using velcap::RequestState;

namespace {

// How long a request may wait for the stream thread to take it (about 80 and
// 200 frame periods of the slowest camera mode), and how long a capture or a
// recognition already under way may take to finish.
constexpr auto kCaptureWait = 3950ms;
constexpr auto kRecognitionWait = 9950ms;
constexpr auto kServingWait = 60s;

enum CaptureResult {
    kCaptured = 0,
    kNoCamera = -1,
    kNotServed = -2,
    kStreamStopped = -3,
    kNotWritten = -4,
    kBadPath = -5,
    kOnStreamThread = -6,
};

// The capture pipeline on the stream thread; 0 only when it wrote the file.
// The writers replace a file only by a complete new one, so an older file at
// the path stays as it was whenever this fails.
int runCapture(const char* path, const cv::Mat& frame) {
    if (frame.empty()) {
        velcap::say("captureImage: rotation %d is not 0 to 3; nothing captured for %s\n", RotateAngle.load(), path);
        return kNotWritten;
    }
    return velcap::captureFrame(path, cutType, frame) == velcap::SaveResult::written ? kCaptured : kNotWritten;
}

// Waits for a posted request of the slot to be served. Returns true when it
// was; otherwise withdraws it (taking it back when no one took it yet, or
// marking it so that the stream thread drops its result).
bool awaitServed(std::unique_lock<std::mutex>& lock, RequestState& state, bool& withdrawn,
                 std::chrono::milliseconds wait, const std::function<void()>& takeBack) {
    velcap::Requests& r = velcap::requests();
    auto finished = [&] { return state == RequestState::done || (state == RequestState::pending && !r.streaming); };
    r.served.wait_for(lock, wait, finished);
    if (state == RequestState::serving) r.served.wait_for(lock, kServingWait, finished);
    if (state == RequestState::done) {
        state = RequestState::idle;
        return true;
    }
    if (state == RequestState::pending) {
        takeBack();
        state = RequestState::idle;
    } else {
        withdrawn = true; // still being served after all this time
    }
    return false;
}

} // namespace

namespace velcap {

void setStreaming(bool on) {
    Requests& r = requests();
    {
        std::lock_guard lock(r.mutex);
        r.streaming = on;
    }
    r.served.notify_all();
}

void serveCapture(const cv::Mat& frame) {
    if (!isShootPhoto) return;
    Requests& r = requests();
    char path[sizeof(imgSavePath)];
    {
        std::lock_guard lock(r.mutex);
        if (r.capture != RequestState::pending) return;
        std::memcpy(path, imgSavePath, sizeof(path));
        r.capture = RequestState::serving;
    }
    const int result = runCapture(path, frame);
    {
        std::lock_guard lock(r.mutex);
        if (r.captureWithdrawn) {
            // Its caller gave up long ago; a photograph written meanwhile is kept.
            r.captureWithdrawn = false;
            r.capture = RequestState::idle;
        } else {
            r.captureResult = result;
            r.capture = RequestState::done;
        }
        isShootPhoto = false;
    }
    r.served.notify_all();
}

void serveRecognition(const cv::Mat& frame) {
    if (IsRecogBarQr == -99) return;
    Requests& r = requests();
    int type = 0;
    {
        std::lock_guard lock(r.mutex);
        if (r.recognition != RequestState::pending) return;
        type = IsRecogBarQr;
        r.recognition = RequestState::serving;
    }
    std::string text;
    bool decoded = false;
    if (frame.empty()) {
        velcap::say("RecogBarQrCode: rotation %d is not 0 to 3; nothing read\n", RotateAngle.load());
    } else {
        try {
            text = BarQrDecodePro(frame, type);
            decoded = true;
        } catch (const std::exception& e) {
            velcap::say("RecogBarQrCode: recognition of type %d failed: %s\n", type, e.what());
        }
    }
    if (decoded && std::strstr(pix_format, "MJPG")) velcap::say("BarQrContent:%s\n", text.c_str());
    {
        std::lock_guard lock(r.mutex);
        if (r.recognitionWithdrawn) {
            r.recognitionWithdrawn = false;
            r.recognition = RequestState::idle;
        } else {
            if (decoded) BarQrContent = text;
            r.recognitionText = std::move(text);
            r.recognition = RequestState::done;
        }
        IsRecogBarQr = -99;
    }
    r.served.notify_all();
}

} // namespace velcap

extern "C" int captureImage(const char* path) {
    if (!bKeep) return kNoCamera;
    const size_t length = path ? std::strlen(path) : 0;
    if (length == 0 || length >= sizeof(imgSavePath)) {
        velcap::say("captureImage: the path must have 1 to %zu bytes, not %zu\n", sizeof(imgSavePath) - 1, length);
        return kBadPath;
    }
    if (velcap::onStreamThread()) {
        velcap::say("captureImage: called on the stream thread, which serves it; refused\n");
        return kOnStreamThread;
    }

    velcap::Requests& r = velcap::requests();
    std::lock_guard caller(r.captureCaller);
    std::unique_lock lock(r.mutex);
    // A withdrawn capture still being written finishes before the next is posted.
    r.served.wait_for(lock, kServingWait, [&] { return r.capture != RequestState::serving; });
    if (!r.streaming) return kStreamStopped;
    if (r.capture == RequestState::serving) return kNotServed;
    std::memset(imgSavePath, 0, sizeof(imgSavePath));
    std::memcpy(imgSavePath, path, length);
    r.capture = RequestState::pending;
    isShootPhoto = true;

    const bool served = awaitServed(lock, r.capture, r.captureWithdrawn, kCaptureWait, [] { isShootPhoto = false; });
    if (served) return r.captureResult;
    return r.streaming ? kNotServed : kStreamStopped;
}

extern "C" const char* RecogBarQrCode(int type) {
    // Each caller's thread keeps its own answer until its next call.
    thread_local std::string answer;
    velcap::Requests& r = velcap::requests();
    if (type == -99) {
        std::lock_guard lock(r.mutex);
        answer = BarQrContent;
        return answer.c_str();
    }
    answer.clear();
    if (!bKeep) return answer.c_str();
    if (velcap::onStreamThread()) {
        velcap::say("RecogBarQrCode: called on the stream thread, which serves it; refused\n");
        return answer.c_str();
    }

    std::lock_guard caller(r.recognitionCaller);
    std::unique_lock lock(r.mutex);
    r.served.wait_for(lock, kServingWait, [&] { return r.recognition != RequestState::serving; });
    if (!r.streaming || r.recognition == RequestState::serving) return answer.c_str();
    r.recognition = RequestState::pending;
    IsRecogBarQr = type;
    if (awaitServed(lock, r.recognition, r.recognitionWithdrawn, kRecognitionWait, [] { IsRecogBarQr = -99; }))
        answer = std::move(r.recognitionText);
    return answer.c_str();
}

extern "C" int HasPageOutline() {
    const int type = cutType;
    const bool found = type == 2 || type == 3 ? velcap::pageQuad().found.load() : velcap::pageOutlineFound.load();
    return bKeep && found ? 1 : 0;
}
