// Bar codes and QR codes through zbar, with a chain of binarisations for
// frames that one plain scan cannot read.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iconv.h>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <zbar.h>

#include "../files/picture_file.h"
#include "../log.h"
#include "barcode.h"

namespace {

constexpr const char* kQrName = "QR-Code";

bool validUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        int extra = *p < 0x80 ? 0 : (*p >> 5) == 0x6 ? 1 : (*p >> 4) == 0xE ? 2 : (*p >> 3) == 0x1E ? 3 : -1;
        if (extra < 0 || end - p <= extra) return false;
        const uint32_t lead = *p;
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = code << 6 | (p[i] & 0x3F);
        }
        // No overlong forms, surrogates or code points beyond Unicode.
        static const uint32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
        if (code < kLeast[extra] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
        p += extra + 1;
    }
    return true;
}

// The text in UTF-8, or empty when the bytes are not valid in that encoding.
std::string fromEncoding(const std::string& bytes, const char* encoding) {
    iconv_t converter = iconv_open("UTF-8", encoding);
    if (converter == iconv_t(-1)) return {};
    std::string out(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size(), outLeft = out.size();
    char* o = out.data();
    const bool ok = iconv(converter, &in, &inLeft, &o, &outLeft) != size_t(-1) && inLeft == 0;
    iconv_close(converter);
    if (!ok) return {};
    out.resize(out.size() - outLeft);
    return out;
}

// Code points of a valid UTF-8 text.
std::vector<uint32_t> codePoints(const std::string& text) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) code = code << 6 | (static_cast<unsigned char>(text[i + size_t(k)]) & 0x3F);
        out.push_back(code);
        i += size_t(extra) + 1;
    }
    return out;
}

// Half-width katakana that take the voicing marks ﾞ (U+FF9E) and ﾟ (U+FF9F).
bool takesDakuten(uint32_t c) {
    return (c >= 0xFF76 && c <= 0xFF84) || (c >= 0xFF8A && c <= 0xFF8E) || c == 0xFF73;
}
bool takesHandakuten(uint32_t c) {
    return c >= 0xFF8A && c <= 0xFF8E;
}

// Whether a Shift-JIS reading is Japanese: it has kana and no half-width
// katakana, or its half-width katakana carry voicing marks, each after a
// letter that takes it. Chinese read as Shift-JIS turns into half-width
// katakana, where a mark after the right letter is rare.
bool looksJapanese(const std::string& japanese) {
    const std::vector<uint32_t> text = codePoints(japanese);
    int kana = 0, halfWidth = 0, voiced = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t c = text[i];
        if (c >= 0x3040 && c <= 0x30FF) ++kana;
        if (c < 0xFF61 || c > 0xFF9F) continue;
        ++halfWidth;
        if (c == 0xFF9E || c == 0xFF9F) {
            const uint32_t before = i > 0 ? text[i - 1] : 0;
            if (!(c == 0xFF9E ? takesDakuten(before) : takesHandakuten(before))) return false; // a stray mark
            ++voiced;
        }
    }
    return halfWidth == 0 ? kana > 0 : voiced > 0;
}

} // namespace

namespace velcap {

// The text of a QR code in UTF-8. zbar's raw bytes (ZBAR_CFG_BINARY) are
// already UTF-8 when the code declares an encoding zbar converts from, or
// when the text was UTF-8. Other bytes are Chinese (GB18030) or Japanese
// (Shift-JIS) text, told apart as looksJapanese says.
std::string qrText(const std::string& bytes) {
    if (validUtf8(bytes)) return bytes;
    const std::string chinese = fromEncoding(bytes, "GB18030");
    const std::string japanese = fromEncoding(bytes, "SHIFT_JIS");
    if (japanese.empty()) return chinese.empty() ? bytes : chinese;
    if (chinese.empty()) return japanese;
    return looksJapanese(japanese) ? japanese : chinese;
}

// The data of the first symbol of the asked kind: type 0 any symbol that is
// not a QR code, any other type a QR code. Found tells whether zbar saw any
// symbol at all.
std::string zbarScan(const cv::Mat& grey, int type, bool& found) try {
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 1);
    // The bytes as encoded: zbar's own guess reads UTF-8 Chinese as Shift-JIS.
    scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_BINARY, 1);
    // Wrapped without a copy; the zbar image does not own the pixels.
    zbar::Image image(unsigned(grey.cols), unsigned(grey.rows), "Y800", grey.data,
                      static_cast<unsigned long>(grey.cols) * static_cast<unsigned long>(grey.rows));
    found = scanner.scan(image) >= 1;
    std::string result;
    if (found) {
        for (auto symbol = image.symbol_begin(); symbol != image.symbol_end(); ++symbol) {
            // An EAN-2 or EAN-5 add-on alone is not a book's code: zbar
            // appends it to its EAN-13 where it reads both.
            if (symbol->get_type() == zbar::ZBAR_EAN2 || symbol->get_type() == zbar::ZBAR_EAN5) continue;
            const bool isQr = symbol->get_type_name() == kQrName;
            if ((type == 0) != isQr) {
                result = isQr ? qrText(symbol->get_data()) : symbol->get_data();
                break;
            }
        }
    }
    image.set_data(nullptr, 0);
    return result;
} catch (const std::exception& e) {
    velcap::logError(velcap::Category::Codes, "zbar: %s\n", e.what());
    found = false;
    return {};
}

} // namespace velcap

