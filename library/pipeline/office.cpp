// Pages as offices want them: on paper of a size, at a resolution the file
// records, within a file-size budget, black and white as scanners write it,
// and the copy of an identity card's two sides.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <tiffio.h>
#include <zlib.h>

#include "../files/pdf_document.h"
#include "../files/picture_file.h"
#include "../imaging/book.h"
#include "../imaging/card.h"
#include "../log.h"
#include "../velcap/types.h"
#include "scan.h"
#include "velcap/camera.h"

namespace velcap {

namespace {

constexpr int kLowestQuality = 10;   // below it JPEG pages lose their letters
constexpr double kLeastPdfDpi = 200; // a PDF's pictures are not scaled below it
constexpr int kDefaultPaperDpi = 300;

cv::Size2d paperMm(Paper paper) {
    switch (paper) {
    case Paper::A4:
        return {210, 297};
    case Paper::A5:
        return {148, 210};
    case Paper::Letter:
        return {215.9, 279.4};
    default:
        return {0, 0};
    }
}

// Bytes into path through a temporary file beside it: all or nothing.
Status writeBytes(const std::string& path, const std::vector<uchar>& bytes, const char* caller) {
    if (!replaceable(path, caller)) return Status::NotWritten;
    TemporaryFile temporary(path);
    bool written = false;
    if (temporary.valid()) {
        const int fd = ::open(temporary.path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd >= 0) {
            size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += size_t(n);
            }
            written = done == bytes.size() && ::fsync(fd) == 0;
            written = ::close(fd) == 0 && written;
        }
    }
    if (!written || !temporary.commit()) {
        logError(Category::Office, "%s: %s could not be written: %s\n", caller, path.c_str(),
                 whyNotWritten(path).c_str());
        return Status::NotWritten;
    }
    return Status::Ok;
}

// The resolution in the JFIF header that OpenCV's encoder writes first.
void setJpegDensity(std::vector<uchar>& jpeg, int dpi) {
    if (dpi <= 0 || dpi > 65535 || jpeg.size() < 18 || jpeg[2] != 0xFF || jpeg[3] != 0xE0 ||
        std::memcmp(&jpeg[6], "JFIF", 5) != 0)
        return;
    jpeg[13] = 1; // dots per inch
    jpeg[14] = jpeg[16] = uchar(dpi >> 8);
    jpeg[15] = jpeg[17] = uchar(dpi & 0xFF);
}

void putBigEndian(std::vector<uchar>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uchar(value >> shift));
}

// A pHYs chunk after the PNG's header chunk: the resolution in dots per metre.
void setPngDensity(std::vector<uchar>& png, int dpi) {
    constexpr size_t kAfterHeader = 8 + 4 + 4 + 13 + 4;
    if (dpi <= 0 || png.size() < kAfterHeader || std::memcmp(&png[12], "IHDR", 4) != 0) return;
    const auto perMetre = uint32_t(std::lround(dpi / 0.0254));
    std::vector<uchar> chunk;
    putBigEndian(chunk, 9);
    const size_t typeAt = chunk.size();
    for (char c : {'p', 'H', 'Y', 's'}) chunk.push_back(uchar(c));
    putBigEndian(chunk, perMetre);
    putBigEndian(chunk, perMetre);
    chunk.push_back(1); // metres
    putBigEndian(chunk, uint32_t(crc32(0, chunk.data() + typeAt, uInt(chunk.size() - typeAt))));
    png.insert(png.begin() + long(kAfterHeader), chunk.begin(), chunk.end());
}

// Black and white as the capture's black-and-white mode makes it: 0 or 255.
cv::Mat binarised(const cv::Mat& picture) {
    cv::Mat grey;
    if (picture.channels() == 1)
        grey = picture;
    else
        cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
    // The sensor's grain would become specks, which cost G4 the most bytes.
    cv::Mat smooth, bw;
    cv::medianBlur(grey, smooth, 3);
    cv::adaptiveThreshold(smooth, bw, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, 179, 19);
    return bw;
}

