#include "book.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

#include <opencv2/imgproc.hpp>

#include "black_edge.h"

namespace velcap {

namespace {

// The pictures the book is looked for in, and each page's bend measured on.
constexpr int kFindWidth = 1000;
constexpr int kBendHeight = 1000;
// The camera's height above the desk, in widths of its picture: a document
// camera sees an A3 desk (42 cm across) from some 40 cm.
constexpr double kCameraHeight = 1.0;
// The fewest pixels across a page.
constexpr int kLeastPage = 16;

cv::Mat scaled(const cv::Mat& picture, double scale) {
    cv::Mat out;
    cv::resize(picture, out, cv::Size(), scale, scale, cv::INTER_AREA);
    return out;
}

// Paper: bright and nearly grey, brighter than level (0: Otsu's threshold).
// Cover boards, wooden desks and skin are coloured; dark desks are dark.
cv::Mat paperMask(const cv::Mat& rgb, double level = 0) {
    cv::Mat hsv, channels[3], v;
    cv::cvtColor(rgb, hsv, cv::COLOR_RGB2HSV);
    cv::split(hsv, channels);
    if (level <= 0) level = std::max(cv::threshold(channels[2], v, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU), 120.0);
    const cv::Mat mask = (channels[2] > level) & (channels[1] < 60);
    // Text leaves holes; specks of light on the desk are no paper.
    const int close = std::max(3, rgb.cols / 60) | 1, open = std::max(3, rgb.cols / 200) | 1;
    cv::Mat out;
    cv::morphologyEx(mask, out, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_ELLIPSE, {close, close}));
    cv::morphologyEx(out, out, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_ELLIPSE, {open, open}));
    return out;
}

// The level that tells paper from the desk: Otsu's over the picture, or,
// when that takes in most of it (a light desk as grey as paper), Otsu's
// again over what it took in.
double paperLevel(const cv::Mat& rgb) {
    cv::Mat grey, v, hsv, channels[3];
    cv::cvtColor(rgb, hsv, cv::COLOR_RGB2HSV);
    cv::split(hsv, channels);
    const double level = std::max(cv::threshold(channels[2], v, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU), 120.0);
    const cv::Mat bright = (channels[2] > level) & (channels[1] < 60);
    if (cv::countNonZero(bright) < 0.6 * double(bright.total())) return level;
    std::vector<uchar> values;
    for (int y = 0; y < bright.rows; ++y)
        for (int x = 0; x < bright.cols; ++x)
            if (bright.at<uchar>(y, x)) values.push_back(channels[2].at<uchar>(y, x));
    const cv::Mat taken(1, int(values.size()), CV_8U, values.data());
    return std::max(level, cv::threshold(taken, v, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU));
}

// The pages: the largest piece of paper, and pieces beside it as tall (the
// other page, when the gutter's shadow parts them).
cv::Mat pagesOf(const cv::Mat& paper) {
    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(paper, labels, stats, centroids, 8, CV_32S);
    int largest = 0;
    for (int i = 1; i < count; ++i)
        if (!largest || stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA)) largest = i;
    cv::Mat pages = cv::Mat::zeros(paper.size(), CV_8U);
    if (!largest || stats.at<int>(largest, cv::CC_STAT_AREA) < 0.03 * paper.total()) return pages;
    const auto box = [&](int i) {
        return cv::Rect(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                        stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
    };
    const cv::Rect main = box(largest);
    for (int i = 1; i < count; ++i) {
        const cv::Rect b = box(i);
        const int overlap = std::min(b.br().y, main.br().y) - std::max(b.y, main.y);
        const int gap = std::max(b.x - main.br().x, main.x - b.br().x);
        const bool beside = overlap > 0.6 * main.height && gap < 0.05 * paper.cols &&
                            stats.at<int>(i, cv::CC_STAT_AREA) > 0.3 * stats.at<int>(largest, cv::CC_STAT_AREA);
        if (i == largest || beside) pages.setTo(255, labels == i);
    }
    return pages;
}

// The turn that turned() makes, as a homography; none below a fifth of a degree.
cv::Matx33d turnOf(cv::Size size, double degrees) {
    if (std::abs(degrees) < 0.2) return cv::Matx33d::eye();
    const cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(size.width * 0.5f, size.height * 0.5f), degrees, 1.0);
    return cv::Matx33d(m.at<double>(0, 0), m.at<double>(0, 1), m.at<double>(0, 2), m.at<double>(1, 0),
                       m.at<double>(1, 1), m.at<double>(1, 2), 0, 0, 1);
}

cv::Mat turned(const cv::Mat& picture, double degrees, int interpolation) {
    if (std::abs(degrees) < 0.2) return picture;
    cv::Mat out;
    cv::warpPerspective(picture, out, cv::Mat(turnOf(picture.size(), degrees)), picture.size(), interpolation,
                        cv::BORDER_REPLICATE);
    return out;
}

