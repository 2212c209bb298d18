// The embedded preview's picture: which part of a frame it shows, and scaling it.
#pragma once

#include <opencv2/core.hpp>

namespace velcap {

// What one frame's rendering reads of the geometry, taken at once.
struct ViewGeometry {
    int showWidth = 0, showHeight = 0;
    int zoomStartX = 0, zoomStartY = 0;
    int formStartX = 0, formStartY = 0;
    double zoom = 0;
};

// The part of a frame of the given size that the geometry shows, clipped to
// the frame; empty when nothing is shown.
cv::Rect sourceRegion(const ViewGeometry& view, cv::Size frame);
// That part scaled (bilinear) into destination, straight into its pixels
// when it already has the size and type.
void scaleRegion(const cv::Mat& frame, const ViewGeometry& view, cv::Mat& destination);

} // namespace velcap