// Rows of bits, 1 for black, each row whole bytes.
std::vector<uchar> packBits(const cv::Mat& bw) {
    const int rowBytes = (bw.cols + 7) / 8;
    std::vector<uchar> bits(size_t(rowBytes) * size_t(bw.rows), 0);
    for (int y = 0; y < bw.rows; ++y) {
        const uchar* row = bw.ptr<uchar>(y);
        uchar* out = bits.data() + size_t(y) * size_t(rowBytes);
        for (int x = 0; x < bw.cols; ++x)
            if (row[x] < 128) out[x / 8] |= uchar(0x80 >> (x % 8));
    }
    return bits;
}

long fileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? long(info.st_size) : -1;
}

// A black-and-white TIFF in CCITT G4, with its resolution, through libtiff;
// one larger than budget (when set) is not put in place.
Status writeG4Tiff(const std::string& path, const cv::Mat& bw, int dpi, long budget) {
    if (!replaceable(path, "TIFF")) return Status::NotWritten;
    TemporaryFile temporary(path);
    if (!temporary.valid()) return Status::NotWritten;
    TIFF* tiff = TIFFOpen(temporary.path().c_str(), "w");
    if (!tiff) return Status::NotWritten;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(bw.cols));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(bw.rows));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(bw.rows));
    if (dpi > 0) {
        TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tiff, TIFFTAG_XRESOLUTION, float(dpi));
        TIFFSetField(tiff, TIFFTAG_YRESOLUTION, float(dpi));
    }
    std::vector<uchar> bits = packBits(bw);
    const tsize_t rowBytes = (bw.cols + 7) / 8;
    bool written = true;
    for (int y = 0; y < bw.rows && written; ++y)
        written = TIFFWriteScanline(tiff, bits.data() + size_t(y) * size_t(rowBytes), uint32_t(y), 0) == 1;
    TIFFClose(tiff);
    if (written && budget > 0 && fileSize(temporary.path()) > budget) {
        logWarning(Category::Office, "%s: %ld bytes do not fit in %ld\n", path.c_str(), fileSize(temporary.path()),
                   budget);
        return Status::NotWritten;
    }
    return written && temporary.commit() ? Status::Ok : Status::NotWritten;
}

// The highest quality in [kLowestQuality, start] whose bytes fit the budget
// (start itself without one); false when even the lowest does not.
template <typename Encode>
bool withinBudget(int start, long budget, Encode encode, std::vector<uchar>& out) {
    out = encode(start);
    if (budget <= 0 || long(out.size()) <= budget) return true;
    int low = kLowestQuality, high = start - 1;
    bool found = false;
    std::vector<uchar> best;
    while (low <= high) {
        const int quality = (low + high) / 2;
        std::vector<uchar> bytes = encode(quality);
        if (long(bytes.size()) <= budget) {
            best = std::move(bytes);
            found = true;
            low = quality + 1;
        } else {
            high = quality - 1;
        }
    }
    if (found) out = std::move(best);
    return found;
}

// A colour picture whose channels agree, as one grey channel: a third of
// the JPEG's colour data saved for a grey page.
cv::Mat greyWhenGrey(const cv::Mat& picture) {
    if (picture.channels() != 3) return picture;
    cv::Mat channels[3], difference;
    cv::split(picture, channels);
    double most = 0, other = 0;
    cv::absdiff(channels[0], channels[1], difference);
    cv::minMaxLoc(difference, nullptr, &most);
    cv::absdiff(channels[1], channels[2], difference);
    cv::minMaxLoc(difference, nullptr, &other);
    if (std::max(most, other) > 2) return picture;
    return channels[1];
}

std::vector<uchar> jpegOf(const cv::Mat& picture, int quality) {
    std::vector<uchar> bytes;
    // Huffman tables of the picture's own: a tenth to a third smaller at the same quality.
    cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, quality, cv::IMWRITE_JPEG_OPTIMIZE, 1});
    return bytes;
}