// The column of the gutter: a narrow shadow running down the middle of the
// pages, or, on a flat book, the blank band between two blocks of text.
int gutterOf(const cv::Mat& grey, const cv::Mat& pages, const cv::Rect& paper) {
    const int w = paper.width;
    // Two pages side by side are wider than tall, even narrow folios; a
    // page alone is not, whatever dark line runs down it.
    if (w < 20 || paper.height < 20 || w < 0.95 * paper.height) return -1;
    const int from = paper.x + w * 3 / 10, to = paper.x + w * 7 / 10;
    // The paper's brightness in each column over the middle rows, in bands
    // of rows: the upper quartile, which the ink of a column of text leaves
    // as it is and a shadow darkens.
    const int bands = 6, top = paper.y + paper.height / 8, rows = paper.height * 3 / 4;
    std::vector<std::vector<double>> profile(bands, std::vector<double>(size_t(grey.cols), 0));
    std::vector<uchar> values;
    for (int b = 0; b < bands; ++b) {
        const int y0 = top + rows * b / bands, y1 = top + rows * (b + 1) / bands;
        for (int x = paper.x; x < paper.br().x; ++x) {
            values.clear();
            for (int y = y0; y < y1; ++y)
                if (pages.at<uchar>(y, x) || (x > from && x < to)) values.push_back(grey.at<uchar>(y, x));
            if (values.empty()) continue;
            std::nth_element(values.begin(), values.begin() + long(values.size() * 3 / 4), values.end());
            profile[size_t(b)][size_t(x)] = values[values.size() * 3 / 4];
        }
    }
    std::vector<double> whole(size_t(grey.cols), 0);
    for (int x = paper.x; x < paper.br().x; ++x)
        for (int b = 0; b < bands; ++b) whole[size_t(x)] += profile[size_t(b)][size_t(x)] / bands;
    std::vector<double> smooth = whole;
    for (int x = paper.x + 2; x < paper.br().x - 2; ++x)
        smooth[size_t(x)] = (whole[size_t(x - 2)] + whole[size_t(x - 1)] + whole[size_t(x)] + whole[size_t(x + 1)] +
                             whole[size_t(x + 2)]) /
                            5;
    std::vector<double> levels(smooth.begin() + paper.x, smooth.begin() + paper.br().x);
    std::nth_element(levels.begin(), levels.begin() + long(levels.size() * 4 / 5), levels.end());
    const double paperLevel = levels[levels.size() * 4 / 5];
    const int darkest = int(std::min_element(smooth.begin() + from, smooth.begin() + to) - smooth.begin());
    const double depth = (paperLevel - smooth[size_t(darkest)]) / std::max(1.0, paperLevel);
    if (depth >= 0.08) {
        // A shadow, not a dark picture: narrow, and in most bands of rows.
        int left = darkest, right = darkest;
        const double half = paperLevel - (paperLevel - smooth[size_t(darkest)]) / 2;
        while (left > paper.x && smooth[size_t(left)] < half) --left;
        while (right < paper.br().x - 1 && smooth[size_t(right)] < half) ++right;
        int agreeing = 0;
        const int reach = std::max(2, w * 3 / 100);
        for (const std::vector<double>& band : profile) {
            const auto low = std::min_element(band.begin() + darkest - reach, band.begin() + darkest + reach + 1);
            if ((paperLevel - *low) / paperLevel >= depth / 2) ++agreeing;
        }
        if (right - left < w / 10 && agreeing >= bands - 2) return darkest;
    }
    // A flat spread: wider than tall, with a band free of writing in the middle, text on both sides.
    if (paper.width < 1.15 * paper.height) return -1;
    cv::Mat ink;
    cv::adaptiveThreshold(grey(paper), ink, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY_INV,
                          std::max(3, paper.height / 30) | 1, 15);
    cv::Mat columns;
    cv::reduce(ink(cv::Rect(0, paper.height / 8, paper.width, rows)), columns, 0, cv::REDUCE_AVG, CV_32F);
    int bestStart = -1, bestLength = 0, start = -1;
    for (int x = from - paper.x; x <= to - paper.x; ++x) {
        const bool blank = x < to - paper.x && columns.at<float>(0, x) < 1.0f;
        if (blank && start < 0) start = x;
        if (!blank && start >= 0) {
            if (x - start > bestLength) bestStart = start, bestLength = x - start;
            start = -1;
        }
    }
    if (bestStart < 0 || bestLength < std::max(1, w / 40)) return -1;
    const cv::Scalar leftInk = cv::mean(columns.colRange(0, bestStart)),
                     rightInk = cv::mean(columns.colRange(bestStart + bestLength, columns.cols));
    if (leftInk[0] < 3 || rightInk[0] < 3) return -1;
    return paper.x + bestStart + bestLength / 2;
}

