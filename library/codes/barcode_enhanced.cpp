// The enhanced recognition: what one plain scan and the binarisation chain
// miss, read by zxing-cpp and by scans of pictures made easier to read.
#include <zbar.h> // before zxing-cpp: a macro of its would change zbar's names

#define ZX_USE_UTF8 1 // zxing-cpp's texts as UTF-8 std::string
#include <ZXing/ReadBarcode.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "../guard.h"
#include "../log.h"
#include "barcode.h"

namespace velcap {

// A code's text as zbar gives it, so that both readers agree on every code.
static std::string zxingText(const ZXing::Result& result) {
    if (result.format() == ZXing::BarcodeFormat::QRCode) {
        // Without an ECI, the bytes go through the same guess as zbar's.
        if (result.hasECI()) return result.text();
        const ZXing::ByteArray& bytes = result.bytes();
        return qrText(std::string(bytes.begin(), bytes.end()));
    }
    return result.text();
}

std::string zxingRead(const cv::Mat& grey, int type) {
    ZXing::DecodeHints hints;
    hints.setFormats(type == 0 ? ZXing::BarcodeFormat::LinearCodes : ZXing::BarcodeFormat::QRCode);
    hints.setTryHarder(true);
    hints.setTryRotate(true);
    hints.setReturnCodabarStartEnd(true); // zbar keeps them
    const ZXing::ImageView view(grey.data, grey.cols, grey.rows, ZXing::ImageFormat::Lum, int(grey.step));
    const ZXing::Result result = ZXing::ReadBarcode(view, hints);
    return result.isValid() ? zxingText(result) : std::string();
}

namespace {

// zbar's names of zxing-cpp's formats, so that both readers print alike.
std::string zbarName(ZXing::BarcodeFormat format) {
    using F = ZXing::BarcodeFormat;
    switch (format) {
    case F::QRCode:
        return "QR-Code";
    case F::EAN13:
        return "EAN-13";
    case F::EAN8:
        return "EAN-8";
    case F::UPCA:
        return "UPC-A";
    case F::UPCE:
        return "UPC-E";
    case F::Code128:
        return "CODE-128";
    case F::Code39:
        return "CODE-39";
    case F::Code93:
        return "CODE-93";
    case F::Codabar:
        return "CODABAR";
    case F::ITF:
        return "I2/5";
    case F::DataBar:
        return "DataBar";
    case F::DataBarExpanded:
        return "DataBar-Exp";
    case F::PDF417:
        return "PDF417";
    default:
        return ZXing::ToString(format);
    }
}

} // namespace

std::vector<Code> readCodes(const cv::Mat& input, const CodeOptions& options) {
    const bool qr = options.qr, bar = options.bar;
    std::vector<Code> codes;
    if (input.empty() || input.type() != CV_8UC1) return codes;
    const cv::Mat grey = input.isContinuous() ? input : input.clone();
    try {
        zbar::ImageScanner scanner;
        scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, bar ? 1 : 0);
        scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, qr ? 1 : 0);
        // The bytes as encoded: zbar's own guess reads GB18030 and UTF-8 Chinese as other scripts.
        scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_BINARY, 1);
        // As zbarimg: a book's code is an EAN-13, not an ISBN.
        scanner.set_config(zbar::ZBAR_ISBN10, zbar::ZBAR_CFG_ENABLE, 0);
        scanner.set_config(zbar::ZBAR_ISBN13, zbar::ZBAR_CFG_ENABLE, 0);
        zbar::Image image(unsigned(grey.cols), unsigned(grey.rows), "Y800", grey.data, grey.total());
        if (scanner.scan(image) > 0)
            for (auto symbol = image.symbol_begin(); symbol != image.symbol_end(); ++symbol) {
                // An add-on is printed with its EAN-13, never alone.
                if (symbol->get_type() == zbar::ZBAR_EAN2 || symbol->get_type() == zbar::ZBAR_EAN5) continue;
                const bool isQr = symbol->get_type() == zbar::ZBAR_QRCODE;
                Code code{symbol->get_type_name(), isQr ? qrText(symbol->get_data()) : symbol->get_data(), {}};
                for (int k = 0; k < symbol->get_location_size(); ++k)
                    code.place.push_back({symbol->get_location_x(unsigned(k)), symbol->get_location_y(unsigned(k))});
                codes.push_back(std::move(code));
            }
        image.set_data(nullptr, 0);
    } catch (const std::exception& e) {
        logError(Category::Codes, "zbar: %s\n", e.what());
    }
    if (!codes.empty()) return codes;

    ZXing::DecodeHints hints;
    hints.setFormats(qr && bar ? ZXing::BarcodeFormat::Any
                     : qr      ? ZXing::BarcodeFormat::QRCode
                               : ZXing::BarcodeFormat::LinearCodes);
    hints.setTryHarder(true);
    hints.setTryRotate(true);
    hints.setReturnCodabarStartEnd(true);
    const ZXing::ImageView view(grey.data, grey.cols, grey.rows, ZXing::ImageFormat::Lum, int(grey.step));
    for (const ZXing::Result& result : ZXing::ReadBarcodes(view, hints)) {
        if (!result.isValid()) continue;
        const ZXing::Position& at = result.position();
        codes.push_back({zbarName(result.format()),
                         zxingText(result),
                         {{at.topLeft().x, at.topLeft().y},
                          {at.topRight().x, at.topRight().y},
                          {at.bottomRight().x, at.bottomRight().y},
                          {at.bottomLeft().x, at.bottomLeft().y}}});
    }
    if (!codes.empty() || !options.enhanced) return codes;
    // The enhanced recognition gives one text of a kind, without its place.
    if (qr) {
        std::string text = enhancedRecognition(grey, 1);
        if (!text.empty()) codes.push_back({"QR-Code", std::move(text), {}});
    }
    if (bar) {
        std::string text = enhancedRecognition(grey, 0);
        if (!text.empty()) codes.push_back({"Bar-Code", std::move(text), {}});
    }
    return codes;
}

