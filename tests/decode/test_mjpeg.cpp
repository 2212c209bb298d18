// MJPEG frames through libavcodec into an RGB frame image.
#include <random>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/camera_test.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

using velcap::test::stdoutOf;

namespace {

std::vector<uint8_t> encode(const cv::Mat& rgb, int quality = 90) {
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    std::vector<uint8_t> jpeg;
    cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, quality});
    return jpeg;
}

double meanDifference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    cv::Scalar m = cv::mean(diff);
    return (m[0] + m[1] + m[2]) / 3;
}

class Mjpeg : public ::testing::Test {
protected:
    void SetUp() override { av_decode_init(); }
    void TearDown() override { av_decode_deinit(); }
    cv::Mat unused;
};

TEST_F(Mjpeg, ValidFrameFillsTheDestinationInRgbOrder) {
    cv::Mat scene = vcam::renderScene(1280, 720);
    std::vector<uint8_t> jpeg = encode(scene);
    cv::Mat destination(720, 1280, CV_8UC3, cv::Scalar(0, 0, 0));
    std::string out = stdoutOf([&] { do_excute_image(jpeg.data(), int(jpeg.size()), 1280, 720, destination, unused); });
    EXPECT_EQ(out, "");
    EXPECT_LT(meanDifference(destination, scene), 1.5);
    // Pure red stays red: the channels are R, G, B.
    cv::Mat red(64, 64, CV_8UC3, cv::Scalar(255, 0, 0));
    jpeg = encode(red);
    av_decode_deinit();
    av_decode_init();
    cv::Mat small(64, 64, CV_8UC3, cv::Scalar(0, 0, 0));
    do_excute_image(jpeg.data(), int(jpeg.size()), 64, 64, small, unused);
    cv::Vec3b p = small.at<cv::Vec3b>(32, 32);
    EXPECT_GT(p[0], 240);
    EXPECT_LT(p[2], 15);
}

TEST_F(Mjpeg, BadInputLeavesTheDestinationUntouched) {
    cv::Mat destination(48, 64, CV_8UC3, cv::Scalar(1, 2, 3));
    const cv::Mat before = destination.clone();
    std::vector<uint8_t> junk(5000);
    std::mt19937 random(3);
    for (auto& b : junk) b = uint8_t(random());

    std::string out = stdoutOf([&] { do_excute_image(junk.data(), 0, 64, 48, destination, unused); });
    EXPECT_EQ(out, "") << "a zero-length frame prints nothing";
    out = stdoutOf([&] { do_excute_image(junk.data(), int(junk.size()), 64, 48, destination, unused); });
    EXPECT_EQ(out, "decode error.\n");
    EXPECT_EQ(cv::norm(destination, before, cv::NORM_INF), 0);

    // A destination of another size than asked for is refused, not overrun.
    std::vector<uint8_t> jpeg = encode(cv::Mat(48, 64, CV_8UC3, cv::Scalar(9, 9, 9)));
    cv::Mat tooSmall(10, 10, CV_8UC3, cv::Scalar(1, 2, 3));
    out = stdoutOf([&] { do_excute_image(jpeg.data(), int(jpeg.size()), 64, 48, tooSmall, unused); });
    EXPECT_NE(out.find("do_excute_image: destination is not a 64x48 RGB image"), std::string::npos);
}

TEST_F(Mjpeg, PicturesOfAnotherSizeAreScaledToTheDestination) {
    cv::Mat scene = vcam::renderScene(640, 480);
    std::vector<uint8_t> jpeg = encode(scene);
    cv::Mat destination(240, 320, CV_8UC3);
    do_excute_image(jpeg.data(), int(jpeg.size()), 320, 240, destination, unused);
    cv::Mat expected;
    cv::resize(scene, expected, cv::Size(320, 240), 0, 0, cv::INTER_AREA);
    EXPECT_LT(meanDifference(destination, expected), 6);
    // The next picture has yet another size; the scaler follows it.
    jpeg = encode(vcam::renderScene(1280, 720));
    do_excute_image(jpeg.data(), int(jpeg.size()), 320, 240, destination, unused);
    EXPECT_GT(cv::mean(destination)[0], 50);
}

