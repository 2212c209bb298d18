// The video controls and focus on the virtual camera, whose controls change
// its picture as a real camera's do.
#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <opencv2/imgproc.hpp>

#include "support/camera_test.h"
#include "support/frame_sink.h"

using velcap::test::CameraTest;
using velcap::test::FrameSink;
using velcap::test::stdoutOf;

namespace {

class Controls : public velcap::test::SinkTest {
protected:
    static void open() { ASSERT_EQ(SinkTest::open(0, 640, 480), 0); }
    static int value(uint32_t id) {
        for (const vcam::Control& c : vcam::controls(0).controls)
            if (c.id == id) return c.value;
        return -99999;
    }
    // The picture a few frames from now, and its mean and spread in green.
    static cv::Mat picture() {
        FrameSink& sink = FrameSink::instance();
        sink.reset();
        EXPECT_TRUE(sink.waitFor(3));
        return sink.last();
    }
    static double brightness() { return cv::mean(picture())[1]; }
    static double spread() {
        cv::Scalar mean, deviation;
        cv::meanStdDev(picture(), mean, deviation);
        return deviation[1];
    }
};

TEST_F(Controls, WithoutACameraEveryCallFailsAtOnce) {
    int a = 0, b = 0, c = 0, d = 0;
    EXPECT_EQ(GetVideoCtlParam(0, &a, &b, &c, &d), -1);
    EXPECT_EQ(SetVideoCtlParam(0, 1), -1);
    EXPECT_EQ(SetVideoCtlDefaultParam(0), -10001);
    EXPECT_EQ(ManualFocus(), -1);
    EXPECT_EQ(ManualFocusEx(), -1);
}

TEST_F(Controls, RangesValuesAndDefaults) {
    open();
    int minimum = 0, maximum = 0, def = 0, current = 0;
    ASSERT_EQ(GetVideoCtlParam(0, &minimum, &maximum, &def, &current), 0);
    EXPECT_EQ(minimum, -64);
    EXPECT_EQ(maximum, 64);
    EXPECT_EQ(def, 0);
    EXPECT_EQ(current, 0);
    ASSERT_EQ(GetVideoCtlParam(1, &minimum, &maximum, &def, &current), 0);
    EXPECT_EQ(maximum, 95);
    EXPECT_EQ(current, 32);

    EXPECT_EQ(SetVideoCtlParam(0, 40), 0);
    EXPECT_EQ(value(V4L2_CID_BRIGHTNESS), 40);
    EXPECT_EQ(SetVideoCtlParam(5, 180), 0) << "index 5 is gamma";
    EXPECT_EQ(value(V4L2_CID_GAMMA), 180);
    // Another index acts on the control of the last call.
    ASSERT_EQ(GetVideoCtlParam(9, &minimum, &maximum, &def, &current), 0);
    EXPECT_EQ(maximum, 95);

    EXPECT_EQ(SetVideoCtlDefaultParam(0), 0);
    EXPECT_EQ(value(V4L2_CID_BRIGHTNESS), 0);
    EXPECT_EQ(SetVideoCtlDefaultParam(5), 100);
}

TEST_F(Controls, TheControlsChangeThePicture) {
    open();
    const double plain = brightness();
    ASSERT_EQ(SetVideoCtlParam(0, 64), 0);
    const double bright = brightness();
    EXPECT_GT(bright, plain + 20);
    ASSERT_EQ(SetVideoCtlParam(0, 0), 0);
    const double plainSpread = spread();
    ASSERT_EQ(SetVideoCtlParam(1, 95), 0); // more contrast: the page brighter, the desk darker
    EXPECT_GT(spread(), plainSpread * 1.5);
    ASSERT_EQ(SetVideoCtlDefaultParam(1), 32);
    EXPECT_NEAR(brightness(), plain, 1.0);
}

TEST_F(Controls, FocusTogglesZoomAndRestartsAutofocus) {
    open();
    EXPECT_EQ(ManualFocus(), 0);
    EXPECT_EQ(value(V4L2_CID_ZOOM_ABSOLUTE), 1);
    EXPECT_EQ(ManualFocus(), 0);
    EXPECT_EQ(value(V4L2_CID_ZOOM_ABSOLUTE), 0);

    v4l2_control off{V4L2_CID_FOCUS_AUTO, 0};
    ASSERT_EQ(ioctl(cam_fd, VIDIOC_S_CTRL, &off), 0);
    const uint64_t writes = vcam::controls(0).writes;
    std::string out = stdoutOf([] { EXPECT_EQ(ManualFocusEx(), 0); });
    EXPECT_EQ(value(V4L2_CID_FOCUS_AUTO), 1);
    EXPECT_EQ(vcam::controls(0).writes, writes + 2) << "off, then on";
    EXPECT_EQ(out, "ManualFocus\n");
}

} // namespace
