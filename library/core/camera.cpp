// The object interface: each Camera is a session of its own.
#include "velcap/camera.h"

#include <mutex>

#include <opencv2/imgproc.hpp>

#include "../codes/barcode.h"
#include "../files/picture_file.h"
#include "../imaging/page_edge.h"
#include "../imaging/page_quad.h"
#include "../imaging/rotate.h"
#include "../log.h"
#include "../ocr/recognise.h"
#include "../pipeline/capture.h"
#include "../pipeline/scan.h"
#include "session.h"

namespace velcap {

// Hidden, as is everything of the library but its interface.
struct __attribute__((visibility("hidden"))) Camera::Impl {
    Impl() {
        // Nothing of the object interface writes beside the file asked for.
        session.setPdfInMemory(true);
        SessionHooks hooks;
        hooks.gone = [this] { tellAway(true); };
        hooks.back = [this] { tellAway(false); };
        session.setHooks(std::move(hooks));
    }
    void tellAway(bool away) {
        std::lock_guard lock(awayMutex);
        if (awayCallback) awayCallback(away);
    }
    Session session;
    std::mutex awayMutex; // awayCallback: set by the host, called on the stream thread
    std::function<void(bool)> awayCallback;
};

namespace {

// A point of a width x height picture after a quarter turn clockwise.
cv::Point2f turnedClockwise(cv::Point2f p, int height) {
    return {float(height) - p.y, p.x};
}

// The still turned clockwise by quarter turns, the page found on it with it.
void turnStill(Session::Still& still, int quarters) {
    for (int i = 0; i < quarters; ++i) {
        const int height = still.frame.rows;
        cv::Mat turned;
        quarterTurn(still.frame, turned, true);
        still.frame = turned;
        // The corner that was bottom-left is now top-left: the order stays TL, TR, BR, BL.
        Quad quad;
        int outline[8];
        for (int c = 0; c < 4; ++c) {
            const int from = (c + 3) % 4;
            quad[size_t(c)] = turnedClockwise(still.page.quad[size_t(from)], height);
            const cv::Point2f o = turnedClockwise(
                cv::Point2f(float(still.page.outline[2 * from]), float(still.page.outline[2 * from + 1])), height);
            outline[2 * c] = int(std::lround(o.x));
            outline[2 * c + 1] = int(std::lround(o.y));
        }
        still.page.quad = quad;
        std::copy(std::begin(outline), std::end(outline), still.page.outline);
    }
}

} // namespace

bool ocrLanguagesInstalled(const std::string& languages, std::string* why) {
    return ocr::available(languages, why);
}

const char* describe(Status status) {
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::NoDevice:
        return "no such camera";
    case Status::NoSizes:
        return "the camera lists no frame size";
    case Status::BadSize:
        return "not a frame size";
    case Status::OpenFailed:
        return "the camera's node could not be opened";
    case Status::FormatRefused:
        return "the driver refused the stream format";
    case Status::FormatNotSet:
        return "the driver did not take the stream format";
    case Status::FormatUnreadable:
        return "the driver did not tell the stream format";
    case Status::BuffersRefused:
        return "the driver gave no frame buffers";
    case Status::TooFewBuffers:
        return "the driver gave too few frame buffers";
    case Status::BufferQueryFailed:
        return "a frame buffer could not be described";
    case Status::MapFailed:
        return "a frame buffer could not be mapped";
    case Status::QueueFailed:
        return "a frame buffer could not be queued";
    case Status::StreamFailed:
        return "the stream could not be started";
    case Status::ThreadFailed:
        return "the stream thread could not be started";
    case Status::OnStreamThread:
        return "called on the camera's own stream thread";
    case Status::NotOpen:
        return "the camera is not open";
    case Status::StreamStopped:
        return "the stream has stopped";
    case Status::NotServed:
        return "the stream did not serve the request in time";
    case Status::BadPath:
        return "the path is empty or too long";
    case Status::NotWritten:
        return "the file could not be written";
    case Status::NoControl:
        return "the camera has no such control";
    case Status::OutOfRange:
        return "the value is outside the control's range";
    case Status::ControlFailed:
        return "the control could not be read or set";
    case Status::NothingAsked:
        return "the settings ask for no file";
    case Status::NoOcrLanguages:
        return "the OCR languages cannot be loaded";
    case Status::NotReadable:
        return "the picture file cannot be read";
    }
    return "unknown status";
}

