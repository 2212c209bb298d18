// velcapd's camera: one velcap::Camera shared by every client, the live
// picture as JPEG for the stream and snapshot clients, and the commands of
// the API, answered as JSON.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "velcap/camera.h"

namespace velcapd {

using Json = nlohmann::json;

// One JPEG picture of the live stream and its frame number.
struct Picture {
    std::shared_ptr<const std::string> jpeg;
    std::uint64_t number = 0;
    std::int64_t timestamp = 0; // when it was taken (the unplugged picture: made), steady_clock ns
};

// Where pages may write, and where the service keeps what it must keep a while.
struct HubOptions {
    // Captures without a path go here; pages may write under it (~/Image when empty).
    std::string saveFolder;
    // Further folders that pages may write under.
    std::vector<std::string> allowedFolders;
    // The private folder for a card's side waiting for the other (made 0700
    // and emptied at start); $XDG_RUNTIME_DIR/velcapd, else the config folder's.
    std::string privateFolder;
    // How long a card's front waits for its back.
    std::chrono::seconds cardWait{300};
    // Also cameras outside the table that stream MJPEG or YUYV.
    bool anyCamera = false;
};

// The answer's HTTP status rides in the JSON under this key until the server takes it out.
inline constexpr const char* kStatusKey = "httpStatus";

class Hub {
public:
    explicit Hub(HubOptions options = {});
    ~Hub();

    // The commands, by name ("devices", "open", "close", "capture", "scan",
    // "controls", "setControls", "autoCapture", "idcard", "captureOnButton"): {"ok":true,...} or
    // {"ok":false,"error":...} with kStatusKey (400, 403 or 422). Any thread;
    // slow ones (captures with OCR, card copies) take seconds, so hosts call
    // them off their network threads.
    Json run(const std::string& command, const Json& arguments);

    // A scan of the page on the desk (eSCL's): from the camera as a client
    // opened it, else from the first camera, opened for it and closed again.
    // why says what failed.
    velcap::Status scanPage(const velcap::ScanSettings& settings, velcap::Scan& out, std::string& why);
    // The camera's name for a scanner's make and model, and its serial.
    std::pair<std::string, std::string> scannerName() const;

    // Told each new picture while someone watches, on the stream thread: the
    // camera's frames, and while the open camera is unplugged, the
    // "未检测到设备" picture (at once, then at each tick()). An empty picture
    // says the camera was closed. An empty function stops it; once set to
    // empty, no call is under way.
    void setPictureSink(std::function<void(const Picture&)> sink);
    // The unplugged picture while the open camera is away, made now; else empty.
    Picture awayPicture() const;
    // While a client watches, frames are encoded; count the watchers.
    void watch(bool on);
    bool isOpen() const;
    std::uint64_t frames() const { return frames_; }
    // Every few seconds, from the host: the unplugged picture again, and a
    // card's front that waited too long is removed.
    void tick();

    // Told of device and capture events (WebSocket clients), as JSON; any thread.
    void setEventSink(std::function<void(const Json&)> sink);

    const HubOptions& options() const { return options_; }

private:
    Json devices();
    std::vector<velcap::Device> listed() const;
    Json open(const Json& arguments);
    Json close();
    Json capture(const Json& arguments);
    Json captureBook(const std::string& path, const velcap::CaptureSettings& settings);
    Json scan(const Json& arguments);
    Json controls();
    Json setControls(const Json& arguments);
    Json autoCapture(const Json& arguments);
    Json idCard(const Json& arguments);
    Json captureOnButton(const Json& arguments);
    // A press of the camera's button, on the library's thread: told to the
    // clients, and photographed on the button's own thread when a page asked.
    void onButton(velcap::ButtonKey key);
    void serveButton();
    // Where a capture goes: the path asked for, or saveFolder/TIME.FORMAT;
    // "" and the failure when refused.
    std::string capturePath(const Json& arguments, const std::string& format, Json& refusal);
    // Whether folder (resolved) lies under the save folder or an allowed one.
    bool writableFolder(const std::string& folder) const;
    void forgetCardFront();
    void onFrame(const velcap::Frame& frame);
    void onAway(bool away);
    void publish(const Json& event);
    void tellPicture(const Picture& picture);

    const HubOptions options_;
    std::mutex commandMutex_; // one command on the camera at a time
    velcap::Camera camera_;
    std::atomic<int> watchers_{0};
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<bool> open_{false}, away_{false};
    std::mutex sinkMutex_; // pictureSink_; held while it is called
    std::function<void(const Picture&)> pictureSink_;
    std::mutex eventMutex_;
    std::function<void(const Json&)> eventSink_;
    void* compressor_ = nullptr; // turbojpeg's, used on the stream thread only
    std::mutex cardMutex_;       // the card's front, between commands and tick()
    std::string cardFront_;      // a card's front, photographed, waiting for its back
    std::chrono::steady_clock::time_point cardTaken_;
    std::mutex buttonMutex_; // the three below
    std::condition_variable buttonPressed_;
    Json onButton_;    // the capture's arguments while a page wants one at each press; null when not
    int presses_ = -1; // presses waiting to be photographed; -1 when the hub ends
    std::thread buttonThread_;
};

// Whether text nests arrays and objects deeper than limit, found without
// parsing it: the parser and everything after it recurse on nesting.
bool nestedDeeperThan(const std::string& text, int limit);

} // namespace velcapd
