#include "capture_test.h"

#include <atomic>
#include <dirent.h>
#include <memory>
#include <pwd.h>
#include <set>
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

std::string freshTestFolder() {
    const std::string dir =
        ::testing::TempDir() + "velcap-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    run("rm -rf '" + dir + "' && mkdir -p '" + dir + "'");
    return dir;
}

void CaptureTest::SetUp() {
    CameraTest::SetUp();
    resetSettings();
    sink().reset();
    dir_ = freshTestFolder();
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
    // A PDF through the flat interface leaves its JPEG in the home folder
    // (<stem>.jpg, else <stem>-N.jpg), as specified; the test removes the one it caused.
    std::string home, stem;
    const size_t slash = path.rfind('/'), dot = path.rfind('.');
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".pdf") == 0 &&
        (slash == std::string::npos || dot > slash)) {
        const passwd* user = ::getpwuid(::getuid());
        const size_t from = slash == std::string::npos ? 0 : slash + 1;
        if (user && user->pw_dir) home = user->pw_dir, stem = path.substr(from, dot - from);
    }
    const auto ours = [&](const std::string& name) {
        return name == stem + ".jpg" || (name.rfind(stem + "-", 0) == 0 && name.size() > stem.size() + 5 &&
                                         name.compare(name.size() - 4, 4, ".jpg") == 0);
    };
    const auto homeJpegs = [&] {
        std::set<std::string> names;
        if (DIR* dir = home.empty() ? nullptr : ::opendir(home.c_str())) {
            while (const dirent* entry = ::readdir(dir))
                if (ours(entry->d_name)) names.insert(entry->d_name);
            ::closedir(dir);
        }
        return names;
    };
    const std::set<std::string> before = homeJpegs();
    int result = 0;
    std::string text = stdoutOf([&] { result = captureImage(path.c_str()); });
    for (const std::string& name : homeJpegs())
        if (!before.count(name)) ::unlink((home + "/" + name).c_str());
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
