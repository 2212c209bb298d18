// Document imaging on camera-sized pictures: the page outline of every
// preview frame, black-edge removal and background whitening of a capture.
#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include "scene.h"
#include "velcap.h"

namespace {

void BM_DrawingEdge(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const cv::Mat scene = vcam::renderScene(unsigned(width), unsigned(height));
    cv::Mat frame = scene.clone();
    for (auto _ : state) {
        state.PauseTiming();
        scene.copyTo(frame);
        state.ResumeTiming();
        benchmark::DoNotOptimize(DrawingEdge(frame.data, width, height, 1));
    }
}
BENCHMARK(BM_DrawingEdge)->Args({1920, 1080})->Args({3264, 2448})->Unit(benchmark::kMillisecond);

// The page as a capture leaves it: cropped loosely, dark wedges round it.
cv::Mat capturedPage() {
    cv::Mat rgb = vcam::renderScene(3264, 2448), bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    return bgr;
}

void BM_DeleteBlackEdge(benchmark::State& state) {
    const cv::Mat page = capturedPage();
    cv::Mat image;
    for (auto _ : state) {
        state.PauseTiming();
        image = page.clone();
        state.ResumeTiming();
        FN_DeleteBlackEdge(image);
    }
}
BENCHMARK(BM_DeleteBlackEdge)->Unit(benchmark::kMillisecond);

void BM_DeleteBackcolor(benchmark::State& state) {
    const cv::Mat page = capturedPage();
    cv::Mat image;
    for (auto _ : state) {
        state.PauseTiming();
        image = page.clone();
        state.ResumeTiming();
        FN_DeleteBackcolor(image);
    }
}
BENCHMARK(BM_DeleteBackcolor)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