// A curve across a page: a cubic in t = x / width. Higher degrees follow
// a line's turn into the gutter better but wave at its ends.
struct Curve {
    static constexpr int kTerms = 4;
    cv::Vec<double, kTerms> c;
    double at(double x, double width) const {
        const double t = x / width;
        double v = 0;
        for (int j = kTerms - 1; j >= 0; --j) v = v * t + c[j];
        return v;
    }
};

// The least-squares curve through points, twice, the far ones dropped the
// second time; false when too few are left or they scatter.
bool fitCurve(const std::vector<cv::Point2d>& points, double width, double tolerance, Curve& curve) {
    std::vector<cv::Point2d> kept = points;
    for (int pass = 0; pass < 2; ++pass) {
        if (kept.size() < 12) return false;
        cv::Mat a(int(kept.size()), Curve::kTerms, CV_64F), b(int(kept.size()), 1, CV_64F), x;
        for (size_t i = 0; i < kept.size(); ++i) {
            const double t = kept[i].x / width;
            double power = 1;
            for (int j = 0; j < Curve::kTerms; ++j, power *= t) a.at<double>(int(i), j) = power;
            b.at<double>(int(i)) = kept[i].y;
        }
        if (!cv::solve(a, b, x, cv::DECOMP_SVD)) return false;
        for (int j = 0; j < Curve::kTerms; ++j) curve.c[j] = x.at<double>(j);
        std::vector<double> errors;
        for (const cv::Point2d& p : kept) errors.push_back(std::abs(curve.at(p.x, width) - p.y));
        const double rms =
            std::sqrt(std::inner_product(errors.begin(), errors.end(), errors.begin(), 0.0) / double(errors.size()));
        if (pass == 1) return rms < tolerance;
        std::vector<cv::Point2d> closer;
        for (size_t i = 0; i < kept.size(); ++i)
            if (errors[i] <= std::max(2.5 * rms, 1.0)) closer.push_back(kept[i]);
        kept.swap(closer);
    }
    return false;
}

// A line across the page, as photographed: its points and the cubic through them.
struct Traced {
    std::vector<cv::Point2d> points;
    Curve curve;
};

// The page's lines, in its small picture: the middle of each text line, and
// its top and bottom edges where the paper meets what lies beyond.
std::vector<Traced> pageLines(const cv::Mat& small, const cv::Mat& paper) {
    const int w = small.cols, h = small.rows;
    std::vector<Traced> traced;
    cv::Mat grey, ink;
    cv::cvtColor(small, grey, cv::COLOR_RGB2GRAY);
    cv::adaptiveThreshold(grey, ink, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY_INV, std::max(3, h / 40) | 1,
                          12);
    cv::Mat inside;
    // Away from the paper's edges, and from the picture's: the gutter's shadow at the cut is no ink.
    cv::erode(paper, inside, cv::getStructuringElement(cv::MORPH_RECT, {9, 9}), {-1, -1}, 1, cv::BORDER_CONSTANT, 0);
    ink &= inside;
    // Characters smeared along the line into one shape per line. A shape
    // one line high is that line as it is. A taller one is lines bridged
    // by a stroke: cut apart there, its parts are the lines. Only those get
    // cut, as a cut also trims a line's end where it dives steeply into the
    // gutter, and its first characters left would pull it flat.
    cv::Mat smeared, cut;
    cv::morphologyEx(ink, smeared, cv::MORPH_CLOSE,
                     cv::getStructuringElement(cv::MORPH_RECT, {std::max(3, w / 30), 1}));
    cv::morphologyEx(smeared, cut, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, {std::max(3, w / 60), 1}));
    cv::Mat shapes, shapeStats, parts, partStats, centroids;
    const int shapeCount = cv::connectedComponentsWithStats(smeared, shapes, shapeStats, centroids, 8, CV_32S);
    const int partCount = cv::connectedComponentsWithStats(cut, parts, partStats, centroids, 8, CV_32S);
    const int tall = h / 25;
    // Lines numbered shapes first, then parts; each with its bounds.
    std::vector<cv::Vec2i> bounds(static_cast<size_t>(shapeCount + partCount)); // width, height
    for (int i = 1; i < shapeCount; ++i)
        bounds[size_t(i)] = {shapeStats.at<int>(i, cv::CC_STAT_WIDTH), shapeStats.at<int>(i, cv::CC_STAT_HEIGHT)};
    for (int i = 1; i < partCount; ++i)
        bounds[size_t(shapeCount + i)] = {partStats.at<int>(i, cv::CC_STAT_WIDTH),
                                          partStats.at<int>(i, cv::CC_STAT_HEIGHT)};
    std::vector<std::map<int, std::pair<double, int>>> columns(bounds.size());
    for (int y = 0; y < h; ++y) {
        const int* shape = shapes.ptr<int>(y);
        const int* part = parts.ptr<int>(y);
        const uchar* mark = ink.ptr<uchar>(y);
        for (int x = 0; x < w; ++x) {
            if (!mark[x] || !shape[x]) continue;
            const int line = shapeStats.at<int>(shape[x], cv::CC_STAT_HEIGHT) <= tall ? shape[x]
                             : part[x]                                                ? shapeCount + part[x]
                                                                                      : 0;
            if (!line) continue;
            auto& c = columns[size_t(line)][x / 4];
            c.first += y;
            ++c.second;
        }
    }
    for (size_t i = 1; i < bounds.size(); ++i) {
        // A line: long, one line high (two lines run together are taller).
        if (columns[i].empty() || bounds[i][0] < w * 3 / 10 || bounds[i][1] > tall) continue;
        Traced line;
        for (const auto& [column, sum] : columns[i]) line.points.push_back({column * 4.0 + 2, sum.first / sum.second});
        // Loosely: a line's turn into the gutter is more than a cubic follows,
        // and the bend is fitted to its points, not to its cubic.
        if (fitCurve(line.points, w, h / 60.0 + 0.5, line.curve)) traced.push_back(std::move(line));
    }
    // The edges, where the page has them: the first and last paper in each column.
    Traced top, bottom;
    for (int x = 0; x < w; x += 4) {
        int first = -1, last = -1;
        for (int y = 0; y < h; ++y)
            if (paper.at<uchar>(y, x)) {
                if (first < 0) first = y;
                last = y;
            }
        if (first > 1) top.points.push_back({double(x), double(first)});
        if (last >= 0 && last < h - 2) bottom.points.push_back({double(x), double(last)});
    }
    for (Traced* edge : {&top, &bottom})
        // An edge turns into the gutter more sharply than a cubic follows: only its level is asked of it.
        if (edge->points.size() > size_t(w / 16) && fitCurve(edge->points, w, h / 30.0 + 1, edge->curve))
            traced.push_back(std::move(*edge));
    return traced;
}

