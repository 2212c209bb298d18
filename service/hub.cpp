#include "hub.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <turbojpeg.h>

#include "jpeg.h"
#include "page.h"
#include "velcap.h"

#include <malloc.h>

namespace velcapd {

namespace {

constexpr int kStreamQuality = 80;
// A camera opened for a scan: the frames it has to set its exposure, and the longest wait for them.
constexpr std::uint64_t kSettlingFrames = 5;
constexpr auto kSettling = std::chrono::seconds(2);

Json failure(const std::string& why, int status = 422) {
    return {{"ok", false}, {"error", why}, {kStatusKey, status}};
}

std::string base64(const std::string& bytes) {
    using namespace boost::archive::iterators;
    using Encoder = base64_from_binary<transform_width<std::string::const_iterator, 6, 8>>;
    std::string text(Encoder(bytes.begin()), Encoder(bytes.end()));
    text.append((3 - bytes.size() % 3) % 3, '=');
    return text;
}

std::string sizeText(const std::pair<int, int>& size) {
    return std::to_string(size.first) + "x" + std::to_string(size.second);
}

std::string home() {
    const char* home = std::getenv("HOME");
    return home && *home == '/' ? home : "/tmp";
}

std::int64_t steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The folder with links resolved, or "" when it does not exist.
std::string resolved(const std::string& folder) {
    char real[PATH_MAX];
    return ::realpath(folder.c_str(), real) ? std::string(real) : std::string();
}

bool under(const std::string& path, const std::string& folder) {
    if (folder.empty()) return false;
    if (folder == "/") return true;
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

// A folder of the user's alone: made 0700 where missing, refused when it is
// a link or another user's.
bool privateFolder(const std::string& folder) {
    ::mkdir(folder.c_str(), 0700);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) return false;
    return (info.st_mode & 0777) == 0700 || ::chmod(folder.c_str(), 0700) == 0;
}

// Removes what an earlier run left in the private folder (a crash's card sides).
void emptyFolder(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") ::unlink((folder + "/" + name).c_str());
    }
    ::closedir(dir);
}

HubOptions completed(HubOptions options) {
    if (options.saveFolder.empty()) options.saveFolder = home() + "/Image";
    ::mkdir(options.saveFolder.c_str(), 0755);
    if (options.privateFolder.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime && *runtime == '/') {
            options.privateFolder = std::string(runtime) + "/velcapd";
        } else {
            const char* config = std::getenv("XDG_CONFIG_HOME");
            const std::string base = config && *config == '/' ? config : home() + "/.config";
            ::mkdir(base.c_str(), 0700);
            ::mkdir((base + "/velcap").c_str(), 0700);
            options.privateFolder = base + "/velcap/private";
        }
    }
    if (privateFolder(options.privateFolder))
        emptyFolder(options.privateFolder);
    else
        options.privateFolder.clear(); // card copies then fail with a reason
    return options;
}

// FOLDER/yyyyMMddHHmmsszzz.EXT
std::string timedPath(const std::string& folder, const std::string& extension) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char name[40];
    std::snprintf(name, sizeof(name), "%04d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms);
    return folder + "/" + name + "." + extension;
}

bool hasControlCharacter(const std::string& text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
    return false;
}

} // namespace

bool nestedDeeperThan(const std::string& text, int limit) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

Hub::Hub(HubOptions options) : options_(completed(std::move(options))), compressor_(tjInitCompress()) {
    camera_.setAutoReconnect(true);
    camera_.setDeviceProfiles(true);
    // The stream passes the camera's JPEG on: frames are decoded only for captures and codes.
    camera_.setJpegOnly(true);
    camera_.setFrameCallback([this](const velcap::Frame& frame) { onFrame(frame); });
    camera_.setAwayCallback([this](bool away) { onAway(away); });
    presses_ = 0;
    buttonThread_ = std::thread([this] { serveButton(); });
    camera_.setButtonCallback([this](velcap::ButtonKey key) { onButton(key); });
    velcap::setDeviceCallback([this](const velcap::Device& device, bool added) {
        publish({{"event", added ? "deviceAdded" : "deviceRemoved"}, {"node", device.node}, {"name", device.name}});
    });
}

