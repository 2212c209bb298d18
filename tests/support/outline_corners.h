// How far the page outline the library found (CutPoint) lies from the truth.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

#include "compat/state.h"

namespace velcap::test {

// The largest distance from a corner in CutPoint to the nearest true one.
inline double cornerError(const std::vector<cv::Point2f>& truth) {
    double worst = 0;
    for (int i = 0; i < 4; ++i) {
        double best = 1e9;
        for (const auto& t : truth)
            best = std::min(best, double(std::hypot(CutPoint[2 * i] - t.x, CutPoint[2 * i + 1] - t.y)));
        worst = std::max(worst, best);
    }
    return worst;
}

} // namespace velcap::test
