// Writing an image in the colour mode and format that the settings and the
// file name ask for.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "../log.h"
#include "pdf_document.h"
#include "picture_file.h"

namespace {

std::vector<int> jpegParameters(int quality) {
    return {cv::IMWRITE_JPEG_QUALITY, quality};
}

// The home directory of the real user, or empty.
std::string homeDirectory() {
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}

// A name for the temporary picture of a PDF in the home folder that no file
// has: <stem>.jpg, else <stem>-2.jpg and so on. Made empty, so that no other
// writer takes it meanwhile.
std::string unusedHomeName(const std::string& home, const std::string& stem) {
    for (int n = 1; n < 1000; ++n) {
        const std::string name = home + "/" + stem + (n == 1 ? "" : "-" + std::to_string(n)) + ".jpg";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST) break;
    }
    return {};
}

} // namespace

namespace velcap {

Status saveImage(const char* path, const cv::Mat& img, const SaveOptions& options) {
    const size_t length = path ? std::strlen(path) : 0;
    if (length < 3) {
        velcap::logWarning(velcap::Category::Files, "SaveImage: the name \"%s\" is too short to tell a format\n",
                           path ? path : "");
        return Status::BadPath;
    }
    if (img.empty()) {
        velcap::logWarning(velcap::Category::Files, "SaveImage: no image to write to %s\n", path);
        return Status::NotWritten;
    }
    // Extensions count alike in every letter case: q.JPG is a JPEG at the set quality too.
    const std::string ext = velcap::lowerExtension(path);

    cv::Mat out;
    try {
        switch (options.colorMode) {
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
            return Status::NothingAsked; // a colour mode that writes nothing
        }
    } catch (const std::exception& e) {
        velcap::logError(velcap::Category::Files, "SaveImage: cannot convert the image for %s: %s\n", path, e.what());
        return Status::NotWritten;
    }

    if (ext == "pdf")
        return pdfCapture(path, out, options.jpegQuality, options.ocrLanguages, options.pdfInMemory, options.pdfA);
    const bool jpeg = ext == "jpg" || ext == "jpeg";
    if (!jpeg && !cv::haveImageWriter(path)) {
        velcap::logError(velcap::Category::Files, "SaveImage: no image encoder for %s\n", path);
        return Status::NotWritten;
    }
    return writePicture(path, out, jpeg ? jpegParameters(options.jpegQuality) : std::vector<int>{}, "SaveImage");
}

} // namespace velcap

namespace velcap {

Status pdfCapture(const char* path, const cv::Mat& img, int jpegQuality, const std::string& ocrLanguages, bool inMemory,
                  bool pdfA) {
    try {
        const std::string target = path ? path : "";
        const auto slash = long(target.rfind('/'));
        const auto dot = long(target.rfind('.'));
        if (target.rfind('.') == std::string::npos || dot <= slash) {
            velcap::logWarning(velcap::Category::Files, "TempImgToPdf: \"%s\" has no extension to replace\n",
                               target.c_str());
            return Status::BadPath;
        }
        ocr::PageText text;
        // The photograph matters more than its text layer.
        if (std::string why; !ocrLanguages.empty() && ocr::recognise(img, ocrLanguages, text, 0, &why) != Status::Ok)
            velcap::logError(velcap::Category::Files, "TempImgToPdf: no text layer for %s: %s\n", target.c_str(),
                             why.c_str());
        const ocr::PageText* layer = text.lines.empty() ? nullptr : &text;
        if (inMemory) {
            std::vector<unsigned char> jpeg;
            if (!cv::imencode(".jpg", img, jpeg, jpegParameters(jpegQuality))) {
                velcap::logError(velcap::Category::Files, "TempImgToPdf: the picture for %s cannot be encoded\n",
                                 target.c_str());
                return Status::NotWritten;
            }
            PdfDocument document(pdfA);
            const Status added = document.addJpegPage(jpeg, layer);
            return added == Status::Ok ? document.save(target) : added;
        }
        const std::string home = homeDirectory();
        if (home.empty()) {
            velcap::logError(velcap::Category::Files,
                             "TempImgToPdf: the user has no home directory for the temporary picture\n");
            return Status::NotWritten;
        }
        const std::string temp = unusedHomeName(home, target.substr(size_t(slash + 1), size_t(dot - slash - 1)));
        if (temp.empty()) {
            velcap::logError(velcap::Category::Files,
                             "TempImgToPdf: no free name for the temporary picture of %s in %s\n", target.c_str(),
                             home.c_str());
            return Status::NotWritten;
        }
        if (writePicture(temp, img, jpegParameters(jpegQuality), "TempImgToPdf") != Status::Ok) {
            ::unlink(temp.c_str());
            return Status::NotWritten;
        }

        // A document of its own: a capture must not disturb one that a host is building.
        PdfDocument document(pdfA);
        if (document.addImagePage(temp.c_str(), layer) != Status::Ok) return Status::NotWritten;
        return document.save(target);
    } catch (const std::exception& e) {
        velcap::logError(velcap::Category::Files, "TempImgToPdf: %s failed: %s\n", path ? path : "(null)", e.what());
        return Status::NotWritten;
    }
}

} // namespace velcap
