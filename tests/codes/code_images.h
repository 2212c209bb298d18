// Bar-code and QR pictures made by encoders that no one here wrote (zint,
// qrencode), placed on larger canvases and distorted like camera pictures.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "code_distortions.h"

namespace velcap::test {

constexpr const char* kQrText = "velcap QR 0042 document camera";
constexpr const char* kEan13 = "4006381333931";

// Runs an encoder that writes path; returns the picture, grey.
inline cv::Mat encoded(const std::string& command, const std::string& path) {
    const std::string full = command + " > /dev/null 2>&1";
    if (std::system(full.c_str()) != 0) ADD_FAILURE() << "encoder failed: " << command;
    cv::Mat picture = cv::imread(path, cv::IMREAD_GRAYSCALE);
    std::remove(path.c_str()); // read once: nothing is left in the temporary folder
    return picture;
}

inline cv::Mat qrPicture(const std::string& text = kQrText, int module = 6) {
    const std::string path = testing::TempDir() + "/velcap-qr.png";
    return encoded("qrencode -s " + std::to_string(module) + " -m 4 -o " + path + " '" + text + "'", path);
}

// zint symbologies: 13 EAN-13 (twelve digits, the check digit added), 20 Code 128, 8 Code 39.
// zint's scale 1 draws a module 2 pixels wide.
inline cv::Mat barPicture(int symbology = 13, const std::string& data = "400638133393", double scale = 3) {
    const std::string path = testing::TempDir() + "/velcap-bar-" + std::to_string(symbology) + ".png";
    char scaleText[32];
    std::snprintf(scaleText, sizeof(scaleText), "%g", scale);
    return encoded("zint -b " + std::to_string(symbology) + " --scale=" + scaleText + " -d '" + data + "' -o " + path,
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
    return codes::blur(g, 2.0);
}
inline cv::Mat noisy(const cv::Mat& g) {
    return codes::noise(g, 40);
}
inline cv::Mat lowContrast(const cv::Mat& g) {
    return codes::lowContrast(g, 15);
}
// Light falling off from left to right, down to a sixth.
inline cv::Mat unevenLight(const cv::Mat& g) {
    return codes::unevenLight(g, 0.85);
}
inline cv::Mat rotated(const cv::Mat& g) {
    return codes::rotation(g, 6);
}
inline cv::Mat compressed(const cv::Mat& g) {
    return codes::jpeg(g, 8);
}
inline cv::Mat dimBlurred(const cv::Mat& g) {
    return codes::blur(codes::lowContrast(g, 30), 1.5);
}

inline const std::vector<Distortion>& distortions() {
    static const std::vector<Distortion> all = {
        {"blur", blurred},     {"noise", noisy},     {"low contrast", lowContrast},   {"uneven light", unevenLight},
        {"rotation", rotated}, {"jpeg", compressed}, {"dim and blurred", dimBlurred},
    };
    return all;
}

} // namespace velcap::test
