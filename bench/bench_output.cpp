// SaveImage of an 8-MP picture as JPEG, PNG, TIFF and a one-page PDF, beside
// cv::imwrite of the same picture; and a 30-page document of 8-MP pages.
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "scene.h"
#include "velcap.h"

namespace {

const cv::Mat& page() {
    static const cv::Mat bgr = [] {
        cv::Mat rgb = vcam::renderScene(3264, 2448), out;
        cv::cvtColor(rgb, out, cv::COLOR_RGB2BGR);
        return out;
    }();
    return bgr;
}

std::string target(const char* extension) {
    return "/tmp/velcap-bench-output." + std::string(extension);
}

void BM_SaveImage(benchmark::State& state, const char* extension) {
    std::string path = target(extension);
    page(); // rendered once, outside the measurement
    for (auto _ : state)
        if (SaveImage(path.data(), page()) != 0) state.SkipWithError("SaveImage failed");
    std::remove(path.c_str());
}

void BM_Imwrite(benchmark::State& state, const char* extension) {
    const std::string path = target(extension);
    const std::vector<int> parameters =
        std::string(extension) == "jpg" ? std::vector<int>{cv::IMWRITE_JPEG_QUALITY, 85} : std::vector<int>{};
    page();
    for (auto _ : state) cv::imwrite(path, page(), parameters);
    std::remove(path.c_str());
}

// The export of the multi-page PDF dialog: 30 pages of 8-MP JPEGs into one document.
void BM_ThirtyPagePdf(benchmark::State& state) {
    const std::string jpeg = target("page.jpg"), pdfPath = target("30.pdf");
    cv::imwrite(jpeg, page(), {cv::IMWRITE_JPEG_QUALITY, 85});
    for (auto _ : state) {
        bool ok = pdf_start(pdfPath.c_str()) == 0;
        for (int i = 0; ok && i < 30; ++i) ok = pdf_addPage(jpeg.c_str()) == 0;
        if (pdf_end() != 0 || !ok) state.SkipWithError("the document was not written");
    }
    std::remove(jpeg.c_str());
    std::remove(pdfPath.c_str());
}
BENCHMARK(BM_ThirtyPagePdf)->Unit(benchmark::kMillisecond)->Iterations(2);

BENCHMARK_CAPTURE(BM_SaveImage, jpg, "jpg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Imwrite, jpg, "jpg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SaveImage, png, "png")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Imwrite, png, "png")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SaveImage, tif, "tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Imwrite, tif, "tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SaveImage, pdf, "pdf")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
