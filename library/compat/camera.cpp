// The flat interface's camera over one core session: opening and closing it,
// its requests, and the library-wide variables that mirror it.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "../log.h"
#include "flat.h"
#include "state.h"
#include "viewport.h"

namespace {

std::mutex& recognitionMirror() {
    static std::mutex m;
    return m;
}

velcap::FrameSettings globalSettings() {
    velcap::FrameSettings s;
    s.cutType = cutType;
    s.colorMode = colorMode;
    s.jpegQuality = jpgQuality;
    s.removeBlackEdge = isDelBlackedge;
    s.whiten = isDelBcakColor;
    s.rotation = RotateAngle;
    s.fileFormat = fileFormat;
    s.ocrLanguages = velcap::flatOcrLanguages();
    s.pdfA = velcap::flatPdfA();
    return s;
}

void forgetMappings() {
    for (int i = 0; i < velcap::Session::kBufferCount; ++i) video_buffer_ptr[i] = nullptr;
}

velcap::Session* makeFlatSession() {
    auto* session = new velcap::Session;
    session->settings().readFrom(globalSettings);
    velcap::SessionHooks hooks;
    // The viewport's quarter turns drop the frames made before them.
    hooks.skipFrame = [] {
        if (RotateFlag <= 0) return false;
        --RotateFlag;
        velcap::logLine(velcap::LogLevel::Debug, velcap::Category::Interface, "RotateFlag--");
        return true;
    };
    // The web preview draws whole frames, and a quarter turn drops the next.
    hooks.wantsFullFrame = [] { return pGetVideoWebStream.load() != nullptr || RotateFlag > 0; };
    hooks.delivered = [](const cv::Mat& frame) {
        if (VelcapWebFrameCallback web = pGetVideoWebStream.load()) velcap::embeddedPreview(frame, web);
    };
    hooks.outlineFound = [](const velcap::PageWorkspace& work) {
        std::memcpy(CutPoint, work.corners, sizeof(work.corners));
        velcap::pageOutlineFound = true;
    };
    hooks.recognised = [](const std::string& text) {
        std::lock_guard lock(recognitionMirror());
        BarQrContent = text;
    };
    // A replugged camera has a descriptor and buffers of its own.
    hooks.gone = [] {
        cam_fd = -1;
        forgetMappings();
    };
    // What the host reads of the open camera, set before its stream thread runs.
    hooks.opened = [session] {
        setGrabSize(session->width(), session->height());
        std::snprintf(pix_format, sizeof(pix_format), "%s", session->pixelFormat());
        for (int i = 0; i < velcap::Session::kBufferCount; ++i) video_buffer_ptr[i] = session->mappedBuffer(i);
        srcimage = session->image(); // the same pixels, which the stream thread writes
        roimage = session->turned();
        cam_fd = session->fd();
        bKeep = true;
    };
    hooks.back = [session] {
        for (int i = 0; i < velcap::Session::kBufferCount; ++i) video_buffer_ptr[i] = session->mappedBuffer(i);
        cam_fd = session->fd();
    };
    session->setHooks(std::move(hooks));
    session->setFrameCallback([](const velcap::Frame& frame) {
        if (VelcapFrameCallback callback = pGetVideoStream.load())
            callback(const_cast<unsigned char*>(frame.rgb), frame.width, frame.height);
    });
    return session;
}

// A process that exits while a camera streams stops the stream thread first:
// run before the statics of the library and of OpenCV are destroyed.
void stopStreamAtExit() {
    bKeep = false;
    velcap::Session& session = velcap::flatSession();
    if (!session.onStreamThread()) session.close();
}

int openResult(velcap::Status status) {
    using velcap::Status;
    switch (status) {
    case Status::Ok:
        return 0;
    case Status::OpenFailed:
        return -3;
    case Status::FormatRefused:
        return -5;
    case Status::FormatNotSet:
        return -6;
    case Status::FormatUnreadable:
        return -7;
    case Status::BuffersRefused:
        return -8;
    case Status::TooFewBuffers:
        return -9;
    case Status::BufferQueryFailed:
        return -10;
    case Status::MapFailed:
        return -11;
    case Status::QueueFailed:
        return -12;
    case Status::StreamFailed:
        return -13;
    case Status::ThreadFailed:
        return -14;
    case Status::OnStreamThread:
        return -15;
    case Status::BadSize:
        return -16;
    default:
        return -3;
    }
}

} // namespace

