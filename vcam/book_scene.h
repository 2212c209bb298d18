// An open book on the desk, as a document camera sees it from above: two
// pages (or one) of known text, bent by a known surface into the gutter,
// shadowed there, on a cover board, perhaps held open by fingers. The truth
// comes with it: the flat pages, their text and where the fingers are.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vcam {

struct BookLook {
    double curve = 0.5;     // 0 flat, 1 a thick book's bend
    bool fingers = false;   // a thumb on each page's outer margin, the hand beyond
    bool onePage = false;   // one page alone, its gutter at the left
    std::string desk;       // as DeskLook's
    double perspective = 0; // degrees from straight down, either way
    double turn = 2;        // the book's turn on the desk, degrees
    unsigned seed = 0;      // another text
};

struct BookScene {
    cv::Mat frame;                        // R, G, B
    std::vector<cv::Mat> flatPages;       // each page as printed, R, G, B, left first
    std::vector<std::string> texts;       // each page's text, its lines ended by '\n'
    cv::Mat fingers;                      // 255 where a finger or the hand lies, in frame pixels
    std::vector<cv::Point2f> pageCentres; // each page's middle in the frame
};

BookScene renderBookScene(unsigned width, unsigned height, const BookLook& look);

// A page of mixed Chinese and English text at its size, R, G, B, and its text.
cv::Mat renderBookPage(cv::Size size, unsigned seed, std::string& text);

} // namespace vcam
