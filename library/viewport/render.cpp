// The embedded preview's picture: the part of the frame that the viewport
// shows, scaled to the shown size.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <opencv2/imgproc.hpp>

#include "../log.h"
#include "../state.h"
#include "viewport.h"

namespace {

// Bilinear, straight into the destination's pixels when it already has the size and type.
void scaleRegion(const cv::Mat& frame, const velcap::ViewGeometry& view, cv::Mat& destination) {
    const cv::Rect region = velcap::sourceRegion(view, frame.size());
    if (region.empty() || destination.empty()) return;
    cv::resize(frame(region), destination, destination.size(), 0, 0, cv::INTER_LINEAR);
}

bool renderable(const cv::Mat& frame, const char* caller) {
    if (frame.empty()) return false;
    if (frame.type() == CV_8UC3) return true;
    velcap::say("%s: the frame is not an 8-bit R, G, B image (type %d)\n", caller, frame.type());
    return false;
}

void renderInto(const cv::Mat& frame, const velcap::ViewGeometry& view, unsigned char* output) {
    if (view.showWidth <= 0 || view.showHeight <= 0) return;
    cv::Mat picture(view.showHeight, view.showWidth, CV_8UC3, output);
    scaleRegion(frame, view, picture);
}

velcap::ViewGeometry lockedGeometry() {
    std::lock_guard<std::mutex> lock(velcap::viewport().mutex);
    return velcap::currentGeometry();
}

} // namespace

namespace velcap {

cv::Rect sourceRegion(const ViewGeometry& view, cv::Size frame) {
    if (view.zoom <= 0 || frame.empty()) return {};
    // Shown pixels times 100, divided by the zoom, truncated: in this order, or the
    // best fit of 3264 pixels at 80 000 / 3264 % takes 3264 columns, not 3263.
    // Then clipped, since a stale geometry may reach past the frame.
    auto framePixels = [&](double shown, int limit) { return int(std::min<double>(shown * 100 / view.zoom, limit)); };
    auto start = [&](int zoomStart, int size, int limit) {
        const int first = zoomStart < 0 ? framePixels(-double(zoomStart), limit) : 0;
        return std::min(first, limit - size);
    };
    const int width = framePixels(view.showWidth, frame.width), height = framePixels(view.showHeight, frame.height);
    if (width <= 0 || height <= 0) return {};
    return {start(view.zoomStartX, width, frame.width), start(view.zoomStartY, height, frame.height), width, height};
}

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
        if (renderable(frame, "VideoZoomToWebEx")) scaleRegion(frame, view, zoomimage);
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
    scaleRegion(frame, lockedGeometry(), destination);
}
