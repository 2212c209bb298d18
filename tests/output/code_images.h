// Bar-code and QR pictures made by encoders that no one here wrote (zint,
// qrencode), placed on larger canvases and distorted like camera pictures.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace velcap::test {

constexpr const char* kQrText = "velcap QR 0042 document camera";
constexpr const char* kEan13 = "4006381333931";

// Runs an encoder that writes path; returns the picture, grey.
inline cv::Mat encoded(const std::string& command, const std::string& path) {
    const std::string full = command + " > /dev/null 2>&1";
    if (std::system(full.c_str()) != 0) ADD_FAILURE() << "encoder failed: " << command;
    return cv::imread(path, cv::IMREAD_GRAYSCALE);
}

inline cv::Mat qrPicture(const std::string& text = kQrText, int module = 6) {
    const std::string path = testing::TempDir() + "/velcap-qr.png";
    return encoded("qrencode -s " + std::to_string(module) + " -m 4 -o " + path + " '" + text + "'", path);
}

// zint symbologies: 13 EAN-13 (twelve digits, the check digit added), 20 Code 128, 8 Code 39.
inline cv::Mat barPicture(int symbology = 13, const std::string& data = "400638133393", int scale = 3) {
    const std::string path = testing::TempDir() + "/velcap-bar-" + std::to_string(symbology) + ".png";
    return encoded("zint -b " + std::to_string(symbology) + " --scale=" + std::to_string(scale) + " -d '" + data +
                       "' -o " + path,
                   path);
}

// A grey page of the given size with pictures pasted at the given places.
inline cv::Mat page(cv::Size size, std::initializer_list<std::pair<cv::Mat, cv::Point>> pictures) {
    cv::Mat canvas(size, CV_8UC1, cv::Scalar(235));
    for (const auto& [picture, at] : pictures) picture.copyTo(canvas(cv::Rect(at, picture.size())));
    return canvas;
}

inline cv::Mat toRgb(const cv::Mat& grey) {
    cv::Mat rgb;
    cv::cvtColor(grey, rgb, cv::COLOR_GRAY2RGB);
    return rgb;
}

struct Distortion {
    const char* name;
    cv::Mat (*apply)(const cv::Mat& grey);
};

inline cv::Mat blurred(const cv::Mat& g) {
    cv::Mat out;
    cv::GaussianBlur(g, out, cv::Size(0, 0), 2.0);
    return out;
}
inline cv::Mat noisy(const cv::Mat& g, double sigma) {
    cv::Mat noise(g.size(), CV_16SC1), out;
    cv::randn(noise, 0, sigma);
    g.convertTo(out, CV_16SC1);
    out += noise;
    out.convertTo(out, CV_8UC1);
    return out;
}
inline cv::Mat noisy(const cv::Mat& g) {
    return noisy(g, 40);
}
inline cv::Mat lowContrast(const cv::Mat& g) {
    cv::Mat out;
    g.convertTo(out, CV_8UC1, 15.0 / 255.0, 120);
    return out;
}
// Light falling off from left to right, down to a sixth.
inline cv::Mat unevenLight(const cv::Mat& g) {
    cv::Mat out(g.size(), CV_8UC1);
    for (int y = 0; y < g.rows; ++y)
        for (int x = 0; x < g.cols; ++x)
            out.at<uchar>(y, x) = cv::saturate_cast<uchar>(g.at<uchar>(y, x) * (1.0 - 0.85 * x / g.cols) + 10);
    return out;
}
inline cv::Mat rotated(const cv::Mat& g) {
    cv::Mat out;
    cv::warpAffine(g, out, cv::getRotationMatrix2D(cv::Point2f(g.cols / 2.f, g.rows / 2.f), 6, 1.0), g.size(),
                   cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(235));
    return out;
}
inline cv::Mat compressed(const cv::Mat& g) {
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", g, jpeg, {cv::IMWRITE_JPEG_QUALITY, 8});
    return cv::imdecode(jpeg, cv::IMREAD_GRAYSCALE);
}
inline cv::Mat dimBlurred(const cv::Mat& g) {
    cv::Mat out;
    g.convertTo(out, CV_8UC1, 30.0 / 255.0, 120);
    cv::GaussianBlur(out, out, cv::Size(0, 0), 1.5);
    return out;
}

inline const std::vector<Distortion>& distortions() {
    static const std::vector<Distortion> all = {
        {"blur", blurred},     {"noise", noisy},     {"low contrast", lowContrast},   {"uneven light", unevenLight},
        {"rotation", rotated}, {"jpeg", compressed}, {"dim and blurred", dimBlurred},
    };
    return all;
}

} // namespace velcap::test
