// One libharu document, owned: the pieces that pdf_start, pdf_addPage and
// pdf_end, CombineToPDF and the PDF captures have in common.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <hpdf.h>

#include "../ocr/recognise.h"
#include "picture_file.h"

namespace velcap {

// libharu's error callback: prints the error and sets the bool at failed.
void pdfError(unsigned long error, unsigned long detail, void* failed);

class TextLayer;

class PdfDocument {
public:
    // Check valid() afterwards: libharu may be out of memory. An archival
    // document is written as PDF/A-1b: an sRGB output intent, XMP metadata,
    // every font embedded, no transparency.
    explicit PdfDocument(bool archival = false);
    ~PdfDocument();
    PdfDocument(const PdfDocument&) = delete;
    PdfDocument& operator=(const PdfDocument&) = delete; // the callback holds &failed_
    bool valid() const { return doc_ != nullptr && !failed_; }
    HPDF_Doc handle() const { return doc_.get(); }

    // Adds a page the size of the picture (a .jpg, .png, .tif or .bmp file)
    // with the picture over all of it: its true size where the file records
    // its resolution, else 1 point a pixel. -1 when the name or the file is
    // refused: BadPath for a name that tells no picture, NotWritten for a
    // picture that cannot be read (the document is then abandoned). With
    // text, its lines lie invisible under the picture, where the picture
    // shows them: the page can be searched and copied from.
    Status addImagePage(const char* imagePath, const ocr::PageText* text = nullptr);
    // Adds a page of a JPEG held in memory, 1 point a pixel.
    Status addJpegPage(const std::vector<unsigned char>& jpeg, const ocr::PageText* text = nullptr);
    // A page of pageWidth x pageHeight points with the picture at a place
    // on it (points from the top-left): a JPEG, or 1-bit rows (1 black),
    // stored in CCITT G4.
    Status addJpegPage(const std::vector<unsigned char>& jpeg, const ocr::PageText* text, double pageWidth,
                       double pageHeight, const cv::Rect2d& at);
    Status addBitsPage(const std::vector<unsigned char>& bits, int width, int height, const ocr::PageText* text,
                       double pageWidth, double pageHeight, const cv::Rect2d& at);
    // The whole document as its file would hold it; empty on failure.
    std::vector<unsigned char> bytes();
    // Writes the document next to path and renames it into place, so that a
    // failure leaves nothing half-written there: Ok or NotWritten.
    Status save(const std::string& path);

private:
    Status drawPage(HPDF_Image image, const ocr::PageText* text, const cv::Size2d* page = nullptr,
                    const cv::Rect2d* at = nullptr);
    bool complete(); // what a document needs before it is written
    struct Free {
        void operator()(HPDF_Doc doc) const { HPDF_Free(doc); }
    };
    std::unique_ptr<std::remove_pointer_t<HPDF_Doc>, Free> doc_;
    bool failed_ = false; // set by pdfError through the user-data pointer
    bool archival_ = false;
    bool archivalDone_ = false;
    int pages_ = 0;
    std::unique_ptr<TextLayer> text_; // made with the first text layer
};

// CombineToPDF's work on its queue of pictures: one page each, gone files
// left out; Ok, or NotWritten (BadPath without a name) when the document is not written. With OCR languages
// ("chi_sim+eng"), each page gets its text layer (pages read in parallel,
// progress(done, total) after each).
Status combineToPdf(const std::list<std::string>& queued, const char* pdfPath, bool deleteSources,
                    const std::string& ocrLanguages = {}, const std::function<void(int, int)>& progress = {},
                    bool pdfA = false);
// MergeImages' work on its queue: up to four pictures side by side (mode 0)
// or one above the other, written as SaveImage writes; Ok or NotWritten.
Status mergeImages(const std::list<std::string>& queued, const char* outPath, int mode, bool deleteSources,
                   const SaveOptions& options);

} // namespace velcap
