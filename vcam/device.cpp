// The V4L2 side of the virtual camera: format negotiation, controls and
// memory-mapped streaming, frames timed at the described rate.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "real.h"
#include "vcam.h"

namespace vcam {

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kMaxBuffers = 32;
constexpr unsigned kInvalidIndex = 99;

struct Buffer {
    size_t offset = 0;
    uint32_t bytesUsed = 0;
    uint32_t sequence = 0;
    timeval timestamp{};
    bool queued = false;
    bool done = false;
};

struct OpenFile;

struct Node {
    explicit Node(const Camera& c) : camera(c) {
        if (!camera.formats.empty() && !camera.formats[0].sizes.empty()) {
            fourcc = camera.formats[0].fourcc;
            width = camera.formats[0].sizes[0].width;
            height = camera.formats[0].sizes[0].height;
        }
    }

    Camera camera; // its control values change with S_CTRL
    std::mutex mutex;
    std::condition_variable changed;

    uint32_t fourcc = 0;
    unsigned width = 0, height = 0;

    int memoryFile = -1;
    uint8_t* memory = nullptr;
    size_t bufferLength = 0, stride = 0;
    std::vector<Buffer> buffers;
    std::deque<unsigned> queue, done;
    OpenFile* owner = nullptr; // the file that allocated the buffers

    bool streaming = false, stopTicker = false;
    std::thread ticker;
    std::shared_ptr<FrameSource> source;
    uint64_t produced = 0, dequeued = 0;
    uint64_t opens = 0;
    uint64_t controlWrites = 0; // VIDIOC_S_CTRL requests, for tests
};

struct OpenFile {
    std::shared_ptr<Node> node;
    int eventFd = -1; // the descriptor handed out: readable while a filled buffer waits
    int flags = 0;
    bool signalled = false;
};

struct Registry {
    std::mutex mutex;
    bool installed = false;
    Description description;
    std::map<int, std::shared_ptr<Node>> nodes;
    std::map<int, std::shared_ptr<OpenFile>> files;
};

// A camera keeps its control values while it is plugged in: the launcher
// names a file (VELCAP_VCAM_STATE) that the processes of one run share, one
// line "NODE ID VALUE" a control.
const char* stateFile() {
    const char* path = std::getenv("VELCAP_VCAM_STATE");
    return path && *path ? path : nullptr;
}

void loadControls(Node& n) {
    const char* path = stateFile();
    if (!path) return;
    std::ifstream in(path);
    int node = 0;
    uint32_t id = 0;
    int value = 0;
    while (in >> node >> id >> value)
        if (node == n.camera.node)
            for (Control& c : n.camera.controls)
                if (c.id == id) c.value = std::clamp(value, c.minimum, c.maximum);
}

void saveControls(const Node& n) {
    const char* path = stateFile();
    if (!path) return;
    std::vector<std::string> kept;
    {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line))
            if (std::atoi(line.c_str()) != n.camera.node || line.empty()) kept.push_back(line);
    }
    const std::string temporary = std::string(path) + ".new";
    {
        std::ofstream out(temporary);
        for (const std::string& line : kept)
            if (!line.empty()) out << line << "\n";
        for (const Control& c : n.camera.controls) out << n.camera.node << " " << c.id << " " << c.value << "\n";
    }
    std::rename(temporary.c_str(), path);
}

// Never destroyed: interposed calls may come during the exit of the process.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

