// The fixture of the capture and recognition tests: a camera of the default
// description, the frame sink, a folder of the test's own for the files, and
// the capture settings as at load.
#pragma once

#include <string>

#include "support/camera_test.h"
#include "support/frame_sink.h"

namespace velcap::test {

// A fresh, empty folder named after the running test, in the tests' scratch place.
std::string freshTestFolder();

// The fixture of tests that only write files: a folder of the test's own, no camera.
class FolderTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = freshTestFolder(); }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

class CaptureTest : public CameraTest {
protected:
    void SetUp() override;
    void TearDown() override;
    static FrameSink& sink() { return FrameSink::instance(); }

    // Opens camera 0 (format 0 MJPEG, 1 YUYV) quietly; openCamera's result.
    int open(int format, int width, int height);
    static int close();
    // A path in the test's folder.
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    // captureImage, with the library's output in log. A result of 0 must come with a file.
    static int shoot(const std::string& path, std::string* log = nullptr);
    // Waits until the stream has found the page on a frame since now.
    static bool waitForOutline();

private:
    std::string dir_;
};

} // namespace velcap::test
