// Opening a camera, streaming through memory-mapped buffers, and closing it.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <system_error>
#include <unistd.h>

#include "../imaging/page_quad.h"
#include "../log.h"
#include "../state.h"
#include "../viewport/viewport.h"
#include "device.h"
#include "unique_fd.h"

using velcap::session;

namespace {

constexpr int kNativeWidth = 3264;
constexpr int kNativeHeight = 2448;
constexpr int kMappingTableSize = 5; // entries of video_buffer_ptr

int failWithErrno(const char* request, int code) {
    int error = errno;
    velcap::say("ioctl(%s) failed %d(%s)", request, error, std::strerror(error));
    return code;
}

// Unmaps every buffer mapped by the last open and reports the entries that
// were not mapped as failed unmappings, as unmapping a stale entry would.
void unmapBuffers(bool report) {
    for (int i = 0; i < kMappingTableSize; ++i) {
        size_t& length = session().mappedLength[i];
        bool ok = length != 0 && munmap(video_buffer_ptr[i], length) == 0;
        length = 0;
        video_buffer_ptr[i] = nullptr;
        if (!ok && report) velcap::say("munmap fail!!!");
        if (report) Sleep(10); // the driver releases each buffer before the next goes
    }
}

} // namespace

namespace velcap {

namespace {
thread_local bool isStreamThread = false;
} // namespace

bool onStreamThread() {
    return isStreamThread;
}

void markStreamThread() {
    isStreamThread = true;
}

void closeBeforeReopening(const char* leftoverLine, const char* streamingLine) {
    if (cam_fd == -1) return;
    if (!bKeep) {
        closeLeftoverDescriptor();
        velcap::sayLine(leftoverLine);
    } else {
        closeCamera();
        velcap::sayLine(streamingLine);
    }
}

void closeLeftoverDescriptor() {
    // A stream thread that was told to stop from its own callback is gone or going.
    if (session().thread.joinable() && !velcap::onStreamThread()) session().thread.join();
    unmapBuffers(false);
    ::close(cam_fd);
    cam_fd = -1;
}

size_t rawFrameBytes() {
    // A compressed frame of a tiny size can be larger than its decoded
    // pixels: the buffer holds whatever a driver's buffer can carry.
    size_t bytes = size_t(std::max(nSize, 0));
    for (size_t length : session().mappedLength) bytes = std::max(bytes, length);
    return bytes;
}

bool waitForFrame() {
    // A bounded wait, so that closeCamera never waits on a camera that stopped
    // delivering frames.
    pollfd descriptor{cam_fd, POLLIN, 0};
    while (bKeep) {
        int ready = poll(&descriptor, 1, 100);
        if (ready != 0) return bKeep; // a frame, or an error that grabImage reports
    }
    return false;
}

} // namespace velcap

void setGrabSize(int width, int height) {
    nWidth = width;
    nHeight = height;
    // A size whose frame bytes do not fit an int leaves no frame buffer at all.
    // (In 64 bits the pixels of two ints fit, three bytes of each may not.)
    const int64_t pixels = int64_t(width) * int64_t(height);
    nSize = width > 0 && height > 0 && pixels <= INT32_MAX / 3 ? int(pixels * 3) : 0;
}

namespace {

// What a failed open made is released in reverse order: the mappings and the
// decoder here, the descriptor by its UniqueFD. A successful open commits.
class OpenInProgress {
public:
    OpenInProgress() { av_decode_init(); }
    ~OpenInProgress() {
        if (committed_) return;
        unmapBuffers(false);
        av_decode_deinit();
    }
    OpenInProgress(const OpenInProgress&) = delete;
    OpenInProgress& operator=(const OpenInProgress&) = delete;
    void commit() { committed_ = true; }

private:
    bool committed_ = false;
};

// A process that exits while a camera streams stops the stream thread first:
// run before the statics of the library and of OpenCV are destroyed.
void stopStreamAtExit() {
    bKeep = false;
    std::thread& thread = session().thread;
    if (thread.joinable() && !velcap::onStreamThread()) thread.join();
}

} // namespace

