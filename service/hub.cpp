#include "hub.h"

#include <chrono>
#include <ctime>
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

namespace velcapd {

namespace {

constexpr int kStreamQuality = 80;

Json failure(const std::string& why) {
    return {{"ok", false}, {"error", why}};
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

// ~/Image, where the desktop program saves too.
std::string defaultFolder() {
    const char* home = std::getenv("HOME");
    const std::string folder = std::string(home && *home ? home : "/tmp") + "/Image";
    ::mkdir(folder.c_str(), 0755);
    return folder;
}

// ~/Image/yyyyMMddHHmmsszzz.EXT
std::string defaultPath(const std::string& extension) {
    const std::string folder = defaultFolder();
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

} // namespace

Hub::Hub() : compressor_(tjInitCompress()) {
    camera_.setAutoReconnect(true);
    camera_.setDeviceProfiles(true);
    camera_.setFrameCallback([this](const velcap::Frame& frame) { onFrame(frame); });
    velcap::setDeviceCallback([this](const velcap::Device& device, bool added) {
        publish({{"event", added ? "deviceAdded" : "deviceRemoved"}, {"node", device.node}, {"name", device.name}});
    });
}

Hub::~Hub() {
    velcap::setDeviceCallback(nullptr);
    if (!idFront_.empty()) ::unlink(idFront_.c_str());
    camera_.close(); // no frame callback runs after this
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

bool Hub::isOpen() const {
    std::lock_guard lock(pictureMutex_);
    return open_;
}

void Hub::watch(bool on) {
    watchers_ += on ? 1 : -1;
}

void Hub::onFrame(const velcap::Frame& frame) {
    ++frames_;
    if (watchers_ <= 0) return;
    std::shared_ptr<const std::string> picture;
    if (frame.jpeg) {
        // The camera's own JPEG as it came: no decoding and encoding again.
        picture = std::make_shared<const std::string>(completeJpeg(frame.jpeg, frame.jpegSize));
    } else {
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        if (tjCompress2(static_cast<tjhandle>(compressor_), frame.rgb, frame.width, frame.stride, frame.height,
                        TJPF_RGB, &jpeg, &size, TJSAMP_420, kStreamQuality, TJFLAG_FASTDCT) != 0)
            return;
        picture = std::make_shared<const std::string>(reinterpret_cast<char*>(jpeg), size);
        tjFree(jpeg);
    }
    {
        std::lock_guard lock(pictureMutex_);
        picture_ = {std::move(picture), frame.sequence + 1, frame.timestamp};
    }
    pictureChanged_.notify_all();
}

Picture Hub::pictureAfter(std::uint64_t number, std::chrono::milliseconds timeout) {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(pictureMutex_);
    for (;;) {
        if (picture_.jpeg && picture_.number != number) return picture_;
        const bool expired = std::chrono::steady_clock::now() >= deadline;
        if (open_ && camera_.isAway()) {
            if (!away_.jpeg) {
                // A number of its own, so that the camera's next frame is new to every client.
                away_ = {std::make_shared<const std::string>(noDevicePicture()), picture_.number + (1ull << 32), 0};
                picture_ = {};
            }
            if (number != away_.number || expired) return away_;
        } else if (away_.jpeg) {
            away_ = {}; // back: its frames follow
        }
        if (expired) return {};
        // Unplugging is seen by polling: the library tells no one but the stream thread.
        pictureChanged_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + 200ms));
    }
}

Json Hub::run(const std::string& command, const Json& arguments) {
    std::lock_guard lock(commandMutex_);
    try {
        if (command == "devices") return devices();
        if (command == "open") return open(arguments);
        if (command == "close") {
            camera_.close();
            std::lock_guard picture(pictureMutex_);
            open_ = false;
            picture_ = {};
            away_ = {};
            return {{"ok", true}};
        }
        if (command == "capture") return capture(arguments);
        if (command == "scan") return scan(arguments);
        if (command == "controls") return controls();
        if (command == "setControls") return setControls(arguments);
        if (command == "autoCapture") return autoCapture(arguments);
        if (command == "idcard") return idCard(arguments);
        return failure("unknown command \"" + command + "\"");
    } catch (const Json::exception& e) {
        return failure(std::string("bad arguments: ") + e.what());
    }
}

Json Hub::devices() {
    Json list = Json::array();
    int index = 0;
    for (const velcap::Device& d : velcap::devices()) {
        Json sizes = Json::array();
        for (const auto& size : d.sizes) sizes.push_back(sizeText(size));
        list.push_back(
            {{"index", index++}, {"name", d.name}, {"node", d.node}, {"serial", d.serial}, {"sizes", sizes}});
    }
    return {{"ok", true}, {"devices", list}};
}

Json Hub::open(const Json& arguments) {
    const int index = arguments.value("device", 0);
    const std::vector<velcap::Device> list = velcap::devices();
    if (index < 0 || size_t(index) >= list.size()) return failure("no camera " + std::to_string(index));
    const velcap::Device& device = list[size_t(index)];
    int width = arguments.value("width", 0), height = arguments.value("height", 0);
    // The camera another client opened is shared as it is.
    if (camera_.isOpen() && camera_.node() == device.node &&
        ((width == 0 && height == 0) || (width == camera_.width() && height == camera_.height())))
        return {{"ok", true}, {"width", camera_.width()}, {"height", camera_.height()}, {"node", device.node}};
    if (width == 0 && height == 0 && !device.sizes.empty()) std::tie(width, height) = device.sizes.back();
    const velcap::Status status = camera_.open(device, width, height);
    if (status != velcap::Status::Ok) return failure(velcap::describe(status));
    std::lock_guard lock(pictureMutex_);
    open_ = true;
    return {{"ok", true}, {"width", camera_.width()}, {"height", camera_.height()}, {"node", device.node}};
}

Json Hub::capture(const Json& arguments) {
    const std::string format = arguments.value("format", std::string("jpg"));
    if (format != "jpg" && format != "png" && format != "bmp" && format != "tif" && format != "pdf")
        return failure("format is jpg, png, bmp, tif or pdf, not \"" + format + "\"");
    const int crop = arguments.value("crop", 0), rotate = arguments.value("rotate", 0);
    if (crop < 0 || crop > 2) return failure("crop is 0, 1 or 2");
    if (rotate < 0 || rotate > 3) return failure("rotate is 0 to 3");
    std::string why;
    const std::string path = capturePath(arguments, format, why);
    if (path.empty()) return failure(why);
    const velcap::CaptureSettings before = camera_.captureSettings();
    velcap::CaptureSettings settings = before;
    settings.crop = velcap::Crop(crop);
    settings.whitenBackground = arguments.value("whiten", false);
    settings.removeBlackEdge = arguments.value("blackEdge", false);
    settings.rotation = rotate;
    // "ocr": true (Chinese and English) or the languages, for a PDF's text layer.
    const Json ocr = arguments.value("ocr", Json(false));
    if (ocr.is_string() || ocr == true) {
        if (format != "pdf") return failure("ocr gives a PDF its text; the format is pdf");
        settings.ocrLanguages = ocr.is_string() ? ocr.get<std::string>() : "chi_sim+eng";
    }
    camera_.setCaptureSettings(settings);
    const velcap::Status status = camera_.capture(path);
    camera_.setCaptureSettings(before);
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

Json Hub::scan(const Json& arguments) {
    const std::string type = arguments.value("type", std::string("qr"));
    if (type != "qr" && type != "bar") return failure("type is qr or bar");
    std::string text;
    const velcap::Status status = camera_.recognise(type == "qr" ? 1 : 0, text);
    if (status != velcap::Status::Ok) return failure(velcap::describe(status));
    Json codes = Json::array();
    if (!text.empty()) codes.push_back({{"type", type == "qr" ? "QR-Code" : "Bar-Code"}, {"text", text}});
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
    if (!arguments.is_object()) return failure("controls are an object of name and value");
    const std::vector<velcap::Control> known = camera_.controls();
    for (const auto& [name, value] : arguments.items()) {
        if (name == "cmd" || name == "id") continue;
        auto control =
            std::find_if(known.begin(), known.end(), [&](const velcap::Control& c) { return c.name == name; });
        if (control == known.end()) return failure("the camera has no control \"" + name + "\"");
        if (!value.is_number_integer()) return failure(name + " takes a whole number");
        const velcap::Status status = camera_.setControl(control->id, value.get<int>());
        if (status != velcap::Status::Ok) return failure(name + ": " + velcap::describe(status));
    }
    return controls();
}

std::string Hub::capturePath(const Json& arguments, const std::string& format, std::string& why) {
    std::string path = arguments.value("path", std::string());
    if (path.empty()) return defaultPath(format);
    // A web page must not overwrite a file nor write beside the camera's settings.
    if (path[0] != '/')
        why = "path must be absolute";
    else if (path.size() < format.size() + 1 ||
             path.compare(path.size() - format.size() - 1, std::string::npos, "." + format) != 0)
        why = "path must end in ." + format;
    else if (::access(path.c_str(), F_OK) == 0)
        why = path + " exists; it is not replaced";
    return why.empty() ? path : std::string();
}

// {"side":"front"} photographs the card's front; {"side":"back","format":
// "pdf|jpg|png","path":...} its back, and makes the copy of both on A4.
Json Hub::idCard(const Json& arguments) {
    const std::string side = arguments.value("side", std::string());
    if (side != "front" && side != "back") return failure("side is front or back");
    if (side == "back" && idFront_.empty()) return failure("photograph the front first");
    const std::string format = arguments.value("format", std::string("pdf"));
    if (format != "pdf" && format != "jpg" && format != "png") return failure("format is pdf, jpg or png");
    std::string why, path;
    if (side == "back" && (path = capturePath(arguments, format, why)).empty()) return failure(why);
    // The sides are the service's own files until the copy is made.
    std::string shot = "/tmp/velcapd-card-XXXXXX.jpg";
    const int fd = ::mkstemps(shot.data(), 4);
    if (fd < 0) return failure("no room for the photograph");
    ::close(fd);
    const velcap::Status status = camera_.capture(shot);
    if (status != velcap::Status::Ok) {
        ::unlink(shot.c_str());
        return failure(velcap::describe(status));
    }
    if (side == "front") {
        if (!idFront_.empty()) ::unlink(idFront_.c_str());
        idFront_ = shot;
        return {{"ok", true}, {"side", "front"}};
    }
    const velcap::Status made = velcap::makeIdCardCopy(idFront_, shot, path);
    ::unlink(idFront_.c_str());
    ::unlink(shot.c_str());
    idFront_.clear();
    if (made != velcap::Status::Ok) return failure("no card found; lay it flat and photograph both sides again");
    publish({{"event", "captured"}, {"path", path}});
    return {{"ok", true}, {"path", path}};
}

Json Hub::autoCapture(const Json& arguments) {
    velcap::AutoCapture settings;
    settings.on = arguments.value("on", false);
    settings.folder = arguments.value("folder", std::string());
    if (settings.folder.empty()) settings.folder = defaultFolder();
    if (settings.folder[0] != '/') return failure("folder must be absolute");
    settings.captured = [this](const std::string& path) { publish({{"event", "autoCaptured"}, {"path", path}}); };
    settings.failed = [this](const std::string& path, const std::string& why) {
        publish({{"event", "autoCaptureFailed"}, {"path", path}, {"error", why}});
    };
    camera_.setAutoCapture(settings);
    return {{"ok", true}, {"on", settings.on}, {"folder", settings.folder}};
}

} // namespace velcapd
