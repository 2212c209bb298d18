// Quarter turns of a frame.
#pragma once

#include <opencv2/core.hpp>

#include "../velcap.h"

namespace velcap {

// dst becomes src turned a quarter clockwise or counter-clockwise; a dst of
// the turned size keeps its buffer. Any type; R, G, B pictures take a fast road.
VELCAP_EXPORT void quarterTurn(const cv::Mat& src, cv::Mat& dst, bool clockwise);

} // namespace velcap
