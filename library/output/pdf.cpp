// PDF documents with one picture a page, through libharu.
//
// libharu reports errors through its callback and then returns an error code
// from the failing call. The callback here records the failure and returns;
// it does not jump out of the library call, so no C++ object is ever skipped
// over, and the operation in progress abandons the document.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

#include "pdf_document.h"
#include "picture_file.h"

#include "../log.h"
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace velcap {

namespace {

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

} // namespace

PdfDocument::PdfDocument() : doc_(HPDF_New(error_handler, &failed_)) {
    // Pictures other than JPEG are stored deflated: a PNG page costs about its PNG file.
    if (doc_) HPDF_SetCompressionMode(handle(), HPDF_COMP_ALL);
}

namespace {

// A decoded picture as libharu's raw image: 8-bit grey or R, G, B.
HPDF_Image rawImage(HPDF_Doc doc, const cv::Mat& picture) {
    cv::Mat eight = picture;
    if (picture.depth() != CV_8U) picture.convertTo(eight, CV_8U, picture.depth() == CV_16U ? 1.0 / 257 : 1.0);
    cv::Mat pixels;
    HPDF_ColorSpace space = HPDF_CS_DEVICE_RGB;
    switch (eight.channels()) {
    case 1:
        pixels = eight;
        space = HPDF_CS_DEVICE_GRAY;
        break;
    case 3:
        cv::cvtColor(eight, pixels, cv::COLOR_BGR2RGB);
        break;
    default: // the transparency of a page picture is dropped, as a printer would
        cv::cvtColor(eight, pixels, cv::COLOR_BGRA2RGB);
        break;
    }
    if (!pixels.isContinuous()) pixels = pixels.clone();
    return HPDF_LoadRawImageFromMem(doc, pixels.data, HPDF_UINT(pixels.cols), HPDF_UINT(pixels.rows), space, 8);
}

} // namespace

int PdfDocument::addImagePage(const char* imagePath) {
    if (!valid()) return -1;
    // Extensions count in every letter case; JPEG and PNG files go in as they
    // are, other pictures are decoded and stored losslessly.
    const std::string extension = lowerExtension(imagePath);
    const bool jpeg = extension == "jpg" || extension == "jpeg";
    const bool png = extension == "png";
    if (!jpeg && !png && extension != "tif" && extension != "tiff" && extension != "bmp") {
        velcap::say("pdf_addPage: %s is not a .jpg, .png, .tif or .bmp picture; no page added\n", imagePath);
        return -1;
    }
    // libharu's own decoders end the process on some damaged pictures: a
    // picture becomes a page only once it has been decoded here in full.
    const cv::Mat picture = readPicture(imagePath, cv::IMREAD_UNCHANGED, "pdf_addPage");
    if (picture.empty()) {
        velcap::say("pdf_addPage: %s is refused; no page added\n", imagePath);
        return -1;
    }
    HPDF_Image image = nullptr;
    try {
        // libharu reads 8-bit PNGs (and their transparency) itself; 16-bit ones go in decoded.
        image = jpeg                              ? HPDF_LoadJpegImageFromFile(handle(), imagePath)
                : png && picture.depth() == CV_8U ? HPDF_LoadPngImageFromFile(handle(), imagePath)
                                                  : rawImage(handle(), picture);
    } catch (const std::exception& e) {
        velcap::say("pdf_addPage: %s cannot be converted: %s\n", imagePath, e.what());
    }
    return drawPage(image);
}

int PdfDocument::addJpegPage(const std::vector<unsigned char>& jpeg) {
    if (!valid() || jpeg.empty()) return -1;
    return drawPage(HPDF_LoadJpegImageFromMem(handle(), jpeg.data(), HPDF_UINT(jpeg.size())));
}

int PdfDocument::drawPage(HPDF_Image image) {
    if (!image || failed_) {
        failed_ = true; // libharu does not always call back for a picture it cannot read
        return -1;
    }
    HPDF_Page page = HPDF_AddPage(handle());
    const float width = float(HPDF_Image_GetWidth(image));
    const float height = float(HPDF_Image_GetHeight(image));
    HPDF_Page_SetWidth(page, width);
    HPDF_Page_SetHeight(page, height);
    HPDF_Page_DrawImage(page, image, 0, 0, width, height);
    if (failed_) return -1;
    ++pages_;
    return 0;
}

int PdfDocument::save(const std::string& path) {
    if (!valid()) return -1;
    if (pages_ == 0) {
        velcap::say("pdf: %s has no pages; not written\n", path.c_str());
        return -1;
    }
    if (!replaceable(path, "pdf")) return -1;
    // A short temporary name: a document name near the length limit still fits.
    TemporaryFile partial(path);
    const HPDF_STATUS status = partial.valid() ? HPDF_SaveToFile(handle(), partial.path().c_str()) : HPDF_FILE_IO_ERROR;
    if (status != HPDF_OK || failed_ || !partial.commit()) {
        velcap::say("pdf: %s could not be written\n", path.c_str());
        return -1;
    }
    return 0;
}

} // namespace velcap

void error_handler(unsigned long error_no, unsigned long detail_no, void* userData) {
    velcap::say("ERROR: error_no=%04X, detail_no=%u\n", unsigned(error_no), unsigned(detail_no));
    if (userData) *static_cast<bool*>(userData) = true;
}

namespace velcap {

int combineToPdf(const std::list<std::string>& queued, const char* pdfPath, bool deleteSources) {
    if (!pdfPath || !*pdfPath) {
        velcap::say("CombineToPDF: no document name\n");
        return -2;
    }
    try {
        // A document of its own: one that the host is building stays as it is.
        velcap::PdfDocument document;
        std::vector<std::string> pages; // the sources that became pages
        for (const std::string& name : queued) {
            if (!velcap::exists(name)) continue; // gone since it was queued
            if (document.addImagePage(name.c_str()) != 0) {
                // A document without one of its pages would pass for the whole one.
                velcap::say("CombineToPDF: %s cannot become a page; %s is not written\n", name.c_str(), pdfPath);
                return -2;
            }
            pages.push_back(name);
        }
        if (document.save(pdfPath) != 0) return -2;
        if (deleteSources)
            for (const std::string& name : pages)
                // A source that the document replaced is the document now.
                if (velcap::exists(name) && !velcap::sameFile(name, pdfPath)) std::remove(name.c_str());
        return 0;
    } catch (const std::exception& e) {
        velcap::say("CombineToPDF: %s failed: %s\n", pdfPath, e.what());
        return -2;
    }
}

} // namespace velcap