// How the page is bent, as the camera sees it: a point of the flat page at
// row y of the flattest column lies at row y + a(x) + b(x) y of column x. A
// surface that rises towards the camera magnifies (b) and shifts (a) what
// is on it. Both are piecewise linear across the page, on knots close
// enough to follow the steep rise out of the gutter, kept smooth where no
// line tells, and fitted to every line at once.
struct Bent {
    static constexpr int kKnots = 33;
    std::vector<double> knots; // increasing, of x / width, from 0 to 1
    std::vector<double> a, b;  // at each knot
    // The lines' extent across the page: beyond it the bend is held, not
    // carried on (a steep rise carried on would sink the page's edge).
    double from = 0, to = 1;
    bool valid = false;
    static std::vector<double> even() {
        std::vector<double> knots;
        for (int j = 0; j < kKnots; ++j) knots.push_back(double(j) / (kKnots - 1));
        return knots;
    }
    // The knot interval holding t, and how far along it t lies.
    std::pair<int, double> place(double t) const {
        const int last = int(knots.size()) - 2;
        const int j = std::clamp(int(std::upper_bound(knots.begin(), knots.end(), t) - knots.begin()) - 1, 0, last);
        const double f = (t - knots[size_t(j)]) / (knots[size_t(j) + 1] - knots[size_t(j)]);
        return {j, std::clamp(f, 0.0, 1.0)};
    }
    double at(const std::vector<double>& v, double t) const {
        const auto [j, f] = place(std::clamp(t, from, to));
        return v[size_t(j)] + f * (v[size_t(j) + 1] - v[size_t(j)]);
    }
};

// Where the camera looks from: its centre column in the page's pixels and
// its height above the desk, assumed from the frame's width.
struct Camera {
    double centre = 0, height = 0;
};

// The paper's length from the page's left edge at each of its columns (0 to
// width), in the flattest column's scale, as the rows are; empty when the
// bend is no surface a camera above sees so. The magnification tells the
// surface's height: the lowest of the page (its least magnification, in the
// gutter) is taken to lie at the desk, where a point at height z is seen
// magnified m = camera / (camera - z), away from the camera's centre.
// Undone, a column is a point across the desk and up; the paper runs from
// point to point.
std::vector<double> lengthAcross(const Bent& bent, int width, Camera camera) {
    double lowest = 1;
    for (int x = 0; x <= width; ++x) lowest = std::min(lowest, 1 + bent.at(bent.b, double(x) / width));
    if (!(lowest > 0.5)) return {};
    auto onDesk = [&](int x) {
        const double m = (1 + bent.at(bent.b, double(x) / width)) / lowest;
        return cv::Point2d(camera.centre + (x - camera.centre) / m, camera.height * (1 - 1 / m));
    };
    std::vector<double> along(size_t(width) + 1, 0);
    cv::Point2d before = onDesk(0);
    for (int x = 1; x <= width; ++x) {
        const cv::Point2d now = onDesk(x);
        // Paper seen at more than 75 degrees shows nothing to read: a steeper step is a bend misread.
        along[size_t(x)] = along[size_t(x - 1)] + std::min(cv::norm(now - before), 4.0) / lowest;
        before = now;
    }
    // A page more than twice as long as it looks is no page that opens flat.
    if (!(along.back() <= 2.0 * width)) return {};
    return along;
}

