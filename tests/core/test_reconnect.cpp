// A camera unplugged while it streams comes back by itself when asked to,
// through the flat interface and the object one, and hosts hear of devices.
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "support/capture_test.h"
#include "vcam.h"
#include "velcap/camera.h"

using namespace std::chrono_literals;

namespace {

// The library's lines and the device events, waited for as they come.
class Heard {
public:
    Heard() {
        velcap::setLogHandler([this](velcap::LogLevel, const char*, const char* text) { add(text); });
    }
    ~Heard() {
        velcap::setLogHandler(nullptr);
        velcap::setDeviceCallback(nullptr);
    }
    void listenToDevices() {
        velcap::setDeviceCallback([this](const velcap::Device& d, bool added) {
            add(std::string(added ? "added " : "removed ") + d.node + " " + d.serial + "\n");
        });
    }
    void add(const std::string& text) {
        {
            std::lock_guard lock(mutex_);
            text_ += text;
        }
        changed_.notify_all();
    }
    // Events of two threads may come in either order: each wait reads everything heard.
    bool waitFor(const std::string& piece) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return text_.find(piece) != std::string::npos; });
    }
    std::string text() {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
};

using Reconnect = velcap::test::CaptureTest;

TEST_F(Reconnect, TheFlatCameraComesBackWithItsControlsAndRequestsFailWhileAway) {
    ASSERT_EQ(open(0, 640, 480), 0);
    Heard heard;
    SetAutoReconnect(1);
    ASSERT_EQ(SetCameraControl("brightness", 20), 0);
    ASSERT_TRUE(sink().waitFor(3));

    vcam::unplug(0);
    ASSERT_TRUE(heard.waitFor("waiting for it to come back")) << heard.text();
    EXPECT_EQ(captureImage(file("away.jpg").c_str()), -1);
    EXPECT_STREQ(RecogBarQrCode(0), "");
    EXPECT_EQ(cam_fd, -1);
    EXPECT_TRUE(bKeep);

    const int before = sink().count();
    vcam::replug(0);
    ASSERT_TRUE(heard.waitFor("is back")) << heard.text();
    ASSERT_TRUE(sink().waitFor(before + 3)) << "frames reach the same callback again";
    EXPECT_NE(cam_fd, -1);
    int current = 0;
    ASSERT_EQ(GetCameraControl("brightness", nullptr, nullptr, nullptr, &current), 0);
    EXPECT_EQ(current, 20) << "the replugged camera starts at its defaults; the host's value is set again";
    EXPECT_EQ(shoot(file("back.jpg")), 0);
    SetAutoReconnect(0);
}

TEST_F(Reconnect, AnObjectCameraComesBackAndHostsHearOfTheDevice) {
    Heard heard;
    heard.listenToDevices();
    std::mutex mutex;
    std::condition_variable framed;
    int frames = 0;
    velcap::Camera camera; // after what its stream thread touches, so that it goes first
    camera.setAutoReconnect(true);
    camera.setFrameCallback([&](const velcap::Frame&) {
        {
            std::lock_guard lock(mutex);
            ++frames;
        }
        framed.notify_all();
    });
    auto waitForFrames = [&](int count) {
        std::unique_lock lock(mutex);
        return framed.wait_for(lock, 10s, [&] { return frames >= count; });
    };
    std::vector<velcap::Device> list = velcap::devices();
    ASSERT_FALSE(list.empty());
    ASSERT_EQ(camera.open(list[0], 640, 480), velcap::Status::Ok);
    ASSERT_TRUE(waitForFrames(3));

    vcam::unplug(0);
    ASSERT_TRUE(heard.waitFor("removed /dev/video0 VC1000")) << heard.text();
    ASSERT_TRUE(heard.waitFor("waiting for it to come back")) << heard.text();
    EXPECT_TRUE(camera.isAway());
    EXPECT_EQ(camera.capture(file("away.jpg")), velcap::Status::NotOpen);

    int before = 0;
    {
        std::lock_guard lock(mutex);
        before = frames;
    }
    vcam::replug(0);
    ASSERT_TRUE(heard.waitFor("added /dev/video0 VC1000")) << heard.text();
    ASSERT_TRUE(waitForFrames(before + 3));
    EXPECT_FALSE(camera.isAway());
    EXPECT_EQ(camera.capture(file("back.png")), velcap::Status::Ok);
    camera.close();
}

