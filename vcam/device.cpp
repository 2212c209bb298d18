// The virtual camera's device nodes: the registry of nodes and open files,
// frames timed at the chosen rate, what poll reports, the state shared with
// the other processes of a run, and unplugging and plugging in again.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include <linux/input.h>

#include "bridge.h"
#include "node.h"
#include "vcam.h"

namespace vcam {

namespace {

using Clock = std::chrono::steady_clock;

struct Registry {
    std::mutex mutex;
    bool installed = false;
    Description description;
    std::map<int, std::shared_ptr<Node>> nodes;
    std::map<int, std::shared_ptr<OpenFile>> files;
    std::string sharedStamp;
    PlugListener listener;
    std::map<int, std::vector<int>> buttons; // a camera's node: the sending ends of its opened buttons
};

// Never destroyed: interposed calls may come during the exit of the process.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

void loadShared(Node& n, const shared::CameraState& state) {
    for (const auto& [id, value] : state.controls)
        for (Control& c : n.camera.controls)
            if (c.id == id) c.value = std::clamp(value, c.minimum, c.maximum);
    if (state.format && !n.owner && n.camera.format(state.format->fourcc)) {
        n.fourcc = state.format->fourcc;
        n.width = state.format->width;
        n.height = state.format->height;
        n.rate = state.format->rate;
    }
}

std::shared_ptr<Node> makeNode(const Camera& c, bool metadata, uint64_t generation) {
    auto node = std::make_shared<Node>(c, metadata, generation);
    if (!metadata) loadShared(*node, shared::read(c.node));
    return node;
}

void installLocked(Registry& r, const Description& d) {
    r.description = d;
    r.nodes.clear();
    for (const Camera& c : d.cameras) {
        const uint64_t generation = shared::read(c.node).plug.generation;
        r.nodes[c.node] = makeNode(c, false, generation);
        if (hasMetadataNode(d, c)) r.nodes[c.node + 1] = makeNode(c, true, generation);
    }
    r.installed = true;
}

void ensureInstalled(Registry& r) {
    if (r.installed) return;
    Description d;
    try {
        const char* path = std::getenv("VELCAP_VCAM_CONFIG");
        d = path && *path ? load(path) : defaultDescription();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velcap-vcam: %s\n", e.what());
    }
    installLocked(r, d);
}

std::shared_ptr<OpenFile> fileOf(int fd) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.files.find(fd);
    return it == r.files.end() ? nullptr : it->second;
}

bool wantsSignal(const Node& n, const OpenFile& file) {
    if (n.unplugged || !file.events.empty()) return true;
    if (n.owner != &file) return false;
    return !n.done.empty() || !n.streaming;
}

void setSignal(OpenFile& file, bool on) {
    if (on == file.signalled) return;
    uint64_t value = 1;
    if (on) {
        if (::write(file.eventFd, &value, sizeof(value)) == sizeof(value)) file.signalled = true;
    } else {
        // The descriptor may be in blocking mode; read only what is there.
        pollfd p{file.eventFd, POLLIN, 0};
        if (vcam_real_poll(&p, 1, 0) == 1 && ::read(file.eventFd, &value, sizeof(value)) == sizeof(value))
            file.signalled = false;
    }
}

// Applies the damage that the faults ask for to a freshly rendered MJPEG frame.
size_t damageFrame(const Faults& f, uint64_t number, uint8_t* data, size_t bytes) {
    if (f.mjpeg == Faults::Mjpeg::None || number < uint64_t(f.mjpegAfter)) return bytes;
    switch (f.mjpeg) {
    case Faults::Mjpeg::Empty:
        return 0;
    case Faults::Mjpeg::Truncated:
        return bytes / 3;
    case Faults::Mjpeg::Corrupt: {
        // Headers intact, garbage in the middle of the entropy-coded data.
        uint32_t state = uint32_t(number) * 2654435761u + 1;
        for (size_t i = bytes / 3; i < bytes * 2 / 3; ++i) {
            state = state * 1664525u + 1013904223u;
            data[i] = uint8_t(state >> 24);
        }
        return bytes;
    }
    default:
        return bytes;
    }
}

// Without a testbed in the process (under the launcher), the node's sysfs
// entries go and come back, so that libudev stops and starts listing them.
void moveSysfsEntries(const Description& d, int node, bool plugged) {
    const char* root = std::getenv("UMOCKDEV_DIR");
    const Camera* camera = d.camera(node);
    if (!root || !*root || !camera) return;
    for (int metadata = 0; metadata <= (hasMetadataNode(d, *camera) ? 1 : 0); ++metadata) {
        const std::string path = std::string(root) + "/sys" + videoSysfsPath(d, *camera, metadata);
        const size_t slash = path.rfind('/');
        const std::string hidden = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + "-unplugged";
        if (plugged)
            std::rename(hidden.c_str(), path.c_str());
        else
            std::rename(path.c_str(), hidden.c_str());
    }
}

void notifyListener(int node, bool plugged) {
    PlugListener listener;
    Description description;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        listener = r.listener;
        description = r.description;
    }
    if (listener)
        listener(node, plugged);
    else
        moveSysfsEntries(description, node, plugged);
}

