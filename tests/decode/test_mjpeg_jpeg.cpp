// JPEG frames held by the host, through the libjpeg decoders, against OpenCV's
// decoding of the same bytes.
#include <algorithm>
#include <random>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/camera_test.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

using velcap::test::stdoutOf;

namespace {

// OpenCV's decoding, R, G, B.
cv::Mat opencvDecode(const std::vector<uint8_t>& jpeg) {
    cv::Mat bgr = cv::imdecode(jpeg, cv::IMREAD_COLOR), rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    return rgb;
}

std::vector<uint8_t> opencvEncode(const cv::Mat& rgbOrGrey, std::vector<int> parameters = {}) {
    cv::Mat picture = rgbOrGrey;
    if (picture.channels() == 3) cv::cvtColor(picture, picture, cv::COLOR_RGB2BGR);
    std::vector<uint8_t> jpeg;
    cv::imencode(".jpg", picture, jpeg, parameters);
    return jpeg;
}

int decodeEx(std::vector<uint8_t>& jpeg, cv::Mat& destination, size_t length) {
    return Mjpeg2RgbConvertEx(jpeg.data(), int(length), destination);
}

struct Sample {
    const char* name;
    std::vector<uint8_t> jpeg;
};

// Frames as cameras and programs make them: every sampling, with and without
// Huffman tables, restart intervals, odd sizes, and a grey picture.
std::vector<Sample> samples() {
    const cv::Mat scene = vcam::renderScene(640, 480);
    cv::Mat odd = vcam::renderScene(333, 251);
    cv::Mat grey;
    cv::cvtColor(scene, grey, cv::COLOR_RGB2GRAY);
    return {
        {"4:2:0 camera frame", vcam::encodeJpeg(scene, 32)},
        {"4:2:2 camera frame", vcam::encodeJpeg(scene, 32, {true, true})},
        {"4:2:0 without Huffman tables", vcam::encodeJpeg(scene, 32, {false, false})},
        {"4:2:2 without Huffman tables", vcam::encodeJpeg(scene, 32, {true, false})},
        {"optimised Huffman tables", opencvEncode(scene, {cv::IMWRITE_JPEG_OPTIMIZE, 1})},
        {"progressive, odd size", opencvEncode(odd, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})},
        {"grey", opencvEncode(grey)},
    };
}

TEST(MjpegLibjpeg, PixelsAreOpenCvsDecodingOfTheSameBytes) {
    for (Sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const cv::Mat expected = opencvDecode(s.jpeg);
        ASSERT_FALSE(expected.empty());
        cv::Mat destination(expected.size(), CV_8UC3, cv::Scalar(1, 2, 3));
        ASSERT_EQ(decodeEx(s.jpeg, destination, s.jpeg.size()), 0);
        EXPECT_EQ(cv::norm(destination, expected, cv::NORM_INF), 0);

        cv::Mat viaRecord(expected.size(), CV_8UC3, cv::Scalar(1, 2, 3));
        VideoBuf frame{7, 1234, int(s.jpeg.size()), s.jpeg.data()};
        ASSERT_EQ(Mjpeg2RgbConvert(&frame, viaRecord), 0);
        EXPECT_EQ(cv::norm(viaRecord, expected, cv::NORM_INF), 0);
    }
}

TEST(MjpegLibjpeg, RowsArePackedFromTheFirstByte) {
    std::vector<uint8_t> jpeg = vcam::encodeJpeg(vcam::renderScene(640, 480), 32);
    const cv::Mat expected = opencvDecode(jpeg);
    // A larger destination keeps its bytes after the picture; rows are packed at the picture's width.
    cv::Mat destination(500, 700, CV_8UC3, cv::Scalar(9, 9, 9));
    ASSERT_EQ(decodeEx(jpeg, destination, jpeg.size()), 0);
    const size_t pictureBytes = 640 * 480 * 3;
    EXPECT_EQ(std::memcmp(destination.data, expected.data, pictureBytes), 0);
    EXPECT_EQ(destination.data[pictureBytes], 9);
    EXPECT_EQ(destination.data[destination.total() * 3 - 1], 9);
    // The same bytes in a picture of other proportions: 480 rows of 640 columns are as many bytes as 640 x 480.
    cv::Mat upright(640, 480, CV_8UC3, cv::Scalar(0, 0, 0));
    ASSERT_EQ(decodeEx(jpeg, upright, jpeg.size()), 0);
    EXPECT_EQ(std::memcmp(upright.data, expected.data, pictureBytes), 0);
}

TEST(MjpegLibjpeg, DestinationsThatCannotHoldThePictureAreRefusedUntouched) {
    std::vector<uint8_t> jpeg = vcam::encodeJpeg(vcam::renderScene(640, 480), 32);
    struct Case {
        const char* name;
        cv::Mat destination;
    } cases[] = {
        {"a row short", cv::Mat(479, 640, CV_8UC3, cv::Scalar(5, 6, 7))},
        {"grey", cv::Mat(480, 640, CV_8UC1, cv::Scalar(5))},
        {"four channels", cv::Mat(480, 640, CV_8UC4, cv::Scalar(5, 6, 7, 8))},
        {"not continuous", cv::Mat(480, 800, CV_8UC3, cv::Scalar(5, 6, 7)).colRange(0, 700)},
        {"empty", cv::Mat()},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat before = c.destination.clone();
        int result = 0;
        const std::string out = stdoutOf([&] { result = decodeEx(jpeg, c.destination, jpeg.size()); });
        EXPECT_EQ(result, -1);
        EXPECT_NE(out.find("Mjpeg2RgbConvertEx: the destination"), std::string::npos) << out;
        EXPECT_NE(out.find("cannot hold the 640x480 R, G, B picture"), std::string::npos) << out;
        if (!before.empty()) {
            EXPECT_EQ(cv::norm(c.destination, before, cv::NORM_INF), 0);
        }
    }
}

