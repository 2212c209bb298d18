// The capture pipeline, with what it did: the stream thread must know
// whether a file was written, not guess it from a file being there.
#pragma once

#include <opencv2/core.hpp>

#include "../files/picture_file.h"
#include "../imaging/page_quad.h"

namespace velcap {

// The 10-megapixel size that the resolution lists offer and captures are
// scaled up to when a list's tallest frame is 3264 x 2448 and it is chosen.
constexpr int kInterpolatedWidth = 3672;
constexpr int kInterpolatedHeight = 2856;

// How one capture is made: its camera's settings for this frame.
struct CaptureParams {
    int cutType = 0; // 0 whole frame, 1 page outline, 2 page quadrilateral straightened, 3 box round it
    int colorMode = 0;
    int jpegQuality = 85;
    bool removeBlackEdge = false;
    bool whiten = false;
    bool interpolate = false; // scale up to the 10-megapixel size
    std::string ocrLanguages; // a PDF's text layer; none when empty
    bool pdfA = false;        // a PDF as PDF/A-1b
    bool pdfInMemory = false; // a PDF's picture is encoded in memory, never through a temporary file
};

// What the preview has found of the page, for the crops.
struct PageState {
    bool outlineFound = false;
    int outline[8] = {}; // cut type 1's corners
    bool quadFound = false;
    Quad quad{}; // cut types 2 and 3
};

// One frame (R, G, B) to the file at path.
Status captureFrame(const char* path, const CaptureParams& params, const PageState& page, const cv::Mat& frame);

} // namespace velcap
