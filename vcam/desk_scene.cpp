#include "desk_scene.h"

#include <cmath>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "scene.h"

namespace vcam {

namespace {

constexpr double kPi = 3.141592653589793;

// The desk's surface, R, G, B, before the light falls on it.
cv::Mat desk(const std::string& kind, cv::Size size, std::mt19937& random) {
    cv::Mat surface(size, CV_8UC3);
    if (kind == "dark")
        surface.setTo(cv::Scalar(46, 44, 42));
    else if (kind == "mid")
        surface.setTo(cv::Scalar(128, 124, 118));
    else if (kind == "light")
        surface.setTo(cv::Scalar(204, 198, 188));
    else if (kind == "white")
        surface.setTo(cv::Scalar(234, 234, 230)); // a few levels below the paper
    else if (kind == "wood") {
        // Grain: long streaks along x that wander, in browns of several depths.
        std::uniform_real_distribution<double> phase(0, 2 * kPi);
        const double p1 = phase(random), p2 = phase(random), p3 = phase(random);
        const double unit = size.height / 100.0;
        for (int y = 0; y < size.height; ++y) {
            cv::Vec3b* row = surface.ptr<cv::Vec3b>(y);
            for (int x = 0; x < size.width; ++x) {
                const double wander = 3 * unit * std::sin(x / (40 * unit) + p1) + unit * std::sin(x / (9 * unit) + p2);
                const double g = std::sin((y + wander) / (1.3 * unit) + p3) * 0.5 +
                                 std::sin((y + wander * 0.7) / (0.37 * unit)) * 0.25;
                const double v = 0.85 + 0.15 * g;
                row[x] = cv::Vec3b(cv::saturate_cast<uchar>(168 * v), cv::saturate_cast<uchar>(112 * v),
                                   cv::saturate_cast<uchar>(64 * v));
            }
        }
    } else {
        surface.setTo(cv::Scalar(92, 78, 64));
    }
    return surface;
}

// The homography of a camera turned by degrees about the frame's horizontal
// axis: the far (top) side of the desk comes out smaller.
cv::Mat tilt(cv::Size size, double degrees) {
    const double f = 0.9 * size.width, cx = size.width / 2.0, cy = size.height / 2.0;
    const cv::Matx33d k(f, 0, cx, 0, f, cy, 0, 0, 1);
    const double a = degrees * kPi / 180;
    const cv::Matx33d r(1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a));
    return cv::Mat(k * r * k.inv());
}

// A hand over a corner: palm beside the corner, fingers reaching over it
// towards the page's middle, the arm out to the frame's edge.
void drawHand(cv::Mat& frame, cv::Point2f corner, cv::Point2f centre, double unit) {
    const cv::Scalar skin(214, 170, 140);
    cv::Point2f inward = centre - corner;
    inward /= std::max(1e-3f, float(std::hypot(inward.x, inward.y)));
    const cv::Point2f palm = corner - inward * float(7 * unit);
    const double angle = std::atan2(inward.y, inward.x) * 180 / kPi;
    const cv::Point2f armEnd = palm - inward * float(80 * unit);
    const cv::Point2f across(-inward.y, inward.x);
    std::vector<cv::Point> arm = {palm + across * float(8 * unit), armEnd + across * float(12 * unit),
                                  armEnd - across * float(12 * unit), palm - across * float(8 * unit)};
    cv::fillConvexPoly(frame, arm, skin * 0.9, cv::LINE_AA);
    cv::ellipse(frame, palm, cv::Size(int(12 * unit), int(10 * unit)), angle, 0, 360, skin, cv::FILLED, cv::LINE_AA);
    for (int finger = 0; finger < 4; ++finger) {
        const cv::Point2f base = palm + across * float((finger - 1.5) * 4.2 * unit);
        const cv::Point2f tip = base + inward * float(15 * unit);
        cv::ellipse(frame, (base + tip) * 0.5f, cv::Size(int(9 * unit), int(2 * unit)), angle, 0, 360, skin * 0.97,
                    cv::FILLED, cv::LINE_AA);
    }
}

// A photograph printed on the page: soft coloured blobs in a box in the lower
// half, between the margins, as a picture in a leaflet.
void addPicture(cv::Mat& page, std::mt19937& random) {
    const int w = page.cols, h = page.rows;
    const cv::Rect box(w / 8, int(h * 0.58), w * 3 / 4, h / 6);
    cv::Mat picture(box.size(), CV_8UC3, cv::Scalar(70, 90, 120));
    std::uniform_int_distribution<int> x(0, box.width), y(0, box.height), r(box.height / 6, box.height / 2),
        level(20, 235);
    for (int i = 0; i < 14; ++i)
        cv::circle(picture, {x(random), y(random)}, r(random), cv::Scalar(level(random), level(random), level(random)),
                   cv::FILLED, cv::LINE_AA);
    cv::GaussianBlur(picture, picture, cv::Size(0, 0), box.height / 20.0 + 1);
    picture.copyTo(page(box));
}

// Darkens the frame around a point, softly, by up to depth.
void shade(cv::Mat& frame, cv::Point2f at, float radius, double depth) {
    for (int y = 0; y < frame.rows; ++y) {
        cv::Vec3b* row = frame.ptr<cv::Vec3b>(y);
        for (int x = 0; x < frame.cols; ++x) {
            const double d = std::hypot(x - at.x, y - at.y) / radius;
            if (d > 3) continue;
            const double keep = 1 - depth * std::exp(-d * d);
            for (int c = 0; c < 3; ++c) row[x][c] = cv::saturate_cast<uchar>(row[x][c] * keep);
        }
    }
}

} // namespace

