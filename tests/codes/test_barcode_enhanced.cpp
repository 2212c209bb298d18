// The enhanced recognition: it reads what the chain misses, never a code that
// is not there, gives every code the text zbar gives it, and is off by default.
#include <fstream>

#include "codes/barcode.h"
#include "codes/code_free.h"
#include "codes/code_images.h"
#include "compat/flat.h"
#include "support/camera_test.h"

using namespace velcap::test;

namespace {

// Switches the enhanced recognition on for a scope.
struct Enhanced {
    Enhanced() { SetRecogEnhanced(1); }
    ~Enhanced() { SetRecogEnhanced(0); }
};

// A picture in the middle of a page of the given size.
cv::Mat centred(const cv::Mat& picture, cv::Size size) {
    return page(size, {{picture, cv::Point((size.width - picture.cols) / 2, (size.height - picture.rows) / 2)}});
}

std::string decodeQuietly(const cv::Mat& rgb, int type) {
    std::string result;
    stdoutOf([&] { result = BarQrDecodePro(rgb, type); });
    return result;
}

// A picture with one code, grey, and what reading it must give.
struct Case {
    const char* name;
    cv::Mat grey;
    int type;
    const char* text;
};

// Each reader, on a clean code of every kind, gives the same text: a code read
// two ways must never come back as two texts.
TEST(EnhancedRecognition, ZbarAndZxingGiveEveryCodeTheSameText) {
    const std::string path = testing::TempDir() + "/velcap-kinds.png";
    auto qrOf = [&](const std::string& text, const char* encoding) {
        return encoded("printf '%s' '" + text + "' | iconv -f UTF-8 -t " + encoding + " | qrencode -8 -s 6 -o " + path,
                       path);
    };
    // zint declares the encoding in an ECI.
    auto eciOf = [&](const std::string& text, int eci) {
        return encoded("zint -b 58 --scale=3 --eci=" + std::to_string(eci) + " -d '" + text + "' -o " + path, path);
    };
    const Case cases[] = {
        {"QR", qrPicture(kQrText), 1, kQrText},
        {"QR ECI GB2312", eciOf("合同编号 甲方乙方", 29), 1, "合同编号 甲方乙方"},
        {"QR ECI Shift-JIS", eciOf("日本語テキスト", 20), 1, "日本語テキスト"},
        {"QR UTF-8", qrOf("中文测试：文档相机", "UTF-8"), 1, "中文测试：文档相机"},
        {"QR GB18030", qrOf("合同编号 2026-001 甲方乙方", "GB18030"), 1, "合同编号 2026-001 甲方乙方"},
        {"QR Shift-JIS", qrOf("日本語のテキストです", "SHIFT_JIS"), 1, "日本語のテキストです"},
        {"EAN-13", barPicture(13, "400638133393"), 0, "4006381333931"},
        {"EAN-8", barPicture(10, "9638507"), 0, "96385074"},
        {"UPC-A", barPicture(34, "03600029145"), 0, "036000291452"},
        {"UPC-E", barPicture(37, "0123456"), 0, "01234565"},
        {"Code 128", barPicture(20, "VELCAP-128-0042"), 0, "VELCAP-128-0042"},
        {"Code 39", barPicture(8, "VELCAP39"), 0, "VELCAP39"},
        {"Interleaved 2 of 5", barPicture(3, "12345678"), 0, "12345678"},
        {"Codabar", barPicture(18, "A40156B"), 0, "A40156B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.grey.empty());
        const cv::Mat grey = page(cv::Size(c.grey.cols + 200, c.grey.rows + 200), {{c.grey, {100, 100}}});
        bool found = false;
        EXPECT_EQ(velcap::zbarScan(grey, c.type, found), c.text);
        EXPECT_EQ(velcap::zxingRead(grey, c.type), c.text);
        EXPECT_EQ(velcap::zxingRead(grey, c.type == 0 ? 1 : 0), "") << "the other kind";
    }
}

// A code at 3 pixels a module in the middle of a page, as the benchmark makes them.
cv::Mat codePage(const cv::Mat& code) {
    return centred(code, cv::Size(std::max(1100, code.cols + 200), std::max(700, code.rows + 200)));
}

// An EAN-13 bar code under heavy noise, the chain's binarisations lose it.
cv::Mat noisyEan() {
    cv::setRNGSeed(6000);
    return velcap::codes::noise(codePage(barPicture(13, "400638133393", 1.5)), 60);
}

// Pictures the chain cannot read: heavy noise, a lamp's uneven light, a spot
// shadow, blur, and a QR code of 1.2-pixel modules.
TEST(EnhancedRecognition, ReadsWhatTheChainMisses) {
    cv::Mat tiny;
    cv::resize(qrPicture(kQrText, 1), tiny, cv::Size(), 1.2, 1.2, cv::INTER_NEAREST);
    const Case cases[] = {
        {"noisy EAN-13", noisyEan(), 0, kEan13},
        {"Code 128 in uneven light", velcap::codes::unevenLight(codePage(barPicture(20, "VELCAP-128-0042", 1.5)), 0.85),
         0, "VELCAP-128-0042"},
        {"Code 39 under a spot shadow", velcap::codes::spotShadow(codePage(barPicture(8, "VELCAP39", 1.5)), 0.85), 0,
         "VELCAP39"},
        {"blurred UPC-A", velcap::codes::blur(codePage(barPicture(34, "03600029145", 1.5)), 2), 0, "036000291452"},
        {"QR of small modules", codePage(tiny), 1, kQrText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat rgb = toRgb(c.grey);
        EXPECT_EQ(decodeQuietly(rgb, c.type), "") << "the chain reads it: the case proves nothing";
        Enhanced on;
        EXPECT_EQ(decodeQuietly(rgb, c.type), c.text);
    }
}

TEST(EnhancedRecognition, OffByDefaultAndOnlyOneTurnsItOn) {
    const cv::Mat noisy = toRgb(noisyEan());
    EXPECT_FALSE(velcap::flatSession().enhancedRecognition());
    EXPECT_EQ(decodeQuietly(noisy, 0), "");
    SetRecogEnhanced(2);
    EXPECT_FALSE(velcap::flatSession().enhancedRecognition());
    SetRecogEnhanced(1);
    EXPECT_TRUE(velcap::flatSession().enhancedRecognition());
    EXPECT_EQ(decodeQuietly(noisy, 0), kEan13);
    SetRecogEnhanced(0);
    EXPECT_EQ(decodeQuietly(noisy, 0), "");
}

// A code the chain itself reads comes from the chain: the same text and the
// same lines as without the enhanced recognition, after one plain scan more.
TEST(EnhancedRecognition, TheChainsResultsStand) {
    const cv::Mat both = toRgb(page(cv::Size(1100, 700), {{qrPicture(kQrText, 4), cv::Point(80, 150)},
                                                          {barPicture(13, "400638133393", 2), cv::Point(550, 250)}}));
    Enhanced on;
    std::string step;
    cv::Mat grey;
    cv::cvtColor(both, grey, cv::COLOR_RGB2GRAY);
    std::string text;
    stdoutOf([&] { text = velcap::enhancedRecognition(grey, 1, false, &step); });
    EXPECT_EQ(text, kQrText);
    EXPECT_EQ(step, "plain");
    stdoutOf([&] { text = velcap::enhancedRecognition(grey, 0, false, &step); });
    EXPECT_EQ(text, kEan13);
    // Only a QR code there, a bar code asked for: nothing, by any attempt.
    const cv::Mat qrOnly = page(cv::Size(700, 700), {{qrPicture(kQrText, 4), cv::Point(100, 100)}});
    stdoutOf([&] { text = velcap::enhancedRecognition(qrOnly, 0, false, &step); });
    EXPECT_EQ(text, "");
}

TEST(EnhancedRecognition, FromFile) {
    const std::string path = testing::TempDir() + "/velcap-noisy-ean.png";
    ASSERT_TRUE(cv::imwrite(path, noisyEan()));
    const std::string blank = testing::TempDir() + "/velcap-blank.png";
    ASSERT_TRUE(cv::imwrite(blank, cv::Mat(300, 300, CV_8UC1, cv::Scalar(200))));
    const char* text = nullptr;
    stdoutOf([&] { text = RecogBarQrCodeFromFile(path.c_str(), 0); });
    EXPECT_TRUE(text == nullptr || *text == 0) << "one plain scan reads it: the case proves nothing";
    Enhanced on;
    std::string out = stdoutOf([&] { text = RecogBarQrCodeFromFile(path.c_str(), 0); });
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, kEan13);
    EXPECT_NE(out.find(std::string("resultStr:") + kEan13 + "\r\n"), std::string::npos);
    // Nothing anywhere is still null, as without it.
    stdoutOf([&] { text = RecogBarQrCodeFromFile(blank.c_str(), 1); });
    EXPECT_EQ(text, nullptr);
}

// A book's EAN-13 with its price add-on: the main code, never the add-on alone.
TEST(EnhancedRecognition, ABooksAddOnNeverComesAlone) {
    const std::string path = testing::TempDir() + "/velcap-book.png";
    for (const char* addOn : {"90000", "17"}) {
        SCOPED_TRACE(addOn);
        const cv::Mat book =
            encoded("zint -b 13 --scale 2 -d '9780201379624+" + std::string(addOn) + "' -o " + path, path);
        ASSERT_FALSE(book.empty());
        // The whole code, and the add-on alone, as a hand over the code leaves it.
        const cv::Mat addOnAlone = book.colRange(book.cols * 2 / 3, book.cols).clone();
        for (int enhanced : {0, 1}) {
            SetRecogEnhanced(enhanced);
            std::string whole, part;
            stdoutOf([&] {
                whole = BarQrDecodePro(toRgb(page(book.size() + cv::Size(200, 200), {{book, cv::Point(100, 100)}})), 0);
                part = BarQrDecodePro(
                    toRgb(page(addOnAlone.size() + cv::Size(200, 200), {{addOnAlone, cv::Point(100, 100)}})), 0);
            });
            EXPECT_EQ(whole.rfind("9780201379624", 0), 0u) << whole << (enhanced ? " (enhanced)" : "");
            EXPECT_EQ(part, "") << (enhanced ? " (enhanced)" : "");
        }
        SetRecogEnhanced(0);
    }
}

// No misreads: on photographs, pages of text and empty desks, neither
// recognition finds a code of either kind.
TEST(EnhancedRecognition, NothingIsReadWhereThereIsNoCode) {
    const auto pictures = velcap::codes::codeFreePictures();
    ASSERT_GE(pictures.size(), 40u) << "opencv-doc's photographs are missing";
#ifdef VELCAP_SANITIZED
    const size_t step = 8; // the sanitizers make each picture take seconds
#else
    const size_t step = 1;
#endif
    Enhanced on;
    for (size_t i = 0; i < pictures.size(); i += step) {
        const auto& [name, rgb] = pictures[i];
        for (int type : {0, 1}) EXPECT_EQ(decodeQuietly(rgb, type), "") << name << ", type " << type;
    }
}

} // namespace