// The picture on its paper at resolution: true size (at the picture's dpi)
// or fitted, centred, cut by the paper's edge.
cv::Mat onPaper(const cv::Mat& picture, const PageOptions& options, int resolution) {
    const cv::Size2d mm = paperMm(options.paper);
    const cv::Size canvasSize(int(std::lround(mm.width / 25.4 * resolution)),
                              int(std::lround(mm.height / 25.4 * resolution)));
    cv::Mat canvas(canvasSize, picture.type(), cv::Scalar::all(255));
    double scale = 1;
    if (options.fit || options.dpi <= 0)
        scale = std::min(double(canvasSize.width) / picture.cols, double(canvasSize.height) / picture.rows);
    cv::Mat sized = picture;
    if (std::abs(scale - 1) > 1e-9)
        cv::resize(picture, sized, cv::Size(), scale, scale, scale < 1 ? cv::INTER_AREA : cv::INTER_CUBIC);
    const cv::Rect at((canvasSize.width - sized.cols) / 2, (canvasSize.height - sized.rows) / 2, sized.cols,
                      sized.rows);
    const cv::Rect shown = at & cv::Rect(cv::Point(0, 0), canvasSize);
    sized(cv::Rect(shown.tl() - at.tl(), shown.size())).copyTo(canvas(shown));
    return canvas;
}

// One picture into a .jpg, .png, .tif or .bmp file.
Status writeRaster(const std::string& out, const std::string& extension, cv::Mat picture, PageOptions options) {
    if (options.paper != Paper::None) {
        const int resolution = options.dpi > 0 ? options.dpi : kDefaultPaperDpi;
        picture = onPaper(picture, options, resolution);
        options.dpi = resolution;
    }
    picture = options.blackAndWhite ? binarised(picture) : greyWhenGrey(picture);
    const long budget = options.maxBytes;
    std::vector<uchar> bytes;
    if (extension == "jpg" || extension == "jpeg") {
        if (!withinBudget(
                options.jpegQuality, budget, [&](int q) { return jpegOf(picture, q); }, bytes)) {
            logWarning(Category::Office, "%s: does not fit in %ld bytes even at JPEG quality %d\n", out.c_str(), budget,
                       kLowestQuality);
            return Status::NotWritten;
        }
        setJpegDensity(bytes, options.dpi);
    } else if (extension == "png") {
        std::vector<int> parameters;
        if (options.blackAndWhite) parameters = {cv::IMWRITE_PNG_BILEVEL, 1};
        cv::imencode(".png", picture, bytes, parameters);
        setPngDensity(bytes, options.dpi);
    } else if (extension == "bmp") {
        cv::imencode(".bmp", picture, bytes);
    } else if (options.blackAndWhite) {
        if (writeG4Tiff(out, picture, options.dpi, budget) != Status::Ok) {
            logError(Category::Office, "%s: not written\n", out.c_str());
            return Status::NotWritten;
        }
        return Status::Ok;
    } else {
        std::vector<int> parameters;
        if (options.dpi > 0)
            parameters = {cv::IMWRITE_TIFF_RESUNIT, 2,          cv::IMWRITE_TIFF_XDPI, options.dpi,
                          cv::IMWRITE_TIFF_YDPI,    options.dpi};
        cv::imencode(".tif", picture, bytes, parameters);
    }
    if (bytes.empty()) return Status::NotWritten;
    if (budget > 0 && long(bytes.size()) > budget) {
        // Lossless pictures have no quality to give up.
        logWarning(Category::Office, "%s: %zu bytes do not fit in %ld; JPEG fits a budget\n", out.c_str(), bytes.size(),
                   budget);
        return Status::NotWritten;
    }
    return writeBytes(out, bytes, "velcap");
}

struct Placement {
    double pageWidth, pageHeight;
    cv::Rect2d image;
};

// What a PDF page is made of besides its picture: the resolution its file
// records (0 when none) and its text layer, if any.
struct PageExtras {
    double dpi = 0;
    const ocr::PageText* text = nullptr;
};