Camera::Camera() : impl_(std::make_unique<Impl>()) {}

Camera::~Camera() = default;

Status Camera::open(const Device& device, int width, int height, PixelFormat format) {
    if (device.node.empty()) return Status::NoDevice;
    // The 10-megapixel size is the largest native frame, scaled up when captured.
    const bool interpolate = width == kInterpolatedWidth && height == kInterpolatedHeight;
    if (interpolate) width = 3264, height = 2448;
    return impl_->session.open(device.node, width, height, format, interpolate);
}

void Camera::close() {
    impl_->session.close();
}

bool Camera::isOpen() const {
    return impl_->session.running();
}

int Camera::width() const {
    return impl_->session.width();
}

int Camera::height() const {
    return impl_->session.height();
}

std::string Camera::node() const {
    return impl_->session.node();
}

void Camera::setFrameCallback(std::function<void(const Frame&)> callback) {
    impl_->session.setFrameCallback(std::move(callback));
}

void Camera::setButtonCallback(std::function<void(ButtonKey)> callback) {
    impl_->session.setButtonCallback(std::move(callback));
}

bool Camera::hasButton() const {
    return impl_->session.hasButton();
}

void Camera::setJpegOnly(bool on) {
    impl_->session.setJpegOnly(on);
}

void Camera::setPreviewSize(int width, int height) {
    impl_->session.setPreviewSize(width, height);
}

void Camera::setEnhancedRecognition(bool on) {
    impl_->session.setEnhancedRecognition(on);
}

std::uint64_t Camera::decodedFrames() const {
    return impl_->session.decodedFrames();
}

void Camera::setCaptureSettings(const CaptureSettings& settings) {
    impl_->session.settings().update([&](FrameSettings& s) {
        s.cutType = int(settings.crop);
        s.colorMode = settings.colorMode;
        s.jpegQuality = settings.jpegQuality;
        s.removeBlackEdge = settings.removeBlackEdge ? 1 : 0;
        s.whiten = settings.whitenBackground ? 1 : 0;
        s.rotation = settings.rotation;
        s.fileFormat = settings.fileFormat;
        s.ocrLanguages = settings.ocrLanguages;
        s.pdfA = settings.pdfA;
    });
}

CaptureSettings Camera::captureSettings() const {
    const FrameSettings s = impl_->session.settings().snapshot();
    CaptureSettings out;
    out.crop = Crop(s.cutType);
    out.colorMode = s.colorMode;
    out.jpegQuality = s.jpegQuality;
    out.removeBlackEdge = s.removeBlackEdge == 1;
    out.whitenBackground = s.whiten == 1;
    out.rotation = s.rotation;
    out.fileFormat = s.fileFormat;
    out.ocrLanguages = s.ocrLanguages;
    out.pdfA = s.pdfA;
    return out;
}

namespace {

// A request's crop that the stream does not track (the camera's own settings
// ask for another) finds its page on the still itself: else it would always
// get the whole frame.
void findUntrackedPage(Session::Still& still, Crop crop, int trackedCutType) {
    const int asked = int(crop);
    const auto quad = [](int cutType) { return cutType == 2 || cutType == 3; };
    if (asked == 0 || asked == trackedCutType || (quad(asked) && quad(trackedCutType))) return;
    if (quad(asked)) {
        still.page.quadFound = findPageQuad(still.frame, still.page.quad);
        return;
    }
    PageWorkspace work;
    // Mode 0 finds without drawing into the frame.
    still.page.outlineFound = findPageOutline(still.frame.data, still.frame.cols, still.frame.rows, 0, work);
    if (still.page.outlineFound) std::copy(std::begin(work.corners), std::end(work.corners), still.page.outline);
}

} // namespace

Status Camera::capture(const std::string& path) {
    return capture(path, captureSettings());
}