namespace {

// Pictures up to this many pixels (1080p and below) have the chain run again
// on their smoothed picture; on larger ones that would double the cost.
constexpr double kMaxRepeatedChainArea = 2.1e6;
// The later attempts read pictures above an 8-megapixel frame scaled down to
// it: on a 48-megapixel picture they would take ten times the plain scan.
constexpr double kMaxLaterArea = 8.4e6;

cv::Mat boundedForLaterAttempts(const cv::Mat& grey) {
    const double area = double(grey.total());
    if (area <= kMaxLaterArea) return grey;
    const double scale = std::sqrt(kMaxLaterArea / area);
    cv::Mat smaller;
    cv::resize(grey, smaller, cv::Size(), scale, scale, cv::INTER_AREA);
    return smaller;
}

std::string zbarRead(const cv::Mat& grey, int type) {
    bool found = false;
    return zbarScan(grey, type, found);
}

struct Attempt {
    const char* name;
    std::function<std::string()> read;
};

// The attempts after the chain, each of which reads codes that all before it
// miss (measured by bench/barcode_rates). The pictures they share are made
// by the first attempt that needs them.
std::string laterAttempts(const cv::Mat& original, int type, const std::atomic<bool>& stop, std::string& step) {
    const cv::Mat grey = boundedForLaterAttempts(original);
    if (stop) return {};
    cv::Mat equalised, median;
    auto smoothed = [&]() -> const cv::Mat& {
        if (median.empty()) cv::medianBlur(grey, median, 5); // takes speckle noise out of the modules
        return median;
    };
    std::vector<Attempt> attempts = {
        {"zxing", [&] { return zxingRead(grey, type); }},
        {"equalised zbar",
         [&] {
             cv::createCLAHE(3.0, cv::Size(8, 8))->apply(grey, equalised);
             return zbarRead(equalised, type);
         }},
        {"median zbar", [&] { return zbarRead(smoothed(), type); }},
    };
    // The chain again on the smoothed picture: as dear as the chain itself,
    // so only where that stays within the time of the chain on a large frame.
    if (double(grey.total()) <= kMaxRepeatedChainArea)
        attempts.push_back({"median chain", [&] { return scanChain(smoothed(), type); }});
    for (const Attempt& attempt : attempts) {
        if (stop) return {};
        std::string text = attempt.read();
        if (!text.empty()) {
            step = attempt.name;
            return text;
        }
    }
    return {};
}

} // namespace

std::string enhancedRecognition(const cv::Mat& grey, int type, bool plainScanned, std::string* step) {
    std::string name;
    std::string result;
    if (!plainScanned) result = zbarRead(grey, type);
    if (!result.empty()) {
        if (step) *step = "plain";
        return result;
    }
    // The chain and the later attempts run side by side; the chain's text,
    // when it has one, comes first, as if they ran one after the other.
    std::atomic<bool> stop{false};
    std::string later, laterStep;
    std::thread helper([&] {
        later =
            guarded("enhanced recognition", std::string(), [&] { return laterAttempts(grey, type, stop, laterStep); });
    });
    std::string chain;
    try {
        chain = scanChain(grey, type);
    } catch (...) {
        stop = true;
        helper.join();
        throw;
    }
    if (!chain.empty()) stop = true;
    helper.join();
    if (!chain.empty()) {
        if (step) *step = "chain";
        return chain;
    }
    if (step) *step = laterStep;
    return later;
}

std::vector<Code> readCodes(const unsigned char* grey, int width, int height, int stride, const CodeOptions& options) {
    if (!grey || width <= 0 || height <= 0 || stride < width) return {};
    return readCodes(cv::Mat(height, width, CV_8UC1, const_cast<unsigned char*>(grey), size_t(stride)), options);
}

} // namespace velcap
