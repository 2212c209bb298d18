// Skin-coloured pixels, counted as book mode's tests and benchmark see them:
// apart from the stage's own test, so that its checks do not restate it.
#pragma once

#include <opencv2/imgproc.hpp>

namespace velcap::test {

// Skin-coloured pixels of an R, G, B picture, as a share of it.
inline double skinShare(const cv::Mat& rgb) {
    cv::Mat ycrcb, c[3];
    cv::cvtColor(rgb, ycrcb, cv::COLOR_RGB2YCrCb);
    cv::split(ycrcb, c);
    const cv::Mat skin = (c[0] > 60) & (c[1] > 140) & (c[1] < 175) & (c[2] > 80) & (c[2] < 125);
    return double(cv::countNonZero(skin)) / double(rgb.total());
}

} // namespace velcap::test
