#include "scene.h"

#include "book_scene.h"
#include "desk_scene.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <tuple>

#include <jpeglib.h>
#include <linux/videodev2.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <qrencode.h>

namespace vcam {

namespace {

constexpr int kJpegQuality = 90;
constexpr unsigned kMcuHeight = 16; // the counter strip is whole MCU rows in 4:2:0 and 4:2:2
constexpr double kPageTiltDegrees = 4.0;

// EAN-13 digit patterns: L, G and R codes, and the parity that the first digit sets.
const char* const kEanL[10] = {"0001101", "0011001", "0010011", "0111101", "0100011",
                               "0110001", "0101111", "0111011", "0110111", "0001011"};
const char* const kEanG[10] = {"0100111", "0110011", "0011011", "0100001", "0011101",
                               "0111001", "0000101", "0010001", "0001001", "0010111"};
const char* const kEanParity[10] = {"LLLLLL", "LLGLGG", "LLGGLG", "LLGGGL", "LGLLGG",
                                    "LGGLLG", "LGGGLL", "LGLGLG", "LGLGGL", "LGGLGL"};

std::string ean13Modules(const std::string& digits) {
    std::string bits = "101";
    const char* parity = kEanParity[digits[0] - '0'];
    for (int i = 1; i <= 6; ++i) {
        int d = digits[i] - '0';
        bits += parity[i - 1] == 'L' ? kEanL[d] : kEanG[d];
    }
    bits += "01010";
    for (int i = 7; i <= 12; ++i) {
        std::string r = kEanL[digits[i] - '0'];
        for (char& c : r) c = c == '0' ? '1' : '0';
        bits += r;
    }
    bits += "101";
    return bits;
}

} // namespace

cv::Mat renderPage(int pageWidth, int pageHeight, int variant) {
    cv::Mat page(pageHeight, pageWidth, CV_8UC3, cv::Scalar(246, 246, 242));
    const double unit = pageWidth / 210.0; // millimetres of an A4 sheet
    std::mt19937 random(7 + unsigned(variant) * 7919);
    // Lines of text-like marks.
    const int left = int(18 * unit), right = pageWidth - int(18 * unit);
    const int lineHeight = std::max(2, int(2.6 * unit));
    for (double y = 20 * unit; y < 150 * unit; y += 6.5 * unit) {
        int x = left;
        while (x < right) {
            int word = int((4 + random() % 18) * unit * 0.8);
            if (x + word > right) break;
            cv::rectangle(page, cv::Rect(x, int(y), word, lineHeight), cv::Scalar(40, 40, 48), cv::FILLED);
            x += word + int(2.2 * unit);
        }
    }

    if (variant > 0) {
        // The page number in large figures, in a clear box among the lines.
        const cv::Rect box(int(135 * unit), int(55 * unit), int(55 * unit), int(55 * unit));
        cv::rectangle(page, box, cv::Scalar(246, 246, 242), cv::FILLED);
        cv::putText(page, std::to_string(variant + 1), cv::Point(box.x + int(8 * unit), box.y + int(46 * unit)),
                    cv::FONT_HERSHEY_DUPLEX, 1.8 * unit, cv::Scalar(30, 30, 90), std::max(2, int(2.5 * unit)),
                    cv::LINE_AA);
    }

    // The QR code, with its quiet zone.
    QRcode* qr = QRcode_encodeString(kSceneQrText, 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!qr) throw std::runtime_error("vcam: QRcode_encodeString failed");
    const int module = std::max(2, int(40 * unit / qr->width));
    const int qrX = left, qrY = int(165 * unit);
    for (int r = 0; r < qr->width; ++r)
        for (int c = 0; c < qr->width; ++c)
            if (qr->data[r * qr->width + c] & 1)
                cv::rectangle(page, cv::Rect(qrX + c * module, qrY + r * module, module, module), cv::Scalar(0, 0, 0),
                              cv::FILLED);
    QRcode_free(qr);

    // The EAN-13 bar code, with guard bars longer than the rest.
    const std::string bits = ean13Modules(kSceneEan13);
    const int bar = std::max(2, int(0.5 * unit));
    const int barX = pageWidth - int(18 * unit) - bar * int(bits.size());
    const int barY = int(170 * unit), barHeight = int(25 * unit);
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] != '1') continue;
        bool guard = i < 3 || (i >= 45 && i < 50) || i >= 92;
        cv::rectangle(page, cv::Rect(barX + int(i) * bar, barY, bar, barHeight + (guard ? bar * 5 : 0)),
                      cv::Scalar(0, 0, 0), cv::FILLED);
    }
    return page;
}

