// The launcher runs unmodified programs, written by others, against the
// virtual cameras: from the build tree (of any name) and from an installation.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/shell.h"

using velcap::test::run;

namespace {

std::string buildDir() {
    return std::getenv("VELCAP_BUILD_DIR");
}

std::string launcher() {
    return buildDir() + "/vcam/velcap-vcam";
}

TEST(Launcher, V4l2CtlSeesTheDescribedFormatsAndSizes) {
    auto [out, status] = run(launcher() + " -- v4l2-ctl -d /dev/video0 --info --list-formats-ext");
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Card type        : Orvida: DocCam S8"), std::string::npos) << out;
    EXPECT_NE(out.find("'MJPG' (Motion-JPEG, compressed)"), std::string::npos) << out;
    EXPECT_NE(out.find("'YUYV' (YUYV 4:2:2)"), std::string::npos) << out;
    for (const char* size : {"640x480", "1280x720", "1920x1080", "2592x1944", "3264x2448", "1600x1200"})
        EXPECT_NE(out.find(std::string("Size: Discrete ") + size), std::string::npos) << size;
    EXPECT_NE(out.find("(15.000 fps)"), std::string::npos);

    auto [webcam, webcamStatus] = run(launcher() + " -- v4l2-ctl -d /dev/video2 --info");
    EXPECT_EQ(webcamStatus, 0);
    EXPECT_NE(webcam.find("Generic USB Webcam"), std::string::npos) << webcam;
}

TEST(Launcher, PeersStreamFromTheVirtualCamera) {
    const std::string frames = testing::TempDir() + "/velcap-stream.mjpg";
    auto [ctl, ctlStatus] = run(launcher() +
                                " -- v4l2-ctl -d /dev/video0 --set-fmt-video=width=1280,height=720,pixelformat=MJPG"
                                " --stream-mmap --stream-count=8 --stream-to=" +
                                frames);
    ASSERT_EQ(ctlStatus, 0) << ctl;
    // Eight JPEG pictures, each a frame of the stream.
    auto [decoded, decodedStatus] = run("ffmpeg -v error -f mjpeg -i " + frames +
                                        " -f null - -stats 2>&1; "
                                        "ffprobe -v error -count_frames -show_entries stream=nb_read_frames,width "
                                        "-of csv=p=0 -f mjpeg " +
                                        frames);
    EXPECT_NE(decoded.find("1280,8"), std::string::npos) << decoded;

    // A run that streams leaves nothing behind in the temporary folder.
    const std::string scratch = testing::TempDir() + "/velcap-launcher-tmp";
    run("rm -rf " + scratch + " && mkdir -p " + scratch);
    auto [streamed, streamedStatus] =
        run("TMPDIR=" + scratch + " " + launcher() + " -- v4l2-ctl -d /dev/video0 --stream-mmap --stream-count=3");
    EXPECT_EQ(streamedStatus, 0) << streamed;
    EXPECT_EQ(run("ls -A " + scratch).first, "") << "left behind";

    // uStreamer keeps its requests in an int, as many programs do: they reach the camera sign-extended.
    // Its first pictures are its own placeholder; the camera's follow.
    const std::string socket = testing::TempDir() + "/velcap-ustreamer.sock", snapshot = socket + ".jpg";
    const std::string size = "ffprobe -v error -show_entries stream=width,height -of csv=p=0 " + snapshot;
    const std::string script =
        "ustreamer --device /dev/video0 --format MJPEG --resolution 1280x720 --unix " + socket +
        " --unix-rm --exit-on-parent-death >/dev/null 2>&1 & server=$!; for i in $(seq 100); do curl -sf "
        "--unix-socket " +
        socket + " -o " + snapshot + " http://localhost/snapshot && " + size +
        " | grep -q 1280,720 && break; sleep 0.1; done; kill $server; wait $server 2>/dev/null; " + size;
    auto [served, servedStatus] = run(launcher() + " -- sh -c '" + script + "'");
    EXPECT_NE(served.find("1280,720"), std::string::npos) << served;
    run("rm -f " + socket + " " + snapshot);

    for (const char* format : {"mjpeg", "yuyv422"}) {
        auto [out, status] = run(launcher() + " -- ffmpeg -nostdin -hide_banner -f v4l2 -input_format " + format +
                                 " -video_size 640x480 -i /dev/video0 -frames:v 10 -f null -");
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find("frame=   10"), std::string::npos) << out;
        EXPECT_NE(out.find("640x480"), std::string::npos) << out;
    }
}

