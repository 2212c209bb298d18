// Writing an image in the colour mode and format that the settings and the
// file name ask for.
#include <cstdio>
#include <cstring>
#include <exception>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "../state.h"
#include "pdf_document.h"

namespace {

std::vector<int> jpegParameters() {
    return {cv::IMWRITE_JPEG_QUALITY, jpgQuality.load()};
}

// The home directory of the real user, or empty.
std::string homeDirectory() {
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

bool write(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters, const char* caller) {
    try {
        if (cv::imwrite(path, image, parameters)) return true;
        std::printf("%s: %s could not be written\n", caller, path.c_str());
    } catch (const std::exception& e) {
        std::printf("%s: %s could not be written: %s\n", caller, path.c_str(), e.what());
    }
    return false;
}

} // namespace

int SaveImage(char* path, cv::Mat img) {
    const size_t length = path ? std::strlen(path) : 0;
    if (length < 3) {
        std::printf("SaveImage: the name \"%s\" is too short to tell a format\n", path ? path : "");
        return -1;
    }
    if (img.empty()) {
        std::printf("SaveImage: no image to write to %s\n", path);
        return -1;
    }
    const std::string ext(path + length - 3);

    cv::Mat out;
    try {
        switch (colorMode.load()) {
        case 0:
            out = img;
            break;
        case 1:
            cv::cvtColor(img, out, cv::COLOR_BGR2GRAY);
            break;
        case 2:
            cv::cvtColor(img, out, cv::COLOR_BGR2GRAY);
            cv::adaptiveThreshold(out, out, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, 179, 19);
            break;
        default:
            return 0; // a colour mode that writes nothing
        }
    } catch (const std::exception& e) {
        std::printf("SaveImage: cannot convert the image for %s: %s\n", path, e.what());
        return -1;
    }

    if (ext == "pdf") return TempImgToPdf(path, out);
    if (ext != "jpg" && !cv::haveImageWriter(path)) {
        std::printf("SaveImage: no image encoder for %s\n", path);
        return -1;
    }
    return write(path, out, ext == "jpg" ? jpegParameters() : std::vector<int>{}, "SaveImage") ? 0 : -1;
}

int TempImgToPdf(char* path, cv::Mat img) {
    const std::string target = path ? path : "";
    const auto slash = long(target.rfind('/'));
    const auto dot = long(target.rfind('.'));
    if (target.rfind('.') == std::string::npos || dot <= slash) {
        std::printf("TempImgToPdf: \"%s\" has no extension to replace\n", target.c_str());
        return -1;
    }
    const std::string home = homeDirectory();
    if (home.empty()) {
        std::printf("TempImgToPdf: the user has no home directory for the temporary picture\n");
        return -1;
    }
    const std::string temp = home + "/" + target.substr(size_t(slash + 1), size_t(dot - slash - 1)) + ".jpg";
    if (!write(temp, img, jpegParameters(), "TempImgToPdf")) return -1;

    // A document of its own: a capture must not disturb one that a host is building.
    velcap::PdfDocument document;
    if (document.addImagePage(temp.c_str()) != 0) return -1;
    return document.save(target);
}
