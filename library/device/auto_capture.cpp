// Auto-capture: the stream thread photographs each new page laid under the
// camera once, when it has lain still for a while, with the pipeline and the
// settings of captureImage.
//
// Each frame is reduced to a small grey view (a sample of the frame, cheap at
// any size). Between two frames part of the view changes while a hand or a
// page moves; a page is present when the view has a bright region of a size a
// sheet has against a darker desk; and a still page is new when its view
// differs from the view of the page captured last.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "../log.h"
#include "../output/capture.h"
#include "../state.h"
#include "device.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kViewWidth = 128, kViewHeight = 96;
// Motion between two frames: more than a few view pixels changed by more than
// sensor noise and compression change them. The edge of a slow hand moving by
// one view pixel changes a few dozen.
constexpr int kChangedLevels = 16;
constexpr size_t kMovedPixels = 24;
// A still page is a new one when more than this share of the view differs
// from the page captured last, after an even change of brightness is taken
// out (the camera's exposure drifts): another page's lines fall elsewhere.
constexpr double kNewPageShare = 0.01;
constexpr auto kStillTime = std::chrono::milliseconds(700);
// A page that could not be written is tried again this often while it lies still.
constexpr auto kRetryTime = std::chrono::milliseconds(1000);

struct Settings {
    std::atomic<bool> on{false};
    std::atomic<VelcapAutoCaptureCallback> callback{nullptr};
    std::atomic<VelcapAutoCaptureFailureCallback> failureCallback{nullptr};
    std::mutex mutex; // guards folder
    std::string folder;
};

Settings& settings() {
    static Settings s;
    return s;
}

// What the stage remembers between frames (stream thread only).
struct Watch {
    std::vector<uint8_t> view, previous, captured;
    Clock::time_point stillSince = Clock::now();
    bool haveCaptured = false;
    // The still page whose writing failed: tried again until it moves.
    bool failing = false;
    Clock::time_point lastAttempt;
};

Watch& watch() {
    static Watch w;
    return w;
}

// The grey view: one pair of neighbouring pixels per view pixel, so that each
// sample reads one cache line of the frame.
void takeView(const cv::Mat& frame, std::vector<uint8_t>& view) {
    view.resize(size_t(kViewWidth) * kViewHeight);
    const int pairWidth = std::max(1, frame.cols - 1);
    for (int vy = 0; vy < kViewHeight; ++vy) {
        const uint8_t* row = frame.ptr<uint8_t>((2 * vy + 1) * frame.rows / (2 * kViewHeight));
        for (int vx = 0; vx < kViewWidth; ++vx) {
            const int x = std::min((2 * vx + 1) * frame.cols / (2 * kViewWidth), pairWidth - 1);
            const uint8_t* p = row + 3 * x;
            view[size_t(vy) * kViewWidth + size_t(vx)] = uint8_t((p[0] + 2 * p[1] + p[2] + p[3] + 2 * p[4] + p[5]) / 8);
        }
    }
}

bool moved(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return true;
    size_t changed = 0;
    for (size_t i = 0; i < a.size(); ++i) changed += std::abs(int(a[i]) - int(b[i])) > kChangedLevels;
    return changed > kMovedPixels;
}

bool anotherPage(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return true;
    long offset = 0;
    for (size_t i = 0; i < a.size(); ++i) offset += int(a[i]) - int(b[i]);
    const int shift = int(offset / long(a.size()));
    size_t changed = 0;
    for (size_t i = 0; i < a.size(); ++i) changed += std::abs(int(a[i]) - int(b[i]) - shift) > kChangedLevels;
    return double(changed) > kNewPageShare * double(a.size());
}

// A sheet of paper: Otsu's split of the view gives a bright part of between a
// tenth and nine tenths of the view, bright enough for paper, well above the rest.
bool pagePresent(const std::vector<uint8_t>& view) {
    int histogram[256] = {};
    for (uint8_t v : view) ++histogram[v];
    const double total = double(view.size());
    double sum = 0;
    for (int i = 0; i < 256; ++i) sum += double(i) * histogram[i];
    double darkSum = 0, darkCount = 0, best = -1;
    int split = 0;
    for (int t = 0; t < 255; ++t) {
        darkCount += histogram[t];
        darkSum += double(t) * histogram[t];
        const double brightCount = total - darkCount;
        if (darkCount == 0 || brightCount == 0) continue;
        const double between =
            darkCount * brightCount * std::pow(darkSum / darkCount - (sum - darkSum) / brightCount, 2);
        if (between > best) best = between, split = t;
    }
    double darkCountAt = 0, darkSumAt = 0;
    for (int i = 0; i <= split; ++i) darkCountAt += histogram[i], darkSumAt += double(i) * histogram[i];
    const double brightCount = total - darkCountAt;
    if (darkCountAt == 0 || brightCount == 0) return false;
    const double brightShare = brightCount / total;
    const double brightMean = (sum - darkSumAt) / brightCount, darkMean = darkSumAt / darkCountAt;
    return brightShare >= 0.10 && brightShare <= 0.90 && brightMean >= 150 && brightMean - darkMean >= 50;
}

