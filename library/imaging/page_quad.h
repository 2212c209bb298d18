// Finding the page as a quadrilateral (cut type 2): on light and white desks,
// on wood, under a hand over one corner, and in perspective.
#pragma once

#include <array>
#include <deque>

#include <opencv2/core.hpp>

namespace velcap {

using Quad = std::array<cv::Point2f, 4>; // top-left, top-right, bottom-right, bottom-left

// The page on an R, G, B frame; false when none is found. Keeps no state.
bool findPageQuad(const cv::Mat& rgb, Quad& corners);

// Steadies the corners from frame to frame: each corner is the median of the
// last detections, and moves only when it has moved by more than a dead band.
// A page missing for a second is gone.
class QuadTracker {
public:
    // One frame's detection; returns whether a page is being tracked.
    bool update(bool found, const Quad& detected, double diagonal);
    const Quad& corners() const { return published_; }
    void reset();

private:
    std::deque<Quad> recent_;
    Quad published_{};
    bool tracking_ = false;
    int missing_ = 0;
};

// The stream thread's stage for cut types 2 and 3: detects and steadies the
// page and draws its outline into the frame; true while a page is tracked,
// whose corners the tracker then holds.
bool pageQuadStage(const cv::Mat& frame, QuadTracker& tracker);

// A capture's picture for cut type 2: the page warped to an upright
// rectangle whose sides are multiples of 4; empty when no page is known.
cv::Mat straightenedPage(const cv::Mat& frame, const Quad& corners);

} // namespace velcap
