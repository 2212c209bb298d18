// velcap scan FILE...: every code in each picture, as zbarimg prints them.
// zbar first: a macro of the others would change its names.
#include <zbar.h>

#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>
#include <opencv2/imgcodecs.hpp>

#include "cli.h"

namespace velcap::cli {

namespace {

struct Code {
    std::string type, text;
};

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

// zbar first, as zbarimg reads; zxing-cpp for a picture where zbar finds nothing.
std::vector<Code> codesIn(const cv::Mat& grey, bool qr, bool bar) {
    std::vector<Code> codes;
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, bar ? 1 : 0);
    scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, qr ? 1 : 0);
    // As zbarimg: a book's code is an EAN-13, not an ISBN.
    scanner.set_config(zbar::ZBAR_ISBN10, zbar::ZBAR_CFG_ENABLE, 0);
    scanner.set_config(zbar::ZBAR_ISBN13, zbar::ZBAR_CFG_ENABLE, 0);
    zbar::Image image(unsigned(grey.cols), unsigned(grey.rows), "Y800", grey.data, grey.total());
    if (scanner.scan(image) > 0)
        for (auto symbol = image.symbol_begin(); symbol != image.symbol_end(); ++symbol)
            // An add-on is printed with its EAN-13, never alone.
            if (symbol->get_type() != zbar::ZBAR_EAN2 && symbol->get_type() != zbar::ZBAR_EAN5)
                codes.push_back({symbol->get_type_name(), symbol->get_data()});
    image.set_data(nullptr, 0);
    if (!codes.empty()) return codes;

    ZXing::DecodeHints hints;
    hints.setFormats(qr && bar ? ZXing::BarcodeFormat::Any
                     : qr      ? ZXing::BarcodeFormat::QRCode
                               : ZXing::BarcodeFormat::LinearCodes);
    hints.setTryHarder(true);
    hints.setTryRotate(true);
    hints.setReturnCodabarStartEnd(true);
    const ZXing::ImageView view(grey.data, grey.cols, grey.rows, ZXing::ImageFormat::Lum, int(grey.step));
    for (const ZXing::Result& result : ZXing::ReadBarcodes(view, hints))
        if (result.isValid()) codes.push_back({zbarName(result.format()), result.text()});
    return codes;
}

} // namespace

int scanFiles(const Arguments& args, bool qr, bool bar) {
    bool found = false;
    Progress progress("pictures read", int(args.operands().size()));
    int done = 0;
    for (const std::string& path : args.operands()) {
        requirePicture(path);
        const cv::Mat grey = cv::imread(path, cv::IMREAD_GRAYSCALE);
        if (grey.empty()) failed("cannot read picture '" + path + "'");
        for (const Code& code : codesIn(grey, qr, bar)) {
            result(args.has("raw") ? code.text : code.type + ":" + code.text);
            found = true;
        }
        progress.update(++done);
    }
    if (!found) {
        note(std::string("no ") + (qr && bar ? "code" : qr ? "QR code" : "bar code") + " found");
        return kNothingFound;
    }
    return kSuccess;
}

} // namespace velcap::cli
