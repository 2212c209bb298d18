// The flat interface's PDF documents: the one built page by page between
// pdf_start and pdf_end, and the queues of CombineToPDF and MergeImages.
#include <memory>
#include <unistd.h>

#include "../files/pdf_document.h"
#include "../log.h"
#include "state.h"

#include <opencv2/imgcodecs.hpp>

namespace {

// The document between pdf_start and pdf_end; pdf mirrors its handle.
std::unique_ptr<velcap::PdfDocument>& openDocument() {
    static auto* document = new std::unique_ptr<velcap::PdfDocument>;
    return *document;
}

void closeDocument() {
    openDocument().reset();
    pdf = nullptr;
}

bool exists(const char* path) {
    return ::access(path, F_OK) == 0;
}

} // namespace

extern "C" int pdf_start(const char* path) {
    // A document left open by an earlier start is abandoned, not leaked.
    closeDocument();
    outPdfPath = path ? path : "";
    auto document = std::make_unique<velcap::PdfDocument>(velcap::flatPdfA());
    if (!document->valid() || outPdfPath.empty()) {
        velcap::logWarning(velcap::Category::Pdf, "pdf_start: no document for \"%s\"\n", outPdfPath.c_str());
        return -1;
    }
    pdf = document->handle();
    openDocument() = std::move(document);
    return 0;
}

extern "C" int pdf_addPage(const char* imagePath) {
    auto& document = openDocument();
    if (!document) {
        velcap::logWarning(velcap::Category::Pdf, "pdf_addPage: no document is open; call pdf_start first\n");
        return -1;
    }
    if (!imagePath) {
        velcap::logWarning(velcap::Category::Pdf, "pdf_addPage: no picture name; the document %s is abandoned\n",
                           outPdfPath.c_str());
        closeDocument();
        return -1;
    }
    velcap::ocr::PageText text;
    const std::string languages = velcap::flatOcrLanguages();
    if (!languages.empty()) {
        std::string why;
        try {
            // An unreadable picture gets no text; the page itself then says why.
            cv::Mat grey;
            const int dpi = int(velcap::recordedResolution(imagePath).x);
            if (velcap::readPicture(imagePath, cv::IMREAD_GRAYSCALE, "pdf_addPage", grey) == velcap::Status::Ok &&
                velcap::ocr::recognise(grey, languages, text, dpi, &why) != velcap::Status::Ok)
                velcap::logError(velcap::Category::Pdf, "pdf_addPage: no text layer for %s: %s\n", imagePath,
                                 why.c_str());
        } catch (const std::exception& e) {
            velcap::logError(velcap::Category::Pdf, "pdf_addPage: no text layer for %s: %s\n", imagePath, e.what());
        }
    }
    // A document that lacks a page it was given must not reach the disk.
    if (document->addImagePage(imagePath, text.lines.empty() ? nullptr : &text) != velcap::Status::Ok) {
        velcap::logError(velcap::Category::Pdf, "pdf_addPage: %s failed; the document %s is abandoned\n", imagePath,
                         outPdfPath.c_str());
        closeDocument();
        return -1;
    }
    return 0;
}

extern "C" int pdf_end() {
    auto& document = openDocument();
    if (!document) {
        velcap::logWarning(velcap::Category::Pdf, "pdf_end: no document is open\n");
        return -1;
    }
    const velcap::Status saved = document->save(outPdfPath);
    closeDocument();
    return saved == velcap::Status::Ok ? 0 : -1;
}

extern "C" int AddImageFileToPDF(const char* path) {
    if (!path || !exists(path)) return -1;
    pdf_filelist.push_back(path);
    return 0;
}

extern "C" int AddImagePath(const char* path) {
    if (!path || !exists(path)) return -1;
    img_filelist.push_back(path);
    return 0;
}

extern "C" int CombineToPDF(const char* pdfPath, bool deleteSources) {
    if (pdf_filelist.empty()) return -1;
    const std::list<std::string> queued = std::move(pdf_filelist);
    pdf_filelist.clear();
    return velcap::combineToPdf(queued, pdfPath, deleteSources, velcap::flatOcrLanguages(), {}, velcap::flatPdfA()) ==
                   velcap::Status::Ok
               ? 0
               : -2;
}

extern "C" int MergeImages(const char* outPath, int mode, int, bool deleteSources) {
    if (img_filelist.size() < 2) return -1;
    const std::list<std::string> queued = std::move(img_filelist);
    img_filelist.clear();
    return velcap::mergeImages(queued, outPath, mode, deleteSources, {colorMode.load(), jpgQuality.load(), {}}) ==
                   velcap::Status::Ok
               ? 0
               : -2;
}
