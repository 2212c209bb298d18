// Recognition rates on distorted codes: the usual recognition (BarQrDecodePro)
// and the enhanced one beside zbarimg and zxing-cpp's plain reader, on the
// same pictures in the same run. Codes come from qrencode and zint; each
// distortion has several strengths. Prints the table per distortion, the
// misreads, and the step of the enhanced recognition that read each code.
#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "codes/barcode.h"
#include "codes/code_distortions.h"
#include "velcap.h"

namespace {

using namespace velcap::codes;

const std::string kDir = "/tmp/velcap-rates";

struct Code {
    const char* name;
    int type;                                                    // the library's recognition type
    std::string text;                                            // what every reader must give
    std::string alternative;                                     // zbarimg's own form of the same code, also right
    std::function<std::string(const std::string& path)> command; // an encoder writing path at 1 px a module
};

cv::Mat encode(const Code& code) {
    const std::string path = kDir + "/code.png";
    if (std::system((code.command(path) + " > /dev/null 2>&1").c_str()) != 0)
        std::fprintf(stderr, "encoder failed for %s\n", code.name);
    return cv::imread(path, cv::IMREAD_GRAYSCALE);
}

// The code at `module` pixels a module on a page with a few text-like lines.
cv::Mat pictureOf(const cv::Mat& code, double module) {
    cv::Mat scaled;
    cv::resize(code, scaled, cv::Size(), module, module, module >= 1 ? cv::INTER_NEAREST : cv::INTER_AREA);
    cv::Mat page(std::max(700, scaled.rows + 200), std::max(1100, scaled.cols + 200), CV_8UC1, cv::Scalar(kPaper));
    for (int y = 40; y < 90; y += 16) cv::rectangle(page, cv::Rect(60, y, 700, 6), cv::Scalar(60), cv::FILLED);
    scaled.copyTo(
        page(cv::Rect((page.cols - scaled.cols) / 2, (page.rows - scaled.rows) / 2 + 40, scaled.cols, scaled.rows)));
    return page;
}

std::string zbarimg(const std::string& path, int type) {
    const std::string command = "zbarimg -q --raw " +
                                std::string(type ? "-Sdisable -Sqrcode.enable " : "-Sqrcode.disable ") + path +
                                " 2>/dev/null";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof(buffer), pipe)) out += buffer;
        pclose(pipe);
    }
    // One line per symbol: the first is the answer.
    out = out.substr(0, out.find('\n'));
    return out;
}

std::string zxingPlain(const cv::Mat& grey, int type) {
    ZXing::DecodeHints hints;
    hints.setFormats(type ? ZXing::BarcodeFormat::QRCode : ZXing::BarcodeFormat::LinearCodes);
    const ZXing::Result r =
        ZXing::ReadBarcode(ZXing::ImageView(grey.data, grey.cols, grey.rows, ZXing::ImageFormat::Lum), hints);
    return r.isValid() ? r.text() : std::string();
}

// The library's lines on standard output would drown the table.
template <class Fn>
std::string quietly(Fn&& fn) {
    SetLogSink([](const char*) {});
    std::string out = fn();
    SetLogSink(nullptr);
    return out;
}

struct Family {
    const char* name;
    std::vector<double> levels;
    std::function<cv::Mat(const cv::Mat& picture, double level)> apply;
    bool modules = false; // the level is the module size, not a strength
};

enum Reader { kZbarimg, kZxing, kChain, kEnhanced, kReaders };
const char* const kReaderNames[kReaders] = {"zbarimg", "zxing-cpp", "chain", "enhanced"};

struct Tally {
    int pictures = 0, read[kReaders] = {}, misread[kReaders] = {};
};

} // namespace