// Marks a node's device gone: every waiter wakes to ENODEV.
void markUnplugged(Node& n) {
    n.unplugged = true;
    n.stopTicker = true;
    n.changed.notify_all();
    updateSignals(n);
}

void markRegistryUnplugged(int cameraNode) {
    Registry& r = registry();
    std::vector<std::shared_ptr<Node>> nodes;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        for (auto& [number, node] : r.nodes)
            if (node->camera.node == cameraNode) nodes.push_back(node);
    }
    for (auto& node : nodes) {
        std::lock_guard<std::mutex> lock(node->mutex);
        markUnplugged(*node);
    }
}

void scheduleReplug(int cameraNode, int ms, uint64_t generation) {
    std::thread([cameraNode, ms, generation] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        // Only the unplug that scheduled it: a later one has its own.
        if (shared::enabled() && shared::read(cameraNode).plug.generation != generation) return;
        replug(cameraNode);
    }).detach();
}

// A press and release of a camera's button, as evdev reports them, to every
// reader of it; a reader that went is forgotten.
void pressButton(int cameraNode) {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const input_event events[] = {{now, EV_MSC, MSC_SCAN, 0x90001},
                                  {now, EV_KEY, KEY_CAMERA, 1},
                                  {now, EV_SYN, SYN_REPORT, 0},
                                  {now, EV_KEY, KEY_CAMERA, 0},
                                  {now, EV_SYN, SYN_REPORT, 0}};
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<int>& ends = r.buttons[cameraNode];
    for (auto end = ends.begin(); end != ends.end();) {
        if (::send(*end, events, sizeof(events), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) {
            vcam_real_close(*end);
            end = ends.erase(end);
        } else {
            ++end;
        }
    }
}

void tickerLoop(Node* n) {
    std::unique_lock<std::mutex> lock(n->mutex);
    const unsigned fps = n->camera.freeRunning ? 0 : n->rate;
    const auto period = fps ? std::chrono::nanoseconds(1000000000LL / fps) : std::chrono::nanoseconds(0);
    // The sensor starts at STREAMON: the first frame comes after its first period, or later.
    auto due = Clock::now() + std::chrono::milliseconds(n->camera.firstFrameMs);
    if (n->camera.firstFrameMs) due -= period;
    const auto zero = due; // the sensor's time 0, for the real clock
    while (!n->stopTicker) {
        if (fps) {
            due += period;
            if (due < Clock::now() - period) due = Clock::now(); // fell behind: no burst of frames
            n->changed.wait_until(lock, due, [n] { return n->stopTicker; });
        } else {
            n->changed.wait(lock, [n] { return n->stopTicker || !n->queue.empty(); });
        }
        if (n->stopTicker) break;
        const Camera& camera = n->camera;
        if (camera.unplugAfterFrames >= 0 && n->produced >= uint64_t(camera.unplugAfterFrames)) {
            const int node = camera.node, replugMs = camera.replugMs;
            lock.unlock();
            unplug(node, replugMs);
            return;
        }
        // A frame the sensor took counts in the sequence even when no buffer
        // waits for it; on the real clock, so do those it had no time to make.
        if (camera.realClock && fps) {
            const auto periods = uint64_t(std::max<int64_t>(1, int64_t((Clock::now() - zero) / period)));
            n->sequence = std::max<uint64_t>(n->sequence, periods - 1);
        }
        const uint64_t sequence = n->sequence++;
        if (n->queue.empty()) continue;
        const unsigned index = n->queue.front();
        n->queue.pop_front();
        const uint64_t number = n->produced++;
        const bool press =
            camera.button && camera.buttonAfter >= 0 && number + 1 >= uint64_t(camera.buttonAfter) &&
            (camera.buttonEvery > 0 ? (number + 1 - uint64_t(camera.buttonAfter)) % uint64_t(camera.buttonEvery) == 0
                                    : number + 1 == uint64_t(camera.buttonAfter));
        const int cameraNode = camera.node;
        uint8_t* data = n->memory + n->buffers[index].offset;
        const size_t capacity = n->bufferLength;
        auto source = n->source;
        auto show = n->show;
        const Faults faults = camera.faults;
        const uint32_t fourcc = n->fourcc;
        lock.unlock();
        size_t bytes =
            show ? show->render(sequence, fps ? fps : 30, data, capacity) : source->render(sequence, data, capacity);
        if (faults.slowFrameMs) std::this_thread::sleep_for(std::chrono::milliseconds(faults.slowFrameMs));
        if (fourcc == V4L2_PIX_FMT_MJPEG) bytes = damageFrame(faults, number, data, bytes);
        if (faults.bytesUsed) bytes = faults.bytesUsed;
        // An incomplete frame, as a USB transfer error leaves one: its end is missing.
        const bool error = faults.errorEvery > 0 && (number + 1) % uint64_t(faults.errorEvery) == 0;
        if (error) bytes /= 2;
        if (press) pressButton(cameraNode);
        lock.lock();
        Buffer& b = n->buffers[index];
        b.bytesUsed = uint32_t(bytes);
        b.sequence = uint32_t(sequence);
        b.error = error;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        b.timestamp = {now.tv_sec, now.tv_nsec / 1000};
        b.queued = false;
        b.done = true;
        n->done.push_back(index);
        updateSignals(*n);
        n->changed.notify_all();
    }
}

} // namespace

