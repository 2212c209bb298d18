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

#include "../state.h"
#include "pdf_document.h"
#include "picture_file.h"

#include "../log.h"
#include <opencv2/imgcodecs.hpp>

namespace velcap {

namespace {

// The document between pdf_start and pdf_end; pdf mirrors its handle.
std::unique_ptr<PdfDocument>& openDocument() {
    static auto* document = new std::unique_ptr<PdfDocument>;
    return *document;
}

void closeDocument() {
    openDocument().reset();
    pdf = nullptr;
}

bool endsWith(const char* text, const char* suffix) {
    const size_t n = std::strlen(text), m = std::strlen(suffix);
    return n >= m && std::strcmp(text + n - m, suffix) == 0;
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

} // namespace

PdfDocument::PdfDocument() : doc_(HPDF_New(error_handler, &failed_)) {}

int PdfDocument::addImagePage(const char* imagePath) {
    if (!valid()) return -1;
    const bool png = endsWith(imagePath, "png");
    if (!png && !endsWith(imagePath, "jpg")) {
        velcap::say("pdf_addPage: %s is neither a .jpg nor a .png picture; no page added\n", imagePath);
        return -1;
    }
    // libharu's own decoders end the process on some damaged pictures: a
    // picture becomes a page only once it has been decoded here in full.
    if (readPicture(imagePath, cv::IMREAD_UNCHANGED, "pdf_addPage").empty()) {
        velcap::say("pdf_addPage: %s is refused; no page added\n", imagePath);
        return -1;
    }
    HPDF_Image image =
        png ? HPDF_LoadPngImageFromFile(handle(), imagePath) : HPDF_LoadJpegImageFromFile(handle(), imagePath);
    if (!image || failed_) {
        failed_ = true; // libharu does not always call back for a file it cannot read
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
    // A short temporary name: a document name near the length limit still fits.
    const std::string partial = temporaryBeside(path);
    const HPDF_STATUS status = partial.empty() ? HPDF_FILE_IO_ERROR : HPDF_SaveToFile(handle(), partial.c_str());
    if (status != HPDF_OK || failed_ || std::rename(partial.c_str(), path.c_str()) != 0) {
        if (!partial.empty()) std::remove(partial.c_str());
        velcap::say("pdf: %s could not be written\n", path.c_str());
        return -1;
    }
    return 0;
}

} // namespace velcap

using velcap::openDocument;

void error_handler(unsigned long error_no, unsigned long detail_no, void* userData) {
    velcap::say("ERROR: error_no=%04X, detail_no=%u\n", unsigned(error_no), unsigned(detail_no));
    if (userData) *static_cast<bool*>(userData) = true;
}

extern "C" int pdf_start(const char* path) {
    // A document left open by an earlier start is abandoned, not leaked.
    velcap::closeDocument();
    outPdfPath = path ? path : "";
    auto document = std::make_unique<velcap::PdfDocument>();
    if (!document->valid() || outPdfPath.empty()) {
        velcap::say("pdf_start: no document for \"%s\"\n", outPdfPath.c_str());
        return -1;
    }
    pdf = document->handle();
    openDocument() = std::move(document);
    return 0;
}

extern "C" int pdf_addPage(const char* imagePath) {
    auto& document = openDocument();
    if (!document) {
        velcap::say("pdf_addPage: no document is open; call pdf_start first\n");
        return -1;
    }
    if (!imagePath) return -1;
    const int result = document->addImagePage(imagePath);
    if (!document->valid()) {
        velcap::say("pdf_addPage: %s failed; the document %s is abandoned\n", imagePath, outPdfPath.c_str());
        velcap::closeDocument();
    }
    return result;
}

extern "C" int pdf_end() {
    auto& document = openDocument();
    if (!document) {
        velcap::say("pdf_end: no document is open\n");
        return -1;
    }
    const int result = document->save(outPdfPath);
    velcap::closeDocument();
    return result;
}

extern "C" int AddImageFileToPDF(const char* path) {
    if (!path || !velcap::exists(path)) return -1;
    pdf_filelist.push_back(path);
    return 0;
}

extern "C" int AddImagePath(const char* path) {
    if (!path || !velcap::exists(path)) return -1;
    img_filelist.push_back(path);
    return 0;
}

extern "C" int CombineToPDF(const char* pdfPath, bool deleteSources) {
    if (pdf_filelist.empty()) return -1;
    const std::list<std::string> queued = std::move(pdf_filelist);
    pdf_filelist.clear();
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
            if (document.addImagePage(name.c_str()) == 0)
                pages.push_back(name);
            else if (!document.valid())
                break;
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
