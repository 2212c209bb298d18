// Turns of a picture.
#pragma once

#include <opencv2/core.hpp>

namespace velcap {

// dst becomes src turned a quarter clockwise or counter-clockwise; a dst of
// the turned size keeps its buffer. Any type; R, G, B pictures take a fast road.
void quarterTurn(const cv::Mat& src, cv::Mat& dst, bool clockwise);

// src turned clockwise by angle degrees on a canvas enlarged to hold every
// corner, the new corners black; empty for an empty picture or an angle
// that is not finite.
cv::Mat rotated(const cv::Mat& src, float angle);

} // namespace velcap