Node::Node(const Camera& c, bool metadataNode, uint64_t plugGeneration)
    : camera(c), metadata(metadataNode), generation(plugGeneration) {
    if (!camera.formats.empty() && !camera.formats[0].sizes.empty()) {
        const FrameSize& first = camera.formats[0].sizes[0];
        fourcc = camera.formats[0].fourcc;
        width = first.width;
        height = first.height;
        rate = first.fps;
    }
}

int failWith(int error) {
    errno = error;
    return -1;
}

void updateSignals(Node& n) {
    for (OpenFile* file : n.files) setSignal(*file, wantsSignal(n, *file));
}

void stopStreaming(Node& n, std::unique_lock<std::mutex>& lock) {
    if (n.streaming) {
        n.stopTicker = true;
        n.changed.notify_all();
        lock.unlock();
        if (n.ticker.joinable()) n.ticker.join();
        lock.lock();
        n.streaming = false;
        n.stopTicker = n.unplugged;
    } else if (n.ticker.joinable()) {
        lock.unlock();
        n.ticker.join(); // a ticker that ended by itself
        lock.lock();
    }
    // Every buffer returns to the application, queued or filled.
    n.queue.clear();
    n.done.clear();
    for (Buffer& b : n.buffers) b.queued = b.done = b.error = false;
    updateSignals(n);
    n.changed.notify_all();
}

void freeBuffers(Node& n) {
    if (n.memory) vcam_real_munmap(n.memory, n.stride * n.buffers.size());
    if (n.memoryFile >= 0) vcam_real_close(n.memoryFile);
    n.memory = nullptr;
    n.memoryFile = -1;
    n.buffers.clear();
    n.bufferLength = n.stride = 0;
    n.owner = nullptr;
    n.streamLock.release();
}

