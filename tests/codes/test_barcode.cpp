// Bar codes and QR codes through zbar and the chain of binarisations.
#include <fstream>

#include <zbar.h>

#include "codes/code_images.h"
#include "support/camera_test.h"

using namespace velcap::test;

namespace {

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

cv::Mat bothCodes() {
    return page(cv::Size(1100, 700), {{qrPicture(kQrText, 4), cv::Point(80, 150)},
                                      {barPicture(13, "400638133393", 2), cv::Point(550, 250)}});
}

TEST(Barcode, TypeZeroReadsTheBarCodeAndOtherTypesTheQrCode) {
    const cv::Mat frame = toRgb(bothCodes());
    std::string bar, qr, two;
    std::string out = stdoutOf([&] {
        bar = BarQrDecodePro(frame, 0);
        qr = BarQrDecodePro(frame, 1);
        two = BarQrDecodePro(frame, 2);
    });
    EXPECT_EQ(bar, kEan13);
    EXPECT_EQ(qr, kQrText);
    EXPECT_EQ(two, kQrText);
    EXPECT_EQ(occurrences(out, "BarQrDecodePro start\r\n"), 3u);
    EXPECT_EQ(occurrences(out, "BarQrDecodePro end\r\n"), 3u);
}

TEST(Barcode, OtherLinearSymbologies) {
    for (auto [symbology, data] : {std::pair{20, "VELCAP-128/x"}, std::pair{8, "VELCAP39"}}) {
        const cv::Mat frame = toRgb(page(cv::Size(1600, 600), {{barPicture(symbology, data, 2), cv::Point(80, 120)}}));
        std::string result;
        stdoutOf([&] { result = BarQrDecodePro(frame, 0); });
        EXPECT_EQ(result, data);
    }
}

TEST(Barcode, AQrCodeThatOtsuReadsTakesOneScan) {
    const cv::Mat frame = toRgb(page(cv::Size(800, 600), {{qrPicture(), cv::Point(200, 100)}}));
    std::string result;
    std::string out = stdoutOf([&] { result = BarQrDecodePro(frame, 1); });
    EXPECT_EQ(result, kQrText);
    // Every failed scan says so; none did.
    EXPECT_EQ(out, "BarQrDecodePro start\r\nBarQrDecodePro end\r\n");
}

TEST(Barcode, NoCodeRunsTheWholeChain) {
    cv::Mat grey(600, 800, CV_8UC1);
    cv::randu(grey, 60, 200);
    cv::GaussianBlur(grey, grey, cv::Size(0, 0), 6);
    cv::Mat bin;
    const int otsu = int(cv::threshold(grey, bin, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU));
    const size_t sweeps = otsu > 239 ? 0 : size_t((239 - otsu) / 20 + 1);
    std::string result;
    std::string out = stdoutOf([&] { result = BarQrDecodePro(toRgb(grey), 1); });
    EXPECT_EQ(result, "");
    EXPECT_EQ(occurrences(out, "No BarQrCode!!\r\n"), 2 * (2 + sweeps)) << "Otsu threshold " << otsu;

    // A black frame: Otsu gives 0 and the chain makes all 28 scans.
    out = stdoutOf([&] { result = BarQrDecodePro(cv::Mat(120, 160, CV_8UC3, cv::Scalar(0, 0, 0)), 0); });
    EXPECT_EQ(occurrences(out, "No BarQrCode!!\r\n"), 28u);
}

TEST(Barcode, OnlyAQrCodeAskedForABarCodeGivesNothing) {
    const cv::Mat frame = toRgb(page(cv::Size(800, 600), {{qrPicture(), cv::Point(200, 100)}}));
    std::string result = "unset";
    std::string out = stdoutOf([&] { result = BarQrDecodePro(frame, 0); });
    EXPECT_EQ(result, "");
    // zbar sees the QR code every time, so no scan reports "nothing".
    EXPECT_EQ(occurrences(out, "No BarQrCode!!"), 0u);
}

TEST(Barcode, DistortedCodesAreRead) {
    const cv::Mat clean = bothCodes();
    for (const Distortion& d : distortions()) {
        cv::setRNGSeed(7);
        const cv::Mat frame = toRgb(d.apply(clean));
        std::string bar, qr;
        stdoutOf([&] {
            bar = BarQrDecodePro(frame, 0);
            qr = BarQrDecodePro(frame, 1);
        });
        EXPECT_EQ(qr, kQrText) << d.name;
        EXPECT_EQ(bar, kEan13) << d.name;
    }
}

TEST(Barcode, TheChainReadsWhatOnePlainScanMisses) {
    cv::setRNGSeed(40);
    const cv::Mat grey = velcap::codes::noise(bothCodes(), 40);
    std::string plainQr, plainBar, qr, bar;
    stdoutOf([&] {
        plainQr = ZbarDecoder(grey, 1);
        plainBar = ZbarDecoder(grey, 0);
        qr = BarQrDecodePro(toRgb(grey), 1);
        bar = BarQrDecodePro(toRgb(grey), 0);
    });
    EXPECT_EQ(plainQr, "");
    EXPECT_EQ(plainBar, "");
    EXPECT_EQ(qr, kQrText);
    EXPECT_EQ(bar, kEan13);
}

TEST(Barcode, BadFramesGiveTheEmptyResult) {
    std::string out = stdoutOf([] {
        EXPECT_EQ(BarQrDecodePro(cv::Mat(), 0), "");
        EXPECT_EQ(BarQrDecodePro(cv::Mat(10, 10, CV_8UC1, cv::Scalar(9)), 1), "");
        EXPECT_EQ(BarQrDecodePro(cv::Mat(10, 10, CV_16UC3), 1), "");
        EXPECT_EQ(ZbarDecoder(cv::Mat(), 1), "");
        EXPECT_EQ(ZbarDecoder(cv::Mat(10, 10, CV_8UC3), 1), "");
        EXPECT_EQ(GetQR(cv::Mat(), 0), "");
    });
    EXPECT_NE(out.find("BarQrDecodePro: needs an 8-bit R, G, B frame, got 0x0"), std::string::npos) << out;
    EXPECT_NE(out.find("ZbarDecoder: needs a non-empty 8-bit one-channel image, got 10x10 of type 16"),
              std::string::npos);
}

TEST(Barcode, ScansOfPartsOfAnImage) {
    // A region of interest is not continuous; the scan must still see the code.
    const cv::Mat big = page(cv::Size(1400, 900), {{qrPicture(), cv::Point(500, 300)}});
    const cv::Mat part = big(cv::Rect(400, 200, 600, 600));
    ASSERT_FALSE(part.isContinuous());
    std::string result;
    stdoutOf([&] { result = ZbarDecoder(part, 1); });
    EXPECT_EQ(result, kQrText);
}

TEST(Barcode, BinaryQrPayloadIsReturnedAsItsBytes) {
    const std::string path = testing::TempDir() + "/velcap-binary-qr.png";
    const std::string payload = std::string("\xff\xfe\x00\x81 binary \xc3", 14);
    std::ofstream(testing::TempDir() + "/velcap-payload.bin", std::ios::binary) << payload;
    cv::Mat qr = encoded("qrencode -8 -s 6 -o " + path + " < " + testing::TempDir() + "/velcap-payload.bin", path);
    ASSERT_FALSE(qr.empty());
    const cv::Mat grey = page(cv::Size(600, 600), {{qr, cv::Point(100, 100)}});

    // Bytes that are text in no encoding come back as they are.
    std::string result;
    stdoutOf([&] { result = BarQrDecodePro(toRgb(grey), 1); });
    EXPECT_EQ(result, payload);
}

// Chinese and Japanese text comes back in UTF-8 as it was written, whatever
// the encoding the code carries it in.
TEST(Barcode, QrTextInEveryEncodingComesBackInUtf8) {
    struct Case {
        const char* text;
        const char* encoding; // of the bytes in the code
        const char* options;
    };
    const Case cases[] = {
        {"MECARD:N:測試;;", "UTF-8", ""},
        {"中文测试：你好世界，文档相机", "UTF-8", "-8"},
        {"中文测试：你好世界，文档相机", "GB18030", "-8"},
        {"合同编号 2026-001 甲方乙方", "GB18030", "-8"},
        {"日本語のテキストです", "SHIFT_JIS", "-8"},
        {"ﾃﾞｻﾞｲﾝQR", "SHIFT_JIS", "-8"},
        {"ｺﾝﾋﾟｭｰﾀｰ ﾃﾞｰﾀ", "SHIFT_JIS", "-8"},
        {"中文二维码测试", "GB18030", "-8"},
    };
    const std::string path = testing::TempDir() + "/velcap-cjk.png";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " in " + c.encoding);
        const cv::Mat qr = encoded("printf '%s' '" + std::string(c.text) + "' | iconv -f UTF-8 -t " + c.encoding +
                                       " | qrencode " + c.options + " -s 6 -o " + path,
                                   path);
        ASSERT_FALSE(qr.empty());
        std::string result;
        stdoutOf([&] { result = BarQrDecodePro(toRgb(page(cv::Size(500, 500), {{qr, cv::Point(60, 60)}})), 1); });
        EXPECT_EQ(result, c.text);
    }
}

