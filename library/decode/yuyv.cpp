// YUYV 4:2:2 to packed RGB with fixed video-range coefficients.
//
// Each channel is (a*y + b*u + c*v) / 1000 with integer y, u, v and three-digit
// coefficients, so the exact value is a multiple of 0.001. Rounding it to
// single precision never moves it across an integer (the nearest non-integer
// multiple is 0.001 away, far more than the rounding error), so truncating the
// float equals dividing the integer numerator by 1000. The clamp maps values
// above 250 to 255 and negative values to 0. The tests compare every (Y, U, V)
// against the floating-point arithmetic.
#include <algorithm>
#include <cstdint>
#include <vector>

#include <immintrin.h>

#include <opencv2/core/utility.hpp>

#include "yuyv.h"

namespace {

inline uint8_t channel(int numerator) {
    if (numerator > 250000) return 255;
    if (numerator < 0) return 0;
    return static_cast<uint8_t>(numerator / 1000);
}

void convertPairs(const uint8_t* in, uint8_t* out, long pairs) {
    for (long i = 0; i < pairs; ++i, in += 4, out += 6) {
        const int y0 = 1164 * (in[0] - 16);
        const int y1 = 1164 * (in[2] - 16);
        const int u = in[1] - 128;
        const int v = in[3] - 128;
        const int r = 1596 * v;
        const int g = -813 * v - 394 * u;
        const int b = 2018 * u;
        out[0] = channel(y0 + r);
        out[1] = channel(y0 + g);
        out[2] = channel(y0 + b);
        out[3] = channel(y1 + r);
        out[4] = channel(y1 + g);
        out[5] = channel(y1 + b);
    }
}

// Numerators of 8 pixels (32-bit lanes) to their bytes, as 16-bit lanes of
// both halves packed in order. floor(N / 1000) = floor(floor(N / 8) / 125), and
// for t <= 31875, floor(t / 125) = (t * 33555) >> 22.
__attribute__((target("avx2"))) inline __m256i clampDivide(__m256i low, __m256i high) {
    const __m256i limit = _mm256_set1_epi32(250000);
    const __m256i white = _mm256_set1_epi32(255000);
    const __m256i zero = _mm256_setzero_si256();
    low = _mm256_max_epi32(_mm256_blendv_epi8(low, white, _mm256_cmpgt_epi32(low, limit)), zero);
    high = _mm256_max_epi32(_mm256_blendv_epi8(high, white, _mm256_cmpgt_epi32(high, limit)), zero);
    __m256i t = _mm256_packs_epi32(_mm256_srli_epi32(low, 3), _mm256_srli_epi32(high, 3));
    return _mm256_srli_epi16(_mm256_mulhi_epu16(t, _mm256_set1_epi16(short(33555))), 6);
}

__attribute__((target("avx2"))) inline __m128i mix(__m128i r, __m128i g, __m128i b, __m128i mr, __m128i mg,
                                                   __m128i mb) {
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r, mr), _mm_shuffle_epi8(g, mg)), _mm_shuffle_epi8(b, mb));
}

// Sixteen pixels a step: 32 bytes of YUYV in, 48 bytes of RGB out.
__attribute__((target("avx2"))) long convertAvx2(const uint8_t* in, uint8_t* out, long pairs) {
    const __m256i lowByte = _mm256_set1_epi16(0x00FF);
    const __m256i lowWord = _mm256_set1_epi32(0x0000FFFF);
    const __m256i y16 = _mm256_set1_epi16(16), c128 = _mm256_set1_epi16(128);
    const __m256i kR = _mm256_set1_epi32((1596 << 16) | 1164);                          // (y, v)
    const __m256i kGyv = _mm256_set1_epi32(int(uint32_t(uint16_t(-813)) << 16 | 1164)); // (y, v)
    const __m256i kGyu = _mm256_set1_epi32(int(uint32_t(uint16_t(-394)) << 16));        // (y, u)
    const __m256i kB = _mm256_set1_epi32((2018 << 16) | 1164);                          // (y, u)
    // Interleave three 16-byte planes into 48 bytes R, G, B.
    const __m128i r0 = _mm_setr_epi8(0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, 5);
    const __m128i g0 = _mm_setr_epi8(-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1);
    const __m128i b0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
    const __m128i r1 = _mm_setr_epi8(-1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10, -1);
    const __m128i g1 = _mm_setr_epi8(5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10);
    const __m128i b1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1);
    const __m128i r2 = _mm_setr_epi8(-1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1, -1);
    const __m128i g2 = _mm_setr_epi8(-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1);
    const __m128i b2 = _mm_setr_epi8(10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15);

    long done = 0;
    for (; done + 8 <= pairs; done += 8, in += 32, out += 48) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        const __m256i y = _mm256_sub_epi16(_mm256_and_si256(v, lowByte), y16);
        const __m256i chroma = _mm256_srli_epi16(v, 8); // U0 V0 U1 V1 ...
        const __m256i uOnly = _mm256_and_si256(chroma, lowWord);
        const __m256i vOnly = _mm256_srli_epi32(chroma, 16);
        const __m256i u = _mm256_sub_epi16(_mm256_or_si256(uOnly, _mm256_slli_epi32(uOnly, 16)), c128);
        const __m256i w = _mm256_sub_epi16(_mm256_or_si256(vOnly, _mm256_slli_epi32(vOnly, 16)), c128);

        const __m256i yvLow = _mm256_unpacklo_epi16(y, w), yvHigh = _mm256_unpackhi_epi16(y, w);
        const __m256i yuLow = _mm256_unpacklo_epi16(y, u), yuHigh = _mm256_unpackhi_epi16(y, u);
        const __m256i red = clampDivide(_mm256_madd_epi16(yvLow, kR), _mm256_madd_epi16(yvHigh, kR));
        const __m256i green =
            clampDivide(_mm256_add_epi32(_mm256_madd_epi16(yvLow, kGyv), _mm256_madd_epi16(yuLow, kGyu)),
                        _mm256_add_epi32(_mm256_madd_epi16(yvHigh, kGyv), _mm256_madd_epi16(yuHigh, kGyu)));
        const __m256i blue = clampDivide(_mm256_madd_epi16(yuLow, kB), _mm256_madd_epi16(yuHigh, kB));

        // Bytes in pixel order: R and G planes in one register, B in another.
        const __m256i rg = _mm256_permute4x64_epi64(_mm256_packus_epi16(red, green), 0xD8);
        const __m256i bb = _mm256_permute4x64_epi64(_mm256_packus_epi16(blue, blue), 0xD8);
        const __m128i rp = _mm256_castsi256_si128(rg), gp = _mm256_extracti128_si256(rg, 1);
        const __m128i bp = _mm256_castsi256_si128(bb);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), mix(rp, gp, bp, r0, g0, b0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), mix(rp, gp, bp, r1, g1, b1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), mix(rp, gp, bp, r2, g2, b2));
    }
    return done;
}