extern "C" int openCamera(int camera, int width, int height) {
    if (velcap::onStreamThread()) {
        // The stream that calls would lose its own camera under it.
        velcap::say("openCamera: called on the stream thread; refused\n");
        return -15;
    }
    if (deviceCount < 1) deviceCount = getDeviceCount();
    if (deviceCount < 1 || camera < 0 || camera >= deviceCount) return -1;
    if (mjpegWidthList.empty() && yuvWidthList.empty()) {
        getCameraResolutionCount(camera);
        if (mjpegWidthList.empty() && yuvWidthList.empty()) return -2;
    }

    isInsert1000M = false;
    if (width == kInterpolatedWidth && height == kInterpolatedHeight) {
        isInsert1000M = true;
        width = kNativeWidth;
        height = kNativeHeight;
    }
    setGrabSize(width, height);
    if (nSize == 0) {
        velcap::say("openCamera: %dx%d is not a frame size\n", width, height);
        return -16;
    }

    if (cam_fd != -1) {
        velcap::closeBeforeReopening("---------openCamera > closeCamera AA---------",
                                     "---------openCamera > closeCamera BB---------");
        velcap::sayLine("---------openCamera closeCamera!---------");
    }

    OpenInProgress opening;
    velcap::UniqueFD descriptor(::open(devices[camera].c_str(), O_RDWR | O_CLOEXEC));
    if (!descriptor.isValid()) {
        velcap::say("打开相机节点失败");
        return -3;
    }
    cam_fd = descriptor.get();

    v4l2_capability capability{};
    ioctl(cam_fd, VIDIOC_QUERYCAP, &capability); // a failed query leaves the fields empty
    velcap::say("Driver Name:%s Card Name:%s Bus info:%s Driver Version:%u.%u.%u", capability.driver, capability.card,
                capability.bus_info, (capability.version >> 16) & 0xff, (capability.version >> 8) & 0xff,
                capability.version & 0xff);

    velcap::say("Support format:");
    for (int index = 0;; ++index) {
        v4l2_fmtdesc description{};
        description.index = static_cast<unsigned>(index);
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        int result = ioctl(cam_fd, VIDIOC_ENUM_FMT, &description);
        description.description[sizeof(description.description) - 1] = 0;
        velcap::say("index %d, format %s", index, description.description);
        if (result != 0) break;
    }

    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ioctl(cam_fd, VIDIOC_G_PARM, &parameters);
    velcap::say("befor:framerate: numerator = %d,denominator = %d", parameters.parm.capture.timeperframe.numerator,
                parameters.parm.capture.timeperframe.denominator);

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<unsigned>(nWidth);
    format.fmt.pix.height = static_cast<unsigned>(nHeight);
    format.fmt.pix.pixelformat = CameraFormat == 0 ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
    // Every failure below leaves through the same unwinding: nothing stays open.
    auto fail = [](int code) {
        cam_fd = -1;
        return code;
    };
    if (ioctl(cam_fd, VIDIOC_TRY_FMT, &format) != 0) return fail(failWithErrno("VIDIOC_TRY_FMT", -5));
    if (ioctl(cam_fd, VIDIOC_S_FMT, &format) != 0) return fail(failWithErrno("VIDIOC_S_FMT", -6));
    if (ioctl(cam_fd, VIDIOC_G_FMT, &format) != 0) {
        velcap::say("set format failed!");
        return fail(-7);
    }

    velcap::say("fmt.type:\t\t%d", format.type);
    const unsigned fourcc = format.fmt.pix.pixelformat;
    std::snprintf(pix_format, sizeof(pix_format), "%c%c%c%c", fourcc & 0xff, (fourcc >> 8) & 0xff,
                  (fourcc >> 16) & 0xff, (fourcc >> 24) & 0xff);
    velcap::say("pix.pixelformat:\t%s", pix_format);
    velcap::say("pix.width:\t\t%d", format.fmt.pix.width);
    velcap::say("pix.height:\t\t%d", format.fmt.pix.height);
    velcap::say("pix.field:\t\t%d", format.fmt.pix.field);

    // A driver may adjust the size. The frame images and the raw-frame buffer
    // follow what it delivers, so that every frame fits them exactly.
    if (format.fmt.pix.width != static_cast<unsigned>(nWidth) ||
        format.fmt.pix.height != static_cast<unsigned>(nHeight)) {
        velcap::say("openCamera: the driver delivers %ux%u in place of %dx%d\n", format.fmt.pix.width,
                    format.fmt.pix.height, nWidth, nHeight);
        setGrabSize(static_cast<int>(format.fmt.pix.width), static_cast<int>(format.fmt.pix.height));
        isInsert1000M = false;
        if (nSize == 0) {
            velcap::say("openCamera: the driver's size %ux%u is not a frame size\n", format.fmt.pix.width,
                        format.fmt.pix.height);
            return fail(-16);
        }
    }

    v4l2_requestbuffers request{};
    request.count = static_cast<unsigned>(buffer_count);
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (ioctl(cam_fd, VIDIOC_REQBUFS, &request) != 0) return fail(failWithErrno("VIDIOC_REQBUFS", -8));
    velcap::say("req.count: %d", request.count);
    if (request.count < static_cast<unsigned>(buffer_count)) {
        velcap::say("request buffer failed");
        return fail(-9);
    }
    // The mapping table has room for the buffers asked for; buffers granted
    // beyond them are never queued, so the driver never fills them.
    if (request.count > static_cast<unsigned>(kMappingTableSize))
        velcap::say("openCamera: the driver granted %u buffers; using %d\n", request.count, kMappingTableSize);
    const unsigned used = std::min<unsigned>(request.count, kMappingTableSize);

    for (unsigned index = 0; index < used; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (ioctl(cam_fd, VIDIOC_QUERYBUF, &buffer) != 0) return fail(failWithErrno("VIDIOC_QUERYBUF", -10));
        velcap::say("buffer.length: %d", buffer.length);
        velcap::say("buffer.m.offset: %d", buffer.m.offset);
        void* start = mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, cam_fd, buffer.m.offset);
        if (start == MAP_FAILED) {
            int error = errno;
            velcap::say("MAP_FAILED!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
            velcap::say("mmap() failed %d(%s)", error, std::strerror(error));
            return fail(-11);
        }
        video_buffer_ptr[index] = start;
        session().mappedLength[index] = buffer.length;
        if (ioctl(cam_fd, VIDIOC_QBUF, &buffer) != 0) return fail(failWithErrno("VIDIOC_QBUF", -12));
    }

    // create() keeps a buffer of the right size and replaces one of another size.
    // Black until a frame is decoded: never the heap's old bytes.
    srcimage = cv::Mat::zeros(nHeight, nWidth, CV_8UC3);
    roimage = cv::Mat::zeros(nWidth, nHeight, CV_8UC3);

    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (ioctl(cam_fd, VIDIOC_STREAMON, &type) != 0) {
        int error = errno;
        velcap::say("ioctl(VIDIOC_STREAMON) failed %d(%s)\n", error, std::strerror(error));
        return fail(-13);
    }

    velcap::pageOutlineFound = false;
    velcap::pageQuad().found = false;
    velcap::resetAutoCapture();
    bKeep = true;
    velcap::setStreaming(true);
    try {
        session().thread = std::thread(VideoStreamPro, nullptr);
    } catch (const std::system_error& e) {
        velcap::setStreaming(false);
        bKeep = false;
        velcap::say("create thread error: %s\n", e.what());
        ioctl(cam_fd, VIDIOC_STREAMOFF, &type);
        srcimage.release();
        roimage.release();
        return fail(-14);
    }
    static const bool stopsAtExit = std::atexit(stopStreamAtExit) == 0;
    (void)stopsAtExit;
    opening.commit();
    descriptor.release(); // cam_fd keeps it until closeCamera
    velcap::sayLine("velcap->openCamera OK");
    return 0;
}

