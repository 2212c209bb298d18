// Bar codes and QR codes through zbar, with a chain of binarisations for
// frames that one plain scan cannot read.
#include <cstdio>
#include <exception>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <zbar.h>

#include "../state.h"

namespace {

constexpr const char* kQrName = "QR-Code";

// The data of the first symbol of the asked kind: type 0 any symbol that is
// not a QR code, any other type a QR code. Found tells whether zbar saw any
// symbol at all.
std::string scan(const cv::Mat& grey, int type, bool& found) try {
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 1);
    // Wrapped without a copy; the zbar image does not own the pixels.
    zbar::Image image(unsigned(grey.cols), unsigned(grey.rows), "Y800", grey.data,
                      static_cast<unsigned long>(grey.cols) * static_cast<unsigned long>(grey.rows));
    found = scanner.scan(image) >= 1;
    std::string result;
    if (found) {
        for (auto symbol = image.symbol_begin(); symbol != image.symbol_end(); ++symbol) {
            const bool isQr = symbol->get_type_name() == kQrName;
            if ((type == 0) != isQr) {
                result = symbol->get_data(); // as zbar gives it, binary payloads included
                break;
            }
        }
    }
    image.set_data(nullptr, 0);
    return result;
} catch (const std::exception& e) {
    std::printf("zbar: %s\n", e.what());
    found = false;
    return {};
}

// A grey image zbar can take: 8 bits, one channel, continuous.
bool scannable(const cv::Mat& grey, const char* caller) {
    if (grey.empty() || grey.type() != CV_8UC1) {
        std::printf("%s: needs a non-empty 8-bit one-channel image, got %dx%d of type %d\n", caller, grey.cols,
                    grey.rows, grey.type());
        return false;
    }
    return true;
}

} // namespace

std::string ZbarDecoder(cv::Mat image, int type) {
    if (!scannable(image, "ZbarDecoder")) return {};
    if (!image.isContinuous()) image = image.clone();
    bool found = false;
    std::string result = scan(image, type, found);
    if (!found) std::puts("No BarQrCode!!\r");
    return result;
}

std::string GetQRInBinImg(cv::Mat bw, int type) {
    std::string result = ZbarDecoder(bw, type);
    if (!result.empty()) return result;
    if (!scannable(bw, "GetQRInBinImg")) return {};
    // A 3 x 3 opening removes white specks that break up the bars and modules.
    cv::Mat opened;
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3), cv::Point(-1, -1));
    cv::morphologyEx(bw, opened, cv::MORPH_OPEN, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
                     cv::morphologyDefaultBorderValue());
    return ZbarDecoder(opened, type);
}

std::string GetQR(cv::Mat grey, int type) {
    if (!scannable(grey, "GetQR")) return {};
    cv::Mat bin;
    int threshold = int(cv::threshold(grey, bin, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU));
    std::string result = GetQRInBinImg(bin, type);
    if (result.empty()) {
        cv::adaptiveThreshold(grey, bin, 255, cv::ADAPTIVE_THRESH_GAUSSIAN_C, cv::THRESH_BINARY, 33, 0);
        result = GetQRInBinImg(bin, type);
    }
    // Otsu's value, then brighter and brighter cuts, for codes under uneven light.
    for (; result.empty() && threshold <= 239; threshold += 20) {
        cv::threshold(grey, bin, threshold, 255, cv::THRESH_BINARY);
        result = GetQRInBinImg(bin, type);
    }
    return result;
}

std::string BarQrDecodePro(cv::Mat frame, int type) {
    std::puts("BarQrDecodePro start\r");
    std::string result;
    if (frame.empty() || frame.type() != CV_8UC3) {
        std::printf("BarQrDecodePro: needs an 8-bit R, G, B frame, got %dx%d of type %d\n", frame.cols, frame.rows,
                    frame.type());
    } else {
        try {
            cv::Mat grey;
            cv::cvtColor(frame, grey, cv::COLOR_RGB2GRAY);
            result = GetQR(grey, type);
        } catch (const std::exception& e) {
            // On the stream thread an escaping exception would end the program.
            std::printf("BarQrDecodePro: %s\n", e.what());
            result.clear();
        }
    }
    std::puts("BarQrDecodePro end\r");
    return result;
}

extern "C" const char* RecogBarQrCodeFromFile(const char* path, int type) {
    static std::string text; // valid until the next call
    std::puts("RecogBarQrCodeFromFile start\r");
    cv::Mat image;
    try {
        if (path) image = cv::imread(path, cv::IMREAD_COLOR);
    } catch (const std::exception& e) {
        std::printf("RecogBarQrCodeFromFile: %s\n", e.what());
    }
    if (image.empty()) {
        std::puts("read image file error!!\r");
        return nullptr;
    }
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    bool found = false;
    std::string result = scan(grey, type, found);
    if (!found) {
        std::puts("No BarQrCode!!\r");
        return nullptr;
    }
    text = result;
    std::printf("resultStr:%s\r\n", text.c_str());
    std::puts("RecogBarQrCodeFromFile end\r");
    return text.c_str();
}
