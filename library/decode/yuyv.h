// YUYV 4:2:2 frames to packed R, G, B.
#pragma once

#include <opencv2/core.hpp>

namespace velcap {

// Video-range YUYV to packed R, G, B: exactly (width * height) / 2 pixel
// pairs; nothing for a size of 0 or less. Large frames go in stripes on
// OpenCV's worker threads.
void yuyvToRgb(const unsigned char* source, unsigned char* destination, int width, int height);

// A preview's worth of a YUYV frame: every reduction-th pixel of every
// reduction-th row, converted exactly as yuyvToRgb converts it, into rgb of
// ceil(width / reduction) x ceil(height / reduction).
void yuyvToRgbReduced(const unsigned char* source, int width, int height, int reduction, cv::Mat& rgb);

} // namespace velcap
