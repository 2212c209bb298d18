// The page outline and the skew angle.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "compat/state.h"
#include "support/outline_corners.h"
#include "velcap.h"

namespace {

struct Geometry {
    int startX, startY, w, h, lastW, lastH;
};
Geometry geometry() {
    return {CutImgStartX, CutImgStartY, CutImgW, CutImgH, CutLastW, CutLastH};
}
bool operator==(const Geometry& a, const Geometry& b) {
    return a.startX == b.startX && a.startY == b.startY && a.w == b.w && a.h == b.h && a.lastW == b.lastW &&
           a.lastH == b.lastH;
}
std::ostream& operator<<(std::ostream& o, const Geometry& g) {
    return o << g.startX << "," << g.startY << " " << g.w << "x" << g.h << " last " << g.lastW << "x" << g.lastH;
}

TEST(GetAngle, WorkedExamples) {
    int vertical[8] = {100, 500, 100, 100, 400, 100, 400, 500};
    EXPECT_EQ(GetAngle(vertical), 0.0f);
    EXPECT_EQ(geometry(), (Geometry{100, 100, 300, 400, 300, 400}));

    int upright[8] = {500, 400, 100, 400, 100, 100, 500, 100};
    EXPECT_FLOAT_EQ(GetAngle(upright), 360.0f);
    EXPECT_EQ(geometry(), (Geometry{100, 100, 400, 300, 400, 300}));

    int leaning[8] = {110, 400, 100, 100, 400, 90, 410, 390};
    EXPECT_NEAR(GetAngle(leaning), 1.8645, 1e-3);
    EXPECT_EQ(geometry(), (Geometry{100, 90, 310, 310, 300, 300}));

    int other[8] = {400, 410, 100, 400, 107, 200, 407, 210};
    EXPECT_NEAR(GetAngle(other), 358.09, 1e-2);
    EXPECT_EQ(geometry(), (Geometry{100, 200, 307, 210, 300, 200}));
}

// A light page on a darker desk under a light gradient, its corners known.
struct Scene {
    cv::Mat rgb;
    std::vector<cv::Point2f> corners;
};

Scene pageScene(int width, int height, double tilt, bool gradient, int jpegQuality) {
    cv::Mat scene(height, width, CV_8UC3, cv::Scalar(70, 60, 50));
    const cv::RotatedRect page(cv::Point2f(width * 0.5f, height * 0.5f), cv::Size2f(width * 0.45f, height * 0.6f),
                               float(tilt));
    cv::Point2f p[4];
    page.points(p);
    std::vector<cv::Point> polygon;
    for (const auto& q : p) polygon.emplace_back(cvRound(q.x), cvRound(q.y));
    cv::fillConvexPoly(scene, polygon, cv::Scalar(240, 238, 230), cv::LINE_AA);
    if (gradient)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                cv::Vec3b& px = scene.at<cv::Vec3b>(y, x);
                const double light = 1.0 - 0.3 * x / width - 0.15 * y / height;
                for (int c = 0; c < 3; ++c) px[c] = cv::saturate_cast<uchar>(px[c] * light);
            }
    if (jpegQuality) {
        std::vector<uchar> jpeg;
        cv::imencode(".jpg", scene, jpeg, {cv::IMWRITE_JPEG_QUALITY, jpegQuality});
        scene = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    }
    return {scene, std::vector<cv::Point2f>(p, p + 4)};
}

using velcap::test::cornerError;

TEST(DrawingEdge, UprightPageCornersComeBottomRightFirst) {
    Scene s = pageScene(1280, 960, 0, false, 0);
    cv::Mat before = s.rgb.clone();
    ASSERT_EQ(DrawingEdge(s.rgb.data, s.rgb.cols, s.rgb.rows, 0), 0);
    EXPECT_EQ(cv::norm(s.rgb, before, cv::NORM_INF), 0) << "mode 0 draws nothing";
    // Bottom-right, bottom-left, top-left, top-right.
    EXPECT_GT(CutPoint[0], CutPoint[2]);
    EXPECT_EQ(std::abs(CutPoint[1] - CutPoint[3]) <= 4, true);
    EXPECT_LT(CutPoint[5], CutPoint[3]);
    EXPECT_GT(CutPoint[6], CutPoint[4]);
    EXPECT_LT(cornerError(s.corners), 6);
    const float angle = GetAngle(CutPoint);
    EXPECT_TRUE(angle < 0.5f || angle > 359.5f) << angle;
}

