// Opening, streaming and closing a camera, on the virtual camera.
#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "compat/flat.h"
#include "support/camera_test.h"
#include "support/frame_sink.h"
#include "support/shell.h"

using namespace std::chrono_literals;
using velcap::test::CameraTest;
using velcap::test::documentCamera;
using velcap::test::FrameSink;
using velcap::test::stdoutOf;

namespace {

class Stream : public velcap::test::SinkTest {
protected:
    // Mean absolute difference between a delivered frame (turned back by
    // angle) and the scene, outside the counter rows.
    static double differenceFromScene(cv::Mat frame, int angle, uint32_t fourcc) {
        if (angle == 1) cv::rotate(frame, frame, cv::ROTATE_90_COUNTERCLOCKWISE);
        if (angle == 2) cv::rotate(frame, frame, cv::ROTATE_180);
        if (angle == 3) cv::rotate(frame, frame, cv::ROTATE_90_CLOCKWISE);
        auto source = vcam::framesOf(documentCamera(), fourcc, unsigned(frame.cols), unsigned(frame.rows));
        const int strip = int(vcam::counterStripHeight(unsigned(frame.rows)));
        cv::Mat diff;
        cv::absdiff(frame.rowRange(strip, frame.rows), source->scene().rowRange(strip, frame.rows), diff);
        cv::Scalar mean = cv::mean(diff);
        return (mean[0] + mean[1] + mean[2]) / 3;
    }

    // Waits, with a bound, until the stream thread has ended by itself.
    static bool waitForStreamEnd() { return velcap::flatSession().waitUntilStopped(10s); }

