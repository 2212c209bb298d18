// One open camera: its descriptor, buffers, decoder, stream thread,
// settings, requests and what its stages keep from frame to frame. The
// object interface's Camera and the flat interface's camera are each one.
#pragma once

#include <algorithm>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "../device/button.h"
#include "../device/unique_fd.h"
#include "../device/watch.h"
#include "../imaging/page_edge.h"
#include "../imaging/page_quad.h"
#include "../pipeline/capture.h"
#include "auto_capture.h"
#include "settings.h"
#include "velcap/camera.h"

namespace velcap {

// What the flat interface adds to its camera's stream thread; all optional.
struct SessionHooks {
    std::function<bool()> skipFrame;                        // before the stages: true drops the frame
    std::function<void(const cv::Mat&)> delivered;          // after the frame callback
    std::function<void(const PageWorkspace&)> outlineFound; // cut type 1 found a page on this frame
    std::function<void(const std::string&)> recognised;     // codes read for a request
    std::function<void()> opened;                           // opened, before its stream thread starts
    std::function<void()> gone;                             // the camera was unplugged; its descriptor goes
    std::function<void()> back;                             // the camera was opened again after a replug
    std::function<bool()> wantsFullFrame; // true while the hooks need this frame whole, not a preview's worth
};

// One mapped driver buffer, unmapped when it goes.
class Mapping {
public:
    Mapping() = default;
    ~Mapping() { unmap(); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    bool map(int fd, size_t length, off_t offset);
    bool unmap(); // false when nothing was mapped or munmap refused
    void* start() const { return start_; }
    size_t length() const { return length_; }

private:
    void* start_ = nullptr;
    size_t length_ = 0;
};

class Session {
public:
    static constexpr int kBufferCount = 5; // buffers asked of the driver, and the mapping table's size

    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens node and starts streaming; a driver's adjusted size is taken.
    // interpolate makes captures of the 10-megapixel size.
    Status open(const std::string& node, int width, int height, PixelFormat format, bool interpolate = false);
    // Stops the stream thread and releases the camera. On the stream thread
    // it only stops the stream (released by the next close); false then.
    // report says each empty mapping entry, as the flat interface does.
    bool close(bool report = false);
    // Whether the stream was started and not closed since (even if it ended on its own).
    bool running() const { return keep_; }
    // Whether a descriptor is held (also one whose stream thread stopped itself).
    bool holdsDevice() const { return fd_.isValid(); }
    // Releases a descriptor whose stream was stopped from its own thread.
    void releaseStopped();
    bool onStreamThread() const;
    // Waits, at most for the time given, until no stream thread serves requests; whether none does.
    bool waitUntilStopped(std::chrono::milliseconds wait);

    int fd() const { return fd_.get(); }
    int width() const { return width_; }
    int height() const { return height_; }
    std::string node(); // changes when a replugged camera comes back on another node
    // "MJPG", "YUYV" or the driver's four letters.
    const char* pixelFormat() const { return pixelFormat_; }
    // The decoded frame and its quarter-turned copy; their pixels change on the stream thread.
    const cv::Mat& image() const { return image_; }
    const cv::Mat& turned() const { return turned_; }
    void* mappedBuffer(int index) const { return mappings_[size_t(index)].start(); }
    size_t rawFrameBytes() const;

    // Whether a camera unplugged while it streams is waited for and opened
    // again, at the same size and format with the controls set through
    // setControl, when it comes back (matched by IDs and serial, else USB port).
    void setAutoReconnect(bool on) { autoReconnect_ = on; }
    // Whether the camera is unplugged and waited for.
    bool away() const { return away_; }
    // Whether the camera's profile is applied when it opens, and values set are saved to it.
    void setProfiles(bool on) { profiles_ = on; }
    // The controls, on the descriptor of the moment; values set are kept for a reconnection.
    Status readControl(unsigned id, Control& out);
    std::vector<Control> readControls();
    Status setControl(unsigned id, int value);
    // Keeps a value that was set on the camera another way (the flat interface's own requests).
    void rememberControl(unsigned id, int value);

