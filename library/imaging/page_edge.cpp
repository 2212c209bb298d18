// Finding the page on a preview frame, and the skew of its corners.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "../guard.h"
#include "page_edge.h"

namespace {

constexpr int kScale = 4;
constexpr int kMinimumArea = 400; // in the quarter-size image

// v = 0.7 (127 - background) + grey, truncated and clamped: the local
// background taken away, so that the page stands out under any light.
const std::array<uint8_t, 256 * 256>& normalisationTable() {
    static const auto table = [] {
        std::array<uint8_t, 256 * 256> t{};
        for (int b = 0; b < 256; ++b)
            for (int g = 0; g < 256; ++g) {
                const double v = double(0.7f) * (127.0 - b) + g;
                t[size_t(b) * 256 + size_t(g)] = uint8_t(std::clamp(int(v), 0, 255));
            }
        return t;
    }();
    return table;
}

// The corners of a box in the order the page outline keeps: the lowest corner
// on screen first (of two equally low, the right one), then clockwise.
std::array<cv::Point2f, 4> orderedCorners(const cv::RotatedRect& box) {
    cv::Point2f p[4];
    box.points(p);
    int first = 0;
    for (int i = 1; i < 4; ++i) {
        const bool lower = p[i].y > p[first].y + 1e-3f;
        const bool asLowMoreRight = std::fabs(p[i].y - p[first].y) <= 1e-3f && p[i].x > p[first].x;
        if (lower || asLowMoreRight) first = i;
    }
    // With y pointing down, a growing angle around the centre goes clockwise on screen.
    auto angle = [&](const cv::Point2f& q) {
        double a = std::atan2(q.y - box.center.y, q.x - box.center.x) -
                   std::atan2(p[first].y - box.center.y, p[first].x - box.center.x);
        while (a < 0) a += 2 * CV_PI;
        return a;
    };
    std::array<cv::Point2f, 4> out = {p[0], p[1], p[2], p[3]};
    std::sort(out.begin(), out.end(), [&](const cv::Point2f& a, const cv::Point2f& b) { return angle(a) < angle(b); });
    return out;
}

// Each 4 x 4 block averaged, rounded half to even: what OpenCV's area
// interpolation gives for a whole reduction by 4, in one cheap pass.
void quarterSize(const cv::Mat& frame, cv::Mat& small, std::vector<uint16_t>& sums) {
    if (frame.cols % kScale || frame.rows % kScale) {
        cv::resize(frame, small, cv::Size(frame.cols / kScale, frame.rows / kScale), 0, 0, cv::INTER_AREA);
        return;
    }
    small.create(frame.rows / kScale, frame.cols / kScale, CV_8UC3);
    sums.resize(size_t(frame.cols) * 3);
    for (int y = 0; y < small.rows; ++y) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int k = 0; k < kScale; ++k) {
            // Distinct buffers: the compiler may vectorise the sum.
            const uint8_t* __restrict row = frame.ptr<uint8_t>(y * kScale + k);
            uint16_t* __restrict sum = sums.data();
            const size_t n = sums.size();
            for (size_t i = 0; i < n; ++i) sum[i] = uint16_t(sum[i] + row[i]);
        }
        uint8_t* out = small.ptr<uint8_t>(y);
        const int columns = small.cols; // a byte store could alias the header: read it once
        for (int x = 0; x < columns; ++x) {
            const uint16_t* block = sums.data() + size_t(x) * kScale * 3;
            for (int c = 0; c < 3; ++c) {
                const unsigned sum = unsigned(block[c]) + block[3 + c] + block[6 + c] + block[9 + c];
                unsigned q = sum >> 4;
                const unsigned r = sum & 15;
                if (r > 8 || (r == 8 && (q & 1))) ++q;
                out[x * 3 + c] = uint8_t(q);
            }
        }
    }
}

} // namespace