extern "C" int closeCamera() {
    bKeep = false;
    std::thread& thread = session().thread;
    if (thread.joinable()) {
        if (velcap::onStreamThread()) {
            // A frame callback cannot wait for its own thread; the stream stops
            // after this frame and the next closeCamera releases the camera.
            velcap::sayLine("closeCamera: called on the stream thread; the camera is released by the next close");
            return 0;
        }
        thread.join();
    }

    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ioctl(cam_fd, VIDIOC_STREAMOFF, &type);
    unmapBuffers(true);
    Sleep(100); // settle time for the driver after the stream stops, before the descriptor goes
    if (cam_fd != -1) ::close(cam_fd);
    cam_fd = -1;
    Sleep(100); // the camera resets its streaming interface before anyone opens it again

    if (!srcimage.empty()) {
        srcimage.release();
        velcap::say(">>>>>>>>>>>>> closeCamera 01!");
    }
    if (!roimage.empty()) {
        roimage.release();
        velcap::say(">>>>>>>>>>>>> closeCamera 02!");
    }
    if (!zoomimage.empty()) {
        zoomimage.release();
        velcap::say(">>>>>>>>>>>>> closeCamera 03!");
    }
    if (velcap::releaseWebBuffers()) velcap::say(">>>>>>>>>>>>> closeCamera 04!");
    av_decode_deinit();
    return 0;
}

int grabImage(unsigned char* destination, int* length) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (ioctl(cam_fd, VIDIOC_DQBUF, &buffer) != 0) return failWithErrno("VIDIOC_DQBUF", -1);
    if (buffer.index >= static_cast<unsigned>(buffer_count) || buffer.index >= unsigned(kMappingTableSize) ||
        session().mappedLength[buffer.index] == 0) {
        velcap::say("invalid buffer index: %d", buffer.index);
        return -100;
    }

    // Copy what the driver filled, never more than it mapped nor than the
    // destination (the raw-frame buffer) holds.
    size_t filled = std::min<size_t>(buffer.bytesused, session().mappedLength[buffer.index]);
    if (buffer.flags & V4L2_BUF_FLAG_ERROR) {
        // The driver lost part of this frame (a USB transfer error): showing it would show garbage.
        velcap::say("grabImage: frame %u came incomplete (the driver's error flag); skipped\n", buffer.sequence);
        filled = 0;
    } else if (filled > velcap::rawFrameBytes()) {
        velcap::say("grabImage: a frame of %zu bytes does not fit the %zu-byte frame buffer; skipped\n", filled,
                    velcap::rawFrameBytes());
        filled = 0;
    } else {
        std::memcpy(destination, video_buffer_ptr[buffer.index], filled);
    }
    *length = static_cast<int>(filled);

    if (ioctl(cam_fd, VIDIOC_QBUF, &buffer) != 0) return failWithErrno("VIDIOC_QBUF", -1);
    return 0;
}