// Where a picture lies on its PDF page, in points. Without a resolution
// asked for, a picture alone on its page has the one its file records.
Placement placement(const cv::Mat& picture, const PageOptions& options, double ownDpi = 0) {
    const double dpi = options.dpi > 0 ? options.dpi : options.paper == Paper::None ? ownDpi : 0;
    const double pointsPerPixel = dpi > 0 ? 72.0 / dpi : 1.0;
    const cv::Size2d picturePoints(picture.cols * pointsPerPixel, picture.rows * pointsPerPixel);
    if (options.paper == Paper::None) return {picturePoints.width, picturePoints.height, {{0, 0}, picturePoints}};
    const cv::Size2d mm = paperMm(options.paper);
    const cv::Size2d page(mm.width / 25.4 * 72, mm.height / 25.4 * 72);
    cv::Size2d shown = picturePoints;
    if (options.fit || dpi <= 0) {
        const double scale = std::min(page.width / picture.cols, page.height / picture.rows);
        shown = cv::Size2d(picture.cols * scale, picture.rows * scale);
    }
    return {page.width, page.height, {{(page.width - shown.width) / 2, (page.height - shown.height) / 2}, shown}};
}

// The document at one JPEG quality and scale of its pictures, in memory.
std::vector<uchar> pdfOf(const std::vector<cv::Mat>& pictures, const std::vector<PageExtras>& extras,
                         const PageOptions& options, int quality, double scale) {
    PdfDocument document(options.pdfA);
    for (size_t i = 0; i < pictures.size(); ++i) {
        const cv::Mat& picture = pictures[i];
        const Placement at = placement(picture, options, extras[i].dpi);
        cv::Mat sized = picture;
        if (scale < 1) cv::resize(picture, sized, cv::Size(), scale, scale, cv::INTER_AREA);
        const ocr::PageText* text = extras[i].text;
        const Status result = options.blackAndWhite ? document.addBitsPage(packBits(sized), sized.cols, sized.rows,
                                                                           text, at.pageWidth, at.pageHeight, at.image)
                                                    : document.addJpegPage(jpegOf(sized, quality), text, at.pageWidth,
                                                                           at.pageHeight, at.image);
        if (result != Status::Ok) return {};
    }
    return document.bytes();
}

Status writePdf(const std::string& out, std::vector<cv::Mat> pictures, std::vector<PageExtras> extras,
                const PageOptions& options) {
    extras.resize(pictures.size());
    for (cv::Mat& picture : pictures) picture = options.blackAndWhite ? binarised(picture) : greyWhenGrey(picture);
    // The scale down to which the pictures may go: 200 dpi on their pages.
    double leastScale = 1;
    for (size_t i = 0; i < pictures.size(); ++i) {
        const cv::Mat& picture = pictures[i];
        const Placement at = placement(picture, options, extras[i].dpi);
        const double dpi = picture.cols / (at.image.width / 72);
        leastScale = std::min(leastScale, std::max(1.0, dpi) > kLeastPdfDpi ? kLeastPdfDpi / dpi : 1.0);
    }
    std::vector<uchar> bytes;
    for (double scale = 1;; scale = std::max(leastScale, scale * 0.8)) {
        const auto encode = [&](int quality) { return pdfOf(pictures, extras, options, quality, scale); };
        const int start = options.blackAndWhite ? kLowestQuality : options.jpegQuality;
        if (withinBudget(start, options.maxBytes, encode, bytes)) break;
        if (scale <= leastScale) {
            logWarning(Category::Office, "%s: does not fit in %ld bytes, even at JPEG quality %d and %.0f dpi\n",
                       out.c_str(), options.maxBytes, kLowestQuality, kLeastPdfDpi);
            return Status::NotWritten;
        }
    }
    if (bytes.empty()) return Status::NotWritten;
    return writeBytes(out, bytes, "velcap");
}

Status writePictures(const std::vector<cv::Mat>& pictures, const std::string& out, const PageOptions& options,
                     const std::vector<PageExtras>& extras = {}) {
    const std::string extension = lowerExtension(out);
    if (extension == "pdf") return writePdf(out, pictures, extras, options);
    const bool raster = extension == "jpg" || extension == "jpeg" || extension == "png" || extension == "tif" ||
                        extension == "tiff" || extension == "bmp";
    if (!raster || pictures.size() != 1) {
        logWarning(Category::Office, "%s: a .pdf holds many pages; a .jpg, .png, .tif or .bmp one picture\n",
                   out.c_str());
        return Status::BadPath;
    }
    return writeRaster(out, extension, pictures[0], options);
}

