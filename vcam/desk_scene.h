// Scenes of a page on other desks: dark, mid-grey, light, white and wood,
// with or without a hand over one corner, seen by a camera tilted from
// straight down. Each pose puts the page elsewhere, turned otherwise.
#pragma once

#include <array>
#include <string>

#include <opencv2/core.hpp>

#include "description.h"

namespace vcam {

struct DeskScene {
    cv::Mat frame;                      // R, G, B
    std::array<cv::Point2f, 4> corners; // the page's: top-left, top-right, bottom-right, bottom-left
};

DeskScene renderDeskScene(unsigned width, unsigned height, const DeskLook& look);
// The desk alone, R, G, B: "" the usual one; dark, mid, light, white, wood.
cv::Mat deskSurface(const std::string& kind, cv::Size size, unsigned seed);

} // namespace vcam
