// Finding the supported cameras through libudev, and their display names.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "support/camera_test.h"

using velcap::test::CameraTest;
using velcap::test::documentCamera;
using velcap::test::stdoutOf;

namespace {

class Enumerate : public CameraTest {};

TEST(Split, PiecesAsSpecified) {
    using V = std::vector<std::string>;
    EXPECT_EQ(split("a::b", ":"), (V{"a", "", "b"}));
    EXPECT_EQ(split(":x", ":"), (V{"", "x"}));
    EXPECT_EQ(split("abc", ":"), (V{"abc"}));
    EXPECT_EQ(split("x:", ":"), (V{"x", ""})); // the appended separator ends the empty last piece
    EXPECT_EQ(split("", ":"), (V{""}));
    EXPECT_EQ(split("Orvida: DocCam S8", ":"), (V{"Orvida", " DocCam S8"}));
    EXPECT_EQ(split("a--b----c", "--"), (V{"a", "b", "", "c"}));
    EXPECT_EQ(split("a-b", ""), (V{"a-b"}));
}

TEST_F(Enumerate, DefaultCamerasListOnlyTheSupportedOne) {
    std::string out = stdoutOf([] { EXPECT_EQ(getDeviceCount(), 1); });
    EXPECT_EQ(deviceCount, 1);
    EXPECT_EQ(devices[0], "/dev/video0");
    EXPECT_EQ(out, "node:/dev/video0\n");
}

TEST_F(Enumerate, CamerasComeInTableOrderNotUdevOrder) {
    // Nodes in udev order 1, 4, 7 hold the table's entries 5, 0 and 3.
    present(vcam::Description{
        {documentCamera(1, gpyProduct[5]), documentCamera(4, gpyProduct[0]), documentCamera(7, gpyProduct[3])}});
    std::string out = stdoutOf([] { EXPECT_EQ(getDeviceCount(), 3); });
    EXPECT_EQ(devices[0], "/dev/video4");
    EXPECT_EQ(devices[1], "/dev/video7");
    EXPECT_EQ(devices[2], "/dev/video1");
    EXPECT_EQ(out, "node:/dev/video4\nnode:/dev/video7\nnode:/dev/video1\n");
}

TEST_F(Enumerate, TwoCamerasOfOneModelCountOnceFirstNodeWins) {
    present(vcam::Description{{documentCamera(3), documentCamera(5)}});
    stdoutOf([] { EXPECT_EQ(getDeviceCount(), 1); });
    EXPECT_EQ(devices[0], "/dev/video3");
}

TEST_F(Enumerate, DevicesWithoutIdentifiersOrOfOtherMakersAreIgnored) {
    vcam::Camera noIds = documentCamera(0);
    noIds.udevIds = false;
    vcam::Camera otherVendor = documentCamera(1);
    otherVendor.vendor = "31a6";
    vcam::Camera upperCase = documentCamera(2, "0A01");
    upperCase.vendor = "31A5"; // udev gives lowercase; the comparison is exact
    vcam::Camera supported = documentCamera(6, gpyProduct[8]);
    present(vcam::Description{{noIds, otherVendor, upperCase, supported}});
    stdoutOf([] { EXPECT_EQ(getDeviceCount(), 1); });
    EXPECT_EQ(devices[0], "/dev/video6");
}

TEST_F(Enumerate, AllNineModelsAreFound) {
    vcam::Description d;
    for (int i = 0; i < 9; ++i) d.cameras.push_back(documentCamera(10 + i, gpyProduct[8 - i]));
    present(d);
    stdoutOf([] { EXPECT_EQ(getDeviceCount(), 9); });
    for (int i = 0; i < 9; ++i) EXPECT_EQ(devices[i], "/dev/video" + std::to_string(18 - i));
}

TEST_F(Enumerate, NoCameraGivesZeroAndNoName) {
    present(vcam::Description{});
    EXPECT_EQ(getDeviceCount(), 0);
    EXPECT_EQ(deviceCount, 0);
    EXPECT_EQ(getCameraName(0), nullptr);
}

TEST_F(Enumerate, NamesFollowTheCardName) {
    vcam::Camera colon = documentCamera(0, gpyProduct[0]);
    colon.card = "Orvida: DocCam S8";
    vcam::Camera plain = documentCamera(1, gpyProduct[1]);
    plain.card = "DocCam S5";
    vcam::Camera empty = documentCamera(2, gpyProduct[2]);
    empty.card = "";
    vcam::Camera twoColons = documentCamera(3, gpyProduct[3]);
    twoColons.card = "A:B:C";
    present(vcam::Description{{colon, plain, empty, twoColons}});
    stdoutOf([] {
        ASSERT_STREQ(getCameraName(0), " DocCam S8"); // the blank after the colon stays
        ASSERT_STREQ(getCameraName(1), "DocCam S5");
        ASSERT_STREQ(getCameraName(2), "");
        ASSERT_STREQ(getCameraName(3), "B");
        EXPECT_EQ(getCameraName(4), nullptr);
        EXPECT_EQ(getCameraName(-1), nullptr);
    });
    EXPECT_EQ(cam_fd, -1);
}

TEST_F(Enumerate, NameEnumeratesWhenNothingIsKnownYet) {
    deviceCount = 0;
    std::string out = stdoutOf([] { EXPECT_STREQ(getCameraName(0), " DocCam S8"); });
    EXPECT_EQ(out, "node:/dev/video0\n");
    EXPECT_EQ(deviceCount, 1);
}

TEST_F(Enumerate, FailedCapabilityQueryGivesTheEmptyName) {
    vcam::Camera c = documentCamera(0);
    c.faults.ioctlErrno["VIDIOC_QUERYCAP"] = EIO;
    present(c);
    stdoutOf([] { EXPECT_STREQ(getCameraName(0), ""); });
}

TEST_F(Enumerate, NodeThatCannotBeOpenedGivesNoName) {
    vcam::Camera c = documentCamera(0);
    c.faults.openErrno = EACCES;
    present(c);
    stdoutOf([] { EXPECT_EQ(getCameraName(0), nullptr); });
    EXPECT_EQ(cam_fd, -1);
}

TEST_F(Enumerate, NameLeavesTheDescriptorOfAnOpenCameraAlone) {
    stdoutOf([] { getDeviceCount(); });
    // Stand in for an open camera's descriptor.
    int fd = ::open("/dev/video0", O_RDWR);
    ASSERT_GE(fd, 0);
    cam_fd = fd;
    stdoutOf([] { EXPECT_STREQ(getCameraName(0), " DocCam S8"); });
    EXPECT_EQ(cam_fd, fd);
    v4l2_capability cap{};
    EXPECT_EQ(ioctl(fd, VIDIOC_QUERYCAP, &cap), 0) << "the descriptor was closed";
    cam_fd = -1;
    ::close(fd);
}

} // namespace
