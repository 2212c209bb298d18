// The embedded preview: its geometry, and the pictures the stream thread hands
// to the web frame callback, on the virtual camera.
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include <opencv2/imgproc.hpp>

#include "support/camera_test.h"
#include "support/frame_sink.h"

using velcap::test::CameraTest;
using velcap::test::FrameSink;
using velcap::test::stdoutOf;

namespace {

// The web frame callback's pictures, each with the frame delivered just before
// it to the frame callback: the same frame, since both run on the stream thread.
class WebSink {
public:
    struct Picture {
        cv::Mat pixels, frame;
        int formStartX = 0, formStartY = 0;
    };
    static WebSink& instance() {
        static WebSink* sink = [] {
            FrameSink::instance();
            auto* s = new WebSink;
            SetWebDataCallback(&WebSink::callback);
            return s;
        }();
        return *sink;
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        count_ = 0;
        last_ = Picture{};
    }
    // The last picture once count have arrived since the reset; empty on time-out.
    Picture waitFor(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!arrived_.wait_for(lock, std::chrono::seconds(15), [&] { return count_ >= count; })) return {};
        // Copies of its own: the stream thread replaces last_ while the test reads.
        return {last_.pixels.clone(), last_.frame.clone(), last_.formStartX, last_.formStartY};
    }

private:
    static void callback(unsigned char* pixels, int width, int height, int formStartX, int formStartY) {
        WebSink& s = instance();
        Picture p;
        p.pixels = cv::Mat(height, width, CV_8UC3, pixels).clone();
        p.frame = FrameSink::instance().last();
        p.formStartX = formStartX;
        p.formStartY = formStartY;
        std::lock_guard<std::mutex> lock(s.mutex_);
        s.last_ = p;
        ++s.count_;
        s.arrived_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable arrived_;
    int count_ = 0;
    Picture last_;
};

// Every geometry variable, to see that an operation changed nothing.
std::vector<double> geometry() {
    return {double(FormWidth),  double(FormHeight), double(FormStartX),   double(FormStartY),
            double(ShowWidth),  double(ShowHeight), double(ZoomWidth),    double(ZoomHeight),
            double(ZoomStartX), double(ZoomStartY), double(VideoOffsetX), double(VideoOffsetY),
            pZoomScale.load(),  pBestScale.load(),  double(RotateAngle),  double(RotateFlag)};
}

// The view that the geometry asks for, computed from the delivered frame.
cv::Rect expectedRegion() {
    const double zoom = pZoomScale;
    const int left = ZoomStartX < 0 ? int(-ZoomStartX * 100 / zoom) : 0;
    const int top = ZoomStartY < 0 ? int(-ZoomStartY * 100 / zoom) : 0;
    return {left, top, int(ShowWidth * 100 / zoom), int(ShowHeight * 100 / zoom)};
}

cv::Mat expectedView(const cv::Mat& frame, cv::Rect region) {
    cv::Mat view;
    cv::resize(frame(region), view, cv::Size(ShowWidth, ShowHeight), 0, 0, cv::INTER_LINEAR);
    return view;
}

class Viewport : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        web().reset();
        FrameSink::instance().reset();
    }
    static WebSink& web() { return WebSink::instance(); }
    static void open(int width, int height) {
        stdoutOf([&] {
            SetVideoFormat(0);
            getCameraResolutionCount(0);
            ASSERT_EQ(openCamera(0, width, height), 0);
        });
    }
    // The picture of a frame rendered after everything the test changed so far.
    static WebSink::Picture nextPicture() {
        web().reset();
        return web().waitFor(2);
    }
    // The picture is the expected view of its own frame, and lies inside the form.
    static void expectPictureIsTheView(const WebSink::Picture& p, cv::Rect region) {
        ASSERT_FALSE(p.pixels.empty());
        ASSERT_EQ(p.pixels.size(), cv::Size(ShowWidth, ShowHeight));
        EXPECT_EQ(p.formStartX, FormStartX);
        EXPECT_EQ(p.formStartY, FormStartY);
        EXPECT_LE(p.formStartX + p.pixels.cols, FormWidth);
        EXPECT_LE(p.formStartY + p.pixels.rows, FormHeight);
        ASSERT_TRUE((region & cv::Rect(0, 0, p.frame.cols, p.frame.rows)) == region)
            << region << " is not inside the " << p.frame.size() << " frame";
        cv::Mat expected = expectedView(p.frame, region), diff;
        cv::absdiff(p.pixels, expected, diff);
        cv::cvtColor(diff, diff, cv::COLOR_RGB2GRAY);
        EXPECT_EQ(cv::countNonZero(diff), 0) << cv::boundingRect(diff) << " differ, region " << region;
    }
};

