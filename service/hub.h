// velcapd's camera: one velcap::Camera shared by every client, the live
// picture as JPEG for the stream and snapshot clients, and the commands of
// the API, answered as JSON.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "velcap/camera.h"

namespace velcapd {

using Json = nlohmann::json;

// One JPEG picture of the live stream and its frame number.
struct Picture {
    std::shared_ptr<const std::string> jpeg;
    std::uint64_t number = 0;
    std::int64_t timestamp = 0; // when the camera took it, steady_clock ns; 0 for the unplugged picture
};

class Hub {
public:
    Hub();
    ~Hub();

    // The commands, by name ("devices", "open", "close", "capture", "scan",
    // "controls", "setControls", "autoCapture"): {"ok":true,...} or
    // {"ok":false,"error":...}.
    Json run(const std::string& command, const Json& arguments);

    // The live picture: the first one after number, waiting at most timeout;
    // an empty picture when none came (no camera, or it stopped). While the
    // open camera is unplugged, the "未检测到设备" picture, at once and then
    // again each timeout, so that streams live on until it returns.
    Picture pictureAfter(std::uint64_t number, std::chrono::milliseconds timeout);
    // While a client watches, frames are encoded; count the watchers.
    void watch(bool on);
    bool isOpen() const;
    std::uint64_t frames() const { return frames_; }

    // Told of device and capture events (WebSocket clients), as JSON; any thread.
    void setEventSink(std::function<void(const Json&)> sink);

private:
    Json devices();
    Json open(const Json& arguments);
    Json capture(const Json& arguments);
    Json scan(const Json& arguments);
    Json controls();
    Json setControls(const Json& arguments);
    Json autoCapture(const Json& arguments);
    Json idCard(const Json& arguments);
    // Where a capture goes: the path asked for (absolute, of the format,
    // never an existing file), or ~/Image/TIME.FORMAT; "" and why when refused.
    std::string capturePath(const Json& arguments, const std::string& format, std::string& why);
    void onFrame(const velcap::Frame& frame);
    void publish(const Json& event);

    std::mutex commandMutex_; // one command on the camera at a time
    velcap::Camera camera_;
    std::atomic<int> watchers_{0};
    std::atomic<std::uint64_t> frames_{0};
    mutable std::mutex pictureMutex_;
    std::condition_variable pictureChanged_;
    Picture picture_;
    bool open_ = false;
    std::mutex eventMutex_;
    std::function<void(const Json&)> eventSink_;
    void* compressor_ = nullptr; // turbojpeg's, used on the stream thread only
    Picture away_;               // the unplugged picture, under pictureMutex_
    std::string idFront_;        // a card's front, photographed, waiting for its back
};

} // namespace velcapd
