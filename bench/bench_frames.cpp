// The per-frame steps of the stream thread at 8 MP, each beside its peer:
// YUYV conversion vs OpenCV's cvtColor, the MJPEG decoders vs tjDecompress2,
// the quarter turn vs transpose plus flip, and the embedded preview's picture
// vs cv::resize of the same region; and what auto-capture adds to each frame.
#include <chrono>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include "compat/state.h"
#include "core/auto_capture.h"
#include "scene.h"

namespace {

constexpr int kWidth = 3264, kHeight = 2448;

std::vector<uint8_t> yuyvFrame() {
    cv::Mat scene = vcam::renderScene(kWidth, kHeight);
    std::vector<uint8_t> yuyv(size_t(kWidth) * kHeight * 2);
    vcam::rgbToYuyv(scene.data, yuyv.data(), size_t(kWidth) * kHeight);
    return yuyv;
}

std::vector<uint8_t> mjpegFrame() {
    vcam::FrameSource source(V4L2_PIX_FMT_MJPEG, kWidth, kHeight, "");
    std::vector<uint8_t> jpeg(source.maxBytes());
    jpeg.resize(source.render(1, jpeg.data(), jpeg.size()));
    return jpeg;
}

void BM_YuyvToRgb888(benchmark::State& state) {
    std::vector<uint8_t> yuyv = yuyvFrame();
    cv::Mat rgb(kHeight, kWidth, CV_8UC3);
    for (auto _ : state) {
        yuyv_to_rgb888(yuyv.data(), rgb.data, kWidth, kHeight);
        benchmark::DoNotOptimize(rgb.data);
    }
}
BENCHMARK(BM_YuyvToRgb888)->Unit(benchmark::kMillisecond);

void BM_OpenCvCvtColorYuyv(benchmark::State& state) {
    std::vector<uint8_t> yuyv = yuyvFrame();
    cv::Mat in(kHeight, kWidth, CV_8UC2, yuyv.data()), rgb(kHeight, kWidth, CV_8UC3);
    for (auto _ : state) {
        cv::cvtColor(in, rgb, cv::COLOR_YUV2RGB_YUYV);
        benchmark::DoNotOptimize(rgb.data);
    }
}
BENCHMARK(BM_OpenCvCvtColorYuyv)->Unit(benchmark::kMillisecond);

void BM_DoExcuteImage(benchmark::State& state) {
    std::vector<uint8_t> jpeg = mjpegFrame();
    cv::Mat rgb(kHeight, kWidth, CV_8UC3), unused;
    av_decode_init();
    for (auto _ : state) {
        do_excute_image(jpeg.data(), int(jpeg.size()), kWidth, kHeight, rgb, unused);
        benchmark::DoNotOptimize(rgb.data);
    }
    av_decode_deinit();
}
BENCHMARK(BM_DoExcuteImage)->Unit(benchmark::kMillisecond);

void BM_TjDecompress2(benchmark::State& state) {
    std::vector<uint8_t> jpeg = mjpegFrame();
    cv::Mat rgb(kHeight, kWidth, CV_8UC3);
    tjhandle handle = tjInitDecompress();
    for (auto _ : state) {
        tjDecompress2(handle, jpeg.data(), jpeg.size(), rgb.data, kWidth, 0, kHeight, TJPF_RGB, 0);
        benchmark::DoNotOptimize(rgb.data);
    }
    tjDestroy(handle);
}
BENCHMARK(BM_TjDecompress2)->Unit(benchmark::kMillisecond);

// The libjpeg decoder that hosts call, on the same frame.
void BM_Mjpeg2RgbConvertEx(benchmark::State& state) {
    std::vector<uint8_t> jpeg = mjpegFrame();
    cv::Mat rgb(kHeight, kWidth, CV_8UC3);
    for (auto _ : state) {
        Mjpeg2RgbConvertEx(jpeg.data(), int(jpeg.size()), rgb);
        benchmark::DoNotOptimize(rgb.data);
    }
}
BENCHMARK(BM_Mjpeg2RgbConvertEx)->Unit(benchmark::kMillisecond);

// The embedded preview's picture of an 8-MP frame for an 800 x 600 form, at the
// best fit (argument 0) and zoomed in to 200 %, beside cv::resize of the same region.
cv::Rect previewRegion(int zoomed) {
    return zoomed ? cv::Rect(1432, 1074, 400, 300) : cv::Rect(0, 0, 3263, 2448);
}

void BM_VideoZoomToWeb(benchmark::State& state) {
    const cv::Mat frame = vcam::renderScene(kWidth, kHeight);
    nWidth = kWidth;
    nHeight = kHeight;
    SetWebFormSize(800, 600);
    if (state.range(0)) {
        pZoomScale = 200;
        FuncCalculateShowWH();
        ZoomStartX = (800 - ZoomWidth) / 2;
        ZoomStartY = (600 - ZoomHeight) / 2;
    }
    std::vector<uint8_t> picture(800 * 600 * 3);
    for (auto _ : state) {
        VideoZoomToWeb(frame, picture.data());
        benchmark::DoNotOptimize(picture.data());
    }
    // The peer below works on the region this geometry shows.
    const cv::Rect expected = previewRegion(int(state.range(0)));
    if (int(ShowWidth * 100 / pZoomScale) != expected.width ||
        (ZoomStartX < 0 && int(-ZoomStartX * 100 / pZoomScale) != expected.x))
        state.SkipWithError("the peer's region is not the preview's");
}
BENCHMARK(BM_VideoZoomToWeb)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ResizeRegion(benchmark::State& state) {
    const cv::Mat frame = vcam::renderScene(kWidth, kHeight);
    const cv::Rect region = previewRegion(int(state.range(0)));
    cv::Mat picture(600, 800, CV_8UC3);
    for (auto _ : state) {
        cv::resize(frame(region), picture, picture.size(), 0, 0, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(picture.data);
    }
}
BENCHMARK(BM_ResizeRegion)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The library's quarter turns (into roimage), right and left.
void BM_QuarterTurn(benchmark::State& state, void (*turn)(cv::Mat)) {
    cv::Mat src = vcam::renderScene(kWidth, kHeight);
    roimage.create(kWidth, kHeight, CV_8UC3);
    for (auto _ : state) {
        turn(src);
        benchmark::DoNotOptimize(roimage.data);
    }
    roimage.release();
}
BENCHMARK_CAPTURE(BM_QuarterTurn, CamdataRote90, CamdataRote90)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_QuarterTurn, CamdataRote270, CamdataRote270)->Unit(benchmark::kMillisecond);

void BM_TransposeFlip(benchmark::State& state) {
    cv::Mat src = vcam::renderScene(kWidth, kHeight), dst(kWidth, kHeight, CV_8UC3);
    for (auto _ : state) {
        cv::transpose(src, dst);
        cv::flip(dst, dst, 1);
        benchmark::DoNotOptimize(dst.data);
    }
}
BENCHMARK(BM_TransposeFlip)->Unit(benchmark::kMillisecond);

void BM_CamdataRote180(benchmark::State& state) {
    cv::Mat src = vcam::renderScene(kWidth, kHeight);
    for (auto _ : state) benchmark::DoNotOptimize(CamdataRote180(src).data);
}
BENCHMARK(BM_CamdataRote180)->Unit(benchmark::kMillisecond);

// A clock the benchmark moves on by hand.
struct StepClock final : velcap::Clock {
    time_point t{};
    time_point now() const override { return t; }
};

// Auto-capture's watch of each frame: while something moves (argument 0, two
// frames in turn), and on a page that lies still after its capture (argument 1).
void BM_AutoCaptureStage(benchmark::State& state) {
    const cv::Mat page = vcam::renderScene(kWidth, kHeight, {}, 0);
    const cv::Mat other = vcam::renderScene(kWidth, kHeight, {}, 1);
    // A folder of its own for the photographs, removed afterwards.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velcap-bench-auto-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        state.SkipWithError("no folder for the photographs");
        return;
    }
    const std::string folder = pattern;
    StepClock clock;
    velcap::AutoCaptureStage stage(clock);
    velcap::AutoCapture config;
    config.on = true;
    config.folder = folder;
    stage.configure(config);
    const velcap::FrameSettings settings;
    const velcap::CaptureParams params;
    const velcap::PageState pageState;
    if (state.range(0) == 1) {
        // Until the page has been captured, outside the measurement.
        stage.process(page, settings, params, pageState);
        clock.t += std::chrono::seconds(1);
        stage.process(page, settings, params, pageState);
    }
    bool flip = false;
    for (auto _ : state) {
        stage.process(state.range(0) == 0 && (flip = !flip) ? other : page, settings, params, pageState);
        benchmark::ClobberMemory();
    }
    std::system(("rm -rf '" + folder + "'").c_str());
}
BENCHMARK(BM_AutoCaptureStage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
