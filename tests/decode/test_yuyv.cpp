// YUYV to RGB: every byte equal to the defined arithmetic.
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "decode/yuyv_reference.h"
#include "velcap.h"

using velcap::test::referenceYuyvToRgb;

namespace {

std::vector<uint8_t> convert(std::vector<uint8_t> yuyv, int width, int height, uint8_t fill = 0xAB) {
    std::vector<uint8_t> rgb(size_t(width) * height * 3, fill);
    yuyv_to_rgb888(yuyv.data(), rgb.data(), width, height);
    return rgb;
}

TEST(Yuyv, WorkedExamples) {
    auto pixel = [](uint8_t y, uint8_t u, uint8_t v) {
        auto rgb = convert({y, u, y, v}, 2, 1);
        return std::vector<int>{rgb[0], rgb[1], rgb[2]};
    };
    EXPECT_EQ(pixel(16, 128, 128), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(pixel(235, 128, 128), (std::vector<int>{255, 255, 255})); // 254.916 is above 250
    EXPECT_EQ(pixel(230, 128, 128), (std::vector<int>{249, 249, 249}));
    EXPECT_EQ(pixel(81, 90, 240), (std::vector<int>{255, 0, 0}));
}

TEST(Yuyv, EveryYuvTripleInBothPositionsMatchesTheFormula) {
    // One row per (u, v): 256 pairs whose first pixel runs through every Y
    // and whose second runs through them backwards.
    const int width = 512, height = 256;
    std::vector<uint8_t> yuyv(size_t(width) * height * 2);
    std::vector<uint8_t> expected(size_t(width) * height * 3), actual(expected.size());
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            uint8_t* p = &yuyv[size_t(v) * width * 2];
            for (int y = 0; y < 256; ++y, p += 4) {
                p[0] = uint8_t(y);
                p[1] = uint8_t(u);
                p[2] = uint8_t(255 - y);
                p[3] = uint8_t(v);
            }
        }
        referenceYuyvToRgb(yuyv.data(), expected.data(), width, height);
        yuyv_to_rgb888(yuyv.data(), actual.data(), width, height);
        ASSERT_EQ(actual, expected) << "u = " << u;
    }
}

TEST(Yuyv, OddSizesAndFrameEdges) {
    std::mt19937 random(1);
    for (auto [w, h] : {std::pair{3, 1}, {1, 1}, {5, 3}, {17, 9}, {33, 1}, {641, 3}, {7, 64}}) {
        std::vector<uint8_t> yuyv(size_t(w) * h * 2 + 4);
        for (auto& b : yuyv) b = uint8_t(random());
        std::vector<uint8_t> expected(size_t(w) * h * 3, 0xAB);
        referenceYuyvToRgb(yuyv.data(), expected.data(), w, h);
        EXPECT_EQ(convert(yuyv, w, h), expected) << w << "x" << h;
    }
    // A 3 x 1 frame converts one pair and leaves the last pixel as it was.
    auto rgb = convert({16, 128, 235, 128, 200, 200}, 3, 1);
    EXPECT_EQ(rgb[6], 0xAB);
    EXPECT_EQ(rgb[8], 0xAB);
    EXPECT_EQ(rgb[3], 255);
}

TEST(Yuyv, LargeFrameMatchesTheFormula) {
    const int w = 3264, h = 2448;
    std::mt19937 random(2);
    std::vector<uint8_t> yuyv(size_t(w) * h * 2);
    for (auto& b : yuyv) b = uint8_t(random());
    std::vector<uint8_t> expected(size_t(w) * h * 3);
    referenceYuyvToRgb(yuyv.data(), expected.data(), w, h);
    EXPECT_EQ(convert(yuyv, w, h), expected);
}

} // namespace
