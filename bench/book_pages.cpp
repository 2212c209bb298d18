// Book mode on the virtual camera's generated spreads, at 8 MP: the time and
// peak memory of a spread, Tesseract's character error rate (chi_sim+eng) on
// the pages made from bent spreads beside the same pages photographed flat
// and beside the plain approach (the pages cut at their corners, lines left
// bent), the fingers left, and slivers over many spreads.
// Usage: book_pages [SPREADS]   (200 for the sliver count by default)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iconv.h>
#include <malloc.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "book_scene.h"
#include "imaging/book.h"
#include "ocr/recognise.h"
#include "support/skin.h"

namespace {

// The text as code points, without white space: Tesseract's spacing between
// Chinese characters is no error of the page.
std::u32string codePoints(const std::string& text) {
    std::string kept;
    for (char c : text)
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') kept += c;
    std::u32string out(kept.size(), U'\0');
    iconv_t convert = iconv_open("UTF-32LE", "UTF-8");
    char* in = kept.data();
    size_t inLeft = kept.size(), outLeft = out.size() * sizeof(char32_t);
    char* to = reinterpret_cast<char*>(out.data());
    iconv(convert, &in, &inLeft, &to, &outLeft);
    iconv_close(convert);
    out.resize(out.size() - outLeft / sizeof(char32_t));
    return out;
}

// Edits (Levenshtein) from the truth to what was read, as a share of the truth.
double errorRate(const std::string& truth, const std::string& read) {
    const std::u32string a = codePoints(truth), b = codePoints(read);
    std::vector<size_t> row(b.size() + 1), next(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        next[0] = i;
        for (size_t j = 1; j <= b.size(); ++j)
            next[j] = std::min({row[j] + 1, next[j - 1] + 1, row[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
        row.swap(next);
    }
    return a.empty() ? 0 : double(row[b.size()]) / double(a.size());
}

double read(const cv::Mat& rgb, const std::string& truth) {
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    velcap::ocr::PageText text;
    if (velcap::ocr::recognise(bgr, "chi_sim+eng", text) != velcap::Status::Ok) return 1;
    return errorRate(truth, text.text());
}

long statusKilobytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return 0;
}

// What the stage takes at its peak on top of what the process holds: run in
// a child, whose high-water mark starts at what it shares with its parent.
long peakMegabytes(const cv::Mat& spread) {
    const pid_t child = fork();
    if (child == 0) {
        malloc_trim(0); // the parent's freed memory, still resident, would be reused unseen
        const long before = statusKilobytes("VmRSS:");
        velcap::bookPages(spread);
        _exit(int(std::min(255L, (statusKilobytes("VmHWM:") - before) / 4096))); // in 4-MB steps
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) * 4L : -1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int spreads = argc > 1 ? std::atoi(argv[1]) : 200;
    using Clock = std::chrono::steady_clock;

    // Time, memory and reading on 8-MP spreads of two texts, bent 0.5 and 1, with fingers.
    std::vector<double> seconds, flat, dewarped, plain;
    long peak = 0;
    double worstSkin = 0;
    for (unsigned seed : {0u, 1u}) {
        vcam::BookLook look;
        look.seed = seed;
        look.fingers = true;
        look.curve = 0;
        const vcam::BookScene level = vcam::renderBookScene(3264, 2448, look);
        const std::vector<cv::Mat> flatPages = velcap::bookPages(level.frame);
        for (size_t i = 0; i < flatPages.size() && i < level.texts.size(); ++i)
            flat.push_back(read(flatPages[i], level.texts[i]));
        for (double curve : {0.5, 1.0}) {
            look.curve = curve;
            const vcam::BookScene scene = vcam::renderBookScene(3264, 2448, look);
            const auto start = Clock::now();
            const std::vector<cv::Mat> pages = velcap::bookPages(scene.frame);
            seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            peak = std::max(peak, peakMegabytes(scene.frame));
            velcap::BookOptions corners;
            corners.dewarp = false;
            const std::vector<cv::Mat> cut = velcap::bookPages(scene.frame, corners);
            for (size_t i = 0; i < pages.size() && i < scene.texts.size(); ++i) {
                dewarped.push_back(read(pages[i], scene.texts[i]));
                worstSkin = std::max(worstSkin, velcap::test::skinShare(pages[i]));
            }
            for (size_t i = 0; i < cut.size() && i < scene.texts.size(); ++i)
                plain.push_back(read(cut[i], scene.texts[i]));
        }
    }
    const double goal = 1.3 * median(flat) + 0.01;
    std::printf("an 8-MP spread: median %.2f s, worst %.2f s (goal 1.5 s); peak memory +%ld MB (goal 500 MB)\n",
                median(seconds), *std::max_element(seconds.begin(), seconds.end()), peak);
    std::printf("character error rate, chi_sim+eng, median over %zu pages:\n", dewarped.size());
    std::printf("  photographed flat:              %5.2f %%\n", 100 * median(flat));
    std::printf("  bent, made flat (book mode):    %5.2f %%  (goal %.2f %%: %s)\n", 100 * median(dewarped), 100 * goal,
                median(dewarped) <= goal ? "met" : "NOT met");
    std::printf("  bent, cut at the corners only:  %5.2f %%  (%s the goal)\n", 100 * median(plain),
                median(plain) <= goal ? "within" : "fails");
    std::printf("skin left on a page: at most %.3f %% of it (goal 0.1 %%)\n", 100 * worstSkin);

    // Slivers and lost pages over many spreads, on every desk, bent and turned otherwise.
    const char* desks[] = {"", "dark", "mid", "light", "wood"};
    int slivers = 0, wrong = 0;
    for (int i = 0; i < spreads; ++i) {
        vcam::BookLook look;
        look.seed = unsigned(i);
        look.curve = (i % 11) / 10.0;
        look.desk = desks[i % 5];
        look.turn = (i % 7) - 3.0;
        look.perspective = (i % 3) * 4.0;
        look.fingers = i % 2 == 0;
        look.onePage = i % 9 == 4;
        const vcam::BookScene scene = vcam::renderBookScene(1632, 1224, look);
        const std::vector<cv::Mat> pages = velcap::bookPages(scene.frame);
        if (pages.size() != (look.onePage ? 1u : 2u)) ++wrong;
        for (const cv::Mat& page : pages)
            if (page.cols < page.rows * 0.45) ++slivers;
    }
    std::printf("over %d spreads (2 MP): %d sliver pages (goal 0), %d spreads with the wrong count of pages\n", spreads,
                slivers, wrong);
}
