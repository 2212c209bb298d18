// A document camera's own capture button: uvcvideo reports it as a key on an
// input device under the camera's USB device.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "unique_fd.h"
#include "velcap/types.h"

namespace velcap {

// The event nodes (/dev/input/eventN) of the input devices under the USB
// device of the camera at a video node; empty when it has none.
std::vector<std::string> buttonNodes(const std::string& videoNode);

// Reads a camera's button on a thread of its own while started.
class ButtonListener {
public:
    ButtonListener() = default;
    ~ButtonListener() { stop(); }
    ButtonListener(const ButtonListener&) = delete;
    ButtonListener& operator=(const ButtonListener&) = delete;

    // Listens to the button of the camera at videoNode, calling pressed on
    // its thread for each press. Without a button, or without the
    // permission to read it, nothing happens: false.
    bool start(const std::string& videoNode, std::function<void(ButtonKey)> pressed);
    // Stops and waits for the thread; any thread but the listener's own.
    void stop();

private:
    void run();

    std::vector<UniqueFD> inputs_;
    UniqueFD wake_;
    std::function<void(ButtonKey)> pressed_;
    std::thread thread_;
};

} // namespace velcap