namespace velcap {

Session& flatSession() {
    static Session* session = makeFlatSession();
    return *session;
}

void closeBeforeReopening(const char* leftoverLine, const char* streamingLine) {
    if (cam_fd == -1) return;
    if (!bKeep) {
        flatSession().releaseStopped();
        forgetMappings();
        cam_fd = -1;
        logLine(LogLevel::Warning, Category::Interface, leftoverLine);
    } else {
        closeCamera();
        logLine(LogLevel::Warning, Category::Interface, streamingLine);
    }
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

extern "C" int openCamera(int camera, int width, int height) {
    velcap::Session& session = velcap::flatSession();
    if (session.onStreamThread()) {
        // The stream that calls would lose its own camera under it.
        velcap::logWarning(velcap::Category::Interface, "openCamera: called on the stream thread; refused\n");
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
        width = 3264;
        height = 2448;
    }
    setGrabSize(width, height);
    if (nSize == 0) {
        velcap::logWarning(velcap::Category::Interface, "openCamera: %dx%d is not a frame size\n", width, height);
        return -16;
    }
    if (cam_fd != -1) {
        velcap::closeBeforeReopening("---------openCamera > closeCamera AA---------",
                                     "---------openCamera > closeCamera BB---------");
        velcap::logLine(velcap::LogLevel::Debug, velcap::Category::Interface,
                        "---------openCamera closeCamera!---------");
    }

    velcap::pageOutlineFound = false;
    av_decode_init();
    const velcap::Status status =
        session.open(devices[camera], width, height,
                     CameraFormat == 0 ? velcap::PixelFormat::Mjpeg : velcap::PixelFormat::Yuyv, isInsert1000M);
    if (status != velcap::Status::Ok) {
        av_decode_deinit();
        cam_fd = -1;
        return openResult(status);
    }
    if (session.width() != width || session.height() != height) isInsert1000M = false;
    static const bool stopsAtExit = std::atexit(stopStreamAtExit) == 0;
    (void)stopsAtExit;
    velcap::logLine(velcap::LogLevel::Info, velcap::Category::Interface, "velcap->openCamera OK");
    return 0;
}

extern "C" int closeCamera() {
    bKeep = false;
    velcap::Session& session = velcap::flatSession();
    if (!session.close(true)) {
        // A frame callback cannot wait for its own thread; the stream stops
        // after this frame and the next closeCamera releases the camera.
        velcap::logLine(velcap::LogLevel::Warning, velcap::Category::Interface,
                        "closeCamera: called on the stream thread; the camera is released by the next close");
        return 0;
    }
    cam_fd = -1;
    forgetMappings();
    if (!srcimage.empty()) {
        srcimage.release();
        velcap::logDebug(velcap::Category::Interface, ">>>>>>>>>>>>> closeCamera 01!");
    }
    if (!roimage.empty()) {
        roimage.release();
        velcap::logDebug(velcap::Category::Interface, ">>>>>>>>>>>>> closeCamera 02!");
    }
    if (!zoomimage.empty()) {
        zoomimage.release();
        velcap::logDebug(velcap::Category::Interface, ">>>>>>>>>>>>> closeCamera 03!");
    }
    if (velcap::releaseWebBuffers()) velcap::logDebug(velcap::Category::Interface, ">>>>>>>>>>>>> closeCamera 04!");
    av_decode_deinit();
    return 0;
}

int grabImage(unsigned char* destination, int* length) {
    switch (velcap::flatSession().grab(destination, length)) {
    case velcap::Status::Ok:
        return 0;
    case velcap::Status::StreamStopped:
        return -1;
    default:
        return -100; // a buffer index the driver should not give
    }
}

void VideoStreamPro(void*) {
    velcap::flatSession().runStream();
}

extern "C" int captureImage(const char* path) {
    if (!bKeep) return -1;
    velcap::Session& session = velcap::flatSession();
    // One caller at a time fills imgSavePath; the session serves callers in turn anyway.
    static std::mutex callers;
    std::unique_lock caller(callers, std::defer_lock);
    if (!session.onStreamThread()) caller.lock();
    const size_t length = path ? std::strlen(path) : 0;
    const bool fits = length > 0 && length < sizeof(imgSavePath);
    if (fits && !session.onStreamThread()) {
        std::memset(imgSavePath, 0, sizeof(imgSavePath));
        std::memcpy(imgSavePath, path, length);
        isShootPhoto = true;
    }
    const velcap::Status status = session.capture(path ? path : "");
    isShootPhoto = false;
    switch (status) {
    case velcap::Status::Ok:
        return 0;
    case velcap::Status::NotOpen:
        return -1;
    case velcap::Status::StreamStopped:
        return -3;
    case velcap::Status::NotWritten:
        return -4;
    case velcap::Status::BadPath:
        return -5;
    case velcap::Status::OnStreamThread:
        return -6;
    default:
        return -2;
    }
}

extern "C" const char* RecogBarQrCode(int type) {
    // Each caller's thread keeps its own answer until its next call.
    thread_local std::string answer;
    if (type == -99) {
        std::lock_guard lock(recognitionMirror());
        answer = BarQrContent;
        return answer.c_str();
    }
    answer.clear();
    if (!bKeep) return answer.c_str();
    IsRecogBarQr = type;
    velcap::flatSession().recognise(type, answer);
    IsRecogBarQr = -99;
    return answer.c_str();
}

extern "C" void SetAutoReconnect(int on) {
    velcap::flatSession().setAutoReconnect(on == 1);
}

extern "C" void SetDeviceProfiles(int on) {
    velcap::flatSession().setProfiles(on == 1);
}

extern "C" int HasPageOutline() {
    return bKeep && velcap::flatSession().hasPageOutline(cutType) ? 1 : 0;
}

namespace {

velcap::AutoCapture& flatAutoCapture() {
    static velcap::AutoCapture settings;
    return settings;
}
std::mutex& autoCaptureMutex() {
    static std::mutex m;
    return m;
}

template <typename Change>
void changeAutoCapture(Change&& change) {
    std::lock_guard lock(autoCaptureMutex());
    change(flatAutoCapture());
    velcap::flatSession().autoCapture().configure(flatAutoCapture());
}

} // namespace

extern "C" void SetAutoCapture(int on) {
    changeAutoCapture([&](velcap::AutoCapture& a) { a.on = on == 1; });
}

extern "C" void SetAutoCaptureFolder(const char* folder) {
    changeAutoCapture([&](velcap::AutoCapture& a) { a.folder = folder ? folder : ""; });
}

extern "C" void SetAutoCaptureCallback(VelcapAutoCaptureCallback callback) {
    changeAutoCapture([&](velcap::AutoCapture& a) {
        a.captured = nullptr;
        if (callback) a.captured = [callback](const std::string& path) { callback(path.c_str()); };
    });
}

extern "C" void SetAutoCaptureFailureCallback(VelcapAutoCaptureFailureCallback callback) {
    changeAutoCapture([&](velcap::AutoCapture& a) {
        a.failed = nullptr;
        if (callback)
            a.failed = [callback](const std::string& path, const std::string& why) {
                callback(path.c_str(), why.c_str());
            };
    });
}

extern "C" void SetButtonCallback(VelcapButtonCallback callback) {
    if (!callback) return velcap::flatSession().setButtonCallback(nullptr);
    velcap::flatSession().setButtonCallback([callback](velcap::ButtonKey key) { callback(int(key)); });
}

extern "C" int CameraHasButton() {
    return velcap::flatSession().hasButton() ? 1 : 0;
}

extern "C" void SetDeviceCallback(VelcapDeviceCallback callback) {
    if (!callback) return velcap::setDeviceCallback(nullptr);
    velcap::setDeviceCallback(
        [callback](const velcap::Device& device, bool added) { callback(added ? 1 : 0, device.node.c_str()); });
}
