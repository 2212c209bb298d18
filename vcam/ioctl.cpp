// The V4L2 requests of the virtual camera, answered as uvcvideo and the
// kernel's V4L2 core answer them: formats and frame intervals, priorities,
// controls and control events, and memory-mapped streaming.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "bridge.h"
#include "node.h"
#include "vcam.h"

namespace vcam {

namespace {

struct RequestInfo {
    const char* name;
    unsigned long request;
    bool priority; // refused with EBUSY while another file has a higher priority
    bool argument; // takes an argument
};

const RequestInfo kRequests[] = {
    {"VIDIOC_QUERYCAP", VIDIOC_QUERYCAP, false, true},
    {"VIDIOC_ENUM_FMT", VIDIOC_ENUM_FMT, false, true},
    {"VIDIOC_ENUM_FRAMESIZES", VIDIOC_ENUM_FRAMESIZES, false, true},
    {"VIDIOC_ENUM_FRAMEINTERVALS", VIDIOC_ENUM_FRAMEINTERVALS, false, true},
    {"VIDIOC_TRY_FMT", VIDIOC_TRY_FMT, false, true},
    {"VIDIOC_S_FMT", VIDIOC_S_FMT, true, true},
    {"VIDIOC_G_FMT", VIDIOC_G_FMT, false, true},
    {"VIDIOC_G_PARM", VIDIOC_G_PARM, false, true},
    {"VIDIOC_S_PARM", VIDIOC_S_PARM, true, true},
    {"VIDIOC_REQBUFS", VIDIOC_REQBUFS, true, true},
    {"VIDIOC_QUERYBUF", VIDIOC_QUERYBUF, false, true},
    {"VIDIOC_QBUF", VIDIOC_QBUF, false, true},
    {"VIDIOC_DQBUF", VIDIOC_DQBUF, false, true},
    {"VIDIOC_STREAMON", VIDIOC_STREAMON, true, true},
    {"VIDIOC_STREAMOFF", VIDIOC_STREAMOFF, true, true},
    {"VIDIOC_QUERYCTRL", VIDIOC_QUERYCTRL, false, true},
    {"VIDIOC_QUERY_EXT_CTRL", VIDIOC_QUERY_EXT_CTRL, false, true},
    {"VIDIOC_QUERYMENU", VIDIOC_QUERYMENU, false, true},
    {"VIDIOC_G_CTRL", VIDIOC_G_CTRL, false, true},
    {"VIDIOC_S_CTRL", VIDIOC_S_CTRL, true, true},
    {"VIDIOC_G_EXT_CTRLS", VIDIOC_G_EXT_CTRLS, false, true},
    {"VIDIOC_S_EXT_CTRLS", VIDIOC_S_EXT_CTRLS, true, true},
    {"VIDIOC_TRY_EXT_CTRLS", VIDIOC_TRY_EXT_CTRLS, false, true},
    {"VIDIOC_G_INPUT", VIDIOC_G_INPUT, false, true},
    {"VIDIOC_S_INPUT", VIDIOC_S_INPUT, true, true},
    {"VIDIOC_ENUMINPUT", VIDIOC_ENUMINPUT, false, true},
    {"VIDIOC_G_PRIORITY", VIDIOC_G_PRIORITY, false, true},
    {"VIDIOC_S_PRIORITY", VIDIOC_S_PRIORITY, true, true},
    {"VIDIOC_LOG_STATUS", VIDIOC_LOG_STATUS, false, false},
    {"VIDIOC_SUBSCRIBE_EVENT", VIDIOC_SUBSCRIBE_EVENT, false, true},
    {"VIDIOC_UNSUBSCRIBE_EVENT", VIDIOC_UNSUBSCRIBE_EVENT, false, true},
    {"VIDIOC_DQEVENT", VIDIOC_DQEVENT, false, true},
};

const RequestInfo* requestInfo(unsigned long request) {
    for (const RequestInfo& r : kRequests)
        if (r.request == request) return &r;
    return nullptr;
}

// Requests that the metadata node answers; the others are not its business.
bool metadataRequest(unsigned long request) {
    switch (request) {
    case VIDIOC_QUERYCAP:
    case VIDIOC_ENUM_FMT:
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT:
    case VIDIOC_G_PRIORITY:
    case VIDIOC_S_PRIORITY:
    case VIDIOC_LOG_STATUS:
    case VIDIOC_G_INPUT:
    case VIDIOC_S_INPUT:
    case VIDIOC_ENUMINPUT:
        return true;
    default:
        return false;
    }
}

void copyText(uint8_t* to, size_t size, const std::string& text) {
    std::snprintf(reinterpret_cast<char*>(to), size, "%s", text.c_str());
}

size_t frameBytes(unsigned w, unsigned h) {
    return size_t(w) * h * 2;
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

// The frame rates offered at a size; empty for a size the format does not have.
std::vector<unsigned> ratesAt(const Camera& camera, uint32_t fourcc, unsigned w, unsigned h) {
    const Format* f = camera.format(fourcc);
    if (!f) return {};
    for (const FrameSize& s : f->sizes) {
        if (!s.stepwise && s.width == w && s.height == h) return s.rates.empty() ? std::vector{s.fps} : s.rates;
        if (s.stepwise && w >= s.width && w <= s.maxWidth && h >= s.height && h <= s.maxHeight &&
            (w - s.width) % std::max(s.step, 1u) == 0 && (h - s.height) % std::max(s.step, 1u) == 0)
            return {30};
    }
    return {};
}

// A free-running camera reports the rate of its first size.
v4l2_fract intervalOf(unsigned rate) {
    return {1, rate ? rate : 30};
}

// The driver's choice for a requested format: the described format (or the
// first one), the nearest discrete size, or the size a fault imposes.
void negotiate(const Node& n, v4l2_pix_format& pix) {
    const Format* f = n.camera.format(pix.pixelformat);
    if (!f && !n.camera.formats.empty()) f = &n.camera.formats[0];
    const uint32_t wantedWidth = pix.width, wantedHeight = pix.height;
    std::memset(&pix, 0, sizeof(pix));
    if (!f) return;
    pix.pixelformat = f->fourcc;
    const FrameSize* best = nullptr;
    long bestDistance = 0;
    for (const FrameSize& s : f->sizes) {
        if (s.stepwise) continue;
        long distance = std::labs(long(s.width) - long(wantedWidth)) + std::labs(long(s.height) - long(wantedHeight));
        if (!best || distance < bestDistance) best = &s, bestDistance = distance;
    }
    if (best) pix.width = best->width, pix.height = best->height;
    if (n.camera.faults.adjustWidth) pix.width = n.camera.faults.adjustWidth, pix.height = n.camera.faults.adjustHeight;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = f->fourcc == V4L2_PIX_FMT_YUYV ? pix.width * 2 : 0;
    pix.sizeimage = uint32_t(frameBytes(pix.width, pix.height));
    pix.colorspace = f->fourcc == V4L2_PIX_FMT_MJPEG ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
    pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
}

int injectedErrno(const Node& n, unsigned long request) {
    const RequestInfo* info = requestInfo(request);
    if (!info) return 0;
    auto it = n.camera.faults.ioctlErrno.find(info->name);
    return it == n.camera.faults.ioctlErrno.end() ? 0 : it->second;
}

// Whether another open file has the buffers, in this process or in another.
bool busyElsewhere(const Node& n, const OpenFile& file) {
    if (n.owner) return n.owner != &file;
    return shared::lockedElsewhere(n.camera.node);
}

void saveFormat(const Node& n) {
    shared::writeFormat(n.camera.node, {n.fourcc, n.width, n.height, n.rate});
}

int requestBuffers(Node& n, OpenFile& file, std::unique_lock<std::mutex>& lock, v4l2_requestbuffers& req) {
    req.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    req.flags = 0;
    std::memset(req.reserved, 0, sizeof(req.reserved));
    if (req.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req.memory != V4L2_MEMORY_MMAP) return failWith(EINVAL);
    if (busyElsewhere(n, file)) return failWith(EBUSY);
    if (n.streaming) return failWith(EBUSY);
    freeBuffers(n);
    if (req.count == 0) return 0;
    unsigned count = std::min(req.count, kMaxBuffers);
    if (n.camera.faults.grantBuffers >= 0) count = unsigned(n.camera.faults.grantBuffers);
    req.count = count;
    if (count == 0) return 0;
    if (!n.streamLock.take(n.camera.node)) return failWith(EBUSY);

    // Rendering the scene takes a while at large sizes; the device stays usable meanwhile.
    lock.unlock();
    auto source = framesOfNode(n);
    std::shared_ptr<PageShow> show;
    if (n.camera.pageCount > 0)
        show = std::make_shared<PageShow>(n.fourcc, n.width, n.height, n.camera.pageCount, n.camera.pageSeconds,
                                          n.camera.mjpeg, n.camera.look);
    lock.lock();
    if (n.unplugged) {
        n.streamLock.release();
        return failWith(ENODEV);
    }

    size_t length = std::max(frameBytes(n.width, n.height), show ? show->maxBytes() : source->maxBytes());
    if (n.camera.faults.bufferLength) length = n.camera.faults.bufferLength;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t stride = (length + page - 1) / page * page;
    int memoryFile = memfd_create("vcam-buffers", MFD_CLOEXEC);
    if (memoryFile < 0 || ftruncate(memoryFile, off_t(stride * count)) != 0) {
        if (memoryFile >= 0) vcam_real_close(memoryFile);
        n.streamLock.release();
        return failWith(ENOMEM);
    }
    void* memory = vcam_real_mmap(nullptr, stride * count, PROT_READ | PROT_WRITE, MAP_SHARED, memoryFile, 0);
    if (memory == MAP_FAILED) {
        vcam_real_close(memoryFile);
        n.streamLock.release();
        return failWith(ENOMEM);
    }
    n.memoryFile = memoryFile;
    n.memory = static_cast<uint8_t*>(memory);
    n.bufferLength = length;
    n.stride = stride;
    n.buffers.assign(count, Buffer{});
    for (unsigned i = 0; i < count; ++i) n.buffers[i].offset = i * stride;
    n.source = source;
    n.show = show;
    n.owner = &file;
    return 0;
}

void describeBuffer(const Node& n, unsigned index, v4l2_buffer& buf) {
    const Buffer& b = n.buffers[index];
    std::memset(&buf, 0, sizeof(buf));
    buf.index = index;
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.length = uint32_t(n.bufferLength);
    buf.m.offset = uint32_t(b.offset);
    buf.bytesused = b.bytesUsed;
    buf.sequence = b.sequence;
    buf.timestamp = b.timestamp;
    buf.field = V4L2_FIELD_NONE;
    buf.flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
    if (b.queued) buf.flags |= V4L2_BUF_FLAG_QUEUED;
    if (b.done) buf.flags |= V4L2_BUF_FLAG_DONE;
    if (b.error) buf.flags |= V4L2_BUF_FLAG_ERROR;
}

bool blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && !(flags & O_NONBLOCK);
}

int dequeue(Node& n, OpenFile& file, int fd, std::unique_lock<std::mutex>& lock, v4l2_buffer& buf) {
    if (buf.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf.memory != V4L2_MEMORY_MMAP) return failWith(EINVAL);
    if (n.owner && n.owner != &file) return failWith(EBUSY);
    const Faults& f = n.camera.faults;
    for (;;) {
        if (n.unplugged) return failWith(ENODEV);
        if (!n.streaming) return failWith(EINVAL);
        if (f.unplugAfter >= 0 && n.dequeued >= uint64_t(f.unplugAfter)) {
            updateSignals(n); // a poller wakes and sees the failure
            return failWith(f.unplugErrno);
        }
        if (!n.done.empty()) break;
        if (!blocking(fd)) return failWith(EAGAIN);
        n.changed.wait(lock);
    }
    const unsigned index = n.done.front();
    n.done.pop_front();
    n.buffers[index].done = false;
    describeBuffer(n, index, buf);
    n.buffers[index].error = false;
    if (f.badIndexAfter >= 0 && n.dequeued == uint64_t(f.badIndexAfter)) buf.index = kInvalidIndex;
    ++n.dequeued;
    updateSignals(n);
    return 0;
}

int queueBuffer(Node& n, OpenFile& file, v4l2_buffer& buf) {
    if (buf.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf.memory != V4L2_MEMORY_MMAP) return failWith(EINVAL);
    if (n.owner && n.owner != &file) return failWith(EBUSY);
    if (buf.index >= n.buffers.size()) return failWith(EINVAL);
    Buffer& b = n.buffers[buf.index];
    if (b.queued || b.done) return failWith(EINVAL);
    b.queued = true;
    n.queue.push_back(buf.index);
    describeBuffer(n, buf.index, buf);
    n.changed.notify_all();
    return 0;
}

int formatRequest(Node& n, OpenFile& file, unsigned long request, v4l2_format& fmt) {
    if (n.metadata) {
        if (fmt.type != V4L2_BUF_TYPE_META_CAPTURE) return failWith(EINVAL);
        std::memset(&fmt.fmt, 0, sizeof(fmt.fmt));
        fmt.fmt.meta.dataformat = V4L2_META_FMT_UVC;
        fmt.fmt.meta.buffersize = 10240;
        return 0;
    }
    if (fmt.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
    v4l2_pix_format& pix = fmt.fmt.pix;
    if (request == VIDIOC_G_FMT) {
        pix.pixelformat = n.fourcc;
        pix.width = n.width;
        pix.height = n.height;
        negotiate(n, pix);
        pix.width = n.width;
        pix.height = n.height;
        pix.bytesperline = n.fourcc == V4L2_PIX_FMT_YUYV ? n.width * 2 : 0;
        pix.sizeimage = uint32_t(frameBytes(n.width, n.height));
        if (n.camera.faults.reportedFourcc) pix.pixelformat = n.camera.faults.reportedFourcc;
        return 0;
    }
    if (pix.pixelformat && pix.pixelformat == n.camera.faults.refusedFourcc) return failWith(EINVAL);
    negotiate(n, pix);
    if (request == VIDIOC_S_FMT) {
        if (n.streaming || !n.buffers.empty() || busyElsewhere(n, file)) return failWith(EBUSY);
        const bool sizeChanged = n.fourcc != pix.pixelformat || n.width != pix.width || n.height != pix.height;
        n.fourcc = pix.pixelformat;
        n.width = pix.width;
        n.height = pix.height;
        const std::vector<unsigned> rates = ratesAt(n.camera, n.fourcc, n.width, n.height);
        if (sizeChanged || std::find(rates.begin(), rates.end(), n.rate) == rates.end())
            n.rate = rates.empty() ? 30 : rates.front();
        saveFormat(n);
    }
    return 0;
}

int streamParameters(Node& n, OpenFile& file, unsigned long request, v4l2_streamparm& p) {
    if (p.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
    if (request == VIDIOC_S_PARM) {
        if (n.streaming || busyElsewhere(n, file)) return failWith(EBUSY);
        const v4l2_fract wanted = p.parm.capture.timeperframe;
        const std::vector<unsigned> rates = ratesAt(n.camera, n.fourcc, n.width, n.height);
        if (!rates.empty() && wanted.numerator && wanted.denominator) {
            // The offered interval nearest to the one asked for.
            const double interval = double(wanted.numerator) / wanted.denominator;
            unsigned best = rates.front();
            for (unsigned r : rates)
                if (r && (!best || std::abs(1.0 / r - interval) < std::abs(1.0 / best - interval))) best = r;
            n.rate = best;
        } else if (!rates.empty()) {
            n.rate = rates.front();
        }
        saveFormat(n);
    }
    std::memset(&p.parm, 0, sizeof(p.parm));
    p.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    p.parm.capture.timeperframe = intervalOf(n.camera.freeRunning ? 0 : n.rate);
    return 0;
}

int enumerate(Node& n, unsigned long request, void* argument) {
    if (request == VIDIOC_ENUM_FMT) {
        auto* d = static_cast<v4l2_fmtdesc*>(argument);
        const uint32_t index = d->index, type = d->type;
        if (n.metadata) {
            if (type != V4L2_BUF_TYPE_META_CAPTURE || index != 0) return failWith(EINVAL);
            std::memset(d, 0, sizeof(*d));
            d->type = type;
            d->pixelformat = V4L2_META_FMT_UVC;
            copyText(d->description, sizeof(d->description), "UVC Payload Header Metadata");
            return 0;
        }
        if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE || index >= n.camera.formats.size()) return failWith(EINVAL);
        const Format& f = n.camera.formats[index];
        std::memset(d, 0, sizeof(*d));
        d->index = index;
        d->type = type;
        d->pixelformat = f.fourcc;
        d->flags = f.fourcc == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
        copyText(d->description, sizeof(d->description), formatDescription(f.fourcc));
        return 0;
    }
    if (request == VIDIOC_ENUM_FRAMESIZES) {
        auto* s = static_cast<v4l2_frmsizeenum*>(argument);
        const Format* f = n.camera.format(s->pixel_format);
        if (!f || s->index >= f->sizes.size()) return failWith(EINVAL);
        const FrameSize& size = f->sizes[s->index];
        const uint32_t index = s->index, pixelFormat = s->pixel_format;
        std::memset(s, 0, sizeof(*s));
        s->index = index;
        s->pixel_format = pixelFormat;
        if (size.stepwise) {
            s->type = V4L2_FRMSIZE_TYPE_STEPWISE;
            s->stepwise = {size.width, size.maxWidth, size.step, size.height, size.maxHeight, size.step};
        } else {
            s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            s->discrete = {size.width, size.height};
        }
        return 0;
    }
    auto* i = static_cast<v4l2_frmivalenum*>(argument);
    const std::vector<unsigned> rates = ratesAt(n.camera, i->pixel_format, i->width, i->height);
    if (i->index >= rates.size()) return failWith(EINVAL);
    const v4l2_frmivalenum asked = *i;
    std::memset(i, 0, sizeof(*i));
    i->index = asked.index;
    i->pixel_format = asked.pixel_format;
    i->width = asked.width;
    i->height = asked.height;
    i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
    i->discrete = intervalOf(rates[asked.index]);
    return 0;
}

int controlRequest(Node& n, OpenFile& file, unsigned long request, void* argument) {
    std::vector<ControlChange> changes;
    int error = 0;
    switch (request) {
    case VIDIOC_QUERYCTRL:
        error = queryControl(n.camera.controls, *static_cast<v4l2_queryctrl*>(argument));
        break;
    case VIDIOC_QUERY_EXT_CTRL:
        error = queryExtControl(n.camera.controls, *static_cast<v4l2_query_ext_ctrl*>(argument));
        break;
    case VIDIOC_QUERYMENU:
        error = queryMenu(n.camera.controls, *static_cast<v4l2_querymenu*>(argument));
        break;
    case VIDIOC_G_CTRL:
        error = getControl(n.camera.controls, *static_cast<v4l2_control*>(argument));
        break;
    case VIDIOC_S_CTRL:
        ++n.controlWrites;
        error = setControl(n.camera.controls, *static_cast<v4l2_control*>(argument), changes);
        break;
    default:
        error = extControls(n.camera.controls, request, *static_cast<v4l2_ext_controls*>(argument), changes);
        break;
    }
    if (error) return failWith(error);
    if (changes.empty()) return 0;
    shared::writeControls(n.camera.node, n.camera.controls);
    // The next frames show the change, as a real camera's do.
    if (n.source) n.source = framesOfNode(n);
    announce(n, &file, changes);
    return 0;
}

int eventRequest(Node& n, OpenFile& file, unsigned long request, void* argument) {
    if (request == VIDIOC_DQEVENT) {
        if (file.events.empty()) return failWith(ENOENT);
        auto* event = static_cast<v4l2_event*>(argument);
        *event = file.events.front();
        file.events.pop_front();
        event->pending = uint32_t(file.events.size());
        event->sequence = file.eventSequence++;
        updateSignals(n);
        return 0;
    }
    auto* sub = static_cast<v4l2_event_subscription*>(argument);
    auto& subs = file.subscriptions;
    if (request == VIDIOC_UNSUBSCRIBE_EVENT) {
        if (sub->type == V4L2_EVENT_ALL) {
            subs.clear();
        } else if (sub->type == V4L2_EVENT_CTRL) {
            subs.erase(std::remove_if(subs.begin(), subs.end(), [&](const Subscription& s) { return s.id == sub->id; }),
                       subs.end());
        }
        return 0;
    }
    v4l2_queryctrl query{};
    query.id = sub->id;
    if (sub->type != V4L2_EVENT_CTRL || queryControl(n.camera.controls, query) != 0) return failWith(EINVAL);
    std::memset(sub->reserved, 0, sizeof(sub->reserved));
    for (const Subscription& s : subs)
        if (s.id == sub->id) return 0;
    subs.push_back({sub->id, sub->flags});
    if ((sub->flags & V4L2_EVENT_SUB_FL_SEND_INITIAL) && query.type != V4L2_CTRL_TYPE_CTRL_CLASS) {
        v4l2_event event;
        describeControlEvent(n.camera.controls, sub->id,
                             V4L2_EVENT_CTRL_CH_VALUE | V4L2_EVENT_CTRL_CH_FLAGS | V4L2_EVENT_CTRL_CH_RANGE, event);
        file.events.push_back(event);
        updateSignals(n);
    }
    return 0;
}

int capabilities(const Node& n, v4l2_capability& cap) {
    std::memset(&cap, 0, sizeof(cap));
    copyText(cap.driver, sizeof(cap.driver), n.camera.driver);
    copyText(cap.card, sizeof(cap.card), n.camera.card);
    copyText(cap.bus_info, sizeof(cap.bus_info), n.camera.bus);
    cap.version = (6u << 16) | (1u << 8);
    cap.device_caps =
        (n.metadata ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
    cap.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT |
                       V4L2_CAP_DEVICE_CAPS;
    return 0;
}

} // namespace

int deviceIoctl(Node& n, OpenFile& file, int fd, unsigned long request, void* argument,
                std::unique_lock<std::mutex>& lock) {
    refreshShared(n);
    if (n.unplugged) return failWith(ENODEV);
    const RequestInfo* info = requestInfo(request);
    if (!info || (n.metadata && !metadataRequest(request))) return failWith(ENOTTY);
    if (int error = injectedErrno(n, request)) return failWith(error);
    if (info->argument && !argument) return failWith(EFAULT);
    if (info->priority && file.priority < highestPriority(n)) return failWith(EBUSY);

    switch (request) {
    case VIDIOC_QUERYCAP:
        return capabilities(n, *static_cast<v4l2_capability*>(argument));
    case VIDIOC_ENUM_FMT:
    case VIDIOC_ENUM_FRAMESIZES:
    case VIDIOC_ENUM_FRAMEINTERVALS:
        return enumerate(n, request, argument);
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_G_FMT:
        return formatRequest(n, file, request, *static_cast<v4l2_format*>(argument));
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM:
        return streamParameters(n, file, request, *static_cast<v4l2_streamparm*>(argument));
    case VIDIOC_REQBUFS:
        return requestBuffers(n, file, lock, *static_cast<v4l2_requestbuffers*>(argument));
    case VIDIOC_QUERYBUF: {
        auto* buf = static_cast<v4l2_buffer*>(argument);
        if (buf->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf->index >= n.buffers.size()) return failWith(EINVAL);
        describeBuffer(n, buf->index, *buf);
        return 0;
    }
    case VIDIOC_QBUF:
        return queueBuffer(n, file, *static_cast<v4l2_buffer*>(argument));
    case VIDIOC_DQBUF:
        return dequeue(n, file, fd, lock, *static_cast<v4l2_buffer*>(argument));
    case VIDIOC_STREAMON: {
        if (*static_cast<int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
        if (n.owner && n.owner != &file) return failWith(EBUSY);
        if (n.buffers.empty()) return failWith(EINVAL);
        if (n.streaming) return 0;
        startTicker(n);
        updateSignals(n);
        return 0;
    }
    case VIDIOC_STREAMOFF: {
        if (*static_cast<int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return failWith(EINVAL);
        if (n.owner && n.owner != &file) return failWith(EBUSY);
        stopStreaming(n, lock);
        return 0;
    }
    case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL:
    case VIDIOC_QUERYMENU:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS:
        return controlRequest(n, file, request, argument);
    case VIDIOC_SUBSCRIBE_EVENT:
    case VIDIOC_UNSUBSCRIBE_EVENT:
    case VIDIOC_DQEVENT:
        return eventRequest(n, file, request, argument);
    case VIDIOC_G_INPUT:
        *static_cast<int*>(argument) = 0;
        return 0;
    case VIDIOC_S_INPUT:
        return *static_cast<int*>(argument) == 0 ? 0 : failWith(EINVAL);
    case VIDIOC_ENUMINPUT: {
        auto* input = static_cast<v4l2_input*>(argument);
        if (input->index != 0) return failWith(EINVAL);
        std::memset(input, 0, sizeof(*input));
        copyText(input->name, sizeof(input->name), "Camera 1");
        input->type = V4L2_INPUT_TYPE_CAMERA;
        return 0;
    }
    case VIDIOC_G_PRIORITY: // the device's, which is its most privileged file's
        *static_cast<uint32_t*>(argument) = highestPriority(n);
        return 0;
    case VIDIOC_S_PRIORITY: {
        const uint32_t wanted = *static_cast<uint32_t*>(argument);
        if (wanted < V4L2_PRIORITY_BACKGROUND || wanted > V4L2_PRIORITY_RECORD) return failWith(EINVAL);
        file.priority = v4l2_priority(wanted);
        return 0;
    }
    case VIDIOC_LOG_STATUS:
        return 0;
    default:
        return failWith(ENOTTY);
    }
}

} // namespace vcam
