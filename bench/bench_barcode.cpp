// BarQrDecodePro on an 8-MP frame: a code read at the first scan, and a frame
// without a code that runs the whole chain of 28 scans.
#include <cstdio>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include "codes/code_free.h"
#include "scene.h"
#include "velcap.h"

namespace {

// The library reports every failed scan; the measurement keeps them off the terminal.
struct QuietStdout {
    QuietStdout() {
        std::fflush(stdout);
        saved = dup(1);
        null = std::fopen("/dev/null", "w");
        dup2(fileno(null), 1);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        std::fclose(null);
    }
    int saved;
    FILE* null;
};

void BM_HitAtFirstScan(benchmark::State& state) {
    const cv::Mat frame = vcam::renderScene(3264, 2448); // the page carries a QR code
    QuietStdout quiet;
    for (auto _ : state) {
        std::string text = BarQrDecodePro(frame, 1);
        if (text != vcam::kSceneQrText) state.SkipWithError("the scene's QR code was not read");
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_HitAtFirstScan)->Unit(benchmark::kMillisecond);

void BM_FullChainWithoutACode(benchmark::State& state) {
    const cv::Mat frame(2448, 3264, CV_8UC3, cv::Scalar(0, 0, 0)); // Otsu's value 0: all 28 scans
    QuietStdout quiet;
    for (auto _ : state) benchmark::DoNotOptimize(BarQrDecodePro(frame, 1));
}
BENCHMARK(BM_FullChainWithoutACode)->Unit(benchmark::kMillisecond);

void BM_FullChainOnAnEmptyDesk(benchmark::State& state) {
    // A textured desk without a page: Otsu's value decides the number of scans.
    cv::Mat grey(2448, 3264, CV_8UC1);
    cv::randu(grey, 40, 160);
    cv::GaussianBlur(grey, grey, cv::Size(0, 0), 8);
    cv::Mat frame;
    cv::cvtColor(grey, frame, cv::COLOR_GRAY2RGB);
    QuietStdout quiet;
    for (auto _ : state) benchmark::DoNotOptimize(BarQrDecodePro(frame, 1));
}
BENCHMARK(BM_FullChainOnAnEmptyDesk)->Unit(benchmark::kMillisecond);

// The enhanced recognition: a code read by its first scan, and frames without
// a code, where the chain and the later attempts run side by side. Real time
// counts here: the later attempts run on a second thread.
void BM_EnhancedHitAtFirstScan(benchmark::State& state) {
    const cv::Mat frame = vcam::renderScene(3264, 2448);
    QuietStdout quiet;
    SetRecogEnhanced(1);
    for (auto _ : state) {
        std::string text = BarQrDecodePro(frame, 1);
        if (text != vcam::kSceneQrText) state.SkipWithError("the scene's QR code was not read");
        benchmark::DoNotOptimize(text);
    }
    SetRecogEnhanced(0);
}
BENCHMARK(BM_EnhancedHitAtFirstScan)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EnhancedWithoutACode(benchmark::State& state) {
    const cv::Mat frame = state.range(0) == 0 ? cv::Mat(2448, 3264, CV_8UC3, cv::Scalar(0, 0, 0))
                                              : velcap::codes::textPage(3264, 2448, cv::FONT_HERSHEY_SIMPLEX, 2.0, 1);
    QuietStdout quiet;
    SetRecogEnhanced(1);
    for (auto _ : state)
        if (!BarQrDecodePro(frame, 1).empty()) state.SkipWithError("a code was read where there is none");
    SetRecogEnhanced(0);
}
BENCHMARK(BM_EnhancedWithoutACode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 48-megapixel page of text without a code, in the usual (0) and the
// enhanced (1) recognition: the enhanced one's later attempts read a picture
// scaled to 8 megapixels, so that it costs at most about three times the usual.
void BM_48MegapixelsWithoutACode(benchmark::State& state) {
    const cv::Mat frame = velcap::codes::textPage(8000, 6000, cv::FONT_HERSHEY_SIMPLEX, 4.0, 2);
    QuietStdout quiet;
    SetRecogEnhanced(int(state.range(0)));
    for (auto _ : state)
        if (!BarQrDecodePro(frame, 0).empty()) state.SkipWithError("a code was read where there is none");
    SetRecogEnhanced(0);
}
BENCHMARK(BM_48MegapixelsWithoutACode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_FullChainOnAPageOfText(benchmark::State& state) {
    const cv::Mat frame = velcap::codes::textPage(3264, 2448, cv::FONT_HERSHEY_SIMPLEX, 2.0, 1);
    QuietStdout quiet;
    for (auto _ : state)
        if (!BarQrDecodePro(frame, 1).empty()) state.SkipWithError("a code was read where there is none");
}
BENCHMARK(BM_FullChainOnAPageOfText)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
