// Auto-capture on the virtual camera: pages laid down one after another,
// swapped by a hand, a page left lying, an empty desk, and cropping.
#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/camera_test.h"
#include "support/frame_sink.h"

using namespace std::chrono_literals;
using velcap::test::CameraTest;
using velcap::test::documentCamera;
using velcap::test::stdoutOf;

namespace {

std::mutex reportedMutex;
std::vector<std::string> reported;

void onCaptured(const char* path) {
    std::lock_guard lock(reportedMutex);
    reported.push_back(path);
}

std::vector<std::string> failures; // "path: why", under reportedMutex
void onFailed(const char* path, const char* why) {
    std::lock_guard lock(reportedMutex);
    failures.push_back(std::string(path) + ": " + why);
}

class AutoCapture : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        folder_ = testing::TempDir() + "/velcap-auto-" + testing::UnitTest::GetInstance()->current_test_info()->name();
        std::system(("rm -rf " + folder_ + " && mkdir -p " + folder_).c_str());
        dir_.reset(::opendir(folder_.c_str()));
        {
            std::lock_guard lock(reportedMutex);
            reported.clear();
            failures.clear();
        }
        SetAutoCaptureFolder(folder_.c_str());
        SetAutoCaptureCallback(onCaptured);
        SetFileFormat(2); // PNG: the pictures compare without compression's losses
        SetAutoCapture(1);
    }
    void TearDown() override {
        SetAutoCapture(0);
        SetCutType(0);
        SetFileFormat(0);
        CameraTest::TearDown();
        dir_.reset(); // once no stream thread writes any more
    }

    void start(const vcam::Camera& camera, int width = 640, int height = 480) {
        present(camera);
        velcap::test::FrameSink::instance();
        stdoutOf([&] {
            SetVideoFormat(0);
            getCameraResolutionCount(0);
            ASSERT_EQ(openCamera(0, width, height), 0);
        });
    }
    void stop() {
        stdoutOf([] { closeCamera(); });
    }

    // The folder's files. Its directory stream stays open for the whole test:
    // a descriptor opened and closed while the stream thread writes would
    // reuse numbers that thread's closes (through umockdev, past TSan) freed.
    std::vector<std::string> files() {
        std::vector<std::string> names;
        if (!dir_) return names;
        ::rewinddir(dir_.get());
        while (dirent* entry = ::readdir(dir_.get()))
            if (entry->d_name[0] != '.') names.push_back(folder_ + "/" + entry->d_name);
        std::sort(names.begin(), names.end()); // time stamps sort in time order
        return names;
    }
    // Waits until count files are there, or until the time is up.
    bool waitForFiles(size_t count, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (files().size() < count && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
        return files().size() >= count;
    }

    // Mean difference of a written picture from page of the scene, below the counter rows.
    static double differenceFromPage(const std::string& path, int page) {
        cv::Mat picture = cv::imread(path, cv::IMREAD_COLOR);
        cv::Mat scene = vcam::renderScene(640, 480, {}, page);
        cv::cvtColor(scene, scene, cv::COLOR_RGB2BGR);
        if (picture.size() != scene.size()) return 255;
        const int strip = int(vcam::counterStripHeight(480));
        cv::Mat diff;
        cv::absdiff(picture.rowRange(strip, 480), scene.rowRange(strip, 480), diff);
        const cv::Scalar mean = cv::mean(diff);
        return (mean[0] + mean[1] + mean[2]) / 3;
    }

    std::string folder_;
    struct CloseDir {
        void operator()(DIR* dir) const { ::closedir(dir); }
    };
    std::unique_ptr<DIR, CloseDir> dir_;
};