bool readAll(const std::vector<std::string>& paths, std::vector<cv::Mat>& pictures) {
    for (const std::string& path : paths) {
        pictures.emplace_back();
        if (readPicture(path.c_str(), cv::IMREAD_COLOR, "velcap", pictures.back()) != Status::Ok) return false;
    }
    return true;
}

} // namespace

namespace {

// Whether a page of this paper at this resolution stays within the pixel
// limit that every reader of the library keeps: the library reads what it writes.
bool pageFits(Paper paper, int dpi, const char* caller) {
    if (dpi < 0) {
        logWarning(Category::Office, "%s: a resolution of %d dpi is not one\n", caller, dpi);
        return false;
    }
    if (paper == Paper::None) return true;
    const cv::Size2d mm = paperMm(paper);
    const double inches2 = mm.width / 25.4 * (mm.height / 25.4);
    if (double(dpi) * dpi * inches2 > double(VELCAP_MAX_PICTURE_PIXELS)) {
        logWarning(Category::Office, "%s: a page of %d dpi would be over %lld pixels; at most %d dpi\n", caller, dpi,
                   static_cast<long long>(VELCAP_MAX_PICTURE_PIXELS), mostDpi(paper));
        return false;
    }
    return true;
}

// The library's errors are statuses: nothing a picture or an option does
// throws past its public functions.
template <typename Work>
Status guardedStatus(const char* caller, const std::string& out, Work&& work) {
    try {
        return work();
    } catch (const std::exception& e) {
        logError(Category::Office, "%s: %s is not written: %s\n", caller, out.c_str(), e.what());
        return Status::NotWritten;
    }
}

} // namespace

bool scanAskable(const ScanSettings& s, std::string& why) {
    if (s.dpi < 75 || s.dpi > 600)
        why = "the resolution is 75 to 600 dpi, not " + std::to_string(s.dpi);
    else if (s.dpi > mostDpi(Paper::A4))
        why = "a page of " + std::to_string(s.dpi) + " dpi would be over the pixel limit; at most " +
              std::to_string(mostDpi(Paper::A4));
    else if (s.colorMode < 0 || s.colorMode > 2)
        why = "the colour mode is 0 to 2";
    else if (s.format != "jpg" && s.format != "png" && s.format != "pdf")
        why = "the format is jpg, png or pdf";
    else if (s.jpegQuality < 1 || s.jpegQuality > 100)
        why = "the JPEG quality is 1 to 100";
    else if (s.x < 0 || s.y < 0 || s.width < 0 || s.height < 0 || s.x >= kPlatenWidth || s.y >= kPlatenHeight)
        why = "the region lies outside the platen";
    else
        return true;
    return false;
}