Bent bendOf(const std::vector<Traced>& lines, int width, int height, double smoothness, std::vector<double> knots) {
    Bent bent;
    bent.knots = std::move(knots);
    if (lines.size() < 3) return bent;
    const double w = width;
    // The flattest column: where the lines slope least, together.
    int flattest = 0;
    double least = 1e300;
    for (int x = 1; x < width - 1; x += 2) {
        double slope = 0;
        for (const Traced& l : lines) slope += std::abs(l.curve.at(x + 1, w) - l.curve.at(x - 1, w));
        if (slope < least) least = slope, flattest = x;
    }
    struct Sample {
        double t, level, offset;
    };
    std::vector<Sample> samples;
    for (const Traced& l : lines) {
        // Its own points there, where it has some; its cubic otherwise.
        std::vector<double> near;
        for (const cv::Point2d& p : l.points)
            if (std::abs(p.x - flattest) < 0.03 * w) near.push_back(p.y);
        std::nth_element(near.begin(), near.begin() + long(near.size() / 2), near.end());
        const double level = near.size() >= 3 ? near[near.size() / 2] : l.curve.at(flattest, w);
        for (const cv::Point2d& p : l.points) samples.push_back({p.x / w, level / height, (p.y - level) / height});
    }
    const int k = int(bent.knots.size()), unknowns = 2 * k;
    std::vector<bool> kept(samples.size(), true);
    cv::Mat x;
    for (int pass = 0; pass < 3; ++pass) {
        std::vector<int> rows;
        for (size_t i = 0; i < samples.size(); ++i)
            if (kept[i]) rows.push_back(int(i));
        if (rows.size() < 40) return bent;
        // The samples, then the smoothness: second differences of a and of b held near zero.
        const int smooth = 2 * (k - 2);
        cv::Mat m = cv::Mat::zeros(int(rows.size()) + smooth, unknowns, CV_64F), r = cv::Mat::zeros(m.rows, 1, CV_64F);
        for (int i = 0; i < int(rows.size()); ++i) {
            const Sample& s = samples[size_t(rows[size_t(i)])];
            const auto [j, f] = bent.place(s.t);
            m.at<double>(i, j) = 1 - f;
            m.at<double>(i, j + 1) = f;
            m.at<double>(i, k + j) = (1 - f) * s.level;
            m.at<double>(i, k + j + 1) = f * s.level;
            r.at<double>(i) = s.offset;
        }
        const double weight = smoothness * std::sqrt(double(rows.size()) / k);
        for (int j = 1; j < k - 1; ++j)
            for (int part = 0; part < 2; ++part) {
                const int row = int(rows.size()) + part * (k - 2) + j - 1, base = part * k;
                m.at<double>(row, base + j - 1) = weight;
                m.at<double>(row, base + j) = -2 * weight;
                m.at<double>(row, base + j + 1) = weight;
            }
        if (!cv::solve(m, r, x, cv::DECOMP_SVD)) return bent;
        const cv::Mat residual = m.rowRange(0, int(rows.size())) * x - r.rowRange(0, int(rows.size()));
        double sum = 0;
        for (int i = 0; i < residual.rows; ++i) sum += residual.at<double>(i) * residual.at<double>(i);
        const double rms = std::sqrt(sum / residual.rows);
        for (int i = 0; i < residual.rows; ++i)
            if (std::abs(residual.at<double>(i)) > std::max(3 * rms, 0.5 / height))
                kept[size_t(rows[size_t(i)])] = false;
    }
    bent.from = 1, bent.to = 0;
    for (size_t i = 0; i < samples.size(); ++i)
        if (kept[i]) bent.from = std::min(bent.from, samples[i].t), bent.to = std::max(bent.to, samples[i].t);
    for (int j = 0; j < k; ++j) {
        bent.a.push_back(x.at<double>(j) * height);
        bent.b.push_back(x.at<double>(k + j));
    }
    bent.valid = true;
    return bent;
}

// The page's bend, followed closely where it is there. A page that lies
// flat gets none: a close fit would follow the noise of its lines, and
// bend it. The close fit is made twice, the second time on knots spread
// evenly along the paper, not across the picture: closer together where
// it rises steeply out of the gutter, which the picture shows narrow.
Bent pageBend(const std::vector<Traced>& lines, int width, int height, Camera camera) {
    const Bent stiff = bendOf(lines, width, height, 0.5, Bent::even());
    if (!stiff.valid) return stiff;
    double most = 0;
    for (int j = 0; j < Bent::kKnots; ++j)
        most =
            std::max({most, std::abs(stiff.a[size_t(j)]), std::abs(stiff.a[size_t(j)] + stiff.b[size_t(j)] * height)});
    if (most < 0.004 * height) return {};
    const Bent close = bendOf(lines, width, height, 0.05, Bent::even());
    const std::vector<double> along = close.valid ? lengthAcross(close, width, camera) : std::vector<double>();
    if (along.empty()) return close;
    std::vector<double> knots{0};
    size_t x = 0;
    for (int j = 1; j < Bent::kKnots - 1; ++j) {
        const double wanted = along.back() * j / (Bent::kKnots - 1);
        while (along[x + 1] < wanted) ++x;
        knots.push_back(std::max(knots.back() + 0.25 / Bent::kKnots, double(x + 1) / width));
    }
    knots.push_back(1);
    if (knots[knots.size() - 2] >= 1) return close;
    const Bent closer = bendOf(lines, width, height, 0.05, std::move(knots));
    return closer.valid ? closer : close;
}

