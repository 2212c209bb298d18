// Document imaging on camera-sized pictures: the page outline of every
// preview frame, black-edge removal and background whitening of a capture.
#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include "desk_scene.h"
#include "imaging/filters_reference.h"
#include "imaging/page_edge.h"
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

// The stream thread's way: the same work with pictures kept from frame to frame.
void BM_PageOutlineStage(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const cv::Mat scene = vcam::renderScene(unsigned(width), unsigned(height));
    cv::Mat frame = scene.clone();
    velcap::PageWorkspace work;
    for (auto _ : state) {
        state.PauseTiming();
        scene.copyTo(frame);
        state.ResumeTiming();
        benchmark::DoNotOptimize(velcap::findPageOutline(frame.data, width, height, 1, work));
    }
}
BENCHMARK(BM_PageOutlineStage)->Args({1920, 1080})->Args({3264, 2448})->Unit(benchmark::kMillisecond);

// Cut type 2's detection on each preview frame: a page on a white desk under
// a hand, the camera tilted (the hardest of the desk scenes).
void BM_DetectPage(benchmark::State& state) {
    vcam::DeskLook look;
    look.desk = "white";
    look.hand = true;
    look.perspective = 10;
    look.pose = 3;
    const cv::Mat frame = vcam::renderDeskScene(unsigned(state.range(0)), unsigned(state.range(1)), look).frame;
    int corners[8];
    for (auto _ : state)
        if (DetectPage(frame.data, frame.cols, frame.rows, corners) != 0) state.SkipWithError("no page found");
}
BENCHMARK(BM_DetectPage)->Args({1920, 1080})->Args({3264, 2448})->Unit(benchmark::kMillisecond);

// The page as a capture leaves it: cropped loosely, dark wedges round it.
cv::Mat capturedPage() {
    cv::Mat rgb = vcam::renderScene(3264, 2448), bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    return bgr;
}

// A fresh copy of the page for each run of a filter that works in place.
void BM_Filter(benchmark::State& state, void (*filter)(cv::Mat)) {
    const cv::Mat page = capturedPage();
    cv::Mat image;
    for (auto _ : state) {
        state.PauseTiming();
        image = page.clone();
        state.ResumeTiming();
        filter(image);
    }
}
BENCHMARK_CAPTURE(BM_Filter, DeleteBlackEdge, FN_DeleteBlackEdge)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Filter, DeleteBackcolor, FN_DeleteBackcolor)->Unit(benchmark::kMillisecond);
// The plain versions the tests hold the filters to, byte for byte.
BENCHMARK_CAPTURE(BM_Filter, DeleteBlackEdgePlain, reference::deleteBlackEdge)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Filter, DeleteBackcolorPlain, reference::deleteBackcolor)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
