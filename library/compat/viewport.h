// The embedded preview over the library-wide viewport variables.
#pragma once

#include <opencv2/core.hpp>

#include "../velcap.h"
#include "../viewport/render.h"

namespace velcap {

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