// The page with its bend undone: rows straightened by the bend, and columns
// spread where the paper rises steeply out of the gutter, by the height
// change that the magnification tells. It is taken from the photograph
// itself, fromPage leading from the page's pixels to the photograph's, so
// that the picture is resampled once; empty when the page is best left as
// photographed.
cv::Mat straightened(const cv::Mat& photograph, const cv::Matx33d& fromPage, cv::Size page, const Bent& bent,
                     double scale, Camera camera) {
    if (!bent.valid) return {};
    const int width = page.width, height = page.height;
    const std::vector<double> along = lengthAcross(bent, width, camera);
    if (along.empty()) return {};
    const int outWidth = int(std::lround(along.back()));
    cv::Mat mapX(height, outWidth, CV_32F), mapY(height, outWidth, CV_32F);
    size_t k = 0;
    std::vector<double> source(static_cast<size_t>(outWidth));
    for (int X = 0; X < outWidth; ++X) {
        while (k + 1 < along.size() - 1 && along[k + 1] < X) ++k;
        const double f = (X - along[k]) / std::max(1e-9, along[k + 1] - along[k]);
        source[size_t(X)] = double(k) + std::clamp(f, 0.0, 1.0);
    }
    const cv::Matx33d& h = fromPage;
    for (int X = 0; X < outWidth; ++X) {
        const double x = source[size_t(X)], t = x / width;
        const double a = bent.at(bent.a, t) / scale, b = bent.at(bent.b, t);
        for (int Y = 0; Y < height; ++Y) {
            const double y = Y + a + b * Y, w = h(2, 0) * x + h(2, 1) * y + h(2, 2);
            mapX.at<float>(Y, X) = float((h(0, 0) * x + h(0, 1) * y + h(0, 2)) / w);
            mapY.at<float>(Y, X) = float((h(1, 0) * x + h(1, 1) * y + h(1, 2)) / w);
        }
    }
    cv::Mat out;
    // Cubic: the steep gutter's text is spread to thrice its width, and stays sharp enough to read.
    cv::remap(photograph, out, mapX, mapY, cv::INTER_CUBIC, cv::BORDER_REPLICATE);
    return out;
}