int main(int argc, char** argv) {
    std::system(("mkdir -p " + kDir).c_str());
    const bool verbose = argc > 1 && std::string(argv[1]) == "-v";
    const std::vector<Code> codes = {
        {"QR", 1, "velcap QR 0042 document camera", "",
         [](const std::string& p) { return "qrencode -s 1 -m 4 -o " + p + " 'velcap QR 0042 document camera'"; }},
        {"EAN-13", 0, "4006381333931", "",
         [](const std::string& p) { return "zint -b 13 --scale=0.5 -d 400638133393 -o " + p; }},
        {"UPC-A", 0, "036000291452", "0036000291452",
         [](const std::string& p) { return "zint -b 34 --scale=0.5 -d 03600029145 -o " + p; }},
        {"Code 128", 0, "VELCAP-128-0042", "",
         [](const std::string& p) { return "zint -b 20 --scale=0.5 -d VELCAP-128-0042 -o " + p; }},
        {"Code 39", 0, "VELCAP39", "",
         [](const std::string& p) { return "zint -b 8 --scale=0.5 -d VELCAP39 -o " + p; }},
    };
    const std::vector<Family> families = {
        {"blur", {1, 2, 3, 4}, blur},
        {"noise", {20, 40, 60, 80}, noise},
        {"low contrast", {60, 30, 15, 8}, lowContrast},
        {"uneven light", {0.5, 0.7, 0.85, 0.95}, unevenLight},
        {"spot shadow", {0.5, 0.7, 0.85, 0.95}, spotShadow},
        {"rotation", {3, 10, 20, 45}, rotation},
        {"perspective", {0.1, 0.2, 0.3, 0.4}, perspective},
        {"jpeg quality", {30, 15, 8, 4}, jpeg},
        {"module size", {2, 1.5, 1.2, 1.0}, nullptr, true},
    };
    constexpr double kModule = 3; // pixels a module, for every family but module size

    std::map<std::string, int> steps;
    std::vector<std::pair<std::string, Tally>> table;
    Tally all;
    std::printf("%-14s %-9s %5s | %-8s %-9s %-8s %-8s\n", "distortion", "code", "level", "zbarimg", "zxing-cpp",
                "chain", "enhanced");
    for (const Family& f : families) {
        Tally tally;
        for (const Code& code : codes) {
            const cv::Mat symbol = encode(code);
            for (double level : f.levels) {
                cv::setRNGSeed(int(level * 100) + code.type);
                const cv::Mat picture =
                    f.modules ? pictureOf(symbol, level) : f.apply(pictureOf(symbol, kModule), level);
                const std::string path = kDir + "/picture.png";
                cv::imwrite(path, picture);
                std::string step;
                const std::string texts[kReaders] = {
                    zbarimg(path, code.type),
                    zxingPlain(picture, code.type),
                    quietly([&] {
                        cv::Mat rgb;
                        cv::cvtColor(picture, rgb, cv::COLOR_GRAY2RGB);
                        return BarQrDecodePro(rgb, code.type);
                    }),
                    quietly([&] { return velcap::enhancedRecognition(picture, code.type, false, &step); }),
                };
                ++tally.pictures;
                for (int r = 0; r < kReaders; ++r) {
                    const bool right =
                        texts[r] == code.text || (!code.alternative.empty() && texts[r] == code.alternative);
                    tally.read[r] += right;
                    tally.misread[r] += !texts[r].empty() && !right;
                    if (!texts[r].empty() && !right)
                        std::printf("MISREAD %s by %s on %s %g: '%s'\n", code.name, kReaderNames[r], f.name, level,
                                    texts[r].c_str());
                }
                if (!texts[kEnhanced].empty()) ++steps[step];
                if (verbose)
                    std::printf("%-14s %-9s %5g | %-8s %-9s %-8s %-8s %s\n", f.name, code.name, level,
                                texts[0].empty() ? "-" : "read", texts[1].empty() ? "-" : "read",
                                texts[2].empty() ? "-" : "read", texts[3].empty() ? "-" : "read", step.c_str());
            }
        }
        table.emplace_back(f.name, tally);
        all.pictures += tally.pictures;
        for (int r = 0; r < kReaders; ++r) all.read[r] += tally.read[r], all.misread[r] += tally.misread[r];
    }

    std::printf("\n| Distortion | Pictures | zbarimg | zxing-cpp | chain | enhanced |\n|---|---|---|---|---|---|\n");
    table.emplace_back("all", all);
    for (const auto& [name, t] : table)
        std::printf("| %s | %d | %d | %d | %d | %d |\n", name.c_str(), t.pictures, t.read[kZbarimg], t.read[kZxing],
                    t.read[kChain], t.read[kEnhanced]);
    std::printf("\nMisreads: zbarimg %d, zxing-cpp %d, chain %d, enhanced %d\n", all.misread[kZbarimg],
                all.misread[kZxing], all.misread[kChain], all.misread[kEnhanced]);
    std::printf("The enhanced recognition's reads by step:");
    for (const auto& [step, count] : steps) std::printf(" %s %d;", step.c_str(), count);
    std::printf("\n");
    std::system(("rm -rf " + kDir).c_str());
    return 0;
}
