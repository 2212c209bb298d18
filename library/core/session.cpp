// A camera's session: opening it, its stream thread with the stages of each
// frame, and the requests the stream thread serves.
#include "session.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include <linux/videodev2.h>

#include <opencv2/imgproc.hpp>

#include "../codes/barcode.h"
#include "../decode/jpeg_scaled.h"
#include "../decode/mjpeg_decoder.h"
#include "../decode/yuyv.h"
#include "../device/controls.h"
#include "../guard.h"
#include "../imaging/rotate.h"
#include "../log.h"
#include "device_events.h"
#include "profile.h"

using namespace std::chrono_literals;

namespace velcap {

namespace {

// How long a request may wait for the stream thread to take it (about 80 and
// 200 frame periods of the slowest camera mode), and how long a capture or a
// recognition already under way may take to finish.
constexpr auto kCaptureWait = 3950ms;
constexpr auto kRecognitionWait = 9950ms;
constexpr auto kServingWait = 60s;

thread_local const Session* streamThreadOf = nullptr;

Status failWithErrno(const char* request, Status status) {
    const int error = errno;
    logError(Category::Device, "ioctl(%s) failed %d(%s)", request, error, std::strerror(error));
    errno = error; // for the caller, whatever the log line did
    return status;
}

constexpr auto kReconnectRetry = 100ms;

} // namespace

bool Mapping::map(int fd, size_t length, off_t offset) {
    unmap();
    void* start = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (start == MAP_FAILED) return false;
    start_ = start;
    length_ = length;
    return true;
}

bool Mapping::unmap() {
    const bool ok = length_ != 0 && munmap(start_, length_) == 0;
    start_ = nullptr;
    length_ = 0;
    return ok;
}

Session::Session() = default;

Session::~Session() {
    close();
}

bool Session::onStreamThread() const {
    return streamThreadOf == this;
}

size_t Session::rawFrameBytes() const {
    // A compressed frame of a tiny size can be larger than its decoded
    // pixels: the buffer holds whatever a driver's buffer can carry.
    size_t bytes = size_t(width_) * size_t(height_) * 3;
    for (const Mapping& m : mappings_) bytes = std::max(bytes, m.length());
    return bytes;
}

void Session::unmapAll(bool report) {
    for (Mapping& m : mappings_) {
        const bool ok = m.unmap();
        if (!ok && report) logWarning(Category::Device, "munmap fail!!!");
        if (report) std::this_thread::sleep_for(10ms); // the driver releases each buffer before the next goes
    }
}

Status Session::open(const std::string& node, int width, int height, PixelFormat format, bool interpolate) {
    if (onStreamThread()) return Status::OnStreamThread;
    if (fd_.isValid()) close();
    interpolate_ = interpolate; // before the stream thread reads it
    const Status status = start(node, width, height, format);
    if (status != Status::Ok) {
        // Whatever the failed open made goes, in reverse order.
        unmapAll(false);
        decoder_.reset();
        fd_.reset();
        return status;
    }
    return Status::Ok;
}

Status Session::start(const std::string& node, int width, int height, PixelFormat pixelFormat) {
    const int64_t pixels = int64_t(width) * int64_t(height);
    if (width <= 0 || height <= 0 || pixels > INT32_MAX / 3) {
        logError(Category::Device, "openCamera: %dx%d is not a frame size\n", width, height);
        return Status::BadSize;
    }
    decoder_ = std::make_unique<MjpegDecoder>();
    {
        std::lock_guard lock(deviceMutex_);
        controlValues_.clear();
        const Status status = openDevice(node, width, height, pixelFormat, false);
        if (status != Status::Ok) return status;
    }
    if (!identify(node, identity_)) identity_ = Identity{};
    format_ = pixelFormat;
    if (profiles_) applyProfile();
    if (width_ != width || height_ != height) interpolate_ = false; // the driver chose another size

    outlineFound_ = false;
    page_ = PageState{};
    tracker_.reset();
    quadFound_ = false;
    autoCapture_.reset();
    away_ = false;
    keep_ = true;
    if (hooks_.opened) hooks_.opened();
    listenToButton();
    setStreaming(true);
    try {
        thread_ = std::thread([this] { runStream(); });
    } catch (const std::system_error& e) {
        setStreaming(false);
        keep_ = false;
        logError(Category::Stream, "create thread error: %s\n", e.what());
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ioctl(fd_.get(), VIDIOC_STREAMOFF, &type);
        image_.release();
        turned_.release();
        return Status::ThreadFailed;
    }
    return Status::Ok;
}

Status Session::openDevice(const std::string& node, int width, int height, PixelFormat pixelFormat, bool reopening) {
    fd_.reset(::open(node.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd_.isValid()) {
        logError(Category::Device, "打开相机节点失败");
        return Status::OpenFailed;
    }
    const int fd = fd_.get();

    v4l2_capability capability{};
    ioctl(fd, VIDIOC_QUERYCAP, &capability); // a failed query leaves the fields empty
    logDebug(Category::Device, "Driver Name:%s Card Name:%s Bus info:%s Driver Version:%u.%u.%u", capability.driver,
             capability.card, capability.bus_info, (capability.version >> 16) & 0xff, (capability.version >> 8) & 0xff,
             capability.version & 0xff);
    logDebug(Category::Device, "Support format:");
    for (int index = 0;; ++index) {
        v4l2_fmtdesc description{};
        description.index = static_cast<unsigned>(index);
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        const int result = ioctl(fd, VIDIOC_ENUM_FMT, &description);
        description.description[sizeof(description.description) - 1] = 0;
        logDebug(Category::Device, "index %d, format %s", index, description.description);
        if (result != 0) break;
    }
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ioctl(fd, VIDIOC_G_PARM, &parameters);
    logDebug(Category::Device, "befor:framerate: numerator = %d,denominator = %d",
             parameters.parm.capture.timeperframe.numerator, parameters.parm.capture.timeperframe.denominator);

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<unsigned>(width);
    format.fmt.pix.height = static_cast<unsigned>(height);
    format.fmt.pix.pixelformat = pixelFormat == PixelFormat::Mjpeg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
    if (ioctl(fd, VIDIOC_TRY_FMT, &format) != 0) return failWithErrno("VIDIOC_TRY_FMT", Status::FormatRefused);
    if (ioctl(fd, VIDIOC_S_FMT, &format) != 0) return failWithErrno("VIDIOC_S_FMT", Status::FormatNotSet);
    if (ioctl(fd, VIDIOC_G_FMT, &format) != 0) {
        logError(Category::Device, "set format failed!");
        return Status::FormatUnreadable;
    }
    logDebug(Category::Device, "fmt.type:\t\t%d", format.type);
    const unsigned fourcc = format.fmt.pix.pixelformat;
    char previous[sizeof(pixelFormat_)];
    std::memcpy(previous, pixelFormat_, sizeof(previous));
    std::snprintf(pixelFormat_, sizeof(pixelFormat_), "%c%c%c%c", fourcc & 0xff, (fourcc >> 8) & 0xff,
                  (fourcc >> 16) & 0xff, (fourcc >> 24) & 0xff);
    logDebug(Category::Device, "pix.pixelformat:\t%s", pixelFormat_);
    logDebug(Category::Device, "pix.width:\t\t%d", format.fmt.pix.width);
    logDebug(Category::Device, "pix.height:\t\t%d", format.fmt.pix.height);
    logDebug(Category::Device, "pix.field:\t\t%d", format.fmt.pix.field);

    // A driver may adjust the size. The frame images and the raw-frame buffer
    // follow what it delivers, so that every frame fits them exactly. A camera
    // opened again must deliver what it did, for the pictures the host holds.
    if (reopening && (format.fmt.pix.width != unsigned(width) || format.fmt.pix.height != unsigned(height) ||
                      std::strcmp(previous, pixelFormat_) != 0)) {
        logError(Category::Device, "reconnect: %s now delivers %ux%u, not %dx%d\n", node.c_str(), format.fmt.pix.width,
                 format.fmt.pix.height, width, height);
        return Status::BadSize;
    }
    if (!reopening) {
        width_ = width;
        height_ = height;
        if (format.fmt.pix.width != static_cast<unsigned>(width) ||
            format.fmt.pix.height != static_cast<unsigned>(height)) {
            logWarning(Category::Device, "openCamera: the driver delivers %ux%u in place of %dx%d\n",
                       format.fmt.pix.width, format.fmt.pix.height, width, height);
            const int64_t delivered = int64_t(format.fmt.pix.width) * int64_t(format.fmt.pix.height);
            if (format.fmt.pix.width == 0 || format.fmt.pix.height == 0 || delivered > INT32_MAX / 3 ||
                format.fmt.pix.width > unsigned(INT32_MAX) || format.fmt.pix.height > unsigned(INT32_MAX)) {
                logError(Category::Device, "openCamera: the driver's size %ux%u is not a frame size\n",
                         format.fmt.pix.width, format.fmt.pix.height);
                width_ = height_ = 0;
                return Status::BadSize;
            }
            width_ = int(format.fmt.pix.width);
            height_ = int(format.fmt.pix.height);
        }
    }
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (ioctl(fd, VIDIOC_REQBUFS, &request) != 0) return failWithErrno("VIDIOC_REQBUFS", Status::BuffersRefused);
    logDebug(Category::Device, "req.count: %d", request.count);
    if (request.count < unsigned(kBufferCount)) {
        logError(Category::Device, "request buffer failed");
        return Status::TooFewBuffers;
    }
    // The mapping table has room for the buffers asked for; buffers granted
    // beyond them are never queued, so the driver never fills them.
    if (request.count > unsigned(kBufferCount))
        logInfo(Category::Device, "openCamera: the driver granted %u buffers; using %d\n", request.count, kBufferCount);
    for (unsigned index = 0; index < unsigned(kBufferCount); ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (ioctl(fd, VIDIOC_QUERYBUF, &buffer) != 0)
            return failWithErrno("VIDIOC_QUERYBUF", Status::BufferQueryFailed);
        logDebug(Category::Device, "buffer.length: %d", buffer.length);
        logDebug(Category::Device, "buffer.m.offset: %d", buffer.m.offset);
        if (!mappings_[index].map(fd, buffer.length, off_t(buffer.m.offset))) {
            const int error = errno;
            logError(Category::Device, "MAP_FAILED!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
            logError(Category::Device, "mmap() failed %d(%s)", error, std::strerror(error));
            return Status::MapFailed;
        }
        if (ioctl(fd, VIDIOC_QBUF, &buffer) != 0) return failWithErrno("VIDIOC_QBUF", Status::QueueFailed);
    }

    // Black until a frame is decoded: never the heap's old bytes.
    if (!reopening) {
        image_ = cv::Mat::zeros(height_, width_, CV_8UC3);
        turned_ = cv::Mat::zeros(width_, height_, CV_8UC3);
    }

    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (ioctl(fd, VIDIOC_STREAMON, &type) != 0) {
        const int error = errno;
        logError(Category::Device, "ioctl(VIDIOC_STREAMON) failed %d(%s)\n", error, std::strerror(error));
        return Status::StreamFailed;
    }
    node_ = node; // the caller holds deviceMutex_
    return Status::Ok;
}

bool Session::close(bool report) {
    keep_ = false;
    if (thread_.joinable()) {
        if (onStreamThread()) return false; // a frame callback cannot wait for its own thread
        thread_.join();
    }
    button_.stop();
    hasButton_ = false;
    if (holdsDeviceEvents_.exchange(false)) releaseDeviceEvents();
    if (fd_.isValid()) {
        std::lock_guard lock(deviceMutex_);
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ioctl(fd_.get(), VIDIOC_STREAMOFF, &type);
        unmapAll(report);
        std::this_thread::sleep_for(
            100ms); // settle time for the driver after the stream stops, before the descriptor goes
        fd_.reset();
        std::this_thread::sleep_for(100ms); // the camera resets its streaming interface before anyone opens it again
    } else if (report) {
        unmapAll(true);
    }
    away_ = false;
    image_.release();
    turned_.release();
    decoder_.reset();
    scaledDecoder_.reset();
    preview_.release();
    previewTurned_.release();
    return true;
}

void Session::releaseDevice() {
    std::lock_guard lock(deviceMutex_);
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (fd_.isValid()) ioctl(fd_.get(), VIDIOC_STREAMOFF, &type);
    unmapAll(false);
    fd_.reset();
}

bool Session::awaitReturn() {
    // Requests fail at once while the camera is away; their callers wake now.
    away_ = true;
    setStreaming(false);
    if (hooks_.gone) hooks_.gone();
    releaseDevice();
    logWarning(Category::Device, "reconnect: %s was unplugged; waiting for it to come back\n", node_.c_str());
    // The process's monitor wakes the wait; it stays held until the session closes.
    if (!holdsDeviceEvents_.exchange(true)) holdDeviceEvents();
    const bool known = !identity_.vendor.empty();
    while (keep_) {
        const std::uint64_t seen = deviceEventCount();
        const std::string node = known ? findCaptureNode(identity_) : (::access(node_.c_str(), F_OK) == 0 ? node_ : "");
        if (!node.empty()) {
            std::lock_guard lock(deviceMutex_);
            if (openDevice(node, width_, height_, format_, true) == Status::Ok) {
                for (const auto& [id, value] : controlValues_)
                    if (writeControl(fd_.get(), id, value) != Status::Ok)
                        logWarning(Category::Device, "reconnect: control %#x could not be set again\n", id);
                break;
            }
            unmapAll(false);
            fd_.reset();
        }
        waitForDeviceEvent(seen, kReconnectRetry);
    }
    if (!keep_) return false;
    logInfo(Category::Device, "reconnect: %s is back\n", node_.c_str());
    away_ = false;
    if (hooks_.back) hooks_.back();
    listenToButton(); // the camera's input device came back with it
    setStreaming(true);
    return true;
}

void Session::setButtonCallback(std::function<void(ButtonKey)> callback) {
    std::lock_guard lock(buttonMutex_);
    buttonCallback_ = callback ? std::make_shared<const std::function<void(ButtonKey)>>(std::move(callback)) : nullptr;
}

void Session::listenToButton() {
    hasButton_ = button_.start(node_, [this](ButtonKey key) {
        std::shared_ptr<const std::function<void(ButtonKey)>> callback;
        {
            std::lock_guard lock(buttonMutex_);
            callback = buttonCallback_;
        }
        if (callback) (*callback)(key);
    });
}

void Session::releaseStopped() {
    // A stream thread that was told to stop from its own callback is gone or going.
    if (thread_.joinable() && !onStreamThread()) thread_.join();
    if (holdsDeviceEvents_.exchange(false)) releaseDeviceEvents();
    unmapAll(false);
    fd_.reset();
}

bool Session::waitForFrame() {
    // A bounded wait, so that close never waits on a camera that stopped delivering frames.
    pollfd descriptor{fd_.get(), POLLIN, 0};
    while (keep_) {
        const int ready = poll(&descriptor, 1, 100);
        if (ready != 0) return keep_; // a frame, or an error that grab reports
    }
    return false;
}

Status Session::grab(unsigned char* destination, int* length, std::uint64_t* sequence, std::int64_t* timestamp) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (ioctl(fd_.get(), VIDIOC_DQBUF, &buffer) != 0) {
        return failWithErrno("VIDIOC_DQBUF", Status::StreamStopped);
    }
    if (buffer.index >= unsigned(kBufferCount) || mappings_[buffer.index].length() == 0) {
        logError(Category::Stream, "invalid buffer index: %d", buffer.index);
        return Status::BufferQueryFailed;
    }
    // Copy what the driver filled, never more than it mapped nor than the
    // destination (the raw-frame buffer) holds.
    size_t filled = std::min<size_t>(buffer.bytesused, mappings_[buffer.index].length());
    if (buffer.flags & V4L2_BUF_FLAG_ERROR) {
        // The driver lost part of this frame (a USB transfer error): showing it would show garbage.
        logWarning(Category::Stream, "grabImage: frame %u came incomplete (the driver's error flag); skipped\n",
                   buffer.sequence);
        filled = 0;
    } else if (filled > rawFrameBytes()) {
        logWarning(Category::Stream,
                   "grabImage: a frame of %zu bytes does not fit the %zu-byte frame buffer; skipped\n", filled,
                   rawFrameBytes());
        filled = 0;
    } else {
        std::memcpy(destination, mappings_[buffer.index].start(), filled);
    }
    *length = static_cast<int>(filled);
    if (sequence) *sequence = buffer.sequence;
    if (timestamp) *timestamp = std::int64_t(buffer.timestamp.tv_sec) * 1000000000 + buffer.timestamp.tv_usec * 1000;
    if (ioctl(fd_.get(), VIDIOC_QBUF, &buffer) != 0) return failWithErrno("VIDIOC_QBUF", Status::StreamStopped);
    return Status::Ok;
}

void Session::runStream() {
    streamThreadOf = this;
    std::vector<unsigned char> raw(rawFrameBytes());
    while (keep_) {
        if (!waitForFrame()) break;
        int length = 0;
        std::uint64_t sequence = 0;
        std::int64_t timestamp = 0;
        const Status status = grab(raw.data(), &length, &sequence, &timestamp);
        if (status != Status::Ok) {
            const int error = errno;
            const int result = status == Status::StreamStopped ? -1 : -100; // the numbers these lines always had
            logError(Category::Stream, "grabImage error!!!!!!!!!!");
            logError(Category::Stream, "cam get image ret = %d\n", result);
            logError(Category::Stream,
                     "VideoStreamPro: the stream has ended: a frame could not be read (%d, %s); requests fail "
                     "until the camera is opened again\n",
                     result, result == -1 ? std::strerror(error) : "invalid buffer");
            if (result == -1 && error == ENODEV && autoReconnect_ && awaitReturn()) {
                raw.resize(std::max(raw.size(), rawFrameBytes()));
                continue;
            }
            break;
        }
        if (length == 0) continue; // nothing usable in this buffer
        // An exception from a stage or from the host's callback costs this frame, not the stream.
        const Step step = guarded("VideoStreamPro", Step::next, [&] {
            return processFrame({raw.data(), length, sequence, timestamp});
        });
        if (step == Step::stop) break;
        if (step == Step::done) std::this_thread::sleep_for(3ms); // the host's threads get the core between frames
    }
    setStreaming(false);
    streamThreadOf = nullptr;
}

bool Session::decode(unsigned char* raw, int length) {
    ++decoded_;
    if (std::strstr(pixelFormat_, "MJPG")) return decoder_ && decoder_->decode(raw, length, image_);
    // A short frame must not show the bytes of an earlier one.
    const size_t frameBytes = size_t(image_.cols) * size_t(image_.rows) * 2;
    if (size_t(length) < frameBytes) std::memset(raw + length, 0, frameBytes - size_t(length));
    yuyvToRgb(raw, image_.data, image_.cols, image_.rows);
    return true;
}

namespace {

// A JPEG from its start of image to its end of image, whatever padding the
// driver left after it.
bool endsWhole(const unsigned char* bytes, int length) {
    if (length < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return false;
    while (length > 4 && bytes[length - 1] == 0) --length;
    return bytes[length - 2] == 0xFF && bytes[length - 1] == 0xD9;
}

// Quarter turns go into their own picture; the half turn stays in place.
cv::Mat turnedPicture(cv::Mat& picture, cv::Mat& quarter, int rotation) {
    switch (rotation) {
    case 0:
        return picture;
    case 1:
    case 3:
        quarterTurn(picture, quarter, rotation == 1);
        return quarter;
    case 2:
        cv::flip(picture, picture, -1);
        return picture;
    default:
        return cv::Mat(); // an orientation the library does not know: no stage gets the frame
    }
}

} // namespace

cv::Mat Session::turn(int rotation) {
    return turnedPicture(image_, turned_, rotation);
}

int Session::previewReduction(int rotation) const {
    const std::uint64_t size = previewSize_;
    const int width = int(size >> 32), height = int(size & 0xFFFFFFFFu);
    // The size is the delivered frame's: a quarter turn swaps the camera's sides.
    const bool quarter = rotation == 1 || rotation == 3;
    return coveringReduction(width_, height_, quarter ? height : width, quarter ? width : height);
}

Session::Step Session::deliverReduced(const RawFrame& raw, int reduction, int rotation) {
    if (std::strstr(pixelFormat_, "MJPG")) {
        if (!scaledDecoder_) scaledDecoder_ = std::make_unique<ScaledJpegDecoder>();
        if (!scaledDecoder_->decode(raw.bytes, size_t(raw.length), reduction, preview_)) return Step::next;
    } else {
        const size_t frameBytes = size_t(width_) * size_t(height_) * 2;
        if (size_t(raw.length) < frameBytes) std::memset(raw.bytes + raw.length, 0, frameBytes - size_t(raw.length));
        yuyvToRgbReduced(raw.bytes, width_, height_, reduction, preview_);
    }
    ++reduced_;
    deliver(turnedPicture(preview_, previewTurned_, rotation), raw, false);
    return Step::done;
}

Session::Step Session::processFrame(const RawFrame& raw) {
    if (!std::strstr(pixelFormat_, "MJPG") && !std::strstr(pixelFormat_, "YUYV")) {
        logError(Category::Stream, "don't suport format");
        return Step::stop;
    }
    // A host that passes the camera's JPEG on pays no decode for frames nothing else looks at.
    if (jpegOnly_ && std::strstr(pixelFormat_, "MJPG") && !needsPixels(settings_.snapshot())) {
        // No decoder looks at it: a frame cut short (a lost USB transfer) must not reach the host as it is.
        if (!endsWhole(raw.bytes, raw.length)) {
            logWarning(Category::Stream, "grabImage: frame %llu is not a whole JPEG (cut short); skipped\n",
                       static_cast<unsigned long long>(raw.sequence));
            return Step::next;
        }
        deliverJpeg(raw);
        return Step::done;
    }
    // A preview at the size it is shown: a frame that nothing needs whole is
    // decoded reduced. Requests that come meanwhile wait for the next frame.
    int reduction = 1;
    if (previewSize_ != 0) {
        const FrameSettings ahead = settings_.snapshot();
        reduction = previewReduction(ahead.rotation);
        if (reduction > 1 && !needsWholeFrame(ahead)) return deliverReduced(raw, reduction, ahead.rotation);
    }
    // A frame that does not decode is neither shown nor photographed: the
    // requests wait for the next whole one.
    if (!decode(raw.bytes, raw.length)) return Step::next;
    if (hooks_.skipFrame && hooks_.skipFrame()) return Step::next;
    // One snapshot per frame, taken once it is decoded, keeps every stage of
    // a frame on the same settings: those set just before a request apply to it.
    const FrameSettings settings = settings_.snapshot();
    const cv::Mat frame = turn(settings.rotation);
    CaptureParams params;
    params.cutType = settings.cutType;
    params.colorMode = settings.colorMode;
    params.jpegQuality = settings.jpegQuality;
    params.removeBlackEdge = settings.removeBlackEdge == 1;
    params.whiten = settings.whiten == 1;
    params.interpolate = interpolate_;
    params.ocrLanguages = settings.ocrLanguages;
    params.pdfA = settings.pdfA;
    params.pdfInMemory = pdfInMemory_;
    if (captureWanted_) serveCapture(frame, params);
    if (recognitionWanted_) serveRecognition(frame, settings.rotation);
    autoCapture_.process(frame, settings, params, page_); // before the outline is drawn into the frame
    outlineStage(frame, settings.cutType);
    if (reduction > 1 && !frame.empty()) {
        // The stages had the whole frame; the callback gets the preview's size all the same.
        cv::resize(frame, preview_, cv::Size(reducedSide(frame.cols, reduction), reducedSide(frame.rows, reduction)), 0,
                   0, cv::INTER_AREA);
        deliver(preview_, raw, false);
    } else {
        deliver(frame, raw, settings.rotation == 0);
    }
    if (hooks_.delivered) hooks_.delivered(frame);
    return Step::done;
}

void Session::outlineStage(const cv::Mat& frame, int cutType) {
    if (frame.empty()) return;
    if (cutType == 2 || cutType == 3) {
        const bool tracking = pageQuadStage(frame, tracker_);
        page_.quadFound = tracking;
        if (tracking) page_.quad = tracker_.corners();
        quadFound_ = tracking;
        return;
    }
    if (cutType != 1) return;
    // A failure costs the outline, not the frame.
    const bool found = guarded("DrawingEdge", false,
                               [&] { return findPageOutline(frame.data, frame.cols, frame.rows, cutType, outline_); });
    if (!found) return;
    std::memcpy(page_.outline, outline_.corners, sizeof(page_.outline));
    page_.outlineFound = true;
    outlineFound_ = true;
    if (hooks_.outlineFound) hooks_.outlineFound(outline_);
}

void Session::setFrameCallback(std::function<void(const Frame&)> callback) {
    auto shared = callback ? std::make_shared<const std::function<void(const Frame&)>>(std::move(callback)) : nullptr;
    std::lock_guard lock(callbackMutex_);
    callback_ = std::move(shared);
}

bool Session::needsWholeFrame(const FrameSettings& settings) const {
    return captureWanted_ || recognitionWanted_ || autoCapture_.on() || settings.cutType != 0 ||
           (hooks_.wantsFullFrame && hooks_.wantsFullFrame());
}

bool Session::needsPixels(const FrameSettings& settings) const {
    return captureWanted_ || recognitionWanted_ || autoCapture_.on() || settings.cutType != 0 ||
           settings.rotation != 0 || hooks_.skipFrame || hooks_.delivered || hooks_.outlineFound;
}

void Session::deliverJpeg(const RawFrame& raw) {
    std::shared_ptr<const std::function<void(const Frame&)>> callback;
    {
        std::lock_guard lock(callbackMutex_);
        callback = callback_;
    }
    if (!callback) return;
    Frame out;
    out.width = width_;
    out.height = height_;
    out.sequence = raw.sequence;
    out.timestamp = raw.timestamp;
    out.jpeg = raw.bytes;
    out.jpegSize = size_t(raw.length);
    (*callback)(out);
}

void Session::deliver(const cv::Mat& frame, const RawFrame& raw, bool unchanged) {
    if (frame.empty()) return;
    std::shared_ptr<const std::function<void(const Frame&)>> callback;
    {
        std::lock_guard lock(callbackMutex_);
        callback = callback_;
    }
    if (!callback) return;
    Frame out;
    out.width = frame.cols;
    out.height = frame.rows;
    out.stride = int(frame.step);
    out.rgb = frame.data;
    out.sequence = raw.sequence;
    out.timestamp = raw.timestamp;
    if (unchanged && std::strstr(pixelFormat_, "MJPG")) {
        out.jpeg = raw.bytes;
        out.jpegSize = size_t(raw.length);
    }
    (*callback)(out);
}

// ---- Requests: the caller posts one and waits; the stream thread serves it
// on its next frame and wakes the caller.

void Session::setStreaming(bool on) {
    {
        std::lock_guard lock(mutex_);
        streaming_ = on;
    }
    served_.notify_all();
}

void Session::serveCapture(const cv::Mat& frame, const CaptureParams& params) {
    std::string path;
    bool still = false;
    {
        std::lock_guard lock(mutex_);
        if (capture_ != RequestState::pending) return;
        path = capturePath_;
        still = captureStill_;
        capture_ = RequestState::serving;
    }
    Status result = Status::NotWritten;
    Still taken;
    if (frame.empty())
        logWarning(Category::Capture, "captureImage: rotation %d is not 0 to 3; nothing captured for %s\n",
                   settings_.snapshot().rotation, path.c_str());
    else if (still) {
        taken = {frame.clone(), page_, settings_.snapshot().rotation, params.interpolate};
        result = Status::Ok;
    } else {
        // The flat codes know one failure of the writer: nothing written.
        result = captureFrame(path.c_str(), params, page_, frame) == Status::Ok ? Status::Ok : Status::NotWritten;
    }
    {
        std::lock_guard lock(mutex_);
        if (captureWithdrawn_) {
            // Its caller gave up long ago; a photograph written meanwhile is kept.
            captureWithdrawn_ = false;
            capture_ = RequestState::idle;
        } else {
            captureResult_ = result;
            still_ = std::move(taken);
            capture_ = RequestState::done;
        }
        captureWanted_ = false;
    }
    served_.notify_all();
}

void Session::serveRecognition(const cv::Mat& frame, int rotation) {
    int type = 0;
    {
        std::lock_guard lock(mutex_);
        if (recognition_ != RequestState::pending) return;
        type = recognitionType_;
        recognition_ = RequestState::serving;
    }
    std::string text;
    bool decoded = false;
    if (frame.empty()) {
        logWarning(Category::Codes, "RecogBarQrCode: rotation %d is not 0 to 3; nothing read\n", rotation);
    } else {
        try {
            text = recogniseFrame(frame, type, enhanced_);
            decoded = true;
        } catch (const std::exception& e) {
            logError(Category::Codes, "RecogBarQrCode: recognition of type %d failed: %s\n", type, e.what());
        }
    }
    if (decoded && std::strstr(pixelFormat_, "MJPG")) logInfo(Category::Codes, "BarQrContent:%s\n", text.c_str());
    if (decoded && hooks_.recognised) hooks_.recognised(text);
    {
        std::lock_guard lock(mutex_);
        if (recognitionWithdrawn_) {
            recognitionWithdrawn_ = false;
            recognition_ = RequestState::idle;
        } else {
            if (decoded) lastRecognition_ = text;
            recognitionText_ = std::move(text);
            recognition_ = RequestState::done;
        }
        recognitionWanted_ = false;
    }
    served_.notify_all();
}

// Waits for a posted request of the slot to be served. Returns true when it
// was; otherwise withdraws it (taking it back when no one took it yet, or
// marking it so that the stream thread drops its result).
bool Session::awaitServed(std::unique_lock<std::mutex>& lock, RequestState& state, bool& withdrawn,
                          std::chrono::milliseconds wait) {
    auto finished = [&] { return state == RequestState::done || (state == RequestState::pending && !streaming_); };
    served_.wait_for(lock, wait, finished);
    if (state == RequestState::serving) served_.wait_for(lock, kServingWait, finished);
    if (state == RequestState::done) {
        state = RequestState::idle;
        return true;
    }
    if (state == RequestState::pending)
        state = RequestState::idle;
    else
        withdrawn = true; // still being served after all this time
    return false;
}

Status Session::capture(const std::string& path) {
    return postCapture(path, false);
}

Status Session::takeStill(const std::string& forPath, Still& out) {
    const Status status = postCapture(forPath, true);
    if (status == Status::Ok) {
        std::lock_guard lock(mutex_);
        out = std::move(still_);
        still_ = {};
    }
    return status;
}

Status Session::postCapture(const std::string& path, bool still) {
    if (!keep_ || away_) return Status::NotOpen;
    if (path.empty() || path.size() > kMaxCapturePath) {
        logWarning(Category::Capture, "captureImage: the path must have 1 to %zu bytes, not %zu\n", kMaxCapturePath,
                   path.size());
        return Status::BadPath;
    }
    if (onStreamThread()) {
        logWarning(Category::Capture, "captureImage: called on the stream thread, which serves it; refused\n");
        return Status::OnStreamThread;
    }
    std::lock_guard caller(captureCaller_);
    std::unique_lock lock(mutex_);
    // A withdrawn capture still being written finishes before the next is posted.
    served_.wait_for(lock, kServingWait, [&] { return capture_ != RequestState::serving; });
    if (!streaming_) return Status::StreamStopped;
    if (capture_ == RequestState::serving) return Status::NotServed;
    capturePath_ = path;
    captureStill_ = still;
    capture_ = RequestState::pending;
    captureWanted_ = true;
    const bool served = awaitServed(lock, capture_, captureWithdrawn_, kCaptureWait);
    if (!served && capture_ == RequestState::idle) captureWanted_ = false;
    if (served) return captureResult_;
    return streaming_ ? Status::NotServed : Status::StreamStopped;
}

Status Session::recognise(int type, std::string& text) {
    text.clear();
    if (!keep_ || away_) return Status::NotOpen;
    if (onStreamThread()) {
        logWarning(Category::Codes, "RecogBarQrCode: called on the stream thread, which serves it; refused\n");
        return Status::OnStreamThread;
    }
    std::lock_guard caller(recognitionCaller_);
    std::unique_lock lock(mutex_);
    served_.wait_for(lock, kServingWait, [&] { return recognition_ != RequestState::serving; });
    if (!streaming_) return Status::StreamStopped;
    if (recognition_ == RequestState::serving) return Status::NotServed;
    recognition_ = RequestState::pending;
    recognitionType_ = type;
    recognitionWanted_ = true;
    if (awaitServed(lock, recognition_, recognitionWithdrawn_, kRecognitionWait)) {
        text = std::move(recognitionText_);
        return Status::Ok;
    }
    if (recognition_ == RequestState::idle) recognitionWanted_ = false;
    return streaming_ ? Status::NotServed : Status::StreamStopped;
}

std::string Session::node() {
    std::lock_guard lock(deviceMutex_);
    return node_;
}

Status Session::readControl(unsigned id, Control& out) {
    std::lock_guard lock(deviceMutex_);
    if (!keep_ || away_) return Status::NotOpen;
    return velcap::readControl(fd_.get(), id, out);
}

std::vector<Control> Session::readControls() {
    std::lock_guard lock(deviceMutex_);
    if (!keep_ || away_) return {};
    return velcap::readControls(fd_.get());
}

Status Session::setControl(unsigned id, int value) {
    {
        std::lock_guard lock(deviceMutex_);
        if (!keep_ || away_) return Status::NotOpen;
        const Status status = writeControl(fd_.get(), id, value);
        if (status != Status::Ok) return status;
    }
    rememberControl(id, value);
    return Status::Ok;
}

void Session::rememberControl(unsigned id, int value) {
    std::string name;
    {
        std::lock_guard lock(deviceMutex_);
        bool known = false;
        for (auto& [which, kept] : controlValues_)
            if (which == id) kept = value, known = true;
        if (!known) controlValues_.emplace_back(id, value);
        if (Control control; profiles_ && velcap::readControl(fd_.get(), id, control) == Status::Ok)
            name = control.name;
    }
    if (!name.empty()) saveToProfile(identity_, name, value);
}

void Session::applyProfile() {
    std::lock_guard lock(deviceMutex_);
    for (const auto& [name, value] : loadProfile(identity_)) {
        const unsigned id = controlId(fd_.get(), name);
        if (id == 0 || writeControl(fd_.get(), id, value) != Status::Ok) {
            logWarning(Category::Device, "profile: %s=%d does not apply to %s\n", name.c_str(), value, node_.c_str());
            continue;
        }
        controlValues_.emplace_back(id, value); // kept for a reconnection too
    }
}

bool Session::waitUntilStopped(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    return served_.wait_for(lock, wait, [&] { return !streaming_; });
}

std::string Session::lastRecognition() const {
    std::lock_guard lock(mutex_);
    return lastRecognition_;
}

bool Session::hasPageOutline(int cutType) const {
    const bool found = cutType == 2 || cutType == 3 ? quadFound_.load() : outlineFound_.load();
    return keep_ && found;
}

} // namespace velcap
