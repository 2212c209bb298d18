// The document filters as first written: plain loops, one step after the
// other. The library's faster versions must give the same bytes.
#pragma once

#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace reference {

inline bool coloured(const uint8_t* p) {
    const int mean = (p[0] + p[1] + p[2]) / 3;
    return std::abs(mean - p[0]) > 30 || std::abs(mean - p[1]) > 30 || std::abs(mean - p[2]) > 30;
}

inline cv::Mat gamma(const cv::Mat& src, float g) {
    cv::Mat table(1, 256, CV_8UC1);
    for (int i = 0; i < 256; ++i) {
        const float q = float(i / 255.0);
        table.at<uint8_t>(i) = cv::saturate_cast<uint8_t>(std::nearbyint(std::pow(q, g) * 255.0f));
    }
    cv::Mat copy = src.clone();
    cv::LUT(copy, table, copy);
    return copy;
}

inline cv::Mat otsu(const cv::Mat& colour) {
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_RGB2GRAY);
    cv::threshold(grey, grey, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    return grey;
}

inline cv::Mat scanImage(cv::Mat page) {
    page.row(0).setTo(0);
    page.row(page.rows - 1).setTo(0);
    page.col(0).setTo(0);
    page.col(page.cols - 1).setTo(0);
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(page, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    cv::Mat scan = cv::Mat::zeros(page.size(), CV_8UC1);
    size_t first = contours.size();
    for (size_t i = 0; i < contours.size(); ++i)
        if (int(std::fabs(cv::contourArea(contours[i]))) > 30000) {
            first = i;
            break;
        }
    for (size_t i = first; i < contours.size(); ++i)
        cv::drawContours(scan, contours, int(i), cv::Scalar(255), 2, cv::LINE_8);
    return scan;
}

inline int marginOf(const uint8_t* hits, int length, ptrdiff_t step, bool forward) {
    int run = 0, last = 0, start = 0;
    for (int k = 0; k < length; ++k) {
        const int x = forward ? k : length - 1 - k;
        if (!hits[x * step]) continue;
        if (std::abs(x - last) == 1) {
            ++run;
        } else {
            run = 0;
            start = x;
        }
        last = x;
        if (run > 1) return forward ? start + 3 : length - (start - 3) - 1;
    }
    return length;
}

inline cv::Mat marginMask(const cv::Mat& page, const cv::Mat& colour, bool colouredStops) {
    cv::Mat hits = scanImage(page);
    if (colouredStops)
        for (int y = 0; y < colour.rows; ++y)
            for (int x = 0; x < colour.cols; ++x)
                if (coloured(colour.ptr<uint8_t>(y) + 3 * x)) hits.at<uint8_t>(y, x) = 255;
    const int w = hits.cols, h = hits.rows;
    cv::Mat mask = cv::Mat::zeros(hits.size(), CV_8UC1);
    for (int y = 0; y < h; ++y) {
        const int left = marginOf(hits.ptr<uint8_t>(y), w, 1, true);
        const int right = marginOf(hits.ptr<uint8_t>(y), w, 1, false);
        for (int x = 0; x < w; ++x)
            if (x < left || x >= w - right) mask.at<uint8_t>(y, x) = 255;
    }
    for (int x = 0; x < w; ++x) {
        const int top = marginOf(hits.ptr<uint8_t>(0) + x, h, ptrdiff_t(hits.step), true);
        const int bottom = marginOf(hits.ptr<uint8_t>(0) + x, h, ptrdiff_t(hits.step), false);
        for (int y = 0; y < h; ++y)
            if (y < top || y >= h - bottom) mask.at<uint8_t>(y, x) = 255;
    }
    return mask;
}

inline void deleteBlackEdge(cv::Mat img) {
    cv::Mat copy = img.clone();
    for (int y = 0; y < copy.rows; ++y)
        for (int x = 0; x < copy.cols; ++x) {
            uint8_t* p = copy.ptr<uint8_t>(y) + 3 * x;
            if ((p[0] + p[1] + p[2]) / 3 > 30) p[0] = p[1] = p[2] = 128;
        }
    img.setTo(cv::Scalar(255, 255, 255), marginMask(otsu(gamma(copy, 0.4f)), img, false));
}

inline void deleteBackcolor(cv::Mat img) {
    cv::Mat paper;
    cv::cvtColor(img, paper, cv::COLOR_RGB2GRAY);
    cv::adaptiveThreshold(paper, paper, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, 179, 19);
    const cv::Mat margin = marginMask(otsu(gamma(img, 0.4f)), img, true);
    const cv::Mat kernel = (cv::Mat_<float>(3, 3) << 0, -2, 0, 0, 5, 0, 0, -1.5f, 0);
    cv::Mat sharp;
    cv::filter2D(img, sharp, CV_8U, kernel, cv::Point(-1, -1), 0, cv::BORDER_DEFAULT);
    for (int y = 0; y < img.rows; ++y)
        for (int x = 0; x < img.cols; ++x) {
            uint8_t* s = img.ptr<uint8_t>(y) + 3 * x;
            const uint8_t* p = sharp.ptr<uint8_t>(y) + 3 * x;
            if (margin.at<uint8_t>(y, x) == 255) {
                s[0] = s[1] = s[2] = 255;
            } else if (coloured(p)) {
                const bool red = p[2] - p[1] > 80 || p[2] - p[0] > 80;
                s[0] = red ? uint8_t(std::max(p[0] - 40, 0)) : p[0];
                s[1] = red ? uint8_t(std::max(p[1] - 40, 0)) : p[1];
                s[2] = red ? uint8_t(std::min(p[2] + 80, 255)) : p[2];
            } else if (paper.at<uint8_t>(y, x) == 255) {
                s[0] = s[1] = s[2] = 255;
            }
        }
}

} // namespace reference
