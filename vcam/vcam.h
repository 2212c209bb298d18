// The virtual V4L2 document camera: a userspace device behind /dev/videoN.
//
// Linked into a test program, or preloaded in front of an unmodified one, it
// claims the device nodes of the installed description and answers their
// open, ioctl, mmap, poll, dup and close like a UVC camera. Every other call goes
// to the next definition. A preloaded copy installs the file named by
// VELCAP_VCAM_CONFIG, or the default description.
#pragma once

#include <functional>

#include "bridge.h"
#include "description.h"
#include "scene.h"

namespace vcam {

// The cameras served from now on. Devices still open keep the camera they had.
void install(const Description& description);
Description installed();

// A camera's controls as they are now, and how many control writes it took.
struct ControlState {
    std::vector<Control> controls;
    uint64_t writes = 0;
};
ControlState controls(int node);

// What a program does with a camera now: for tests that must know that frames
// went by, or that nothing can come any more.
struct Activity {
    uint64_t dequeued = 0; // frames taken since the stream last started
    size_t openFiles = 0;
    bool streaming = false;
};
Activity activity(int node);

// Pulls a camera out: its nodes go, every call on an open descriptor fails
// with ENODEV, and poll reports POLLERR | POLLHUP. It comes back replugMs
// later (not by itself when negative), as a new device.
void unplug(int node, int replugMs = -1);
void replug(int node);
// Told of each unplug (false) and plug (true), so that the udev side follows.
using PlugListener = std::function<void(int node, bool plugged)>;
void setPlugListener(PlugListener listener);

// The frames that a camera with this description sends at a format and size.
std::shared_ptr<FrameSource> framesOf(const Camera& camera, uint32_t fourcc, unsigned width, unsigned height);

} // namespace vcam