TEST(Launcher, ControlValuesLastForTheRun) {
    // Two programs in one run: the second reads what the first set.
    auto [out, status] = run(launcher() + " -- sh -c 'v4l2-ctl -d /dev/video0 --set-ctrl brightness=40 && "
                                          "v4l2-ctl -d /dev/video0 --get-ctrl brightness'");
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("brightness: 40"), std::string::npos) << out;
    // A new run starts from the defaults, as a camera plugged in again does.
    auto [fresh, freshStatus] = run(launcher() + " -- v4l2-ctl -d /dev/video0 --get-ctrl brightness");
    EXPECT_NE(fresh.find("brightness: 0"), std::string::npos) << fresh;
}

TEST(Launcher, V4l2ComplianceFindsNoFailures) {
    for (const char* options : {"", " -s 10"}) {
        auto [out, status] = run(launcher() + " -- v4l2-compliance -d /dev/video0" + options);
        const size_t total = out.find("Total for uvcvideo device /dev/video0:");
        ASSERT_NE(total, std::string::npos) << out;
        EXPECT_NE(out.find("Failed: 0", total), std::string::npos) << out.substr(total);
        EXPECT_EQ(status, 0) << options;
    }
}

TEST(Launcher, LibV4l2ClientsStream) {
    const std::string frames = testing::TempDir() + "/velcap-libv4l2.yuyv";
    auto [out, status] = run(launcher() +
                             " -- v4l2-ctl -w -d /dev/video0 --info "
                             "--set-fmt-video=width=640,height=480,pixelformat=YUYV "
                             "--stream-mmap --stream-count=5 --stream-to=" +
                             frames);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Driver Info (using libv4l2)"), std::string::npos) << out;
    std::ifstream in(frames, std::ios::binary | std::ios::ate);
    EXPECT_EQ(in.tellg(), std::streamoff(5 * 640 * 480 * 2));
}

TEST(Launcher, GStreamerStreamsWithAndWithoutLibV4l2) {
    for (const char* libv4l2 : {"0", "1"}) {
        const std::string frames = testing::TempDir() + "/velcap-gst-" + libv4l2;
        auto [out, status] = run("rm -rf " + frames + " && mkdir -p " + frames + " && GST_V4L2_USE_LIBV4L2=" + libv4l2 +
                                 " " + launcher() +
                                 " -- gst-launch-1.0 -q v4l2src device=/dev/video0 num-buffers=5 ! "
                                 "image/jpeg,width=1280,height=720 ! jpegdec ! video/x-raw,width=1280,height=720 ! "
                                 "jpegenc ! multifilesink location=" +
                                 frames + "/%02d.jpg && ls " + frames + " | wc -l");
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find("5\n"), std::string::npos) << "libv4l2 " << libv4l2 << ": " << out;
    }
}

TEST(Launcher, TheProcessesOfARunShareTheCamera) {
    // The format one program set is the next one's.
    auto [format, formatStatus] =
        run(launcher() + " -- sh -c 'v4l2-ctl -d /dev/video0 --set-fmt-video=width=1280,height=720,pixelformat=YUYV && "
                         "v4l2-ctl -d /dev/video0 --get-fmt-video'");
    ASSERT_EQ(formatStatus, 0) << format;
    EXPECT_NE(format.find("Width/Height      : 1280/720"), std::string::npos) << format;
    EXPECT_NE(format.find("'YUYV'"), std::string::npos) << format;

    // While one program streams, a second one is refused.
    const std::string log = testing::TempDir() + "/velcap-first-stream.out";
    auto [busy, busyStatus] =
        run(launcher() + " -- sh -c 'v4l2-ctl -d /dev/video0 --stream-mmap --stream-count=100000 > " + log +
            " 2>&1 & first=$!; until grep -q \\< " + log +
            "; do sleep 0.05; done; "
            "v4l2-ctl -d /dev/video0 --stream-mmap --stream-count=1; kill $first; wait $first'");
    EXPECT_NE(busy.find("VIDIOC_REQBUFS returned -1 (Device or resource busy)"), std::string::npos) << busy;
}