cv::Mat deskSurface(const std::string& kind, cv::Size size, unsigned seed) {
    std::mt19937 random(seed);
    return desk(kind, size, random);
}

DeskScene renderDeskScene(unsigned width, unsigned height, const DeskLook& look) {
    const cv::Size size{int(width), int(height)};
    std::mt19937 random(1009 + look.pose * 7919);
    std::uniform_real_distribution<double> uniform(-1, 1);

    // The page: an A4 sheet turned a little, somewhere near the middle, below the counter strip.
    const double strip = counterStripHeight(height);
    const double available = height - strip;
    const double turn = look.pose == 0 ? 4.0 : 10 * uniform(random);
    const double share = look.pose == 0 ? 0.78 : 0.68 + 0.1 * uniform(random); // of the height below the strip
    const int pageHeight = int(available * share * (look.perspective > 0 ? 0.9 : 1.0));
    const int pageWidth = int(pageHeight / std::sqrt(2.0));
    const cv::Point2f centre(float(width * (0.5 + 0.06 * uniform(random))),
                             float(strip + available * (0.5 + 0.03 * uniform(random))));

    cv::Mat frame = desk(look.desk, size, random);
    cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(pageWidth * 0.5f, pageHeight * 0.5f), -turn, 1.0);
    m.at<double>(0, 2) += centre.x - pageWidth * 0.5;
    m.at<double>(1, 2) += centre.y - pageHeight * 0.5;
    cv::Mat pageToFrame = cv::Mat::eye(3, 3, CV_64F);
    m.copyTo(pageToFrame.rowRange(0, 2));
    if (look.perspective > 0) {
        // The camera turns about the page's middle, which stays where it was.
        cv::Mat h = tilt(size, look.perspective);
        std::vector<cv::Point2f> middle = {centre}, moved;
        cv::perspectiveTransform(middle, moved, h);
        const cv::Mat back =
            (cv::Mat_<double>(3, 3) << 1, 0, centre.x - moved[0].x, 0, 1, centre.y - moved[0].y, 0, 0, 1);
        pageToFrame = back * h * pageToFrame;
    }
    // The desk's own grain is not tilted: it has no straight lines to tell.
    cv::Mat page = renderPage(pageWidth, pageHeight, int(look.pose % 5));
    if (look.pose % 2 == 1) addPicture(page, random);
    cv::warpPerspective(page, frame, pageToFrame, size, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    std::vector<cv::Point2f> corners = {
        {0, 0}, {float(pageWidth), 0}, {float(pageWidth), float(pageHeight)}, {0, float(pageHeight)}};
    cv::perspectiveTransform(corners, corners, pageToFrame);

    if (look.hand) {
        cv::Point2f middle(0, 0);
        for (const auto& c : corners) middle += c * 0.25f;
        drawHand(frame, corners[look.pose % 4], middle, height / 100.0);
    }
    if (look.shadow) {
        // A lamp's arm or a leaning body: a soft shadow over one side of the page and the desk beside it.
        cv::Point2f middle(0, 0);
        for (const auto& c : corners) middle += c * 0.25f;
        const cv::Point2f side = (corners[(look.pose + 1) % 4] + corners[(look.pose + 2) % 4]) * 0.5f;
        shade(frame, side, float(height) * 0.28f, 0.45);
    }
    light(frame);
    // A sensor's noise.
    cv::Mat noise(size, CV_16SC3);
    cv::RNG(77 + look.pose).fill(noise, cv::RNG::NORMAL, 0, 2.0);
    cv::Mat wide;
    frame.convertTo(wide, CV_16SC3);
    wide += noise;
    wide.convertTo(frame, CV_8UC3);
    return {frame, {corners[0], corners[1], corners[2], corners[3]}};
}

} // namespace vcam