    static void expectClosedState() {
        EXPECT_EQ(cam_fd, -1);
        EXPECT_FALSE(bKeep);
        EXPECT_TRUE(srcimage.empty());
        EXPECT_TRUE(roimage.empty());
        EXPECT_EQ(pdecode, nullptr);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(video_buffer_ptr[i], nullptr) << "buffer " << i;
        // With the camera's every file closed, no frame can come any more.
        const vcam::Activity device = vcam::activity(0);
        EXPECT_EQ(device.openFiles, 0u);
        EXPECT_FALSE(device.streaming);
    }
    // Waits (bounded) until the library has taken more frames from the camera.
    static bool waitForDequeued(uint64_t frames) {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (vcam::activity(0).dequeued < frames)
            if (std::chrono::steady_clock::now() > end)
                return false;
            else
                std::this_thread::sleep_for(5ms);
        return true;
    }
};

struct Mode {
    int format;
    int width, height;
};

TEST_F(Stream, OpenCloseCyclesDeliverFramesOfTheOpenedSize) {
    for (Mode m : {Mode{0, 640, 480}, Mode{0, 1920, 1080}, Mode{1, 640, 480}, Mode{0, 1280, 720}, Mode{1, 1280, 720},
                   Mode{0, 640, 480}}) {
        SCOPED_TRACE(std::to_string(m.format) + " " + std::to_string(m.width) + "x" + std::to_string(m.height));
        sink().reset();
        std::string out;
        ASSERT_EQ(open(m.format, m.width, m.height, &out), 0) << out;
        EXPECT_NE(out.find("velcap->openCamera OK\n"), std::string::npos);
        EXPECT_NE(out.find("Driver Name:uvcvideo Card Name:Orvida: DocCam S8 Bus info:"), std::string::npos);
        EXPECT_NE(out.find(m.format == 0 ? "pix.pixelformat:\tMJPG" : "pix.pixelformat:\tYUYV"), std::string::npos);
        EXPECT_NE(out.find("req.count: 5"), std::string::npos);
        EXPECT_TRUE(bKeep);
        EXPECT_EQ(nSize, m.width * m.height * 3);
        ASSERT_TRUE(sink().waitFor(3));
        cv::Mat frame = sink().last();
        EXPECT_EQ(frame.cols, m.width);
        EXPECT_EQ(frame.rows, m.height);
        EXPECT_EQ(close(), 0);
        const int delivered = sink().count();
        expectClosedState();
        EXPECT_EQ(sink().count(), delivered) << "a frame arrived after closeCamera returned";
    }
}

TEST_F(Stream, FramesShowTheSceneInRgbOrder) {
    for (int format : {0, 1}) {
        sink().reset();
        ASSERT_EQ(open(format, 1280, 720), 0);
        ASSERT_TRUE(sink().waitFor(2));
        cv::Mat frame = sink().last();
        close();
        const uint32_t fourcc = format == 0 ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
        EXPECT_LT(differenceFromScene(frame, 0, fourcc), 2.5) << "format " << format;
        // The desk is brown: red above blue, in the first channel.
        cv::Vec3b desk = frame.at<cv::Vec3b>(frame.rows - 5, 5);
        EXPECT_GT(desk[0], desk[2] + 15) << "channels are not R, G, B";
        // Consecutive frames differ in the counter rows only.
        EXPECT_EQ(frame.rows, 720);
    }
}

TEST_F(Stream, FixedOrientations) {
    for (int angle : {1, 2, 3}) {
        SCOPED_TRACE(angle);
        sink().reset();
        SetRotate(angle);
        ASSERT_EQ(open(0, 1280, 720), 0);
        ASSERT_TRUE(sink().waitFor(2));
        cv::Mat frame = sink().last();
        close();
        EXPECT_EQ(frame.cols, angle == 2 ? 1280 : 720);
        EXPECT_EQ(frame.rows, angle == 2 ? 720 : 1280);
        EXPECT_LT(differenceFromScene(frame, angle, V4L2_PIX_FMT_MJPEG), 2.5);
    }
    SetRotate(0);
}

TEST_F(Stream, UnknownOrientationDeliversNothingButTheStreamGoesOn) {
    SetRotate(7);
    ASSERT_EQ(open(1, 640, 480), 0);
    ASSERT_TRUE(waitForDequeued(6));
    EXPECT_EQ(sink().count(), 0);
    // Back to a known orientation, frames arrive from the next one on.
    SetRotate(0);
    ASSERT_TRUE(sink().waitFor(1));
    EXPECT_LT(differenceFromScene(sink().last(), 0, V4L2_PIX_FMT_YUYV), 2.5);
    close();
}

TEST_F(Stream, RotateFlagDropsFrames) {
    RotateFlag = 2;
    std::string out = stdoutOf([&] {
        SetVideoFormat(0);
        ASSERT_EQ(openCamera(0, 640, 480), 0);
        ASSERT_TRUE(sink().waitFor(1));
        closeCamera();
    });
    EXPECT_EQ(RotateFlag, 0);
    size_t count = 0;
    for (size_t at = out.find("RotateFlag--\n"); at != std::string::npos; at = out.find("RotateFlag--\n", at + 1))
        ++count;
    EXPECT_EQ(count, 2u);
}

TEST_F(Stream, InterpolatedSizeOpensTheLargestNativeSize) {
    ASSERT_EQ(open(1, 3672, 2856), 0);
    EXPECT_EQ(nWidth, 3264);
    EXPECT_EQ(nHeight, 2448);
    EXPECT_EQ(nSize, 23970816);
    EXPECT_TRUE(isInsert1000M);
    ASSERT_TRUE(sink().waitFor(1));
    EXPECT_EQ(sink().last().cols, 3264);

    std::string out;
    ASSERT_EQ(open(1, 3264, 2448, &out), 0);
    EXPECT_FALSE(isInsert1000M);
    close();
}

TEST_F(Stream, OpeningAnOpenCameraClosesItFirst) {
    ASSERT_EQ(open(0, 640, 480), 0);
    ASSERT_TRUE(sink().waitFor(1));
    std::string out;
    SetVideoFormat(0);
    out = stdoutOf([] { EXPECT_EQ(openCamera(0, 1280, 720), 0); });
    EXPECT_NE(out.find("---------openCamera > closeCamera BB---------\n---------openCamera closeCamera!---------\n"),
              std::string::npos)
        << out;
    sink().reset();
    ASSERT_TRUE(sink().waitFor(2));
    EXPECT_EQ(sink().last().cols, 1280);
    EXPECT_LT(differenceFromScene(sink().last(), 0, V4L2_PIX_FMT_MJPEG), 2.5);
    close();
}

TEST_F(Stream, CloseTwice) {
    ASSERT_EQ(open(0, 640, 480), 0);
    std::string first, second;
    EXPECT_EQ(close(&first), 0);
    EXPECT_EQ(first.find("munmap fail!!!"), std::string::npos);
    EXPECT_NE(first.find(">>>>>>>>>>>>> closeCamera 01!>>>>>>>>>>>>> closeCamera 02!"), std::string::npos);
    EXPECT_EQ(close(&second), 0);
    EXPECT_EQ(second, "munmap fail!!!munmap fail!!!munmap fail!!!munmap fail!!!munmap fail!!!");
    expectClosedState();
}

struct Failure {
    const char* name;
    std::function<void(vcam::Faults&)> inject;
    int code;
    const char* message;
};

TEST_F(Stream, EveryOpenFailureHasItsCodeAndMessage) {
    const Failure failures[] = {
        {"open",
         [](vcam::Faults& f) {
             f.openErrno = EACCES;
             f.openAfter = 1; // the enumeration opens it once
         },
         -3, "打开相机节点失败"},
        {"try", [](vcam::Faults& f) { f.ioctlErrno["VIDIOC_TRY_FMT"] = EINVAL; }, -5,
         "ioctl(VIDIOC_TRY_FMT) failed 22(Invalid argument)"},
        {"set", [](vcam::Faults& f) { f.ioctlErrno["VIDIOC_S_FMT"] = EBUSY; }, -6,
         "ioctl(VIDIOC_S_FMT) failed 16(Device or resource busy)"},
        {"get", [](vcam::Faults& f) { f.ioctlErrno["VIDIOC_G_FMT"] = EIO; }, -7, "set format failed!"},
        {"reqbufs", [](vcam::Faults& f) { f.ioctlErrno["VIDIOC_REQBUFS"] = ENOMEM; }, -8,
         "ioctl(VIDIOC_REQBUFS) failed 12(Cannot allocate memory)"},
        {"grant", [](vcam::Faults& f) { f.grantBuffers = 3; }, -9, "req.count: 3request buffer failed"},
        {"querybuf", [](vcam::Faults& f) { f.ioctlErrno["VIDIOC_QUERYBUF"] = EINVAL; }, -10,
         "ioctl(VIDIOC_QUERYBUF) failed 22(Invalid argument)"},
        {"mmap", [](vcam::Faults& f) { f.mmapErrno = ENOMEM; }, -11,
         "MAP_FAILED!!!!!!!!!!!!!!!!!!!!!!!!!!!!mmap() failed 12(Cannot allocate memory)"},
        {"qbuf", [](vcam::Faults& f) { f.ioctlErrno["VIDIOC_QBUF"] = EIO; }, -12,
         "ioctl(VIDIOC_QBUF) failed 5(Input/output error)"},
        {"streamon", [](vcam::Faults& f) { f.ioctlErrno["VIDIOC_STREAMON"] = ENOSPC; }, -13,
         "ioctl(VIDIOC_STREAMON) failed 28(No space left on device)\n"},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        vcam::Camera c = documentCamera();
        f.inject(c.faults);
        present(c);
        std::string out;
        EXPECT_EQ(open(0, 640, 480, &out), f.code);
        EXPECT_NE(out.find(f.message), std::string::npos) << out;
        EXPECT_EQ(out.find("velcap->openCamera OK"), std::string::npos);
        EXPECT_FALSE(bKeep);
        // A failed open leaves nothing open: no decoder, descriptor or mapping.
        EXPECT_EQ(pdecode, nullptr);
        EXPECT_EQ(cam_fd, -1);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(video_buffer_ptr[i], nullptr) << "buffer " << i;
        close();
        expectClosedState();

        // The camera works again once the fault is gone.
        present(documentCamera());
        ASSERT_EQ(open(0, 640, 480), 0);
        ASSERT_TRUE(sink().waitFor(1));
        close();
        sink().reset();
    }
}

TEST_F(Stream, NoCameraOrNoSizes) {
    EXPECT_EQ(open(0, 640, 480 + 0 * openCamera(5, 640, 480)), 0);
    close();
    EXPECT_EQ(openCamera(5, 640, 480), -1);
    EXPECT_EQ(openCamera(-1, 640, 480), -1);

    vcam::Camera c = documentCamera();
    for (auto& f : c.formats) f.sizes.clear();
    present(c);
    stdoutOf([] { EXPECT_EQ(openCamera(0, 640, 480), -2); });
    EXPECT_EQ(cam_fd, -1);

    present(vcam::Description{});
    EXPECT_EQ(openCamera(0, 640, 480), -1);
}

TEST_F(Stream, UnplugStopsTheStreamAndTheNextOpenRecovers) {
    vcam::Camera c = documentCamera();
    c.faults.unplugAfter = 4;
    present(c);
    std::string out = stdoutOf([&] {
        SetVideoFormat(0);
        ASSERT_EQ(openCamera(0, 640, 480), 0);
        ASSERT_TRUE(sink().waitFor(4));
        ASSERT_TRUE(waitForStreamEnd());
    });
    EXPECT_EQ(sink().count(), 4);
    EXPECT_NE(
        out.find("ioctl(VIDIOC_DQBUF) failed 19(No such device)grabImage error!!!!!!!!!!cam get image ret = -1\n"),
        std::string::npos)
        << out;
    EXPECT_TRUE(bKeep) << "the stream thread leaves bKeep as it was";
    EXPECT_NE(out.find("VideoStreamPro: the stream has ended: a frame could not be read (-1, No such device)"),
              std::string::npos)
        << out;

    // The same camera streams again: its unplug counts from each stream-on.
    sink().reset();
    std::string reopen = stdoutOf([] { EXPECT_EQ(openCamera(0, 640, 480), 0); });
    EXPECT_NE(reopen.find("---------openCamera > closeCamera BB---------"), std::string::npos);
    ASSERT_TRUE(sink().waitFor(2));
    close();
    expectClosedState();
}

TEST_F(Stream, AnUnpluggedCameraOpensAgainOnlyAfterItsReplug) {
    ASSERT_EQ(open(0, 640, 480), 0);
    ASSERT_TRUE(sink().waitFor(3));
    vcam::unplug(0);
    // The stream thread ends by itself; closing is clean.
    EXPECT_EQ(close(), 0);
    expectClosedState();

    // Gone: not found, and opening fails without leaving anything open.
    std::string out;
    const std::string found = stdoutOf([] { EXPECT_EQ(getDeviceCount(), 0); });
    EXPECT_EQ(found.find("node:"), std::string::npos) << found;
    EXPECT_LT(open(0, 640, 480, &out), 0) << out;
    EXPECT_EQ(cam_fd, -1);
    EXPECT_FALSE(bKeep);

    vcam::replug(0);
    stdoutOf([] { EXPECT_EQ(getDeviceCount(), 1); });
    sink().reset();
    ASSERT_EQ(open(0, 640, 480, &out), 0) << out;
    ASSERT_TRUE(sink().waitFor(3));
    EXPECT_LT(differenceFromScene(sink().last(), 0, vcam::fourcc("MJPG")), 6.0);
    close();
}

TEST_F(Stream, IncompleteFramesAreSkipped) {
    vcam::Camera c = documentCamera();
    c.faults.errorEvery = 2;
    present(c);
    std::atomic<double> worst{0};
    sink().onFrame([&](const cv::Mat& frame) {
        worst = std::max(worst.load(), differenceFromScene(frame.clone(), 0, vcam::fourcc("YUYV")));
    });
    std::string out;
    ASSERT_EQ(open(1, 640, 480), 0);
    out = stdoutOf([&] { ASSERT_TRUE(sink().waitFor(4)); });
    close();
    sink().onFrame(nullptr);
    EXPECT_LT(worst, 3.0) << "a frame with half of its bytes was shown";
    EXPECT_NE(out.find("came incomplete (the driver's error flag); skipped"), std::string::npos) << out;
}

TEST_F(Stream, ASecondProcessCannotStreamTheCameraMeanwhile) {
#ifdef VELCAP_SANITIZED
    GTEST_SKIP() << "a sanitized device library cannot be preloaded into another program";
#endif
    // The processes of a run share the camera through a state file, as through a driver.
    const std::string state = testing::TempDir() + "/velcap-shared.state";
    const std::string config = testing::TempDir() + "/velcap-shared.vcam";
    std::remove(state.c_str());
    FILE* file = std::fopen(config.c_str(), "w");
    std::fputs(vcam::defaultDescriptionText(), file);
    std::fclose(file);
    ::setenv("VELCAP_VCAM_STATE", state.c_str(), 1);
    present(vcam::defaultDescription());
    ASSERT_EQ(open(0, 640, 480), 0);
    ASSERT_TRUE(sink().waitFor(2));

    const std::string peer = "LD_PRELOAD=" + std::string(std::getenv("VELCAP_BUILD_DIR")) +
                             "/vcam/libvelcap-vcam.so:$LD_PRELOAD VELCAP_VCAM_STATE=" + state +
                             " VELCAP_VCAM_CONFIG=" + config +
                             " v4l2-ctl -d /dev/video0 --stream-mmap --stream-count=1 2>&1";
    const std::string busy = velcap::test::run(peer).first;
    EXPECT_NE(busy.find("VIDIOC_REQBUFS returned -1 (Device or resource busy)"), std::string::npos) << busy;
    close();
    auto [free, freeStatus] = velcap::test::run(peer);
    EXPECT_EQ(freeStatus, 0) << free;
    EXPECT_EQ(free.find("busy"), std::string::npos) << "the camera is free once the library has closed it: " << free;
    ::unsetenv("VELCAP_VCAM_STATE");
    std::remove(state.c_str());
}

TEST_F(Stream, InvalidBufferIndexStopsTheStream) {
    vcam::Camera c = documentCamera();
    c.faults.badIndexAfter = 2;
    present(c);
    std::string out = stdoutOf([&] {
        SetVideoFormat(1);
        ASSERT_EQ(openCamera(0, 640, 480), 0);
        ASSERT_TRUE(sink().waitFor(2));
        ASSERT_TRUE(waitForStreamEnd());
    });
    EXPECT_EQ(sink().count(), 2);
    EXPECT_NE(out.find("invalid buffer index: 99grabImage error!!!!!!!!!!cam get image ret = -100\n"),
              std::string::npos)
        << out;
    close();
    expectClosedState();
}

TEST_F(Stream, OtherPixelFormatStopsTheStream) {
    vcam::Camera c = documentCamera();
    c.faults.reportedFourcc = vcam::fourcc("NV12");
    present(c);
    std::string out = stdoutOf([&] {
        SetVideoFormat(1);
        ASSERT_EQ(openCamera(0, 640, 480), 0);
        ASSERT_TRUE(waitForStreamEnd());
    });
    EXPECT_NE(out.find("pix.pixelformat:\tNV12"), std::string::npos);
    EXPECT_NE(out.find("don't suport format"), std::string::npos);
    EXPECT_EQ(sink().count(), 0);
    close();
}

TEST_F(Stream, DamagedMjpegFramesNeverCrash) {
    for (auto kind : {vcam::Faults::Mjpeg::Corrupt, vcam::Faults::Mjpeg::Truncated, vcam::Faults::Mjpeg::Empty}) {
        vcam::Camera c = documentCamera();
        c.faults.mjpeg = kind;
        c.faults.mjpegAfter = 2;
        present(c);
        sink().reset();
        std::string out = stdoutOf([&] {
            SetVideoFormat(0);
            ASSERT_EQ(openCamera(0, 640, 480), 0);
            ASSERT_TRUE(sink().waitFor(2));
            ASSERT_TRUE(waitForDequeued(8)); // damaged frames went by
            EXPECT_TRUE(bKeep);
            closeCamera();
        });
        // The good frames came through; damaged ones are not delivered at all.
        cv::Mat frame = sink().last();
        EXPECT_LT(differenceFromScene(frame, 0, V4L2_PIX_FMT_MJPEG), 2.5);
        if (kind == vcam::Faults::Mjpeg::Corrupt) {
            EXPECT_NE(out.find("decode error.\n"), std::string::npos);
        }
        if (kind != vcam::Faults::Mjpeg::Truncated) {
            EXPECT_EQ(sink().count(), 2) << "a damaged frame was delivered";
        }
        expectClosedState();
    }
}

TEST_F(Stream, FramesIn422WithoutHuffmanTablesShowTheScene) {
    vcam::Description d = vcam::parse(std::string(vcam::defaultDescriptionText()) + "mjpeg 422 no-huffman\n");
    ASSERT_FALSE(d.cameras.back().mjpeg.huffmanTables);
    ASSERT_TRUE(d.cameras.back().mjpeg.sampling422);
    vcam::Camera c = documentCamera();
    c.mjpeg = d.cameras.back().mjpeg;
    present(c);
    std::string out;
    ASSERT_EQ(open(0, 1280, 720, &out), 0) << out;
    ASSERT_TRUE(sink().waitFor(3));
    out = stdoutOf([] { closeCamera(); });
    EXPECT_EQ(out.find("decode error"), std::string::npos);
    EXPECT_LT(differenceFromScene(sink().last(), 0, V4L2_PIX_FMT_MJPEG), 2.5);
}

TEST_F(Stream, FramesAsLargeAsTheDriversBuffersAreTaken) {
    // More bytes than the decoded frame has: the raw-frame buffer holds them.
    vcam::Camera c = documentCamera();
    c.faults.bufferLength = 640 * 480 * 3 + 8192;
    c.faults.bytesUsed = 640 * 480 * 3 + 8192;
    present(c);
    std::string out = stdoutOf([&] {
        SetVideoFormat(1);
        ASSERT_EQ(openCamera(0, 640, 480), 0);
        EXPECT_TRUE(sink().waitFor(3));
        closeCamera();
    });
    EXPECT_EQ(out.find("does not fit"), std::string::npos) << out;
}

TEST_F(Stream, TinyMjpegFramesLargerThanTheirPixelsAreTaken) {
    vcam::Camera c = documentCamera();
    c.formats = {vcam::Format{vcam::fourcc("MJPG"), {vcam::FrameSize{8, 8, 30}, vcam::FrameSize{16, 8, 30}}}};
    present(c);
    sink().reset();
    stdoutOf([&] {
        SetVideoFormat(0);
        getCameraResolutionCount(0);
        ASSERT_EQ(openCamera(0, 8, 8), 0);
        EXPECT_TRUE(sink().waitFor(3)) << "tiny frames were skipped";
        closeCamera();
    });
    EXPECT_EQ(sink().last().size(), cv::Size(8, 8));
}

TEST_F(Stream, TheStreamThreadCannotReopenItsOwnCamera) {
    ASSERT_EQ(open(0, 640, 480), 0);
    const int descriptor = cam_fd;
    struct Seen {
        std::atomic<int> open{0}, count{-1};
        std::atomic<bool> done{false};
    };
    auto seen = std::make_shared<Seen>();
    sink().onFrame([seen](const cv::Mat&) {
        if (seen->done) return;
        seen->open = openCamera(0, 1280, 720);
        seen->count = getCameraResolutionCount(0);
        seen->done = true;
    });
    std::string out = stdoutOf([&] { ASSERT_TRUE(sink().waitFor(3)); });
    sink().onFrame(nullptr);
    EXPECT_EQ(seen->open, -15);
    EXPECT_EQ(seen->count, 0);
    EXPECT_NE(out.find("openCamera: called on the stream thread; refused"), std::string::npos) << out;
    EXPECT_EQ(cam_fd, descriptor);
    const int before = sink().count();
    EXPECT_TRUE(sink().waitFor(before + 3)) << "the stream went on";
    EXPECT_EQ(close(), 0);
    EXPECT_EQ(open(0, 1280, 720), 0) << "the next open works";
}

TEST_F(Stream, SizesBeyondAFrameBufferAreRefused) {
    std::string out;
    EXPECT_EQ(open(0, 65536, 65536, &out), -16);
    EXPECT_NE(out.find("openCamera: 65536x65536 is not a frame size"), std::string::npos) << out;
    for (auto [w, h] : {std::pair{-640, 480}, {INT_MAX, INT_MAX}, {INT_MAX, 1}, {46341, 46341}})
        EXPECT_EQ(open(0, w, h), -16) << w << "x" << h;
    expectClosedState();
    EXPECT_EQ(open(0, 640, 480), 0);
}

TEST_F(Stream, MoreBuffersThanTheTableHolds) {
    vcam::Camera c = documentCamera();
    c.faults.grantBuffers = 8;
    present(c);
    std::string out;
    ASSERT_EQ(open(0, 640, 480, &out), 0);
    EXPECT_NE(out.find("req.count: 8openCamera: the driver granted 8 buffers; using 5\n"), std::string::npos) << out;
    ASSERT_TRUE(sink().waitFor(6));
    close();
    expectClosedState();
}

TEST_F(Stream, AdjustedSizeIsTheSizeOfTheFrames) {
    vcam::Camera c = documentCamera();
    c.faults.adjustWidth = 1280;
    c.faults.adjustHeight = 720;
    present(c);
    std::string out;
    ASSERT_EQ(open(1, 1920, 1080, &out), 0);
    EXPECT_NE(out.find("openCamera: the driver delivers 1280x720 in place of 1920x1080\n"), std::string::npos);
    EXPECT_EQ(nWidth, 1280);
    EXPECT_EQ(nHeight, 720);
    EXPECT_EQ(nSize, 1280 * 720 * 3);
    ASSERT_TRUE(sink().waitFor(1));
    cv::Mat frame = sink().last();
    EXPECT_EQ(frame.cols, 1280);
    EXPECT_LT(differenceFromScene(frame, 0, V4L2_PIX_FMT_YUYV), 2.5);
    close();
}

TEST_F(Stream, StillImageReplacesTheScene) {
    cv::Mat picture(480, 640, CV_8UC3);
    for (int y = 0; y < picture.rows; ++y)
        for (int x = 0; x < picture.cols; ++x) picture.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(x / 3), uchar(y / 2), 90);
    const std::string path = testing::TempDir() + "/velcap-scene.png";
    ASSERT_TRUE(cv::imwrite(path, picture)); // written as B, G, R
    vcam::Camera c = documentCamera();
    c.scene = path;
    present(c);
    ASSERT_EQ(open(1, 640, 480), 0);
    ASSERT_TRUE(sink().waitFor(1));
    cv::Mat frame = sink().last();
    close();
    const cv::Vec3b p = frame.at<cv::Vec3b>(400, 600);
    EXPECT_NEAR(p[0], 90, 3);
    EXPECT_NEAR(p[1], 200, 3);
    EXPECT_NEAR(p[2], 200, 3);
}

TEST_F(Stream, CloseWaitsForARunningCallback) {
    std::atomic<bool> inside{false}, finished{false};
    std::atomic<int> startedAfterClose{0};
    std::atomic<bool> closed{false};
    sink().onFrame([&](const cv::Mat&) {
        if (closed) ++startedAfterClose;
        inside = true;
        std::this_thread::sleep_for(300ms);
        finished = true;
    });
    ASSERT_EQ(open(0, 640, 480), 0);
    while (!inside) std::this_thread::sleep_for(1ms);
    finished = false;
    close();
    closed = true;
    EXPECT_TRUE(finished) << "closeCamera returned while the callback ran";
    expectClosedState();
    EXPECT_EQ(startedAfterClose, 0);
}

} // namespace
