// The invisible text layer of searchable PDFs, in Unicode for every reader.
//
// One glyphless Type0 font a document: Identity-H, Tesseract's one-glyph
// TrueType font embedded, each character given a CID of its own as it first
// comes and mapped back to Unicode by the font's ToUnicode map. Readers then
// need no CJK CMaps and no font of their own, and nothing is limited to one
// character set. libharu knows no such font, so its objects are made with
// libharu's object interface and the text written into the page's content.
#pragma once

#include <map>
#include <string>

#include <hpdf.h>
#include <opencv2/core.hpp>

#include "../ocr/recognise.h"

namespace velcap {

class TextLayer {
public:
    explicit TextLayer(HPDF_Doc doc);
    bool valid() const { return font_ != nullptr; }
    // Lays page's lines under a picture drawn at `drawn` (PDF units, origin
    // at the bottom left), mapped from the picture's pixels.
    void draw(HPDF_Page page, const ocr::PageText& text, const cv::Rect2d& drawn);
    // Completes the CID maps with every character drawn; before each save.
    void finish();

private:
    std::string codes(const std::u32string& text); // hex CIDs, new ones given
    HPDF_Dict font_ = nullptr, toGlyphs_ = nullptr, toUnicode_ = nullptr;
    std::map<char32_t, unsigned> cids_;
    std::u32string byCid_; // the character of CID i + 1
    size_t written_ = 0;   // characters already in the maps
};

// UTF-8 as code points (through iconv); an invalid sequence is left out.
std::u32string codePoints(const std::string& utf8);

} // namespace velcap