    SettingsSource& settings() { return settings_; }
    AutoCaptureStage& autoCapture() { return autoCapture_; }
    void setHooks(SessionHooks hooks) { hooks_ = std::move(hooks); } // while no stream runs
    void setFrameCallback(std::function<void(const Frame&)> callback);
    // Any thread; called on the button's thread while the camera is open.
    void setButtonCallback(std::function<void(ButtonKey)> callback);
    bool hasButton() const { return hasButton_; }
    // Whether an MJPEG frame that no stage needs is left undecoded, the
    // callback getting its JPEG bytes alone; any thread.
    void setJpegOnly(bool on) { jpegOnly_ = on; }
    // The frame callback's frames reduced (by 2, 4 or 8) as far as they still
    // cover width x height; 0 x 0 for whole frames. A frame that no request or
    // stage needs whole is decoded reduced. Any thread.
    void setPreviewSize(int width, int height) {
        previewSize_ = (std::uint64_t(std::uint32_t(std::max(width, 0))) << 32) | std::uint32_t(std::max(height, 0));
    }
    // Frames decoded since the session was made, whole and reduced.
    std::uint64_t decodedFrames() const { return decoded_; }
    std::uint64_t reducedFrames() const { return reduced_; }

    // Requests served by the stream thread on its next frame.
    Status capture(const std::string& path);
    // The next frame as the stages see it (turned by the settings' rotation),
    // what the preview found of the page on it, and that rotation: the stream
    // thread only copies them, so that the caller's thread does the slow work.
    struct Still {
        cv::Mat frame;
        PageState page;
        int rotation = 0;
        bool interpolate = false;
    };
    Status takeStill(const std::string& forPath, Still& out); // forPath: checked and named in log lines
    // Whether a PDF capture encodes its picture in memory (the object
    // interface) rather than through the flat interface's temporary file.
    void setPdfInMemory(bool on) { pdfInMemory_ = on; }
    bool pdfInMemory() const { return pdfInMemory_; }
    // Whether a recognition request goes on with the enhanced recognition
    // where the chain reads nothing.
    void setEnhancedRecognition(bool on) { enhanced_ = on; }
    bool enhancedRecognition() const { return enhanced_; }
    Status recognise(int type, std::string& text);
    // The codes read last.
    std::string lastRecognition() const;
    bool hasPageOutline(int cutType) const;

    // One raw frame from the driver into destination, with its sequence and
    // timestamp (monotonic ns) when asked: Ok, StreamStopped when the driver
    // fails (errno tells why), BufferQueryFailed for a buffer index it should not give.
    Status grab(unsigned char* destination, int* length, std::uint64_t* sequence = nullptr,
                std::int64_t* timestamp = nullptr);
    // The stream thread's loop; it returns when the stream is stopped or ends.
    void runStream();

private:
    enum class RequestState { idle, pending, serving, done };
    enum class Step { done, next, stop };

