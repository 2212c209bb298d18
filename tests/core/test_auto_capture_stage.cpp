// Auto-capture's stage on pictures, on a clock the test moves: no camera, no sleeping.
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/auto_capture.h"
#include "scene.h"
#include "support/camera_test.h"

using namespace std::chrono_literals;

namespace {

struct StepClock final : velcap::Clock {
    time_point t{};
    time_point now() const override { return t; }
};

TEST(AutoCaptureStage, EachStillPageOnceAfterItsStillTimeAndFailuresOnce) {
    const std::string folder = "/tmp/velcap-stage-" + std::to_string(getpid());
    ASSERT_EQ(std::system(("rm -rf " + folder).c_str()), 0);
    const cv::Mat page = vcam::renderScene(640, 480, {}, 0), other = vcam::renderScene(640, 480, {}, 1);
    StepClock clock;
    velcap::AutoCaptureStage stage(clock);
    std::vector<std::string> written, failed;
    velcap::AutoCapture config;
    config.on = true;
    config.folder = folder + "/";
    config.captured = [&](const std::string& path) { written.push_back(path); };
    config.failed = [&](const std::string& path, const std::string& why) { failed.push_back(path + ": " + why); };
    stage.configure(config);
    const velcap::FrameSettings settings;
    const velcap::CaptureParams params;
    const velcap::PageState pageState;
    auto at = [&](std::chrono::milliseconds t, const cv::Mat& frame) {
        clock.t = StepClock::time_point(t);
        velcap::test::stdoutOf([&] { stage.process(frame, settings, params, pageState); });
    };

    at(0ms, page);
    at(600ms, page); // not yet still long enough
    EXPECT_TRUE(written.empty());
    at(800ms, page); // the folder is missing: one report, tried again while the page lies still
    at(1200ms, page);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_NE(failed[0].find(folder + "/"), std::string::npos) << failed[0];
    ASSERT_EQ(std::system(("mkdir " + folder).c_str()), 0);
    at(1900ms, page);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].rfind(folder + "/", 0), 0u) << written[0];
    EXPECT_EQ(access(written[0].c_str(), F_OK), 0);
    at(5000ms, page); // the same page stays captured once
    EXPECT_EQ(written.size(), 1u);

    at(5100ms, other); // a new page is laid down
    at(5500ms, other);
    EXPECT_EQ(written.size(), 1u);
    at(6000ms, other);
    EXPECT_EQ(written.size(), 2u);
    EXPECT_EQ(failed.size(), 1u);

    config.on = false;
    stage.configure(config);
    at(7000ms, page);
    at(9000ms, page);
    EXPECT_EQ(written.size(), 2u) << "off is off";
    std::system(("rm -rf " + folder).c_str());
}

} // namespace
