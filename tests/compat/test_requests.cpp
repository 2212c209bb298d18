// Capture and recognition requests: the host's thread asks, the stream thread
// serves, and every way a request can fail has its own answer.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "support/camera_test.h"
#include "support/capture_test.h"

using velcap::test::CaptureTest;
using velcap::test::documentCamera;
using velcap::test::stdoutOf;

namespace {

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

void touch(const std::string& path) {
    std::ofstream(path) << "old";
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

using Requests = CaptureTest;

TEST_F(Requests, WithoutACameraNothingIsPostedOrTouched) {
    const std::string path = file("kept.jpg");
    touch(path);
    EXPECT_EQ(captureImage(path.c_str()), -1);
    EXPECT_TRUE(exists(path));
    EXPECT_FALSE(isShootPhoto);
    EXPECT_STREQ(RecogBarQrCode(1), "");
    EXPECT_EQ(IsRecogBarQr, -99) << "a recognition was left pending";
}

TEST_F(Requests, PathsThatDoNotFitAreRefusedNotTruncated) {
    ASSERT_EQ(open(0, 640, 480), 0);
    EXPECT_EQ(captureImage(nullptr), -5);
    EXPECT_EQ(captureImage(""), -5);

    const std::string folder = file("");
    const std::string longest = folder + std::string(254 - folder.size() - 4, 'a') + ".png";
    ASSERT_EQ(longest.size(), 254u);
    const std::string tooLong = folder + std::string(255 - folder.size() - 4, 'a') + ".png";
    std::string log = stdoutOf([&] { EXPECT_EQ(captureImage(tooLong.c_str()), -5); });
    EXPECT_NE(log.find("255"), std::string::npos) << log;
    EXPECT_FALSE(exists(tooLong.substr(0, 254)));
    EXPECT_EQ(shoot(longest), 0);
}

TEST_F(Requests, FilesThatCannotBeWrittenFail) {
    ASSERT_EQ(open(0, 640, 480), 0);
    EXPECT_EQ(shoot(file("missing/folder.jpg")), -4);
    EXPECT_EQ(shoot(file("unknown.xyz")), -4);

    // Captures that write nothing leave an older file as it was: a colour
    // mode or an orientation the library does not know, an unknown format.
    const std::string path = file("nothing.jpg");
    touch(path);
    colorMode = 3;
    EXPECT_EQ(shoot(path), -4);
    EXPECT_EQ(contents(path), "old");
    colorMode = 0;
    RotateAngle = 7;
    EXPECT_EQ(shoot(path), -4);
    EXPECT_EQ(contents(path), "old");
    const std::string notes = file("notes.txt");
    touch(notes);
    EXPECT_EQ(shoot(notes), -4);
    EXPECT_EQ(contents(notes), "old");
    EXPECT_STREQ(RecogBarQrCode(1), "");
    RotateAngle = 0;
    EXPECT_EQ(shoot(path), 0);
}

TEST_F(Requests, RequestsNotServedInTimeAreWithdrawn) {
    ASSERT_EQ(open(0, 1280, 720), 0);
    ASSERT_STREQ(RecogBarQrCode(1), vcam::kSceneQrText);

    // Frames that reach no stage: the stream runs but serves nothing.
    const std::string path = file("late.jpg");
    std::string late;
    stdoutOf([&] {
        RotateFlag = 1 << 30;
        std::thread recognition([&] { late = RecogBarQrCode(1); });
        EXPECT_EQ(captureImage(path.c_str()), -2);
        recognition.join();
        RotateFlag = 0;
        sink().reset();
        ASSERT_TRUE(sink().waitFor(5));
    });
    EXPECT_EQ(late, "") << "a timed-out recognition returned an earlier result";
    EXPECT_FALSE(exists(path)) << "a withdrawn capture was served late";
    EXPECT_FALSE(isShootPhoto);
    EXPECT_EQ(IsRecogBarQr, -99);
    EXPECT_STREQ(RecogBarQrCode(-99), vcam::kSceneQrText) << "the last text read";
}

TEST_F(Requests, AStoppedStreamIsReported) {
    vcam::Camera camera = documentCamera();
    camera.faults.unplugAfter = 5;
    present(camera);
    ASSERT_EQ(open(0, 640, 480), 0);
    // Five frames, then the camera is gone and the stream thread ends.
    ASSERT_TRUE(sink().waitFor(5));
    std::string log = stdoutOf([&] { EXPECT_EQ(captureImage(file("gone.jpg").c_str()), -3); });
    EXPECT_FALSE(exists(file("gone.jpg")));
    EXPECT_STREQ(RecogBarQrCode(1), "");
}

TEST_F(Requests, TheStreamThreadCannotWaitForItself) {
    ASSERT_EQ(open(0, 640, 480), 0);
    struct Seen {
        std::atomic<int> capture{1};
        std::atomic<bool> recognitionEmpty{false};
        std::atomic<bool> done{false};
    };
    auto seen = std::make_shared<Seen>();
    const std::string path = file("self.jpg");
    sink().onFrame([seen, path](const cv::Mat&) {
        if (seen->done) return;
        seen->capture = captureImage(path.c_str());
        seen->recognitionEmpty = *RecogBarQrCode(1) == '\0';
        seen->done = true;
    });
    std::string log = stdoutOf([&] { ASSERT_TRUE(sink().waitFor(2)); });
    sink().onFrame(nullptr);
    ASSERT_TRUE(seen->done);
    EXPECT_EQ(seen->capture, -6);
    EXPECT_TRUE(seen->recognitionEmpty);
    EXPECT_FALSE(isShootPhoto);
    EXPECT_NE(log.find("stream thread"), std::string::npos) << log;
}

TEST_F(Requests, CallersOnTwoThreadsEachGetTheirFile) {
    ASSERT_EQ(open(0, 1280, 720), 0);
    std::atomic<int> first{1}, second{1};
    stdoutOf([&] {
        std::thread other([&] { second = captureImage(file("second.png").c_str()); });
        first = captureImage(file("first.png").c_str());
        other.join();
    });
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_TRUE(exists(file("first.png")));
    EXPECT_TRUE(exists(file("second.png")));
}

TEST_F(Requests, ReadsTheScenesCodesFromTheStream) {
    for (int format : {0, 1}) {
        ASSERT_EQ(open(format, 1920, 1080), 0);
        const char* qr = nullptr;
        std::string log = stdoutOf([&] { qr = RecogBarQrCode(1); });
        EXPECT_STREQ(qr, vcam::kSceneQrText) << format;
        EXPECT_EQ(log.find("BarQrContent:") != std::string::npos, format == 0) << log;

        // The text stays the caller's while another thread asks for a bar code.
        std::string bar;
        std::thread other([&] { bar = RecogBarQrCode(0); });
        other.join();
        EXPECT_EQ(bar, vcam::kSceneEan13);
        EXPECT_STREQ(qr, vcam::kSceneQrText);
        EXPECT_STREQ(RecogBarQrCode(-99), vcam::kSceneEan13);
        ASSERT_EQ(close(), 0);
    }
}

} // namespace

namespace {

// A sink that throws on its first line, and one that calls into the library.
std::atomic<int> sinkLines{0};
thread_local int sinkDepth = 0;
std::atomic<int> deepestSink{0};
void throwingSink(const char*) {
    if (sinkLines++ == 0) throw std::runtime_error("a host's sink failed");
}
void reenteringSink(const char*) {
    ++sinkLines;
    deepestSink = std::max(deepestSink.load(), ++sinkDepth);
    SetWebFormSize(0, 0); // says that it refuses the size: a line said inside the sink
    getCameraNode(0);
    --sinkDepth;
}

} // namespace

// What a host's log sink does costs that line at most: no wedged captures, no
// exception out of the library, no recursion.
TEST_F(Requests, LogSinksThatThrowOrCallBackLoseOnlyTheirLine) {
    // Straight calls: the fixture's helpers would put a sink of their own.
    auto session = [this](VelcapLogSink sink, std::initializer_list<const char*> names) {
        sinkLines = 0;
        SetLogSink(sink);
        SetVideoFormat(0);
        EXPECT_NO_THROW(getCameraResolutionCount(0));
        EXPECT_NO_THROW(EXPECT_EQ(openCamera(0, 640, 480), 0));
        for (const char* name : names) EXPECT_EQ(captureImage(file(name).c_str()), 0) << name;
        EXPECT_NO_THROW(closeCamera());
        SetLogSink(nullptr);
        EXPECT_GT(sinkLines, 1);
        for (const char* name : names) EXPECT_TRUE(exists(file(name))) << name;
    };
    session(throwingSink, {"one.jpg", "two.jpg"});
    session(reenteringSink, {"three.jpg"});
    EXPECT_EQ(deepestSink, 1) << "a line said inside the sink entered it again";
}

// Frames that do not decode are neither shown nor photographed: the capture
// waits for a whole frame and fails when none comes.
TEST_F(Requests, UndecodableFramesAreNeitherDeliveredNorPhotographed) {
    vcam::Camera c = documentCamera();
    c.faults.bytesUsed = 1;
    present(c);
    ASSERT_EQ(open(0, 640, 480), 0);
    const std::string path = file("x.png");
    std::string log;
    EXPECT_EQ(shoot(path, &log), -2) << log;
    EXPECT_FALSE(exists(path));
    EXPECT_GT(vcam::activity(0).dequeued, 10u);
    EXPECT_EQ(sink().count(), 0);
    close();
}
