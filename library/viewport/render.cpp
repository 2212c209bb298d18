// The part of a frame that the embedded preview shows, scaled to the shown size.
#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "render.h"

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

// Bilinear, straight into the destination's pixels when it already has the size and type.
void scaleRegion(const cv::Mat& frame, const ViewGeometry& view, cv::Mat& destination) {
    const cv::Rect region = sourceRegion(view, frame.size());
    if (region.empty() || destination.empty()) return;
    cv::resize(frame(region), destination, destination.size(), 0, 0, cv::INTER_LINEAR);
}

} // namespace velcap
