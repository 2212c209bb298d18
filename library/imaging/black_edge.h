// Black-edge removal and background whitening, and the steps they share.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

namespace velcap {

// The stages, on 8-bit B, G, R pictures; any other picture gives an empty
// result and a message naming the stage.
// The picture with the margin between its border and its page outline white.
cv::Mat withoutBlackEdge(const cv::Mat& bgr);
// That margin: 255 in it, 0 elsewhere.
cv::Mat blackEdgeMargin(const cv::Mat& bgr);
// The picture with its paper white, its writing kept and red marks redder.
cv::Mat whitened(const cv::Mat& bgr);
// The same in the picture's own pixels, for a pipeline that owns its picture;
// false (the picture unchanged) for any other picture.
bool whitenInPlace(cv::Mat& bgr, const char* caller = "whitened");
// The picture through a gamma table: 8-bit pictures of one or three
// channels; any other is copied as it is.
cv::Mat gammaCorrected(const cv::Mat& picture, float gamma);

// The margin between the border of a B, G, R image and its page outline:
// 255 where the margin scans pass, 0 elsewhere. With colouredStops, coloured
// pixels stop the scans as the outline does.
cv::Mat marginMask(const cv::Mat& pageTest, const cv::Mat& colour, bool colouredStops);

// The Otsu page image of each page test.
cv::Mat recolouredPageImage(const cv::Mat& image); // dark pixels kept, the rest mid grey, then gamma 0.4
cv::Mat gammaPageImage(const cv::Mat& image);      // gamma 0.4
cv::Mat plainPageImage(const cv::Mat& image);      // the grey image itself

// Whether a pixel has a channel more than 30 away from its channel mean.
inline bool coloured(const uint8_t* p) {
    const int mean = (p[0] + p[1] + p[2]) / 3;
    return std::abs(mean - p[0]) > 30 || std::abs(mean - p[1]) > 30 || std::abs(mean - p[2]) > 30;
}

// Sets out to 255 where a pixel of the B, G, R row is coloured; the rest of
// out is either 0 or 255 and stays.
void markColoured(const uint8_t* bgr, uint8_t* out, int count);

#if CV_SIMD128
// coloured() for 16 pixels given as their three channel vectors: 0xFF where coloured.
inline cv::v_uint8x16 colouredMask(const cv::v_uint8x16& a, const cv::v_uint8x16& b, const cv::v_uint8x16& c) {
    // The channel mean s / 3 as (s * 21846) >> 16, exact for every sum of three bytes.
    const cv::v_uint16x8 third = cv::v_setall_u16(21846);
    const cv::v_uint8x16 limit = cv::v_setall_u8(30);
    cv::v_uint16x8 a0, a1, b0, b1, c0, c1;
    cv::v_expand(a, a0, a1);
    cv::v_expand(b, b0, b1);
    cv::v_expand(c, c0, c1);
    const cv::v_uint8x16 mean = cv::v_pack(cv::v_mul_hi(a0 + b0 + c0, third), cv::v_mul_hi(a1 + b1 + c1, third));
    return (cv::v_absdiff(mean, a) > limit) | (cv::v_absdiff(mean, b) > limit) | (cv::v_absdiff(mean, c) > limit);
}
#endif

bool isColourImage(const cv::Mat& image, const char* caller);

// The 256-entry table of a gamma correction.
cv::Mat gammaTable(float gamma);

} // namespace velcap