Hub::~Hub() {
    velcap::setDeviceCallback(nullptr);
    camera_.setButtonCallback(nullptr);
    {
        std::lock_guard lock(buttonMutex_);
        presses_ = -1;
    }
    buttonPressed_.notify_all();
    buttonThread_.join();
    camera_.close(); // no frame or button callback runs after this
    forgetCardFront();
    tjDestroy(static_cast<tjhandle>(compressor_));
}

void Hub::setEventSink(std::function<void(const Json&)> sink) {
    std::lock_guard lock(eventMutex_);
    eventSink_ = std::move(sink);
}

void Hub::publish(const Json& event) {
    std::lock_guard lock(eventMutex_);
    if (eventSink_) eventSink_(event);
}

void Hub::setPictureSink(std::function<void(const Picture&)> sink) {
    std::lock_guard lock(sinkMutex_);
    pictureSink_ = std::move(sink);
}

void Hub::tellPicture(const Picture& picture) {
    std::lock_guard lock(sinkMutex_);
    if (pictureSink_) pictureSink_(picture);
}

bool Hub::isOpen() const {
    return open_;
}

void Hub::watch(bool on) {
    watchers_ += on ? 1 : -1;
}

Picture Hub::awayPicture() const {
    if (!open_ || !away_) return {};
    static const auto bytes = std::make_shared<const std::string>(noDevicePicture());
    // A number of its own, so that the camera's next frame is new to every client.
    return {bytes, (frames_ + 1) | (1ull << 62), steadyNow()};
}

void Hub::onAway(bool away) {
    away_ = away;
    if (away && watchers_ > 0) tellPicture(awayPicture());
}

void Hub::tick() {
    if (watchers_ > 0 && away_ && open_) tellPicture(awayPicture());
    std::lock_guard lock(cardMutex_);
    if (!cardFront_.empty() && std::chrono::steady_clock::now() - cardTaken_ >= options_.cardWait) {
        ::unlink(cardFront_.c_str());
        cardFront_.clear();
    }
}

void Hub::forgetCardFront() {
    std::lock_guard lock(cardMutex_);
    if (!cardFront_.empty()) ::unlink(cardFront_.c_str());
    cardFront_.clear();
}

void Hub::onFrame(const velcap::Frame& frame) {
    ++frames_;
    if (watchers_ <= 0) return;
    std::shared_ptr<const std::string> picture;
    if (frame.jpeg) {
        // The camera's own JPEG as it came: no decoding and encoding again.
        picture = std::make_shared<const std::string>(completeJpeg(frame.jpeg, frame.jpegSize));
    } else if (frame.rgb) {
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        if (tjCompress2(static_cast<tjhandle>(compressor_), frame.rgb, frame.width, frame.stride, frame.height,
                        TJPF_RGB, &jpeg, &size, TJSAMP_420, kStreamQuality, TJFLAG_FASTDCT) != 0)
            return;
        picture = std::make_shared<const std::string>(reinterpret_cast<char*>(jpeg), size);
        tjFree(jpeg);
    } else {
        return;
    }
    tellPicture({std::move(picture), frame.sequence + 1, frame.timestamp ? frame.timestamp : steadyNow()});
}

void Hub::onButton(velcap::ButtonKey key) {
    publish({{"event", "button"}, {"key", key == velcap::ButtonKey::Capture ? "capture" : "focus"}});
    if (key != velcap::ButtonKey::Capture) return;
    {
        std::lock_guard lock(buttonMutex_);
        // Presses during a capture wait their turn; a few, not a flood.
        if (onButton_.is_null() || presses_ < 0 || presses_ >= 4) return;
        ++presses_;
    }
    buttonPressed_.notify_all();
}

void Hub::serveButton() {
    std::unique_lock lock(buttonMutex_);
    for (;;) {
        buttonPressed_.wait(lock, [this] { return presses_ != 0; });
        if (presses_ < 0) return;
        --presses_;
        const Json arguments = onButton_;
        if (arguments.is_null()) continue;
        lock.unlock();
        Json result = run("capture", arguments);
        result.erase(kStatusKey);
        result["event"] = "buttonCaptured";
        publish(result);
        lock.lock();
    }
}

