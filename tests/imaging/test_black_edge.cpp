// Black-edge removal, its gamma curve, and background whitening.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/camera_test.h"

using velcap::test::stdoutOf;

namespace {

int whitePixels(const cv::Mat& bgr) {
    cv::Mat white;
    cv::inRange(bgr, cv::Scalar(255, 255, 255), cv::Scalar(255, 255, 255), white);
    return cv::countNonZero(white);
}

TEST(Gamma, TableAndChannels) {
    cv::Mat grey = (cv::Mat_<uchar>(1, 9) << 0, 1, 10, 30, 50, 100, 128, 200, 255), out;
    const cv::Mat before = grey.clone();
    GammaCorrection(grey, out, 0.4f);
    EXPECT_EQ(std::vector<uchar>(out.begin<uchar>(), out.end<uchar>()),
              (std::vector<uchar>{0, 28, 70, 108, 133, 175, 194, 231, 255}));
    EXPECT_EQ(cv::norm(grey, before, cv::NORM_INF), 0);
    cv::Mat four(2, 2, CV_8UC4, cv::Scalar(10, 20, 30, 40)), copy;
    GammaCorrection(four, copy, 0.4f);
    EXPECT_EQ(cv::norm(four, copy, cv::NORM_INF), 0);
    EXPECT_NE(copy.data, four.data);
}

TEST(BlackEdge, AllBlackTurnsWhite) {
    cv::Mat image(300, 400, CV_8UC3, cv::Scalar(0, 0, 0));
    FN_DeleteBlackEdge(image);
    EXPECT_EQ(whitePixels(image), 300 * 400);
    cv::Mat black(300, 400, CV_8UC3, cv::Scalar(0, 0, 0)); // outlives its IplImage header
    IplImage ipl = cvIplImage(black);
    IplImage* mask = FillBlackEdgeToWhite(&ipl);
    ASSERT_NE(mask, nullptr);
    EXPECT_EQ(cv::countNonZero(cv::cvarrToMat(mask)), 300 * 400);
    cvReleaseImage(&mask);
}

TEST(BlackEdge, SmallPageIsNoPage) {
    cv::Mat image(100, 100, CV_8UC3, cv::Scalar(0, 0, 0));
    image(cv::Rect(25, 25, 50, 50)).setTo(cv::Scalar(255, 255, 255));
    FN_DeleteBlackEdge(image);
    EXPECT_EQ(whitePixels(image), 100 * 100);
}

TEST(BlackEdge, PageEverywhereGetsAThreePixelFrame) {
    cv::Mat image(400, 500, CV_8UC3, cv::Scalar(100, 100, 100));
    FN_DeleteBlackEdge(image);
    cv::Mat inner = image(cv::Rect(3, 3, 494, 394));
    EXPECT_EQ(whitePixels(inner), 0);
    EXPECT_EQ(whitePixels(image), 400 * 500 - 494 * 394);
}

TEST(BlackEdge, DarkMarginAroundALargePage) {
    cv::Mat image(600, 800, CV_8UC3, cv::Scalar(10, 10, 10));
    const cv::Rect page(150, 100, 500, 400);
    image(page).setTo(cv::Scalar(230, 230, 230));
    cv::putText(image, "text", cv::Point(250, 300), cv::FONT_HERSHEY_SIMPLEX, 3, cv::Scalar(20, 20, 20), 8);
    const cv::Mat before = image.clone();
    FN_DeleteBlackEdge(image);
    cv::Mat outside = cv::Mat::ones(image.size(), CV_8UC1) * 255;
    outside(page).setTo(0);
    cv::Mat white;
    cv::inRange(image, cv::Scalar(255, 255, 255), cv::Scalar(255, 255, 255), white);
    EXPECT_EQ(cv::countNonZero(outside & ~white), 0) << "the margin is white";
    const cv::Rect inside(page.x + 6, page.y + 6, page.width - 12, page.height - 12);
    EXPECT_EQ(cv::norm(image(inside), before(inside), cv::NORM_INF), 0) << "the page is untouched";
}

TEST(BlackEdge, RedImageMaskHasAThreePixelFrame) {
    cv::Mat red(300, 300, CV_8UC3, cv::Scalar(0, 0, 255));
    const cv::Mat before = red.clone();
    IplImage ipl = cvIplImage(red);
    IplImage* mask = FillBlackEdgeToWhite(&ipl);
    ASSERT_NE(mask, nullptr);
    cv::Mat m = cv::cvarrToMat(mask);
    EXPECT_EQ(cv::countNonZero(m(cv::Rect(3, 3, 294, 294))), 0);
    EXPECT_EQ(cv::countNonZero(m), 300 * 300 - 294 * 294);
    EXPECT_EQ(cv::norm(red, before, cv::NORM_INF), 0);
    cvReleaseImage(&mask);
}

TEST(BlackEdge, BadInputIsRefused) {
    std::string out = stdoutOf([] {
        FN_DeleteBlackEdge(cv::Mat());
        FN_DeleteBlackEdge(cv::Mat(10, 10, CV_8UC1, cv::Scalar(0)));
        FN_DeleteBackcolor(cv::Mat(10, 10, CV_16UC3));
        cv::Mat greyImage(10, 10, CV_8UC1, cv::Scalar(0));
        IplImage grey = cvIplImage(greyImage);
        EXPECT_EQ(FillBlackEdgeToWhite(&grey), nullptr);
        EXPECT_EQ(FillBlackEdgeToWhite(nullptr), nullptr);
        char missing[] = "/nonexistent/page.jpg";
        FN_DeleteBlackEdgeEx(missing);
        FN_DeleteBlackEdgeEx2(missing);
    });
    EXPECT_NE(out.find("FN_DeleteBlackEdge: needs a non-empty 8-bit 3-channel image, got 10x10 of type 0"),
              std::string::npos);
    EXPECT_NE(out.find("FN_DeleteBlackEdgeEx: cannot read /nonexistent/page.jpg; left alone"), std::string::npos);
    EXPECT_NE(out.find("FN_DeleteBlackEdgeEx2: cannot read"), std::string::npos);
}

TEST(BlackEdge, FilesAreWrittenBack) {
    const std::string path = testing::TempDir() + "/velcap-black-edge.png";
    cv::Mat image(400, 500, CV_8UC3, cv::Scalar(5, 5, 5));
    image(cv::Rect(100, 80, 300, 240)).setTo(cv::Scalar(220, 220, 220));
    for (auto variant : {FN_DeleteBlackEdgeEx, FN_DeleteBlackEdgeEx2}) {
        ASSERT_TRUE(cv::imwrite(path, image));
        std::vector<char> name(path.begin(), path.end());
        name.push_back(0);
        variant(name.data());
        cv::Mat result = cv::imread(path);
        EXPECT_EQ(result.at<cv::Vec3b>(10, 10), cv::Vec3b(255, 255, 255));
        EXPECT_EQ(result.at<cv::Vec3b>(200, 250), cv::Vec3b(220, 220, 220));
    }
}

TEST(Backcolor, ColourCases) {
    for (int level : {30, 200}) {
        cv::Mat flat(300, 300, CV_8UC3, cv::Scalar(level, level, level));
        FN_DeleteBackcolor(flat);
        EXPECT_EQ(whitePixels(flat), 300 * 300) << level;
    }
    cv::Mat red(300, 300, CV_8UC3, cv::Scalar(40, 40, 200));
    FN_DeleteBackcolor(red);
    EXPECT_EQ(red.at<cv::Vec3b>(150, 150), cv::Vec3b(20, 20, 255));
    cv::Mat blue(300, 300, CV_8UC3, cv::Scalar(200, 40, 40));
    FN_DeleteBackcolor(blue);
    EXPECT_EQ(blue.at<cv::Vec3b>(150, 150), cv::Vec3b(255, 60, 60));
    EXPECT_EQ(blue.at<cv::Vec3b>(1, 150), cv::Vec3b(255, 255, 255)) << "the margin is white";

    // A grey stroke on paper stays exactly as it was.
    cv::Mat paper(400, 400, CV_8UC3, cv::Scalar(235, 235, 235));
    cv::line(paper, cv::Point(50, 200), cv::Point(350, 200), cv::Scalar(60, 60, 60), 4);
    const cv::Mat before = paper.clone();
    FN_DeleteBackcolor(paper);
    EXPECT_EQ(paper.at<cv::Vec3b>(200, 200), before.at<cv::Vec3b>(200, 200));
    EXPECT_EQ(paper.at<cv::Vec3b>(100, 200), cv::Vec3b(255, 255, 255));
}

} // namespace
