// PDF documents with one picture a page, through libharu.
//
// libharu reports errors through its callback and then returns an error code
// from the failing call. The callback here records the failure and returns;
// it does not jump out of the library call, so no C++ object is ever skipped
// over, and the operation in progress abandons the document.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <hpdf_objects.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "pdf_document.h"
#include "pdf_text.h"
#include "picture_file.h"

#include "../log.h"
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace velcap {

void pdfError(unsigned long error, unsigned long detail, void* failed) {
    logError(Category::Pdf, "ERROR: error_no=%04X, detail_no=%u\n", unsigned(error), unsigned(detail));
    if (failed) *static_cast<bool*>(failed) = true;
}

namespace {

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

} // namespace

PdfDocument::PdfDocument(bool archival) : doc_(HPDF_New(pdfError, &failed_)), archival_(archival) {
    // Pictures other than JPEG are stored deflated: a PNG page costs about its PNG file.
    if (doc_) HPDF_SetCompressionMode(handle(), HPDF_COMP_ALL);
}

PdfDocument::~PdfDocument() = default;

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

Status PdfDocument::addImagePage(const char* imagePath, const ocr::PageText* text) {
    if (!valid()) return Status::NotWritten;
    // Extensions count in every letter case; JPEG and PNG files go in as they
    // are, other pictures are decoded and stored losslessly.
    const std::string extension = lowerExtension(imagePath);
    const bool jpeg = extension == "jpg" || extension == "jpeg";
    const bool png = extension == "png";
    if (!jpeg && !png && extension != "tif" && extension != "tiff" && extension != "bmp") {
        velcap::logWarning(velcap::Category::Pdf,
                           "pdf_addPage: %s is not a .jpg, .png, .tif or .bmp picture; no page added\n", imagePath);
        return Status::BadPath;
    }
    // libharu's own decoders end the process on some damaged pictures: a
    // picture becomes a page only once it has been decoded here in full.
    cv::Mat picture;
    if (readPicture(imagePath, cv::IMREAD_UNCHANGED, "pdf_addPage", picture) != Status::Ok) {
        velcap::logWarning(velcap::Category::Pdf, "pdf_addPage: %s is refused; no page added\n", imagePath);
        return Status::NotWritten;
    }
    HPDF_Image image = nullptr;
    try {
        // libharu reads 8-bit PNGs (and their transparency) itself; 16-bit ones go in decoded.
        // An archival page has no transparency and no CMYK beside its sRGB intent.
        const bool asIs = !archival_ || (picture.channels() != 4 && (!png || picture.channels() != 2));
        image = jpeg && asIs                              ? HPDF_LoadJpegImageFromFile(handle(), imagePath)
                : png && picture.depth() == CV_8U && asIs ? HPDF_LoadPngImageFromFile(handle(), imagePath)
                                                          : rawImage(handle(), picture);
    } catch (const std::exception& e) {
        velcap::logError(velcap::Category::Pdf, "pdf_addPage: %s cannot be converted: %s\n", imagePath, e.what());
    }
    // A picture that records its resolution is a page of its true size.
    const cv::Point2d dpi = recordedResolution(imagePath);
    if (dpi.x <= 0 || dpi.y <= 0) return drawPage(image, text);
    const cv::Size2d page(picture.cols * 72.0 / dpi.x, picture.rows * 72.0 / dpi.y);
    const cv::Rect2d all(0, 0, page.width, page.height);
    return drawPage(image, text, &page, &all);
}

Status PdfDocument::addJpegPage(const std::vector<unsigned char>& jpeg, const ocr::PageText* text) {
    if (!valid() || jpeg.empty()) return Status::NotWritten;
    return drawPage(HPDF_LoadJpegImageFromMem(handle(), jpeg.data(), HPDF_UINT(jpeg.size())), text);
}

Status PdfDocument::addJpegPage(const std::vector<unsigned char>& jpeg, const ocr::PageText* text, double pageWidth,
                                double pageHeight, const cv::Rect2d& at) {
    if (!valid() || jpeg.empty()) return Status::NotWritten;
    const cv::Size2d page(pageWidth, pageHeight);
    return drawPage(HPDF_LoadJpegImageFromMem(handle(), jpeg.data(), HPDF_UINT(jpeg.size())), text, &page, &at);
}

Status PdfDocument::addBitsPage(const std::vector<unsigned char>& bits, int width, int height,
                                const ocr::PageText* text, double pageWidth, double pageHeight, const cv::Rect2d& at) {
    if (!valid() || bits.empty()) return Status::NotWritten;
    const cv::Size2d page(pageWidth, pageHeight);
    // 1 is black in the rows; libharu marks its G4 data BlackIs1 false, as readers expect.
    HPDF_Image image = HPDF_Image_LoadRaw1BitImageFromMem(handle(), bits.data(), HPDF_UINT(width), HPDF_UINT(height),
                                                          HPDF_UINT((width + 7) / 8), HPDF_FALSE, HPDF_TRUE);
    return drawPage(image, text, &page, &at);
}

std::vector<unsigned char> PdfDocument::bytes() {
    if (!valid() || pages_ == 0 || !complete() || HPDF_SaveToStream(handle()) != HPDF_OK) return {};
    std::vector<unsigned char> out(HPDF_GetStreamSize(handle()));
    HPDF_UINT32 size = HPDF_UINT32(out.size());
    HPDF_ResetStream(handle());
    if (HPDF_ReadFromStream(handle(), out.data(), &size) != HPDF_OK && size != out.size()) return {};
    out.resize(size);
    return failed_ ? std::vector<unsigned char>{} : out;
}

namespace {
constexpr float kLeastPagePoints = 3, kMostPagePoints = 14400;
} // namespace

Status PdfDocument::drawPage(HPDF_Image image, const ocr::PageText* text, const cv::Size2d* size,
                             const cv::Rect2d* at) {
    if (!image || failed_) {
        failed_ = true; // libharu does not always call back for a picture it cannot read
        return Status::NotWritten;
    }
    HPDF_Page page = HPDF_AddPage(handle());
    const float width = size ? float(size->width) : float(HPDF_Image_GetWidth(image));
    const float height = size ? float(size->height) : float(HPDF_Image_GetHeight(image));
    // A picture's page is 1 point a pixel, within what PDF pages may be
    // (3 to 14400 points a side): a larger or smaller one is drawn scaled,
    // in the same pixel units, so that every picture the readers take becomes a page.
    float scale = 1;
    if (!size && width > 0 && height > 0) {
        const float longest = std::max(width, height), shortest = std::min(width, height);
        if (longest > kMostPagePoints) scale = kMostPagePoints / longest;
        if (shortest * scale < kLeastPagePoints) scale = kLeastPagePoints / shortest;
    }
    HPDF_Page_SetWidth(page, std::clamp(width * scale, kLeastPagePoints, kMostPagePoints));
    HPDF_Page_SetHeight(page, std::clamp(height * scale, kLeastPagePoints, kMostPagePoints));
    if (scale != 1) HPDF_Page_Concat(page, scale, 0, 0, scale, 0, 0);
    // The text first: the picture covers it, and viewers select it all the same.
    if (text && !text->lines.empty()) {
        if (!text_) text_ = std::make_unique<TextLayer>(handle());
        ocr::PageText layer = *text;
        if (layer.size.empty())
            layer.size = cv::Size(int(HPDF_Image_GetWidth(image)), int(HPDF_Image_GetHeight(image)));
        const cv::Rect2d drawn = at ? cv::Rect2d(at->x, height - at->y - at->height, at->width, at->height)
                                    : cv::Rect2d(0, 0, width, height);
        text_->draw(page, layer, drawn);
        if (failed_) {
            // The picture matters more than its text: the page keeps it alone.
            velcap::logError(velcap::Category::Pdf,
                             "pdf: the text of page %d could not be laid under it; the page has its picture alone\n",
                             pages_ + 1);
            HPDF_ResetError(handle());
            failed_ = false;
        }
    }
    if (at)
        HPDF_Page_DrawImage(page, image, float(at->x), float(height - at->y - at->height), float(at->width),
                            float(at->height));
    else
        HPDF_Page_DrawImage(page, image, 0, 0, width, height);
    if (failed_) return Status::NotWritten;
    ++pages_;
    return Status::Ok;
}

namespace {

// The producer named in the document information (libharu names itself
// otherwise) and, the same, in the metadata.
#define VELCAP_PRODUCER "velcap"

// The XMP packet of a PDF/A-1b document: the part and conformance it claims.
constexpr const char* kArchivalMetadata =
    "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
    "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
    "<rdf:Description rdf:about=\"\" xmlns:pdfaid=\"http://www.aiim.org/pdfa/ns/id/\">\n"
    "<pdfaid:part>1</pdfaid:part>\n<pdfaid:conformance>B</pdfaid:conformance>\n</rdf:Description>\n"
    "<rdf:Description rdf:about=\"\" xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\">\n"
    "<pdf:Producer>" VELCAP_PRODUCER "</pdf:Producer>\n</rdf:Description>\n"
    "</rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"w\"?>\n";

// sRGB's ICC profile, as Debian installs it (icc-profiles-free, or Ghostscript's).
const char* const kSrgbProfiles[] = {"/usr/share/color/icc/sRGB.icc", "/usr/share/color/icc/ghostscript/srgb.icc"};

} // namespace

bool PdfDocument::complete() {
    if (text_) text_->finish();
    if (!archival_ || archivalDone_) return !failed_;
    const char* profile = nullptr;
    for (const char* candidate : kSrgbProfiles)
        if (isRegularFile(candidate)) profile = candidate;
    if (!profile) {
        logError(Category::Pdf, "pdf: no sRGB ICC profile (%s) for a PDF/A document\n", kSrgbProfiles[0]);
        return false;
    }
    HPDF_Doc doc = handle();
    HPDF_SetInfoAttr(doc, HPDF_INFO_PRODUCER, VELCAP_PRODUCER);
    HPDF_OutputIntent intent = HPDF_LoadIccProfileFromFile(doc, profile, 3);
    if (!intent || HPDF_PDFA_AppendOutputIntents(doc, "sRGB IEC61966-2.1", intent) != HPDF_OK) return false;
    // The packet is left unfiltered, as PDF/A asks of a document's metadata.
    HPDF_Dict metadata = HPDF_DictStream_New(doc->mmgr, doc->xref);
    if (!metadata) return false;
    HPDF_Dict_AddName(metadata, "Type", "Metadata");
    HPDF_Dict_AddName(metadata, "Subtype", "XML");
    HPDF_Stream_WriteStr(metadata->stream, kArchivalMetadata);
    HPDF_Dict_Add(doc->catalog, "Metadata", metadata);
    HPDF_PDFA_GenerateID(doc);
    archivalDone_ = true;
    return !failed_;
}

Status PdfDocument::save(const std::string& path) {
    if (!valid()) return Status::NotWritten;
    if (pages_ == 0) {
        velcap::logWarning(velcap::Category::Pdf, "pdf: %s has no pages; not written\n", path.c_str());
        return Status::NotWritten;
    }
    if (!replaceable(path, "pdf") || !complete()) return Status::NotWritten;
    // A short temporary name: a document name near the length limit still fits.
    TemporaryFile partial(path);
    const HPDF_STATUS status = partial.valid() ? HPDF_SaveToFile(handle(), partial.path().c_str()) : HPDF_FILE_IO_ERROR;
    if (status != HPDF_OK || failed_ || !partial.commit()) {
        velcap::logError(velcap::Category::Pdf, "pdf: %s could not be written\n", path.c_str());
        return Status::NotWritten;
    }
    return Status::Ok;
}

Status combineToPdf(const std::list<std::string>& queued, const char* pdfPath, bool deleteSources,
                    const std::string& ocrLanguages, const std::function<void(int, int)>& progress, bool pdfA) {
    if (!pdfPath || !*pdfPath) {
        velcap::logWarning(velcap::Category::Pdf, "CombineToPDF: no document name\n");
        return Status::BadPath;
    }
    try {
        // A document of its own: one that the host is building stays as it is.
        velcap::PdfDocument document(pdfA);
        std::vector<std::string> present;
        for (const std::string& name : queued)
            if (velcap::exists(name)) present.push_back(name); // not gone since it was queued
        std::vector<ocr::PageText> texts;
        if (std::string why;
            !ocrLanguages.empty() && ocr::recogniseFiles(present, ocrLanguages, texts, progress, &why) != Status::Ok) {
            velcap::logError(velcap::Category::Pdf, "CombineToPDF: %s failed: %s\n", pdfPath, why.c_str());
            return Status::NotWritten;
        }
        std::vector<std::string> pages; // the sources that became pages
        for (const std::string& name : present) {
            const ocr::PageText* text = texts.empty() ? nullptr : &texts[pages.size()];
            if (document.addImagePage(name.c_str(), text) != Status::Ok) {
                // A document without one of its pages would pass for the whole one.
                velcap::logError(velcap::Category::Pdf, "CombineToPDF: %s cannot become a page; %s is not written\n",
                                 name.c_str(), pdfPath);
                return Status::NotWritten;
            }
            pages.push_back(name);
        }
        if (document.save(pdfPath) != Status::Ok) return Status::NotWritten;
        if (deleteSources)
            for (const std::string& name : pages)
                // A source that the document replaced is the document now.
                if (velcap::exists(name) && !velcap::sameFile(name, pdfPath)) std::remove(name.c_str());
        return Status::Ok;
    } catch (const std::exception& e) {
        velcap::logError(velcap::Category::Pdf, "CombineToPDF: %s failed: %s\n", pdfPath, e.what());
        return Status::NotWritten;
    }
}

} // namespace velcap
