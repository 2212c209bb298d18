// The commands that use a camera: list, capture and scan.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "cli.h"
#include "velcap.h"
#include "velcap/camera.h"

namespace velcap::cli {

namespace {

using Clock = std::chrono::steady_clock;

struct Size {
    int width, height;
};

// The sizes a camera offers in one stream format (0 MJPEG, 1 YUYV).
std::vector<Size> sizesOf(int camera, int format) {
    SetVideoFormat(format);
    std::vector<Size> sizes;
    const int count = getCameraResolutionCount(camera);
    for (int i = 0; i < count; ++i) {
        int width = 0, height = 0;
        if (getCameraResolution(i, &width, &height) == 0) sizes.push_back({width, height});
    }
    return sizes;
}

std::string sizeList(const std::vector<Size>& sizes, const char* separator) {
    std::string text;
    for (const Size& size : sizes) text += (text.empty() ? "" : separator) + sizeText(size.width, size.height);
    return text;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string jsonSizes(const std::vector<Size>& sizes) {
    std::string out = "[";
    for (size_t i = 0; i < sizes.size(); ++i)
        out += (i ? ", " : "") + std::string("{\"width\": ") + std::to_string(sizes[i].width) +
               ", \"height\": " + std::to_string(sizes[i].height) + "}";
    return out + "]";
}

// The name as the camera gives it after its maker, without the space that follows the colon.
std::string trimmed(const char* name) {
    std::string text = name ? name : "";
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

int requireCameras() {
    const int count = getDeviceCount();
    if (count <= 0) throw Failure(kNoCamera, "no supported camera found");
    return count;
}

// What the frame callback learns of the stream: how many frames came, and
// how many of the last ones in a row looked the same as the one before.
struct Stillness {
    std::atomic<int> frames{0};
    std::atomic<int> stillFrames{0};
    std::vector<int> previous; // stream thread only
};
Stillness stillness;

// A frame is still when a coarse grid of its brightness moved by less than
// this many levels on average: sensor noise stays below it, a hand does not.
constexpr double kStillLevels = 2.0;
constexpr int kGrid = 48;

void watchFrame(unsigned char* pixels, int width, int height) {
    std::vector<int> samples;
    samples.reserve(kGrid * kGrid);
    for (int gy = 0; gy < kGrid; ++gy)
        for (int gx = 0; gx < kGrid; ++gx) {
            const unsigned char* p =
                pixels +
                (size_t(height) * (2 * gy + 1) / (2 * kGrid) * width + size_t(width) * (2 * gx + 1) / (2 * kGrid)) * 3;
            samples.push_back(p[0] + 2 * p[1] + p[2]);
        }
    bool still = false;
    if (stillness.previous.size() == samples.size()) {
        long difference = 0;
        for (size_t i = 0; i < samples.size(); ++i) difference += std::abs(samples[i] - stillness.previous[i]);
        still = double(difference) / (4.0 * double(samples.size())) < kStillLevels;
    }
    stillness.previous.swap(samples);
    stillness.stillFrames = still ? stillness.stillFrames + 1 : 0;
    ++stillness.frames;
}

// The open camera's settings shared by capture and scan.
struct CameraChoice {
    int camera = 0;
    int format = 0; // 0 MJPEG, 1 YUYV
    Size size{0, 0};
};

// Picks the format and size, MJPEG first and YUYV as the fallback, the
// largest size unless one is asked for; a size not offered is a usage error.
// The camera at a device node (as given, or the node a link leads to).
int cameraAtNode(const std::string& node, int count) {
    // A link such as /dev/v4l/by-id/... leads to the node itself.
    std::string real = node;
    char target[PATH_MAX];
    for (int hops = 0; hops < 8; ++hops) {
        const ssize_t length = ::readlink(real.c_str(), target, sizeof(target) - 1);
        if (length <= 0) break;
        const std::string next(target, size_t(length));
        real = next[0] == '/' ? next : real.substr(0, real.rfind('/') + 1) + next;
    }
    for (int camera = 0; camera < count; ++camera) {
        const char* found = getCameraNode(camera);
        if (found && (node == found || real == found)) return camera;
    }
    throw Failure(kNoCamera, "no supported camera at " + node);
}

// The size that the library makes up by interpolation (3672x2856 beside a
// camera's 3264x2448): offered by name, never chosen by default.
bool interpolated(const Size& size, const std::vector<Size>& sizes) {
    if (size.width != 3672 || size.height != 2856) return false;
    for (const Size& other : sizes)
        if (other.width == 3264 && other.height == 2448) return true;
    return false;
}

CameraChoice chooseCamera(const Arguments& args, bool yuyvOnly) {
    const int count = requireCameras();
    CameraChoice choice;
    if (args.has("device") && args.has("camera")) usageError("--device and --camera exclude each other");
    // -d 0 is /dev/video0, as v4l2-ctl takes it.
    std::string node = args.has("device") ? args.value("device") : "";
    if (!node.empty() && node.find_first_not_of("0123456789") == std::string::npos) node = "/dev/video" + node;
    choice.camera = args.has("device") ? cameraAtNode(node, count) : args.integer("camera", 0, 0, 1000);
    if (choice.camera >= count)
        throw Failure(kNoCamera, "no camera " + std::to_string(choice.camera) + ": " + std::to_string(count) +
                                     " supported camera" + (count == 1 ? "" : "s") + " found");
    Size wanted{0, 0};
    if (args.has("size") && !parseSize(args.value("size"), wanted.width, wanted.height))
        usageError("--size takes WIDTHxHEIGHT, such as 1920x1080, not '" + args.value("size") + "'");

    std::vector<Size> offered;
    for (int format = yuyvOnly ? 1 : 0; format <= 1; ++format) {
        const std::vector<Size> sizes = sizesOf(choice.camera, format);
        for (const Size& size : sizes) {
            if (args.has("size") && (size.width != wanted.width || size.height != wanted.height)) continue;
            if (!args.has("size") && (interpolated(size, sizes) || int64_t(size.width) * size.height <=
                                                                       int64_t(choice.size.width) * choice.size.height))
                continue;
            choice.format = format;
            choice.size = size;
        }
        if (choice.size.width > 0) return choice;
        offered.insert(offered.end(), sizes.begin(), sizes.end());
    }
    if (!args.has("size")) failed("camera " + std::to_string(choice.camera) + " offers no frame size");
    std::vector<Size> distinct;
    for (const Size& size : offered) {
        bool seen = false;
        for (const Size& d : distinct) seen = seen || (d.width == size.width && d.height == size.height);
        if (!seen) distinct.push_back(size);
    }
    usageError("camera " + std::to_string(choice.camera) + " does not offer " + args.value("size") + "; it offers " +
               sizeList(distinct, ", "));
}

// Opens the camera; an MJPEG stream that will not open falls back to YUYV at
// the same size when the camera offers it there, as the desktop program does.
void openChosen(CameraChoice& choice) {
    SetDataCallback(watchFrame);
    SetVideoFormat(choice.format);
    int status = openCamera(choice.camera, choice.size.width, choice.size.height);
    if (status != 0 && choice.format == 0) {
        for (const Size& size : sizesOf(choice.camera, 1)) {
            if (size.width != choice.size.width || size.height != choice.size.height) continue;
            note("the MJPEG stream would not open (" + std::to_string(status) + "); trying YUYV");
            choice.format = 1;
            SetVideoFormat(1);
            status = openCamera(choice.camera, choice.size.width, choice.size.height);
            break;
        }
    }
    if (status != 0)
        failed("cannot open camera " + std::to_string(choice.camera) + " at " +
               sizeText(choice.size.width, choice.size.height) + " (error " + std::to_string(status) + ")");
}

// Closes the camera however the command ends.
struct OpenCamera {
    explicit OpenCamera(CameraChoice& choice) { openChosen(choice); }
    ~OpenCamera() { closeCamera(); }
    OpenCamera(const OpenCamera&) = delete;
    OpenCamera& operator=(const OpenCamera&) = delete;
};

// Waits until the picture has settled (exposure, a hand leaving) and, when
// cropping, until the page outline is known. Gives up after a while: a
// camera that never settles is still photographed, with a warning.
void waitForSettledPicture(bool needOutline) {
    constexpr int kFirstFrames = 5; // the camera's exposure settles over the first frames
    constexpr int kStillFrames = 3;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    auto settled = [&] {
        return stillness.frames >= kFirstFrames && stillness.stillFrames >= kStillFrames &&
               (!needOutline || HasPageOutline() == 1);
    };
    while (!settled() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (stillness.frames == 0) failed("the camera sends no pictures");
    if (needOutline && HasPageOutline() != 1) failed("no page found");
    if (!settled()) note("the picture did not settle; photographed as it is");
}

std::string numbered(const std::string& path, int number) {
    const size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), "-%03d", number);
    return path.substr(0, dot) + suffix + path.substr(dot);
}

std::string captureError(int code, const std::string& path) {
    switch (code) {
    case -1:
        return "no camera is open";
    case -2:
        return "the camera did not answer in time";
    case -3:
        return "the stream stopped";
    case -4:
        return getWriteFailureReason(path.c_str());
    case -5:
        return "the path is too long";
    default:
        return "the capture failed";
    }
}

std::atomic<int> autoCaptured{0};
std::atomic<int> autoFailed{0};
std::atomic<bool> interrupted{false};

// On the stream thread: each file auto-capture wrote is a result at once.
void onAutoCaptured(const char* path) {
    result(path);
    ++autoCaptured;
}

// On the stream thread: a page that could not be written is said at once,
// however quiet; the library tries it again while it lies still.
void onAutoCaptureFailed(const char* path, const char* why) {
    complain(std::string("cannot write '") + path + "': " + why + "; trying again while the page lies still");
    ++autoFailed;
}

void onInterrupt(int) {
    interrupted = true;
}

// The camera's button: presses of its capture key, counted on the library's thread.
std::mutex buttonMutex;
std::condition_variable buttonPressed;
int presses = 0;

void onButton(int key) {
    if (key != 0) return;
    {
        std::lock_guard lock(buttonMutex);
        ++presses;
    }
    buttonPressed.notify_all();
}

// Takes one press, waiting for it when wait is set; false when none came.
bool takePress(bool wait) {
    std::unique_lock lock(buttonMutex);
    if (wait) buttonPressed.wait(lock, [] { return presses > 0; });
    if (presses == 0) return false;
    --presses;
    return true;
}

// A press that came before the picture settled is no request for it.
void listenToButton(int camera) {
    if (!CameraHasButton())
        failed("camera " + std::to_string(camera) +
               " has no button that velcap can read (its input device may be readable by root alone)");
    std::lock_guard lock(buttonMutex);
    presses = 0;
}

// folder/yyyyMMddHHmmsszzz.ext, as auto-capture names its files, for a photograph the button asked for.
std::string stampedPath(const std::string& folder, const std::string& extension) {
    for (auto now = std::chrono::system_clock::now();; now += std::chrono::milliseconds(1)) {
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        std::tm local{};
        localtime_r(&seconds, &local);
        char name[32];
        std::strftime(name, sizeof(name), "%Y%m%d%H%M%S", &local);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        char stamp[48];
        std::snprintf(stamp, sizeof(stamp), "%s%03d", name, int(ms));
        const std::string path = folder + "/" + stamp + "." + extension;
        if (::access(path.c_str(), F_OK) != 0) return path;
    }
}

// The extension of a name given to --format, as the library's file format code.
int fileFormatCode(const std::string& format) {
    static const char* const kFormats[] = {"jpg", "bmp", "png", "tif", "gif", "pdf"};
    for (int code = 0; code < 6; ++code)
        if (format == kFormats[code]) return code;
    usageError("--format takes jpg, bmp, png, tif, gif or pdf, not '" + format + "'");
}

// The settings that capture and auto share.
void applyPictureSettings(const Arguments& args) {
    if (args.has("grey") && args.has("bw")) usageError("--grey and --bw exclude each other");
    const int rotate = args.integer("rotate", 0, 0, 3);
    const int quality = args.integer("quality", 90, 1, 100);
    const std::string crop = args.value("crop");
    if (args.has("crop") && !crop.empty() && crop != "quad")
        usageError("--crop takes no value or =quad ('--crop=" + crop + "')");
    // Both crops find the page as four corners, which works on any desk;
    // --crop cuts out the box round them, --crop=quad straightens the page.
    SetCutType(!args.has("crop") ? 0 : crop == "quad" ? 2 : 3);
    SetDelBackColor(args.has("whiten") ? 1 : 0);
    SetDelBlackedge(args.has("black-edge") ? 1 : 0);
    SetColorMode(args.has("grey") ? 1 : args.has("bw") ? 2 : 0);
    SetJpgQuality(quality);
    SetRotate(rotate);
}

} // namespace

int listCameras(const Arguments& args) {
    args.expectOperands(0, 0, "list [--json]");
    const int count = requireCameras();
    // Serials and ports, which tell two of a model apart.
    const std::vector<velcap::Device> described = velcap::devices(velcap::DeviceFilter::AnyCamera);
    std::string json = "[";
    for (int camera = 0; camera < count; ++camera) {
        const std::string name = trimmed(getCameraName(camera));
        const char* node = getCameraNode(camera);
        const std::vector<Size> mjpeg = sizesOf(camera, 0);
        const std::vector<Size> yuyv = sizesOf(camera, 1);
        std::string serial, port;
        for (const velcap::Device& d : described)
            if (node && d.node == node) serial = d.serial, port = d.port;
        if (args.has("json")) {
            json += std::string(camera ? ",\n " : "\n ") + "{\"index\": " + std::to_string(camera) +
                    ", \"node\": " + jsonString(node ? node : "") + ", \"name\": " + jsonString(name) +
                    ", \"mjpeg\": " + jsonSizes(mjpeg) + ", \"yuyv\": " + jsonSizes(yuyv) +
                    ", \"serial\": " + jsonString(serial) + ", \"port\": " + jsonString(port) + "}";
        } else {
            result(std::to_string(camera) + "\t" + (node ? node : "") + "\t" + name + "\tMJPEG " +
                   sizeList(mjpeg, ",") + "\tYUYV " + sizeList(yuyv, ",") + "\t" + serial + "\t" + port);
        }
    }
    if (args.has("json")) result(json + "\n]");
    return kSuccess;
}

namespace {

// FILE - : the picture goes through a temporary file to standard output.
class StandardOutputPicture {
public:
    explicit StandardOutputPicture(const std::string& extension) {
        const char* folder = std::getenv("TMPDIR");
        std::string pattern = std::string(folder && *folder ? folder : "/tmp") + "/velcap-XXXXXX." + extension;
        const int fd = ::mkstemps(pattern.data(), int(extension.size() + 1));
        if (fd < 0) failed(std::string("cannot make a temporary file: ") + std::strerror(errno));
        ::close(fd);
        path_ = pattern;
        rememberTemporary(path_);
    }
    ~StandardOutputPicture() {
        ::unlink(path_.c_str());
        rememberTemporary({});
    }
    const std::string& path() const { return path_; }
    void copyToResults() const {
        std::FILE* in = std::fopen(path_.c_str(), "rb");
        if (!in) failed("cannot read the picture back: " + std::string(std::strerror(errno)));
        char buffer[1 << 16];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) std::fwrite(buffer, 1, n, results());
        std::fclose(in);
    }

private:
    std::string path_;
};

} // namespace

int captureCommand(const Arguments& args) {
    std::vector<std::string> operands = args.operands();
    const std::string languages = ocrLanguages(args, operands);
    const bool ocr = !languages.empty();
    args.expectOperands(operands, 1, 1, "capture [OPTION...] FILE");
    const std::string path = operands[0];
    const bool toStandardOutput = path == "-";
    if (args.has("format") && !toStandardOutput)
        usageError("--format is for FILE - (a file's extension tells its format)");
    std::string extension = toStandardOutput ? args.value("format", "jpg") : extensionOf(path);
    if (extension != "jpg" && extension != "jpeg" && extension != "png" && extension != "bmp" && extension != "tif" &&
        extension != "tiff" && extension != "pdf") {
        if (toStandardOutput) usageError("--format takes jpg, png, bmp, tif or pdf, not '" + extension + "'");
        usageError("cannot tell the format of '" + path + "'; name it .jpg, .png, .bmp, .tif or .pdf");
    }
    const bool book = args.has("book");
    if (book) {
        if (toStandardOutput || args.has("count") || args.has("on-button"))
            usageError("--book writes the pages of one spread into FILE (not -, --count or --on-button)");
        if (args.has("crop") || wantsPageOptions(args) || args.has("bw"))
            usageError("--book finds and cuts the pages itself: leave out --crop, --bw and the page options");
        if (extension == "bmp") usageError("--book writes .pdf, .jpg, .png or .tif pages");
    }
    if (ocr && extension != "pdf") usageError("--ocr gives a PDF its text; name FILE .pdf");
    if (args.has("pdfa") && extension != "pdf") usageError("--pdfa writes a PDF; name FILE .pdf");
    if (wantsPageOptions(args) && toStandardOutput) usageError("--paper, --dpi and --max-size write a FILE");
    // Black and white TIFF files and PDF pages are CCITT G4, as scanners write them: made as pages.
    const bool paged = wantsPageOptions(args) || (args.has("bw") && !toStandardOutput &&
                                                  (extension == "tif" || extension == "tiff" || extension == "pdf"));
    PageChoice page = paged ? pageChoice(args) : PageChoice{};
    if (paged) {
        page.ocrLanguages = languages;
        SetOcrLanguages(nullptr); // the page is read once, as it lies on its paper
    }
    SetPdfA(args.has("pdfa") ? 1 : 0);
    if (args.has("interval") && !args.has("count")) usageError("--interval needs --count");
    if (toStandardOutput && args.has("count")) usageError("--count writes several files; FILE - is one picture");
    const int count = args.integer("count", 1, 1, 999);
    const double interval = args.seconds("interval", 0);
    applyPictureSettings(args);
    SetPdfCaptureInMemory(1); // no temporary picture left in the home folder
    const bool noClobber = args.has("no-clobber");
    if (!toStandardOutput && (!book || extension == "pdf"))
        for (int shot = 1; shot <= count; ++shot)
            requireWritable(args.has("count") ? numbered(path, shot) : path, noClobber);

    const bool onButtonPress = args.has("on-button");
    if (onButtonPress && args.has("interval")) usageError("--on-button and --interval exclude each other");
    CameraChoice choice = chooseCamera(args, args.has("yuyv"));
    if (onButtonPress) SetButtonCallback(onButton);
    OpenCamera open(choice);
    waitForSettledPicture(args.has("crop"));
    if (onButtonPress) listenToButton(choice.camera);

    if (book) {
        // The spread waits in a private file of its own, removed at the end.
        const StandardOutputPicture spread("jpg");
        const int status = captureImage(spread.path().c_str());
        if (status != 0) failed("cannot photograph: " + captureError(status, spread.path()));
        velcap::BookOptions options;
        std::vector<std::string> written;
        if (velcap::writeBookPages({spread.path()}, path, options, &written, languages, args.has("pdfa")) !=
            velcap::Status::Ok)
            failed("no book in the camera's picture, or '" + path + "' not written; nothing written");
        for (const std::string& page : written) result(page);
        return kSuccess;
    }
    if (toStandardOutput) {
        if (onButtonPress) {
            note("press the camera's button to photograph");
            takePress(true);
        }
        const StandardOutputPicture picture(extension);
        const int status = captureImage(picture.path().c_str());
        if (status != 0) failed("cannot photograph: " + captureError(status, picture.path()));
        picture.copyToResults();
        return kSuccess;
    }
    Progress progress("photographed", count);
    std::string countdown;
    auto next = Clock::now();
    for (int shot = 1; shot <= count; ++shot) {
        // The countdown to the next photograph, on a terminal.
        while (Clock::now() < next) {
            const auto left = std::chrono::duration_cast<std::chrono::seconds>(next - Clock::now()).count() + 1;
            const std::string text = "velcap: photographed " + std::to_string(shot - 1) + "/" + std::to_string(count) +
                                     ", the next in " + std::to_string(left) + " s";
            if (text != countdown) progress.show(countdown = text);
            std::this_thread::sleep_until(std::min(next, Clock::now() + std::chrono::milliseconds(200)));
        }
        if (onButtonPress) {
            progress.show("velcap: photographed " + std::to_string(shot - 1) + "/" + std::to_string(count) +
                          "; press the camera's button for the next");
            takePress(true);
        }
        next = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
        const std::string file = args.has("count") ? numbered(path, shot) : path;
        if (noClobber) requireWritable(file, true);
        if (paged) {
            // The photograph as it is (lossless), then the page made of it.
            std::string raw = file + ".XXXXXX.png";
            const int fd = ::mkstemps(raw.data(), 4);
            if (fd < 0) failed("cannot write beside '" + file + "'");
            ::close(fd);
            rememberTemporary(raw);
            const int status = captureImage(raw.c_str());
            if (status != 0) {
                ::unlink(raw.c_str());
                failed("cannot photograph into '" + file + "': " + captureError(status, file));
            }
            try {
                writeWithChoice({raw}, file, page);
            } catch (...) {
                ::unlink(raw.c_str());
                throw;
            }
            ::unlink(raw.c_str());
            rememberTemporary({});
            result(file);
            progress.update(shot);
            continue;
        }
        const int status = captureImage(file.c_str());
        if (status != 0) failed("cannot photograph into '" + file + "': " + captureError(status, file));
        result(file);
        progress.update(shot);
    }
    return kSuccess;
}

int autoCommand(const Arguments& args) {
    args.expectOperands(1, 1, "auto [--count N] [--timeout SECONDS] [OPTION...] FOLDER");
    std::string folder = args.operands()[0];
    const int count = args.integer("count", 0, 1, 100000);
    const double timeout = args.seconds("timeout", 0);
    const int format = fileFormatCode(args.value("format", "jpg"));
    applyPictureSettings(args);
    SetPdfCaptureInMemory(1);
    std::error_code error;
    if (!folder.empty()) std::filesystem::create_directories(folder, error);
    if (error) failed("cannot make the folder '" + folder + "': " + error.message());
    requireWritable(folder + "/x");

    CameraChoice choice = chooseCamera(args, args.has("yuyv"));
    SetFileFormat(format);
    SetAutoCaptureFolder(folder.c_str());
    SetAutoCaptureCallback(onAutoCaptured);
    SetAutoCaptureFailureCallback(onAutoCaptureFailed);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    SetAutoCapture(1);
    const bool onButtonPress = args.has("button");
    if (onButtonPress) SetButtonCallback(onButton);
    bool silent = false;
    {
        OpenCamera open(choice);
        if (onButtonPress) listenToButton(choice.camera);
        const auto deadline =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
        // A camera that sends nothing for this long has gone.
        constexpr auto kSilence = std::chrono::seconds(5);
        int frames = stillness.frames;
        auto lastFrame = Clock::now();
        Progress progress("waiting for a page; captured", count);
        int shown = -1;
        while (!interrupted && (!count || autoCaptured < count) && (timeout == 0 || Clock::now() < deadline)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            // A press photographs the page as it lies, still or not.
            if (onButtonPress && takePress(false)) {
                const std::string asked = args.value("format", "jpg");
                const std::string file = stampedPath(folder, asked == "gif" ? "jpg" : asked);
                const int status = captureImage(file.c_str());
                if (status == 0)
                    onAutoCaptured(file.c_str());
                else
                    complain("cannot photograph into '" + file + "': " + captureError(status, file));
            }
            if (autoCaptured != shown) progress.update(shown = autoCaptured);
            if (stillness.frames != frames) {
                frames = stillness.frames;
                lastFrame = Clock::now();
            } else if (Clock::now() - lastFrame > kSilence) {
                silent = true;
                break;
            }
        }
        SetAutoCapture(0);
    }
    SetAutoCaptureFailureCallback(nullptr);
    if (silent) throw Failure(kNoCamera, "the camera is gone: it sends no pictures any more");
    if (autoFailed > 0)
        failed(std::to_string(autoFailed.load()) + " page" + (autoFailed == 1 ? "" : "s") + " could not be written");
    if (autoCaptured == 0) failed("no page captured");
    return kSuccess;
}

int scanCommand(const Arguments& args) {
    if (args.has("qr") && args.has("bar")) usageError("--qr and --bar exclude each other; give neither for both");
    // Pictures: every code in each; without them, the camera.
    if (!args.operands().empty()) {
        if (args.has("camera") || args.has("device") || args.has("timeout"))
            usageError("--camera, --device and --timeout are for the camera, not for files");
        return scanFiles(args, !args.has("bar"), !args.has("qr"));
    }
    if (args.has("raw")) usageError("--raw is for files; the camera's text is printed alone");
    if (!args.has("qr") && !args.has("bar")) usageError("scan from the camera needs one of --qr and --bar");
    const double timeout = args.seconds("timeout", 10);
    const int type = args.has("qr") ? 1 : 0;
    // The enhanced recognition reads what the usual one misses; --plain keeps the usual one.
    SetRecogEnhanced(args.has("plain") ? 0 : 1);
    CameraChoice choice = chooseCamera(args, false);
    OpenCamera open(choice);
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    // No frame for this long: the camera is gone (unplugged), not merely codeless.
    constexpr auto kSilence = std::chrono::seconds(2);
    int frames = stillness.frames;
    auto lastFrame = Clock::now();
    const std::string looking = type == 1 ? "looking for a QR code" : "looking for a bar code";
    Progress progress(looking.c_str(), 0);
    long long shownLeft = -1;
    do {
        // Each request reads the next frame.
        const std::string text = RecogBarQrCode(type);
        if (!text.empty()) {
            result(text);
            return kSuccess;
        }
        if (stillness.frames != frames) {
            frames = stillness.frames;
            lastFrame = Clock::now();
        } else if (Clock::now() - lastFrame > kSilence) {
            throw Failure(kNoCamera, "the camera is gone: it sends no pictures any more");
        }
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now()).count() + 1;
        if (left != shownLeft)
            progress.show("\rvelcap: " + looking + ", " + std::to_string(shownLeft = left) + " s left");
        // An answer without a frame read (the stream has stopped) must not spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < deadline);
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%g", timeout);
    throw Failure(kNothingFound,
                  std::string("no ") + (type == 1 ? "QR code" : "bar code") + " found within " + seconds + " s");
}

int controlsCommand(const Arguments& args) {
    // NAME=VALUE settings (also NAME=VALUE,NAME=VALUE, as v4l2-ctl's -c takes
    // them) or NAME alone to read one, checked before the camera opens.
    std::vector<std::pair<std::string, int>> settings;
    std::vector<std::string> reads;
    for (const std::string& operand : args.operands()) {
        size_t from = 0;
        for (;;) {
            const size_t comma = operand.find(',', from);
            const std::string item =
                operand.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
            const size_t equals = item.find('=');
            char* end = nullptr;
            const long value = equals == std::string::npos ? 0 : std::strtol(item.c_str() + equals + 1, &end, 10);
            if (equals == std::string::npos && !item.empty() && item.find_first_of(" \t") == std::string::npos) {
                reads.push_back(item);
            } else if (equals == std::string::npos || equals == 0 || end == item.c_str() + equals + 1 || *end != '\0' ||
                       value < INT_MIN || value > INT_MAX) {
                usageError("controls takes NAME=VALUE, such as brightness=10, or a NAME to read, not '" + operand +
                           "'");
            } else {
                settings.emplace_back(item.substr(0, equals), int(value));
            }
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
    }
    if (!reads.empty() && !settings.empty()) usageError("controls reads NAMEs or sets NAME=VALUEs, not both at once");
    CameraChoice choice = chooseCamera(args, false);
    // The smallest size opens fastest; controls do not depend on it.
    const std::vector<Size> sizes = sizesOf(choice.camera, choice.format);
    for (const Size& size : sizes)
        if (int64_t(size.width) * size.height < int64_t(choice.size.width) * choice.size.height) choice.size = size;
    OpenCamera open(choice);
    for (const auto& [name, value] : settings) {
        int minimum = 0, maximum = 0;
        if (GetCameraControl(name.c_str(), &minimum, &maximum, nullptr, nullptr) != 0)
            usageError("camera " + std::to_string(choice.camera) + " has no control '" + name +
                       "' (velcap controls lists them)");
        // As the driver does for v4l2-ctl: a value out of range is taken at its end.
        const int taken = std::clamp(value, minimum, maximum);
        if (taken != value)
            note(name + "=" + std::to_string(value) + " is outside " + std::to_string(minimum) + " to " +
                 std::to_string(maximum) + "; set to " + std::to_string(taken));
        if (SetCameraControl(name.c_str(), taken) != 0)
            failed("the camera refused " + name + "=" + std::to_string(taken));
    }
    if (!settings.empty()) return kSuccess;
    const auto line = [](const std::string& name, int value, int minimum, int maximum, int defaultValue) {
        result(name + "\t" + std::to_string(value) + "\t" + std::to_string(minimum) + "\t" + std::to_string(maximum) +
               "\t" + std::to_string(defaultValue));
    };
    for (const std::string& name : reads) {
        int minimum = 0, maximum = 0, defaultValue = 0, value = 0;
        if (GetCameraControl(name.c_str(), &minimum, &maximum, &defaultValue, &value) != 0)
            usageError("camera " + std::to_string(choice.camera) + " has no control '" + name +
                       "' (velcap controls lists them)");
        line(name, value, minimum, maximum, defaultValue);
    }
    if (!reads.empty()) return kSuccess;
    for (int index = 0; const char* name = GetCameraControlName(index); ++index) {
        int minimum = 0, maximum = 0, defaultValue = 0, value = 0;
        if (GetCameraControl(name, &minimum, &maximum, &defaultValue, &value) != 0) continue;
        line(name, value, minimum, maximum, defaultValue);
    }
    return kSuccess;
}

} // namespace velcap::cli