namespace velcap {

bool findPageOutline(unsigned char* buffer, int width, int height, int mode, PageWorkspace& work) {
    work.anyOutline = false;
    if (!buffer || width < kScale || height < kScale) return false;
    cv::Mat frame(height, width, CV_8UC3, buffer);
    cv::Mat &small = work.small, &grey = work.grey, &background = work.background, &normalised = work.normalised;
    quarterSize(frame, small, work.sums);
    cv::cvtColor(small, grey, cv::COLOR_RGB2GRAY);
    cv::GaussianBlur(grey, background, cv::Size(21, 21), 0, 0, cv::BORDER_REPLICATE);

    const auto& table = normalisationTable();
    normalised.create(grey.size(), CV_8UC1);
    for (int y = 0; y < grey.rows; ++y) {
        const uint8_t* g = grey.ptr<uint8_t>(y);
        const uint8_t* b = background.ptr<uint8_t>(y);
        uint8_t* out = normalised.ptr<uint8_t>(y);
        const int columns = grey.cols;
        for (int x = 0; x < columns; ++x) out[x] = table[size_t(b[x]) * 256 + g[x]];
    }
    cv::threshold(normalised, normalised, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);

    auto& contours = work.contours;
    cv::findContours(normalised, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    if (contours.empty()) return false;
    work.anyOutline = true;

    // The lists keep their nodes from frame to frame: resizing them reuses
    // what is there, and the contours are swapped in rather than copied.
    work.areas.clear();
    for (const auto& contour : contours) work.areas.push_back(int(std::fabs(cv::contourArea(contour))));
    const size_t kept =
        size_t(std::count_if(work.areas.begin(), work.areas.end(), [](int a) { return a > kMinimumArea; }));
    auto& areaList = work.areaList;
    auto& cvSeqList = work.contourList;
    areaList.resize(kept);
    cvSeqList.resize(kept);
    auto keptArea = areaList.begin();
    auto keptContour = cvSeqList.begin();
    for (size_t i = 0; i < contours.size(); ++i)
        if (work.areas[i] > kMinimumArea) {
            *keptArea++ = work.areas[i];
            (keptContour++)->swap(contours[i]);
        }
    if (areaList.empty()) return false;

    // The largest contour; the first of equal ones.
    int largest = 0;
    auto chosen = cvSeqList.begin();
    auto contour = cvSeqList.begin();
    for (auto area = areaList.begin(); area != areaList.end(); ++area, ++contour)
        if (*area > largest) largest = *area, chosen = contour;

    std::array<cv::Point2f, 4> corners = orderedCorners(cv::minAreaRect(*chosen));
    for (int i = 0; i < 4; ++i) {
        corners[i] *= float(kScale);
        work.corners[2 * i] = int(corners[i].x);
        work.corners[2 * i + 1] = int(corners[i].y);
    }
    if (mode == 1)
        for (int i = 0; i < 4; ++i)
            cv::line(frame, cv::Point(cvRound(corners[i].x), cvRound(corners[i].y)),
                     cv::Point(cvRound(corners[(i + 1) % 4].x), cvRound(corners[(i + 1) % 4].y)), cv::Scalar(0, 255, 0),
                     6, cv::LINE_8, 0);
    return true;
}

} // namespace velcap

namespace velcap {

PageCrop pageCrop(const int* c) {
    PageCrop crop;
    if (!c) return crop;
    // In 64 bits: corners anywhere in the int range must not overflow.
    const int64_t xs[4] = {c[0], c[2], c[4], c[6]}, ys[4] = {c[1], c[3], c[5], c[7]};
    const int64_t minX = *std::min_element(xs, xs + 4), maxX = *std::max_element(xs, xs + 4);
    const int64_t minY = *std::min_element(ys, ys + 4), maxY = *std::max_element(ys, ys + 4);
    auto toInt = [](double v) { return int(std::clamp(v, double(INT32_MIN), double(INT32_MAX))); };
    crop.startX = int(minX);
    crop.startY = int(minY);
    crop.width = toInt(double(maxX - minX));
    crop.height = toInt(double(maxY - minY));

    const float dy = float(ys[0] - ys[1]);
    const float dx = float(xs[1] - xs[0]);
    float a = 0;
    if (dx != 0) {
        const float t = std::atan(dy / dx);
        a = float(90.0 + double(180.0f * t) / 3.14);
    }
    const double d01 = double(ys[1] - ys[0]) * double(ys[1] - ys[0]) + double(xs[1] - xs[0]) * double(xs[1] - xs[0]);
    const double d03 = double(ys[3] - ys[0]) * double(ys[3] - ys[0]) + double(xs[3] - xs[0]) * double(xs[3] - xs[0]);
    const int l01 = toInt(std::sqrt(d01)), l03 = toInt(std::sqrt(d03));
    if (a > 45.0f) {
        crop.pageWidth = l01;
        crop.pageHeight = l03;
        crop.angle = float(a + 270.0f);
        return crop;
    }
    crop.pageHeight = l01;
    crop.pageWidth = l03;
    crop.angle = a;
    return crop;
}

} // namespace velcap
