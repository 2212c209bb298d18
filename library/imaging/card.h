// Identity cards (ID-1: 85.6 x 54 mm) on the desk: found at any angle on
// dark, light and white desks, and cut out straight at true size.
#pragma once

#include <opencv2/core.hpp>

#include "page_quad.h"

namespace velcap {

constexpr double kCardWidthMm = 85.6, kCardHeightMm = 54.0;

// The card on a B, G, R picture: its corners (top-left first, clockwise,
// the long side across); false when no card-shaped object is found.
bool findCard(const cv::Mat& bgr, Quad& corners);

// The card cut out of the picture, straightened, landscape and upright as it
// lay (turned by less than a half turn from the picture's up), at dpi.
cv::Mat straightenCard(const cv::Mat& bgr, const Quad& corners, int dpi);

} // namespace velcap
