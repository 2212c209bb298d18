// The capture pipeline: frames of the virtual camera turned into files, whole
// or cropped to the page, checked against the scene the camera drew.
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/camera_test.h"
#include "support/capture_test.h"
#include "support/shell.h"

using velcap::test::CaptureTest;
using velcap::test::run;
using velcap::test::stdoutOf;

namespace {

// The page of the scene, upright at its own size: the truth a crop is compared with.
cv::Mat truePage(int width, int height, cv::Size* size) {
    const auto corners = vcam::scenePageCorners(unsigned(width), unsigned(height));
    const float w = float(cv::norm(corners[1] - corners[0])), h = float(cv::norm(corners[3] - corners[0]));
    *size = cv::Size(cvRound(w), cvRound(h));
    const cv::Point2f upright[4] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
    const cv::Point2f seen[4] = {corners[0], corners[1], corners[2], corners[3]};
    auto source =
        vcam::framesOf(velcap::test::documentCamera(), vcam::fourcc("MJPG"), unsigned(width), unsigned(height));
    cv::Mat page;
    cv::warpPerspective(source->scene(), page, cv::getPerspectiveTransform(seen, upright), *size);
    cv::cvtColor(page, page, cv::COLOR_RGB2BGR);
    return page;
}

double meanDifference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    const cv::Scalar m = cv::mean(diff);
    return (m[0] + m[1] + m[2]) / 3;
}

// A frame with structure, R, G, B, for the pipeline called directly.
cv::Mat testFrame(int width, int height) {
    cv::Mat frame(height, width, CV_8UC3);
    cv::randu(frame, 0, 256);
    cv::rectangle(frame, cv::Rect(width / 4, height / 4, width / 2, height / 2), cv::Scalar(240, 240, 240), cv::FILLED);
    return frame;
}

void setCorners(std::initializer_list<int> points) {
    std::copy(points.begin(), points.end(), CutPoint);
}

using Pipeline = CaptureTest;