TEST_F(Reconnect, ProfilesKeepEachCamerasControlsBetweenRuns) {
    const std::string config = file("config");
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    SetDeviceProfiles(1);
    ASSERT_EQ(open(0, 640, 480), 0);
    ASSERT_EQ(SetCameraControl("brightness", 30), 0);
    ASSERT_EQ(SetCameraControl("power_line_frequency", 2), 0);
    ASSERT_EQ(SetCameraControl("power_line_frequency", 1), 0); // 50 Hz, as in China
    close();
    std::ifstream saved(config + "/velcap/devices/31a5-0801-VC1000.conf");
    std::stringstream text;
    text << saved.rdbuf();
    EXPECT_NE(text.str().find("\nbrightness=30\npower_line_frequency=1\n"), std::string::npos) << text.str();

    // A camera that comes up at its defaults gets the kept values at every open.
    present(velcap::test::documentCamera());
    ASSERT_EQ(open(0, 1280, 720), 0);
    int brightness = 0, frequency = 0;
    ASSERT_EQ(GetCameraControl("brightness", nullptr, nullptr, nullptr, &brightness), 0);
    ASSERT_EQ(GetCameraControl("power_line_frequency", nullptr, nullptr, nullptr, &frequency), 0);
    EXPECT_EQ(brightness, 30);
    EXPECT_EQ(frequency, 1);
    close();

    SetDeviceProfiles(0);
    present(velcap::test::documentCamera());
    ASSERT_EQ(open(0, 640, 480), 0);
    ASSERT_EQ(GetCameraControl("brightness", nullptr, nullptr, nullptr, &brightness), 0);
    EXPECT_EQ(brightness, 0) << "off by default: the camera's own value";
    unsetenv("XDG_CONFIG_HOME");
}

// A profile is a small regular file: a FIFO, a link to a device or a huge
// file is left out with one line, and the camera opens at its own values.
TEST_F(Reconnect, HostileProfilesAreLeftOut) {
    const std::string config = file("config");
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::mkdir(config.c_str(), 0755);
    ::mkdir((config + "/velcap").c_str(), 0755);
    ::mkdir((config + "/velcap/devices").c_str(), 0755);
    const std::string profile = config + "/velcap/devices/31a5-0801-VC1000.conf";
    SetDeviceProfiles(1);
    const struct {
        const char* what;
        std::function<void()> make;
        int brightness;
    } cases[] = {
        {"a FIFO", [&] { ::mkfifo(profile.c_str(), 0600); }, 0},
        {"a link to /dev/zero", [&] { ::symlink("/dev/zero", profile.c_str()); }, 0},
        {"over 64 KB",
         [&] {
             std::ofstream out(profile);
             for (int i = 0; i < 10000; ++i) out << "brightness=" << i % 50 << '\n';
         },
         0},
        {"a control twice: its last value", [&] { std::ofstream(profile) << "brightness=5\nbrightness=7\n"; }, 7},
    };
    for (const auto& c : cases) {
        ::unlink(profile.c_str());
        c.make();
        present(velcap::test::documentCamera());
        Heard heard;
        ASSERT_EQ(open(0, 640, 480), 0) << c.what;
        int brightness = -1;
        ASSERT_EQ(GetCameraControl("brightness", nullptr, nullptr, nullptr, &brightness), 0);
        EXPECT_EQ(brightness, c.brightness) << c.what;
        EXPECT_EQ(c.brightness == 0, heard.text().find("left out") != std::string::npos) << c.what << heard.text();
        close();
    }
    ::unlink(profile.c_str());
    SetDeviceProfiles(0);
    unsetenv("XDG_CONFIG_HOME");
}

} // namespace