TEST_F(Viewport, BestFitOf8MegapixelsInAnEightHundredBySixHundredForm) {
    open(3264, 2448);
    SetWebFormSize(800, 600);
    EXPECT_DOUBLE_EQ(pZoomScale, 100.0 * 800 / 3264);
    EXPECT_EQ(pZoomScale, pBestScale);
    EXPECT_EQ(ZoomWidth, 800);
    EXPECT_EQ(ZoomHeight, 600);
    EXPECT_EQ(ShowWidth, 800);
    EXPECT_EQ(ShowHeight, 600);
    EXPECT_EQ(FormStartX, 0);
    EXPECT_EQ(FormStartY, 0);
    // 80 000 divided by the zoom is 3263.9999... and truncates.
    EXPECT_EQ(expectedRegion(), cv::Rect(0, 0, 3263, 2448));
    const WebSink::Picture p = nextPicture();
    EXPECT_EQ(p.frame.size(), cv::Size(3264, 2448));
    expectPictureIsTheView(p, cv::Rect(0, 0, 3263, 2448));

    // Zooming out stops at the best fit; zooming in stops at 600 %.
    const double best = pBestScale;
    EXPECT_EQ(Web_ZoomOut(), 0);
    EXPECT_EQ(pZoomScale, best);
    pZoomScale = 598;
    EXPECT_EQ(Web_ZoomIn(), 0);
    EXPECT_EQ(pZoomScale, 600);
    EXPECT_EQ(Web_ZoomIn(), 0);
    EXPECT_EQ(pZoomScale, 600);
    EXPECT_EQ(ZoomWidth, 6 * 3264);
    // Zoomed in, the region is the form's size divided by the zoom, centred in the frame.
    EXPECT_EQ(ZoomStartX, (800 - 6 * 3264) / 2);
    const cv::Rect centred = expectedRegion();
    EXPECT_EQ(centred.width, 133);
    EXPECT_NEAR(centred.x + centred.width / 2.0, 3264 / 2.0, 1);
    EXPECT_NEAR(centred.y + centred.height / 2.0, 2448 / 2.0, 1);
    expectPictureIsTheView(nextPicture(), centred);
}

TEST_F(Viewport, SmallFrameShownAtTrueSizeInTheFormsMiddle) {
    open(640, 480);
    SetWebFormSize(800, 600);
    EXPECT_EQ(pZoomScale, 100);
    EXPECT_EQ(FormStartX, 80);
    EXPECT_EQ(FormStartY, 60);
    EXPECT_EQ(ShowWidth, 640);
    EXPECT_EQ(ShowHeight, 480);
    WebSink::Picture p = nextPicture();
    // At 100 % the picture is an unscaled copy of the frame's top-left part.
    expectPictureIsTheView(p, cv::Rect(0, 0, 640, 480));
    EXPECT_EQ(cv::norm(p.pixels, p.frame, cv::NORM_INF), 0);

    // A small picture moves inside the form and stops at its edges.
    EXPECT_EQ(Web_SetMoveOffet(50, 20), 0);
    EXPECT_EQ(FormStartX, 130);
    EXPECT_EQ(FormStartY, 80);
    EXPECT_EQ(Web_SetMoveOffet(100000, 100000), 0);
    EXPECT_EQ(FormStartX, 160);
    EXPECT_EQ(FormStartY, 120);
    EXPECT_EQ(Web_SetMoveOffet(-100000, -100000), 0);
    EXPECT_EQ(FormStartX, 0);
    EXPECT_EQ(FormStartY, 0);
    EXPECT_EQ(VideoOffsetX, 0);
    // From the edge, a small move right starts from the edge.
    EXPECT_EQ(Web_SetMoveOffet(10, 0), 0);
    EXPECT_EQ(FormStartX, 10);
    expectPictureIsTheView(nextPicture(), cv::Rect(0, 0, 640, 480));
}

