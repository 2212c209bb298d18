// Background whitening: the paper turns white, writing stays, red marks
// are pushed towards pure red.
#include <algorithm>
#include <cstring>
#include <vector>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "black_edge.h"

namespace {

constexpr int kStripes = 16;

// The vertical sharpening 5 p - 2 above - 1.5 below of one byte, rounded half
// to even and saturated as a float filter of 8-bit pixels is.
inline uint8_t sharpen(int above, int p, int below) {
    const int twice = 10 * p - 4 * above - 3 * below;
    int v = twice >> 1;        // floor
    if (twice & 1) v += v & 1; // a half: to the even neighbour
    return uint8_t(std::clamp(v, 0, 255));
}

// One pixel: margin white; a coloured pixel of the sharpened picture keeps
// that colour, red pushed redder; paper white; anything else stays.
inline void whiten(const uint8_t* p, uint8_t margin, uint8_t paper, uint8_t* s) {
    if (margin == 255) {
        s[0] = s[1] = s[2] = 255;
    } else if (velcap::coloured(p)) {
        const bool red = p[2] - p[1] > 80 || p[2] - p[0] > 80;
        s[0] = red ? uint8_t(std::max(p[0] - 40, 0)) : p[0];
        s[1] = red ? uint8_t(std::max(p[1] - 40, 0)) : p[1];
        s[2] = red ? uint8_t(std::min(p[2] + 80, 255)) : p[2];
    } else if (paper == 255) {
        s[0] = s[1] = s[2] = 255;
    }
}

#if CV_SIMD128
inline cv::v_uint8x16 sharpen(const cv::v_uint8x16& above, const cv::v_uint8x16& p, const cv::v_uint8x16& below) {
    const cv::v_int16x8 ten = cv::v_setall_s16(10), four = cv::v_setall_s16(4), three = cv::v_setall_s16(3);
    const cv::v_int16x8 one = cv::v_setall_s16(1);
    cv::v_uint16x8 a0, a1, p0, p1, b0, b1;
    cv::v_expand(above, a0, a1);
    cv::v_expand(p, p0, p1);
    cv::v_expand(below, b0, b1);
    auto half = [&](const cv::v_uint16x8& a, const cv::v_uint16x8& q, const cv::v_uint16x8& b) {
        const cv::v_int16x8 twice = cv::v_reinterpret_as_s16(q) * ten - cv::v_reinterpret_as_s16(a) * four -
                                    cv::v_reinterpret_as_s16(b) * three;
        const cv::v_int16x8 v = twice >> 1;
        return v + (twice & v & one);
    };
    return cv::v_pack_u(half(a0, p0, b0), half(a1, p1, b1));
}
#endif

// One row in place; above and below are the original neighbouring rows.
void whitenRow(const uint8_t* above, uint8_t* row, const uint8_t* below, const uint8_t* margin, const uint8_t* paper,
               int width) {
    int x = 0;
#if CV_SIMD128
    const cv::v_uint8x16 full = cv::v_setall_u8(255);
    const cv::v_uint8x16 forty = cv::v_setall_u8(40), eighty = cv::v_setall_u8(80);
    const cv::v_int16x8 redLimit = cv::v_setall_s16(80);
    for (; x + 16 <= width; x += 16) {
        const cv::v_uint8x16 inMargin = cv::v_load(margin + x) == full;
        if (cv::v_check_all(inMargin)) {
            // Most of a desk is margin: nothing to sharpen there.
            std::memset(row + 3 * x, 255, 48);
            continue;
        }
        cv::v_uint8x16 a0, a1, a2, s0, s1, s2, b0, b1, b2;
        cv::v_load_deinterleave(above + 3 * x, a0, a1, a2);
        cv::v_load_deinterleave(row + 3 * x, s0, s1, s2);
        cv::v_load_deinterleave(below + 3 * x, b0, b1, b2);
        const cv::v_uint8x16 p0 = sharpen(a0, s0, b0), p1 = sharpen(a1, s1, b1), p2 = sharpen(a2, s2, b2);

        const cv::v_uint8x16 coloured = velcap::colouredMask(p0, p1, p2);
        cv::v_uint16x8 w0, w1, w2, u0, u1, u2;
        cv::v_expand(p0, w0, u0);
        cv::v_expand(p1, w1, u1);
        cv::v_expand(p2, w2, u2);
        auto above80 = [&](const cv::v_uint16x8& hi, const cv::v_uint16x8& lo) {
            return cv::v_reinterpret_as_s16(hi) - cv::v_reinterpret_as_s16(lo) > redLimit;
        };
        const cv::v_uint8x16 red = cv::v_pack_b(cv::v_reinterpret_as_u16(above80(w2, w1) | above80(w2, w0)),
                                                cv::v_reinterpret_as_u16(above80(u2, u1) | above80(u2, u0)));
        // Saturating byte arithmetic: max(p - 40, 0) and min(p + 80, 255).
        const cv::v_uint8x16 c0 = cv::v_select(red, p0 - forty, p0), c1 = cv::v_select(red, p1 - forty, p1),
                             c2 = cv::v_select(red, p2 + eighty, p2);

        const cv::v_uint8x16 isPaper = cv::v_load(paper + x) == full;
        auto pick = [&](const cv::v_uint8x16& original, const cv::v_uint8x16& colour) {
            return cv::v_select(inMargin, full, cv::v_select(coloured, colour, cv::v_select(isPaper, full, original)));
        };
        s0 = pick(s0, c0);
        s1 = pick(s1, c1);
        s2 = pick(s2, c2);
        cv::v_store_interleave(row + 3 * x, s0, s1, s2);
    }
#endif
    for (; x < width; ++x) {
        const int i = 3 * x;
        const uint8_t p[3] = {sharpen(above[i], row[i], below[i]), sharpen(above[i + 1], row[i + 1], below[i + 1]),
                              sharpen(above[i + 2], row[i + 2], below[i + 2])};
        whiten(p, margin[x], paper[x], row + i);
    }
}

// Paper: brighter than the mean of its 179 x 179 neighbourhood less 19. The
// threshold runs on bands of rows side by side; each band reaches far enough
// beyond its rows that its own border never reaches them, so the bands give
// the bytes of one threshold over the whole picture.
cv::Mat paperTest(const cv::Mat& img) {
    constexpr int kBlock = 179, kReach = kBlock / 2 + 1;
    constexpr int kBands = 2;
    cv::Mat grey, paper(img.size(), CV_8UC1);
    cv::cvtColor(img, grey, cv::COLOR_RGB2GRAY);
    cv::parallel_for_(
        cv::Range(0, kBands),
        [&](const cv::Range& bands) {
            for (int k = bands.start; k < bands.end; ++k) {
                const int begin = img.rows * k / kBands, end = img.rows * (k + 1) / kBands;
                if (begin == end) continue;
                const int from = std::max(0, begin - kReach), to = std::min(img.rows, end + kReach);
                cv::Mat band;
                cv::adaptiveThreshold(grey.rowRange(from, to), band, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY,
                                      kBlock, 19);
                band.rowRange(begin - from, end - from).copyTo(paper.rowRange(begin, end));
            }
        },
        kBands);
    return paper;
}

void whitenBackground(cv::Mat img) {
    const cv::Mat paper = paperTest(img);
    const cv::Mat margin = velcap::marginMask(velcap::gammaPageImage(img), img, true);

    // The rows are changed in place, but the sharpening reads the original
    // rows above and below: each stripe keeps the original of the row it just
    // changed, and the rows next to every stripe are saved before any starts.
    const int rows = img.rows, bytes = img.cols * 3;
    auto neighbour = [rows](int y) { return rows == 1 ? 0 : y < 0 ? 1 : y >= rows ? rows - 2 : y; };
    std::vector<uint8_t> edges(size_t(kStripes) * 2 * size_t(bytes));
    auto first = [rows](int stripe) { return int(int64_t(rows) * stripe / kStripes); };
    for (int k = 0; k < kStripes; ++k) {
        if (first(k) == first(k + 1)) continue;
        std::memcpy(&edges[size_t(2 * k) * size_t(bytes)], img.ptr<uint8_t>(neighbour(first(k) - 1)), size_t(bytes));
        std::memcpy(&edges[size_t(2 * k + 1) * size_t(bytes)], img.ptr<uint8_t>(neighbour(first(k + 1))),
                    size_t(bytes));
    }

    cv::parallel_for_(
        cv::Range(0, kStripes),
        [&](const cv::Range& stripes) {
            const size_t length = size_t(bytes);
            std::vector<uint8_t> original(length), previous(length);
            for (int k = stripes.start; k < stripes.end; ++k) {
                const int begin = first(k), end = first(k + 1);
                for (int y = begin; y < end; ++y) {
                    uint8_t* s = img.ptr<uint8_t>(y);
                    const uint8_t* above = y == begin ? &edges[size_t(2 * k) * size_t(bytes)] : previous.data();
                    const uint8_t* below =
                        y + 1 == end ? &edges[size_t(2 * k + 1) * size_t(bytes)] : img.ptr<uint8_t>(neighbour(y + 1));
                    // A one-row picture is its own neighbour.
                    if (rows == 1) above = below = s;
                    std::memcpy(original.data(), s, length);
                    whitenRow(above, s, below, margin.ptr<uint8_t>(y), paper.ptr<uint8_t>(y), img.cols);
                    std::swap(previous, original);
                }
            }
        },
        kStripes);
}

} // namespace

namespace velcap {

bool whitenInPlace(cv::Mat& bgr, const char* caller) {
    if (!isColourImage(bgr, caller)) return false;
    whitenBackground(bgr);
    return true;
}

cv::Mat whitened(const cv::Mat& bgr) {
    cv::Mat out = bgr.clone();
    return whitenInPlace(out) ? out : cv::Mat();
}

} // namespace velcap