TEST(Launcher, AnUnpluggedCameraGoesAndComesBack) {
    const std::string config = testing::TempDir() + "/velcap-unplug.vcam";
    std::ofstream(config) << "camera 0\nvendor 31a5\nproduct 0801\ncard Orvida: DocCam S8\n"
                             "format MJPG 640x480@30\nunplug 5 replug 1500\n";
    auto [out, status] =
        run(launcher() + " --config " + config +
            " -- sh -c '"
            "v4l2-ctl -d /dev/video0 --stream-mmap --stream-count=20; "
            "echo gone:; v4l2-ctl -d /dev/video0 --info; " +
            buildDir() +
            "/tools/velcap-list; "
            "for i in $(seq 100); do v4l2-ctl -d /dev/video0 --info >/dev/null 2>&1 && break; sleep 0.1; done; "
            "echo back:; " +
            buildDir() + "/tools/velcap-list'");
    const size_t gone = out.find("gone:"), back = out.find("back:");
    ASSERT_NE(gone, std::string::npos) << out;
    ASSERT_NE(back, std::string::npos) << out;
    EXPECT_NE(out.substr(0, gone).find("No such device"), std::string::npos) << out;
    const std::string whileGone = out.substr(gone, back - gone);
    EXPECT_NE(whileGone.find("Cannot open device /dev/video0"), std::string::npos) << whileGone;
    EXPECT_NE(whileGone.find("no supported camera found"), std::string::npos) << whileGone;
    EXPECT_NE(out.find("camera 0:  DocCam S8", back), std::string::npos) << out.substr(back);
}

TEST(Launcher, ConfigFileReplacesTheDefaultCameras) {
    const std::string config = testing::TempDir() + "/launcher.vcam";
    std::ofstream(config) << "camera 4\nvendor 31a5\nproduct 0502\ncard Orvida: DocCam S5\n"
                             "format YUYV 800x600@20\n";
    auto [out, status] = run(launcher() + " --config " + config + " -- " + buildDir() + "/tools/velcap-list");
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("node:/dev/video4"), std::string::npos) << out;
    EXPECT_NE(out.find("camera 0:  DocCam S5"), std::string::npos) << out;
    EXPECT_NE(out.find("YUYV: 800x600\n"), std::string::npos) << out;

    auto [ctl, ctlStatus] = run(launcher() + " --config " + config + " -- v4l2-ctl -d /dev/video0 --info");
    EXPECT_NE(ctlStatus, 0) << "the default camera is gone: " << ctl;
}

TEST(Launcher, RefusesBadUsage) {
    EXPECT_EQ(run(launcher()).second, 2);
    EXPECT_EQ(run(launcher() + " --config /nonexistent.vcam -- true").second, 2);
    const std::string bad = testing::TempDir() + "/velcap-bad.vcam";
    auto [out, status] = run("printf 'camera x\\n' > " + bad + "; " + launcher() + " --config " + bad + " -- true");
    std::remove(bad.c_str());
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("line 1"), std::string::npos) << out;
}

TEST(Launcher, AProcessThatExitsWhileStreamingEndsCleanly) {
    // Frames as fast as they are taken: the stream thread is always at work.
    const std::string config = testing::TempDir() + "/velcap-free.vcam";
    std::ofstream(config) << "camera 0\nvendor 31a5\nproduct 0801\ncard Orvida: DocCam S8\nfree-running\n"
                             "format MJPG 640x480 1280x720\n";
    for (int round = 0; round < 10; ++round) {
        auto [out, status] =
            run(launcher() + " --config " + config + " -- " + buildDir() + "/tests/exit_while_streaming");
        EXPECT_EQ(status, 0) << out;
        EXPECT_EQ(out.find("terminate called"), std::string::npos) << out;
    }
}

TEST(Launcher, WorksFromAnInstallation) {
    const std::string prefix = testing::TempDir() + "/velcap-install";
    auto [installed, status] = run("rm -rf " + prefix + " && cmake --install " + buildDir() + " --prefix " + prefix);
    ASSERT_EQ(status, 0) << installed;
    auto [out, runStatus] = run(prefix + "/bin/velcap-vcam -- " + prefix + "/bin/velcap-list");
    ASSERT_EQ(runStatus, 0) << out;
    EXPECT_NE(out.find("MJPEG: 640x480 1280x720 1920x1080 2592x1944 3264x2448 3672x2856"), std::string::npos) << out;
    auto [pc, pcStatus] =
        run("PKG_CONFIG_PATH=$(dirname $(find " + prefix + " -name velcap.pc)) pkg-config --cflags --libs velcap");
    EXPECT_EQ(pcStatus, 0) << pc;
    EXPECT_NE(pc.find("-lvelcap"), std::string::npos) << pc;
}

} // namespace
