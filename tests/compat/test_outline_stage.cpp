// The stream's page-outline stage: drawn on the preview while cropping is on.
#include <vector>

#include <opencv2/imgproc.hpp>

#include "scene.h"
#include "support/camera_test.h"
#include "support/frame_sink.h"
#include "support/outline_corners.h"

namespace {

using velcap::test::cornerError;

class PageOutlineStage : public velcap::test::CameraTest {};

TEST_F(PageOutlineStage, PreviewShowsTheOutlineWhileCroppingIsOn) {
    auto& sink = velcap::test::FrameSink::instance();
    for (int on : {1, 0}) {
        sink.reset();
        for (int i = 0; i < 8; ++i) CutPoint[i] = -1;
        SetCutType(on);
        SetVideoFormat(0);
        velcap::test::stdoutOf([] {
            getCameraResolutionCount(0);
            ASSERT_EQ(openCamera(0, 1280, 720), 0);
        });
        ASSERT_TRUE(sink.waitFor(2));
        velcap::test::stdoutOf([] { closeCamera(); });
        cv::Mat green;
        cv::inRange(sink.last(), cv::Scalar(0, 240, 0), cv::Scalar(40, 255, 40), green);
        if (on) {
            EXPECT_GT(cv::countNonZero(green), 1000);
            const auto truth = vcam::scenePageCorners(1280, 720);
            EXPECT_LT(cornerError(std::vector<cv::Point2f>(truth.begin(), truth.end())), 8);
        } else {
            EXPECT_LT(cv::countNonZero(green), 50);
            EXPECT_EQ(CutPoint[0], -1);
        }
    }
    SetCutType(0);
    sink.reset();
}

} // namespace