TEST(DrawingEdge, CornersAndAngleAcrossTilts) {
    double sum = 0, worst = 0;
    int count = 0;
    for (auto [w, h] : {std::pair{1280, 720}, {1920, 1080}, {2592, 1944}}) {
        for (int tilt = -30; tilt <= 30; tilt += 5) {
            for (bool gradient : {false, true}) {
                for (int quality : {0, 60}) {
                    Scene s = pageScene(w, h, tilt, gradient, quality);
                    cv::cvtColor(s.rgb, s.rgb, cv::COLOR_BGR2RGB);
                    ASSERT_EQ(DrawingEdge(s.rgb.data, w, h, 0), 0);
                    const double error = cornerError(s.corners);
                    EXPECT_LT(error, 8) << w << "x" << h << " tilt " << tilt;
                    sum += error, worst = std::max(worst, error), ++count;
                    // Lowest, leftmost, highest, rightmost.
                    EXPECT_GE(CutPoint[1], std::max({CutPoint[3], CutPoint[5], CutPoint[7]}) - 4);
                    EXPECT_LE(CutPoint[2], std::min({CutPoint[0], CutPoint[4], CutPoint[6]}) + 4);
                    EXPECT_LE(CutPoint[5], std::min({CutPoint[1], CutPoint[3], CutPoint[7]}) + 4);
                    // The angle straightens the page: a clockwise turn by the
                    // page's counter-clockwise lean, or nearly a full turn.
                    const float angle = GetAngle(CutPoint);
                    const double lean = -tilt; // RotatedRect angles turn clockwise on screen
                    const double expected = lean >= 0 ? lean : 360 + lean;
                    double diff = std::fabs(angle - expected);
                    diff = std::min(diff, 360 - diff);
                    const bool quarter = std::fabs(std::fabs(diff) - 90) < 2; // a page read on its side
                    EXPECT_TRUE(diff < 1.5 || quarter) << "tilt " << tilt << " angle " << angle;
                }
            }
        }
    }
    std::printf("corner error over %d scenes: mean %.2f px, worst %.2f px\n", count, sum / count, worst);
}

TEST(DrawingEdge, OutlineIsDrawnOnlyInModeOne) {
    Scene s = pageScene(1280, 720, 8, true, 0);
    ASSERT_EQ(DrawingEdge(s.rgb.data, s.rgb.cols, s.rgb.rows, 1), 0);
    cv::Mat green;
    cv::inRange(s.rgb, cv::Scalar(0, 255, 0), cv::Scalar(0, 255, 0), green);
    EXPECT_GT(cv::countNonZero(green), 4 * 300 * 5);
}

TEST(DrawingEdge, SmallSpotsOnlyLeaveTheCornersAlone) {
    for (int i = 0; i < 8; ++i) CutPoint[i] = 1000 + i;
    cv::Mat frame(960, 1280, CV_8UC3, cv::Scalar(0, 0, 0));
    for (int k = 0; k < 10; ++k)
        cv::rectangle(frame, cv::Rect(60 + 110 * k, 400, 40, 40), cv::Scalar(255, 255, 255), cv::FILLED);
    EXPECT_EQ(DrawingEdge(frame.data, frame.cols, frame.rows, 1), -2);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(CutPoint[i], 1000 + i);
    cv::Mat green;
    cv::inRange(frame, cv::Scalar(0, 255, 0), cv::Scalar(0, 255, 0), green);
    EXPECT_EQ(cv::countNonZero(green), 0) << "nothing is drawn without a page";
}

// The analysis written out with OpenCV's own calls, as the reference of the
// faster steps: the contour areas it keeps must be the same.
std::list<int> referenceAreas(const cv::Mat& rgb) {
    cv::Mat small, grey, background;
    cv::resize(rgb, small, cv::Size(rgb.cols / 4, rgb.rows / 4), 0, 0, cv::INTER_AREA);
    cv::cvtColor(small, grey, cv::COLOR_RGB2GRAY);
    cv::GaussianBlur(grey, background, cv::Size(21, 21), 0, 0, cv::BORDER_REPLICATE);
    cv::Mat normalised(grey.size(), CV_8UC1);
    for (int y = 0; y < grey.rows; ++y)
        for (int x = 0; x < grey.cols; ++x) {
            const double v = double(0.7f) * (127.0 - background.at<uchar>(y, x)) + grey.at<uchar>(y, x);
            normalised.at<uchar>(y, x) = uchar(std::clamp(int(v), 0, 255));
        }
    cv::threshold(normalised, normalised, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(normalised, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    std::list<int> areas;
    for (const auto& c : contours)
        if (int(std::fabs(cv::contourArea(c))) > 400) areas.push_back(int(std::fabs(cv::contourArea(c))));
    return areas;
}

TEST(DrawingEdge, AnalysisMatchesTheReference) {
    cv::RNG rng(5);
    for (auto [w, h] : {std::pair{1920, 1080}, {3264, 2448}, {1282, 962}}) {
        Scene s = pageScene(w, h, 7, true, 50);
        cv::Mat noise(s.rgb.size(), s.rgb.type());
        rng.fill(noise, cv::RNG::UNIFORM, 0, 40);
        s.rgb += noise;
        for (int k = 0; k < 30; ++k) // marks of all sizes on the desk
            cv::circle(s.rgb, cv::Point(rng.uniform(0, w), rng.uniform(0, h)), rng.uniform(2, 60),
                       cv::Scalar(255, 255, 255), cv::FILLED);
        const std::list<int> expected = referenceAreas(s.rgb);
        ASSERT_EQ(DrawingEdge(s.rgb.data, w, h, 0), 0);
        EXPECT_EQ(areaList, expected) << w << "x" << h;
    }
}

} // namespace