void refreshShared(Node& n) {
    if (!shared::changedSince(n.camera.node, n.sharedStamp)) return;
    const shared::CameraState state = shared::read(n.camera.node);
    if (state.plug.generation != n.generation) {
        if (!n.unplugged) markUnplugged(n);
        return;
    }
    if (!n.metadata) loadShared(n, state);
}

void announce(Node& n, const OpenFile* changer, const std::vector<ControlChange>& changes) {
    for (const ControlChange& change : changes)
        for (OpenFile* file : n.files)
            for (const Subscription& s : file->subscriptions) {
                if (s.id != change.id) continue;
                if (file == changer && !(s.flags & V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK) &&
                    change.changes == V4L2_EVENT_CTRL_CH_VALUE)
                    continue;
                if (file->events.size() >= kMaxEvents) file->events.pop_front(); // the oldest is lost, as in V4L2
                v4l2_event event;
                describeControlEvent(n.camera.controls, change.id, change.changes, event);
                file->events.push_back(event);
            }
    updateSignals(n);
}

std::shared_ptr<FrameSource> framesOfNode(const Node& n) {
    return framesOf(n.camera, n.fourcc, n.width, n.height);
}

void startTicker(Node& n) {
    n.streaming = true;
    n.stopTicker = false;
    n.produced = n.dequeued = n.sequence = 0;
    n.ticker = std::thread(tickerLoop, &n);
}

v4l2_priority highestPriority(const Node& n) {
    v4l2_priority highest = V4L2_PRIORITY_BACKGROUND;
    for (const OpenFile* file : n.files) highest = std::max(highest, file->priority);
    return highest;
}

void install(const Description& description) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    installLocked(r, description);
}

Description installed() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    ensureInstalled(r);
    return r.description;
}

namespace {

// What read() makes of a node, under the registry's and the node's locks; an
// empty Result when there is no such node.
template <class Result, class Read>
Result readNode(int node, Read read) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    ensureInstalled(r);
    auto it = r.nodes.find(node);
    if (it == r.nodes.end()) return Result{};
    std::lock_guard<std::mutex> nodeLock(it->second->mutex);
    return read(*it->second);
}

} // namespace

ControlState controls(int node) {
    return readNode<ControlState>(node, [](const Node& n) { return ControlState{n.camera.controls, n.controlWrites}; });
}

Activity activity(int node) {
    return readNode<Activity>(node, [](const Node& n) { return Activity{n.dequeued, n.files.size(), n.streaming}; });
}

std::shared_ptr<FrameSource> framesOf(const Camera& camera, uint32_t fourcc, unsigned width, unsigned height) {
    auto plain = frameSource(fourcc, width, height, camera.scene, camera.mjpeg, camera.look);
    if (picturesUnchanged(camera.controls)) return plain;
    // A picture of changed controls is made for the node alone, not cached.
    return std::make_shared<FrameSource>(fourcc, adjustPicture(plain->scene(), camera.controls), camera.mjpeg);
}

void setPlugListener(PlugListener listener) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.listener = std::move(listener);
}

void unplug(int node, int replugMs) {
    const shared::PlugState plug = shared::writeUnplug(node, replugMs);
    markRegistryUnplugged(node);
    {
        // The button's input device goes with the camera: its readers see the end.
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        for (int end : r.buttons[node]) vcam_real_close(end);
        r.buttons.erase(node);
    }
    notifyListener(node, false);
    if (replugMs >= 0) scheduleReplug(node, replugMs, plug.generation);
}

void replug(int node) {
    const uint64_t generation = shared::writeReplug(node).generation;
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        ensureInstalled(r);
        const Camera* camera = r.description.camera(node);
        if (!camera) return;
        // A fresh device: files opened before the unplug stay dead.
        r.nodes[node] = makeNode(*camera, false, generation);
        if (hasMetadataNode(r.description, *camera)) r.nodes[node + 1] = makeNode(*camera, true, generation);
    }
    notifyListener(node, true);
}

