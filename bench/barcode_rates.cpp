// Recognition rate of BarQrDecodePro beside a plain zbarimg on the same
// distorted pictures, each distortion at several strengths. Codes come from
// qrencode and zint. Prints one line per picture and the totals.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <unistd.h>

#include "velcap.h"

namespace {

const std::string kDir = "/tmp/velcap-rates";
const std::string kQr = "velcap QR 0042 document camera";
const std::string kEan = "4006381333931";

cv::Mat run(const std::string& command, const std::string& path) {
    if (std::system((command + " > /dev/null 2>&1").c_str()) != 0)
        std::fprintf(stderr, "failed: %s\n", command.c_str());
    return cv::imread(path, cv::IMREAD_GRAYSCALE);
}

std::string zbarimg(const std::string& path, bool qr) {
    const std::string command = "zbarimg -q --raw " +
                                std::string(qr ? "-Sdisable -Sqrcode.enable " : "-Sqrcode.disable ") + path +
                                " 2>/dev/null";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof(buffer), pipe)) out += buffer;
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// Quiet: the library reports every failed scan on standard output.
std::string decode(const cv::Mat& grey, int type) {
    cv::Mat rgb;
    cv::cvtColor(grey, rgb, cv::COLOR_GRAY2RGB);
    std::fflush(stdout);
    const int saved = dup(1);
    FILE* null = std::fopen("/dev/null", "w");
    dup2(fileno(null), 1);
    std::string result = BarQrDecodePro(rgb, type);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(null);
    return result;
}

struct Family {
    const char* name;
    std::vector<double> levels;
    std::function<cv::Mat(const cv::Mat&, double)> apply;
};

cv::Mat shade(const cv::Mat& g, double depth) {
    cv::Mat out(g.size(), CV_8UC1);
    for (int y = 0; y < g.rows; ++y)
        for (int x = 0; x < g.cols; ++x)
            out.at<uchar>(y, x) = cv::saturate_cast<uchar>(g.at<uchar>(y, x) * (1.0 - depth * x / g.cols) + 10);
    return out;
}

cv::Mat noise(const cv::Mat& g, double sigma) {
    cv::Mat n(g.size(), CV_16SC1), out;
    cv::randn(n, 0, sigma);
    g.convertTo(out, CV_16SC1);
    out += n;
    out.convertTo(out, CV_8UC1);
    return out;
}

} // namespace

int main() {
    std::system(("mkdir -p " + kDir).c_str());
    const cv::Mat qr = run("qrencode -s 4 -m 4 -o " + kDir + "/qr.png '" + kQr + "'", kDir + "/qr.png");
    const cv::Mat ean = run("zint -b 13 --scale=2 -d 400638133393 -o " + kDir + "/ean.png", kDir + "/ean.png");
    cv::Mat clean(700, 1100, CV_8UC1, cv::Scalar(235));
    qr.copyTo(clean(cv::Rect(cv::Point(80, 150), qr.size())));
    ean.copyTo(clean(cv::Rect(cv::Point(550, 250), ean.size())));

    const std::vector<Family> families = {
        {"blur",
         {1, 2, 3, 4},
         [](const cv::Mat& g, double s) {
             cv::Mat o;
             cv::GaussianBlur(g, o, cv::Size(0, 0), s);
             return o;
         }},
        {"noise", {20, 40, 60, 80}, noise},
        {"low contrast",
         {60, 30, 15, 8},
         [](const cv::Mat& g, double range) {
             cv::Mat o;
             g.convertTo(o, CV_8UC1, range / 255.0, 120);
             return o;
         }},
        {"uneven light", {0.5, 0.7, 0.85, 0.95}, shade},
        {"rotation",
         {3, 6, 10, 20},
         [](const cv::Mat& g, double a) {
             cv::Mat o;
             cv::warpAffine(g, o, cv::getRotationMatrix2D(cv::Point2f(g.cols / 2.f, g.rows / 2.f), a, 1), g.size(),
                            cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(235));
             return o;
         }},
        {"jpeg quality",
         {30, 15, 8, 4},
         [](const cv::Mat& g, double q) {
             std::vector<uchar> jpeg;
             cv::imencode(".jpg", g, jpeg, {cv::IMWRITE_JPEG_QUALITY, int(q)});
             return cv::imdecode(jpeg, cv::IMREAD_GRAYSCALE);
         }},
        {"shade 0.8 + noise", {10, 20, 30, 40}, [](const cv::Mat& g, double s) { return noise(shade(g, 0.8), s); }},
        {"contrast 30 + blur",
         {1, 1.5, 2, 3},
         [](const cv::Mat& g, double s) {
             cv::Mat o;
             g.convertTo(o, CV_8UC1, 30 / 255.0, 120);
             cv::GaussianBlur(o, o, cv::Size(0, 0), s);
             return o;
         }},
    };

    int total = 0, plain[2] = {0, 0}, chain[2] = {0, 0};
    std::printf("%-20s %6s | %-9s %-9s | %-9s %-9s\n", "distortion", "level", "QR plain", "QR chain", "EAN plain",
                "EAN chain");
    for (const Family& f : families) {
        for (double level : f.levels) {
            cv::setRNGSeed(int(level * 100));
            const cv::Mat picture = f.apply(clean, level);
            const std::string path = kDir + "/picture.png";
            cv::imwrite(path, picture);
            const bool results[4] = {zbarimg(path, true) == kQr, decode(picture, 1) == kQr,
                                     zbarimg(path, false) == kEan, decode(picture, 0) == kEan};
            ++total;
            plain[0] += results[0], chain[0] += results[1], plain[1] += results[2], chain[1] += results[3];
            std::printf("%-20s %6g | %-9s %-9s | %-9s %-9s\n", f.name, level, results[0] ? "read" : "-",
                        results[1] ? "read" : "-", results[2] ? "read" : "-", results[3] ? "read" : "-");
        }
    }
    std::printf("\nread of %d pictures: QR zbarimg %d, BarQrDecodePro %d; EAN-13 zbarimg %d, BarQrDecodePro %d\n",
                total, plain[0], chain[0], plain[1], chain[1]);
    return 0;
}
