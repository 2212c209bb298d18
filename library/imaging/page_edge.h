// Finding the page outline on a frame, with working pictures the caller keeps.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include <opencv2/core.hpp>

namespace velcap {

// The working pictures of one caller. The stream thread keeps one from frame
// to frame, so that at a steady frame size it allocates none of them again.
struct PageWorkspace {
    cv::Mat small, grey, background, normalised;
    std::vector<uint16_t> sums;
    std::vector<std::vector<cv::Point>> contours;
    std::vector<int> areas;
    // The contours large enough for a page, and their areas, of the last frame.
    std::list<int> areaList;
    std::list<std::vector<cv::Point>> contourList;
    // The page corners found last: x0, y0 ... x3, y3, the lowest corner first, clockwise.
    int corners[8] = {};
    bool anyOutline = false; // whether the last search saw an outline at all, large enough or not
};

// DrawingEdge's work: finds the largest outline, sets work.corners and, with
// mode 1, draws the outline into the frame. Whether a page was found.
bool findPageOutline(unsigned char* buffer, int width, int height, int mode, PageWorkspace& work);

// Where a page outline lies and how it is turned: the box round its corners,
// the page's own sides, and the clockwise turn that sets it upright.
struct PageCrop {
    int startX = 0, startY = 0, width = 0, height = 0;
    int pageWidth = 0, pageHeight = 0;
    float angle = 0;
};
PageCrop pageCrop(const int* corners);

} // namespace velcap
