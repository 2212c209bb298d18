// The embedded preview's viewport: zoom, fit, pan and quarter turns, in the
// geometry variables that the stream thread renders by.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "../log.h"
#include "../viewport/render.h"
#include "flat.h"
#include "state.h"
#include "viewport.h"

namespace {

int roundDown4(int value) {
    return value / 4 * 4;
}

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

// The layout that the zoom and turn operations end with: the zoomed frame centred on the form.
void centreLayout() {
    const int formW = FormWidth, formH = FormHeight, zoomW = ZoomWidth, zoomH = ZoomHeight;
    VideoOffsetX = ZoomStartX = (formW - zoomW) / 2;
    VideoOffsetY = ZoomStartY = (formH - zoomH) / 2;
    if (zoomW < formW) {
        ShowWidth = roundDown4(zoomW);
        FormStartX = (formW - ShowWidth) / 2;
    } else {
        FormStartX = 0;
        ShowWidth = roundDown4(formW);
    }
    if (zoomH < formH) {
        ShowHeight = roundDown4(zoomH);
        FormStartY = (formH - ShowHeight) / 2;
    } else {
        FormStartY = 0;
        ShowHeight = roundDown4(formH);
    }
}

// One axis of a pan. A picture narrower than the form moves inside it; a
// larger one slides under it. Either stops at the form's edges, however far the move.
void panAxis(std::atomic<int>& offset, std::atomic<int>& zoomStart, std::atomic<int>& formStart, std::atomic<int>& show,
             int move, int form, int zoomed) {
    int position = offset + move;
    if (zoomed < form) {
        show = roundDown4(zoomed);
        position = std::max(0, std::min(position, form - zoomed));
        formStart = position;
        zoomStart = 0;
    } else {
        position = std::max(form - zoomed, std::min(position, 0));
        show = roundDown4(form);
        formStart = 0;
        zoomStart = position;
    }
    offset = position;
}

template <typename Fn>
int withOpenCamera(Fn&& operation) {
    std::lock_guard<std::mutex> lock(velcap::viewport().mutex);
    if (!cameraOpen()) return -1;
    operation();
    return 0;
}

void suitableSize(int formW, int formH) {
    int w, h;
    frameSize(w, h);
    if (w < formW && h < formH) {
        pZoomScale = 100.0;
    } else if (double(formW) / formH > double(w) / h) {
        pZoomScale = 100.0 * formH / h;
    } else {
        pZoomScale = 100.0 * formW / w;
    }
    pBestScale = pZoomScale.load();
    FuncCalculateShowWH();
    const int bestW = int(pBestScale * w / 100), bestH = int(pBestScale * h / 100);
    FormStartX = VideoOffsetX = ZoomStartX = (FormWidth - bestW) / 2;
    FormStartY = VideoOffsetY = ZoomStartY = (FormHeight - bestH) / 2;
    ShowWidth = roundDown4(std::min<int>(ZoomWidth, FormWidth));
    ShowHeight = roundDown4(std::min<int>(ZoomHeight, FormHeight));
    velcap::viewport().basisWidth = w;
    velcap::viewport().basisHeight = h;
}

void turn(int step) {
    RotateFlag = 2;
    RotateAngle = ((RotateAngle + step) % 4 + 4) % 4;
    suitableSize(FormWidth, FormHeight);
    centreLayout();
}

} // namespace

namespace velcap {

ViewGeometry currentGeometry() {
    ViewGeometry view;
    view.showWidth = ShowWidth;
    view.showHeight = ShowHeight;
    view.zoomStartX = ZoomStartX;
    view.zoomStartY = ZoomStartY;
    view.formStartX = FormStartX;
    view.formStartY = FormStartY;
    view.zoom = pZoomScale;
    return view;
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
    int w, h;
    frameSize(w, h);
    ZoomWidth = int(pZoomScale * w / 100);
    ZoomHeight = int(pZoomScale * h / 100);
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
    return withOpenCamera([&] {
        panAxis(VideoOffsetX, ZoomStartX, FormStartX, ShowWidth, dx, FormWidth, ZoomWidth);
        panAxis(VideoOffsetY, ZoomStartY, FormStartY, ShowHeight, dy, FormHeight, ZoomHeight);
    });
}

int Web_ZoomOut() {
    return withOpenCamera([] {
        pZoomScale = std::max(pZoomScale - 4, pBestScale.load());
        FuncCalculateShowWH();
        centreLayout();
    });
}

int Web_ZoomIn() {
    return withOpenCamera([] {
        pZoomScale = std::min(pZoomScale + 4, 600.0);
        FuncCalculateShowWH();
        centreLayout();
    });
}

int Web_TrueSize() {
    return withOpenCamera([] {
        pZoomScale = 100.0;
        FuncCalculateShowWH();
        centreLayout();
    });
}

int Web_BestSize() {
    return withOpenCamera([] {
        pZoomScale = pBestScale.load();
        FuncCalculateShowWH();
        centreLayout();
    });
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
