// velcap's documents: pages and PDFs of pictures, identity-card copies,
// searchable PDFs, and the codes on a picture.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "export.h"
#include "types.h"

namespace velcap {

// Paper for pages: their size in millimetres.
enum class Paper { None, A4, A5, Letter };

// How pictures become pages and files.
struct PageOptions {
    // On paper: the picture at its true size (dpi is then needed), centred,
    // or fitted to the page. None: the page is the picture.
    Paper paper = Paper::None;
    bool fit = false;
    // The picture's resolution, recorded in the file (JPEG, PNG, TIFF, the
    // PDF's page size); 0 when unknown.
    int dpi = 0;
    int jpegQuality = 85;
    // At most this many bytes a file (0: no limit): the JPEG quality is
    // lowered until it fits; a PDF's pictures may also be scaled down to 200 dpi.
    long maxBytes = 0;
    // Black and white, 1 bit a pixel: CCITT G4 in TIFF and PDF, as scanners write.
    bool blackAndWhite = false;
    // A PDF's pages get their text read by Tesseract in these languages
    // ("chi_sim+eng"), invisible under each picture wherever it lies on its
    // page: searchable, and copied as text. None when empty.
    std::string ocrLanguages;
    // A PDF is written as PDF/A-1b, for archives.
    bool pdfA = false;
};

// The highest resolution at which a page of this paper (A4 for None) stays
// within the library's pixel limit, so that every reader of it takes the file.
VELCAP_EXPORT int mostDpi(Paper paper);

// Writes picture files to out: a page each into a .pdf, or the one picture
// into a .jpg, .png, .tif or .bmp. BadPath for another name; NotWritten when a
// picture cannot be read, the budget cannot be met, or the file not written
// (an existing file then stays as it was).
// With OCR languages, progress(done, total) after each page read, as makeSearchablePdf says.
VELCAP_EXPORT Status writePages(const std::vector<std::string>& pictures, const std::string& out,
                                const PageOptions& options,
                                const std::function<void(int done, int total)>& progress = {});

// The copy of an identity card (85.6 x 54 mm) that counters make: front and
// back found on their photographs, cut out straight, and put on one A4 page at
// true size, front above back, centred. out is .pdf, .jpg or .png; options'
// paper and fit are A4 and false, its dpi is the page's (300 when 0).
// NotWritten when a card is not found or out cannot be written.
VELCAP_EXPORT Status makeIdCardCopy(const std::string& front, const std::string& back, const std::string& out,
                                    PageOptions options = {});

// A PDF of picture files, a page each, with each page's text read by
// Tesseract in the languages ("chi_sim+eng") lying invisible under its
// picture: searchable, and copied as text. No text when languages is empty.
// Pages are read one a core at a time; progress(done, total) after each, on
// a thread of the library, one call at a time. NotWritten when a picture cannot be read or the
// file cannot be written.
// pdfA writes it as PDF/A-1b.
VELCAP_EXPORT Status makeSearchablePdf(const std::vector<std::string>& pictures, const std::string& pdfPath,
                                       const std::string& languages,
                                       const std::function<void(int done, int total)>& progress = {},
                                       bool pdfA = false);

// What book mode does to an open book's picture; each step can be left out.
struct BookOptions {
    bool dewarp = true;        // text lines straight, the page rectangular
    bool removeFingers = true; // fingers on the pages painted over with the paper
    bool evenLight = true;     // the gutter's shadow evened out, the paper white
};

// Writes the pages of the open books photographed in spreads (picture files):
// out ending in .pdf is one PDF, the left page of each spread first, read by
// OCR in languages when they are given (pdfA as makeSearchablePdf); out with
// an image extension (.jpg, .png, .tif, .bmp) gives out-001.jpg, out-002.jpg, ...,
// whose paths go into written. NotWritten, with nothing written, when a
// spread cannot be read or holds no book (an existing out then stays as it
// was); BadPath for another name.
VELCAP_EXPORT Status writeBookPages(const std::vector<std::string>& spreads, const std::string& out,
                                    const BookOptions& book, std::vector<std::string>* written = nullptr,
                                    const std::string& languages = {}, bool pdfA = false);

// Whether Tesseract has a model for every language of "chi_sim+eng"; why
// not, when not (a language not installed, or a name that is not one).
VELCAP_EXPORT bool ocrLanguagesInstalled(const std::string& languages, std::string* why = nullptr);

// Every code of the asked kinds on a grey picture of width x height bytes,
// rows stride bytes apart, as zbarimg lists them: zbar first, zxing-cpp
// where zbar reads nothing, then (when asked) the enhanced recognition.
VELCAP_EXPORT std::vector<Code> readCodes(const unsigned char* grey, int width, int height, int stride,
                                          const CodeOptions& options = {});

} // namespace velcap
