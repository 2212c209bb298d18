// The document filters give the same bytes as their plain versions, on
// camera pictures, on noise, on coloured marks and on the smallest sizes.
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "filters_reference.h"
#include "scene.h"
#include "velcap.h"

namespace {

std::vector<std::pair<std::string, cv::Mat>> pictures() {
    std::vector<std::pair<std::string, cv::Mat>> out;
    for (cv::Size size : {cv::Size(1920, 1080), cv::Size(3264, 2448), cv::Size(1081, 767)}) {
        cv::Mat scene = vcam::renderScene(unsigned(size.width), unsigned(size.height)), bgr;
        cv::cvtColor(scene, bgr, cv::COLOR_RGB2BGR);
        // Red and blue marks, and a dark wedge over one corner.
        cv::circle(bgr, cv::Point(size.width / 2, size.height / 2), size.height / 10, cv::Scalar(30, 30, 220), 5);
        cv::line(bgr, cv::Point(size.width / 3, size.height / 3), cv::Point(size.width / 2, size.height / 4),
                 cv::Scalar(200, 60, 20), 3);
        const cv::Point wedge[3] = {{0, 0}, {size.width / 4, 0}, {0, size.height / 5}};
        cv::fillConvexPoly(bgr, wedge, 3, cv::Scalar(5, 5, 5));
        out.emplace_back("scene " + std::to_string(size.width), bgr);
    }
    cv::RNG random(12345);
    for (cv::Size size : {cv::Size(640, 480), cv::Size(1, 1), cv::Size(1, 7), cv::Size(9, 1), cv::Size(2, 2),
                          cv::Size(3, 3), cv::Size(17, 33)}) {
        cv::Mat noise(size, CV_8UC3);
        random.fill(noise, cv::RNG::UNIFORM, 0, 256);
        out.emplace_back("noise " + std::to_string(size.width) + "x" + std::to_string(size.height), noise);
    }
    // Sparse coloured dots and short runs: every pattern the margin scans can meet.
    for (int density : {2, 20}) {
        cv::Mat dots(240, 333, CV_8UC3, cv::Scalar(120, 120, 120));
        for (int i = 0; i < int(dots.total()) * density / 1000; ++i) {
            const int x = random.uniform(0, dots.cols - 3), y = random.uniform(0, dots.rows - 3);
            const int length = random.uniform(1, 4);
            const bool across = random.uniform(0, 2) == 0;
            for (int k = 0; k < length; ++k)
                dots.at<cv::Vec3b>(y + (across ? 0 : k), x + (across ? k : 0)) = cv::Vec3b(20, 40, 230);
        }
        out.emplace_back("dots " + std::to_string(density), dots);
    }
    out.emplace_back("black", cv::Mat(300, 200, CV_8UC3, cv::Scalar::all(0)));
    out.emplace_back("white", cv::Mat(300, 200, CV_8UC3, cv::Scalar::all(255)));
    cv::Mat page(600, 400, CV_8UC3, cv::Scalar(20, 20, 20));
    cv::rectangle(page, cv::Rect(40, 30, 320, 540), cv::Scalar(235, 240, 238), cv::FILLED);
    cv::putText(page, "velcap", cv::Point(80, 300), cv::FONT_HERSHEY_SIMPLEX, 2, cv::Scalar(10, 10, 10), 4);
    out.emplace_back("page", page);
    return out;
}

TEST(FastFilters, SameBytesAsThePlainVersions) {
    for (const auto& [name, picture] : pictures()) {
        cv::Mat fast = picture.clone(), plain = picture.clone();
        FN_DeleteBackcolor(fast);
        reference::deleteBackcolor(plain);
        EXPECT_EQ(cv::norm(fast, plain, cv::NORM_INF), 0) << "background, " << name;

        fast = picture.clone();
        plain = picture.clone();
        FN_DeleteBlackEdge(fast);
        reference::deleteBlackEdge(plain);
        EXPECT_EQ(cv::norm(fast, plain, cv::NORM_INF), 0) << "black edge, " << name;
    }
}

TEST(FastFilters, AViewIsFilteredInPlaceAndItsSurroundingsStay) {
    cv::Mat whole = pictures().front().second;
    const cv::Mat before = whole.clone();
    const cv::Rect inner(100, 80, 900, 700);
    FN_DeleteBackcolor(whole(inner));
    cv::Mat expected = before(inner).clone();
    reference::deleteBackcolor(expected);
    EXPECT_EQ(cv::norm(whole(inner), expected, cv::NORM_INF), 0);
    whole(inner).setTo(0);
    cv::Mat outside = before.clone();
    outside(inner).setTo(0);
    EXPECT_EQ(cv::norm(whole, outside, cv::NORM_INF), 0);
}

} // namespace