namespace {

struct PageGeometry {
    int pageWidth, pageHeight;
    cv::Mat transform; // page to frame
};

PageGeometry pageGeometry(unsigned width, unsigned height) {
    const double strip = counterStripHeight(height);
    const double available = (height - strip) * 0.80;
    PageGeometry g;
    g.pageHeight = int(std::min(available, width * 0.80 * std::sqrt(2.0)));
    g.pageWidth = int(g.pageHeight / std::sqrt(2.0));
    const cv::Point2f centre(width * 0.5f, float(strip + (height - strip) * 0.5));
    cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(g.pageWidth * 0.5f, g.pageHeight * 0.5f), -kPageTiltDegrees, 1.0);
    m.at<double>(0, 2) += centre.x - g.pageWidth * 0.5;
    m.at<double>(1, 2) += centre.y - g.pageHeight * 0.5;
    g.transform = m;
    return g;
}

// The JPEG without its DHT segments, as cameras send MJPEG: decoders then use the standard tables.
void removeHuffmanTables(std::vector<uint8_t>& jpeg) {
    size_t i = 2;
    while (i + 4 <= jpeg.size() && jpeg[i] == 0xFF && jpeg[i + 1] != 0xDA) {
        const size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (jpeg[i + 1] == 0xC4)
            jpeg.erase(jpeg.begin() + long(i), jpeg.begin() + long(i + 2 + length));
        else
            i += 2 + length;
    }
}

// The entropy-coded segments of a baseline JPEG written by encodeJpeg.
struct JpegLayout {
    size_t entropyStart = 0;
    std::vector<std::pair<size_t, size_t>> segments; // [begin, end) of each restart interval
};

JpegLayout layoutOf(const std::vector<uint8_t>& jpeg) {
    JpegLayout layout;
    size_t i = 2;
    while (i + 4 <= jpeg.size()) {
        if (jpeg[i] != 0xFF) throw std::runtime_error("vcam: bad JPEG marker");
        uint8_t marker = jpeg[i + 1];
        size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (marker == 0xDA) {
            layout.entropyStart = i + 2 + length;
            break;
        }
        i += 2 + length;
    }
    size_t begin = layout.entropyStart;
    for (size_t p = begin; p + 1 < jpeg.size(); ++p) {
        if (jpeg[p] != 0xFF) continue;
        uint8_t next = jpeg[p + 1];
        if ((next >= 0xD0 && next <= 0xD7) || next == 0xD9) {
            layout.segments.emplace_back(begin, p);
            begin = p + 2;
            ++p;
            if (next == 0xD9) break;
        }
    }
    return layout;
}

void drawCounter(cv::Mat& strip, uint64_t counter) {
    char text[32];
    std::snprintf(text, sizeof(text), "%08llu", static_cast<unsigned long long>(counter));
    const double scale = strip.rows / 30.0;
    cv::putText(strip, text, cv::Point(strip.rows / 2, strip.rows * 4 / 5), cv::FONT_HERSHEY_SIMPLEX, scale,
                cv::Scalar(255, 255, 120), std::max(1, strip.rows / 12), cv::LINE_8);
}

} // namespace

