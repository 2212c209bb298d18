// Book mode on generated spreads: found, split at the gutter, its lines made
// straight, fingers painted over, cut to the paper.
#include <algorithm>
#include <cmath>
#include <map>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "book_scene.h"
#include "desk_scene.h"
#include "imaging/book.h"
#include "scene.h"
#include "support/skin.h"

namespace {

// How far the text lines of a page bend: the 80th percentile over its long lines of
// each line's largest distance from the straight line through it, as a share
// of the page's height.
double lineBend(const cv::Mat& page) {
    cv::Mat small, grey, ink;
    const double scale = 1000.0 / page.rows;
    cv::resize(page, small, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::cvtColor(small, grey, cv::COLOR_RGB2GRAY);
    cv::adaptiveThreshold(grey, ink, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY_INV, 25, 12);
    cv::Mat lines;
    cv::morphologyEx(ink, lines, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, {small.cols / 30, 1}));
    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(lines, labels, stats, centroids, 8, CV_32S);
    std::vector<double> bends;
    for (int i = 1; i < count; ++i) {
        if (stats.at<int>(i, cv::CC_STAT_WIDTH) < small.cols / 2 || stats.at<int>(i, cv::CC_STAT_HEIGHT) > 60) continue;
        std::map<int, std::pair<double, int>> columns;
        for (int y = stats.at<int>(i, cv::CC_STAT_TOP);
             y < stats.at<int>(i, cv::CC_STAT_TOP) + stats.at<int>(i, cv::CC_STAT_HEIGHT); ++y)
            for (int x = stats.at<int>(i, cv::CC_STAT_LEFT);
                 x < stats.at<int>(i, cv::CC_STAT_LEFT) + stats.at<int>(i, cv::CC_STAT_WIDTH); ++x)
                if (labels.at<int>(y, x) == i && ink.at<uchar>(y, x)) {
                    auto& c = columns[x / 20];
                    c.first += y;
                    ++c.second;
                }
        std::vector<cv::Point2f> middles;
        for (const auto& [column, sum] : columns)
            if (sum.second > 3) middles.push_back({float(column * 20 + 10), float(sum.first / sum.second)});
        if (middles.size() < 8) continue;
        cv::Vec4f fit;
        cv::fitLine(middles, fit, cv::DIST_L2, 0, 0.01, 0.01);
        double worst = 0;
        for (const cv::Point2f& p : middles)
            worst = std::max(worst, double(std::abs((p.x - fit[2]) * fit[1] - (p.y - fit[3]) * fit[0])));
        bends.push_back(worst / 1000.0);
    }
    if (bends.empty()) return 1;
    std::nth_element(bends.begin(), bends.begin() + long(bends.size() * 4 / 5), bends.end());
    return bends[bends.size() * 4 / 5];
}

// What is neither paper nor ink (desk, cover board, page block) inside the
// page's thin margin, as a share of that inside.
double foreignShare(const cv::Mat& rgb) {
    const int mx = rgb.cols * 25 / 1000, my = rgb.rows * 25 / 1000;
    cv::Mat inside = rgb(cv::Rect(mx, my, rgb.cols - 2 * mx, rgb.rows - 2 * my)), hsv, c[3];
    cv::cvtColor(inside, hsv, cv::COLOR_RGB2HSV);
    cv::split(hsv, c);
    // Coloured, or mid-dark and wide: text is dark but thin, so it is opened away.
    cv::Mat coloured = c[1] > 70, dull = c[2] < 170, open;
    cv::morphologyEx(dull, open, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, {15, 15}));
    return double(cv::countNonZero(coloured | open)) / double(inside.total());
}

cv::Rect inkBox(const cv::Mat& rgb) {
    cv::Mat grey, ink;
    cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
    cv::threshold(grey, ink, 110, 255, cv::THRESH_BINARY_INV);
    const cv::Rect inner(rgb.cols * 3 / 100, rgb.rows * 3 / 100, rgb.cols * 94 / 100, rgb.rows * 94 / 100);
    std::vector<cv::Point> points;
    cv::findNonZero(ink(inner), points);
    return points.empty() ? cv::Rect() : cv::boundingRect(points) + inner.tl();
}

// How unevenly the page's columns are spaced, away from the gutter: patches
// of the printed page found in the made page (brought to the printed text's
// height), and the largest distance of their shifts from a straight line,
// as a share of the text's width.
double unevenness(const cv::Mat& page, const cv::Mat& printed, bool gutterLeft) {
    const cv::Rect made = inkBox(page), truth = inkBox(printed);
    const double k = double(truth.height) / made.height;
    cv::Mat grey, truthGrey;
    cv::resize(page, grey, cv::Size(), k, k, cv::INTER_AREA);
    cv::cvtColor(grey, grey, cv::COLOR_RGB2GRAY);
    cv::cvtColor(printed, truthGrey, cv::COLOR_RGB2GRAY);
    constexpr int kPatch = 48;
    const int from = truth.x + (gutterLeft ? truth.width / 5 : 0);
    const int to = truth.br().x - kPatch - (gutterLeft ? 0 : truth.width / 5);
    std::vector<cv::Point2f> shifts;
    for (int x = from; x <= to; x += 60) {
        std::vector<double> here;
        for (int y = truth.y; y + kPatch <= truth.br().y; y += 60) {
            const cv::Mat patch = truthGrey(cv::Rect(x, y, kPatch, kPatch));
            cv::Scalar mean, deviation;
            cv::meanStdDev(patch, mean, deviation);
            if (deviation[0] < 20) continue; // blank paper is found anywhere
            const int expected = int(made.x * k + (x - truth.x) * made.width * k / truth.width);
            const cv::Rect search =
                cv::Rect(expected - 40, int(made.y * k) + y - truth.y - 12, kPatch + 80, kPatch + 24) &
                cv::Rect(0, 0, grey.cols, grey.rows);
            if (search.width <= kPatch || search.height <= kPatch) continue;
            cv::Mat score;
            cv::matchTemplate(grey(search), patch, score, cv::TM_CCOEFF_NORMED);
            double best;
            cv::Point at;
            cv::minMaxLoc(score, nullptr, &best, nullptr, &at);
            if (best > 0.6) here.push_back(search.x + at.x - expected);
        }
        if (here.size() < 5) continue;
        std::nth_element(here.begin(), here.begin() + long(here.size() / 2), here.end());
        shifts.push_back({float(x), float(here[here.size() / 2])});
    }
    if (shifts.size() < 5) return 1;
    // Off a straight line: a scale the ends of the text set wrong is no unevenness.
    cv::Vec4f line;
    cv::fitLine(shifts, line, cv::DIST_L2, 0, 0.01, 0.01);
    double worst = 0;
    for (const cv::Point2f& p : shifts)
        worst = std::max(worst, double(std::abs((p.x - line[2]) * line[1] - (p.y - line[3]) * line[0])));
    return worst / truth.width;
}