void installLocked(Registry& r, const Description& d) {
    r.description = d;
    r.nodes.clear();
    for (const Camera& c : d.cameras) {
        auto node = std::make_shared<Node>(c);
        loadControls(*node);
        r.nodes[c.node] = node;
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

int failWith(int error) {
    errno = error;
    return -1;
}

void signal(OpenFile* file) {
    if (!file || file->signalled) return;
    uint64_t one = 1;
    if (::write(file->eventFd, &one, sizeof(one)) == sizeof(one)) file->signalled = true;
}

void unsignal(OpenFile* file) {
    if (!file || !file->signalled) return;
    uint64_t value;
    if (::read(file->eventFd, &value, sizeof(value)) == sizeof(value)) file->signalled = false;
}

const FrameSize* sizeEntry(const Node& n) {
    const Format* f = n.camera.format(n.fourcc);
    if (!f) return nullptr;
    for (const FrameSize& s : f->sizes)
        if (!s.stepwise && s.width == n.width && s.height == n.height) return &s;
    return nullptr;
}

unsigned framesPerSecond(const Node& n) {
    if (n.camera.freeRunning) return 0;
    const FrameSize* s = sizeEntry(n);
    return s ? s->fps : 30;
}

size_t frameBytes(uint32_t fourcc, unsigned w, unsigned h) {
    (void)fourcc;
    return size_t(w) * h * 2;
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

void tickerLoop(Node* n) {
    std::unique_lock<std::mutex> lock(n->mutex);
    const unsigned fps = framesPerSecond(*n);
    const auto period = fps ? std::chrono::nanoseconds(1000000000LL / fps) : std::chrono::nanoseconds(0);
    auto due = Clock::now();
    while (!n->stopTicker) {
        if (fps) {
            due += period;
            if (due < Clock::now() - period) due = Clock::now(); // fell behind: no burst of frames
            n->changed.wait_until(lock, due, [n] { return n->stopTicker; });
        } else {
            n->changed.wait(lock, [n] { return n->stopTicker || !n->queue.empty(); });
        }
        if (n->stopTicker) break;
        if (n->queue.empty()) continue; // no buffer to fill: the frame is dropped, as a camera does
        const unsigned index = n->queue.front();
        n->queue.pop_front();
        const uint64_t number = n->produced++;
        uint8_t* data = n->memory + n->buffers[index].offset;
        const size_t capacity = n->bufferLength;
        auto source = n->source;
        const Faults faults = n->camera.faults;
        const uint32_t fourcc = n->fourcc;
        lock.unlock();
        size_t bytes = source->render(number, data, capacity);
        if (fourcc == V4L2_PIX_FMT_MJPEG) bytes = damageFrame(faults, number, data, bytes);
        if (faults.bytesUsed) bytes = faults.bytesUsed;
        lock.lock();
        Buffer& b = n->buffers[index];
        b.bytesUsed = uint32_t(bytes);
        b.sequence = uint32_t(number);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        b.timestamp = {now.tv_sec, now.tv_nsec / 1000};
        b.queued = false;
        b.done = true;
        n->done.push_back(index);
        signal(n->owner);
        n->changed.notify_all();
    }
}

void stopStreaming(Node& n, std::unique_lock<std::mutex>& lock) {
    if (!n.streaming) return;
    n.stopTicker = true;
    n.changed.notify_all();
    lock.unlock();
    if (n.ticker.joinable()) n.ticker.join();
    lock.lock();
    n.streaming = false;
    n.stopTicker = false;
    n.queue.clear();
    n.done.clear();
    for (Buffer& b : n.buffers) b.queued = b.done = false;
    unsignal(n.owner);
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
}

// The driver's choice for a requested format: the described format (or the
// first one), the nearest discrete size, or the size a fault imposes.
void negotiate(const Node& n, v4l2_pix_format& pix) {
    const Format* f = n.camera.format(pix.pixelformat);
    if (!f && !n.camera.formats.empty()) f = &n.camera.formats[0];
    if (!f) return;
    pix.pixelformat = f->fourcc;
    const FrameSize* best = nullptr;
    long bestDistance = 0;
    for (const FrameSize& s : f->sizes) {
        if (s.stepwise) continue;
        long distance = std::labs(long(s.width) - long(pix.width)) + std::labs(long(s.height) - long(pix.height));
        if (!best || distance < bestDistance) best = &s, bestDistance = distance;
    }
    if (best) pix.width = best->width, pix.height = best->height;
    if (n.camera.faults.adjustWidth) pix.width = n.camera.faults.adjustWidth, pix.height = n.camera.faults.adjustHeight;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = f->fourcc == V4L2_PIX_FMT_YUYV ? pix.width * 2 : 0;
    pix.sizeimage = uint32_t(frameBytes(f->fourcc, pix.width, pix.height));
    pix.colorspace = f->fourcc == V4L2_PIX_FMT_MJPEG ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
}

const char* formatDescription(uint32_t fourcc) {
    switch (fourcc) {
    case V4L2_PIX_FMT_MJPEG:
        return "Motion-JPEG";
    case V4L2_PIX_FMT_YUYV:
        return "YUYV 4:2:2";
    default:
        return "Other";
    }
}

const Control* findControl(const Node& n, uint32_t id, bool next) {
    const Control* found = nullptr;
    for (const Control& c : n.camera.controls) {
        if (!next && c.id == id) return &c;
        if (next && c.id > id && (!found || c.id < found->id)) found = &c;
    }
    return found;
}

const char* controlName(uint32_t id) {
    switch (id) {
    case V4L2_CID_BRIGHTNESS:
        return "Brightness";
    case V4L2_CID_CONTRAST:
        return "Contrast";
    case V4L2_CID_SATURATION:
        return "Saturation";
    case V4L2_CID_HUE:
        return "Hue";
    case V4L2_CID_GAIN:
        return "Gain";
    case V4L2_CID_GAMMA:
        return "Gamma";
    case V4L2_CID_FOCUS_AUTO:
        return "Focus, Automatic Continuous";
    case V4L2_CID_ZOOM_ABSOLUTE:
        return "Zoom, Absolute";
    default:
        return "Control";
    }
}

struct NamedRequest {
    const char* name;
    unsigned long request;
};
const NamedRequest kRequests[] = {
    {"VIDIOC_QUERYCAP", VIDIOC_QUERYCAP},
    {"VIDIOC_ENUM_FMT", VIDIOC_ENUM_FMT},
    {"VIDIOC_ENUM_FRAMESIZES", VIDIOC_ENUM_FRAMESIZES},
    {"VIDIOC_ENUM_FRAMEINTERVALS", VIDIOC_ENUM_FRAMEINTERVALS},
    {"VIDIOC_TRY_FMT", VIDIOC_TRY_FMT},
    {"VIDIOC_S_FMT", VIDIOC_S_FMT},
    {"VIDIOC_G_FMT", VIDIOC_G_FMT},
    {"VIDIOC_G_PARM", VIDIOC_G_PARM},
    {"VIDIOC_S_PARM", VIDIOC_S_PARM},
    {"VIDIOC_REQBUFS", VIDIOC_REQBUFS},
    {"VIDIOC_QUERYBUF", VIDIOC_QUERYBUF},
    {"VIDIOC_QBUF", VIDIOC_QBUF},
    {"VIDIOC_DQBUF", VIDIOC_DQBUF},
    {"VIDIOC_STREAMON", VIDIOC_STREAMON},
    {"VIDIOC_STREAMOFF", VIDIOC_STREAMOFF},
    {"VIDIOC_QUERYCTRL", VIDIOC_QUERYCTRL},
    {"VIDIOC_G_CTRL", VIDIOC_G_CTRL},
    {"VIDIOC_S_CTRL", VIDIOC_S_CTRL},
    {"VIDIOC_G_INPUT", VIDIOC_G_INPUT},
    {"VIDIOC_S_INPUT", VIDIOC_S_INPUT},
    {"VIDIOC_ENUMINPUT", VIDIOC_ENUMINPUT},
};

int injectedErrno(const Node& n, unsigned long request) {
    for (const auto& r : kRequests)
        if (r.request == request) {
            auto it = n.camera.faults.ioctlErrno.find(r.name);
            return it == n.camera.faults.ioctlErrno.end() ? 0 : it->second;
        }
    return 0;
}

int requestBuffers(Node& n, OpenFile* file, std::unique_lock<std::mutex>& lock, v4l2_requestbuffers& req) {
    if (req.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req.memory != V4L2_MEMORY_MMAP) return failWith(EINVAL);
    if (n.owner && n.owner != file) return failWith(EBUSY);
    if (n.streaming) return failWith(EBUSY);
    freeBuffers(n);
    if (req.count == 0) return 0;
    unsigned count = std::min(req.count, kMaxBuffers);
    if (n.camera.faults.grantBuffers >= 0) count = unsigned(n.camera.faults.grantBuffers);
    req.count = count;
    if (count == 0) return 0;

    // Rendering the scene takes a while at large sizes; the device stays usable meanwhile.
    const uint32_t fourcc = n.fourcc;
    const unsigned w = n.width, h = n.height;
    lock.unlock();
    auto source = framesOf(n.camera, fourcc, w, h);
    lock.lock();

    size_t length = std::max(frameBytes(fourcc, w, h), source->maxBytes());
    if (n.camera.faults.bufferLength) length = n.camera.faults.bufferLength;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t stride = (length + page - 1) / page * page;
    int memoryFile = memfd_create("vcam-buffers", MFD_CLOEXEC);
    if (memoryFile < 0) return failWith(ENOMEM);
    if (ftruncate(memoryFile, off_t(stride * count)) != 0) {
        vcam_real_close(memoryFile);
        return failWith(ENOMEM);
    }
    void* memory = vcam_real_mmap(nullptr, stride * count, PROT_READ | PROT_WRITE, MAP_SHARED, memoryFile, 0);
    if (memory == MAP_FAILED) {
        vcam_real_close(memoryFile);
        return failWith(ENOMEM);
    }
    n.memoryFile = memoryFile;
    n.memory = static_cast<uint8_t*>(memory);
    n.bufferLength = length;
    n.stride = stride;
    n.buffers.assign(count, Buffer{});
    for (unsigned i = 0; i < count; ++i) n.buffers[i].offset = i * stride;
    n.source = source;
    n.owner = file;
    return 0;
}

void describeBuffer(const Node& n, unsigned index, v4l2_buffer& buf) {
    const Buffer& b = n.buffers[index];
    buf.index = index;
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.length = uint32_t(n.bufferLength);
    buf.m.offset = uint32_t(b.offset);
    buf.bytesused = b.bytesUsed;
    buf.sequence = b.sequence;
    buf.timestamp = b.timestamp;
    buf.field = V4L2_FIELD_NONE;
    buf.flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (b.queued) buf.flags |= V4L2_BUF_FLAG_QUEUED;
    if (b.done) buf.flags |= V4L2_BUF_FLAG_DONE;
}

int dequeue(Node& n, OpenFile* file, std::unique_lock<std::mutex>& lock, v4l2_buffer& buf) {
    if (buf.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf.memory != V4L2_MEMORY_MMAP) return failWith(EINVAL);
    const Faults& f = n.camera.faults;
    for (;;) {
        if (!n.streaming) return failWith(EINVAL);
        if (f.unplugAfter >= 0 && n.dequeued >= uint64_t(f.unplugAfter)) {
            signal(file); // a poller wakes and sees the failure
            return failWith(f.unplugErrno);
        }
        if (!n.done.empty()) break;
        if (file->flags & O_NONBLOCK) return failWith(EAGAIN);
        n.changed.wait(lock);
    }
    const unsigned index = n.done.front();
    n.done.pop_front();
    n.buffers[index].done = false;
    describeBuffer(n, index, buf);
    if (f.badIndexAfter >= 0 && n.dequeued == uint64_t(f.badIndexAfter)) buf.index = kInvalidIndex;
    ++n.dequeued;
    if (n.done.empty()) unsignal(file);
    return 0;
}

int control(Node& n, unsigned long request, void* argument) {
    if (request == VIDIOC_QUERYCTRL) {
        auto* q = static_cast<v4l2_queryctrl*>(argument);
        const bool next = q->id & V4L2_CTRL_FLAG_NEXT_CTRL;
        const uint32_t id = q->id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
        const Control* c = findControl(n, id, next);
        if (!c) return failWith(EINVAL);
        std::memset(q, 0, sizeof(*q));
        q->id = c->id;
        q->type = c->id == V4L2_CID_FOCUS_AUTO ? V4L2_CTRL_TYPE_BOOLEAN : V4L2_CTRL_TYPE_INTEGER;
        std::snprintf(reinterpret_cast<char*>(q->name), sizeof(q->name), "%s", controlName(c->id));
        q->minimum = c->minimum;
        q->maximum = c->maximum;
        q->step = c->step;
        q->default_value = c->defaultValue;
        return 0;
    }
    auto* v = static_cast<v4l2_control*>(argument);
    Control* c = const_cast<Control*>(findControl(n, v->id, false));
    if (!c) return failWith(EINVAL);
    if (request == VIDIOC_G_CTRL) {
        v->value = c->value;
        return 0;
    }
    const int value = std::clamp(v->value, c->minimum, c->maximum);
    v->value = value;
    ++n.controlWrites;
    if (value == c->value) return 0;
    c->value = value;
    saveControls(n);
    // The next frames show the change, as a real camera's do.
    if (n.source) n.source = framesOf(n.camera, n.fourcc, n.width, n.height);
    return 0;
}

int deviceIoctl(Node& n, OpenFile* file, unsigned long request, void* argument) {
    std::unique_lock<std::mutex> lock(n.mutex);
    if (int error = injectedErrno(n, request)) return failWith(error);
    if (!argument && request != VIDIOC_STREAMON && request != VIDIOC_STREAMOFF) return failWith(EFAULT);
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(argument);
        std::memset(cap, 0, sizeof(*cap));
        std::snprintf(reinterpret_cast<char*>(cap->driver), sizeof(cap->driver), "%s", n.camera.driver.c_str());
        std::snprintf(reinterpret_cast<char*>(cap->card), sizeof(cap->card), "%s", n.camera.card.c_str());
        std::snprintf(reinterpret_cast<char*>(cap->bus_info), sizeof(cap->bus_info), "%s", n.camera.bus.c_str());
        cap->version = (6u << 16) | (1u << 8);
        cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* d = static_cast<v4l2_fmtdesc*>(argument);
        if (d->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || d->index >= n.camera.formats.size()) return failWith(EINVAL);
        const Format& f = n.camera.formats[d->index];
        const uint32_t index = d->index;
        std::memset(d, 0, sizeof(*d));
        d->index = index;
        d->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        d->pixelformat = f.fourcc;
        d->flags = f.fourcc == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
        std::snprintf(reinterpret_cast<char*>(d->description), sizeof(d->description), "%s",
                      formatDescription(f.fourcc));
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto* s = static_cast<v4l2_frmsizeenum*>(argument);
        const Format* f = n.camera.format(s->pixel_format);
        if (!f || s->index >= f->sizes.size()) return failWith(EINVAL);
        const FrameSize& size = f->sizes[s->index];
        if (size.stepwise) {
            s->type = V4L2_FRMSIZE_TYPE_STEPWISE;
            s->stepwise = {size.width, size.maxWidth, size.step, size.height, size.maxHeight, size.step};
        } else {
            s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            s->discrete = {size.width, size.height};
        }
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto* i = static_cast<v4l2_frmivalenum*>(argument);
        const Format* f = n.camera.format(i->pixel_format);
        if (!f || i->index != 0) return failWith(EINVAL);
        for (const FrameSize& s : f->sizes)
            if (!s.stepwise && s.width == i->width && s.height == i->height) {
                i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                i->discrete = {1, s.fps ? s.fps : 30};
                return 0;
            }
        return failWith(EINVAL);
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_G_FMT: {
        auto* fmt = static_cast<v4l2_format*>(argument);
        if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
        v4l2_pix_format& pix = fmt->fmt.pix;
        if (request == VIDIOC_G_FMT) {
            std::memset(&fmt->fmt, 0, sizeof(fmt->fmt));
            pix.pixelformat = n.fourcc;
            pix.width = n.width;
            pix.height = n.height;
            negotiate(n, pix);
            pix.width = n.width;
            pix.height = n.height;
            if (n.camera.faults.reportedFourcc) pix.pixelformat = n.camera.faults.reportedFourcc;
            return 0;
        }
        if (pix.pixelformat && pix.pixelformat == n.camera.faults.refusedFourcc) return failWith(EINVAL);
        negotiate(n, pix);
        if (request == VIDIOC_S_FMT) {
            if (n.streaming || !n.buffers.empty()) return failWith(EBUSY);
            n.fourcc = pix.pixelformat;
            n.width = pix.width;
            n.height = pix.height;
        }
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto* p = static_cast<v4l2_streamparm*>(argument);
        if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
        std::memset(&p->parm, 0, sizeof(p->parm));
        p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        const unsigned fps = framesPerSecond(n);
        p->parm.capture.timeperframe = {1, fps ? fps : 1000};
        p->parm.capture.readbuffers = 0;
        return 0;
    }
    case VIDIOC_REQBUFS:
        return requestBuffers(n, file, lock, *static_cast<v4l2_requestbuffers*>(argument));
    case VIDIOC_QUERYBUF: {
        auto* buf = static_cast<v4l2_buffer*>(argument);
        if (buf->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf->index >= n.buffers.size()) return failWith(EINVAL);
        describeBuffer(n, buf->index, *buf);
        return 0;
    }
    case VIDIOC_QBUF: {
        auto* buf = static_cast<v4l2_buffer*>(argument);
        if (buf->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf->memory != V4L2_MEMORY_MMAP ||
            buf->index >= n.buffers.size() || n.owner != file)
            return failWith(EINVAL);
        Buffer& b = n.buffers[buf->index];
        if (b.queued || b.done) return failWith(EINVAL);
        b.queued = true;
        n.queue.push_back(buf->index);
        describeBuffer(n, buf->index, *buf);
        n.changed.notify_all();
        return 0;
    }
    case VIDIOC_DQBUF:
        return dequeue(n, file, lock, *static_cast<v4l2_buffer*>(argument));
    case VIDIOC_STREAMON: {
        if (!argument || *static_cast<int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
        if (n.buffers.empty() || n.owner != file) return failWith(EINVAL);
        if (n.streaming) return 0;
        n.streaming = true;
        n.stopTicker = false;
        n.produced = n.dequeued = 0;
        n.ticker = std::thread(tickerLoop, &n);
        return 0;
    }
    case VIDIOC_STREAMOFF: {
        if (!argument || *static_cast<int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
        if (n.owner && n.owner != file) return failWith(EBUSY);
        stopStreaming(n, lock);
        return 0;
    }
    case VIDIOC_QUERYCTRL:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
        return control(n, request, argument);
    case VIDIOC_G_INPUT:
        *static_cast<int*>(argument) = 0;
        return 0;
    case VIDIOC_S_INPUT:
        return *static_cast<int*>(argument) == 0 ? 0 : failWith(EINVAL);
    case VIDIOC_ENUMINPUT: {
        auto* input = static_cast<v4l2_input*>(argument);
        if (input->index != 0) return failWith(EINVAL);
        std::memset(input, 0, sizeof(*input));
        std::snprintf(reinterpret_cast<char*>(input->name), sizeof(input->name), "Camera 1");
        input->type = V4L2_INPUT_TYPE_CAMERA;
        return 0;
    }
    default:
        return failWith(ENOTTY);
    }
}

// Releases what an open file holds once its last descriptor is closed.
void release(const std::shared_ptr<OpenFile>& file) {
    Node& n = *file->node;
    std::unique_lock<std::mutex> lock(n.mutex);
    if (n.owner == file.get()) {
        stopStreaming(n, lock);
        freeBuffers(n);
    }
}

} // namespace

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

ControlState controls(int node) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    ensureInstalled(r);
    ControlState state;
    auto it = r.nodes.find(node);
    if (it == r.nodes.end()) return state;
    std::lock_guard<std::mutex> nodeLock(it->second->mutex);
    state.controls = it->second->camera.controls;
    state.writes = it->second->controlWrites;
    return state;
}

std::shared_ptr<FrameSource> framesOf(const Camera& camera, uint32_t fourcc, unsigned width, unsigned height) {
    auto plain = frameSource(fourcc, width, height, camera.scene, camera.mjpeg);
    if (picturesUnchanged(camera.controls)) return plain;
    // A picture of changed controls is made for the node alone, not cached.
    return std::make_shared<FrameSource>(fourcc, adjustPicture(plain->scene(), camera.controls), camera.mjpeg);
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
    std::lock_guard<std::mutex> lock(r.mutex);
    ensureInstalled(r);
    if (!r.nodes.count(int(number))) return 0;
    *node = int(number);
    return 1;
}

extern "C" int vcam_is_device(int fd) {
    return fd >= 0 && fileOf(fd) != nullptr;
}

extern "C" int vcam_open(int node, int flags) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.nodes.find(node);
    if (it == r.nodes.end()) return failWith(ENOENT);
    Node& n = *it->second;
    const Faults& f = n.camera.faults;
    if (f.openErrno && n.opens >= uint64_t(f.openAfter)) return failWith(f.openErrno);
    ++n.opens;
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return -1;
    auto file = std::make_shared<OpenFile>();
    file->node = it->second;
    file->eventFd = fd;
    file->flags = flags;
    r.files[fd] = file;
    vcam_mark_fd(fd, 1);
    return fd;
}

extern "C" int vcam_close(int fd) {
    std::shared_ptr<OpenFile> file;
    bool last = true;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.files.find(fd);
        if (it == r.files.end()) return failWith(EBADF);
        file = it->second;
        r.files.erase(it);
        vcam_mark_fd(fd, 0);
        for (const auto& entry : r.files)
            if (entry.second == file) last = false;
    }
    if (last) release(file);
    return vcam_real_close(fd);
}

