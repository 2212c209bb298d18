// The frame sizes of a camera and the synthetic 3672 x 2856 size.
#include <climits>
#include <fcntl.h>
#include <unistd.h>

#include "support/camera_test.h"

using velcap::test::CameraTest;
using velcap::test::documentCamera;
using velcap::test::stdoutOf;

namespace {

class Resolution : public CameraTest {
protected:
    std::vector<std::pair<int, int>> sizes() {
        std::vector<std::pair<int, int>> out;
        for (int i = 0; i < getFormatResolutionCount(0); ++i) {
            int w = -1, h = -1;
            EXPECT_EQ(getCameraResolution(i, &w, &h), 0);
            out.emplace_back(w, h);
        }
        return out;
    }
    static vcam::Format format(const char* code, std::vector<std::pair<unsigned, unsigned>> list) {
        vcam::Format f;
        f.fourcc = vcam::fourcc(code);
        for (auto [w, h] : list) f.sizes.push_back(vcam::FrameSize{w, h, 30});
        return f;
    }
};

using Sizes = std::vector<std::pair<int, int>>;

TEST(VideoFormat, SettingIsClampedToYuyv) {
    SetVideoFormat(7);
    EXPECT_EQ(CameraFormat, 1);
    SetVideoFormat(0);
    EXPECT_EQ(CameraFormat, 0);
    SetVideoFormat(1);
    EXPECT_EQ(CameraFormat, 1);
    SetVideoFormat(-4); // only values above 1 are clamped
    EXPECT_EQ(CameraFormat, -4);
    SetVideoFormat(1);
}

TEST_F(Resolution, DefaultCameraListsItsSizesAndTheInterpolatedOne) {
    SetVideoFormat(0);
    std::string out = stdoutOf([] { EXPECT_EQ(getCameraResolutionCount(0), 6); });
    EXPECT_EQ(sizes(), (Sizes{{640, 480}, {1280, 720}, {1920, 1080}, {2592, 1944}, {3264, 2448}, {3672, 2856}}));
    EXPECT_NE(out.find("width,height:640,480\n"), std::string::npos);
    EXPECT_NE(out.find("width,height:1600,1200\n"), std::string::npos) << "YUYV sizes are printed too";
    EXPECT_EQ(formatList, (std::list<int>{0, 1}));
    EXPECT_EQ(yuvWidthList, (std::list<int>{640, 1280, 1600, 3264}));
    EXPECT_EQ(cam_fd, -1);

    // The other format's lists were filled by the same enumeration, without the synthetic size.
    SetVideoFormat(1);
    EXPECT_EQ(getFormatResolutionCount(0), 4);
}

TEST_F(Resolution, InterpolatedSizeFollowsTheTallestYuyvSize) {
    vcam::Camera c = documentCamera();
    c.formats = {format("MJPG", {{640, 480}, {1920, 1080}}), format("YUYV", {{640, 480}, {3264, 2448}, {1600, 1200}})};
    present(c);
    SetVideoFormat(1);
    stdoutOf([] { EXPECT_EQ(getCameraResolutionCount(0), 4); });
    EXPECT_EQ(sizes(), (Sizes{{640, 480}, {3264, 2448}, {1600, 1200}, {3672, 2856}}));
    EXPECT_FALSE(isInsert1000M);

    // MJPEG has no 3264 x 2448: nothing is added to its lists.
    SetVideoFormat(0);
    stdoutOf([] { EXPECT_EQ(getCameraResolutionCount(0), 2); });
    EXPECT_EQ(sizes(), (Sizes{{640, 480}, {1920, 1080}}));
}

TEST_F(Resolution, OnEqualHeightsTheEarlierWidthDecides) {
    vcam::Camera c = documentCamera();
    c.formats = {format("YUYV", {{3000, 2448}, {3264, 2448}})};
    present(c);
    SetVideoFormat(1);
    stdoutOf([] { EXPECT_EQ(getCameraResolutionCount(0), 2); });

    c.formats = {format("YUYV", {{3264, 2448}, {3000, 2448}})};
    present(c);
    SetVideoFormat(1);
    stdoutOf([] { EXPECT_EQ(getCameraResolutionCount(0), 3); });
}

TEST_F(Resolution, RepeatedCountDoesNotAddTheSyntheticSizeTwice) {
    SetVideoFormat(1);
    stdoutOf([] {
        EXPECT_EQ(getCameraResolutionCount(0), 5);
        EXPECT_EQ(getCameraResolutionCount(0), 5);
    });
    EXPECT_EQ(std::count(yuvWidthList.begin(), yuvWidthList.end(), 3672), 1);
}

TEST_F(Resolution, StepwiseAndOtherFormatsAreSkippedOrKeptApart) {
    vcam::Camera c = documentCamera();
    vcam::Format mjpeg = format("MJPG", {{640, 480}});
    vcam::FrameSize stepwise;
    stepwise.stepwise = true;
    stepwise.width = 16, stepwise.height = 16, stepwise.maxWidth = 4096, stepwise.maxHeight = 4096;
    stepwise.step = 16;
    mjpeg.sizes.insert(mjpeg.sizes.begin(), stepwise);
    mjpeg.sizes.push_back(vcam::FrameSize{1280, 720, 30});
    c.formats = {format("NV12", {{320, 240}, {800, 600}}), mjpeg};
    present(c);
    SetVideoFormat(0);
    stdoutOf([] { EXPECT_EQ(getCameraResolutionCount(0), 2); });
    EXPECT_EQ(sizes(), (Sizes{{640, 480}, {1280, 720}}));
    EXPECT_EQ(formatList, (std::list<int>{2, 0}));
    EXPECT_EQ(otherfmtWidthList, (std::list<int>{320, 800}));
    EXPECT_EQ(otherfmtHeightList, (std::list<int>{240, 600}));
}

TEST_F(Resolution, ResolutionCodesAndPositionsOutsideTheList) {
    EXPECT_EQ(getCameraResolution(0, nullptr, nullptr), -2);
    vcam::Camera c = documentCamera();
    c.formats = {format("MJPG", {{640, 480}})};
    present(c);
    SetVideoFormat(1);
    stdoutOf([] { EXPECT_EQ(getCameraResolutionCount(0), 0); });
    int w = 11, h = 22;
    EXPECT_EQ(getCameraResolution(0, &w, &h), -1);
    SetVideoFormat(0);
    // A position without a size fails and writes nothing.
    for (int position : {5, -1, 1000, INT_MAX, INT_MIN}) EXPECT_EQ(getCameraResolution(position, &w, &h), -3);
    EXPECT_EQ(w, 11);
    EXPECT_EQ(h, 22);
    EXPECT_EQ(getCameraResolution(0, &w, &h), 0);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
}

TEST_F(Resolution, FailuresReturnZeroAndKeepTheLists) {
    SetVideoFormat(0);
    stdoutOf([] { EXPECT_EQ(getCameraResolutionCount(0), 6); });
    EXPECT_EQ(getCameraResolutionCount(1), 0);
    EXPECT_EQ(getCameraResolutionCount(-1), 0);

    vcam::Camera c = documentCamera();
    c.faults.openErrno = EACCES;
    present(c);
    mjpegWidthList = {640};
    std::string out = stdoutOf([] { EXPECT_EQ(getCameraResolutionCount(0), 0); });
    EXPECT_EQ(out, "node:/dev/video0\nopen camera error!!");
    EXPECT_EQ(mjpegWidthList, (std::list<int>{640}));
    EXPECT_EQ(cam_fd, -1);
}

TEST_F(Resolution, LeftoverDescriptorIsClosedFirst) {
    stdoutOf([] { getDeviceCount(); });
    cam_fd = ::open("/dev/video0", O_RDWR);
    ASSERT_GE(cam_fd, 0);
    std::string out = stdoutOf([] { getCameraResolutionCount(0); });
    EXPECT_NE(out.find("---------getResolutionCount closeCamera AA---------\n"), std::string::npos);
    EXPECT_EQ(cam_fd, -1);
}

} // namespace
