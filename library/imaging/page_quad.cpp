// The page as a quadrilateral. Candidate lines come from the edges of a small
// picture; each is scored along its length by how much brighter one side of
// it is than the other, since paper is brighter than any desk it lies on,
// however little. The best four lines that enclose a bright region make the
// page. Corners hidden under a hand are where the visible sides meet.
#include "page_quad.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "../guard.h"
#include "../log.h"

namespace velcap {

namespace {

constexpr int kWorkWidth = 400;     // the detection's picture is about this wide
constexpr int kMaxHoughLines = 120; // strongest edges looked at
constexpr int kCandidates = 50;     // lines kept for the quadrilaterals
constexpr int kProbe = 2;           // pixels either side of a line compared
constexpr int kBrighter = 3;        // grey levels that make one side brighter
constexpr double kMinAreaShare = 0.06;

struct Line {
    cv::Point2f origin, direction, normal; // origin: the foot of the normal
    float tMin = 0;                        // first sample's position along direction
    std::vector<float> positive, negative; // prefix sums of the side scores, per side
    float strength = 0;
};

// Prefix sums of the per-sample scores: +1 where the given side is brighter
// by kBrighter than anything on the other side within a few pixels, -1 where
// the other is, -0.3 where neither. Looking a few pixels out tells the page's
// border from the edge of a block of text, where paper lies just beyond.
void scoreLine(const cv::Mat& grey, Line& line) {
    const int w = grey.cols, h = grey.rows;
    const float reach = std::hypot(float(w), float(h));
    line.tMin = -reach;
    const int samples = int(2 * reach);
    line.positive.assign(size_t(samples) + 1, 0.f);
    line.negative.assign(size_t(samples) + 1, 0.f);
    auto at = [&](cv::Point2f p, int& value) {
        const int x = int(p.x + 0.5f), y = int(p.y + 0.5f);
        if (x < 0 || y < 0 || x >= w || y >= h) return false;
        value = grey.at<uchar>(y, x);
        return true;
    };
    float bestPositive = 0, bestNegative = 0, runPositive = 0, runNegative = 0;
    // Only the part of the line over the picture can score.
    int first = samples, last = 0;
    for (int i = 0; i < samples; i += 4) {
        const cv::Point2f p = line.origin + line.direction * (line.tMin + float(i));
        if (p.x >= -4 && p.y >= -4 && p.x < float(w) + 4 && p.y < float(h) + 4) first = std::min(first, i), last = i;
    }
    for (int i = 0; i < samples; ++i) {
        if (i < first || i > last) {
            line.positive[size_t(i) + 1] = line.positive[size_t(i)];
            line.negative[size_t(i) + 1] = line.negative[size_t(i)];
            continue;
        }
        const cv::Point2f p = line.origin + line.direction * (line.tMin + float(i));
        float positive = 0, negative = 0;
        int plus[3], minus[3];
        bool inside = true;
        for (int k = 0; k < 3 && inside; ++k)
            inside = at(p + line.normal * float(kProbe + 2 * k), plus[k]) &&
                     at(p - line.normal * float(kProbe + 2 * k), minus[k]);
        if (inside) {
            const int maxPlus = std::max({plus[0], plus[1], plus[2]});
            const int maxMinus = std::max({minus[0], minus[1], minus[2]});
            const bool plusBrighter = plus[0] - maxMinus >= kBrighter;
            const bool minusBrighter = minus[0] - maxPlus >= kBrighter;
            positive = plusBrighter ? 1.f : minusBrighter ? -1.f : -0.3f;
            negative = minusBrighter ? 1.f : plusBrighter ? -1.f : -0.3f;
            runPositive = std::max(0.f, runPositive + positive);
            runNegative = std::max(0.f, runNegative + negative);
            bestPositive = std::max(bestPositive, runPositive);
            bestNegative = std::max(bestNegative, runNegative);
        } else {
            runPositive = runNegative = 0;
        }
        line.positive[size_t(i) + 1] = line.positive[size_t(i)] + positive;
        line.negative[size_t(i) + 1] = line.negative[size_t(i)] + negative;
    }
    line.strength = std::max(bestPositive, bestNegative);
}

// The picture the detection works on: each scale x scale block of the frame
// becomes the mean of the least of the three channels at four of its pixels
// (paper is bright in all three, a wooden or coloured desk and a hand are
// dark in at least one). Reading a few rows of each block keeps the cost of
// an 8-MP frame low.
void smallBrightness(const cv::Mat& rgb, int scale, cv::Mat& out) {
    out.create(rgb.rows / scale, rgb.cols / scale, CV_8UC1);
    const int a = scale / 4, b = scale - 1 - scale / 4; // two rows and columns inside each block
    for (int y = 0; y < out.rows; ++y) {
        const uint8_t* r0 = rgb.ptr<uint8_t>(y * scale + a);
        const uint8_t* r1 = rgb.ptr<uint8_t>(y * scale + b);
        uint8_t* o = out.ptr<uint8_t>(y);
        for (int x = 0; x < out.cols; ++x) {
            const int c0 = (x * scale + a) * 3, c1 = (x * scale + b) * 3;
            auto least = [](const uint8_t* p) { return std::min({p[0], p[1], p[2]}); };
            o[x] = uint8_t((least(r0 + c0) + least(r0 + c1) + least(r1 + c0) + least(r1 + c1) + 2) / 4);
        }
    }
}

// The median of |dx| + |dy| (Sobel) over the picture: the desk's own texture and noise.
int medianGradient(const cv::Mat& gx, const cv::Mat& gy) {
    cv::Mat ax, ay, magnitude;
    cv::convertScaleAbs(gx, ax);
    cv::convertScaleAbs(gy, ay);
    cv::add(ax, ay, magnitude); // saturates at 255
    int histogram[256] = {};
    for (int y = 0; y < magnitude.rows; ++y) {
        const uint8_t* row = magnitude.ptr<uint8_t>(y);
        for (int x = 0; x < magnitude.cols; ++x) ++histogram[row[x]];
    }
    const long half = long(magnitude.total()) / 2;
    long seen = 0;
    for (int v = 0; v < 256; ++v)
        if ((seen += histogram[v]) > half) return v;
    return 255;
}

// Keeps the edge pixels that could lie on the page's border: their bright
// side is brighter than everything within a few pixels on their dark side.
// Edges of text, bars and modules have paper just beyond their dark side.
void keepBorderEdges(const cv::Mat& grey, const cv::Mat& gx, const cv::Mat& gy, cv::Mat& edges) {
    const int w = grey.cols, h = grey.rows;
    auto at = [&](float x, float y) {
        return int(grey.at<uchar>(std::clamp(int(y + 0.5f), 0, h - 1), std::clamp(int(x + 0.5f), 0, w - 1)));
    };
    for (int y = 0; y < h; ++y) {
        uchar* row = edges.ptr<uchar>(y);
        const short* dx = gx.ptr<short>(y);
        const short* dy = gy.ptr<short>(y);
        for (int x = 0; x < w; ++x) {
            if (!row[x]) continue;
            const float length = std::hypot(float(dx[x]), float(dy[x]));
            if (length < 1) {
                row[x] = 0;
                continue;
            }
            const float ux = dx[x] / length, uy = dy[x] / length; // towards the bright side
            const int bright = at(x + kProbe * ux, y + kProbe * uy);
            int dark = 0;
            for (int k = 0; k < 3; ++k)
                dark = std::max(dark, at(x - float(kProbe + 2 * k) * ux, y - float(kProbe + 2 * k) * uy));
            if (bright - dark < kBrighter) row[x] = 0;
        }
    }
}

Line lineOf(float rho, float theta) {
    Line l;
    l.normal = {std::cos(theta), std::sin(theta)};
    l.direction = {-l.normal.y, l.normal.x};
    l.origin = l.normal * rho;
    return l;
}

bool intersect(const Line& a, const Line& b, cv::Point2f& at) {
    const float cross = a.direction.x * b.direction.y - a.direction.y * b.direction.x;
    if (std::fabs(cross) < 1e-3f) return false;
    const cv::Point2f d = b.origin - a.origin;
    const float t = (d.x * b.direction.y - d.y * b.direction.x) / cross;
    at = a.origin + a.direction * t;
    return true;
}

// The score of the side from p to q on a line, with the page on the side of inside.
float sideScore(const Line& line, cv::Point2f p, cv::Point2f q, cv::Point2f inside) {
    const bool positive = (inside - line.origin).dot(line.normal) > 0;
    const std::vector<float>& sums = positive ? line.positive : line.negative;
    float tp = (p - line.origin).dot(line.direction) - line.tMin;
    float tq = (q - line.origin).dot(line.direction) - line.tMin;
    if (tp > tq) std::swap(tp, tq);
    const float last = float(sums.size() - 1);
    const size_t from = size_t(std::clamp(tp, 0.f, last)), to = size_t(std::clamp(tq, 0.f, last));
    return sums[to] - sums[from];
}

constexpr float kCos50 = 0.6428f;

// Whether the corners, in order, make a convex quadrilateral of at least the area.
bool convexWithArea(const std::array<cv::Point2f, 4>& c, float minArea) {
    float twiceArea = 0;
    int positive = 0;
    for (int k = 0; k < 4; ++k) {
        const cv::Point2f a = c[size_t(k)], b = c[size_t((k + 1) % 4)], n = c[size_t((k + 2) % 4)];
        positive += (b - a).cross(n - b) > 0;
        twiceArea += a.cross(b);
    }
    return (positive == 0 || positive == 4) && std::fabs(twiceArea) >= 2 * minArea;
}

float angleBetween(const Line& a, const Line& b) { // 0 to 90 degrees
    const float c = std::fabs(a.direction.dot(b.direction));
    return std::acos(std::min(1.f, c)) * 180.f / float(CV_PI);
}

// Top-left first, then clockwise on screen.
Quad ordered(std::array<cv::Point2f, 4> p) {
    cv::Point2f centre(0, 0);
    for (const auto& c : p) centre += c * 0.25f;
    std::sort(p.begin(), p.end(), [&](const cv::Point2f& a, const cv::Point2f& b) {
        return std::atan2(a.y - centre.y, a.x - centre.x) < std::atan2(b.y - centre.y, b.x - centre.x);
    });
    int first = 0;
    for (int i = 1; i < 4; ++i)
        if (p[size_t(i)].x + p[size_t(i)].y < p[size_t(first)].x + p[size_t(first)].y) first = i;
    Quad out;
    for (int i = 0; i < 4; ++i) out[size_t(i)] = p[size_t((first + i) % 4)];
    return out;
}

// A side refitted to the edge points near it, away from its ends.
void refine(const cv::Mat& edges, cv::Point2f p, cv::Point2f q, Line& line) {
    std::vector<cv::Point2f> points;
    const float length = float(cv::norm(q - p));
    if (length < 8) return;
    const cv::Point2f along = (q - p) / length;
    for (float t = 0.1f * length; t < 0.9f * length; t += 1) {
        const cv::Point2f c = p + along * t;
        for (int o = -2; o <= 2; ++o) {
            const cv::Point2f e = c + line.normal * float(o);
            const int x = int(e.x + 0.5f), y = int(e.y + 0.5f);
            if (x >= 0 && y >= 0 && x < edges.cols && y < edges.rows && edges.at<uchar>(y, x))
                points.emplace_back(float(x), float(y));
        }
    }
    if (points.size() < size_t(0.3f * length)) return;
    cv::Vec4f fit;
    cv::fitLine(points, fit, cv::DIST_HUBER, 0, 0.01, 0.01);
    const cv::Point2f direction(fit[0], fit[1]), point(fit[2], fit[3]);
    if (std::fabs(direction.dot(line.direction)) < 0.995f) return; // not the same side any more
    line.direction = direction;
    line.normal = {-direction.y, direction.x};
    line.origin = point;
}

// The brightness the detection uses, at one pixel of the frame.
int leastChannel(const cv::Mat& rgb, int x, int y) {
    const uint8_t* p = rgb.ptr<uint8_t>(std::clamp(y, 0, rgb.rows - 1)) + 3 * std::clamp(x, 0, rgb.cols - 1);
    return std::min({p[0], p[1], p[2]});
}

// Each side refitted on the frame itself: across the side at points along
// it, the steepest rise towards the inside, to a fraction of a pixel; a line
// through those points. Sides whose points do not agree keep their place.
void refineOnFrame(const cv::Mat& rgb, int scale, std::array<cv::Point2f, 4>& c) {
    std::array<cv::Vec4f, 4> fitted;
    std::array<bool, 4> refitted{};
    const cv::Point2f centre = (c[0] + c[1] + c[2] + c[3]) * 0.25f;
    const int reach = 2 * scale + 2;
    for (int k = 0; k < 4; ++k) {
        const cv::Point2f p = c[size_t((k + 3) % 4)], q = c[size_t(k)];
        const float length = float(cv::norm(q - p));
        if (length < 16) continue;
        const cv::Point2f along = (q - p) / length;
        cv::Point2f inward(-along.y, along.x);
        if ((centre - p).dot(inward) < 0) inward = -inward;
        std::vector<cv::Point2f> points;
        std::vector<int> profile(size_t(2 * reach + 1));
        for (int i = 1; i < 40; ++i) {
            const cv::Point2f at = p + along * (length * (0.08f + 0.84f * float(i) / 40));
            for (int o = -reach; o <= reach; ++o) {
                const cv::Point2f s = at + inward * float(o);
                profile[size_t(o + reach)] = leastChannel(rgb, int(std::lround(s.x)), int(std::lround(s.y)));
            }
            int best = 0, where = -1;
            for (int o = 1; o + 1 < int(profile.size()); ++o) {
                const int rise = profile[size_t(o + 1)] - profile[size_t(o - 1)];
                if (rise > best) best = rise, where = o;
            }
            if (where < 1 || where + 2 >= int(profile.size()) || best < 2 * kBrighter) continue;
            // The peak of the rise, between samples.
            const float left = float(profile[size_t(where)] - profile[size_t(where - 2 < 0 ? 0 : where - 2)]);
            const float right = float(profile[size_t(where + 2)] - profile[size_t(where)]);
            const float middle = float(best);
            const float denominator = left - 2 * middle + right;
            const float shift =
                std::fabs(denominator) > 1e-3f ? std::clamp(0.5f * (left - right) / denominator, -0.5f, 0.5f) : 0;
            points.push_back(at + inward * (float(where - reach) + shift));
        }
        if (points.size() < 12) continue;
        cv::fitLine(points, fitted[size_t(k)], cv::DIST_HUBER, 0, 0.01, 0.01);
        const cv::Point2f direction(fitted[size_t(k)][0], fitted[size_t(k)][1]);
        refitted[size_t(k)] = std::fabs(direction.dot(along)) > 0.999f;
    }
    auto lineOfSide = [&](int k) {
        Line l;
        if (refitted[size_t(k)]) {
            l.direction = {fitted[size_t(k)][0], fitted[size_t(k)][1]};
            l.origin = {fitted[size_t(k)][2], fitted[size_t(k)][3]};
        } else {
            const cv::Point2f p = c[size_t((k + 3) % 4)], q = c[size_t(k)];
            l.direction = (q - p) / float(cv::norm(q - p));
            l.origin = p;
        }
        l.normal = {-l.direction.y, l.direction.x};
        return l;
    };
    std::array<cv::Point2f, 4> refined;
    for (int k = 0; k < 4; ++k)
        if (!intersect(lineOfSide(k), lineOfSide((k + 1) % 4), refined[size_t(k)])) return;
    // A refit that moves a corner far is a refit onto something else.
    for (int k = 0; k < 4; ++k)
        if (cv::norm(refined[size_t(k)] - c[size_t(k)]) > 3.0 * scale) return;
    c = refined;
}

} // namespace

bool findPageQuad(const cv::Mat& rgb, Quad& corners) {
    if (rgb.empty() || rgb.type() != CV_8UC3 || rgb.cols < 64 || rgb.rows < 64) return false;
    const int scale = std::max(1, rgb.cols / kWorkWidth);
    cv::Mat grey, edges;
    smallBrightness(rgb, scale, grey);
    cv::GaussianBlur(grey, grey, cv::Size(5, 5), 1.2);
    // Low thresholds find a page's faint edge on a white desk in shadow; a
    // busy desk (wood grain) raises them with its own gradients.
    cv::Mat gx, gy;
    cv::Sobel(grey, gx, CV_16S, 1, 0);
    cv::Sobel(grey, gy, CV_16S, 0, 1);
    const int low = std::max(6, 3 * medianGradient(gx, gy));
    cv::Canny(gx, gy, edges, low, low * 5 / 2);
    keepBorderEdges(grey, gx, gy, edges);

    const int shorter = std::min(grey.cols, grey.rows);
    std::vector<cv::Vec2f> found;
    cv::HoughLines(edges, found, 1, CV_PI / 180, std::max(20, shorter / 8));
    // The strongest first; near duplicates of a stronger line are dropped.
    std::vector<Line> lines;
    for (const cv::Vec2f& f : found) {
        if (int(lines.size()) >= kMaxHoughLines) break;
        bool duplicate = false;
        for (const Line& l : lines) {
            const Line candidate = lineOf(f[0], f[1]);
            if (angleBetween(l, candidate) < 3 && std::fabs((candidate.origin - l.origin).dot(l.normal)) < 4) {
                duplicate = true;
                break;
            }
        }
        if (!duplicate) lines.push_back(lineOf(f[0], f[1]));
    }
    for (Line& l : lines) scoreLine(grey, l);
    std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.strength > b.strength; });
    while (!lines.empty() && (int(lines.size()) > kCandidates || lines.back().strength < shorter * 0.08f))
        lines.pop_back();
    if (lines.size() < 4) return false;

    // Opposite sides: nearly parallel and well apart.
    struct Pair {
        int a, b;
    };
    std::vector<Pair> pairs;
    for (int i = 0; i < int(lines.size()); ++i)
        for (int j = i + 1; j < int(lines.size()); ++j) {
            const Line &a = lines[size_t(i)], &b = lines[size_t(j)];
            if (angleBetween(a, b) > 30) continue;
            if (std::fabs((b.origin - a.origin).dot(a.normal)) < shorter * 0.15f &&
                std::fabs((a.origin - b.origin).dot(b.normal)) < shorter * 0.15f)
                continue;
            pairs.push_back({i, j});
        }

    const cv::Rect2f allowed(-0.25f * grey.cols, -0.25f * grey.rows, 1.5f * grey.cols, 1.5f * grey.rows);
    const float minArea = float(kMinAreaShare * grey.cols * grey.rows);
    float best = 0;
    std::array<int, 4> bestSides{};
    for (size_t u = 0; u < pairs.size(); ++u)
        for (size_t v = u + 1; v < pairs.size(); ++v) {
            const Pair &p = pairs[u], &q = pairs[v];
            if (p.a == q.a || p.a == q.b || p.b == q.a || p.b == q.b) continue;
            // Sides that meet at 50 degrees or more.
            if (std::fabs(lines[size_t(p.a)].direction.dot(lines[size_t(q.a)].direction)) > kCos50) continue;
            const std::array<int, 4> sides = {p.a, q.a, p.b, q.b}; // around the quadrilateral
            std::array<cv::Point2f, 4> c;
            bool ok = true;
            for (int k = 0; k < 4 && ok; ++k)
                ok = intersect(lines[size_t(sides[size_t(k)])], lines[size_t(sides[size_t((k + 1) % 4)])],
                               c[size_t(k)]) &&
                     allowed.contains(c[size_t(k)]);
            if (!ok) continue;
            if (!convexWithArea(c, minArea)) continue;
            const cv::Point2f centre = (c[0] + c[1] + c[2] + c[3]) * 0.25f;
            // Side k runs from corner k-1 to corner k.
            float score = 0, weakest = 1e9f;
            for (int k = 0; k < 4; ++k) {
                const float s =
                    sideScore(lines[size_t(sides[size_t(k)])], c[size_t((k + 3) % 4)], c[size_t(k)], centre);
                score += s;
                weakest = std::min(weakest, s / std::max(1.f, float(cv::norm(c[size_t(k)] - c[size_t((k + 3) % 4)]))));
            }
            if (weakest < 0.2f) continue; // every side of a page shows over much of its length
            if (score > best) best = score, bestSides = sides;
        }
    if (best <= 0) return false;

    std::array<Line, 4> sides;
    for (int k = 0; k < 4; ++k) sides[size_t(k)] = lines[size_t(bestSides[size_t(k)])];
    std::array<cv::Point2f, 4> c;
    for (int k = 0; k < 4; ++k) intersect(sides[size_t(k)], sides[size_t((k + 1) % 4)], c[size_t(k)]);
    for (int k = 0; k < 4; ++k) refine(edges, c[size_t((k + 3) % 4)], c[size_t(k)], sides[size_t(k)]);
    for (int k = 0; k < 4; ++k)
        if (!intersect(sides[size_t(k)], sides[size_t((k + 1) % 4)], c[size_t(k)])) return false;
    // Back to frame pixels: a small pixel's centre is the middle of its block.
    for (auto& p : c) p = (p + cv::Point2f(0.5f, 0.5f)) * float(scale) - cv::Point2f(0.5f, 0.5f);
    refineOnFrame(rgb, scale, c);
    corners = ordered(c);
    return true;
}