// {"on":true, and capture's arguments}: each press of the camera's button
// photographs as capture does; {"on":false} stops it.
Json Hub::captureOnButton(const Json& arguments) {
    const Json on = arguments.value("on", Json(true));
    if (!on.is_boolean()) return failure("on is true or false", 400);
    Json capture = arguments;
    for (const char* key : {"on", "cmd", "id"}) capture.erase(key);
    std::lock_guard lock(buttonMutex_);
    onButton_ = on == true ? capture : Json();
    if (on != true) presses_ = std::min(presses_, 0);
    return {{"ok", true}, {"on", on}, {"button", camera_.hasButton()}};
}

Json Hub::run(const std::string& command, const Json& arguments) {
    try {
        // The camera list needs no camera: it is not held up by a slow capture.
        if (command == "devices") return devices();
        std::lock_guard lock(commandMutex_);
        if (command == "open") return open(arguments);
        if (command == "close") return close();
        if (command == "capture") return capture(arguments);
        if (command == "scan") return scan(arguments);
        if (command == "controls") return controls();
        if (command == "setControls") return setControls(arguments);
        if (command == "autoCapture") return autoCapture(arguments);
        if (command == "idcard") return idCard(arguments);
        if (command == "captureOnButton") return captureOnButton(arguments);
        return failure("unknown command \"" + command + "\"", 400);
    } catch (const Json::exception& e) {
        return failure(std::string("bad arguments: ") + e.what(), 400);
    }
}

