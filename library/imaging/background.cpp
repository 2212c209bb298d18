// Background whitening: the paper turns white, writing stays, red marks
// are pushed towards pure red.
#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "../state.h"
#include "black_edge.h"

void FN_DeleteBackcolor(cv::Mat img) {
    if (!velcap::isColourImage(img, "FN_DeleteBackcolor")) return;
    cv::Mat paper;
    cv::cvtColor(img, paper, cv::COLOR_RGB2GRAY);
    cv::adaptiveThreshold(paper, paper, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, 179, 19);
    const cv::Mat margin = velcap::marginMask(velcap::gammaPageImage(img), img, true);
    // A vertical sharpening, heavier above than below.
    const cv::Mat kernel = (cv::Mat_<float>(3, 3) << 0, -2, 0, 0, 5, 0, 0, -1.5f, 0);
    cv::Mat sharp;
    cv::filter2D(img, sharp, CV_8U, kernel, cv::Point(-1, -1), 0, cv::BORDER_DEFAULT);

    for (int y = 0; y < img.rows; ++y) {
        uint8_t* s = img.ptr<uint8_t>(y);
        const uint8_t* t = paper.ptr<uint8_t>(y);
        const uint8_t* m = margin.ptr<uint8_t>(y);
        const uint8_t* p = sharp.ptr<uint8_t>(y);
        for (int x = 0; x < img.cols; ++x, s += 3, p += 3) {
            if (m[x] == 255) {
                s[0] = s[1] = s[2] = 255;
            } else if (velcap::coloured(p)) {
                const bool red = p[2] - p[1] > 80 || p[2] - p[0] > 80;
                s[0] = red ? uint8_t(std::max(p[0] - 40, 0)) : p[0];
                s[1] = red ? uint8_t(std::max(p[1] - 40, 0)) : p[1];
                s[2] = red ? uint8_t(std::min(p[2] + 80, 255)) : p[2];
            } else if (t[x] == 255) {
                s[0] = s[1] = s[2] = 255;
            }
        }
    }
}