    Status start(const std::string& node, int width, int height, PixelFormat format);
    // Opens node and starts the driver's stream: descriptor, format, buffers,
    // STREAMON. A reopening keeps the pictures and wants the same size.
    Status openDevice(const std::string& node, int width, int height, PixelFormat format, bool reopening);
    // The stream thread, after the camera went: waits for it and opens it
    // again; false when the stream is to stop.
    bool awaitReturn();
    void releaseDevice();
    void applyProfile();
    void unmapAll(bool report);
    bool waitForFrame();
    struct RawFrame {
        unsigned char* bytes;
        int length;
        std::uint64_t sequence;
        std::int64_t timestamp;
    };
    Step processFrame(const RawFrame& raw);
    bool decode(unsigned char* raw, int length);
    cv::Mat turn(int rotation);
    // The reduction the frame callback's frames get now: 1 for whole frames.
    int previewReduction(int rotation) const;
    Step deliverReduced(const RawFrame& raw, int reduction, int rotation);
    void serveCapture(const cv::Mat& frame, const CaptureParams& params);
    void serveRecognition(const cv::Mat& frame, int rotation);
    void outlineStage(const cv::Mat& frame, int cutType);
    void deliver(const cv::Mat& frame, const RawFrame& raw, bool unchanged);
    // Whether this frame's pixels are needed: by a request, a stage, a turn or the flat interface's hooks.
    bool needsPixels(const FrameSettings& settings) const;
    // Whether they are needed whole: by a request, a stage, or the hooks.
    bool needsWholeFrame(const FrameSettings& settings) const;
    void deliverJpeg(const RawFrame& raw);
    void setStreaming(bool on);
    bool awaitServed(std::unique_lock<std::mutex>& lock, RequestState& state, bool& withdrawn,
                     std::chrono::milliseconds wait);
    Status postCapture(const std::string& path, bool still);

    // The device; written only while no stream thread runs.
    UniqueFD fd_;
    std::array<Mapping, kBufferCount> mappings_;
    std::mutex deviceMutex_; // fd_ and controlValues_ while a reconnection may swap them
    std::string node_;
    PixelFormat format_ = PixelFormat::Mjpeg;
    Identity identity_;
    std::vector<std::pair<unsigned, int>> controlValues_;
    std::atomic<bool> holdsDeviceEvents_{false}; // since the camera was first away, until it closes
    std::atomic<bool> autoReconnect_{false}, away_{false}, profiles_{false}, pdfInMemory_{false}, jpegOnly_{false},
        enhanced_{false};
    std::atomic<std::uint64_t> decoded_{0}, reduced_{0};
    std::atomic<std::uint64_t> previewSize_{0}; // width << 32 | height, one word so that both change at once
    int width_ = 0, height_ = 0;
    char pixelFormat_[8] = {};
    bool interpolate_ = false;
    std::unique_ptr<class MjpegDecoder> decoder_;
    cv::Mat image_, turned_;
    std::unique_ptr<class ScaledJpegDecoder> scaledDecoder_; // made on the first reduced MJPEG frame
    cv::Mat preview_, previewTurned_;
    std::thread thread_;
    std::atomic<bool> keep_{false}; // the stream thread's run flag

    SettingsSource settings_;
    SessionHooks hooks_;
    std::mutex callbackMutex_;
    std::mutex buttonMutex_; // guards buttonCallback_
    std::shared_ptr<const std::function<void(ButtonKey)>> buttonCallback_;
    ButtonListener button_; // started by open and a replug, stopped by close
    std::atomic<bool> hasButton_{false};
    void listenToButton();
    std::shared_ptr<const std::function<void(const Frame&)>> callback_;

    // What the stages keep (stream thread only), and what hosts may ask of it.
    PageWorkspace outline_;
    QuadTracker tracker_;
    PageState page_;
    std::atomic<bool> outlineFound_{false}, quadFound_{false};
    AutoCaptureStage autoCapture_;

    // The requests: everything here is read and written under mutex_; callers wait on served_.
    mutable std::mutex mutex_;
    std::condition_variable served_;
    bool streaming_ = false; // a stream thread runs and will serve requests
    RequestState capture_ = RequestState::idle;
    bool captureWithdrawn_ = false;
    Status captureResult_ = Status::Ok;
    std::string capturePath_;
    bool captureStill_ = false; // the request only wants the frame, into still_
    Still still_;
    RequestState recognition_ = RequestState::idle;
    bool recognitionWithdrawn_ = false;
    int recognitionType_ = 0;
    std::string recognitionText_, lastRecognition_;
    std::atomic<bool> captureWanted_{false}, recognitionWanted_{false}; // checked on every frame without the lock
    // One caller per kind at a time: a second caller waits for the first.
    std::mutex captureCaller_, recognitionCaller_;
};

} // namespace velcap
