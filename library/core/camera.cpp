// The object interface: each Camera is a session of its own.
#include "velcap/camera.h"

#include "../output/capture.h"
#include "session.h"

namespace velcap {

struct Camera::Impl {
    Session session;
};

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
    return out;
}

Status Camera::capture(const std::string& path) {
    return impl_->session.capture(path);
}

Status Camera::recognise(int type, std::string& text) {
    return impl_->session.recognise(type, text);
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
