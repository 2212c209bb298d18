// Merging two to four queued pictures into one.
#include <algorithm>
#include <string>
#include <unistd.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "../state.h"

namespace {

constexpr size_t kMostImages = 4;

// Places the pictures in a grid of the given number of columns, each in the
// top-left corner of its cell, on white; cells take the widest picture of
// their column and the tallest of their row.
cv::Mat arrange(const std::vector<cv::Mat>& images, size_t columns) {
    const size_t rows = (images.size() + columns - 1) / columns;
    std::vector<int> widths(columns, 0), heights(rows, 0);
    for (size_t i = 0; i < images.size(); ++i) {
        widths[i % columns] = std::max(widths[i % columns], images[i].cols);
        heights[i / columns] = std::max(heights[i / columns], images[i].rows);
    }
    int width = 0, height = 0;
    for (int w : widths) width += w;
    for (int h : heights) height += h;
    cv::Mat merged(height, width, CV_8UC3, cv::Scalar(255, 255, 255));
    int y = 0;
    for (size_t r = 0; r < rows; ++r) {
        int x = 0;
        for (size_t c = 0; c < columns && r * columns + c < images.size(); ++c) {
            const cv::Mat& image = images[r * columns + c];
            image.copyTo(merged(cv::Rect(x, y, image.cols, image.rows)));
            x += widths[c];
        }
        y += heights[r];
    }
    return merged;
}

} // namespace

extern "C" int MergeImages(const char* outPath, int mode, int, bool deleteSources) {
    if (img_filelist.size() < 2) return -1;
    const std::list<std::string> queued = std::move(img_filelist);
    img_filelist.clear();

    std::vector<cv::Mat> images;
    std::vector<std::string> merged; // sources that went into the picture
    size_t position = 0;
    for (auto it = queued.begin(); it != queued.end() && position < kMostImages; ++it, ++position) {
        cv::Mat image = cv::imread(*it, cv::IMREAD_COLOR);
        if (image.empty()) continue; // unreadable or gone: left out
        images.push_back(image);
        merged.push_back(*it);
    }

    if (!images.empty() && outPath) {
        const size_t columns = images.size() == 4 ? 2 : (mode == 0 ? images.size() : 1);
        std::string path = outPath;
        SaveImage(path.data(), arrange(images, columns));
    }
    if (!outPath || ::access(outPath, F_OK) != 0) return -2;
    if (deleteSources)
        for (const std::string& name : merged)
            if (::access(name.c_str(), F_OK) == 0) std::remove(name.c_str());
    return 0;
}
