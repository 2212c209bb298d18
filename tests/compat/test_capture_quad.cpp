// Cut type 2 through the virtual camera: a page on a white desk, seen by a
// tilted camera, comes out upright with straight text lines.
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "desk_scene.h"
#include "imaging/page_quad.h"
#include "support/camera_test.h"
#include "support/capture_test.h"

using velcap::test::CaptureTest;

namespace {

struct TextLine {
    double slope; // degrees
    int left;     // where the line starts: every line starts at the page's margin
};

// The long lines of text on a page picture (B, G, R), away from its edges
// (cut type 1 frames the page in black).
std::vector<TextLine> textLines(const cv::Mat& picture) {
    const cv::Mat page =
        picture(cv::Rect(picture.cols / 20, picture.rows / 20, picture.cols * 9 / 10, picture.rows * 9 / 10));
    cv::Mat grey, dark;
    cv::cvtColor(page, grey, cv::COLOR_BGR2GRAY);
    cv::threshold(grey, dark, 110, 255, cv::THRESH_BINARY_INV);
    // Words of one line run together; lines stay apart.
    cv::morphologyEx(dark, dark, cv::MORPH_CLOSE,
                     cv::getStructuringElement(cv::MORPH_RECT, cv::Size(std::max(3, page.cols / 30), 1)));
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(dark, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    std::vector<TextLine> lines;
    for (const auto& contour : contours) {
        const cv::Rect box = cv::boundingRect(contour);
        if (box.width < page.cols / 2 || box.height > page.rows / 25) continue;
        cv::Vec4f line;
        cv::fitLine(contour, line, cv::DIST_L2, 0, 0.01, 0.01);
        lines.push_back({std::atan2(line[1], line[0]) * 180 / CV_PI, box.x});
    }
    return lines;
}

vcam::Camera tiltedCamera(const char* desk, double tilt, unsigned pose) {
    vcam::Camera c = velcap::test::documentCamera();
    c.look.desk = desk;
    c.look.perspective = tilt;
    c.look.pose = pose;
    return c;
}

using Straighten = CaptureTest;

TEST_F(Straighten, ATiltedPageComesOutUprightWithStraightLines) {
    present(tiltedCamera("white", 12, 5));
    SetCutType(2);
    ASSERT_EQ(open(0, 1920, 1080), 0);
    ASSERT_TRUE(waitForOutline());
    const std::string path = file("page.png");
    ASSERT_EQ(shoot(path), 0);
    const cv::Mat page = cv::imread(path, cv::IMREAD_COLOR);
    ASSERT_FALSE(page.empty());
    EXPECT_EQ(page.cols % 4, 0);
    EXPECT_EQ(page.rows % 4, 0);
    EXPECT_NEAR(double(page.rows) / page.cols, std::sqrt(2.0), 0.05) << "an A4 sheet";

    const std::vector<TextLine> lines = textLines(page);
    ASSERT_GE(lines.size(), 10u) << "the page's text lines";
    for (const TextLine& line : lines) EXPECT_LT(std::fabs(line.slope), 0.5);

    // The same page warped from its true corners looks the same, but for a
    // pixel or two of the corners (the blur) and the camera's JPEG.
    const vcam::DeskScene scene = vcam::renderDeskScene(1920, 1080, tiltedCamera("white", 12, 5).look);
    const cv::Point2f from[4] = {scene.corners[0], scene.corners[1], scene.corners[2], scene.corners[3]};
    const cv::Point2f to[4] = {
        {0, 0}, {float(page.cols), 0}, {float(page.cols), float(page.rows)}, {0, float(page.rows)}};
    cv::Mat truth, diff;
    cv::warpPerspective(scene.frame, truth, cv::getPerspectiveTransform(from, to), page.size());
    cv::cvtColor(truth, truth, cv::COLOR_RGB2BGR);
    cv::Mat soft;
    cv::GaussianBlur(page, soft, cv::Size(0, 0), 4);
    cv::GaussianBlur(truth, truth, cv::Size(0, 0), 4);
    cv::absdiff(truth, soft, diff);
    const cv::Scalar mean = cv::mean(diff);
    EXPECT_LT((mean[0] + mean[1] + mean[2]) / 3, 6);
    close();
}

// Cut type 1 crops a rotated rectangle: under a tilt the page's sides still
// converge, so its lines start further in at the top than at the bottom.
TEST_F(Straighten, CutTypeOneLeavesThePerspective) {
    present(tiltedCamera("dark", 15, 5));
    SetCutType(1);
    ASSERT_EQ(open(0, 1920, 1080), 0);
    ASSERT_TRUE(waitForOutline());
    ASSERT_EQ(shoot(file("one.png")), 0);
    SetCutType(2);
    ASSERT_TRUE(waitForOutline());
    ASSERT_EQ(shoot(file("two.png")), 0);
    close();
    auto marginSpread = [](const std::vector<TextLine>& lines) {
        int least = 1 << 30, most = 0;
        for (const TextLine& l : lines) least = std::min(least, l.left), most = std::max(most, l.left);
        return most - least;
    };
    const std::vector<TextLine> one = textLines(cv::imread(file("one.png")));
    const std::vector<TextLine> two = textLines(cv::imread(file("two.png")));
    ASSERT_GE(one.size(), 10u);
    ASSERT_GE(two.size(), 10u);
    EXPECT_LE(marginSpread(two), 3) << "cut type 2: one margin for every line";
    EXPECT_GE(marginSpread(one), marginSpread(two) + 6) << "the case shows no perspective";
}

TEST_F(Straighten, WithoutAPageTheWholeFrame) {
    const std::string desk = file("desk.png");
    cv::imwrite(desk, cv::Mat(720, 1280, CV_8UC3, cv::Scalar(120, 130, 140)));
    vcam::Camera c = velcap::test::documentCamera();
    c.scene = desk;
    present(c);
    SetCutType(2);
    ASSERT_EQ(open(0, 1280, 720), 0);
    ASSERT_TRUE(sink().waitFor(5));
    EXPECT_EQ(HasPageOutline(), 0);
    std::string log;
    ASSERT_EQ(shoot(file("whole.png"), &log), 0);
    EXPECT_NE(log.find("no page found yet"), std::string::npos) << log;
    const cv::Mat whole = cv::imread(file("whole.png"));
    EXPECT_EQ(whole.size(), cv::Size(1280, 720));
    close();
}

TEST(DetectPage, ArgumentsAndEmptyDesks) {
    int corners[8];
    const cv::Mat desk(480, 640, CV_8UC3, cv::Scalar(92, 78, 64));
    EXPECT_EQ(DetectPage(nullptr, 640, 480, corners), -1);
    EXPECT_EQ(DetectPage(desk.data, 640, 480, nullptr), -1);
    EXPECT_EQ(DetectPage(desk.data, 40, 30, corners), -1);
    EXPECT_EQ(DetectPage(desk.data, 640, 480, corners), -2);
    EXPECT_EQ(DetectPage(vcam::renderScene(1280, 720, {}, -1).data, 1280, 720, corners), -2);
    // Clockwise from the top-left corner.
    vcam::DeskLook look;
    look.desk = "mid";
    look.pose = 9;
    const vcam::DeskScene scene = vcam::renderDeskScene(1280, 720, look);
    ASSERT_EQ(DetectPage(scene.frame.data, 1280, 720, corners), 0);
    EXPECT_LT(corners[0], corners[2]);
    EXPECT_LT(corners[3], corners[5]);
    EXPECT_GT(corners[4], corners[6]);
    EXPECT_GT(corners[7], corners[1]);
}

// Corners that wander by a pixel or two from frame to frame stay put; a page
// that moves is followed; a page gone for long is forgotten.
TEST(QuadTracker, SteadyOnAStillPageAndFollowsAMovedOne) {
    velcap::QuadTracker tracker;
    const velcap::Quad page = {cv::Point2f(100, 100), {500, 110}, {490, 700}, {90, 690}};
    const double diagonal = 2200;
    cv::RNG rng(5);
    velcap::Quad first{};
    for (int frame = 0; frame < 100; ++frame) {
        velcap::Quad seen = page;
        for (auto& c : seen) c += cv::Point2f(rng.uniform(-2.f, 2.f), rng.uniform(-2.f, 2.f));
        ASSERT_TRUE(tracker.update(true, seen, diagonal));
        if (frame == 4) first = tracker.corners();
        if (frame > 4) {
            for (int k = 0; k < 4; ++k) ASSERT_EQ(tracker.corners()[size_t(k)], first[size_t(k)]) << "frame " << frame;
        }
    }
    velcap::Quad moved = page;
    for (auto& c : moved) c += cv::Point2f(60, 0);
    for (int frame = 0; frame < 3; ++frame) tracker.update(true, moved, diagonal);
    EXPECT_NEAR(tracker.corners()[0].x, 160, 1);
    // A hand passing for a few frames keeps the page; a page gone for two seconds is gone.
    for (int frame = 0; frame < 5; ++frame) EXPECT_TRUE(tracker.update(false, {}, diagonal));
    for (int frame = 0; frame < 30; ++frame) tracker.update(false, {}, diagonal);
    EXPECT_FALSE(tracker.update(false, {}, diagonal));
}

} // namespace
