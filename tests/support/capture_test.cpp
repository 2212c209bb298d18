#include "capture_test.h"

#include <atomic>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/shell.h"

namespace velcap::test {

namespace {

void resetSettings() {
    cutType = 0;
    colorMode = 0;
    jpgQuality = 85;
    isDelBlackedge = 0;
    isDelBcakColor = 0;
    RotateAngle = 0;
    RotateFlag = 0;
}

} // namespace

void CaptureTest::SetUp() {
    CameraTest::SetUp();
    resetSettings();
    sink().reset();
    dir_ = ::testing::TempDir() + "velcap-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    run("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'");
}

void CaptureTest::TearDown() {
    sink().reset();
    CameraTest::TearDown();
    resetSettings();
}

int CaptureTest::open(int format, int width, int height) {
    SetVideoFormat(format);
    int result = 0;
    stdoutOf([&] {
        getCameraResolutionCount(0);
        result = openCamera(0, width, height);
    });
    return result;
}

int CaptureTest::close() {
    int result = 0;
    stdoutOf([&] { result = closeCamera(); });
    return result;
}

int CaptureTest::shoot(const std::string& path, std::string* log) {
    // A PDF through the flat interface leaves its JPEG in the home folder, as
    // specified; the test removes the one it caused.
    std::string homeJpeg;
    const size_t slash = path.rfind('/'), dot = path.rfind('.');
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".pdf") == 0 && dot != std::string::npos &&
        (slash == std::string::npos || dot > slash)) {
        const passwd* user = ::getpwuid(::getuid());
        const size_t from = slash == std::string::npos ? 0 : slash + 1;
        if (user && user->pw_dir) homeJpeg = std::string(user->pw_dir) + "/" + path.substr(from, dot - from) + ".jpg";
        if (::access(homeJpeg.c_str(), F_OK) == 0) homeJpeg.clear(); // not the test's to remove
    }
    int result = 0;
    std::string text = stdoutOf([&] { result = captureImage(path.c_str()); });
    if (!homeJpeg.empty()) ::unlink(homeJpeg.c_str());
    struct stat info {};
    const bool written = ::stat(path.c_str(), &info) == 0 && info.st_size > 0;
    if (result == 0) {
        EXPECT_TRUE(written) << "captureImage returned 0 without a file at " << path;
    }
    if (log) *log = std::move(text);
    return result;
}

bool CaptureTest::waitForOutline() {
    // The outline stage runs on the stream thread before the callback; a flag
    // set there and read after the frame has been counted is safe to read here.
    auto found = std::make_shared<std::atomic<bool>>(false); // a running hook may outlive this call
    sink().onFrame([found](const cv::Mat&) {
        if (HasPageOutline()) *found = true;
    });
    for (int frames = 1; frames <= 60 && !*found; ++frames) sink().waitFor(sink().count() + 1, std::chrono::seconds(5));
    sink().onFrame(nullptr);
    return *found;
}

} // namespace velcap::test