// One full-frame conversion, the way the decoder would do it without bands.
cv::Mat referenceDecode(const std::vector<uint8_t>& jpeg, int width, int height) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    avcodec_open2(context, codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    packet->data = const_cast<uint8_t*>(jpeg.data());
    packet->size = int(jpeg.size());
    avcodec_send_packet(context, packet);
    avcodec_receive_frame(context, picture);
    const AVPixelFormat format =
        picture->format == AV_PIX_FMT_YUVJ420P ? AV_PIX_FMT_YUV420P : AVPixelFormat(picture->format);
    SwsContext* scaler = sws_getContext(picture->width, picture->height, format, width, height, AV_PIX_FMT_RGB24,
                                        SWS_BICUBIC, nullptr, nullptr, nullptr);
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(scaler, coefficients, 1, coefficients, 1, 0, 1 << 16, 1 << 16);
    cv::Mat rgb(height, width, CV_8UC3);
    uint8_t* planes[4] = {rgb.data, nullptr, nullptr, nullptr};
    int strides[4] = {width * 3, 0, 0, 0};
    sws_scale(scaler, picture->data, picture->linesize, 0, picture->height, planes, strides);
    sws_freeContext(scaler);
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return rgb;
}

TEST_F(Mjpeg, BandsGiveTheBytesOfOneFullConversion) {
    for (auto [w, h] : {std::pair{1280, 720}, {3264, 2448}, {1283, 721}}) {
        std::vector<uint8_t> jpeg = encode(vcam::renderScene(unsigned(w), unsigned(h)));
        cv::Mat destination(h, w, CV_8UC3), unused;
        av_decode_deinit();
        av_decode_init();
        do_excute_image(jpeg.data(), int(jpeg.size()), w, h, destination, unused);
        EXPECT_EQ(cv::norm(destination, referenceDecode(jpeg, w, h), cv::NORM_INF), 0) << w << "x" << h;
    }
}

// A frame whose header claims a size that the scaler refuses, between good
// frames: nothing is freed twice, and the good frames decode again.
TEST_F(Mjpeg, AFrameTheScalerRefusesFreesNothingTwice) {
    cv::Mat picture(480, 640, CV_8UC3, cv::Scalar(30, 140, 220));
    const std::vector<uint8_t> good = encode(picture);
    std::vector<uint8_t> claims = good;
    // The start of frame: FF C0, length, precision, height, width.
    for (size_t i = 0; i + 9 < claims.size(); ++i)
        if (claims[i] == 0xFF && claims[i + 1] == 0xC0) {
            claims[i + 5] = 0x00, claims[i + 6] = 0x08; // 8 rows
            claims[i + 7] = 0xFF, claims[i + 8] = 0xFF; // 65535 columns
            break;
        }
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(0));
    std::string out = stdoutOf([&] {
        for (int round = 0; round < 3; ++round) {
            frame.setTo(0);
            do_excute_image(const_cast<uint8_t*>(good.data()), int(good.size()), 640, 480, frame, unused);
            EXPECT_LT(meanDifference(frame, picture), 3) << round;
            do_excute_image(claims.data(), int(claims.size()), 640, 480, frame, unused);
        }
    });
    // The decoder is released at the end of the test: a second free would abort there.
    av_decode_deinit();
    EXPECT_EQ(pdecode, nullptr);
}

TEST(MjpegDecoder, InitAndDeinitAreIdempotent) {
    EXPECT_EQ(pdecode, nullptr);
    av_decode_init();
    void* record = pdecode;
    ASSERT_NE(record, nullptr);
    av_decode_init();
    EXPECT_EQ(pdecode, record);
    av_decode_deinit();
    EXPECT_EQ(pdecode, nullptr);
    av_decode_deinit();
    EXPECT_EQ(pdecode, nullptr);
    // Decoding without a decoder does nothing.
    cv::Mat destination(8, 8, CV_8UC3, cv::Scalar(4, 5, 6)), unused;
    uint8_t data[16] = {0xFF, 0xD8};
    do_excute_image(data, sizeof(data), 8, 8, destination, unused);
    EXPECT_EQ(destination.at<cv::Vec3b>(0, 0), cv::Vec3b(4, 5, 6));
}

} // namespace
