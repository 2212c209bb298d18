// What the processes of one launcher run share about each camera, as a real
// driver holds it for every process: control values, the format, whether the
// camera is plugged in, and which open file streams. The launcher names a
// file (VELCAP_VCAM_STATE); without one, each process has cameras of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "description.h"

namespace vcam::shared {

struct FormatState {
    uint32_t fourcc = 0;
    unsigned width = 0, height = 0, rate = 0;
};

// The plug state of a camera: each unplug starts a new generation; the
// camera is back once replugAtMs (wall clock) has passed, never when negative.
struct PlugState {
    uint64_t generation = 0;
    bool unplugged = false;
    int64_t replugAtMs = -1;
    bool present() const;
};

struct CameraState {
    std::vector<std::pair<uint32_t, int>> controls;
    std::optional<FormatState> format;
    PlugState plug;
};

bool enabled();
// A camera's shared state as it is now; empty when nothing is shared.
CameraState read(int node);
// Whether the shared state may have changed since the last call for this node (cheap).
bool changedSince(int node, std::string& stamp);

void writeControls(int node, const std::vector<Control>& controls);
void writeFormat(int node, const FormatState& format);
// Unplugs the camera; it comes back replugMs later (never when negative).
PlugState writeUnplug(int node, int replugMs);
// Plugs it in at once.
PlugState writeReplug(int node);

// The right to stream a camera, held by one open file of one process at a
// time (an advisory lock that ends with its process).
class StreamLock {
public:
    StreamLock() = default;
    ~StreamLock();
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;
    // False when another process holds it; always true without shared state.
    bool take(int node);
    void release();
    bool held() const { return fd_ >= 0 || local_; }

private:
    int fd_ = -1;
    bool local_ = false;
};

// The cameras unplugged with a replug time that has passed.
std::vector<int> replugDue();

// Whether another process holds a camera's stream lock.
bool lockedElsewhere(int node);

} // namespace vcam::shared