bool QuadTracker::update(bool found, const Quad& detected, double diagonal) {
    if (!found) {
        // A frame or two without the page (a hand passing) keeps it; longer, and it is gone.
        if (++missing_ > 15) reset();
        return tracking_;
    }
    missing_ = 0;
    recent_.push_back(detected);
    if (recent_.size() > 5) recent_.pop_front();
    Quad median;
    for (int k = 0; k < 4; ++k) {
        std::vector<float> xs, ys;
        for (const Quad& q : recent_) xs.push_back(q[size_t(k)].x), ys.push_back(q[size_t(k)].y);
        std::nth_element(xs.begin(), xs.begin() + long(xs.size() / 2), xs.end());
        std::nth_element(ys.begin(), ys.begin() + long(ys.size() / 2), ys.end());
        median[size_t(k)] = {xs[xs.size() / 2], ys[ys.size() / 2]};
    }
    const double deadBand = 0.004 * diagonal;
    bool moved = !tracking_;
    for (int k = 0; k < 4 && !moved; ++k) moved = cv::norm(median[size_t(k)] - published_[size_t(k)]) > deadBand;
    if (moved) published_ = median;
    tracking_ = true;
    return true;
}

void QuadTracker::reset() {
    recent_.clear();
    tracking_ = false;
    missing_ = 0;
}