TEST_F(Viewport, PanningAZoomedPictureStopsAtEachCorner) {
    open(1280, 720);
    SetWebFormSize(640, 480);
    ASSERT_EQ(Web_TrueSize(), 0);
    EXPECT_EQ(pZoomScale, 100);
    ASSERT_EQ(Web_ZoomIn(), 0); // 104 %
    const int zoomW = ZoomWidth, zoomH = ZoomHeight;
    struct Corner {
        int dx, dy;
        const char* name;
    } corners[] = {{100000, 100000, "top left"},
                   {-100000, 100000, "top right"},
                   {-100000, -100000, "bottom right"},
                   {100000, -100000, "bottom left"}};
    for (const Corner& c : corners) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Web_SetMoveOffet(c.dx, c.dy), 0);
        // However far the move, the picture covers the form.
        EXPECT_EQ(VideoOffsetX, c.dx > 0 ? 0 : 640 - zoomW);
        EXPECT_EQ(VideoOffsetY, c.dy > 0 ? 0 : 480 - zoomH);
        EXPECT_EQ(FormStartX, 0);
        EXPECT_EQ(FormStartY, 0);
        const cv::Rect region = expectedRegion();
        EXPECT_NEAR(c.dx > 0 ? region.x : region.x + region.width, c.dx > 0 ? 0 : 1280, 2);
        EXPECT_NEAR(c.dy > 0 ? region.y : region.y + region.height, c.dy > 0 ? 0 : 720, 2);
        expectPictureIsTheView(nextPicture(), region);
    }
    // A far move right from the right edge ends on the left edge, not back on the right.
    ASSERT_EQ(Web_SetMoveOffet(-100000, 0), 0);
    ASSERT_EQ(Web_SetMoveOffet(5000, 0), 0);
    EXPECT_EQ(VideoOffsetX, 0);
}

TEST_F(Viewport, QuarterTurnsFitTheTurnedFrame) {
    open(1280, 720);
    SetWebFormSize(800, 600);
    for (int turn = 1; turn <= 4; ++turn) {
        SCOPED_TRACE(turn);
        std::string out = stdoutOf([] { ASSERT_EQ(Web_RotateR(), 0); });
        EXPECT_EQ(RotateAngle, turn % 4);
        EXPECT_EQ(RotateFlag, 2) << "the next two frames are dropped";
        const bool upright = turn % 2 == 1;
        EXPECT_DOUBLE_EQ(pZoomScale, upright ? 100.0 * 600 / 1280 : 100.0 * 800 / 1280);
        WebSink::Picture p;
        out = stdoutOf([&] { p = nextPicture(); });
        EXPECT_EQ(p.frame.size(), upright ? cv::Size(720, 1280) : cv::Size(1280, 720));
        expectPictureIsTheView(p, expectedRegion());
    }
    EXPECT_DOUBLE_EQ(pZoomScale, 100.0 * 800 / 1280);
    stdoutOf([] { ASSERT_EQ(Web_RotateL(), 0); });
    EXPECT_EQ(RotateAngle, 3);
}

TEST_F(Viewport, StaleGeometryIsFittedAgainBeforeItIsRendered) {
    open(1280, 720);
    SetWebFormSize(800, 600);
    // SetRotate turns the frames without telling the viewport.
    SetRotate(1);
    WebSink::Picture p;
    stdoutOf([&] { p = nextPicture(); });
    EXPECT_EQ(p.frame.size(), cv::Size(720, 1280));
    EXPECT_DOUBLE_EQ(pBestScale, 100.0 * 600 / 1280);
    expectPictureIsTheView(p, expectedRegion());
    SetRotate(0);

    // A form set before the camera is opened at another size.
    stdoutOf([] { closeCamera(); });
    SetWebFormSize(800, 600);
    open(640, 480);
    p = nextPicture();
    EXPECT_EQ(pZoomScale, 100);
    EXPECT_EQ(FormStartX, 80);
    expectPictureIsTheView(p, cv::Rect(0, 0, 640, 480));
}