TEST(Barcode, FromFile) {
    const std::string both = testing::TempDir() + "/velcap-both.png";
    const std::string plain = testing::TempDir() + "/velcap-plain.png";
    const std::string barOnly = testing::TempDir() + "/velcap-bar-only.png";
    ASSERT_TRUE(cv::imwrite(both, bothCodes()));
    ASSERT_TRUE(cv::imwrite(plain, cv::Mat(300, 300, CV_8UC1, cv::Scalar(200))));
    ASSERT_TRUE(cv::imwrite(barOnly, page(cv::Size(900, 500), {{barPicture(), cv::Point(100, 100)}})));

    const char* text = nullptr;
    std::string out = stdoutOf([&] { text = RecogBarQrCodeFromFile("/nonexistent/picture.png", 0); });
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(out, "RecogBarQrCodeFromFile start\r\nRecogBarQrCodeFromFile: /nonexistent/picture.png is not a "
                   "readable regular file\nread image file error!!\r\n");
    out = stdoutOf([&] { text = RecogBarQrCodeFromFile(plain.c_str(), 0); });
    EXPECT_EQ(text, nullptr);
    EXPECT_NE(out.find("No BarQrCode!!\r\n"), std::string::npos);

    stdoutOf([&] { text = RecogBarQrCodeFromFile(barOnly.c_str(), 1); });
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");

    out = stdoutOf([&] { text = RecogBarQrCodeFromFile(both.c_str(), 1); });
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(out, std::string("RecogBarQrCodeFromFile start\r\nresultStr:") + kQrText +
                       "\r\nRecogBarQrCodeFromFile end\r\n");
    // The text outlives other library calls, up to the next call of this function.
    stdoutOf([] { BarQrDecodePro(toRgb(bothCodes()), 0); });
    EXPECT_STREQ(text, kQrText);
    EXPECT_EQ(RecogBarQrCodeFromFile(nullptr, 0), nullptr);
}

} // namespace
