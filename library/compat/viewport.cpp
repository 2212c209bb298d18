// The embedded preview's viewport: zoom, fit, pan and quarter turns, in the
// geometry variables that the stream thread renders by.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "../log.h"
#include "../viewport/layout.h"
#include "../viewport/render.h"
#include "flat.h"
#include "state.h"
#include "viewport.h"

namespace {

// The frame as the preview shows it: turned a quarter, its sides swap.
void frameSize(int& width, int& height) {
    const int angle = RotateAngle;
    width = nWidth;
    height = nHeight;
    if (angle == 1 || angle == 3) std::swap(width, height);
}

bool cameraOpen() {
    return cam_fd >= 0 && nWidth > 0 && nHeight > 0;
}

// The specified variables as one layout, and back. The caller holds viewport().mutex.
velcap::PreviewLayout loadLayout() {
    velcap::PreviewLayout l;
    l.formWidth = FormWidth;
    l.formHeight = FormHeight;
    l.zoomWidth = ZoomWidth;
    l.zoomHeight = ZoomHeight;
    l.showWidth = ShowWidth;
    l.showHeight = ShowHeight;
    l.zoomStartX = ZoomStartX;
    l.zoomStartY = ZoomStartY;
    l.formStartX = FormStartX;
    l.formStartY = FormStartY;
    l.offsetX = VideoOffsetX;
    l.offsetY = VideoOffsetY;
    l.zoom = pZoomScale;
    l.best = pBestScale;
    return l;
}

void storeLayout(const velcap::PreviewLayout& l) {
    FormWidth = l.formWidth;
    FormHeight = l.formHeight;
    ZoomWidth = l.zoomWidth;
    ZoomHeight = l.zoomHeight;
    ShowWidth = l.showWidth;
    ShowHeight = l.showHeight;
    ZoomStartX = l.zoomStartX;
    ZoomStartY = l.zoomStartY;
    FormStartX = l.formStartX;
    FormStartY = l.formStartY;
    VideoOffsetX = l.offsetX;
    VideoOffsetY = l.offsetY;
    pZoomScale = l.zoom;
    pBestScale = l.best;
}

// Changes the layout by operation(layout, frame width, frame height).
template <typename Change>
void changeLayout(Change&& change) {
    int w, h;
    frameSize(w, h);
    velcap::PreviewLayout layout = loadLayout();
    change(layout, w, h);
    storeLayout(layout);
}

template <typename Fn>
int withOpenCamera(Fn&& operation) {
    std::lock_guard<std::mutex> lock(velcap::viewport().mutex);
    if (!cameraOpen()) return -1;
    operation();
    return 0;
}

void suitableSize(int formW, int formH) {
    changeLayout([&](velcap::PreviewLayout& l, int w, int h) {
        l.fit(formW, formH, w, h);
        velcap::viewport().basisWidth = w;
        velcap::viewport().basisHeight = h;
    });
}

void turn(int step) {
    RotateFlag = 2;
    RotateAngle = ((RotateAngle + step) % 4 + 4) % 4;
    suitableSize(FormWidth, FormHeight);
    changeLayout([](velcap::PreviewLayout& l, int, int) { l.centre(); });
}

// The zoom set by change(zoom, best), the frame zoomed and centred.
template <typename Zoom>
int zoomed(Zoom&& zoom) {
    return withOpenCamera([&] {
        changeLayout([&](velcap::PreviewLayout& l, int w, int h) {
            l.zoom = zoom(l.zoom, l.best);
            l.zoomFrame(w, h);
            l.centre();
        });
    });
}

} // namespace

namespace velcap {

ViewGeometry currentGeometry() {
    return loadLayout().view();
}

void refitFor(cv::Size frame) {
    Viewport& v = viewport();
    if (frame.width == v.basisWidth && frame.height == v.basisHeight) return;
    if (FormWidth <= 0 || FormHeight <= 0) return;
    int w, h;
    frameSize(w, h);
    // Only a geometry that the delivered frame can use; another frame size is a frame of the past.
    if (frame.width != w || frame.height != h) return;
    suitableSize(FormWidth, FormHeight);
}

namespace {

// Whether a stream thread may be inside a web frame callback.
bool streamThreadRuns() {
    return velcap::flatSession().running();
}

} // namespace

bool releaseWebBuffers() {
    Viewport& v = viewport();
    std::lock_guard<std::mutex> lock(v.mutex);
    for (unsigned char* old : v.retired) std::free(old);
    v.retired.clear();
    v.bufferBytes = 0;
    if (!WEB_BUF) return false;
    std::free(WEB_BUF);
    WEB_BUF = nullptr;
    return true;
}

} // namespace velcap

void FuncCalculateShowWH() {
    std::lock_guard<std::mutex> lock(velcap::viewport().mutex);
    changeLayout([](velcap::PreviewLayout& l, int w, int h) { l.zoomFrame(w, h); });
}