// Under the launcher, a camera whose replug time passed after the program that
// unplugged it had ended comes back when the next program starts.
__attribute__((constructor)) static void replugDueCameras() {
    if (!std::getenv("UMOCKDEV_DIR")) return;
    for (int node : shared::replugDue()) replug(node);
}

extern "C" int vcam_claims_path(const char* path, int* node) {
    static const char kPrefix[] = "/dev/video";
    if (std::strncmp(path, kPrefix, sizeof(kPrefix) - 1) != 0) return 0;
    const char* digits = path + sizeof(kPrefix) - 1;
    if (!*digits) return 0;
    char* end = nullptr;
    long number = std::strtol(digits, &end, 10);
    if (*end || number < 0 || number > 255) return 0;
    Registry& r = registry();
    std::shared_ptr<Node> n;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        ensureInstalled(r);
        auto it = r.nodes.find(int(number));
        if (it == r.nodes.end()) return 0;
        n = it->second;
    }
    *node = int(number);
    // Another process may have unplugged or plugged the camera in again.
    const shared::PlugState plug = shared::read(n->camera.node).plug;
    if (!plug.present()) return -1;
    bool stale;
    {
        std::lock_guard<std::mutex> lock(n->mutex);
        refreshShared(*n);
        stale = n->unplugged;
    }
    if (stale) {
        if (!shared::enabled()) return -1; // unplugged in this process: back only with replug()
        std::lock_guard<std::mutex> lock(r.mutex);
        const Camera* camera = r.description.camera(n->camera.node);
        if (!camera) return -1;
        r.nodes[int(number)] = makeNode(*camera, n->metadata, plug.generation);
    }
    return 1;
}

extern "C" int vcam_claims_button(const char* path, int* node) {
    static const char kPrefix[] = "/dev/input/event";
    if (std::strncmp(path, kPrefix, sizeof(kPrefix) - 1) != 0) return 0;
    const char* digits = path + sizeof(kPrefix) - 1;
    char* end = nullptr;
    const long number = std::strtol(digits, &end, 10);
    if (!*digits || *end || number < 0 || number > 255) return 0;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    ensureInstalled(r);
    const Camera* camera = r.description.camera(int(number));
    if (!camera || !camera->button) return 0;
    *node = int(number);
    return 1;
}

extern "C" int vcam_open_button(int node, int flags) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
    if ((flags & O_NONBLOCK) && ::fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0) {
        vcam_real_close(ends[0]);
        vcam_real_close(ends[1]);
        return -1;
    }
    ::shutdown(ends[0], SHUT_WR);
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.buttons[node].push_back(ends[1]);
    return ends[0];
}

extern "C" int vcam_is_device(int fd) {
    return fd >= 0 && fileOf(fd) != nullptr;
}

extern "C" int vcam_open(int node, int flags) {
    Registry& r = registry();
    std::shared_ptr<Node> n;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.nodes.find(node);
        if (it == r.nodes.end()) return failWith(ENOENT);
        n = it->second;
    }
    auto file = std::make_shared<OpenFile>();
    {
        std::lock_guard<std::mutex> lock(n->mutex);
        if (n->unplugged) return failWith(ENOENT);
        const Faults& f = n->camera.faults;
        if (f.openErrno && n->opens >= uint64_t(f.openAfter)) return failWith(f.openErrno);
        ++n->opens;
        int fd = eventfd(0, EFD_CLOEXEC);
        if (fd < 0) return -1;
        if ((flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
            vcam_real_close(fd);
            return -1;
        }
        file->node = n;
        file->eventFd = fd;
        n->files.push_back(file.get());
        updateSignals(*n);
    }
    std::lock_guard<std::mutex> lock(r.mutex);
    r.files[file->eventFd] = file;
    vcam_mark_fd(file->eventFd, 1);
    return file->eventFd;
}