TEST(MjpegLibjpeg, BadInputFailsWithLibjpegsMessage) {
    std::vector<uint8_t> jpeg = vcam::encodeJpeg(vcam::renderScene(640, 480), 32);
    cv::Mat destination(480, 640, CV_8UC3);
    int result = 0;
    std::string out = stdoutOf([&] { result = decodeEx(jpeg, destination, 0); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "Empty input file\n");
    out = stdoutOf([&] { result = Mjpeg2RgbConvertEx(nullptr, 100, destination); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "Empty input file\n");
    VideoBuf empty{0, 0, 0, nullptr};
    out = stdoutOf([&] { result = Mjpeg2RgbConvert(&empty, destination); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Mjpeg2RgbConvert(nullptr, destination), -1);

    std::vector<uint8_t> junk(5000);
    std::mt19937 random(11);
    for (auto& b : junk) b = uint8_t(random());
    out = stdoutOf([&] { result = decodeEx(junk, destination, junk.size()); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(
        out, "Not a JPEG file: starts with 0x" + [&] {
            char hex[16];
            std::snprintf(hex, sizeof hex, "%02x 0x%02x", junk[0], junk[1]);
            return std::string(hex);
        }() + "\n");

    // A picture cut in the middle of its header fails; the decoders go on working afterwards.
    out = stdoutOf([&] { result = decodeEx(jpeg, destination, 100); });
    EXPECT_EQ(result, -1);
    EXPECT_NE(out, "");
    EXPECT_EQ(decodeEx(jpeg, destination, jpeg.size()), 0);
}

TEST(MjpegLibjpeg, FramesCutShortDecodeTheirFirstPart) {
    std::vector<uint8_t> jpeg = vcam::encodeJpeg(vcam::renderScene(640, 480), 32);
    const cv::Mat whole = opencvDecode(jpeg);
    for (bool finish : {false, true}) {
        SCOPED_TRACE(finish ? "Mjpeg2RgbConvert" : "Mjpeg2RgbConvertEx");
        cv::Mat destination(480, 640, CV_8UC3, cv::Scalar(1, 2, 3));
        int result = 0;
        VideoBuf frame{0, 0, int(jpeg.size() / 2), jpeg.data()};
        stdoutOf([&] {
            result = finish ? Mjpeg2RgbConvert(&frame, destination) : decodeEx(jpeg, destination, jpeg.size() / 2);
        });
        EXPECT_EQ(result, 0);
        // The top rows are the picture's own; the whole picture is not.
        EXPECT_EQ(cv::norm(destination.rowRange(0, 32), whole.rowRange(0, 32), cv::NORM_INF), 0);
        EXPECT_GT(cv::norm(destination, whole, cv::NORM_INF), 0);
    }
}

TEST(MjpegLibjpeg, CovertOneLineCopiesOnly24BitPixels) {
    unsigned char source[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    unsigned char destination[12] = {};
    EXPECT_EQ(CovertOneLine(4, 16, 24, source, destination), -1);
    EXPECT_EQ(destination[0], 0);
    EXPECT_EQ(CovertOneLine(3, 24, 0, source, destination), 0);
    EXPECT_EQ(std::memcmp(source, destination, 9), 0);
    EXPECT_EQ(destination[9], 0);
}

// The stream thread's libavcodec path on frames as UVC cameras send them.
TEST(MjpegLibavcodec, FramesWithoutHuffmanTablesAndIn422Decode) {
    const cv::Mat scene = vcam::renderScene(640, 480);
    for (vcam::MjpegStyle style :
         {vcam::MjpegStyle{true, true}, vcam::MjpegStyle{false, false}, vcam::MjpegStyle{true, false}}) {
        SCOPED_TRACE(std::string(style.sampling422 ? "4:2:2" : "4:2:0") + (style.huffmanTables ? "" : " no DHT"));
        std::vector<uint8_t> jpeg = vcam::encodeJpeg(scene, 32, style);
        const uint8_t dht[2] = {0xFF, 0xC4};
        EXPECT_EQ(std::search(jpeg.begin(), jpeg.end(), dht, dht + 2) != jpeg.end(), style.huffmanTables);
        av_decode_init();
        cv::Mat destination(480, 640, CV_8UC3, cv::Scalar(0, 0, 0)), unused;
        const std::string out =
            stdoutOf([&] { do_excute_image(jpeg.data(), int(jpeg.size()), 640, 480, destination, unused); });
        av_decode_deinit();
        EXPECT_EQ(out, "");
        // libavcodec's IDCT and upsampling are its own: close to libjpeg's, not equal.
        cv::Mat diff;
        cv::absdiff(destination, opencvDecode(jpeg), diff);
        const cv::Scalar mean = cv::mean(diff);
        EXPECT_LT((mean[0] + mean[1] + mean[2]) / 3, 1.5);
    }
}

} // namespace
