// The virtual V4L2 document camera: a userspace device behind /dev/videoN.
//
// Linked into a test program, or preloaded in front of an unmodified one, it
// claims the device nodes of the installed description and answers their
// open, ioctl, mmap, poll, dup and close like a UVC camera. Every other call goes
// to the next definition. A preloaded copy installs the file named by
// VELCAP_VCAM_CONFIG, or the default description.
#pragma once

#include <functional>

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

// Bridge for the interposer: the device side of each interposed call.
extern "C" {
int vcam_claims_path(const char* path, int* node);
int vcam_is_device(int fd);
int vcam_open(int node, int flags);
int vcam_close(int fd);
int vcam_dup(int fd);
// copy, a new descriptor of fd's open file made by the caller, joins it.
int vcam_dup_to(int fd, int copy);
// Forgets a descriptor that is about to be replaced (dup2 onto it).
void vcam_forget(int fd);
// What poll reports for a descriptor now: POLLIN, POLLPRI, POLLERR, POLLHUP.
short vcam_poll_events(int fd, short requested);
int vcam_ioctl(int fd, unsigned long request, void* argument);
void* vcam_mmap(void* address, size_t length, int protection, int flags, int fd, long long offset);
void vcam_fill_stat(int node, void* stat);
int vcam_node_of(int fd);
}

} // namespace vcam