void convert(const uint8_t* in, uint8_t* out, long pairs) {
    static const bool haveAvx2 = __builtin_cpu_supports("avx2");
    const long done = haveAvx2 ? convertAvx2(in, out, pairs) : 0;
    convertPairs(in + done * 4, out + done * 6, pairs - done);
}

} // namespace

namespace velcap {

void yuyvToRgb(const unsigned char* source, unsigned char* destination, int width, int height) {
    if (width <= 0 || height <= 0) return;
    const long pairs = (long(width) * long(height)) / 2;
    // Large frames are converted in stripes on OpenCV's worker threads. Their
    // pool (TBB) is not built for ThreadSanitizer, which would see races in it.
#if defined(__SANITIZE_THREAD__)
    constexpr long kStripePairs = 1L << 40;
#else
    constexpr long kStripePairs = 1 << 18;
#endif
    const int stripes = int(std::min<long>(8, (pairs + kStripePairs - 1) / kStripePairs));
    if (stripes <= 1) return convert(source, destination, pairs);
    const long perStripe = (pairs / stripes + 7) / 8 * 8;
    cv::parallel_for_(cv::Range(0, stripes), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            const long first = s * perStripe;
            const long count = std::min(pairs, first + perStripe) - first;
            if (count > 0) convert(source + first * 4, destination + first * 6, count);
        }
    });
}

} // namespace velcap

namespace velcap {

void yuyvToRgbReduced(const unsigned char* source, int width, int height, int reduction, cv::Mat& rgb) {
    if (width <= 0 || height <= 0 || reduction < 1) return;
    const int outWidth = (width + reduction - 1) / reduction, outHeight = (height + reduction - 1) / reduction;
    rgb.create(outHeight, outWidth, CV_8UC3);
    if (reduction == 1) return yuyvToRgb(source, rgb.data, width, height);
    const size_t rowBytes = size_t(width) * 2;
    // Each kept row is converted whole by the vector code, then every
    // reduction-th pixel is kept: the same values as the whole conversion's.
    const auto convertRows = [&](const cv::Range& rows) {
        std::vector<uint8_t> line(size_t(width) * 3 + 3);
        for (int y = rows.start; y < rows.end; ++y) {
            const uint8_t* row = source + size_t(y) * size_t(reduction) * rowBytes;
            convert(row, line.data(), (width + 1) / 2);
            uint8_t* out = rgb.ptr<uint8_t>(y);
            for (int x = 0; x < outWidth; ++x, out += 3) {
                const uint8_t* pixel = line.data() + size_t(x) * size_t(reduction) * 3;
                out[0] = pixel[0];
                out[1] = pixel[1];
                out[2] = pixel[2];
            }
        }
    };
#if defined(__SANITIZE_THREAD__) // OpenCV's pool is not built for ThreadSanitizer
    convertRows(cv::Range(0, outHeight));
#else
    if (size_t(outHeight) * rowBytes >= (size_t(1) << 20))
        cv::parallel_for_(cv::Range(0, outHeight), convertRows, 4);
    else
        convertRows(cv::Range(0, outHeight));
#endif
}

} // namespace velcap