namespace {

// Forgets one descriptor of an open file; the file goes with its last descriptor.
void forget(int fd) {
    std::shared_ptr<OpenFile> file;
    bool last = true;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.files.find(fd);
        if (it == r.files.end()) return;
        file = it->second;
        r.files.erase(it);
        vcam_mark_fd(fd, 0);
        for (const auto& entry : r.files)
            if (entry.second == file) last = false;
    }
    if (!last) return;
    Node& n = *file->node;
    std::unique_lock<std::mutex> lock(n.mutex);
    if (n.owner == file.get()) {
        stopStreaming(n, lock);
        freeBuffers(n);
    }
    n.files.erase(std::remove(n.files.begin(), n.files.end(), file.get()), n.files.end());
    updateSignals(n);
}

} // namespace

extern "C" int vcam_close(int fd) {
    if (!fileOf(fd)) return failWith(EBADF);
    forget(fd);
    return vcam_real_close(fd);
}

extern "C" void vcam_forget(int fd) {
    forget(fd);
}

extern "C" int vcam_dup_to(int fd, int copy) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.files.find(fd);
    if (it == r.files.end()) return failWith(EBADF);
    r.files[copy] = it->second;
    vcam_mark_fd(copy, 1);
    return copy;
}

extern "C" int vcam_dup(int fd) {
    if (!fileOf(fd)) return failWith(EBADF);
    int copy = vcam_real_dup(fd);
    if (copy < 0) return -1;
    return vcam_dup_to(fd, copy);
}

extern "C" int vcam_ioctl(int fd, unsigned long request, void* argument) {
    // The kernel reads the request as 32 bits: programs that keep it in an
    // int (uStreamer) pass VIDIOC_QUERYCAP and the like sign-extended.
    request = static_cast<std::uint32_t>(request);
    auto file = fileOf(fd);
    if (!file) return failWith(EBADF);
    Node& n = *file->node;
    std::unique_lock<std::mutex> lock(n.mutex);
    return deviceIoctl(n, *file, fd, request, argument, lock);
}

extern "C" short vcam_poll_events(int fd, short requested) {
    auto file = fileOf(fd);
    if (!file) return POLLNVAL;
    Node& n = *file->node;
    std::lock_guard<std::mutex> lock(n.mutex);
    refreshShared(n);
    if (n.unplugged) return POLLERR | POLLHUP | POLLPRI;
    short events = 0;
    if ((requested & POLLPRI) && !file->events.empty()) events |= POLLPRI;
    if (requested & (POLLIN | POLLRDNORM)) {
        if (n.metadata || !n.streaming || (n.owner && n.owner != file.get()))
            events |= POLLERR;
        else if (!n.done.empty())
            events |= POLLIN | POLLRDNORM;
    }
    return events;
}

extern "C" void* vcam_mmap(void* address, size_t length, int protection, int flags, int fd, long long offset) {
    auto file = fileOf(fd);
    if (!file) {
        errno = EBADF;
        return MAP_FAILED;
    }
    Node& n = *file->node;
    std::lock_guard<std::mutex> lock(n.mutex);
    refreshShared(n);
    int error = n.unplugged ? ENODEV : n.camera.faults.mmapErrno;
    if (!error &&
        (!n.memory || !(flags & MAP_SHARED) || offset < 0 || n.stride == 0 || size_t(offset) % n.stride != 0 ||
         size_t(offset) / n.stride >= n.buffers.size() || length == 0 || length > n.stride))
        error = EINVAL;
    if (error) {
        errno = error;
        return MAP_FAILED;
    }
    return vcam_real_mmap(address, length, protection, flags, n.memoryFile, offset);
}

extern "C" void vcam_fill_stat(int node, void* buffer) {
    auto* st = static_cast<struct stat*>(buffer);
    std::memset(st, 0, sizeof(*st));
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(81, unsigned(node));
    st->st_nlink = 1;
    st->st_blksize = 4096;
}

extern "C" int vcam_node_of(int fd) {
    auto file = fileOf(fd);
    if (!file) return -1;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto& [number, node] : r.nodes)
        if (node == file->node) return number;
    return file->node->camera.node + (file->node->metadata ? 1 : 0);
}

} // namespace vcam
