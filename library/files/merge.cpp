// Merging two to four queued pictures into one.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "../log.h"
#include "../velcap/types.h"
#include "pdf_document.h"
#include "picture_file.h"

namespace {

constexpr size_t kMostImages = 4;

// Places the pictures in a grid of the given number of columns, each in the
// top-left corner of its cell, on white; cells take the widest picture of
// their column and the tallest of their row.
// The cells of the grid: the widest picture of each column, the tallest of each row.
void cellSizes(const std::vector<cv::Mat>& images, size_t columns, std::vector<int>& widths,
               std::vector<int>& heights) {
    const size_t rows = (images.size() + columns - 1) / columns;
    widths.assign(columns, 0);
    heights.assign(rows, 0);
    for (size_t i = 0; i < images.size(); ++i) {
        widths[i % columns] = std::max(widths[i % columns], images[i].cols);
        heights[i / columns] = std::max(heights[i / columns], images[i].rows);
    }
}

cv::Size arrangedSize(const std::vector<cv::Mat>& images, size_t columns) {
    std::vector<int> widths, heights;
    cellSizes(images, columns, widths, heights);
    int64_t width = 0, height = 0;
    for (int w : widths) width += w;
    for (int h : heights) height += h;
    // Sizes beyond int only arise beyond the pixel limit; they stay beyond it.
    return {int(std::min<int64_t>(width, INT32_MAX)), int(std::min<int64_t>(height, INT32_MAX))};
}

cv::Mat arrange(const std::vector<cv::Mat>& images, size_t columns) {
    const size_t rows = (images.size() + columns - 1) / columns;
    std::vector<int> widths, heights;
    cellSizes(images, columns, widths, heights);
    const cv::Size size = arrangedSize(images, columns);
    const int width = size.width, height = size.height;
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

namespace velcap {

Status mergeImages(const std::list<std::string>& queued, const char* outPath, int mode, bool deleteSources,
                   const SaveOptions& options) {
    try {
        std::vector<cv::Mat> images;
        std::vector<std::string> merged; // sources that went into the picture
        size_t position = 0;
        for (auto it = queued.begin(); it != queued.end() && position < kMostImages; ++it, ++position) {
            if (::access(it->c_str(), F_OK) != 0) continue; // gone since it was queued: left out
            cv::Mat image;
            if (velcap::readPicture(it->c_str(), cv::IMREAD_COLOR, "MergeImages", image) != velcap::Status::Ok) {
                // A merged picture without one of its pictures would pass for the whole one.
                velcap::logError(velcap::Category::Files, "MergeImages: %s cannot be merged; %s is not written\n",
                                 it->c_str(), outPath ? outPath : "(null)");
                return Status::NotWritten;
            }
            images.push_back(image);
            merged.push_back(*it);
        }
        if (images.empty() || !outPath) return Status::NotWritten;

        const size_t columns = images.size() == 4 ? 2 : (mode == 0 ? images.size() : 1);
        const cv::Size size = arrangedSize(images, columns);
        if (!velcap::withinPixelLimit(size.width, size.height)) {
            velcap::logWarning(velcap::Category::Files,
                               "MergeImages: the merged picture would be %lldx%lld pixels, beyond the limit of %lld\n",
                               static_cast<long long>(size.width), static_cast<long long>(size.height),
                               VELCAP_MAX_PICTURE_PIXELS);
            return Status::NotWritten;
        }
        std::string path = outPath;
        if (velcap::saveImage(path.c_str(), arrange(images, columns), options) != velcap::Status::Ok)
            return Status::NotWritten;
        if (deleteSources)
            for (const std::string& name : merged)
                // A source that the merged picture replaced is the merged picture now.
                if (::access(name.c_str(), F_OK) == 0 && !velcap::sameFile(name, path)) std::remove(name.c_str());
        return Status::Ok;
    } catch (const std::exception& e) {
        velcap::logError(velcap::Category::Files, "MergeImages: %s failed: %s\n", outPath ? outPath : "(null)",
                         e.what());
        return Status::NotWritten;
    }
}

} // namespace velcap
