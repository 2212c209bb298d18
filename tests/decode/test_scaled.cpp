// Previews decoded reduced: libjpeg-turbo's DCT scaling against a whole
// decode scaled down, and YUYV subsampled against the whole conversion.
#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include "decode/jpeg_scaled.h"
#include "decode/yuyv.h"

namespace {

// A page-like picture: text-sized detail over smooth shading, R, G, B.
cv::Mat page(int width, int height) {
    cv::Mat rgb(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgb.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(x * 255 / width), 200, uchar(y % 256));
    for (int line = 40; line < height - 40; line += 36)
        cv::putText(rgb, "velcap 1234567890 ABCDEFGHIJ", {20, line}, cv::FONT_HERSHEY_SIMPLEX, 0.9, {20, 20, 20}, 2);
    return rgb;
}

// Cameras leave out the Huffman tables; their frames must decode all the same.
std::vector<uchar> withoutHuffmanTables(const std::vector<uchar>& jpeg) {
    std::vector<uchar> out(jpeg.begin(), jpeg.begin() + 2);
    size_t i = 2;
    while (i + 4 <= jpeg.size() && jpeg[i] == 0xFF && jpeg[i + 1] != 0xDA) {
        const size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (jpeg[i + 1] != 0xC4) out.insert(out.end(), jpeg.begin() + long(i), jpeg.begin() + long(i + 2 + length));
        i += 2 + length;
    }
    out.insert(out.end(), jpeg.begin() + long(i), jpeg.end());
    return out;
}

// 4:2:2, as cameras send it.
std::vector<uchar> jpeg422(const cv::Mat& rgb) {
    const tjhandle encoder = tjInitCompress();
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
    const bool ok = tjCompress2(encoder, rgb.data, rgb.cols, int(rgb.step), rgb.rows, TJPF_RGB, &bytes, &size,
                                TJSAMP_422, 90, 0) == 0;
    std::vector<uchar> jpeg = ok ? std::vector<uchar>(bytes, bytes + size) : std::vector<uchar>();
    tjFree(bytes);
    tjDestroy(encoder);
    return jpeg;
}

TEST(ScaledJpeg, MatchesAWholeDecodeScaledDown) {
    const cv::Mat rgb = page(1280, 720);
    const std::vector<uchar> jpeg = jpeg422(rgb);
    cv::Mat whole;
    cv::cvtColor(cv::imdecode(jpeg, cv::IMREAD_COLOR), whole, cv::COLOR_BGR2RGB);
    const std::vector<uchar> bare = withoutHuffmanTables(jpeg);
    ASSERT_LT(bare.size(), jpeg.size());
    velcap::ScaledJpegDecoder decoder;
    for (int reduction : {2, 4, 8}) {
        SCOPED_TRACE(reduction);
        cv::Mat reduced, fromBare, reference;
        ASSERT_TRUE(decoder.decode(jpeg.data(), jpeg.size(), reduction, reduced));
        ASSERT_EQ(reduced.size(), cv::Size(1280 / reduction, 720 / reduction));
        cv::resize(whole, reference, reduced.size(), 0, 0, cv::INTER_AREA);
        cv::Mat difference;
        cv::absdiff(reduced, reference, difference);
        const cv::Scalar mean = cv::mean(difference);
        for (int c = 0; c < 3; ++c) EXPECT_LT(mean[c], 4.0) << "channel " << c;
        ASSERT_TRUE(decoder.decode(bare.data(), bare.size(), reduction, fromBare));
        EXPECT_EQ(cv::norm(fromBare, reduced, cv::NORM_INF), 0);
    }
    // Sides that do not divide round up, as the DCT scaling does.
    const std::vector<uchar> odd = jpeg422(page(1283, 721));
    cv::Mat out;
    EXPECT_TRUE(decoder.decode(odd.data(), odd.size(), 8, out));
    EXPECT_EQ(out.size(), cv::Size(161, 91));
    EXPECT_FALSE(decoder.decode(jpeg.data(), jpeg.size() / 2, 4, out)) << "a frame cut short is not shown";
    EXPECT_FALSE(decoder.decode(jpeg.data(), jpeg.size(), 3, out));
    EXPECT_FALSE(decoder.decode(jpeg.data(), 100, 2, out));
}

TEST(ScaledJpeg, TheCoveringReductionIsTheLargestThatStillCovers) {
    const struct {
        int width, height, reduction;
    } cases[] = {{0, 0, 1}, {640, 480, 4}, {648, 486, 4}, {649, 486, 2}, {324, 243, 8}, {2592, 1944, 1}, {3000, 10, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(velcap::coveringReduction(2592, 1944, c.width, c.height), c.reduction) << c.width << "x" << c.height;
}

TEST(ReducedYuyv, IsTheWholeConversionSubsampled) {
    std::mt19937 random(7);
    for (const cv::Size size : {cv::Size(642, 481), cv::Size(64, 8), cv::Size(2, 1)}) {
        std::vector<uchar> yuyv(size_t(size.area()) * 2);
        for (uchar& byte : yuyv) byte = uchar(random());
        cv::Mat whole(size, CV_8UC3);
        velcap::yuyvToRgb(yuyv.data(), whole.data, size.width, size.height);
        for (int reduction : {1, 2, 4, 8}) {
            cv::Mat reduced;
            velcap::yuyvToRgbReduced(yuyv.data(), size.width, size.height, reduction, reduced);
            ASSERT_EQ(reduced.size(),
                      cv::Size((size.width + reduction - 1) / reduction, (size.height + reduction - 1) / reduction));
            cv::Mat expected(reduced.size(), CV_8UC3);
            for (int y = 0; y < expected.rows; ++y)
                for (int x = 0; x < expected.cols; ++x)
                    expected.at<cv::Vec3b>(y, x) = whole.at<cv::Vec3b>(y * reduction, x * reduction);
            EXPECT_EQ(cv::norm(reduced, expected, cv::NORM_INF), 0) << size << " / " << reduction;
        }
    }
}

} // namespace