TEST_F(AutoCapture, EachPageOnceAndNeverTheSwaps) {
    vcam::Camera camera = documentCamera();
    camera.pageCount = 5;
    camera.pageSeconds = 2;
    start(camera);
    // Five pages of two seconds and four swaps of a second and a half.
    ASSERT_TRUE(waitForFiles(5, 30s)) << files().size();
    std::this_thread::sleep_for(1500ms); // the last page keeps lying there
    stop();
    const std::vector<std::string> written = files();
    ASSERT_EQ(written.size(), 5u);
    for (int page = 0; page < 5; ++page) {
        // Each file is its own page, whole and without the hand.
        const double own = differenceFromPage(written[size_t(page)], page);
        EXPECT_LT(own, 6.0) << "file " << page;
        for (int other = 0; other < 5; ++other)
            if (other != page) {
                EXPECT_GT(differenceFromPage(written[size_t(page)], other), own + 2) << page << other;
            }
    }
    std::lock_guard lock(reportedMutex);
    EXPECT_EQ(reported, written) << "the callback reports every file, in order";
}

TEST_F(AutoCapture, APageLyingStillIsCapturedOnce) {
    start(documentCamera());
    ASSERT_TRUE(waitForFiles(1, 10s));
    std::this_thread::sleep_for(20s);
    stop();
    ASSERT_EQ(files().size(), 1u);
    EXPECT_LT(differenceFromPage(files().front(), 0), 6.0);
}

TEST_F(AutoCapture, AnEmptyDeskIsNeverCaptured) {
    const std::string desk = testing::TempDir() + "/velcap-empty-desk.png";
    cv::Mat empty = vcam::renderScene(640, 480, {}, -1);
    cv::cvtColor(empty, empty, cv::COLOR_RGB2BGR);
    cv::imwrite(desk, empty);
    vcam::Camera camera = documentCamera();
    camera.scene = desk;
    start(camera);
    velcap::test::FrameSink::instance().reset();
    ASSERT_TRUE(velcap::test::FrameSink::instance().waitFor(60)); // two seconds of frames
    stop();
    EXPECT_TRUE(files().empty());
}

TEST_F(AutoCapture, WithCroppingEachFileIsThePage) {
    SetCutType(1);
    vcam::Camera camera = documentCamera();
    camera.pageCount = 2;
    camera.pageSeconds = 2;
    // A size at which the page outline is found to a few pixels.
    start(camera, 1280, 720);
    ASSERT_TRUE(waitForFiles(2, 15s));
    stop();
    const std::array<cv::Point2f, 4> corners = vcam::scenePageCorners(1280, 720);
    const double width = cv::norm(corners[1] - corners[0]), height = cv::norm(corners[3] - corners[0]);
    for (const std::string& path : files()) {
        cv::Mat page = cv::imread(path);
        EXPECT_NEAR(page.cols, width, width * 0.05) << path;
        EXPECT_NEAR(page.rows, height, height * 0.05) << path;
    }
    EXPECT_EQ(files().size(), 2u);
}

// A page that cannot be written is reported once and written as soon as it
// can be, while it still lies there.
TEST_F(AutoCapture, APageThatCannotBeWrittenIsReportedAndTriedAgain) {
    const std::string later = folder_ + "/later";
    SetAutoCaptureFolder(later.c_str());
    SetAutoCaptureFailureCallback(onFailed);
    start(documentCamera());
    auto reports = [](const std::vector<std::string>& list) {
        std::lock_guard lock(reportedMutex);
        return list.size();
    };
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (reports(failures) == 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(reports(failures), 1u);
    {
        std::lock_guard lock(reportedMutex);
        EXPECT_NE(failures[0].find(later + "/"), std::string::npos) << failures[0];
        EXPECT_NE(failures[0].find("does not exist"), std::string::npos) << failures[0];
    }
    ASSERT_EQ(::mkdir(later.c_str(), 0755), 0);
    const auto written = std::chrono::steady_clock::now() + 10s;
    while (reports(reported) == 0 && std::chrono::steady_clock::now() < written) std::this_thread::sleep_for(20ms);
    stop();
    SetAutoCaptureFailureCallback(nullptr);
    EXPECT_EQ(reports(reported), 1u);
    EXPECT_EQ(reports(failures), 1u) << "the same page was reported again";
}

TEST_F(AutoCapture, OffByDefaultAndAfterwards) {
    SetAutoCapture(0);
    start(documentCamera());
    velcap::test::FrameSink::instance().reset();
    ASSERT_TRUE(velcap::test::FrameSink::instance().waitFor(45)); // well past the still time
    stop();
    EXPECT_TRUE(files().empty());
}

} // namespace