bool pageQuadStage(const cv::Mat& frame, QuadTracker& tracker) {
    Quad detected;
    const bool found = guarded("DetectPage", false, [&] { return findPageQuad(frame, detected); });
    const bool tracking = tracker.update(found, detected, std::hypot(double(frame.cols), double(frame.rows)));
    if (!tracking) return false;
    for (int k = 0; k < 4; ++k)
        cv::line(frame, tracker.corners()[size_t(k)], tracker.corners()[size_t((k + 1) % 4)], cv::Scalar(0, 255, 0), 6,
                 cv::LINE_8);
    return true;
}

cv::Mat straightenedPage(const cv::Mat& frame, const Quad& c) {
    auto length = [](cv::Point2f a, cv::Point2f b) { return double(cv::norm(a - b)); };
    // The aspect from the mean of opposite sides, the size from the longest of each pair.
    const double top = length(c[0], c[1]), bottom = length(c[3], c[2]);
    const double left = length(c[0], c[3]), right = length(c[1], c[2]);
    const double aspect = (top + bottom) / std::max(1.0, left + right);
    double width = std::max(top, bottom), height = width / aspect;
    if (height < std::max(left, right)) height = std::max(left, right), width = height * aspect;
    const int w = std::max(4, int(width) / 4 * 4), h = std::max(4, int(height) / 4 * 4);
    const cv::Point2f from[4] = {c[0], c[1], c[2], c[3]};
    const cv::Point2f to[4] = {{0, 0}, {float(w), 0}, {float(w), float(h)}, {0, float(h)}};
    cv::Mat page;
    cv::warpPerspective(frame, page, cv::getPerspectiveTransform(from, to), cv::Size(w, h), cv::INTER_LINEAR,
                        cv::BORDER_REPLICATE);
    return page;
}

} // namespace velcap
