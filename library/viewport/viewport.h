// The embedded preview's geometry and rendering, shared by the stream thread's stage.
#pragma once

#include <opencv2/core.hpp>

#include "velcap.h"

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
// The geometry variables as they are now. The caller holds viewport().mutex.
ViewGeometry currentGeometry();
// The best fit again when the frame is not the one the geometry was made for
// (a turn by SetRotate, a camera opened at another size). The caller holds viewport().mutex.
void refitFor(cv::Size frame);
// The stream thread's embedded-preview stage for one delivered frame.
void embeddedPreview(const cv::Mat& frame, VelcapWebFrameCallback callback);
// Frees WEB_BUF and the buffers it replaced: true when WEB_BUF was set. Only
// while no stream thread runs.
bool releaseWebBuffers();

} // namespace velcap
