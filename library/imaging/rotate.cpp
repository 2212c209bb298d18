// Quarter and half turns of the frame, and free-angle turns on an enlarged canvas.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "rotate.h"

namespace {

// A quarter turn in one pass, in place of a transpose followed by a mirror.
// Clockwise, dst(i, j) = src(H - 1 - j, i); counter-clockwise, dst(i, j) =
// src(j, W - 1 - i). The source is walked in bands of rows whose current cache
// lines stay in the first-level cache while every destination row takes its
// run of the band: contiguous writes, reads from lines already loaded. Pixels
// move as 4-byte words whose fourth byte the next pixel overwrites; the last
// pixel of a destination row, and the last pixel of the source, move as 3 bytes.
void turnInOnePass(const cv::Mat& src, cv::Mat& dst, bool clockwise) {
    constexpr int kBand = 64;
    const int h = src.rows, w = src.cols;
    dst.create(w, h, src.type());
    const ptrdiff_t rowStep = clockwise ? -ptrdiff_t(src.step) : ptrdiff_t(src.step);
    for (int j0 = 0; j0 < h; j0 += kBand) {
        const int j1 = std::min(h, j0 + kBand);
        const uint8_t* bandStart = src.ptr<uint8_t>(clockwise ? h - 1 - j0 : j0);
        const int count = j1 - j0;
        const int words = j1 == h ? count - 1 : count;
        int lastLine = -1;
        for (int i = 0; i < w; ++i) {
            const int column = clockwise ? i : w - 1 - i;
            const uint8_t* in = bandStart + column * 3;
            uint8_t* out = dst.ptr<uint8_t>(i) + size_t(j0) * 3;
            // On entering a new cache line of the band rows, fetch the one after it.
            if (const int line = (column * 3) >> 6; line != lastLine) {
                lastLine = line;
                const uint8_t* ahead = in + (clockwise ? 64 : -64);
                for (int k = 0; k < count; ++k, ahead += rowStep) __builtin_prefetch(ahead);
            }
            int j = 0;
            // Clockwise, the source's last pixel is the first of the first band's last row.
            if (clockwise && j0 == 0 && column == w - 1) {
                std::memcpy(out, in, 3);
                j = 1, in += rowStep, out += 3;
            }
            for (; j < words; ++j, in += rowStep, out += 3) std::memcpy(out, in, 4);
            for (; j < count; ++j, in += rowStep, out += 3) std::memcpy(out, in, 3);
        }
    }
}

} // namespace

namespace velcap {

void quarterTurn(const cv::Mat& src, cv::Mat& dst, bool clockwise) {
    if (src.type() == CV_8UC3 && src.data != dst.data && !src.empty()) return turnInOnePass(src, dst, clockwise);
    cv::transpose(src, dst);
    cv::flip(dst, dst, clockwise ? 1 : 0);
}

cv::Mat rotated(const cv::Mat& src, float angle) {
    if (src.empty() || !std::isfinite(angle)) return {};
    const float a = -angle; // the rotation matrix turns counter-clockwise for positive angles
    const double r = 3.141592653589793 * double(a) / 180.0;
    const double s = std::sin(r);
    const double c = std::cos(r);
    const int w = src.cols;
    const int h = src.rows;
    const int newWidth = static_cast<int>(w * std::fabs(c) + h * std::fabs(s));
    const int newHeight = static_cast<int>(w * std::fabs(s) + h * std::fabs(c));

    cv::Mat matrix;
    cv::getRotationMatrix2D(cv::Point2f(float(w / 2), float(h / 2)), double(a), 1.0).convertTo(matrix, CV_32FC1);
    matrix.at<float>(0, 2) += float((newWidth - w) / 2);
    matrix.at<float>(1, 2) += float((newHeight - h) / 2);

    cv::Mat result;
    cv::warpAffine(src, result, matrix, cv::Size(newWidth, newHeight), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar(0));
    return result;
}

} // namespace velcap
