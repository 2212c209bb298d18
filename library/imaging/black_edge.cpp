// Black-edge removal: everything between the image border and the page
// outline turns white.
#include "black_edge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "../guard.h"
#include "../log.h"

namespace velcap {

namespace {

constexpr double kOutlineArea = 30000;
constexpr float kGamma = 0.4f;

cv::Mat otsuOfGrey(cv::Mat grey) {
    cv::threshold(grey, grey, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    return grey;
}

cv::Mat otsu(const cv::Mat& colour) {
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_RGB2GRAY);
    return otsuOfGrey(grey);
}

// The grey picture (the first channel weighted as red, as the page tests
// always did) of the gamma-corrected picture in which every pixel that is not
// dark counts as mid grey: one pass, with the grey converter's own fixed-point
// weights, in place of a recoloured copy, its correction and its conversion.
cv::Mat recolouredGammaGrey(const cv::Mat& image) {
    const cv::Mat table = gammaTable(kGamma);
    const uint8_t* g = table.ptr<uint8_t>();
    constexpr int kShift = 14;
    int first[256], second[256], third[256];
    for (int i = 0; i < 256; ++i) {
        first[i] = 4899 * g[i];
        second[i] = 9617 * g[i];
        third[i] = 1868 * g[i] + (1 << (kShift - 1));
    }
    const uint8_t midGrey = uint8_t((first[128] + second[128] + third[128]) >> kShift);
    cv::Mat grey(image.size(), CV_8UC1);
    cv::parallel_for_(cv::Range(0, image.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const uint8_t* p = image.ptr<uint8_t>(y);
            uint8_t* out = grey.ptr<uint8_t>(y);
            for (int x = 0; x < image.cols; ++x, p += 3) {
                if ((p[0] + p[1] + p[2]) / 3 > 30)
                    out[x] = midGrey;
                else
                    out[x] = uint8_t((first[p[0]] + second[p[1]] + third[p[2]]) >> kShift);
            }
        }
    });
    return grey;
}

// The page outlines: from the first outer contour larger than the limit on,
// every contour is drawn 2 pixels wide. The outermost rows and columns of the
// page image count as background, as the contour finder makes them.
cv::Mat scanImage(cv::Mat page) {
    page.row(0).setTo(0);
    page.row(page.rows - 1).setTo(0);
    page.col(0).setTo(0);
    page.col(page.cols - 1).setTo(0);
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(page, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    cv::Mat scan = cv::Mat::zeros(page.size(), CV_8UC1);
    size_t first = contours.size();
    for (size_t i = 0; i < contours.size(); ++i)
        if (int(std::fabs(cv::contourArea(contours[i]))) > kOutlineArea) {
            first = i;
            break;
        }
    // One call for all of them: each call walks every contour it is given,
    // so a call per contour costs the square of their number on a noisy picture.
    contours.erase(contours.begin(), contours.begin() + std::ptrdiff_t(first));
    cv::drawContours(scan, contours, -1, cv::Scalar(255), 2, cv::LINE_8);
    return scan;
}

// One margin scan over a line of hits, from its start (forward) or its end:
// fed the positions of the hits in scan order, it knows how many pixels from
// that end are margin, or the whole line when it never meets three adjacent hits.
struct MarginScan {
    int run = 0, last = 0, start = 0;
    int margin = -1; // -1 while undecided

    // The position x of the next hit; true once the margin is decided.
    bool hit(int x, int length, bool forward) {
        if (std::abs(x - last) == 1) {
            ++run;
        } else {
            run = 0;
            start = x;
        }
        last = x;
        if (run > 1) margin = forward ? start + 3 : length - (start - 3) - 1;
        return margin >= 0;
    }
};

// The margin of a contiguous line of hits, skipping the empty stretches a
// word at a time.
int marginOf(const uint8_t* hits, int length, bool forward) {
    MarginScan scan;
    constexpr int kWord = 8;
    if (forward) {
        for (int x = 0; x < length; ++x) {
            if (x + kWord <= length) {
                uint64_t word;
                std::memcpy(&word, hits + x, kWord);
                if (word == 0) {
                    x += kWord - 1;
                    continue;
                }
            }
            if (hits[x] && scan.hit(x, length, true)) return scan.margin;
        }
    } else {
        for (int x = length - 1; x >= 0; --x) {
            if (x + 1 >= kWord) {
                uint64_t word;
                std::memcpy(&word, hits + x + 1 - kWord, kWord);
                if (word == 0) {
                    x -= kWord - 1;
                    continue;
                }
            }
            if (hits[x] && scan.hit(x, length, false)) return scan.margin;
        }
    }
    return length;
}

// The margins of the columns [first, first + count) from the top or the
// bottom, walking the rows in memory order and skipping rows that hold no
// hit in these columns.
void columnMargins(const cv::Mat& hits, int first, int count, bool forward, int* margins) {
    constexpr int kMaxCount = 64;
    MarginScan scans[kMaxCount];
    int undecided = count;
    const int h = hits.rows;
    for (int k = 0; k < h && undecided > 0; ++k) {
        const int y = forward ? k : h - 1 - k;
        const uint8_t* row = hits.ptr<uint8_t>(y) + first;
        int c = 0;
        for (; c + 8 <= count; c += 8) {
            uint64_t word;
            std::memcpy(&word, row + c, 8);
            if (word != 0) break;
        }
        for (; c < count; ++c)
            if (row[c] && scans[c].margin < 0 && scans[c].hit(y, h, forward)) --undecided;
    }
    for (int c = 0; c < count; ++c) margins[c] = scans[c].margin >= 0 ? scans[c].margin : h;
}

// One row of the mask from the column margins: 255 above top or from bottom on.
void fillMarginRow(uint8_t* out, int y, const std::vector<int>& top, const std::vector<int>& bottom) {
    const int w = int(top.size());
    const int* t = top.data();
    const int* b = bottom.data();
    int x = 0;
#if CV_SIMD128
    const cv::v_int32x4 row = cv::v_setall_s32(y);
    for (; x + 16 <= w; x += 16) {
        cv::v_int32x4 m[4];
        for (int k = 0; k < 4; ++k) m[k] = (cv::v_load(t + x + 4 * k) > row) | (cv::v_load(b + x + 4 * k) <= row);
        const cv::v_int16x8 low = cv::v_pack(m[0], m[1]), high = cv::v_pack(m[2], m[3]);
        cv::v_store(out + x, cv::v_reinterpret_as_u8(cv::v_pack(low, high)));
    }
#endif
    for (; x < w; ++x) out[x] = ((y < t[x]) | (y >= b[x])) ? 255 : 0;
}

} // namespace

void markColoured(const uint8_t* bgr, uint8_t* out, int count) {
    int x = 0;
#if CV_SIMD128
    for (; x + 16 <= count; x += 16) {
        cv::v_uint8x16 a, b, c;
        cv::v_load_deinterleave(bgr + 3 * x, a, b, c);
        cv::v_store(out + x, cv::v_load(out + x) | colouredMask(a, b, c));
    }
#endif
    for (; x < count; ++x)
        if (coloured(bgr + 3 * x)) out[x] = 255;
}

cv::Mat gammaTable(float gamma) {
    cv::Mat table(1, 256, CV_8UC1);
    for (int i = 0; i < 256; ++i) {
        const float q = float(i / 255.0);
        const float v = std::pow(q, gamma) * 255.0f;
        table.at<uint8_t>(i) = cv::saturate_cast<uint8_t>(std::nearbyint(v));
    }
    return table;
}

bool isColourImage(const cv::Mat& image, const char* caller) {
    if (image.empty() || image.type() != CV_8UC3) {
        velcap::logWarning(velcap::Category::Imaging,
                           "%s: needs a non-empty 8-bit 3-channel image, got %dx%d of type %d\n", caller, image.cols,
                           image.rows, image.type());
        return false;
    }
    return true;
}

cv::Mat recolouredPageImage(const cv::Mat& image) {
    return otsuOfGrey(recolouredGammaGrey(image));
}

cv::Mat gammaPageImage(const cv::Mat& image) {
    // The table and the grey conversion, both vectorised, beat one fused pass of lookups.
    cv::Mat bright;
    cv::LUT(image, gammaTable(kGamma), bright);
    return otsu(bright);
}

cv::Mat plainPageImage(const cv::Mat& image) {
    return otsu(image);
}

cv::Mat marginMask(const cv::Mat& page, const cv::Mat& colour, bool colouredStops) {
    cv::Mat hits = scanImage(page);
    const int w = hits.cols, h = hits.rows;
    if (colouredStops)
        cv::parallel_for_(cv::Range(0, h), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; ++y) markColoured(colour.ptr<uint8_t>(y), hits.ptr<uint8_t>(y), w);
        });

    // The margin of every row from its two ends, and of every column from its
    // two ends, columns in blocks.
    const size_t rowCount = size_t(h), columnCount = size_t(w);
    std::vector<int> left(rowCount), right(rowCount), top(columnCount), bottom(columnCount);
    cv::parallel_for_(cv::Range(0, h), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            left[size_t(y)] = marginOf(hits.ptr<uint8_t>(y), w, true);
            right[size_t(y)] = w - marginOf(hits.ptr<uint8_t>(y), w, false);
        }
    });
    constexpr int kBlock = 64;
    cv::parallel_for_(cv::Range(0, (w + kBlock - 1) / kBlock), [&](const cv::Range& blocks) {
        for (int b = blocks.start; b < blocks.end; ++b) {
            const int first = b * kBlock, count = std::min(kBlock, w - first);
            columnMargins(hits, first, count, true, &top[size_t(first)]);
            columnMargins(hits, first, count, false, &bottom[size_t(first)]);
            for (int c = first; c < first + count; ++c) bottom[size_t(c)] = h - bottom[size_t(c)];
        }
    });

    cv::Mat mask(hits.size(), CV_8UC1);
    cv::parallel_for_(cv::Range(0, h), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) fillMarginRow(mask.ptr<uint8_t>(y), y, top, bottom);
    });
    // The row margins last: they cover whatever the columns left.
    for (int y = 0; y < h; ++y) {
        uint8_t* out = mask.ptr<uint8_t>(y);
        std::fill(out, out + std::min(left[size_t(y)], w), uint8_t(255));
        std::fill(out + std::max(0, right[size_t(y)]), out + w, uint8_t(255));
    }
    return mask;
}

cv::Mat gammaCorrected(const cv::Mat& picture, float gamma) {
    cv::Mat out;
    if (picture.empty())
        ; // nothing to correct
    else if (picture.depth() == CV_8U && (picture.channels() == 1 || picture.channels() == 3))
        cv::LUT(picture, gammaTable(gamma), out);
    else
        out = picture.clone();
    return out;
}

cv::Mat blackEdgeMargin(const cv::Mat& bgr) {
    if (!isColourImage(bgr, "blackEdgeMargin")) return {};
    return marginMask(recolouredPageImage(bgr), bgr, false);
}

cv::Mat withoutBlackEdge(const cv::Mat& bgr) {
    const cv::Mat margin = blackEdgeMargin(bgr);
    if (margin.empty()) return {};
    cv::Mat out = bgr.clone();
    out.setTo(cv::Scalar(255, 255, 255), margin);
    return out;
}

} // namespace velcap