std::vector<uint8_t> encodeJpeg(const cv::Mat& rgb, unsigned stripRows, MjpegStyle style) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = unsigned(rgb.cols);
    info.image_height = unsigned(rgb.rows);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, kJpegQuality, TRUE);
    info.comp_info[0].h_samp_factor = 2;
    info.comp_info[0].v_samp_factor = style.sampling422 ? 1 : 2;
    info.comp_info[1].h_samp_factor = info.comp_info[1].v_samp_factor = 1;
    info.comp_info[2].h_samp_factor = info.comp_info[2].v_samp_factor = 1;
    // Restart intervals count MCU rows: 16 pixel rows in 4:2:0, 8 in 4:2:2.
    info.restart_in_rows = int(stripRows / (style.sampling422 ? 8 : 16));
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb.ptr<uint8_t>(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<uint8_t> out(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    if (!style.huffmanTables) removeHuffmanTables(out);
    return out;
}

unsigned counterStripHeight(unsigned height) {
    unsigned rows = std::max(1u, (height / 40 + kMcuHeight - 1) / kMcuHeight);
    return std::min(height, rows * kMcuHeight);
}

std::array<cv::Point2f, 4> scenePageCorners(unsigned width, unsigned height) {
    PageGeometry g = pageGeometry(width, height);
    std::vector<cv::Point2f> corners = {
        {0, 0}, {float(g.pageWidth), 0}, {float(g.pageWidth), float(g.pageHeight)}, {0, float(g.pageHeight)}};
    cv::transform(corners, corners, g.transform);
    return {corners[0], corners[1], corners[2], corners[3]};
}

// The light of the scene: stronger from the top left.
void light(cv::Mat& frame) {
    cv::Mat light(frame.rows, frame.cols, CV_32F);
    for (int y = 0; y < light.rows; ++y) {
        float* row = light.ptr<float>(y);
        for (int x = 0; x < light.cols; ++x)
            row[x] = 1.0f - 0.10f * (float(x) / float(frame.cols) + float(y) / float(frame.rows)) * 0.5f;
    }
    cv::Mat lit;
    frame.convertTo(lit, CV_32FC3);
    cv::Mat light3;
    cv::merge(std::vector<cv::Mat>{light, light, light}, light3);
    cv::multiply(lit, light3, lit);
    lit.convertTo(frame, CV_8UC3);
}

namespace {

// Draws page variant onto frame where the scene puts it, moved across by dx pixels.
void placePage(cv::Mat& frame, int variant, double dx) {
    PageGeometry g = pageGeometry(unsigned(frame.cols), unsigned(frame.rows));
    if (g.pageWidth < 8 || g.pageHeight < 8) return; // frames of a few pixels show only the desk
    cv::Mat m = g.transform.clone();
    m.at<double>(0, 2) += dx;
    cv::warpAffine(renderPage(g.pageWidth, g.pageHeight, variant), frame, m, frame.size(), cv::INTER_LINEAR,
                   cv::BORDER_TRANSPARENT);
}

const cv::Scalar kDesk(92, 78, 64);

} // namespace

namespace {

BookLook bookLookOf(const DeskLook& look, unsigned seed) {
    BookLook book;
    book.onePage = look.book == "page";
    book.curve = look.bookCurve;
    book.fingers = look.fingers;
    book.desk = look.desk;
    book.perspective = look.perspective;
    book.seed = seed;
    return book;
}

} // namespace

cv::Mat renderScene(unsigned width, unsigned height, const std::string& stillImage, int page) {
    cv::Mat frame;
    if (!stillImage.empty()) {
        cv::Mat image = cv::imread(stillImage, cv::IMREAD_COLOR);
        if (image.empty()) throw std::runtime_error("vcam: cannot read scene image " + stillImage);
        cv::cvtColor(image, image, cv::COLOR_BGR2RGB);
        cv::resize(image, frame, cv::Size(int(width), int(height)), 0, 0, cv::INTER_AREA);
        return frame;
    }
    frame.create(int(height), int(width), CV_8UC3);
    frame.setTo(kDesk);
    if (page >= 0) placePage(frame, page, 0);
    light(frame);
    return frame;
}

namespace {

// A hand and arm reaching in from the right, its palm at handX, bobbing with phase.
void drawHand(cv::Mat& frame, double handX, double phase) {
    const int width = frame.cols, height = frame.rows;
    const double unit = height / 100.0;
    const cv::Point palm(int(handX), int(height * (0.55 + 0.05 * std::sin(phase * 12))));
    const cv::Scalar skin(214, 170, 140);
    // The arm reaches from the palm to the frame's right edge.
    std::vector<cv::Point> arm = {{palm.x, palm.y - int(9 * unit)},
                                  {width + int(40 * unit), palm.y - int(14 * unit)},
                                  {width + int(40 * unit), palm.y + int(14 * unit)},
                                  {palm.x, palm.y + int(9 * unit)}};
    cv::fillConvexPoly(frame, arm, skin * 0.9, cv::LINE_AA);
    cv::ellipse(frame, palm, cv::Size(int(14 * unit), int(11 * unit)), 0, 0, 360, skin, cv::FILLED, cv::LINE_AA);
    for (int finger = 0; finger < 4; ++finger)
        cv::ellipse(frame, cv::Point(palm.x - int(17 * unit), palm.y - int((7.5 - 5 * finger) * unit)),
                    cv::Size(int(8 * unit), int(2.2 * unit)), 0, 0, 360, skin, cv::FILLED, cv::LINE_AA);
}

} // namespace

cv::Mat renderPageSwap(unsigned width, unsigned height, int from, int to, double phase) {
    cv::Mat frame(int(height), int(width), CV_8UC3, kDesk);
    const double w = width;
    // The hand comes in from the right, takes the page away to the left, brings
    // the next one in from the left and leaves to the right; it never rests.
    auto smooth = [](double t) { return t * t * (3 - 2 * t); };
    double pageShift = 0;
    int page = from;
    if (phase >= 0.25 && phase < 0.5) {
        pageShift = -smooth((phase - 0.25) / 0.25) * w;
    } else if (phase >= 0.5 && phase < 0.75) {
        page = to;
        pageShift = -(1 - smooth((phase - 0.5) / 0.25)) * w;
    } else if (phase >= 0.75) {
        page = to;
    }
    placePage(frame, page, pageShift);
    light(frame);
    double handX; // the palm's centre; it holds the page while the page moves
    if (phase < 0.25)
        handX = w * (1.15 - 0.65 * smooth(phase / 0.25));
    else if (phase < 0.75)
        handX = w * 0.5 + pageShift;
    else
        handX = w * (0.5 + 0.65 * smooth((phase - 0.75) / 0.25));
    drawHand(frame, handX, phase);
    return frame;
}

void rgbToYuyv(const uint8_t* rgb, uint8_t* yuyv, size_t pixels) {
    // The receiver computes R = 1.164y + 1.596v, G = 1.164y - 0.813v - 0.394u, B = 1.164y + 2.018u.
    const double ky = 1.164 * (1 + 0.813 / 1.596 + 0.394 / 2.018);
    auto clamp = [](double value) { return uint8_t(std::lround(std::min(255.0, std::max(0.0, value)))); };
    for (size_t i = 0; i + 1 < pixels; i += 2, rgb += 6, yuyv += 4) {
        double y[2], u = 0, v = 0;
        for (int k = 0; k < 2; ++k) {
            const double r = rgb[3 * k], gr = rgb[3 * k + 1], b = rgb[3 * k + 2];
            y[k] = (gr + 0.813 * r / 1.596 + 0.394 * b / 2.018) / ky;
            v += (r - 1.164 * y[k]) / 1.596 / 2;
            u += (b - 1.164 * y[k]) / 2.018 / 2;
        }
        yuyv[0] = clamp(y[0] + 16);
        yuyv[1] = clamp(u + 128);
        yuyv[2] = clamp(y[1] + 16);
        yuyv[3] = clamp(v + 128);
    }
}

struct FrameSource::Impl {
    uint32_t fourcc;
    MjpegStyle style;
    unsigned width, height, strip;
    std::vector<uint8_t> full; // the encoded frame (JPEG or YUYV)
    JpegLayout layout;
    std::vector<uint8_t> stripYuyv;
    cv::Mat stripImage;
    std::mutex mutex; // one renderer at a time per source
};

FrameSource::FrameSource(uint32_t fourcc, unsigned width, unsigned height, const std::string& stillImage,
                         MjpegStyle style)
    : FrameSource(fourcc, renderScene(width, height, stillImage), style) {}

FrameSource::FrameSource(uint32_t fourcc, cv::Mat scene, MjpegStyle style)
    : impl_(std::make_unique<Impl>()), scene_(std::move(scene)) {
    Impl& d = *impl_;
    d.fourcc = fourcc;
    d.style = style;
    const unsigned width = unsigned(scene_.cols), height = unsigned(scene_.rows);
    d.width = width;
    d.height = height;
    d.strip = counterStripHeight(height);
    if (fourcc == V4L2_PIX_FMT_MJPEG) {
        d.full = encodeJpeg(scene_, d.strip, style);
        d.layout = layoutOf(d.full);
    } else {
        d.full.resize(size_t(width) * height * 2);
        rgbToYuyv(scene_.data, d.full.data(), size_t(width) * height);
        d.stripYuyv.resize(size_t(width) * d.strip * 2);
    }
}

FrameSource::~FrameSource() = default;

size_t FrameSource::maxBytes() const {
    return impl_->full.size() + impl_->full.size() / 4 + 4096;
}

size_t FrameSource::render(uint64_t counter, uint8_t* out, size_t capacity) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    scene_.rowRange(0, int(d.strip)).copyTo(d.stripImage);
    drawCounter(d.stripImage, counter);
    if (d.fourcc != V4L2_PIX_FMT_MJPEG) {
        size_t bytes = std::min(capacity, d.full.size());
        std::memcpy(out, d.full.data(), bytes);
        size_t stripBytes = std::min(bytes, d.stripYuyv.size());
        rgbToYuyv(d.stripImage.data, d.stripYuyv.data(), size_t(d.width) * d.strip);
        std::memcpy(out, d.stripYuyv.data(), stripBytes);
        return bytes;
    }
    // Replace the strip's restart intervals with those of the freshly encoded strip.
    std::vector<uint8_t> stripJpeg = encodeJpeg(d.stripImage, d.strip, d.style);
    JpegLayout stripLayout = layoutOf(stripJpeg);
    const size_t replaced = std::min(stripLayout.segments.size(), d.layout.segments.size() - 1);
    size_t n = 0;
    auto put = [&](const uint8_t* data, size_t size) {
        size = std::min(size, capacity - n);
        std::memcpy(out + n, data, size);
        n += size;
    };
    put(d.full.data(), d.layout.entropyStart);
    for (size_t i = 0; i < replaced; ++i) {
        const auto& segment = stripLayout.segments[i];
        put(stripJpeg.data() + segment.first, segment.second - segment.first);
        const uint8_t marker[2] = {0xFF, uint8_t(0xD0 + i % 8)};
        put(marker, 2);
    }
    const size_t rest = d.layout.segments[replaced].first;
    put(d.full.data() + rest, d.full.size() - rest);
    return n;
}