velcap::Status Hub::scanPage(const velcap::ScanSettings& settings, velcap::Scan& out, std::string& why) {
    std::lock_guard lock(commandMutex_);
    if (away_) {
        why = "the camera is unplugged";
        return velcap::Status::NotOpen;
    }
    const bool opened = !camera_.isOpen();
    if (opened) {
        const std::vector<velcap::Device> list = listed();
        if (list.empty()) {
            why = "no camera is plugged in";
            return velcap::Status::NoDevice;
        }
        const velcap::Device& device = list.front();
        const auto [width, height] = device.sizes.empty() ? std::pair{0, 0} : device.sizes.back();
        const velcap::Status status = camera_.open(device, width, height);
        if (status != velcap::Status::Ok) {
            why = velcap::describe(status);
            return status;
        }
        // A camera just opened sets its exposure over its first frames.
        const std::uint64_t first = frames_;
        const auto until = std::chrono::steady_clock::now() + kSettling;
        while (frames_ < first + kSettlingFrames && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const velcap::Status status = camera_.scan(settings, out);
    if (status != velcap::Status::Ok) why = velcap::describe(status);
    if (opened) camera_.close();
    // A scan's pictures are tens of megabytes, freed on whichever worker
    // thread made them: glibc keeps such memory in that thread's arena.
    ::malloc_trim(0);
    return status;
}

std::pair<std::string, std::string> Hub::scannerName() const {
    const std::vector<velcap::Device> list = listed();
    if (list.empty()) return {"velcap document camera", ""};
    return {list.front().name, list.front().serial};
}

Json Hub::close() {
    camera_.close();
    open_ = false;
    away_ = false;
    forgetCardFront();
    tellPicture({}); // the streams end
    return {{"ok", true}};
}

std::vector<velcap::Device> Hub::listed() const {
    return velcap::devices(options_.anyCamera ? velcap::DeviceFilter::AnyCamera : velcap::DeviceFilter::Supported);
}

Json Hub::devices() {
    Json list = Json::array();
    int index = 0;
    for (const velcap::Device& d : listed()) {
        Json sizes = Json::array();
        for (const auto& size : d.sizes) sizes.push_back(sizeText(size));
        list.push_back({{"index", index++},
                        {"name", d.name},
                        {"node", d.node},
                        {"serial", d.serial},
                        {"port", d.port},
                        {"supported", d.supported},
                        {"sizes", sizes}});
    }
    return {{"ok", true}, {"devices", list}};
}

Json Hub::open(const Json& arguments) {
    const int index = arguments.value("device", 0);
    const std::vector<velcap::Device> list = listed();
    if (index < 0 || size_t(index) >= list.size()) return failure("no camera " + std::to_string(index));
    const velcap::Device& device = list[size_t(index)];
    int width = arguments.value("width", 0), height = arguments.value("height", 0);
    // The camera another client opened is shared as it is.
    if (camera_.isOpen() && camera_.node() == device.node &&
        ((width == 0 && height == 0) || (width == camera_.width() && height == camera_.height())))
        return {{"ok", true}, {"width", camera_.width()}, {"height", camera_.height()}, {"node", device.node}};
    if (width == 0 && height == 0 && !device.sizes.empty()) std::tie(width, height) = device.sizes.back();
    away_ = false;
    const velcap::Status status = camera_.open(device, width, height);
    if (status != velcap::Status::Ok) {
        open_ = false;
        return failure(velcap::describe(status));
    }
    open_ = true;
    return {{"ok", true}, {"width", camera_.width()}, {"height", camera_.height()}, {"node", device.node}};
}

Json Hub::capture(const Json& arguments) {
    const std::string format = arguments.value("format", std::string("jpg"));
    if (format != "jpg" && format != "png" && format != "bmp" && format != "tif" && format != "pdf")
        return failure("format is jpg, png, bmp, tif or pdf, not \"" + format + "\"", 400);
    const int crop = arguments.value("crop", 0), rotate = arguments.value("rotate", 0);
    if (crop < 0 || crop > 2) return failure("crop is 0, 1 or 2", 400);
    if (rotate < 0 || rotate > 3) return failure("rotate is 0 to 3", 400);
    // The request's own settings: other clients' captures are not touched.
    velcap::CaptureSettings settings;
    settings.crop = velcap::Crop(crop);
    settings.whitenBackground = arguments.value("whiten", false);
    settings.removeBlackEdge = arguments.value("blackEdge", false);
    settings.rotation = rotate;
    // "ocr": true (Chinese and English) or the languages, for a PDF's text layer.
    const Json ocr = arguments.value("ocr", Json(false));
    if (ocr.is_string() || ocr == true) {
        if (format != "pdf") return failure("ocr gives a PDF its text; the format is pdf", 400);
        settings.ocrLanguages = ocr.is_string() ? ocr.get<std::string>() : "chi_sim+eng";
        std::string why;
        if (!velcap::ocrLanguagesInstalled(settings.ocrLanguages, &why)) return failure("ocr: " + why);
    } else if (!ocr.is_boolean()) {
        return failure("ocr is true, false or languages such as \"chi_sim+eng\"", 400);
    }
    const Json pdfA = arguments.value("pdfa", Json(false));
    if (!pdfA.is_boolean()) return failure("pdfa is true or false", 400);
    if (pdfA == true && format != "pdf") return failure("pdfa writes a PDF; the format is pdf", 400);
    settings.pdfA = pdfA == true;
    const Json book = arguments.value("book", Json(false));
    if (!book.is_boolean()) return failure("book is true or false", 400);
    if (book == true && (format == "bmp" || crop != 0))
        return failure("book writes pdf, jpg, png or tif pages and finds them itself (no crop)", 400);
    Json refusal;
    const std::string path = capturePath(arguments, format, refusal);
    if (path.empty()) return refusal;
    if (book == true) return captureBook(path, settings);
    const velcap::Status status = camera_.capture(path, settings);
    if (status != velcap::Status::Ok) return failure(velcap::describe(status));

    Json answer = {{"ok", true}, {"path", path}};
    int width = 0, height = 0;
    if (GetPictureFileSize(path.c_str(), &width, &height) == 0) answer["width"] = width, answer["height"] = height;
    if (arguments.value("base64", false)) {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        answer["data"] = base64(bytes.str());
    }
    publish({{"event", "captured"}, {"path", path}});
    return answer;
}

// An open book: the spread waits in the private folder while its pages are
// made (a PDF of both, or path-001.jpg and path-002.jpg), then goes.
Json Hub::captureBook(const std::string& path, const velcap::CaptureSettings& settings) {
    if (options_.privateFolder.empty()) return failure("no private folder for the spread's photograph");
    std::string shot = options_.privateFolder + "/spread-XXXXXX.jpg";
    const int fd = ::mkstemps(shot.data(), 4); // 0600
    if (fd < 0) return failure("no room for the photograph");
    ::close(fd);
    velcap::CaptureSettings plain;
    plain.rotation = settings.rotation;
    velcap::Status status = camera_.capture(shot, plain);
    std::vector<std::string> written;
    if (status == velcap::Status::Ok)
        status =
            velcap::writeBookPages({shot}, path, velcap::BookOptions{}, &written, settings.ocrLanguages, settings.pdfA);
    ::unlink(shot.c_str());
    if (status != velcap::Status::Ok)
        return failure(std::string("no book under the camera, or not written: ") + velcap::describe(status));
    for (const std::string& page : written) publish({{"event", "captured"}, {"path", page}});
    return {{"ok", true}, {"path", written.front()}, {"paths", written}};
}

Json Hub::scan(const Json& arguments) {
    const std::string type = arguments.value("type", std::string("qr"));
    if (type != "qr" && type != "bar" && type != "any") return failure("type is qr, bar or any", 400);
    velcap::CodeOptions options;
    options.qr = type != "bar";
    options.bar = type != "qr";
    options.enhanced = arguments.value("enhanced", false);
    std::vector<velcap::Code> found;
    const velcap::Status status = camera_.readCodes(options, found);
    if (status != velcap::Status::Ok) return failure(velcap::describe(status));
    Json codes = Json::array();
    for (const velcap::Code& code : found) {
        Json place = Json::array();
        for (const velcap::CodePoint& p : code.place) place.push_back({p.x, p.y});
        codes.push_back({{"type", code.type}, {"text", code.text}, {"place", place}});
    }
    return {{"ok", true}, {"codes", codes}};
}

Json Hub::controls() {
    if (!camera_.isOpen()) return failure("no camera is open");
    Json out = Json::object();
    for (const velcap::Control& c : camera_.controls())
        out[c.name] = {{"value", c.value}, {"min", c.minimum}, {"max", c.maximum}, {"default", c.defaultValue}};
    return {{"ok", true}, {"controls", out}};
}

Json Hub::setControls(const Json& arguments) {
    if (!camera_.isOpen()) return failure("no camera is open");
    if (!arguments.is_object()) return failure("controls are an object of name and value", 400);
    const std::vector<velcap::Control> known = camera_.controls();
    for (const auto& [name, value] : arguments.items()) {
        if (name == "cmd" || name == "id") continue;
        auto control =
            std::find_if(known.begin(), known.end(), [&](const velcap::Control& c) { return c.name == name; });
        if (control == known.end()) return failure("the camera has no control \"" + name + "\"");
        if (!value.is_number_integer()) return failure(name + " takes a whole number", 400);
        const velcap::Status status = camera_.setControl(control->id, value.get<int>());
        if (status != velcap::Status::Ok) return failure(name + ": " + velcap::describe(status));
    }
    return controls();
}

bool Hub::writableFolder(const std::string& folder) const {
    const std::string real = resolved(folder);
    if (real.empty()) return false;
    if (under(real, resolved(options_.saveFolder))) return true;
    for (const std::string& allowed : options_.allowedFolders)
        if (under(real, resolved(allowed))) return true;
    return false;
}

std::string Hub::capturePath(const Json& arguments, const std::string& format, Json& refusal) {
    const Json given = arguments.value("path", Json(""));
    if (!given.is_string()) {
        refusal = failure("path is a text", 400);
        return {};
    }
    const std::string path = given.get<std::string>();
    if (path.empty()) return timedPath(options_.saveFolder, format);
    // A web page must not overwrite a file, nor write where it was not let.
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (hasControlCharacter(path))
        refusal = failure("path must not hold control characters", 400);
    else if (path[0] != '/')
        refusal = failure("path must be absolute", 400);
    else if (name.size() < format.size() + 2 ||
             name.compare(name.size() - format.size() - 1, std::string::npos, "." + format) != 0)
        refusal = failure("path must end in ." + format, 400);
    else if (!writableFolder(slash == 0 ? "/" : path.substr(0, slash)))
        refusal = failure(path + " is outside the folders pages may write to (" + options_.saveFolder +
                              "; more with --allow-folder)",
                          403);
    else {
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0) refusal = failure(path + " exists; it is not replaced");
    }
    return refusal.is_null() ? resolved(path.substr(0, slash == 0 ? 1 : slash)) + (slash == 0 ? "" : "/") + name
                             : std::string();
}

// {"side":"front"} photographs the card's front; {"side":"back","format":
// "pdf|jpg|png","path":...} its back, and makes the copy of both on A4.
Json Hub::idCard(const Json& arguments) {
    const std::string side = arguments.value("side", std::string());
    if (side != "front" && side != "back") return failure("side is front or back", 400);
    {
        std::lock_guard lock(cardMutex_);
        if (side == "back" && cardFront_.empty()) return failure("photograph the front first");
    }
    const std::string format = arguments.value("format", std::string("pdf"));
    if (format != "pdf" && format != "jpg" && format != "png") return failure("format is pdf, jpg or png", 400);
    Json refusal;
    std::string path;
    if (side == "back" && (path = capturePath(arguments, format, refusal)).empty()) return refusal;
    if (options_.privateFolder.empty()) return failure("no private folder for the card's photographs");
    // The sides are personal data: in the private folder, the user's alone, until the copy is made.
    std::string shot = options_.privateFolder + "/card-XXXXXX.jpg";
    const int fd = ::mkstemps(shot.data(), 4); // 0600
    if (fd < 0) return failure("no room for the photograph");
    ::close(fd);
    const velcap::Status status = camera_.capture(shot, velcap::CaptureSettings{});
    if (status != velcap::Status::Ok) {
        ::unlink(shot.c_str());
        return failure(velcap::describe(status));
    }
    ::chmod(shot.c_str(), 0600); // the capture replaced the empty file with one of its own
    std::string front;
    {
        std::lock_guard lock(cardMutex_);
        if (side == "front") {
            if (!cardFront_.empty()) ::unlink(cardFront_.c_str());
            cardFront_ = shot;
            cardTaken_ = std::chrono::steady_clock::now();
            return {{"ok", true}, {"side", "front"}};
        }
        front = cardFront_;
        cardFront_.clear();
    }
    const velcap::Status made = front.empty() ? velcap::Status::NotWritten : velcap::makeIdCardCopy(front, shot, path);
    ::unlink(front.c_str());
    ::unlink(shot.c_str());
    if (front.empty()) return failure("the front waited too long; photograph it again");
    if (made != velcap::Status::Ok) return failure("no card found; lay it flat and photograph both sides again");
    publish({{"event", "captured"}, {"path", path}});
    return {{"ok", true}, {"path", path}};
}

Json Hub::autoCapture(const Json& arguments) {
    velcap::AutoCapture settings;
    settings.on = arguments.value("on", false);
    settings.folder = arguments.value("folder", std::string());
    if (settings.folder.empty()) settings.folder = options_.saveFolder;
    if (hasControlCharacter(settings.folder)) return failure("folder must not hold control characters", 400);
    if (settings.folder[0] != '/') return failure("folder must be absolute", 400);
    if (!writableFolder(settings.folder))
        return failure(settings.folder + " is outside the folders pages may write to", 403);
    settings.folder = resolved(settings.folder);
    settings.captured = [this](const std::string& path) { publish({{"event", "autoCaptured"}, {"path", path}}); };
    settings.failed = [this](const std::string& path, const std::string& why) {
        publish({{"event", "autoCaptureFailed"}, {"path", path}, {"error", why}});
    };
    camera_.setAutoCapture(settings);
    return {{"ok", true}, {"on", settings.on}, {"folder", settings.folder}};
}

} // namespace velcapd
