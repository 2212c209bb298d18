#include "book_scene.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <random>

#include <opencv2/freetype.hpp>
#include <opencv2/imgproc.hpp>

#include "desk_scene.h"
#include "scene.h"

namespace vcam {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr const char* kFont = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";

// Words a page is written in: Chinese phrases of an office and English ones.
const char* const kChinese[] = {"营业执照", "身份证明", "合同条款", "签字盖章", "办理业务", "客户信息", "银行账户",
                                "存款凭证", "文件资料", "扫描存档", "申请表格", "联系电话", "登记日期", "审核通过",
                                "工作单位", "家庭住址", "有效期限", "复印件",   "原件",     "备注说明"};
const char* const kEnglish[] = {"account", "balance", "contract", "deposit",  "document", "signature", "office",
                                "record",  "service", "customer", "payment",  "number",   "address",   "period",
                                "review",  "copy",    "branch",   "register", "page",     "total"};

// The text face, loaded once: FreeType's face is not for two threads at once.
std::mutex fontMutex;
cv::Ptr<cv::freetype::FreeType2> font() {
    static cv::Ptr<cv::freetype::FreeType2> face = [] {
        cv::Ptr<cv::freetype::FreeType2> f = cv::freetype::createFreeType2();
        f->loadFontData(kFont, 0);
        return f;
    }();
    return face;
}

// The page's height above the desk at t of its width from the gutter, as a
// share of its width: steep out of the gutter, highest a third across, a
// little lower at the outer edge, where it lies on the pages below.
double lift(double t, double curve) {
    return curve * 0.45 * (1 - std::exp(-t / 0.2)) * (1 - 0.35 * t);
}

// The homography of a camera turned by degrees about the frame's horizontal axis.
cv::Matx33d tilt(cv::Size size, double degrees) {
    const double f = 0.9 * size.width, cx = size.width / 2.0, cy = size.height / 2.0;
    const cv::Matx33d k(f, 0, cx, 0, f, cy, 0, 0, 1);
    const double a = degrees * kPi / 180;
    const cv::Matx33d r(1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a));
    return k * r * k.inv();
}

cv::Point2f apply(const cv::Matx33d& h, cv::Point2f p) {
    const cv::Vec3d q = h * cv::Vec3d(p.x, p.y, 1);
    return {float(q[0] / q[2]), float(q[1] / q[2])};
}

// One page's bent surface seen straight down: where each column of the flat
// page lands across the frame, and how much it is magnified there.
struct Bend {
    std::vector<double> across; // frame x of flat column u (step 1), measured from the gutter outwards
    std::vector<double> scale;  // D / (D - z) at u
};

Bend bend(int pageWidth, double curve, double gutterX, double centreX, double height, int side) {
    Bend b;
    double x = 0, z = 0; // along the desk from the gutter, and up
    for (int u = 0; u <= pageWidth; ++u) {
        if (u > 0) {
            // Paper does not stretch: a step along the page is a step across
            // and up, never steeper than 72 degrees (where the lift is, the
            // paper rises that steeply a little further out).
            const double dz = std::clamp(
                (lift(double(u) / pageWidth, curve) - lift(double(u - 1) / pageWidth, curve)) * pageWidth, -0.95, 0.95);
            z += dz;
            x += std::sqrt(1 - dz * dz);
        }
        const double s = height / (height - z);
        b.across.push_back(centreX + (gutterX + side * x - centreX) * s);
        b.scale.push_back(s);
    }
    return b;
}

} // namespace

cv::Mat renderBookPage(cv::Size size, unsigned seed, std::string& text) {
    cv::Mat page(size, CV_8UC3, cv::Scalar(246, 244, 238));
    std::mt19937 random(4099 + seed * 131);
    std::uniform_int_distribution<int> chinese(0, int(std::size(kChinese)) - 1),
        english(0, int(std::size(kEnglish)) - 1), coin(0, 2);
    const int glyph = std::max(8, size.height / 56), lineStep = glyph * 9 / 5;
    const int left = size.width * 9 / 100, right = size.width - left;
    text.clear();
    std::lock_guard lock(fontMutex);
    const cv::Ptr<cv::freetype::FreeType2> face = font();
    for (int y = size.height * 8 / 100 + glyph; y < size.height * 92 / 100; y += lineStep) {
        std::string line;
        // A short last line now and then, as paragraphs end.
        const int end = coin(random) == 0 && !text.empty() ? left + (right - left) * 2 / 3 : right;
        for (;;) {
            const std::string word = coin(random) == 0 ? kEnglish[english(random)] : kChinese[chinese(random)];
            const std::string longer = line.empty() ? word : line + " " + word;
            int baseline = 0;
            if (left + face->getTextSize(longer, glyph, -1, &baseline).width > end) break;
            line = longer;
        }
        face->putText(page, line, {left, y}, glyph, cv::Scalar(28, 28, 30), -1, cv::LINE_AA, true);
        text += line + "\n";
    }
    return page;
}