extern "C" int vcam_dup(int fd) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.files.find(fd);
    if (it == r.files.end()) return failWith(EBADF);
    int copy = vcam_real_dup(fd);
    if (copy < 0) return -1;
    r.files[copy] = it->second;
    vcam_mark_fd(copy, 1);
    return copy;
}

extern "C" int vcam_ioctl(int fd, unsigned long request, void* argument) {
    auto file = fileOf(fd);
    if (!file) return failWith(EBADF);
    return deviceIoctl(*file->node, file.get(), request, argument);
}

extern "C" void* vcam_mmap(void* address, size_t length, int protection, int flags, int fd, long long offset) {
    auto file = fileOf(fd);
    if (!file) {
        errno = EBADF;
        return MAP_FAILED;
    }
    Node& n = *file->node;
    std::lock_guard<std::mutex> lock(n.mutex);
    if (int error = n.camera.faults.mmapErrno) {
        errno = error;
        return MAP_FAILED;
    }
    if (!n.memory || !(flags & MAP_SHARED) || offset < 0 || n.stride == 0 || size_t(offset) % n.stride != 0 ||
        size_t(offset) / n.stride >= n.buffers.size() || length == 0 || length > n.stride) {
        errno = EINVAL;
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
    return file ? file->node->camera.node : -1;
}

} // namespace vcam