bool picturesUnchanged(const std::vector<Control>& controls) {
    for (const Control& c : controls)
        if (c.id >= V4L2_CID_BRIGHTNESS && c.id <= V4L2_CID_GAIN && c.value != c.defaultValue) return false;
    return true;
}

cv::Mat adjustPicture(const cv::Mat& rgb, const std::vector<Control>& controls) {
    auto setting = [&](uint32_t id, double& distance, double& ratio) {
        for (const Control& c : controls)
            if (c.id == id) {
                distance = c.maximum > c.minimum ? double(c.value - c.defaultValue) / (c.maximum - c.minimum) : 0;
                ratio = c.defaultValue != 0 ? double(c.value) / c.defaultValue : 1;
                return c.value != c.defaultValue;
            }
        return false;
    };
    cv::Mat f;
    rgb.convertTo(f, CV_32FC3);
    double d = 0, r = 1;
    if (setting(V4L2_CID_BRIGHTNESS, d, r)) f += cv::Scalar::all(128 * d);
    if (setting(V4L2_CID_CONTRAST, d, r)) f = (f - cv::Scalar::all(128)) * r + cv::Scalar::all(128);
    if (setting(V4L2_CID_SATURATION, d, r)) {
        cv::Mat grey, grey3;
        cv::cvtColor(f, grey, cv::COLOR_RGB2GRAY);
        cv::cvtColor(grey, grey3, cv::COLOR_GRAY2RGB);
        f = grey3 + (f - grey3) * r;
    }
    if (setting(V4L2_CID_HUE, d, r)) {
        cv::Mat hsv, clipped;
        cv::min(cv::max(f, 0), 255, clipped);
        clipped.convertTo(clipped, CV_32FC3, 1 / 255.0);
        cv::cvtColor(clipped, hsv, cv::COLOR_RGB2HSV);
        std::vector<cv::Mat> planes;
        cv::split(hsv, planes);
        planes[0] += 180 * d;
        for (int y = 0; y < planes[0].rows; ++y)
            for (float& h : cv::Mat_<float>(planes[0].row(y))) h = std::fmod(h + 720.0f, 360.0f);
        cv::merge(planes, hsv);
        cv::cvtColor(hsv, f, cv::COLOR_HSV2RGB);
        f *= 255;
    }
    if (setting(V4L2_CID_GAIN, d, r)) f *= 1 + d;
    if (setting(V4L2_CID_GAMMA, d, r) && r > 0) {
        cv::min(cv::max(f, 0), 255, f);
        f /= 255;
        cv::pow(f, 1 / r, f);
        f *= 255;
    }
    cv::Mat out;
    f.convertTo(out, CV_8UC3); // saturating
    return out;
}

