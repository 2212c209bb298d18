// Black-edge removal: everything between the image border and the page
// outline turns white.
#include "black_edge.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "../state.h"

namespace velcap {

namespace {

constexpr double kOutlineArea = 30000;
constexpr float kGamma = 0.4f;

cv::Mat otsu(const cv::Mat& colour) {
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_RGB2GRAY);
    cv::threshold(grey, grey, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    return grey;
}

// The page outlines: from the first outer contour larger than the limit on,
// every contour is drawn 2 pixels wide. The outermost rows and columns of the
// page image count as background, as the contour finder makes them.
cv::Mat scanImage(cv::Mat page) {
    page.row(0).setTo(0);
    page.row(page.rows - 1).setTo(0);
    page.col(0).setTo(0);
    page.col(page.cols - 1).setTo(0);
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(page, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    cv::Mat scan = cv::Mat::zeros(page.size(), CV_8UC1);
    size_t first = contours.size();
    for (size_t i = 0; i < contours.size(); ++i)
        if (int(std::fabs(cv::contourArea(contours[i]))) > kOutlineArea) {
            first = i;
            break;
        }
    for (size_t i = first; i < contours.size(); ++i)
        cv::drawContours(scan, contours, int(i), cv::Scalar(255), 2, cv::LINE_8);
    return scan;
}

// One margin scan over a line of hits, from its start (forward) or its end.
// Returns how many pixels from that end are margin: the whole line when it
// never meets three adjacent hits.
int marginOf(const uint8_t* hits, int length, ptrdiff_t step, bool forward) {
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

} // namespace

bool isColourImage(const cv::Mat& image, const char* caller) {
    if (image.empty() || image.type() != CV_8UC3) {
        std::printf("%s: needs a non-empty 8-bit 3-channel image, got %dx%d of type %d\n", caller, image.cols,
                    image.rows, image.type());
        return false;
    }
    return true;
}

cv::Mat recolouredPageImage(const cv::Mat& image) {
    cv::Mat copy = image.clone();
    for (int y = 0; y < copy.rows; ++y) {
        uint8_t* p = copy.ptr<uint8_t>(y);
        for (int x = 0; x < copy.cols; ++x, p += 3)
            if ((p[0] + p[1] + p[2]) / 3 > 30) p[0] = p[1] = p[2] = 128;
    }
    cv::Mat bright;
    GammaCorrection(copy, bright, kGamma);
    return otsu(bright);
}

cv::Mat gammaPageImage(const cv::Mat& image) {
    cv::Mat source = image, bright;
    GammaCorrection(source, bright, kGamma);
    return otsu(bright);
}

cv::Mat plainPageImage(const cv::Mat& image) {
    return otsu(image);
}

cv::Mat marginMask(const cv::Mat& page, const cv::Mat& colour, bool colouredStops) {
    cv::Mat hits = scanImage(page);
    if (colouredStops)
        for (int y = 0; y < colour.rows; ++y) {
            const uint8_t* p = colour.ptr<uint8_t>(y);
            uint8_t* h = hits.ptr<uint8_t>(y);
            for (int x = 0; x < colour.cols; ++x, p += 3)
                if (coloured(p)) h[x] = 255;
        }
    const int w = hits.cols, h = hits.rows;
    cv::Mat mask = cv::Mat::zeros(hits.size(), CV_8UC1);
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = hits.ptr<uint8_t>(y);
        uint8_t* out = mask.ptr<uint8_t>(y);
        const int left = marginOf(row, w, 1, true), right = marginOf(row, w, 1, false);
        std::fill(out, out + std::min(left, w), 255);
        std::fill(out + std::max(0, w - right), out + w, 255);
    }
    // Columns as rows of the transposed hits, so that every scan reads memory in order.
    cv::Mat columns;
    cv::transpose(hits, columns);
    for (int x = 0; x < w; ++x) {
        const uint8_t* column = columns.ptr<uint8_t>(x);
        const int top = marginOf(column, h, 1, true), bottom = marginOf(column, h, 1, false);
        for (int y = 0; y < std::min(top, h); ++y) mask.at<uint8_t>(y, x) = 255;
        for (int y = std::max(0, h - bottom); y < h; ++y) mask.at<uint8_t>(y, x) = 255;
    }
    return mask;
}

} // namespace velcap

void GammaCorrection(cv::Mat& src, cv::Mat& dst, float gamma) {
    cv::Mat table(1, 256, CV_8UC1);
    for (int i = 0; i < 256; ++i) {
        const float q = float(i / 255.0);
        const float v = std::pow(q, gamma) * 255.0f;
        table.at<uint8_t>(i) = cv::saturate_cast<uint8_t>(std::nearbyint(v));
    }
    cv::Mat copy = src.clone();
    if (copy.depth() == CV_8U && (copy.channels() == 1 || copy.channels() == 3)) cv::LUT(copy, table, copy);
    dst = copy;
}

void FN_DeleteBlackEdge(cv::Mat img) {
    if (!velcap::isColourImage(img, "FN_DeleteBlackEdge")) return;
    img.setTo(cv::Scalar(255, 255, 255), velcap::marginMask(velcap::recolouredPageImage(img), img, false));
}

void FN_DeleteBlackEdgeEx(char* path) {
    cv::Mat image = path ? cv::imread(path, cv::IMREAD_COLOR) : cv::Mat();
    if (image.empty()) {
        std::printf("FN_DeleteBlackEdgeEx: cannot read %s; left alone\n", path ? path : "(null)");
        return;
    }
    FN_DeleteBlackEdge(image);
    if (!cv::imwrite(path, image)) std::printf("FN_DeleteBlackEdgeEx: cannot write %s\n", path);
}

void FN_DeleteBlackEdgeEx2(char* path) {
    cv::Mat image = path ? cv::imread(path, cv::IMREAD_COLOR) : cv::Mat();
    if (image.empty()) {
        std::printf("FN_DeleteBlackEdgeEx2: cannot read %s; left alone\n", path ? path : "(null)");
        return;
    }
    image.setTo(cv::Scalar(255, 255, 255), velcap::marginMask(velcap::plainPageImage(image), image, false));
    if (!cv::imwrite(path, image)) std::printf("FN_DeleteBlackEdgeEx2: cannot write %s\n", path);
}

IplImage* FillBlackEdgeToWhite(IplImage* img) {
    if (!img) return nullptr;
    const cv::Mat image = cv::cvarrToMat(img);
    if (!velcap::isColourImage(image, "FillBlackEdgeToWhite")) return nullptr;
    const cv::Mat mask = velcap::marginMask(velcap::gammaPageImage(image), image, true);
    IplImage* out = cvCreateImage(cvSize(mask.cols, mask.rows), IPL_DEPTH_8U, 1);
    cv::Mat view = cv::cvarrToMat(out);
    mask.copyTo(view);
    return out;
}
