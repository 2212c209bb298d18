// The state file of a launcher run: one line per fact,
//   NODE control ID VALUE
//   NODE format FOURCC WIDTH HEIGHT RATE
//   NODE plug GENERATION UNPLUGGED REPLUG_AT_MS
// rewritten whole under a lock and renamed into place, so that readers never
// see half of it; and one lock file per camera for the right to stream.
#include "shared_state.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bridge.h"

namespace vcam::shared {

namespace {

const char* statePath() {
    const char* path = std::getenv("VELCAP_VCAM_STATE");
    return path && *path ? path : nullptr;
}

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Descriptors of the device's own files go through the next close, not the
// interposed one: their numbers may once have been a camera's.
struct FileLock {
    explicit FileLock(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd >= 0) ::flock(fd, LOCK_EX);
    }
    ~FileLock() {
        if (fd >= 0) vcam_real_close(fd);
    }
    int fd;
};

struct Line {
    int node;
    std::string key;
    std::string rest;
};

std::vector<Line> readLines(const char* path) {
    std::vector<Line> lines;
    std::ifstream in(path);
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream words(text);
        Line line;
        if (!(words >> line.node >> line.key)) continue;
        std::getline(words >> std::ws, line.rest);
        lines.push_back(line);
    }
    return lines;
}

// Replaces the lines of one node and key with these, under the lock.
template <typename Edit>
void rewrite(Edit edit) {
    const char* path = statePath();
    if (!path) return;
    FileLock lock(std::string(path) + ".lock");
    std::vector<Line> lines = readLines(path);
    edit(lines);
    const std::string temporary = std::string(path) + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const Line& line : lines) out << line.node << " " << line.key << " " << line.rest << "\n";
    }
    std::rename(temporary.c_str(), path);
}

void replace(std::vector<Line>& lines, int node, const std::string& key, std::vector<std::string> rests) {
    std::vector<Line> kept;
    for (Line& line : lines)
        if (line.node != node || line.key != key) kept.push_back(line);
    for (std::string& rest : rests) kept.push_back({node, key, std::move(rest)});
    lines.swap(kept);
}

PlugState plugOf(const std::vector<Line>& lines, int node) {
    PlugState plug;
    for (const Line& line : lines)
        if (line.node == node && line.key == "plug") {
            int unplugged = 0;
            std::istringstream(line.rest) >> plug.generation >> unplugged >> plug.replugAtMs;
            plug.unplugged = unplugged != 0;
        }
    return plug;
}

PlugState writePlug(int node, bool unplug, int replugMs) {
    PlugState result;
    if (!statePath()) {
        result.unplugged = unplug;
        result.replugAtMs = unplug && replugMs >= 0 ? nowMs() + replugMs : -1;
        return result;
    }
    rewrite([&](std::vector<Line>& lines) {
        result = plugOf(lines, node);
        if (unplug) {
            ++result.generation;
            result.unplugged = true;
            result.replugAtMs = replugMs >= 0 ? nowMs() + replugMs : -1;
        } else {
            result.unplugged = false;
            result.replugAtMs = -1;
        }
        replace(lines, node, "plug",
                {std::to_string(result.generation) + " " + (result.unplugged ? "1 " : "0 ") +
                 std::to_string(result.replugAtMs)});
    });
    return result;
}

std::string lockPath(int node) {
    return std::string(statePath()) + ".stream" + std::to_string(node);
}

} // namespace

bool PlugState::present() const {
    return !unplugged || (replugAtMs >= 0 && nowMs() >= replugAtMs);
}

bool enabled() {
    return statePath() != nullptr;
}

CameraState read(int node) {
    CameraState state;
    const char* path = statePath();
    if (!path) return state;
    const std::vector<Line> lines = readLines(path);
    for (const Line& line : lines) {
        if (line.node != node) continue;
        std::istringstream words(line.rest);
        if (line.key == "control") {
            uint32_t id = 0;
            int value = 0;
            if (words >> id >> value) state.controls.emplace_back(id, value);
        } else if (line.key == "format") {
            FormatState f;
            if (words >> f.fourcc >> f.width >> f.height >> f.rate) state.format = f;
        }
    }
    state.plug = plugOf(lines, node);
    return state;
}

bool changedSince(int, std::string& stamp) {
    const char* path = statePath();
    if (!path) return false;
    struct stat info {};
    std::string now = "none";
    if (::stat(path, &info) == 0)
        now = std::to_string(info.st_ino) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
              std::to_string(info.st_mtim.tv_nsec) + ":" + std::to_string(info.st_size);
    if (now == stamp) return false;
    stamp = now;
    return true;
}

void writeControls(int node, const std::vector<Control>& controls) {
    rewrite([&](std::vector<Line>& lines) {
        std::vector<std::string> rests;
        for (const Control& c : controls) rests.push_back(std::to_string(c.id) + " " + std::to_string(c.value));
        replace(lines, node, "control", rests);
    });
}

void writeFormat(int node, const FormatState& f) {
    rewrite([&](std::vector<Line>& lines) {
        replace(lines, node, "format",
                {std::to_string(f.fourcc) + " " + std::to_string(f.width) + " " + std::to_string(f.height) + " " +
                 std::to_string(f.rate)});
    });
}

PlugState writeUnplug(int node, int replugMs) {
    return writePlug(node, true, replugMs);
}

PlugState writeReplug(int node) {
    return writePlug(node, false, -1);
}

std::vector<int> replugDue() {
    std::vector<int> due;
    const char* path = statePath();
    if (!path) return due;
    const std::vector<Line> lines = readLines(path);
    for (const Line& line : lines)
        if (line.key == "plug") {
            const PlugState plug = plugOf(lines, line.node);
            if (plug.unplugged && plug.present()) due.push_back(line.node);
        }
    return due;
}

StreamLock::~StreamLock() {
    release();
}

bool StreamLock::take(int node) {
    if (held()) return true;
    if (!enabled()) {
        local_ = true;
        return true;
    }
    const int fd = ::open(lockPath(node).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        vcam_real_close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void StreamLock::release() {
    if (fd_ >= 0) vcam_real_close(fd_);
    fd_ = -1;
    local_ = false;
}

bool lockedElsewhere(int node) {
    if (!enabled()) return false;
    StreamLock probe;
    return !probe.take(node);
}

} // namespace vcam::shared
