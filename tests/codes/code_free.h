// Pictures without any bar code or QR code, for the recognition's misread
// checks: photographs from OpenCV's examples (Debian's opencv-doc), pages of
// printed text, and empty desks as the virtual camera shows them.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "scene.h"

namespace velcap::codes {

// A page of text lines in one of OpenCV's fonts, R, G, B, filling the picture.
inline cv::Mat textPage(int width, int height, int font, double scale, unsigned seed) {
    cv::Mat page(height, width, CV_8UC3, cv::Scalar(240, 240, 236));
    cv::RNG rng(seed);
    static const char* const kWords[] = {"document", "camera", "the", "page", "lies", "under", "a",    "lamp",
                                         "0123",     "4567",   "ID",  "No.",  "||",   "III",   "1111", "invoice"};
    const int lineHeight = int(34 * scale) + 8;
    for (int y = lineHeight + 20; y < height - 20; y += lineHeight) {
        std::string line;
        while (line.size() < size_t(width / (18 * scale) + 1)) line += std::string(kWords[rng.uniform(0, 16)]) + " ";
        cv::putText(page, line, cv::Point(30, y), font, scale, cv::Scalar(30, 30, 40), std::max(1, int(scale * 2)),
                    cv::LINE_AA);
    }
    return page;
}

// Every code-free picture, named, R, G, B.
inline std::vector<std::pair<std::string, cv::Mat>> codeFreePictures() {
    std::vector<std::pair<std::string, cv::Mat>> out;
    const std::filesystem::path photos = "/usr/share/doc/opencv-doc/examples/data";
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(photos))
        for (const auto& entry : std::filesystem::directory_iterator(photos)) {
            const std::string ext = entry.path().extension().string();
            // The right halves of stereo pairs repeat the left ones.
            if ((ext == ".jpg" || ext == ".png") && entry.path().filename().string().rfind("right", 0) != 0)
                files.push_back(entry.path());
        }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        cv::Mat bgr = cv::imread(file.string(), cv::IMREAD_COLOR), rgb;
        if (bgr.empty() || bgr.total() > 1500000) continue; // the few large ones would take most of the time
        cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
        out.emplace_back(file.filename().string(), rgb);
    }
    const int fonts[] = {cv::FONT_HERSHEY_SIMPLEX, cv::FONT_HERSHEY_PLAIN,   cv::FONT_HERSHEY_DUPLEX,
                         cv::FONT_HERSHEY_COMPLEX, cv::FONT_HERSHEY_TRIPLEX, cv::FONT_HERSHEY_COMPLEX_SMALL};
    for (int i = 0; i < 6; ++i)
        out.emplace_back("text page " + std::to_string(i), textPage(1200, 900, fonts[i], 0.6 + 0.3 * i, unsigned(i)));
    for (auto [w, h] : {std::pair{1280u, 720u}, std::pair{1920u, 1080u}, std::pair{640u, 480u}})
        out.emplace_back("empty desk " + std::to_string(w), vcam::renderScene(w, h, {}, -1));
    return out;
}

} // namespace velcap::codes
