// Finding the page outline on a frame, with working pictures the caller keeps.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "../velcap.h"

namespace velcap {

// The working pictures of one caller. The stream thread keeps one from frame
// to frame, so that at a steady frame size it allocates none of them again.
struct PageWorkspace {
    cv::Mat small, grey, background, normalised;
    std::vector<uint16_t> sums;
    std::vector<std::vector<cv::Point>> contours;
    std::vector<int> areas;
};

// DrawingEdge's work: finds the largest outline, sets the page corners and,
// with mode 1, draws the outline into the frame.
VELCAP_EXPORT int findPageOutline(unsigned char* buffer, int width, int height, int mode, PageWorkspace& work);

} // namespace velcap
