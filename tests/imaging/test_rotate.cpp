// Quarter, half and free-angle turns.
#include <random>

#include <opencv2/imgproc.hpp>

#include "support/camera_test.h"

namespace {

// Rows of a 3-channel image, one number a pixel (its first channel).
std::vector<std::vector<int>> numbers(const cv::Mat& m) {
    std::vector<std::vector<int>> rows;
    for (int r = 0; r < m.rows; ++r) {
        rows.emplace_back();
        for (int c = 0; c < m.cols; ++c) rows.back().push_back(m.at<cv::Vec3b>(r, c)[0]);
    }
    return rows;
}

cv::Mat numbered2x3() {
    cv::Mat m(2, 3, CV_8UC3);
    for (int i = 0; i < 6; ++i) m.at<cv::Vec3b>(i / 3, i % 3) = cv::Vec3b(uint8_t(i + 1), uint8_t(i + 11), 0);
    return m;
}

cv::Mat randomImage(int rows, int cols, unsigned seed) {
    cv::Mat m(rows, cols, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(m, cv::RNG::UNIFORM, 0, 256);
    return m;
}

class Rotation : public ::testing::Test {
protected:
    void TearDown() override { roimage.release(); }
};

using Rows = std::vector<std::vector<int>>;

TEST_F(Rotation, QuarterAndHalfTurnsOfASmallImage) {
    roimage.create(3, 2, CV_8UC3);
    CamdataRote90(numbered2x3());
    EXPECT_EQ(numbers(roimage), (Rows{{4, 1}, {5, 2}, {6, 3}}));
    EXPECT_EQ(roimage.at<cv::Vec3b>(0, 0)[1], 14) << "all channels move together";
    CamdataRote270(numbered2x3());
    EXPECT_EQ(numbers(roimage), (Rows{{3, 6}, {2, 5}, {1, 4}}));

    cv::Mat own = numbered2x3();
    cv::Mat turned = CamdataRote180(own);
    EXPECT_EQ(numbers(turned), (Rows{{6, 5, 4}, {3, 2, 1}}));
    EXPECT_EQ(numbers(own), (Rows{{6, 5, 4}, {3, 2, 1}})) << "the half turn is done in the caller's buffer";
    EXPECT_EQ(turned.data, own.data);
}

TEST_F(Rotation, QuarterTurnsWithoutAFrameImageDoNothing) {
    cv::Mat src = numbered2x3();
    CamdataRote90(src);
    CamdataRote270(src);
    EXPECT_TRUE(roimage.empty());
    EXPECT_EQ(numbers(src), (Rows{{1, 2, 3}, {4, 5, 6}}));
}

TEST_F(Rotation, QuarterTurnsOfLargeFramesMatchOpenCv) {
    for (auto [rows, cols] : {std::pair{2448, 3264}, {1080, 1920}, {481, 643}, {1, 7}, {17, 1}}) {
        cv::Mat src = randomImage(rows, cols, unsigned(rows * 31 + cols));
        const cv::Mat before = src.clone();
        roimage.create(cols, rows, CV_8UC3);
        const uchar* buffer = roimage.data;
        cv::Mat expected;
        // The reference: a transpose, then a mirror.
        CamdataRote90(src);
        cv::transpose(src, expected);
        cv::flip(expected, expected, 1);
        EXPECT_EQ(cv::norm(roimage, expected, cv::NORM_INF), 0) << rows << "x" << cols;
        CamdataRote270(src);
        cv::transpose(src, expected);
        cv::flip(expected, expected, 0);
        EXPECT_EQ(cv::norm(roimage, expected, cv::NORM_INF), 0) << rows << "x" << cols;
        EXPECT_EQ(roimage.data, buffer) << "the frame image is written in place";
        EXPECT_EQ(cv::norm(src, before, cv::NORM_INF), 0) << "the source is left alone";
        cv::Mat half = CamdataRote180(src);
        cv::rotate(before, expected, cv::ROTATE_180);
        EXPECT_EQ(cv::norm(half, expected, cv::NORM_INF), 0);
    }
}

TEST_F(Rotation, FreeAngleTurnEnlargesTheCanvas) {
    cv::Mat src(50, 100, CV_8UC3, cv::Scalar(200, 200, 200));
    cv::Mat same = rotateImage(src, 0);
    EXPECT_EQ(same.size(), src.size());
    EXPECT_EQ(cv::norm(same, src, cv::NORM_INF), 0);

    cv::Mat turned = rotateImage(src, 30);
    EXPECT_EQ(turned.cols, 111);
    EXPECT_EQ(turned.rows, 93);
    for (cv::Point corner : {cv::Point(0, 0), cv::Point(110, 0), cv::Point(0, 92), cv::Point(110, 92)})
        EXPECT_EQ(turned.at<cv::Vec3b>(corner), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(turned.at<cv::Vec3b>(46, 55), cv::Vec3b(200, 200, 200));
    EXPECT_EQ(rotateImage(src, -30).size(), turned.size());

    // Clockwise: a mark right of the centre moves down.
    cv::Mat marked(101, 101, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::circle(marked, cv::Point(90, 50), 3, cv::Scalar(255, 255, 255), cv::FILLED);
    cv::Mat cw = rotateImage(marked, 90);
    cv::Point location;
    cv::Mat grey;
    cv::cvtColor(cw, grey, cv::COLOR_RGB2GRAY);
    cv::minMaxLoc(grey, nullptr, nullptr, nullptr, &location);
    EXPECT_NEAR(location.x, 50, 4);
    EXPECT_NEAR(location.y, 90, 4);
    cv::cvtColor(rotateImage(marked, -90), grey, cv::COLOR_RGB2GRAY);
    cv::minMaxLoc(grey, nullptr, nullptr, nullptr, &location);
    EXPECT_NEAR(location.y, 10, 4);
}

} // namespace
