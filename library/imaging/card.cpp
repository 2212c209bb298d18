#include "card.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace velcap {

namespace {

constexpr double kCardAspect = kCardWidthMm / kCardHeightMm; // 1.585
constexpr int kWorkSide = 800;                               // the long side the search works at

double distance(cv::Point2f a, cv::Point2f b) {
    return std::hypot(double(a.x - b.x), double(a.y - b.y));
}

// The four corners clockwise (on screen), starting so that the first side
// is a long one (a card lies landscape) running as nearly rightwards as it
// can: the card as it lay, turned by less than a half turn.
Quad ordered(std::vector<cv::Point2f> points) {
    cv::Point2f centre(0, 0);
    for (const auto& p : points) centre += p * 0.25f;
    std::sort(points.begin(), points.end(), [&](cv::Point2f a, cv::Point2f b) {
        return std::atan2(a.y - centre.y, a.x - centre.x) < std::atan2(b.y - centre.y, b.x - centre.x);
    });
    Quad best{};
    double rightwards = -2;
    for (size_t start = 0; start < 4; ++start) {
        Quad q;
        for (size_t i = 0; i < 4; ++i) q[i] = points[(start + i) % 4];
        const double top = distance(q[0], q[1]);
        if (top < distance(q[1], q[2])) continue;
        const double along = (q[1].x - q[0].x) / std::max(1e-6, top);
        if (along > rightwards) rightwards = along, best = q;
    }
    return best;
}

// How card-like a quadrilateral is: 0 when not at all, else its area.
double cardScore(const Quad& q, double pictureArea) {
    const double top = distance(q[0], q[1]), bottom = distance(q[3], q[2]);
    const double left = distance(q[0], q[3]), right = distance(q[1], q[2]);
    const double aspect = (top + bottom) / std::max(1.0, left + right);
    std::vector<cv::Point2f> contour(q.begin(), q.end());
    const double area = cv::contourArea(contour);
    // Perspective from a camera on a stand is mild; the card fills a part of the desk.
    // An A4 page (1.41) is not a card (1.59).
    if (aspect < kCardAspect * 0.9 || aspect > kCardAspect * 1.1) return 0;
    if (area < pictureArea * 0.01 || area > pictureArea * 0.9) return 0;
    if (!cv::isContourConvex(contour)) return 0;
    return area;
}

// The quadrilateral of a contour: its polygon when that has four corners,
// else the box round it (the corners of a card are rounded).
Quad quadOf(const std::vector<cv::Point>& contour) {
    std::vector<cv::Point> hull;
    cv::convexHull(contour, hull);
    std::vector<cv::Point> polygon;
    cv::approxPolyDP(hull, polygon, 0.02 * cv::arcLength(hull, true), true);
    std::vector<cv::Point2f> points;
    if (polygon.size() == 4) {
        for (const cv::Point& p : polygon) points.emplace_back(p);
    } else {
        cv::Point2f box[4];
        cv::minAreaRect(hull).points(box);
        points.assign(box, box + 4);
    }
    return ordered(points);
}

// Masks of what differs from the desk: by colour from the desk's own colour
// (read off the picture's border), and by edges.
std::vector<cv::Mat> candidates(const cv::Mat& small) {
    std::vector<cv::Mat> masks;
    cv::Mat lab;
    cv::cvtColor(small, lab, cv::COLOR_BGR2Lab);
    cv::GaussianBlur(lab, lab, {5, 5}, 0);
    // The desk: the median of a band along the border.
    const int band = std::max(4, std::min(small.cols, small.rows) / 20);
    std::vector<uchar> channel[3];
    for (int y = 0; y < lab.rows; ++y)
        for (int x = 0; x < lab.cols; ++x)
            if (x < band || y < band || x >= lab.cols - band || y >= lab.rows - band) {
                const cv::Vec3b v = lab.at<cv::Vec3b>(y, x);
                for (int c = 0; c < 3; ++c) channel[c].push_back(v[c]);
            }
    cv::Vec3f desk;
    for (int c = 0; c < 3; ++c) {
        std::nth_element(channel[c].begin(), channel[c].begin() + long(channel[c].size() / 2), channel[c].end());
        desk[c] = channel[c][channel[c].size() / 2];
    }
    cv::Mat difference(lab.size(), CV_8U);
    for (int y = 0; y < lab.rows; ++y)
        for (int x = 0; x < lab.cols; ++x) {
            const cv::Vec3b v = lab.at<cv::Vec3b>(y, x);
            const float d = std::hypot(std::hypot(v[0] - desk[0], v[1] - desk[1]), v[2] - desk[2]);
            difference.at<uchar>(y, x) = cv::saturate_cast<uchar>(d * 3);
        }
    cv::Mat byColour;
    cv::threshold(difference, byColour, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    const cv::Mat round = cv::getStructuringElement(cv::MORPH_ELLIPSE, {9, 9});
    cv::morphologyEx(byColour, byColour, cv::MORPH_CLOSE, round);
    cv::morphologyEx(byColour, byColour, cv::MORPH_OPEN, round);
    masks.push_back(byColour);

    // Edges, closed into outlines, for a card of nearly the desk's colour.
    cv::Mat grey, edges;
    cv::cvtColor(small, grey, cv::COLOR_BGR2GRAY);
    cv::GaussianBlur(grey, grey, {5, 5}, 0);
    cv::Canny(grey, edges, 20, 60);
    cv::dilate(edges, edges, cv::getStructuringElement(cv::MORPH_RECT, {5, 5}));
    cv::Mat filled = cv::Mat::zeros(edges.size(), CV_8U);
    std::vector<std::vector<cv::Point>> outlines;
    cv::findContours(edges, outlines, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    cv::drawContours(filled, outlines, -1, 255, cv::FILLED);
    masks.push_back(filled);
    return masks;
}

} // namespace

bool findCard(const cv::Mat& bgr, Quad& corners) {
    if (bgr.empty() || bgr.type() != CV_8UC3) return false;
    const double scale = std::min(1.0, double(kWorkSide) / std::max(bgr.cols, bgr.rows));
    cv::Mat small;
    cv::resize(bgr, small, cv::Size(), scale, scale, cv::INTER_AREA);
    const double area = double(small.total());
    double best = 0;
    Quad found{};
    for (const cv::Mat& mask : candidates(small)) {
        std::vector<std::vector<cv::Point>> contours;
        cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
        for (const auto& contour : contours) {
            if (cv::contourArea(contour) < area * 0.01) continue;
            const Quad q = quadOf(contour);
            // The largest card-shaped thing: the card, not the photograph printed on it.
            const double score = cardScore(q, area);
            if (score > best) best = score, found = q;
        }
    }
    if (best <= 0) return false;
    for (size_t i = 0; i < 4; ++i) corners[i] = found[i] * float(1 / scale);
    return true;
}

cv::Mat straightenCard(const cv::Mat& bgr, const Quad& corners, int dpi) {
    const int width = int(std::lround(kCardWidthMm / 25.4 * dpi));
    const int height = int(std::lround(kCardHeightMm / 25.4 * dpi));
    const cv::Point2f target[4] = {{0, 0}, {float(width), 0}, {float(width), float(height)}, {0, float(height)}};
    const cv::Mat transform = cv::getPerspectiveTransform(corners.data(), target);
    cv::Mat card;
    cv::warpPerspective(bgr, card, transform, {width, height}, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return card;
}

} // namespace velcap
