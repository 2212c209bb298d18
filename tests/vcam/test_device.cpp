// The virtual camera as a V4L2 device: what a program sees on its nodes.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "support/camera_test.h"

using velcap::test::CameraTest;
using velcap::test::documentCamera;

namespace {

class Device : public CameraTest {
protected:
    int openNode(const char* path = "/dev/video0") {
        int fd = ::open(path, O_RDWR);
        EXPECT_GE(fd, 0) << path << ": " << std::strerror(errno);
        return fd;
    }
};

TEST(Description, ParsesEveryStatement) {
    std::ofstream("/tmp/page.png", std::ios::binary) << "\x89PNG\r\n\x1a\n"; // a scene must look like a picture
    struct Removed {
        ~Removed() { std::remove("/tmp/page.png"); }
    } removed;
    vcam::Description d = vcam::parse(R"(
camera 3   # a comment
vendor 31a5
product 0802
card  Orvida: DocCam S5
driver uvcvideo
bus usb-1
serial AB12
format MJPG 640x480@30,15,5 1280x720
stepwise MJPG 16x16-4096x4096/16
format YUYV 640x480@0
control brightness -64 64 1 0 12
control focus_auto 0 1 1 1
scene /tmp/page.png
free-running
fault ioctl VIDIOC_S_FMT EINVAL
fault ioctl VIDIOC_QBUF 5
fault grant 2
fault adjust 800x600
fault pixfmt NV12
fault unplug 10 EIO
fault bad-index 4
fault mjpeg truncated 3
fault buffer-length 4096
fault bytesused 100
fault error-flag 7
first-frame 400
fault slow 25
clock real
unplug 12 replug 500
desk white
hand on
perspective 12.5
page-pose 7
shadow on
camera 4
no-ids
)");
    ASSERT_EQ(d.cameras.size(), 2u);
    const vcam::Camera& c = d.cameras[0];
    EXPECT_EQ(c.node, 3);
    EXPECT_EQ(c.card, "Orvida: DocCam S5");
    EXPECT_EQ(c.serial, "AB12");
    ASSERT_EQ(c.formats.size(), 2u);
    ASSERT_EQ(c.formats[0].sizes.size(), 3u);
    EXPECT_EQ(c.formats[0].sizes[0].rates, (std::vector<unsigned>{30, 15, 5}));
    EXPECT_EQ(c.formats[0].sizes[0].fps, 30u);
    EXPECT_EQ(c.formats[0].sizes[1].fps, 30u);
    EXPECT_TRUE(c.formats[0].sizes[2].stepwise);
    EXPECT_EQ(c.formats[1].sizes[0].fps, 0u);
    ASSERT_EQ(c.controls.size(), 2u);
    EXPECT_EQ(c.controls[0].value, 12);
    EXPECT_EQ(c.controls[1].value, 1);
    EXPECT_EQ(c.scene, "/tmp/page.png");
    EXPECT_TRUE(c.freeRunning);
    EXPECT_EQ(c.faults.ioctlErrno.at("VIDIOC_S_FMT"), EINVAL);
    EXPECT_EQ(c.faults.ioctlErrno.at("VIDIOC_QBUF"), 5);
    EXPECT_EQ(c.faults.grantBuffers, 2);
    EXPECT_EQ(c.faults.adjustWidth, 800u);
    EXPECT_EQ(c.faults.reportedFourcc, vcam::fourcc("NV12"));
    EXPECT_EQ(c.faults.unplugAfter, 10);
    EXPECT_EQ(c.faults.unplugErrno, EIO);
    EXPECT_EQ(c.faults.badIndexAfter, 4);
    EXPECT_EQ(c.faults.mjpeg, vcam::Faults::Mjpeg::Truncated);
    EXPECT_EQ(c.faults.mjpegAfter, 3);
    EXPECT_EQ(c.faults.bufferLength, 4096u);
    EXPECT_EQ(c.faults.bytesUsed, 100u);
    EXPECT_EQ(c.faults.errorEvery, 7);
    EXPECT_EQ(c.firstFrameMs, 400u);
    EXPECT_TRUE(c.realClock);
    EXPECT_EQ(c.faults.slowFrameMs, 25u);
    EXPECT_FALSE(d.cameras[1].realClock);
    EXPECT_EQ(c.unplugAfterFrames, 12);
    EXPECT_EQ(c.replugMs, 500);
    EXPECT_EQ(c.look.desk, "white");
    EXPECT_TRUE(c.look.hand);
    EXPECT_DOUBLE_EQ(c.look.perspective, 12.5);
    EXPECT_EQ(c.look.pose, 7u);
    EXPECT_TRUE(c.look.shadow);
    EXPECT_TRUE(d.cameras[1].look.usual());
    EXPECT_FALSE(d.cameras[1].udevIds);
    EXPECT_EQ(d.cameras[1].unplugAfterFrames, -1);
}

TEST(Description, ErrorsNameTheLine) {
    auto message = [](const char* text) {
        try {
            vcam::parse(text);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(message("vendor 31a5\n").find("line 1"), std::string::npos);
    EXPECT_NE(message("camera 0\nformat MJPEG 640x480\n").find("line 2"), std::string::npos);
    EXPECT_NE(message("camera 0\n\nformat MJPG 640\n").find("line 3"), std::string::npos);
    EXPECT_NE(message("camera 0\ncontrol wobble 0 1 1 0\n").find("wobble"), std::string::npos);
    EXPECT_NE(message("camera 0\ncamera 0\n").find("twice"), std::string::npos);
    EXPECT_NE(message("camera 0\nfault melt 3\n").find("melt"), std::string::npos);
    EXPECT_NE(message("camera 0\nformat MJPG 640x480@30,x\n").find("640x480@30,x"), std::string::npos);
    EXPECT_NE(message("camera 0\nunplug 5 later 3\n").find("unplug FRAMES"), std::string::npos);
    EXPECT_NE(message("camera 0\ncontrol gain 10 0 1 0\n").find("MIN..MAX"), std::string::npos);
    EXPECT_NE(message("camera 0\ndesk marble\n").find("desk dark|mid|light|white|wood"), std::string::npos);
    EXPECT_NE(message("camera 0\nhand maybe\n").find("hand on|off"), std::string::npos);
    EXPECT_NE(message("camera 0\nclock wall\n").find("clock real|frames"), std::string::npos);
    EXPECT_NE(message("camera 0\nshadow maybe\n").find("shadow on|off"), std::string::npos);
    // Hand-written values that would abort, overflow or take gigabytes.
    const std::string folder = testing::TempDir(), text = folder + "/velcap-not-a-picture.txt";
    std::ofstream(text) << "words";
    const std::pair<std::string, std::string> refused[] = {
        {"camera 0\nscene /nonexistent.png\n", "line 2: scene /nonexistent.png: No such file"},
        {"camera 0\nscene " + folder + "\n", "not a regular file"},
        {"camera 0\nscene " + text + "\n", "not a picture"},
        {"camera 0\npages 2147483647 1e-300\n", "line 2: pages COUNT"},
        {"camera 2147483647\n", "line 1: camera NODE"},
        {"camera 0\nformat YUYV 20000x20000\n", "line 2: size 20000x20000 is beyond"},
        {"camera 0\nstepwise YUYV 8x8-65536x65536/8\n", "is beyond"},
        {"camera 0\nserial A/B\n", "line 2: serial LETTERS-AND-DIGITS"},
    };
    for (const auto& [description, said] : refused)
        EXPECT_NE(message(description.c_str()).find(said), std::string::npos)
            << description << message(description.c_str());
    EXPECT_NE(message("camera 0\nperspective 45\n").find("0 to 30"), std::string::npos);
    EXPECT_THROW(vcam::load("/nonexistent/cameras.vcam"), std::runtime_error);
}

TEST(Description, DefaultHasTheDocumentCameraAndAWebcam) {
    vcam::Description d = vcam::defaultDescription();
    ASSERT_EQ(d.cameras.size(), 2u);
    const vcam::Camera& doc = d.cameras[0];
    const vcam::Format* mjpeg = doc.format(vcam::fourcc("MJPG"));
    const vcam::Format* yuyv = doc.format(vcam::fourcc("YUYV"));
    ASSERT_TRUE(mjpeg && yuyv);
    for (const auto& s : mjpeg->sizes) EXPECT_EQ(s.fps, s.height <= 1080 ? 30u : 15u) << s.width << "x" << s.height;
    for (const auto& s : yuyv->sizes)
        if (s.width * s.height > 1280 * 720) {
            EXPECT_LE(s.fps, 5u);
        }
    EXPECT_EQ(yuyv->sizes[0].fps, 30u);
    EXPECT_EQ(doc.controls.size(), 15u);
    EXPECT_TRUE(doc.mjpeg.sampling422 && !doc.mjpeg.huffmanTables) << "as many UVC cameras send MJPEG";
    EXPECT_EQ(mjpeg->sizes.back().rates, (std::vector<unsigned>{15, 10, 5}));
    EXPECT_NE(d.cameras[1].vendor, doc.vendor);
}

TEST(Description, UdevRecordsCarryTheIdentifiers) {
    vcam::Camera c = documentCamera(7);
    vcam::Camera bare = documentCamera(8);
    bare.udevIds = false;
    std::string records = vcam::udevRecords(vcam::Description{{c, bare}});
    EXPECT_NE(records.find("N: video7\nE: DEVNAME=/dev/video7\nE: SUBSYSTEM=video4linux\n"), std::string::npos);
    EXPECT_NE(records.find("E: ID_VENDOR_ID=31a5\nE: ID_MODEL_ID=0801\n"), std::string::npos);
    EXPECT_EQ(records.find("ID_VENDOR_ID", records.find("N: video8")), std::string::npos);
}

TEST(Description, UdevRecordsLookLikeAUvcCamera) {
    const std::string records = vcam::udevRecords(vcam::defaultDescription());
    // The USB device above each camera, its port agreeing with the bus info.
    for (const char* text :
         {"P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n", "P: /devices/pci0000:00/0000:00:14.0/usb1/1-2\n",
          "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/video4linux/video0\n",
          "P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/video4linux/video2\n", "A: idVendor=31a5\n",
          "E: ID_SERIAL=Orvida_DocCam_S8_VC1000\n", "E: ID_PATH=pci-0000:00:14.0-usb-0:1:1.0\n",
          "E: DEVLINKS=/dev/v4l/by-id/usb-Orvida_DocCam_S8_VC1000-video-index0 "
          "/dev/v4l/by-path/pci-0000:00:14.0-usb-0:1:1.0-video-index0\n"})
        EXPECT_NE(records.find(text), std::string::npos) << text;
    // The metadata node after the capture node, without the capture capability.
    const size_t metadata = records.find("N: video1\n");
    ASSERT_NE(metadata, std::string::npos);
    EXPECT_LT(records.find("E: ID_V4L_CAPABILITIES=:\n", metadata), records.find("\n\n", metadata));
    EXPECT_LT(records.find("A: index=1\n", metadata), records.find("\n\n", metadata));
    // A node number taken by another camera leaves no room for one.
    vcam::Description two{{documentCamera(0), documentCamera(1, "0802")}};
    EXPECT_FALSE(vcam::hasMetadataNode(two, two.cameras[0]));
    EXPECT_TRUE(vcam::hasMetadataNode(two, two.cameras[1]));
}

TEST_F(Device, AnswersCapabilityFormatAndSizeQueries) {
    int fd = openNode();
    v4l2_capability cap{};
    ASSERT_EQ(ioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(cap.card), "Orvida: DocCam S8");
    EXPECT_STREQ(reinterpret_cast<char*>(cap.driver), "uvcvideo");
    EXPECT_TRUE(cap.device_caps & V4L2_CAP_VIDEO_CAPTURE);
    EXPECT_TRUE(cap.device_caps & V4L2_CAP_STREAMING);

    std::vector<uint32_t> formats;
    for (v4l2_fmtdesc d{0, V4L2_BUF_TYPE_VIDEO_CAPTURE, 0, {}, 0, 0, {}}; ioctl(fd, VIDIOC_ENUM_FMT, &d) == 0;
         ++d.index)
        formats.push_back(d.pixelformat);
    EXPECT_EQ(formats, (std::vector<uint32_t>{V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV}));
    v4l2_fmtdesc wrongType{};
    wrongType.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(ioctl(fd, VIDIOC_ENUM_FMT, &wrongType), -1);
    EXPECT_EQ(errno, EINVAL);

    std::vector<std::pair<unsigned, unsigned>> sizes;
    v4l2_frmsizeenum s{};
    s.pixel_format = V4L2_PIX_FMT_YUYV;
    for (; ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &s) == 0; ++s.index) {
        EXPECT_EQ(s.type, V4L2_FRMSIZE_TYPE_DISCRETE);
        sizes.emplace_back(s.discrete.width, s.discrete.height);
    }
    EXPECT_EQ(sizes.size(), 4u);
    EXPECT_EQ(errno, EINVAL);

    v4l2_frmivalenum interval{};
    interval.pixel_format = V4L2_PIX_FMT_MJPEG;
    interval.width = 3264;
    interval.height = 2448;
    ASSERT_EQ(ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval), 0);
    EXPECT_EQ(interval.discrete.denominator, 15u);

    EXPECT_EQ(ioctl(fd, VIDIOC_G_STD, &s), -1);
    EXPECT_EQ(errno, ENOTTY);
    ::close(fd);
}

TEST_F(Device, NodesLookLikeCharacterDevices) {
    struct stat st {};
    ASSERT_EQ(::stat("/dev/video0", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 81u);
    EXPECT_EQ(minor(st.st_rdev), 0u);
    int fd = openNode();
    struct stat fst {};
    ASSERT_EQ(::fstat(fd, &fst), 0);
    EXPECT_TRUE(S_ISCHR(fst.st_mode));
    int copy = ::dup(fd);
    ASSERT_GE(copy, 0);
    ::close(fd);
    v4l2_capability cap{};
    EXPECT_EQ(ioctl(copy, VIDIOC_QUERYCAP, &cap), 0) << "a duplicate outlives the original";
    ::close(copy);
    EXPECT_EQ(::open("/dev/video5", O_RDWR), -1) << "nodes outside the description do not exist";
}

TEST_F(Device, TheMetadataNodeAnswersAsUvcvideoMakesIt) {
    int fd = openNode("/dev/video1");
    v4l2_capability cap{};
    ASSERT_EQ(ioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(cap.device_caps & (V4L2_CAP_META_CAPTURE | V4L2_CAP_VIDEO_CAPTURE), unsigned(V4L2_CAP_META_CAPTURE));
    EXPECT_TRUE(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE) << "the whole device captures video";
    v4l2_fmtdesc d{};
    d.type = V4L2_BUF_TYPE_META_CAPTURE;
    ASSERT_EQ(ioctl(fd, VIDIOC_ENUM_FMT, &d), 0);
    EXPECT_EQ(d.pixelformat, unsigned(V4L2_META_FMT_UVC));
    v4l2_requestbuffers req{};
    req.count = 2;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    EXPECT_EQ(ioctl(fd, VIDIOC_REQBUFS, &req), -1);
    ::close(fd);
}

TEST_F(Device, InjectedFailures) {
    vcam::Camera c = documentCamera();
    c.faults.ioctlErrno["VIDIOC_ENUM_FMT"] = EIO;
    c.faults.openErrno = 0;
    present(c);
    int fd = openNode();
    v4l2_fmtdesc d{};
    d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(ioctl(fd, VIDIOC_ENUM_FMT, &d), -1);
    EXPECT_EQ(errno, EIO);
    ::close(fd);

    c.faults = {};
    c.faults.openErrno = EBUSY;
    present(c);
    EXPECT_EQ(::open("/dev/video0", O_RDWR), -1);
    EXPECT_EQ(errno, EBUSY);
}

TEST_F(Device, ControlsKeepTheirValues) {
    int fd = openNode();
    v4l2_queryctrl q{};
    q.id = V4L2_CID_CONTRAST;
    ASSERT_EQ(ioctl(fd, VIDIOC_QUERYCTRL, &q), 0);
    EXPECT_EQ(q.maximum, 95);
    EXPECT_EQ(q.default_value, 32);
    v4l2_control set{V4L2_CID_CONTRAST, 50};
    ASSERT_EQ(ioctl(fd, VIDIOC_S_CTRL, &set), 0);
    ::close(fd);

    fd = openNode();
    v4l2_control get{V4L2_CID_CONTRAST, 0};
    ASSERT_EQ(ioctl(fd, VIDIOC_G_CTRL, &get), 0);
    EXPECT_EQ(get.value, 50);
    v4l2_control unknown{V4L2_CID_HFLIP, 0};
    EXPECT_EQ(ioctl(fd, VIDIOC_G_CTRL, &unknown), -1);

    // Walking the controls the way v4l2-ctl does.
    int count = 0;
    v4l2_queryctrl walk{};
    walk.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (ioctl(fd, VIDIOC_QUERYCTRL, &walk) == 0) {
        ++count;
        walk.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    EXPECT_EQ(count, 17) << "fifteen controls and the heads of their two classes";
    ::close(fd);
}

} // namespace