// Skin on the page: fingers holding it open, painted over with the paper
// around them. Skin off the page (a hand, a wooden desk, a red cover) stays.
void paintFingers(cv::Mat& page, const cv::Mat& paperSmall, double scale) {
    cv::Mat small = scaled(page, scale), ycrcb, channels[3];
    cv::cvtColor(small, ycrcb, cv::COLOR_RGB2YCrCb);
    cv::split(ycrcb, channels);
    cv::Mat skin =
        (channels[0] > 60) & (channels[1] > 136) & (channels[1] < 180) & (channels[2] > 75) & (channels[2] < 130);
    // The page's own area: the paper's outline, filled.
    std::vector<std::vector<cv::Point>> outlines;
    cv::findContours(paperSmall.clone(), outlines, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    if (outlines.empty()) return;
    const auto largest = std::max_element(outlines.begin(), outlines.end(), [](const auto& a, const auto& b) {
        return cv::contourArea(a) < cv::contourArea(b);
    });
    std::vector<cv::Point> hull;
    cv::convexHull(*largest, hull);
    cv::Mat onPage = cv::Mat::zeros(small.size(), CV_8U);
    cv::fillConvexPoly(onPage, hull, 255);
    skin &= onPage;
    if (cv::countNonZero(skin) == 0) return;
    // The finger's soft rim too.
    cv::dilate(skin, skin, cv::getStructuringElement(cv::MORPH_ELLIPSE, {7, 7}));
    skin &= onPage;
    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(skin, labels, stats, centroids, 8, CV_32S);
    cv::Mat full;
    for (int i = 1; i < count; ++i) {
        const cv::Mat finger = labels == i;
        cv::Mat ring;
        cv::dilate(finger, ring, cv::getStructuringElement(cv::MORPH_ELLIPSE, {15, 15}));
        ring &= ~skin & paperSmall;
        if (cv::countNonZero(ring) < 10) continue;
        const cv::Scalar paperColour = cv::mean(small, ring);
        cv::resize(finger, full, page.size(), 0, 0, cv::INTER_LINEAR);
        page.setTo(paperColour, full > 0);
    }
}

// The page cut to its paper: rows and columns mostly paper, less a thin margin.
cv::Mat cutToPaper(const cv::Mat& page, double scale, double level) {
    const cv::Mat small = scaled(page, scale);
    const cv::Mat paper = paperMask(small, level);
    cv::Mat rows, columns;
    cv::reduce(paper, rows, 1, cv::REDUCE_AVG, CV_32F);
    cv::reduce(paper, columns, 0, cv::REDUCE_AVG, CV_32F);
    const auto span = [](const cv::Mat& share, int n, int& first, int& last) {
        first = -1, last = -1;
        for (int i = 0; i < n; ++i)
            if (share.at<float>(i) > 0.8f * 255) {
                if (first < 0) first = i;
                last = i;
            }
    };
    int top, bottom, left, right;
    span(rows, rows.rows, top, bottom);
    span(columns, columns.cols, left, right);
    if (top < 0 || left < 0 || bottom - top < small.rows / 4 || right - left < small.cols / 4) return page;
    const cv::Rect cut(int(left / scale), int(top / scale), int((right - left + 1) / scale),
                       int((bottom - top + 1) / scale));
    return page(cut & cv::Rect(0, 0, page.cols, page.rows)).clone();
}

// How a camera that leans towards or away from the user shows the book:
// the pages' sides, upright on the desk, run together towards a point
// above or below the picture. What comes back is the turn about the
// picture's horizontal axis that stands them upright again, in radians;
// 0 when they already stand parallel.
double leanOf(const cv::Mat& upright, const BookLayout& layout) {
    const double scale = std::min(1.0, double(kFindWidth) / upright.cols);
    const cv::Mat pages = pagesOf(paperMask(scaled(upright, scale), layout.level));
    const cv::Rect paper(int(layout.paper.x * scale), int(layout.paper.y * scale), int(layout.paper.width * scale),
                         int(layout.paper.height * scale));
    const double cx = pages.cols / 2.0, cy = pages.rows / 2.0;
    // Each side's first paper in each row, away from the corners (where the pages curl).
    std::vector<cv::Point2f> left, right;
    for (int y = paper.y + paper.height / 8; y < paper.br().y - paper.height / 8; ++y) {
        const uchar* row = pages.ptr<uchar>(y);
        int first = -1, last = -1;
        for (int x = 0; x < pages.cols; ++x)
            if (row[x]) {
                if (first < 0) first = x;
                last = x;
            }
        if (first < 0 || last - first < paper.width / 2) continue;
        left.push_back({float(y - cy), float(first - cx)});
        right.push_back({float(y - cy), float(last - cx)});
    }
    if (left.size() < 20) return 0;
    // Robustly: a hand over a side moves it in along a part of it.
    cv::Vec4f l, r;
    cv::fitLine(left, l, cv::DIST_HUBER, 0, 0.01, 0.01);
    cv::fitLine(right, r, cv::DIST_HUBER, 0, 0.01, 0.01);
    if (std::abs(l[0]) < 0.9 || std::abs(r[0]) < 0.9) return 0; // no side runs up and down
    const double leftSlope = l[1] / l[0], rightSlope = r[1] / r[0];
    const double leftAt = l[3] - l[2] * leftSlope, rightAt = r[3] - r[2] * rightSlope; // at the middle row
    if (rightAt - leftAt < paper.width / 2.0) return 0;
    // Sides that converge less than this stand parallel within what the mask tells.
    const double convergence =
        (rightSlope - leftSlope) / (rightAt - leftAt); // per row, 1 / distance to where they meet
    if (std::abs(convergence * paper.height) < 0.005) return 0;
    const double lean = std::atan(convergence * kCameraHeight * pages.cols);
    // Beyond this the camera sees the desk more from the side than from above: the sides are misread.
    return std::abs(lean) < 0.5 ? lean : 0;
}

// What makes the picture one that a camera looking straight down would have
// taken: a turn back by lean about its horizontal axis, its middle kept.
cv::Matx33d unleaning(cv::Size size, double lean) {
    const double f = kCameraHeight * size.width, cx = size.width / 2.0, cy = size.height / 2.0;
    const cv::Matx33d k(f, 0, cx, 0, f, cy, 0, 0, 1);
    const cv::Matx33d turn(1, 0, 0, 0, std::cos(lean), -std::sin(lean), 0, std::sin(lean), std::cos(lean));
    const cv::Matx33d h = k * turn * k.inv();
    const cv::Vec3d middle = h * cv::Vec3d(cx, cy, 1);
    return cv::Matx33d(1, 0, cx - middle[0] / middle[2], 0, 1, cy - middle[1] / middle[2], 0, 0, 1) * h;
}

} // namespace