TEST_F(Viewport, FormSizesAreCheckedAndTheBufferFollowsThem) {
    open(1280, 720);
    SetWebFormSize(320, 240);
    const std::vector<double> before = geometry();
    for (auto size : {std::pair{0, 240}, std::pair{320, 0}, std::pair{-5, -5}}) {
        const std::string out = stdoutOf([&] { SetWebFormSize(size.first, size.second); });
        EXPECT_NE(out.find("SetWebFormSize: the form size"), std::string::npos);
        EXPECT_EQ(geometry(), before);
        stdoutOf([&] { FuncSuitableSize(size.first, size.second); });
        EXPECT_EQ(geometry(), before);
    }
    // A larger form after a smaller one: the pictures fill it, and nothing is overrun.
    SetWebFormSize(1200, 700);
    EXPECT_EQ(ShowWidth, 1200);
    ASSERT_EQ(Web_TrueSize(), 0);
    EXPECT_EQ(ShowWidth, 1200);
    EXPECT_EQ(ShowHeight, 700);
    expectPictureIsTheView(nextPicture(), expectedRegion());
    const std::string out = stdoutOf([] { closeCamera(); });
    EXPECT_NE(out.find(">>>>>>>>>>>>> closeCamera 04!"), std::string::npos);
    EXPECT_EQ(WEB_BUF, nullptr);
}

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// A window edge dragged while streaming: each larger form replaces the
// buffer, and the old one goes once the stream thread is done with it.
TEST_F(Viewport, AGrowingFormKeepsOneBuffer) {
#ifdef VELCAP_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory and quarantine make the resident size say nothing";
#endif
    open(3264, 2448);
    SetWebFormSize(640, 480);
    ASSERT_FALSE(nextPicture().pixels.empty());
    const long before = residentKilobytes();
    for (int step = 1; step <= 40; ++step) {
        SetWebFormSize(2400 + 20 * step, 1800 + 15 * step); // some 15 MB each, drawn into by every frame
        ASSERT_FALSE(nextPicture().pixels.empty()) << step;
    }
    const long grown = residentKilobytes() - before;
    EXPECT_LT(grown, 250 * 1024) << "kilobytes kept by 40 larger forms: " << grown;
    stdoutOf([] { closeCamera(); });
}

TEST_F(Viewport, OperationsWithoutACameraChangeNothing) {
    const std::vector<double> before = geometry();
    EXPECT_EQ(Web_SetMoveOffet(10, 10), -1);
    EXPECT_EQ(Web_ZoomIn(), -1);
    EXPECT_EQ(Web_ZoomOut(), -1);
    EXPECT_EQ(Web_TrueSize(), -1);
    EXPECT_EQ(Web_BestSize(), -1);
    EXPECT_EQ(Web_RotateL(), -1);
    EXPECT_EQ(Web_RotateR(), -1);
    FuncDisplayCenter(5, 5);
    EXPECT_EQ(geometry(), before);
}

TEST(ViewportRendering, VideoZoomToWebExScalesTheRegionToTheDestination) {
    cv::Mat frame = vcam::renderScene(640, 480);
    pZoomScale = 200;
    ShowWidth = 320;
    ShowHeight = 240;
    ZoomStartX = -100; // 50 frame pixels
    ZoomStartY = 0;
    cv::Mat destination(120, 160, CV_8UC3, cv::Scalar(0, 0, 0));
    const uchar* pixels = destination.data;
    VideoZoomToWebEx(frame, destination);
    cv::Mat expected;
    cv::resize(frame(cv::Rect(50, 0, 160, 120)), expected, cv::Size(160, 120), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(destination.data, pixels) << "a header of the right size keeps its buffer";
    EXPECT_EQ(cv::norm(destination, expected, cv::NORM_INF), 0);

    std::vector<uchar> output(320 * 240 * 3 + 1, 7);
    VideoZoomToWeb(frame, output.data());
    cv::resize(frame(cv::Rect(50, 0, 160, 120)), expected, cv::Size(320, 240), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(cv::norm(cv::Mat(240, 320, CV_8UC3, output.data()), expected, cv::NORM_INF), 0);
    EXPECT_EQ(output.back(), 7);

    // A region past the frame's edge is clipped, never read outside the frame.
    ZoomStartX = -2000;
    VideoZoomToWeb(frame, output.data());
    cv::resize(frame(cv::Rect(480, 0, 160, 120)), expected, cv::Size(320, 240), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(cv::norm(cv::Mat(240, 320, CV_8UC3, output.data()), expected, cv::NORM_INF), 0);
    velcap::test::resetLibrary();
}

} // namespace