Status scanPicture(const cv::Mat& picture, const ScanSettings& s, Scan& out) {
    out = {};
    if (std::string why; !scanAskable(s, why)) {
        logWarning(Category::Office, "scan: %s\n", why.c_str());
        return Status::NothingAsked;
    }
    if (picture.empty()) return Status::NotWritten;
    return guardedStatus("scan", "the scan", [&] {
        const auto pixels = [&](int hundredths) { return int(std::lround(double(hundredths) * s.dpi / 300)); };
        const cv::Rect platen(0, 0, pixels(kPlatenWidth), pixels(kPlatenHeight));
        cv::Rect region(pixels(s.x), pixels(s.y), s.width ? pixels(s.width) : platen.width,
                        s.height ? pixels(s.height) : platen.height);
        region &= platen;
        if (region.empty()) return Status::NothingAsked;
        // The picture at its own shape, as large as the platen takes it.
        const double scale = std::min(double(platen.width) / picture.cols, double(platen.height) / picture.rows);
        const cv::Size sized(std::max(1, int(std::lround(picture.cols * scale))),
                             std::max(1, int(std::lround(picture.rows * scale))));
        const cv::Rect shown = region & cv::Rect(cv::Point(0, 0), sized);
        cv::Mat scan(region.size(), CV_8UC3, cv::Scalar::all(255));
        if (!shown.empty()) {
            cv::Mat whole;
            cv::resize(picture, whole, sized, 0, 0, scale < 1 ? cv::INTER_AREA : cv::INTER_CUBIC);
            whole(shown).copyTo(scan(cv::Rect(shown.tl() - region.tl(), shown.size())));
        }
        cv::Mat coded = scan;
        if (s.colorMode == 1) cv::cvtColor(scan, coded, cv::COLOR_BGR2GRAY);
        if (s.colorMode == 2) coded = binarised(scan);
        if (s.format == "jpg") {
            out.bytes = jpegOf(coded, s.jpegQuality);
            setJpegDensity(out.bytes, s.dpi);
        } else if (s.format == "png") {
            std::vector<int> parameters;
            if (s.colorMode == 2) parameters = {cv::IMWRITE_PNG_BILEVEL, 1};
            cv::imencode(".png", coded, out.bytes, parameters);
            setPngDensity(out.bytes, s.dpi);
        } else {
            PageOptions options;
            options.dpi = s.dpi;
            options.blackAndWhite = s.colorMode == 2;
            out.bytes = pdfOf({coded}, {PageExtras{}}, options, s.jpegQuality, 1);
        }
        if (out.bytes.empty()) return Status::NotWritten;
        out.width = coded.cols;
        out.height = coded.rows;
        return Status::Ok;
    });
}

int mostDpi(Paper paper) {
    const cv::Size2d mm = paperMm(paper == Paper::None ? Paper::A4 : paper);
    return int(std::floor(std::sqrt(double(VELCAP_MAX_PICTURE_PIXELS) / (mm.width / 25.4 * (mm.height / 25.4)))));
}

Status writePages(const std::vector<std::string>& pictures, const std::string& out, const PageOptions& options,
                  const std::function<void(int, int)>& progress) {
    if (pictures.empty() || out.empty() || !plainPath(out, "velcap")) return Status::BadPath;
    const int dpi = options.paper != Paper::None && options.dpi <= 0 ? kDefaultPaperDpi : options.dpi;
    if (!pageFits(options.paper, dpi, "velcap")) return Status::NotWritten;
    const bool pdf = lowerExtension(out) == "pdf";
    return guardedStatus("velcap", out, [&] {
        std::vector<cv::Mat> read;
        if (!readAll(pictures, read)) return Status::NotWritten;
        std::vector<ocr::PageText> texts;
        if (std::string why; pdf && !options.ocrLanguages.empty() &&
                             ocr::recogniseFiles(pictures, options.ocrLanguages, texts, progress, &why) != Status::Ok) {
            logWarning(Category::Office, "velcap: %s; %s is not written\n", why.c_str(), out.c_str());
            return Status::NotWritten;
        }
        std::vector<PageExtras> extras(read.size());
        for (size_t i = 0; i < read.size(); ++i) {
            const cv::Point2d own = recordedResolution(pictures[i].c_str());
            extras[i].dpi = std::abs(own.x - own.y) < 0.5 ? own.x : 0; // square pixels only
            extras[i].text = i < texts.size() ? &texts[i] : nullptr;
        }
        return writePictures(read, out, options, extras);
    });
}

