// An open book photographed from above, made into flat pages: the book found
// on the desk, split at its gutter, each page's bend straightened from its
// text lines and edges, fingers on it painted over, the gutter's shadow
// evened out, and the page cut to its paper.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "velcap/documents.h"

namespace velcap {

// The pages of the book in an 8-bit R, G, B picture, left first: two for a
// spread, one for a page alone; none when no book lies in it.
std::vector<cv::Mat> bookPages(const cv::Mat& rgb, const BookOptions& options = {});

// What the pages were found as, for the stages and their tests.
struct BookLayout {
    bool found = false;
    double angle = 0; // degrees the picture is turned by to stand the book upright
    cv::Rect paper;   // the pages' bounds in the upright picture
    int gutter = -1;  // the gutter's column in it; -1 for a page alone
    double level = 0; // the brightness (HSV value) above which grey is paper
};
BookLayout findBook(const cv::Mat& rgb);

} // namespace velcap