struct Spread {
    double curve;
    const char* desk;
    bool fingers;
    double perspective;
    bool onePage;
    unsigned seed = 0; // the text
};

class BookSpread : public testing::TestWithParam<Spread> {};

TEST_P(BookSpread, BecomesFlatPagesCutToThePaperWithoutFingers) {
    const Spread& c = GetParam();
    vcam::BookLook look;
    look.curve = c.curve;
    look.desk = c.desk;
    look.fingers = c.fingers;
    look.perspective = c.perspective;
    look.onePage = c.onePage;
    look.seed = c.seed;
    const vcam::BookScene scene = vcam::renderBookScene(3264, 2448, look);
    const std::vector<cv::Mat> pages = velcap::bookPages(scene.frame);
    ASSERT_EQ(pages.size(), c.onePage ? 1u : 2u);
    velcap::BookOptions asPhotographed;
    asPhotographed.dewarp = false;
    asPhotographed.removeFingers = false;
    const std::vector<cv::Mat> bent = velcap::bookPages(scene.frame, asPhotographed);
    ASSERT_EQ(bent.size(), pages.size());
    // A book's two pages are one size: split at the gutter, not at a column of text.
    if (pages.size() == 2) {
        EXPECT_NEAR(pages[0].cols, pages[1].cols, 0.1 * pages[0].cols);
    }
    for (size_t i = 0; i < pages.size(); ++i) {
        const cv::Mat& page = pages[i];
        const double aspect = double(page.cols) / page.rows;
        EXPECT_GT(aspect, 0.55) << "a sliver, page " << i;
        EXPECT_LT(aspect, 0.85) << "more than a page, page " << i;
        // A thick book's steep turn into the gutter is followed less closely:
        // the bend is halved at least.
        if (c.curve < 1) {
            EXPECT_LE(lineBend(page), 0.0025) << "page " << i;
        } else {
            EXPECT_GE(lineBend(bent[i]), 0.006) << "the bend is there to be undone, page " << i;
            EXPECT_LE(lineBend(page), 0.5 * lineBend(bent[i])) << "page " << i;
        }
        // Paper does not stretch: away from the gutter's steep turn, its columns lie as printed.
        EXPECT_LT(unevenness(page, scene.flatPages[i], c.onePage || i == 1), 0.002) << "page " << i;
        EXPECT_LE(velcap::test::skinShare(page), 0.001) << "page " << i;
        if (c.fingers) {
            EXPECT_GT(velcap::test::skinShare(bent[i]), 0.001) << "fingers lie there, page " << i;
        }
        EXPECT_LT(foreignShare(page), 0.002) << "page " << i;
    }
}

#ifdef VELCAP_SANITIZED
// The sanitizers check memory and threads, not accuracy, at many times the cost.
const Spread kSpreads[] = {{1.0, "wood", true, 0, false}};
#else
const Spread kSpreads[] = {
    {0.0, "wood", true, 0, false, 1}, {0.6, "dark", true, 0, false}, {1.0, "wood", true, 0, false},
    {0.6, "light", false, 8, false},  {0.6, "mid", true, 0, true},   {1.0, "dark", true, -6, false},
    {0.6, "wood", true, 5, true},
};
#endif
INSTANTIATE_TEST_SUITE_P(Generated, BookSpread, testing::ValuesIn(kSpreads));

TEST(Book, NoBookNoPagesAndASheetIsNotSplit) {
    EXPECT_TRUE(velcap::bookPages(vcam::deskSurface("wood", {1632, 1224}, 7)).empty());
    EXPECT_TRUE(velcap::bookPages(cv::Mat()).empty());
    // Slivers of pictures, that scale to nothing, and a speck: no failure, no spread.
    for (const cv::Size size : {cv::Size(4000, 3), cv::Size(3, 40)})
        EXPECT_TRUE(velcap::bookPages(cv::Mat(size, CV_8UC3, cv::Scalar(240, 240, 240))).empty()) << size;
    EXPECT_LE(velcap::bookPages(cv::Mat(30, 40, CV_8UC3, cv::Scalar(240, 240, 240))).size(), 1u);
    const std::vector<cv::Mat> sheet = velcap::bookPages(vcam::renderScene(1632, 1224));
    ASSERT_EQ(sheet.size(), 1u) << "a sheet's two columns of marks are no spread";
    EXPECT_LT(double(sheet[0].cols) / sheet[0].rows, 0.85);
}

} // namespace