const char* extensionOf(int format) {
    static const char* const kExtensions[] = {".jpg", ".bmp", ".png", ".tif", ".gif", ".pdf"};
    return format >= 0 && format < 6 ? kExtensions[format] : ".jpg";
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// folder/yyyyMMddHHmmsszzz.ext, the next free millisecond when one is taken.
std::string timeStampedPath(const std::string& folder, const char* extension) {
    auto now = std::chrono::system_clock::now();
    for (int attempt = 0; attempt < 1000; ++attempt, now += std::chrono::milliseconds(1)) {
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const int ms =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
        std::tm local{};
        localtime_r(&seconds, &local);
        char name[64];
        std::snprintf(name, sizeof(name), "%04d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms);
        const std::string path = folder + "/" + name + extension;
        if (!exists(path) && !exists(folder + "/" + name + ".jpg")) return path;
    }
    return {};
}

// Writes the frame as captureImage would: the path written, or empty with
// the path tried and the reason.
std::string writePage(const cv::Mat& frame, std::string& tried, std::string& why) {
    std::string folder;
    {
        std::lock_guard lock(settings().mutex);
        folder = settings().folder;
    }
    if (folder.empty()) folder = ".";
    const int format = fileFormat;
    const std::string path = timeStampedPath(folder, extensionOf(format));
    tried = path.empty() ? folder : path;
    if (path.empty() || path.size() >= sizeof(imgSavePath)) {
        why = "no free file name";
        velcap::say("auto-capture: no free name in %s; nothing captured\n", folder.c_str());
        return {};
    }
    // A GIF name holds a JPEG, as the desktop program makes it.
    const bool gif = format == 4;
    const std::string written = gif ? path.substr(0, path.size() - 4) + ".jpg" : path;
    if (velcap::captureFrame(written.c_str(), cutType, frame) != velcap::SaveResult::written) {
        why = velcap::whyNotWritten(written);
        velcap::say("auto-capture: %s could not be written\n", path.c_str());
        return {};
    }
    if (gif && std::rename(written.c_str(), path.c_str()) != 0) return written;
    return path;
}

} // namespace

namespace velcap {

void resetAutoCapture() {
    Watch& w = watch();
    w.previous.clear();
    w.captured.clear();
    w.haveCaptured = false;
    w.failing = false;
    w.stillSince = Clock::now();
}

void autoCaptureStage(const cv::Mat& frame) {
    if (!settings().on || frame.empty() || frame.type() != CV_8UC3 || frame.cols < 2) return;
    Watch& w = watch();
    takeView(frame, w.view);
    const auto now = Clock::now();
    if (moved(w.view, w.previous)) {
        w.stillSince = now;
        w.failing = false; // a page that failed and was taken away is lost; the host was told
    }
    std::swap(w.view, w.previous);
    const std::vector<uint8_t>& view = w.previous;
    if (now - w.stillSince < kStillTime || !pagePresent(view)) return;
    if (w.haveCaptured && !anotherPage(view, w.captured)) return;

    if (w.failing && now - w.lastAttempt < kRetryTime) return;
    w.lastAttempt = now;
    std::string tried, why;
    const std::string path = writePage(frame, tried, why);
    if (path.empty()) {
        // The page stays due while it lies still; the host hears of its first failure.
        if (!w.failing)
            if (VelcapAutoCaptureFailureCallback failure = settings().failureCallback.load())
                failure(tried.c_str(), why.c_str());
        w.failing = true;
        return;
    }
    w.failing = false;
    w.captured = view;
    w.haveCaptured = true;
    velcap::say("auto-capture: %s\n", path.c_str());
    if (VelcapAutoCaptureCallback callback = settings().callback.load()) callback(path.c_str());
}

} // namespace velcap

extern "C" void SetAutoCapture(int on) {
    settings().on = on == 1;
}

extern "C" void SetAutoCaptureFolder(const char* folder) {
    std::lock_guard lock(settings().mutex);
    settings().folder = folder ? folder : "";
    while (settings().folder.size() > 1 && settings().folder.back() == '/') settings().folder.pop_back();
}

extern "C" void SetAutoCaptureCallback(VelcapAutoCaptureCallback callback) {
    settings().callback = callback;
}

extern "C" void SetAutoCaptureFailureCallback(VelcapAutoCaptureFailureCallback callback) {
    settings().failureCallback = callback;
}