namespace velcap {

namespace {

// A grey image zbar can take: 8 bits, one channel, continuous.
bool scannable(const cv::Mat& grey, const char* caller) {
    if (grey.empty() || grey.type() != CV_8UC1) {
        logWarning(Category::Codes, "%s: needs a non-empty 8-bit one-channel image, got %dx%d of type %d\n", caller,
                   grey.cols, grey.rows, grey.type());
        return false;
    }
    return true;
}

} // namespace

std::string scanGrey(const cv::Mat& image, int type, const char* caller) {
    if (!scannable(image, caller)) return {};
    const cv::Mat grey = image.isContinuous() ? image : image.clone();
    bool found = false;
    std::string result = zbarScan(grey, type, found);
    if (!found) logLine(LogLevel::Info, Category::Codes, "No BarQrCode!!\r");
    return result;
}

std::string scanBinary(const cv::Mat& bw, int type, const char* caller) {
    std::string result = scanGrey(bw, type, caller);
    if (!result.empty() || !scannable(bw, caller)) return result;
    // A 3 x 3 opening removes white specks that break up the bars and modules.
    cv::Mat opened;
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3), cv::Point(-1, -1));
    cv::morphologyEx(bw, opened, cv::MORPH_OPEN, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
                     cv::morphologyDefaultBorderValue());
    return scanGrey(opened, type, caller);
}

std::string scanChain(const cv::Mat& grey, int type, const char* caller) {
    if (!scannable(grey, caller)) return {};
    cv::Mat bin;
    int threshold = int(cv::threshold(grey, bin, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU));
    std::string result = scanBinary(bin, type);
    if (result.empty()) {
        cv::adaptiveThreshold(grey, bin, 255, cv::ADAPTIVE_THRESH_GAUSSIAN_C, cv::THRESH_BINARY, 33, 0);
        result = scanBinary(bin, type);
    }
    // Otsu's value, then brighter and brighter cuts, for codes under uneven light.
    for (; result.empty() && threshold <= 239; threshold += 20) {
        cv::threshold(grey, bin, threshold, 255, cv::THRESH_BINARY);
        result = scanBinary(bin, type);
    }
    return result;
}

std::string recogniseFrame(const cv::Mat& frame, int type, bool enhanced) {
    logLine(LogLevel::Debug, Category::Codes, "BarQrDecodePro start\r");
    std::string result;
    if (frame.empty() || frame.type() != CV_8UC3) {
        logWarning(Category::Codes, "BarQrDecodePro: needs an 8-bit R, G, B frame, got %dx%d of type %d\n", frame.cols,
                   frame.rows, frame.type());
    } else {
        try {
            cv::Mat grey;
            cv::cvtColor(frame, grey, cv::COLOR_RGB2GRAY);
            result = enhanced ? enhancedRecognition(grey, type) : scanChain(grey, type);
        } catch (const std::exception& e) {
            // On the stream thread an escaping exception would end the program.
            logError(Category::Codes, "BarQrDecodePro: %s\n", e.what());
            result.clear();
        }
    }
    logLine(LogLevel::Debug, Category::Codes, "BarQrDecodePro end\r");
    return result;
}

const char* readFileCode(const char* path, int type, bool enhanced, std::string& text) {
    logLine(LogLevel::Debug, Category::Codes, "RecogBarQrCodeFromFile start\r");
    cv::Mat image;
    if (readPicture(path, cv::IMREAD_COLOR, "RecogBarQrCodeFromFile", image) != Status::Ok) {
        logLine(LogLevel::Error, Category::Codes, "read image file error!!\r");
        return nullptr;
    }
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    bool found = false;
    std::string result = zbarScan(grey, type, found);
    // The enhanced recognition goes on where one scan reads nothing of the kind.
    if (result.empty() && enhanced) {
        result = enhancedRecognition(grey, type, true);
        found = found || !result.empty();
    }
    if (!found) {
        logLine(LogLevel::Info, Category::Codes, "No BarQrCode!!\r");
        return nullptr;
    }
    text = result;
    logInfo(Category::Codes, "resultStr:%s\r\n", text.c_str());
    logLine(LogLevel::Debug, Category::Codes, "RecogBarQrCodeFromFile end\r");
    return text.c_str();
}

} // namespace velcap