BookScene renderBookScene(unsigned width, unsigned height, const BookLook& look) {
    const cv::Size size{int(width), int(height)};
    const double strip = counterStripHeight(height);
    const double available = height - strip;
    const int pageHeight = int(available * 0.80), pageWidth = int(pageHeight / std::sqrt(2.0));
    const cv::Point2f centre(width * 0.5f, float(strip + available * 0.5));
    const double top = centre.y - pageHeight * 0.5;
    const double camera = 1.0 * width; // its height above the desk: an A3 desk seen from 42 cm
    const int pages = look.onePage ? 1 : 2;
    const double gutterX = look.onePage ? centre.x - pageWidth * 0.5 : centre.x;

    BookScene scene;
    for (int p = 0; p < pages; ++p) {
        std::string text;
        scene.flatPages.push_back(renderBookPage({pageWidth, pageHeight}, look.seed * 2 + unsigned(p), text));
        scene.texts.push_back(text);
    }

    // Seen straight down: the cover board, the page block's edges just beyond
    // the bent pages' outer edges, then the pages.
    cv::Mat book(size, CV_8UC3, cv::Scalar(0, 0, 0)), mask(size, CV_8U, cv::Scalar(0));
    const cv::Scalar cover = look.seed % 2 ? cv::Scalar(150, 42, 38) : cv::Scalar(112, 74, 46);
    const double board = 0.025 * pageHeight, block = 0.012 * pageWidth;
    const double rightEdge = bend(pageWidth, look.curve, gutterX, centre.x, camera, 1).across.back() + block;
    const double leftEdge =
        look.onePage ? gutterX : bend(pageWidth, look.curve, gutterX, centre.x, camera, -1).across.back() - block;
    const cv::Rect coverBoard(cv::Point(int(leftEdge - board), int(top - board)),
                              cv::Point(int(rightEdge + board), int(top + pageHeight + board)));
    cv::rectangle(book, coverBoard, cover, cv::FILLED);
    cv::rectangle(mask, coverBoard, 255, cv::FILLED);
    cv::rectangle(book,
                  cv::Rect(cv::Point(int(leftEdge), int(top - board * 0.3)),
                           cv::Point(int(rightEdge), int(top + pageHeight + board * 0.3))),
                  cv::Scalar(206, 200, 188), cv::FILLED);

    cv::Mat mapX(size, CV_32F, cv::Scalar(-1)), mapY(size, CV_32F, cv::Scalar(-1)), shadow(size, CV_32F, 1.0f);
    cv::Mat spread;
    cv::hconcat(scene.flatPages, spread);
    for (int p = 0; p < pages; ++p) {
        const int side = look.onePage || p == 1 ? 1 : -1;
        const Bend b = bend(pageWidth, look.curve, gutterX, centre.x, camera, side);
        // Each frame column's flat column, by the bend's inverse (it only grows outwards).
        const double first = b.across.front(), last = b.across.back();
        const int from = int(std::ceil(std::min(first, last))), to = int(std::floor(std::max(first, last)));
        size_t k = 0;
        const int x0 = std::max(from, 0), x1 = std::min(to, size.width - 1);
        // Outwards from the gutter, so that the flat column only grows.
        for (int i = 0; i <= x1 - x0; ++i) {
            const int x = side > 0 ? x0 + i : x1 - i;
            const double wanted = side * x;
            while (k + 1 < b.across.size() && side * b.across[k + 1] < wanted) ++k;
            if (k + 1 >= b.across.size()) break;
            const double a0 = side * b.across[k], a1 = side * b.across[k + 1];
            const double f = a1 > a0 ? (wanted - a0) / (a1 - a0) : 0;
            const double u = k + std::clamp(f, 0.0, 1.0);
            const double s = b.scale[k] + (b.scale[k + 1] - b.scale[k]) * std::clamp(f, 0.0, 1.0);
            const double column = side > 0 ? (look.onePage ? 0 : pageWidth) + u : pageWidth - u;
            // The gutter's shadow: the page turns away from the light into it.
            const float dark = float(1 - 0.5 * look.curve * std::exp(-u / (0.035 * pageWidth)));
            for (int y = 0; y < size.height; ++y) {
                const double v = (y - centre.y) / s + centre.y - top;
                if (v < 0 || v >= pageHeight - 1) continue;
                mapX.at<float>(y, x) = float(column);
                mapY.at<float>(y, x) = float(v);
                shadow.at<float>(y, x) = dark;
                mask.at<uchar>(y, x) = 255;
            }
        }
    }
    cv::Mat pagesSeen;
    cv::remap(spread, pagesSeen, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0, 0, 0));
    cv::Mat onPage = mapX >= 0;
    pagesSeen.copyTo(book, onPage);
    cv::Mat lit;
    book.convertTo(lit, CV_32FC3);
    cv::Mat shade3;
    cv::merge(std::vector<cv::Mat>{shadow, shadow, shadow}, shade3);
    cv::multiply(lit, shade3, lit);
    lit.convertTo(book, CV_8UC3);

    // Turned on the desk and seen by a tilted camera, about the book's middle.
    const double a = look.turn * kPi / 180;
    const cv::Matx33d toMiddle(1, 0, -centre.x, 0, 1, -centre.y, 0, 0, 1),
        turn(std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1),
        back(1, 0, centre.x, 0, 1, centre.y, 0, 0, 1);
    cv::Matx33d h = back * turn * toMiddle;
    if (look.perspective != 0) {
        const cv::Matx33d t = tilt(size, look.perspective);
        const cv::Point2f moved = apply(t, centre);
        h = cv::Matx33d(1, 0, centre.x - moved.x, 0, 1, centre.y - moved.y, 0, 0, 1) * t * h;
    }
    const cv::Mat desk = deskSurface(look.desk, size, 1009 + look.seed);
    cv::Mat bookSeen, maskSeen;
    cv::warpPerspective(book, bookSeen, cv::Mat(h), size, cv::INTER_LINEAR);
    cv::warpPerspective(mask, maskSeen, cv::Mat(h), size, cv::INTER_LINEAR);
    scene.frame = desk.clone();
    bookSeen.copyTo(scene.frame, maskSeen > 127);

    // Fingers hold the pages open on their outer margins, the hands beyond the book.
    scene.fingers = cv::Mat(size, CV_8U, cv::Scalar(0));
    for (int p = 0; p < pages; ++p) {
        const int side = look.onePage || p == 1 ? 1 : -1;
        const Bend b = bend(pageWidth, look.curve, gutterX, centre.x, camera, side);
        const double y = top + pageHeight * 0.62;
        const double s = b.scale.back();
        const cv::Point2f edge = apply(h, {float(b.across.back()), float(centre.y + (y - centre.y) * s)});
        const cv::Point2f middle = apply(h, {float((gutterX + b.across.back()) / 2), float(centre.y)});
        scene.pageCentres.push_back(middle);
        if (!look.fingers) continue;
        cv::Point2f inward = middle - edge;
        inward.y = 0;
        inward /= std::max(1e-3f, float(std::hypot(inward.x, inward.y)));
        const double unit = pageHeight / 100.0;
        const cv::Scalar skin(214, 168, 138);
        const cv::Point2f tip = edge + inward * float(0.07 * pageWidth), palm = edge - inward * float(9 * unit);
        const double angle = std::atan2(inward.y, inward.x) * 180 / kPi;
        for (cv::Mat* target : {&scene.frame, &scene.fingers}) {
            const cv::Scalar colour = target == &scene.fingers ? cv::Scalar(255) : skin;
            cv::ellipse(*target, (tip + palm) * 0.5f, cv::Size(int(cv::norm(tip - palm) / 2), int(2.4 * unit)), angle,
                        0, 360, colour * (target == &scene.fingers ? 1.0 : 0.97), cv::FILLED, cv::LINE_AA);
            cv::ellipse(*target, palm, cv::Size(int(7 * unit), int(10 * unit)), angle, 0, 360, colour, cv::FILLED,
                        cv::LINE_AA);
            const cv::Point2f wrist = palm - inward * float(30 * unit);
            cv::line(*target, palm, wrist, colour * (target == &scene.fingers ? 1.0 : 0.92), int(12 * unit),
                     cv::LINE_AA);
        }
    }
    scene.fingers = scene.fingers > 0;

    light(scene.frame);
    cv::Mat noise(size, CV_16SC3);
    cv::RNG(91 + look.seed).fill(noise, cv::RNG::NORMAL, 0, 2.0);
    cv::Mat wide;
    scene.frame.convertTo(wide, CV_16SC3);
    wide += noise;
    wide.convertTo(scene.frame, CV_8UC3);
    return scene;
}

} // namespace vcam
