// The stream thread's sustained rate and CPU time per frame on the
// free-running virtual camera, beside ffmpeg's v4l2 input decoding the same
// virtual stream to rgb24. Run under umockdev-wrapper.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <turbojpeg.h>
#include <vector>

#include "compat/state.h"
#include "testbed.h"
#include "vcam.h"
#include "velcap/camera.h"

namespace {

constexpr int kFrames = 60;
std::atomic<int> gFrames{0};
std::atomic<long long> gThreadCpuNs{0};

long long threadCpuNs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

long long processCpuNs() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000000LL + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1000LL;
}

void onFrame(unsigned char*, int, int) {
    gThreadCpuNs = threadCpuNs(); // the callback runs on the stream thread
    ++gFrames;
}

const char* kConfig = R"(camera 0
vendor 31a5
product 0801
card Orvida: DocCam S8
free-running
format MJPG 1920x1080 3264x2448
format YUYV 1920x1080 3264x2448
)";

// reduction: the data callback's frames reduced by 2, 4 or 8 (SetPreviewSize), or 1 for whole frames.
void measureLibrary(int format, int width, int height, bool outlineAndHalfTurn = false, int reduction = 1) {
    SetVideoFormat(format);
    SetPreviewSize(reduction > 1 ? width / reduction : 0, reduction > 1 ? height / reduction : 0);
    SetCutType(outlineAndHalfTurn ? 1 : 0);
    SetRotate(outlineAndHalfTurn ? 2 : 0);
    // The library's progress lines would drown the results.
    std::fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    getCameraResolutionCount(0);
    openCamera(0, width, height);
    while (gFrames < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int startFrames = gFrames;
    const long long startThread = gThreadCpuNs, startProcess = processCpuNs();
    const auto start = std::chrono::steady_clock::now();
    while (gFrames < startFrames + kFrames) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int frames = gFrames - startFrames;
    const long long thread = gThreadCpuNs - startThread, process = processCpuNs() - startProcess;
    closeCamera();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null);
    std::fprintf(stderr,
                 "velcap  %-5s %4dx%-4d  %6.1f fps  stream thread %6.2f ms CPU/frame  process %6.2f ms CPU/frame%s",
                 format == 0 ? "MJPEG" : "YUYV", width, height, frames / seconds, thread / 1e6 / frames,
                 process / 1e6 / frames, outlineAndHalfTurn ? "  (page outline, half turn)" : "");
    if (reduction > 1) std::fprintf(stderr, "  (preview 1/%d)", reduction);
    std::fprintf(stderr, "\n");
    SetPreviewSize(0, 0);
    gFrames = 0;
}

// One ffmpeg run of a number of frames: wall seconds and CPU seconds.
std::pair<double, double> runFfmpeg(int format, int width, int height, int frames) {
    const std::string config = "/tmp/velcap-bench-stream.vcam";
    std::ofstream(config) << kConfig;
    char command[1024];
    std::snprintf(command, sizeof(command),
                  "%s/vcam/velcap-vcam --config %s -- ffmpeg -nostdin -v error -f v4l2 -input_format %s "
                  "-video_size %dx%d -i /dev/video0 -frames:v %d -fps_mode passthrough -pix_fmt rgb24 -f null -",
                  VELCAP_BUILD_DIR, config.c_str(), format == 0 ? "mjpeg" : "yuyv422", width, height, frames);
    rusage before, after;
    getrusage(RUSAGE_CHILDREN, &before);
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command) != 0) std::fprintf(stderr, "ffmpeg failed: %s\n", command);
    std::remove(config.c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    getrusage(RUSAGE_CHILDREN, &after);
    auto cpu = [](const rusage& u) {
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    return {seconds, cpu(after) - cpu(before)};
}

// The difference of a long and a short run leaves out ffmpeg's start-up.
void measureFfmpeg(int format, int width, int height) {
    constexpr int kShort = 10;
    auto [shortWall, shortCpu] = runFfmpeg(format, width, height, kShort);
    auto [longWall, longCpu] = runFfmpeg(format, width, height, kShort + kFrames);
    std::fprintf(stderr, "ffmpeg  %-5s %4dx%-4d  %6.1f fps  process %6.2f ms CPU/frame (camera included)\n",
                 format == 0 ? "MJPEG" : "YUYV", width, height, kFrames / (longWall - shortWall),
                 (longCpu - shortCpu) * 1e3 / kFrames);
}

// One frame of the camera's own, as it sends it.
std::vector<unsigned char> cameraJpeg(int width, int height) {
    std::vector<unsigned char> jpeg;
    std::mutex mutex;
    std::condition_variable got;
    velcap::Camera camera;
    camera.setJpegOnly(true);
    camera.setFrameCallback([&](const velcap::Frame& frame) {
        std::lock_guard lock(mutex);
        if (jpeg.empty() && frame.jpeg) jpeg.assign(frame.jpeg, frame.jpeg + frame.jpegSize);
        got.notify_all();
    });
    const std::vector<velcap::Device> devices = velcap::devices();
    if (devices.empty() || camera.open(devices[0], width, height) != velcap::Status::Ok) return {};
    {
        std::unique_lock lock(mutex);
        got.wait_for(lock, std::chrono::seconds(10), [&] { return !jpeg.empty(); });
    }
    camera.close();
    return jpeg;
}

// libjpeg-turbo alone on the camera's frame, at each scale: the floor the
// preview's decoding is measured against.
void measureTurboJpeg(int width, int height) {
    std::vector<unsigned char> jpeg = cameraJpeg(width, height);
    if (jpeg.empty()) return;
    const tjhandle decoder = tjInitDecompress();
    for (int reduction : {1, 2, 4, 8}) {
        const int w = (width + reduction - 1) / reduction, h = (height + reduction - 1) / reduction;
        std::vector<unsigned char> out(size_t(w) * size_t(h) * 3);
        const long long start = threadCpuNs();
        constexpr int kRuns = 20;
        for (int i = 0; i < kRuns; ++i)
            tjDecompress2(decoder, jpeg.data(), jpeg.size(), out.data(), w, w * 3, h, TJPF_RGB, 0);
        std::fprintf(stderr, "tjDecompress2  %4dx%-4d at 1/%d  %6.2f ms CPU/frame (the camera's frame)\n", width,
                     height, reduction, (threadCpuNs() - start) / 1e6 / kRuns);
    }
    tjDestroy(decoder);
}

} // namespace

int main() {
    vcam::Testbed testbed;
    testbed.present(vcam::parse(kConfig));
    SetDataCallback(onFrame);
    for (int format : {0, 1})
        for (auto [w, h] : {std::pair{1920, 1080}, std::pair{3264, 2448}}) {
            measureLibrary(format, w, h);
            measureFfmpeg(format, w, h);
        }
    // Previews at the scale they are shown, beside libjpeg-turbo alone.
    for (int format : {0, 1})
        for (int reduction : {2, 4, 8}) measureLibrary(format, 3264, 2448, false, reduction);
    measureTurboJpeg(3264, 2448);
    // The path with every per-frame stage on: automatic cropping's outline and a half turn.
    measureLibrary(0, 3264, 2448, true);
    return 0;
}
