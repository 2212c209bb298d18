// The capture pipeline, with what it did: the stream thread must know
// whether a file was written, not guess it from a file being there.
#pragma once

#include <opencv2/core.hpp>

#include "picture_file.h"

namespace velcap {

// One frame (R, G, B) to the file at path, as capture() makes it.
SaveResult captureFrame(const char* path, int cutType, const cv::Mat& frame);

} // namespace velcap