Status Camera::capture(const std::string& path, const CaptureSettings& settings) {
    if (!plainPath(path, "captureImage")) return Status::BadPath;
    Session::Still still;
    const Status taken = impl_->session.takeStill(path, still);
    if (taken != Status::Ok) return taken;
    if (settings.rotation < 0 || settings.rotation > 3) {
        logWarning(Category::Capture, "captureImage: rotation %d is not 0 to 3; nothing captured for %s\n",
                   settings.rotation, path.c_str());
        return Status::NotWritten;
    }
    turnStill(still, (settings.rotation - still.rotation + 4) % 4);
    findUntrackedPage(still, settings.crop, impl_->session.settings().snapshot().cutType);
    CaptureParams params;
    params.cutType = int(settings.crop);
    params.colorMode = settings.colorMode;
    params.jpegQuality = settings.jpegQuality;
    params.removeBlackEdge = settings.removeBlackEdge;
    params.whiten = settings.whitenBackground;
    params.interpolate = still.interpolate;
    params.ocrLanguages = settings.ocrLanguages;
    params.pdfA = settings.pdfA;
    params.pdfInMemory = true;
    try {
        return captureFrame(path.c_str(), params, still.page, still.frame);
    } catch (const std::exception& e) {
        logError(Category::Capture, "capture: %s is not written: %s\n", path.c_str(), e.what());
        return Status::NotWritten;
    }
}

void Camera::setAwayCallback(std::function<void(bool away)> callback) {
    std::lock_guard lock(impl_->awayMutex);
    impl_->awayCallback = std::move(callback);
}

Status Camera::recognise(int type, std::string& text) {
    return impl_->session.recognise(type, text);
}

Status Camera::scan(const ScanSettings& settings, Scan& out) {
    out = {};
    if (std::string why; !scanAskable(settings, why)) {
        logWarning(Category::Capture, "scan: %s; nothing scanned\n", why.c_str());
        return Status::NothingAsked;
    }
    Session::Still still;
    const Status taken = impl_->session.takeStill("(scan)", still);
    if (taken != Status::Ok) return taken;
    turnStill(still, (4 - still.rotation) % 4); // the page as the camera sees it
    findUntrackedPage(still, Crop::Quad, impl_->session.settings().snapshot().cutType);
    try {
        cv::Mat picture;
        if (still.page.quadFound) picture = straightenedPage(still.frame, still.page.quad);
        out.pageFound = !picture.empty();
        if (out.pageFound) {
            // The page's very edge blends with the desk: a dark line round a scan.
            const int inset = std::max(2, std::min(picture.cols, picture.rows) / 200);
            if (picture.cols > 4 * inset && picture.rows > 4 * inset)
                picture = picture(cv::Rect(inset, inset, picture.cols - 2 * inset, picture.rows - 2 * inset));
        }
        cv::cvtColor(out.pageFound ? picture : still.frame, picture, cv::COLOR_RGB2BGR);
        const bool found = out.pageFound;
        const Status status = scanPicture(picture, settings, out);
        out.pageFound = found;
        return status;
    } catch (const std::exception& e) {
        logError(Category::Capture, "scan: %s\n", e.what());
        out = {};
        return Status::NotWritten;
    }
}

Status Camera::readCodes(const CodeOptions& options, std::vector<Code>& codes) {
    codes.clear();
    Session::Still still;
    const Status taken = impl_->session.takeStill("(codes)", still);
    if (taken != Status::Ok) return taken;
    try {
        cv::Mat grey;
        cv::cvtColor(still.frame, grey, cv::COLOR_RGB2GRAY);
        codes = velcap::readCodes(grey, options);
    } catch (const std::exception& e) {
        logError(Category::Codes, "readCodes: %s\n", e.what());
        codes.clear();
    }
    return Status::Ok;
}

bool Camera::hasPageOutline() const {
    return impl_->session.hasPageOutline(impl_->session.settings().snapshot().cutType);
}

std::vector<Control> Camera::controls() const {
    return impl_->session.readControls();
}

Status Camera::control(unsigned id, Control& out) const {
    return impl_->session.readControl(id, out);
}

Status Camera::setControl(unsigned id, int value) {
    return impl_->session.setControl(id, value);
}

void Camera::setAutoReconnect(bool on) {
    impl_->session.setAutoReconnect(on);
}

void Camera::setDeviceProfiles(bool on) {
    impl_->session.setProfiles(on);
}

bool Camera::isAway() const {
    return impl_->session.away();
}

void Camera::setAutoCapture(AutoCapture settings) {
    impl_->session.autoCapture().configure(std::move(settings));
}

} // namespace velcap