void FuncSuitableSize(int formWidth, int formHeight) {
    if (formWidth <= 0 || formHeight <= 0) {
        velcap::logWarning(velcap::Category::Preview, "FuncSuitableSize: the form size %dx%d is refused\n", formWidth,
                           formHeight);
        return;
    }
    std::lock_guard<std::mutex> lock(velcap::viewport().mutex);
    suitableSize(formWidth, formHeight);
}

void FuncDisplayCenter(int, int) {}

void SetWebFormSize(int width, int height) {
    if (width <= 0 || height <= 0) {
        velcap::logWarning(velcap::Category::Preview, "SetWebFormSize: the form size %dx%d is refused\n", width,
                           height);
        return;
    }
    velcap::Viewport& v = velcap::viewport();
    std::lock_guard<std::mutex> lock(v.mutex);
    const size_t bytes = size_t(width) * size_t(height) * 3;
    if (!WEB_BUF || v.bufferBytes < bytes) {
        auto* buffer = static_cast<unsigned char*>(std::malloc(bytes));
        if (!buffer) {
            velcap::logError(velcap::Category::Preview, "SetWebFormSize: no memory for a %dx%d form\n", width, height);
            return;
        }
        // A web frame callback may still read the old buffer: the stream
        // thread frees it after that callback. Without a stream, nothing does.
        if (WEB_BUF && velcap::streamThreadRuns())
            v.retired.push_back(WEB_BUF);
        else
            std::free(WEB_BUF);
        WEB_BUF = buffer;
        v.bufferBytes = bytes;
    }
    FormWidth = width;
    FormHeight = height;
    suitableSize(width, height);
}

int Web_SetMoveOffet(int dx, int dy) {
    return withOpenCamera([&] { changeLayout([&](velcap::PreviewLayout& l, int, int) { l.pan(dx, dy); }); });
}

int Web_ZoomOut() {
    return zoomed([](double zoom, double best) { return std::max(zoom - 4, best); });
}

int Web_ZoomIn() {
    return zoomed([](double zoom, double) { return std::min(zoom + 4, 600.0); });
}

int Web_TrueSize() {
    return zoomed([](double, double) { return 100.0; });
}

int Web_BestSize() {
    return zoomed([](double, double best) { return best; });
}

int Web_RotateL() {
    return withOpenCamera([] { turn(-1); });
}

int Web_RotateR() {
    return withOpenCamera([] { turn(1); });
}

namespace {

bool renderable(const cv::Mat& frame, const char* caller) {
    if (frame.empty()) return false;
    if (frame.type() == CV_8UC3) return true;
    velcap::logWarning(velcap::Category::Preview, "%s: the frame is not an 8-bit R, G, B image (type %d)\n", caller,
                       frame.type());
    return false;
}

void renderInto(const cv::Mat& frame, const velcap::ViewGeometry& view, unsigned char* output) {
    if (view.showWidth <= 0 || view.showHeight <= 0) return;
    cv::Mat picture(view.showHeight, view.showWidth, CV_8UC3, output);
    velcap::scaleRegion(frame, view, picture);
}

velcap::ViewGeometry lockedGeometry() {
    std::lock_guard<std::mutex> lock(velcap::viewport().mutex);
    return velcap::currentGeometry();
}

} // namespace

namespace velcap {

void embeddedPreview(const cv::Mat& frame, VelcapWebFrameCallback callback) {
    Viewport& v = viewport();
    ViewGeometry view;
    unsigned char* buffer = nullptr;
    {
        std::lock_guard<std::mutex> lock(v.mutex);
        if (!frame.empty()) refitFor(frame.size());
        view = currentGeometry();
        buffer = WEB_BUF;
        const size_t bytes = size_t(std::max(view.showWidth, 0)) * size_t(std::max(view.showHeight, 0)) * 3;
        if (buffer && bytes <= v.bufferBytes && renderable(frame, "VideoZoomToWeb")) renderInto(frame, view, buffer);
    }
    if (buffer) callback(buffer, view.showWidth, view.showHeight, view.formStartX, view.formStartY);
    {
        // Buffers that a larger form replaced were kept for the callback just
        // made; no one reads them any more.
        std::lock_guard<std::mutex> lock(v.mutex);
        for (unsigned char* old : v.retired) std::free(old);
        v.retired.clear();
    }
    if (!zoomimage.empty()) {
        if (renderable(frame, "VideoZoomToWebEx")) velcap::scaleRegion(frame, view, zoomimage);
        callback(zoomimage.data, view.showWidth, view.showHeight, view.formStartX, view.formStartY);
    }
}

} // namespace velcap

void VideoZoomToWeb(cv::Mat frame, unsigned char* output) {
    if (!output || !renderable(frame, "VideoZoomToWeb")) return;
    renderInto(frame, lockedGeometry(), output);
}

void VideoZoomToWebEx(cv::Mat frame, cv::Mat destination) {
    if (!renderable(frame, "VideoZoomToWebEx") || destination.empty()) return;
    // A header of another type receives a buffer of its own from cv::resize.
    velcap::scaleRegion(frame, lockedGeometry(), destination);
}