TEST_F(Pipeline, WholeFrameInEveryFormatAndColourMode) {
    ASSERT_EQ(open(0, 1920, 1080), 0);
    ASSERT_TRUE(sink().waitFor(3));
    for (const char* ext : {"jpg", "bmp", "png", "tif", "pdf"}) {
        const std::string path = file(std::string("whole.") + ext);
        std::string log;
        ASSERT_EQ(shoot(path, &log), 0) << ext << "\n" << log;
        if (std::strcmp(ext, "pdf") == 0) {
            auto [info, status] = run("pdfinfo " + path);
            EXPECT_EQ(status, 0) << info;
            EXPECT_NE(info.find("Page size:       1920 x 1080 pts"), std::string::npos) << info;
            continue;
        }
        const cv::Mat saved = cv::imread(path, cv::IMREAD_UNCHANGED);
        EXPECT_EQ(saved.size(), cv::Size(1920, 1080)) << ext;
        EXPECT_EQ(saved.channels(), 3) << ext;
        EXPECT_NE(log.find("capture->01\ncapture->02\ncapture->03\ncapture->04\n"), std::string::npos) << log;
    }
    // A lossless file holds the delivered frame itself, below the frame counter.
    const cv::Mat bmp = cv::imread(file("whole.bmp"));
    cv::Mat delivered;
    cv::cvtColor(sink().last(), delivered, cv::COLOR_RGB2BGR);
    const int strip = int(vcam::counterStripHeight(1080));
    EXPECT_EQ(cv::norm(bmp.rowRange(strip, 1080), delivered.rowRange(strip, 1080), cv::NORM_INF), 0);

    colorMode = 1;
    ASSERT_EQ(shoot(file("grey.png")), 0);
    EXPECT_EQ(cv::imread(file("grey.png"), cv::IMREAD_UNCHANGED).channels(), 1);
    colorMode = 2;
    ASSERT_EQ(shoot(file("bw.png")), 0);
    const cv::Mat bw = cv::imread(file("bw.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(bw.channels(), 1);
    EXPECT_EQ(cv::countNonZero(bw == 0) + cv::countNonZero(bw == 255), int(bw.total()));
    EXPECT_GT(cv::countNonZero(bw == 0), 0);
}

TEST_F(Pipeline, WholeFrameAtEightMegapixels) {
    ASSERT_EQ(open(1, 3264, 2448), 0); // YUYV, as the fallback of the desktop program
    ASSERT_TRUE(sink().waitFor(1));
    for (const char* name : {"big.jpg", "big.png"}) {
        ASSERT_EQ(shoot(file(name)), 0) << name;
        EXPECT_EQ(cv::imread(file(name)).size(), cv::Size(3264, 2448)) << name;
    }
    colorMode = 1;
    ASSERT_EQ(shoot(file("big.pdf")), 0);
    auto [info, status] = run("pdfinfo " + file("big.pdf"));
    EXPECT_NE(info.find("Page size:       3264 x 2448 pts"), std::string::npos) << info;
}

TEST_F(Pipeline, TenMegapixelModeScalesUpInEveryOrientation) {
    ASSERT_EQ(open(0, 3672, 2856), 0);
    ASSERT_TRUE(isInsert1000M);
    for (int angle : {0, 1, 2, 3}) {
        RotateAngle = angle;
        sink().reset();
        ASSERT_TRUE(sink().waitFor(2));
        const std::string path = file("ten-" + std::to_string(angle) + ".jpg");
        std::string log;
        ASSERT_EQ(shoot(path, &log), 0) << log;
        const bool upright = angle == 1 || angle == 3;
        EXPECT_EQ(cv::imread(path).size(), upright ? cv::Size(2856, 3672) : cv::Size(3672, 2856)) << angle;
        EXPECT_EQ(log.find("capture->03"), std::string::npos) << log;
    }
    // A cropped page keeps its own size.
    cutType = 1;
    RotateAngle = 0;
    ASSERT_TRUE(waitForOutline());
    ASSERT_EQ(shoot(file("page.jpg")), 0);
    EXPECT_LT(cv::imread(file("page.jpg")).cols, 3264);
}

TEST_F(Pipeline, CropsThePageUprightWithItsFrame) {
    for (cv::Size size : {cv::Size(1920, 1080), cv::Size(3264, 2448)}) {
        ASSERT_EQ(open(0, size.width, size.height), 0);
        cutType = 1;
        ASSERT_TRUE(waitForOutline());
        const std::string path = file("page-" + std::to_string(size.width) + ".png");
        std::string log;
        ASSERT_EQ(shoot(path, &log), 0) << log;
        EXPECT_NE(log.find("AA->img.cols,img.rows: " + std::to_string(size.width) + "," + std::to_string(size.height) +
                           "\r\n"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("cx,cy,cw,ch: "), std::string::npos) << log;
        EXPECT_EQ(log.find("capture->01"), std::string::npos) << log;

        const cv::Mat saved = cv::imread(path);
        EXPECT_EQ(saved.cols % 4, 0);
        EXPECT_EQ(saved.rows % 4, 0);
        cv::Size pageSize;
        const cv::Mat truth = truePage(size.width, size.height, &pageSize);
        // The page and its 8-pixel frame, within the outline's rounding.
        const int tolerance = size.width / 200 + 4;
        EXPECT_NEAR(saved.cols, pageSize.width + 16, tolerance) << size;
        EXPECT_NEAR(saved.rows, pageSize.height + 16, tolerance) << size;
        // Upright and the right region: close to the true page once the frame is off.
        cv::Mat inner;
        cv::resize(saved(cv::Rect(8, 8, saved.cols - 16, saved.rows - 16)), inner, pageSize, 0, 0, cv::INTER_AREA);
        EXPECT_LT(meanDifference(inner, truth), 14.0) << size;
        cv::Mat flipped;
        cv::flip(inner, flipped, -1);
        EXPECT_GT(meanDifference(flipped, truth), meanDifference(inner, truth) + 5) << "a half-turned page";
        // The frame round the page shows the darker desk.
        EXPECT_LT(cv::mean(saved(cv::Rect(0, saved.rows / 2, 4, 40)))[1], 150) << size;
        ASSERT_EQ(close(), 0);
    }
}

TEST_F(Pipeline, CleaningWhitensThePaperAndTheBlackEdges) {
    ASSERT_EQ(open(0, 1920, 1080), 0);
    cutType = 1;
    ASSERT_TRUE(waitForOutline());
    ASSERT_EQ(shoot(file("plain.png")), 0);
    isDelBlackedge = 1;
    isDelBcakColor = 1;
    ASSERT_EQ(shoot(file("clean.png")), 0);
    const cv::Mat plain = cv::imread(file("plain.png")), clean = cv::imread(file("clean.png"));
    ASSERT_EQ(plain.size(), clean.size());
    // The desk at the outer rim of the frame round the page turns white, and so does the paper.
    const cv::Rect edge(0, 0, 4, clean.rows);
    EXPECT_LT(cv::mean(plain(edge))[0], 100);
    EXPECT_GT(cv::mean(clean(edge))[0], 180);
    const cv::Rect paper(clean.cols / 2 - 20, 16, 40, 8);
    EXPECT_LT(cv::mean(plain(paper))[0], 250);
    EXPECT_GT(cv::mean(clean(paper))[0], 253);
    // The writing stays.
    cv::Mat grey;
    cv::cvtColor(clean, grey, cv::COLOR_BGR2GRAY);
    EXPECT_GT(cv::countNonZero(grey < 100), int(grey.total() / 50));

    // Switches count only when exactly 1.
    isDelBlackedge = 2;
    isDelBcakColor = 2;
    ASSERT_EQ(shoot(file("two.png")), 0);
    EXPECT_LT(cv::mean(cv::imread(file("two.png"))(edge))[0], 100);
}

// The pipeline called directly on a frame of its own.
TEST_F(Pipeline, WorkedExampleCropsAndLeavesTheFrameAndOutlineAlone) {
    cv::Mat frame = testFrame(3264, 2448);
    frame(cv::Rect(100, 100, 400, 300)).setTo(cv::Scalar(250, 250, 250));
    const cv::Mat before = frame.clone();
    setCorners({500, 400, 100, 400, 100, 100, 500, 100});
    velcap::pageOutlineFound = true;
    std::string path = file("example.bmp");
    std::string log;
    for (int round = 0; round < 2; ++round) {
        log = stdoutOf([&] { EXPECT_EQ(capture(path.data(), 0, 1, frame), 0); });
        EXPECT_EQ(cv::imread(path).size(), cv::Size(416, 316)) << round;
    }
    EXPECT_NE(log.find("capture->path:" + path + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("BB->img.cols,img.rows: 404,304\r\ncx,cy,cw,ch: 2,2,402,302\r\n"), std::string::npos) << log;
    // The page inside a frame that is black at the top, where the crop ends.
    const cv::Mat saved = cv::imread(path);
    EXPECT_GE(cv::mean(saved(cv::Rect(12, 12, 380, 280)))[0], 249);
    EXPECT_EQ(cv::countNonZero(saved.row(0).reshape(1)), 0);
    EXPECT_EQ(cv::norm(frame, before, cv::NORM_INF), 0) << "the caller's frame changed";

    // A corner beyond the left edge: a black margin, on a copy of the outline.
    setCorners({500, 400, -12, 400, -12, 100, 500, 100});
    path = file("margin.bmp");
    log = stdoutOf([&] { capture(path.data(), 0, 1, frame); });
    EXPECT_EQ(CutPoint[2], -12);
    const cv::Mat margin = cv::imread(path);
    EXPECT_EQ(margin.cols % 4, 0);
    EXPECT_NEAR(margin.cols, 512 + 16, 4);
    EXPECT_EQ(cv::norm(frame, before, cv::NORM_INF), 0);

    // An outline whose centred page starts left of the deskewed picture: the
    // image library throws, and the capture fails alone (the stream thread goes on).
    setCorners({0, 0, 0, 0, 0, 0, 0, 1000});
    path = file("throws.png");
    log = stdoutOf([&] { EXPECT_EQ(capture(path.data(), 0, 1, frame), -1); });
    EXPECT_NE(log.find("capture: " + path + " failed: "), std::string::npos) << log;
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(Pipeline, WithoutAnOutlineTheWholeFrameIsSaved) {
    const cv::Mat frame = testFrame(1280, 720);
    const cv::Mat before = frame.clone();
    setCorners({0, 0, 0, 0, 0, 0, 0, 0});
    velcap::pageOutlineFound = false;
    std::string path = file("none.bmp");
    const std::string log = stdoutOf([&] { EXPECT_EQ(capture(path.data(), 0, 1, frame), 0); });
    EXPECT_NE(log.find("no page outline"), std::string::npos) << log;
    const cv::Mat saved = cv::imread(path);
    ASSERT_EQ(saved.size(), frame.size());
    cv::Mat rgb;
    cv::cvtColor(saved, rgb, cv::COLOR_BGR2RGB);
    EXPECT_EQ(cv::norm(rgb, frame, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(frame, before, cv::NORM_INF), 0);
}

} // namespace
