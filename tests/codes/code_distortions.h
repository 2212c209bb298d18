// Distortions of a grey picture as a camera over a desk makes them, each with
// a strength, shared by the recognition tests and the recognition benchmark.
#pragma once

#include <cmath>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace velcap::codes {

constexpr int kPaper = 235; // the grey of the page around the codes

inline cv::Mat blur(const cv::Mat& g, double sigma) {
    cv::Mat out;
    cv::GaussianBlur(g, out, cv::Size(0, 0), sigma);
    return out;
}
// Gaussian noise of the given deviation; the caller seeds OpenCV's generator.
inline cv::Mat noise(const cv::Mat& g, double sigma) {
    cv::Mat n(g.size(), CV_16SC1), out;
    cv::randn(n, 0, sigma);
    g.convertTo(out, CV_16SC1);
    out += n;
    out.convertTo(out, CV_8UC1);
    return out;
}
// The whole range squeezed into `range` levels around mid-grey.
inline cv::Mat lowContrast(const cv::Mat& g, double range) {
    cv::Mat out;
    g.convertTo(out, CV_8UC1, range / 255.0, 120);
    return out;
}
// Light falling off from left to right by the given share.
inline cv::Mat unevenLight(const cv::Mat& g, double depth) {
    cv::Mat out(g.size(), CV_8UC1);
    for (int y = 0; y < g.rows; ++y)
        for (int x = 0; x < g.cols; ++x)
            out.at<uchar>(y, x) = cv::saturate_cast<uchar>(g.at<uchar>(y, x) * (1.0 - depth * x / g.cols) + 10);
    return out;
}
// A soft round shadow (a hand, a lamp's arm) darkening the middle by the given share.
inline cv::Mat spotShadow(const cv::Mat& g, double depth) {
    cv::Mat out(g.size(), CV_8UC1);
    const double cx = g.cols * 0.45, cy = g.rows * 0.5, radius = std::min(g.cols, g.rows) * 0.35;
    for (int y = 0; y < g.rows; ++y)
        for (int x = 0; x < g.cols; ++x) {
            const double d = std::hypot(x - cx, y - cy) / radius;
            const double shade = 1.0 - depth * std::exp(-d * d);
            out.at<uchar>(y, x) = cv::saturate_cast<uchar>(g.at<uchar>(y, x) * shade);
        }
    return out;
}
inline cv::Mat rotation(const cv::Mat& g, double degrees) {
    cv::Mat out;
    cv::warpAffine(g, out, cv::getRotationMatrix2D(cv::Point2f(g.cols / 2.f, g.rows / 2.f), degrees, 1.0), g.size(),
                   cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(kPaper));
    return out;
}
// A camera tilted by the given share: the top edge shrinks towards its middle.
inline cv::Mat perspective(const cv::Mat& g, double share) {
    const float w = float(g.cols), h = float(g.rows), inset = float(share) * w / 2;
    const cv::Point2f from[4] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
    const cv::Point2f to[4] = {{inset, 0}, {w - inset, 0}, {w, h}, {0, h}};
    cv::Mat out;
    cv::warpPerspective(g, out, cv::getPerspectiveTransform(from, to), g.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                        cv::Scalar(kPaper));
    return out;
}
inline cv::Mat jpeg(const cv::Mat& g, double quality) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", g, bytes, {cv::IMWRITE_JPEG_QUALITY, int(quality)});
    return cv::imdecode(bytes, cv::IMREAD_GRAYSCALE);
}

} // namespace velcap::codes
