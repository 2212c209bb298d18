// How often each page detector finds the page on the virtual camera's desk
// scenes: cut type 1's outline (DrawingEdge) and cut type 2's quadrilateral
// (DetectPage), 20 poses of the page on each desk (odd poses print a picture
// on the page), with and without a soft shadow, at 1080p. A page counts as
// found when every corner lies within 2 % of the page's diagonal of the truth.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "compat/state.h"
#include "desk_scene.h"
#include "velcap.h"

namespace {

// The largest distance from a true corner to the nearest found one, as a share of the diagonal.
double worstError(const vcam::DeskScene& scene, const int* found) {
    const double diagonal = cv::norm(scene.corners[0] - scene.corners[2]);
    double worst = 0;
    for (const cv::Point2f& truth : scene.corners) {
        double nearest = 1e9;
        for (int k = 0; k < 4; ++k)
            nearest = std::min(nearest, cv::norm(cv::Point2f(float(found[2 * k]), float(found[2 * k + 1])) - truth));
        worst = std::max(worst, nearest / diagonal);
    }
    return worst;
}

} // namespace

int main() {
    SetLogSink([](const char*) {});
    struct Setting {
        const char* desk;
        bool hand;
        double tilt;
        bool shadow;
    };
    std::vector<Setting> settings;
    for (bool shadow : {false, true})
        for (double tilt : {0.0, 15.0})
            for (bool hand : {false, true})
                for (const char* desk : {"dark", "mid", "light", "white", "wood"})
                    settings.push_back({desk, hand, tilt, shadow});
    std::printf("| Desk | Hand | Tilt | Shadow | Cut type 1 | Cut type 2 | Cut type 2, mean corner error |\n"
                "|---|---|---|---|---|---|---|\n");
    int total1 = 0, total2 = 0, scenes = 0;
    for (const Setting& s : settings) {
        int within1 = 0, within2 = 0;
        double error2 = 0;
        int found2 = 0;
        for (unsigned pose = 1; pose <= 20; ++pose) {
            vcam::DeskLook look;
            look.desk = s.desk;
            look.hand = s.hand;
            look.perspective = s.tilt;
            look.pose = pose;
            look.shadow = s.shadow;
            const vcam::DeskScene scene = vcam::renderDeskScene(1920, 1080, look);
            cv::Mat frame = scene.frame.clone();
            if (DrawingEdge(frame.data, frame.cols, frame.rows, 0) == 0 && worstError(scene, CutPoint) <= 0.02)
                ++within1;
            int corners[8];
            if (DetectPage(scene.frame.data, scene.frame.cols, scene.frame.rows, corners) == 0) {
                if (worstError(scene, corners) <= 0.02) ++within2;
                for (int k = 0; k < 4; ++k)
                    error2 += cv::norm(cv::Point2f(float(corners[2 * k]), float(corners[2 * k + 1])) -
                                       scene.corners[size_t(k)]);
                found2 += 4;
            }
        }
        std::printf("| %s | %s | %g° | %s | %d/20 | %d/20 | %.1f px |\n", s.desk, s.hand ? "yes" : "no", s.tilt,
                    s.shadow ? "yes" : "no", within1, within2, found2 ? error2 / found2 : 0.0);
        total1 += within1, total2 += within2, scenes += 20;
    }
    std::printf("\nWithin 2 %% of the diagonal: cut type 1 %d of %d, cut type 2 %d of %d\n", total1, scenes, total2,
                scenes);
    return 0;
}
