// The text of page pictures, read by Tesseract in this process, for the
// text layer of searchable PDFs.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "velcap/camera.h" //

namespace velcap::ocr {

// One line of text where it lies in the picture (pixels, top-left origin).
struct Line {
    cv::Rect box;
    // The baseline, from its left end to its right: the line's slant on a
    // page photographed slightly askew.
    cv::Point2f baseFrom, baseTo;
    std::string text; // UTF-8; no space between two Chinese characters
};

struct PageText {
    cv::Size size; // of the picture read, which the lines' places are in
    std::vector<Line> lines;
    std::string text() const; // the lines, one a line
};

// The sets of languages whose engines are kept, most recently used first
// (each set once, its names sorted: "chi_sim+eng").
std::vector<std::string> cachedLanguageSets();

// Whether Tesseract has every language of "chi_sim+eng"; why not, when not.
bool available(const std::string& languages, std::string* why = nullptr);

// The text of a picture (B, G, R or grey) into page. dpi is the page's
// resolution when known, else 0 (Tesseract estimates it from the letters).
// Ok, or NoOcrLanguages (and why, in words) when the languages cannot be loaded.
Status recognise(const cv::Mat& picture, const std::string& languages, PageText& page, int dpi = 0,
                 std::string* why = nullptr);

// The text of many picture files, one page a core at a time; progress(done,
// total) after each, on a worker thread, one call at a time. An unreadable
// file gets no text. Ok, or NoOcrLanguages (and no pages) as above.
Status recogniseFiles(const std::vector<std::string>& paths, const std::string& languages, std::vector<PageText>& pages,
                      const std::function<void(int, int)>& progress = {}, std::string* why = nullptr);

// Chinese, Japanese and Korean letters and their punctuation and full-width forms.
bool isCjk(char32_t c);

// Words joined as a line: a space between them, except between two Chinese
// (or other CJK) characters, which Tesseract reports as words of their own.
std::string joinWords(const std::vector<std::string>& words);

} // namespace velcap::ocr