Status writeBookPages(const std::vector<std::string>& spreads, const std::string& out, const BookOptions& book,
                      std::vector<std::string>* written, const std::string& languages, bool pdfA) {
    if (written) written->clear();
    const std::string extension = lowerExtension(out);
    if (spreads.empty() || !plainPath(out, "book")) return Status::BadPath;
    const bool pdf = extension == "pdf";
    if (!pdf && extension != "jpg" && extension != "jpeg" && extension != "png" && extension != "tif" &&
        extension != "tiff" && extension != "bmp") {
        logWarning(Category::Office, "book: %s is not a .pdf, .jpg, .png, .tif or .bmp file\n", out.c_str());
        return Status::BadPath;
    }
    if (!languages.empty() && !ocr::available(languages)) return Status::NotWritten;
    return guardedStatus("book", out, [&] {
        // Every spread first: one that holds no book leaves everything unwritten.
        std::vector<cv::Mat> pages;
        for (const std::string& spread : spreads) {
            cv::Mat picture;
            if (readPicture(spread.c_str(), cv::IMREAD_COLOR, "book", picture) != Status::Ok) return Status::NotWritten;
            cv::cvtColor(picture, picture, cv::COLOR_BGR2RGB);
            std::vector<cv::Mat> found = bookPages(picture, book);
            if (found.empty()) {
                logWarning(Category::Office, "book: no book in %s; %s is not written\n", spread.c_str(), out.c_str());
                return Status::NotWritten;
            }
            for (cv::Mat& page : found) {
                cv::cvtColor(page, page, cv::COLOR_RGB2BGR);
                pages.push_back(std::move(page));
            }
        }
        PageOptions options;
        options.pdfA = pdfA;
        if (pdf) {
            std::vector<ocr::PageText> texts(pages.size());
            std::vector<PageExtras> extras(pages.size());
            for (size_t i = 0; i < pages.size() && !languages.empty(); ++i) {
                if (ocr::recognise(pages[i], languages, texts[i]) != Status::Ok) return Status::NotWritten;
                extras[i].text = &texts[i];
            }
            const Status status = writePictures(pages, out, options, extras);
            if (status == Status::Ok && written) written->push_back(out);
            return status;
        }
        // out-001.jpg, out-002.jpg, ...: all or none.
        const std::string stem = out.substr(0, out.size() - extension.size() - 1);
        std::vector<std::string> names;
        for (size_t i = 0; i < pages.size(); ++i) {
            char number[32];
            std::snprintf(number, sizeof(number), "-%03zu.", i + 1);
            names.push_back(stem + number + extension);
            if (writePictures({pages[i]}, names.back(), options) != Status::Ok) {
                names.pop_back();
                for (const std::string& name : names) ::unlink(name.c_str());
                return Status::NotWritten;
            }
        }
        if (written) *written = names;
        return Status::Ok;
    });
}

Status makeIdCardCopy(const std::string& front, const std::string& back, const std::string& out, PageOptions options) {
    const std::string extension = lowerExtension(out);
    if (!plainPath(out, "idcard")) return Status::BadPath;
    if (extension != "pdf" && extension != "jpg" && extension != "jpeg" && extension != "png") {
        logWarning(Category::Office, "idcard: %s is not a .pdf, .jpg or .png file\n", out.c_str());
        return Status::BadPath;
    }
    const int dpi = options.dpi > 0 ? options.dpi : kDefaultPaperDpi;
    if (!pageFits(Paper::A4, dpi, "idcard")) return Status::NotWritten;
    return guardedStatus("idcard", out, [&] {
        std::vector<cv::Mat> sides;
        if (!readAll({front, back}, sides)) return Status::NotWritten;
        const cv::Size2d a4 = paperMm(Paper::A4);
        cv::Mat page(int(std::lround(a4.height / 25.4 * dpi)), int(std::lround(a4.width / 25.4 * dpi)), CV_8UC3,
                     cv::Scalar::all(255));
        for (int side = 0; side < 2; ++side) {
            Quad corners;
            if (!findCard(sides[size_t(side)], corners)) {
                logWarning(Category::Office, "idcard: no card found on %s\n", (side == 0 ? front : back).c_str());
                return Status::NotWritten;
            }
            const cv::Mat card = straightenCard(sides[size_t(side)], corners, dpi);
            // Front in the upper third, back in the lower, centred, as counters copy them.
            const int centreY = page.rows * (side + 1) / 3;
            card.copyTo(page(cv::Rect((page.cols - card.cols) / 2, centreY - card.rows / 2, card.cols, card.rows)));
        }
        options.paper = Paper::None; // the page is A4 already
        options.fit = false;
        options.dpi = dpi;
        return writePictures({page}, out, options);
    });
}

} // namespace velcap
