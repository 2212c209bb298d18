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
#include "auto_capture.h"

namespace {

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

// Writes the frame as a capture would: the path written, or empty with the
// path tried and the reason.
std::string writePage(const cv::Mat& frame, std::string folder, const velcap::FrameSettings& settings,
                      const velcap::CaptureParams& params, const velcap::PageState& page, std::string& tried,
                      std::string& why) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.empty()) folder = ".";
    const int format = settings.fileFormat;
    const std::string path = timeStampedPath(folder, extensionOf(format));
    tried = path.empty() ? folder : path;
    if (path.empty() || path.size() > velcap::kMaxCapturePath) {
        why = "no free file name";
        velcap::logError(velcap::Category::Capture, "auto-capture: no free name in %s; nothing captured\n",
                         folder.c_str());
        return {};
    }
    // A GIF name holds a JPEG, as the desktop program makes it.
    const bool gif = format == 4;
    const std::string written = gif ? path.substr(0, path.size() - 4) + ".jpg" : path;
    if (velcap::captureFrame(written.c_str(), params, page, frame) != velcap::Status::Ok) {
        why = velcap::whyNotWritten(written);
        velcap::logError(velcap::Category::Capture, "auto-capture: %s could not be written\n", path.c_str());
        return {};
    }
    if (gif && std::rename(written.c_str(), path.c_str()) != 0) return written;
    return path;
}

} // namespace

namespace velcap {

AutoCaptureStage::AutoCaptureStage(const Clock& clock) : clock_(clock) {
    reset();
}

void AutoCaptureStage::configure(AutoCapture config) {
    const bool on = config.on;
    auto shared = std::make_shared<const AutoCapture>(std::move(config));
    std::lock_guard lock(mutex_);
    config_ = std::move(shared);
    on_ = on;
}

void AutoCaptureStage::reset() {
    previous_.clear();
    captured_.clear();
    haveCaptured_ = false;
    failing_ = false;
    stillSince_ = clock_.now();
}

void AutoCaptureStage::process(const cv::Mat& frame, const FrameSettings& settings, const CaptureParams& params,
                               const PageState& page) {
    if (!on_ || frame.empty() || frame.type() != CV_8UC3 || frame.cols < 2) return;
    takeView(frame, view_);
    const auto now = clock_.now();
    if (moved(view_, previous_)) {
        stillSince_ = now;
        failing_ = false; // a page that failed and was taken away is lost; the host was told
    }
    std::swap(view_, previous_);
    const std::vector<uint8_t>& view = previous_;
    if (now - stillSince_ < kStillTime || !pagePresent(view)) return;
    if (haveCaptured_ && !anotherPage(view, captured_)) return;
    if (failing_ && now - lastAttempt_ < kRetryTime) return;
    lastAttempt_ = now;
    std::shared_ptr<const AutoCapture> config;
    {
        std::lock_guard lock(mutex_);
        config = config_;
    }
    if (!config) return;
    std::string tried, why;
    const std::string path = writePage(frame, config->folder, settings, params, page, tried, why);
    if (path.empty()) {
        // The page stays due while it lies still; the host hears of its first failure.
        if (!failing_ && config->failed) config->failed(tried, why);
        failing_ = true;
        return;
    }
    failing_ = false;
    captured_ = view;
    haveCaptured_ = true;
    velcap::logInfo(velcap::Category::Capture, "auto-capture: %s\n", path.c_str());
    if (config->captured) config->captured(path);
}

} // namespace velcap
