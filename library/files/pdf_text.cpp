#include "pdf_text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <iconv.h>
#include <vector>

#include <hpdf_objects.h>
#include <hpdf_pages.h>

#include "glyphless_font.h"

namespace velcap {

std::u32string codePoints(const std::string& utf8) {
    std::u32string out;
    iconv_t converter = ::iconv_open("UTF-32LE", "UTF-8");
    if (converter == iconv_t(-1)) return out;
    std::vector<unsigned char> wide(utf8.size() * 4 + 4);
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* to = reinterpret_cast<char*>(wide.data());
    size_t outLeft = wide.size();
    while (inLeft > 0 && ::iconv(converter, &in, &inLeft, &to, &outLeft) == size_t(-1)) {
        if (errno != EILSEQ && errno != EINVAL) break;
        ++in, --inLeft; // past the byte that starts no character
    }
    ::iconv_close(converter);
    for (size_t at = 0; at + 4 <= wide.size() - outLeft; at += 4)
        out += char32_t(wide[at] | wide[at + 1] << 8 | wide[at + 2] << 16 | char32_t(wide[at + 3]) << 24);
    return out;
}

namespace {

// The glyph's advance: 1024 of the font's 2048 units, in text space's thousandths.
constexpr int kAdvance = 500;
constexpr float kFontSize = 10;

HPDF_Dict indirect(HPDF_Doc doc, HPDF_Dict dict) {
    if (dict && HPDF_Xref_Add(doc->xref, dict) != HPDF_OK) return nullptr;
    return dict;
}

HPDF_Array numbers(HPDF_MMgr mmgr, std::initializer_list<int> values) {
    HPDF_Array array = HPDF_Array_New(mmgr);
    for (int v : values) HPDF_Array_AddNumber(array, v);
    return array;
}

// Wide letters take about twice a Latin letter's width on the page.
bool wide(char32_t c) {
    return ocr::isCjk(c) || (c >= 0x1100 && c <= 0x11FF) || (c >= 0x3040 && c <= 0x30FF);
}

} // namespace

TextLayer::TextLayer(HPDF_Doc doc) {
    HPDF_MMgr mmgr = doc->mmgr;
    HPDF_Dict file = HPDF_DictStream_New(mmgr, doc->xref);
    toGlyphs_ = HPDF_DictStream_New(mmgr, doc->xref);
    toUnicode_ = HPDF_DictStream_New(mmgr, doc->xref);
    HPDF_Dict descriptor = indirect(doc, HPDF_Dict_New(mmgr));
    HPDF_Dict cidFont = indirect(doc, HPDF_Dict_New(mmgr));
    HPDF_Dict font = indirect(doc, HPDF_Dict_New(mmgr));
    if (!file || !toGlyphs_ || !toUnicode_ || !descriptor || !cidFont || !font) return;
    for (HPDF_Dict stream : {file, toGlyphs_, toUnicode_}) stream->filter = HPDF_STREAM_FILTER_FLATE_DECODE;
    HPDF_Dict_AddNumber(file, "Length1", HPDF_INT32(sizeof(kGlyphlessFont)));
    HPDF_Stream_Write(file->stream, kGlyphlessFont, HPDF_UINT(sizeof(kGlyphlessFont)));

    HPDF_Dict_AddName(descriptor, "Type", "FontDescriptor");
    HPDF_Dict_AddName(descriptor, "FontName", "GlyphLessFont");
    HPDF_Dict_AddNumber(descriptor, "Flags", 5); // fixed pitch, symbolic
    HPDF_Dict_Add(descriptor, "FontBBox", numbers(mmgr, {0, 0, kAdvance, 1000}));
    HPDF_Dict_AddNumber(descriptor, "ItalicAngle", 0);
    HPDF_Dict_AddNumber(descriptor, "Ascent", 1000);
    HPDF_Dict_AddNumber(descriptor, "Descent", 0);
    HPDF_Dict_AddNumber(descriptor, "CapHeight", 1000);
    HPDF_Dict_AddNumber(descriptor, "StemV", 80);
    HPDF_Dict_Add(descriptor, "FontFile2", file);

    HPDF_Dict system = HPDF_Dict_New(mmgr);
    HPDF_Dict_Add(system, "Registry", HPDF_String_New(mmgr, "Adobe", nullptr));
    HPDF_Dict_Add(system, "Ordering", HPDF_String_New(mmgr, "Identity", nullptr));
    HPDF_Dict_AddNumber(system, "Supplement", 0);
    HPDF_Dict_AddName(cidFont, "Type", "Font");
    HPDF_Dict_AddName(cidFont, "Subtype", "CIDFontType2");
    HPDF_Dict_AddName(cidFont, "BaseFont", "GlyphLessFont");
    HPDF_Dict_Add(cidFont, "CIDSystemInfo", system);
    HPDF_Dict_Add(cidFont, "FontDescriptor", descriptor);
    HPDF_Dict_AddNumber(cidFont, "DW", kAdvance);
    HPDF_Dict_Add(cidFont, "CIDToGIDMap", toGlyphs_);

    HPDF_Dict_AddName(font, "Type", "Font");
    HPDF_Dict_AddName(font, "Subtype", "Type0");
    HPDF_Dict_AddName(font, "BaseFont", "GlyphLessFont");
    HPDF_Dict_AddName(font, "Encoding", "Identity-H");
    HPDF_Array descendants = HPDF_Array_New(mmgr);
    HPDF_Array_Add(descendants, cidFont);
    HPDF_Dict_Add(font, "DescendantFonts", descendants);
    HPDF_Dict_Add(font, "ToUnicode", toUnicode_);
    if (HPDF_GetError(doc) == HPDF_OK) font_ = font;
}

std::string TextLayer::codes(const std::u32string& text) {
    std::string hex;
    char code[8];
    for (char32_t c : text) {
        auto known = cids_.find(c);
        if (known == cids_.end()) {
            if (byCid_.size() >= 0xFFFE) continue; // two-byte codes: a document holds 65,534 characters
            byCid_ += c;
            known = cids_.emplace(c, unsigned(byCid_.size())).first;
        }
        std::snprintf(code, sizeof(code), "%04X", known->second);
        hex += code;
    }
    return hex;
}

void TextLayer::draw(HPDF_Page page, const ocr::PageText& text, const cv::Rect2d& drawn) {
    if (!valid() || text.size.width <= 0 || text.size.height <= 0) return;
    const char* name = HPDF_Page_GetLocalFontName(page, reinterpret_cast<HPDF_Font>(font_));
    if (!name) return;
    const double sx = drawn.width / text.size.width, sy = drawn.height / text.size.height;
    const auto onPage = [&](cv::Point2f p) {
        return cv::Point2d(drawn.x + p.x * sx, drawn.y + drawn.height - p.y * sy);
    };
    std::string content;
    char operands[160];
    for (const ocr::Line& line : text.lines) {
        const std::u32string letters = codePoints(line.text);
        const cv::Point2d from = onPage(line.baseFrom), to = onPage(line.baseTo);
        const double length = std::hypot(to.x - from.x, to.y - from.y);
        const double size = line.box.height * sy;
        if (letters.empty() || length <= 0 || size <= 0) continue;
        // Runs of wide and narrow letters, each stretched to its share of the
        // line: the letters lie near their pixels, and the runs touch, so that
        // no reader sees a gap where the picture has none.
        double units = 0;
        for (char32_t c : letters) units += wide(c) ? 2 : 1;
        const double c = (to.x - from.x) / length, s = (to.y - from.y) / length;
        const double up = size / kFontSize;
        double along = 0; // of the line, in units
        for (size_t at = 0; at < letters.size();) {
            const bool wideRun = wide(letters[at]);
            size_t end = at;
            while (end < letters.size() && wide(letters[end]) == wideRun) ++end;
            const double share = double(end - at) * (wideRun ? 2 : 1) / units * length;
            const double natural = double(end - at) * kAdvance / 1000.0 * kFontSize;
            const double stretch = share / natural;
            const double x = from.x + c * along / units * length, y = from.y + s * along / units * length;
            std::snprintf(operands, sizeof(operands), "BT 3 Tr /%s %g Tf %.4f %.4f %.4f %.4f %.2f %.2f Tm <", name,
                          double(kFontSize), c * stretch, s * stretch, -s * up, c * up, x, y);
            content += operands;
            content += codes(letters.substr(at, end - at));
            content += "> Tj ET\n";
            along += double(end - at) * (wideRun ? 2 : 1);
            at = end;
        }
    }
    // libharu is in its page-description state here and stays in it: BT ... ET pairs are whole.
    HPDF_Stream_WriteStr(reinterpret_cast<HPDF_PageAttr>(page->attr)->stream, content.c_str());
}

void TextLayer::finish() {
    if (!valid() || (written_ == byCid_.size() && written_ > 0)) return;
    // CID 0 is .notdef; every other CID draws the font's one invisible glyph.
    std::vector<HPDF_BYTE> glyphs((byCid_.size() + 1) * 2, 0);
    for (size_t cid = 1; cid <= byCid_.size(); ++cid) glyphs[cid * 2 + 1] = 1;
    std::string map = "/CIDInit /ProcSet findresource begin\n12 dict begin\nbegincmap\n"
                      "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
                      "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n"
                      "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n";
    char entry[40];
    // At most 100 entries a block, as CMaps are read.
    for (size_t first = 0; first < byCid_.size(); first += 100) {
        const size_t count = std::min<size_t>(100, byCid_.size() - first);
        map += std::to_string(count) + " beginbfchar\n";
        for (size_t i = first; i < first + count; ++i) {
            const char32_t c = byCid_[i];
            if (c < 0x10000)
                std::snprintf(entry, sizeof(entry), "<%04zX> <%04X>\n", i + 1, unsigned(c));
            else // UTF-16's surrogate pair
                std::snprintf(entry, sizeof(entry), "<%04zX> <%04X%04X>\n", i + 1,
                              unsigned(0xD800 + ((c - 0x10000) >> 10)), unsigned(0xDC00 + ((c - 0x10000) & 0x3FF)));
            map += entry;
        }
        map += "endbfchar\n";
    }
    map += "endcmap\nCMapName currentdict /CMap defineresource pop\nend\nend\n";
    HPDF_MemStream_FreeData(toGlyphs_->stream);
    HPDF_MemStream_FreeData(toUnicode_->stream);
    HPDF_Stream_Write(toGlyphs_->stream, glyphs.data(), HPDF_UINT(glyphs.size()));
    HPDF_Stream_WriteStr(toUnicode_->stream, map.c_str());
    written_ = byCid_.size();
}

} // namespace velcap