std::shared_ptr<FrameSource> frameSource(uint32_t fourcc, unsigned width, unsigned height,
                                         const std::string& stillImage, MjpegStyle style, const DeskLook& look) {
    static std::mutex mutex;
    static std::map<std::tuple<uint32_t, unsigned, unsigned, std::string, MjpegStyle, DeskLook>,
                    std::shared_ptr<FrameSource>>
        cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto& entry = cache[{fourcc, width, height, stillImage, style, look}];
    if (!entry) {
        if (stillImage.empty() && !look.book.empty()) {
            entry = std::make_shared<FrameSource>(
                fourcc, renderBookScene(width, height, bookLookOf(look, look.pose)).frame, style);
        } else if (stillImage.empty() && !look.usual()) {
            entry = std::make_shared<FrameSource>(fourcc, renderDeskScene(width, height, look).frame, style);
        } else {
            entry = std::make_shared<FrameSource>(fourcc, width, height, stillImage, style);
        }
    }
    return entry;
}

} // namespace vcam

namespace vcam {

PageShow::PageShow(uint32_t fourcc, unsigned width, unsigned height, int count, double seconds, MjpegStyle style,
                   const DeskLook& look)
    : fourcc_(fourcc), width_(width), height_(height), count_(std::max(count, 1)), seconds_(seconds), style_(style) {
    for (int page = 0; page < count_; ++page) {
        if (look.book.empty()) {
            pages_.push_back(std::make_unique<FrameSource>(fourcc, renderScene(width, height, {}, page), style));
            continue;
        }
        // Leafing through a book: the next spread of text each time.
        spreads_.push_back(renderBookScene(width, height, bookLookOf(look, look.pose + unsigned(page))).frame);
        pages_.push_back(std::make_unique<FrameSource>(fourcc, spreads_.back(), style));
    }
}

PageShow::~PageShow() = default;

int PageShow::pageAt(double time, int count, double seconds, double* phase) {
    const double period = seconds + kPageSwapSeconds;
    const int index = int(time / period);
    const double within = time - index * period;
    if (index >= count - 1) return count - 1; // the last page stays
    if (within < seconds) return index;
    if (phase) *phase = (within - seconds) / kPageSwapSeconds;
    return -1 - index; // swapping page index for the next
}

size_t PageShow::maxBytes() const {
    // A swap frame is a JPEG of a busier picture than a page; YUYV frames all have one size.
    size_t most = size_t(width_) * height_ * 2;
    for (const auto& page : pages_) most = std::max(most, page->maxBytes());
    return most;
}

size_t PageShow::render(uint64_t frame, double rate, uint8_t* out, size_t capacity) {
    double phase = 0;
    const int page = pageAt(rate > 0 ? double(frame) / rate : 0, count_, seconds_, &phase);
    if (page >= 0) return pages_[size_t(page)]->render(frame, out, capacity);
    const int from = -1 - page;
    cv::Mat picture;
    if (spreads_.empty()) {
        picture = renderPageSwap(width_, height_, from, from + 1, phase);
    } else {
        // The hand comes over the book, turns the page at half time and goes.
        picture = spreads_[size_t(phase < 0.5 ? from : from + 1)].clone();
        const double reach = phase < 0.5 ? phase / 0.5 : (1 - phase) / 0.5;
        drawHand(picture, width_ * (1.15 - 0.75 * reach), phase);
    }
    if (fourcc_ == V4L2_PIX_FMT_MJPEG) {
        const std::vector<uint8_t> jpeg = encodeJpeg(picture, 0, style_);
        const size_t bytes = std::min(capacity, jpeg.size());
        std::memcpy(out, jpeg.data(), bytes);
        return bytes;
    }
    const size_t pixels = std::min(capacity / 2, size_t(width_) * height_);
    rgbToYuyv(picture.data, out, pixels);
    return pixels * 2;
}

} // namespace vcam
