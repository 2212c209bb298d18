// The page as a quadrilateral on every desk, under a hand, in perspective.
#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "desk_scene.h"
#include "imaging/page_quad.h"
#include "velcap.h"

namespace {

// Each corner's distance from the truth, as a share of the page's diagonal; 1 when no page is found.
double worstCornerError(const vcam::DeskScene& scene) {
    int corners[8];
    if (DetectPage(scene.frame.data, scene.frame.cols, scene.frame.rows, corners) != 0) return 1;
    const double diagonal = cv::norm(scene.corners[0] - scene.corners[2]);
    double worst = 0;
    for (int k = 0; k < 4; ++k)
        worst = std::max(
            worst, cv::norm(cv::Point2f(float(corners[2 * k]), float(corners[2 * k + 1])) - scene.corners[size_t(k)]) /
                       diagonal);
    return worst;
}

struct Setting {
    const char* desk;
    bool hand;
    double tilt;
    bool shadow = false;
};

class PageQuad : public testing::TestWithParam<Setting> {};

#ifdef VELCAP_SANITIZED
constexpr unsigned kPoses = 4; // the sanitizers check the memory and threads, not the accuracy, at ten times the cost
#else
constexpr unsigned kPoses = 20;
#endif

TEST_P(PageQuad, CornersWithinTwoPercentOfTheDiagonal) {
    const Setting s = GetParam();
    unsigned within = 0;
    std::string misses;
    for (unsigned pose = 1; pose <= kPoses; ++pose) {
        vcam::DeskLook look;
        look.desk = s.desk;
        look.hand = s.hand;
        look.perspective = s.tilt;
        look.pose = pose;
        look.shadow = s.shadow;
        const double error = worstCornerError(vcam::renderDeskScene(1920, 1080, look));
        if (error <= 0.02)
            ++within;
        else
            misses += " pose " + std::to_string(pose) + ": " + std::to_string(error);
    }
    EXPECT_GE(within, kPoses - kPoses / 20) << misses; // 19 of 20
}

std::string nameOf(const testing::TestParamInfo<Setting>& info) {
    return std::string(info.param.desk) + (info.param.hand ? "_hand" : "") +
           (info.param.tilt > 0 ? "_tilt" + std::to_string(int(info.param.tilt)) : "") +
           (info.param.shadow ? "_shadow" : "");
}

INSTANTIATE_TEST_SUITE_P(Desks, PageQuad,
                         testing::Values(Setting{"dark", false, 0}, Setting{"mid", false, 0},
                                         Setting{"light", false, 0}, Setting{"white", false, 0},
                                         Setting{"wood", false, 0}, Setting{"dark", true, 0}, Setting{"mid", true, 0},
                                         Setting{"light", true, 0}, Setting{"white", true, 0}, Setting{"wood", true, 0},
                                         Setting{"dark", false, 15}, Setting{"mid", false, 15},
                                         Setting{"light", false, 15}, Setting{"white", false, 15},
                                         Setting{"wood", false, 15}, Setting{"dark", true, 15},
                                         Setting{"mid", true, 15}, Setting{"light", true, 15},
                                         Setting{"white", true, 15}, Setting{"wood", true, 15},
                                         Setting{"white", false, 0, true}, Setting{"dark", true, 15, true}),
                         nameOf);

} // namespace