BookLayout findBook(const cv::Mat& rgb) {
    BookLayout layout;
    if (rgb.empty() || rgb.type() != CV_8UC3) return layout;
    const double scale = std::min(1.0, double(kFindWidth) / rgb.cols);
    if (rgb.rows * scale < kLeastPage || rgb.cols * scale < kLeastPage) return layout;
    const cv::Mat small = scaled(rgb, scale);
    layout.level = paperLevel(small);
    cv::Mat pages = pagesOf(paperMask(small, layout.level));
    std::vector<cv::Point> points;
    cv::findNonZero(pages, points);
    if (points.empty()) return layout;
    // Upright: the turn of the pages' rectangle that leaves its bounds tightest.
    const cv::RotatedRect box = cv::minAreaRect(points);
    double tilt = std::fmod(box.angle, 90.0);
    if (tilt > 45) tilt -= 90;
    double best = 1e300;
    for (double angle : {tilt, -tilt}) {
        const cv::Mat upright = turned(pages, angle, cv::INTER_NEAREST);
        const double area = cv::boundingRect(upright).area();
        if (area < best) best = area, layout.angle = angle;
    }
    const cv::Mat upright = turned(pages, layout.angle, cv::INTER_NEAREST);
    cv::Mat grey;
    cv::cvtColor(turned(small, layout.angle, cv::INTER_LINEAR), grey, cv::COLOR_RGB2GRAY);
    const cv::Rect paper = cv::boundingRect(upright);
    const int gutter = gutterOf(grey, upright, paper);
    layout.found = true;
    layout.paper =
        cv::Rect(int(paper.x / scale), int(paper.y / scale), int(paper.width / scale), int(paper.height / scale)) &
        cv::Rect(0, 0, rgb.cols, rgb.rows);
    layout.gutter = gutter < 0 ? -1 : int(gutter / scale);
    return layout;
}

std::vector<cv::Mat> bookPages(const cv::Mat& rgb, const BookOptions& options) {
    BookLayout layout = findBook(rgb);
    if (!layout.found) return {};
    // The photograph stood upright, and what leads there from it.
    cv::Matx33d toUpright = turnOf(rgb.size(), layout.angle);
    cv::Mat upright = turned(rgb, layout.angle, cv::INTER_LINEAR);
    if (const double lean = leanOf(upright, layout); lean != 0) {
        const cv::Matx33d unlean = unleaning(upright.size(), lean);
        cv::warpPerspective(upright, upright, cv::Mat(unlean), upright.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        layout = findBook(upright);
        if (!layout.found) return {};
        toUpright = turnOf(upright.size(), layout.angle) * unlean * toUpright;
        upright = turned(upright, layout.angle, cv::INTER_LINEAR);
    }
    const cv::Rect& paper = layout.paper;
    std::vector<cv::Rect> regions;
    if (layout.gutter > 0) {
        regions.push_back(cv::Rect(paper.x, paper.y, layout.gutter - paper.x, paper.height));
        regions.push_back(cv::Rect(layout.gutter, paper.y, paper.br().x - layout.gutter, paper.height));
    } else {
        regions.push_back(paper);
    }
    std::vector<cv::Mat> out;
    const cv::Rect frame(0, 0, upright.cols, upright.rows);
    for (cv::Rect region : regions) {
        // Beyond the straight bounds a little: the page's edges bend past them.
        const int grow = region.height * 3 / 100;
        region = cv::Rect(region.x, region.y - grow, region.width, region.height + 2 * grow) & frame;
        // A speck of paper is no page (and leaves nothing to measure a bend on).
        if (region.width < kLeastPage || region.height < kLeastPage) continue;
        cv::Mat page = upright(region).clone();
        const double scale = std::min(1.0, double(kBendHeight) / page.rows);
        if (options.removeFingers) paintFingers(page, paperMask(scaled(page, scale), layout.level), scale);
        if (options.dewarp) {
            const cv::Mat small = scaled(page, scale);
            const Camera camera{upright.cols * 0.5 - region.x, kCameraHeight * rgb.cols};
            const Camera seen{camera.centre * scale, camera.height * scale};
            const Bent bent = pageBend(pageLines(small, paperMask(small, layout.level)), small.cols, small.rows, seen);
            const cv::Matx33d fromPage = toUpright.inv() * cv::Matx33d(1, 0, region.x, 0, 1, region.y, 0, 0, 1);
            cv::Mat flat = straightened(rgb, fromPage, page.size(), bent, scale, camera);
            if (!flat.empty()) {
                // Made from the photograph, where the fingers still are.
                const double flatScale = std::min(1.0, double(kBendHeight) / flat.rows);
                if (options.removeFingers)
                    paintFingers(flat, paperMask(scaled(flat, flatScale), layout.level), flatScale);
                page = flat;
            }
        }
        page = cutToPaper(page, scale, layout.level);
        if (options.evenLight) {
            cv::cvtColor(page, page, cv::COLOR_RGB2BGR);
            whitenInPlace(page, "bookPages");
            cv::cvtColor(page, page, cv::COLOR_BGR2RGB);
        }
        out.push_back(page);
    }
    return out;
}

} // namespace velcap
