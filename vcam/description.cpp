#include "description.h"
#include <sys/stat.h>

#include "controls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <linux/videodev2.h>

namespace vcam {

namespace {

const char kDefaultText[] = R"(# The virtual cameras that velcap-vcam presents when no description is given.
# A supported document camera. Like many UVC cameras, it sends 4:2:2 MJPEG
# frames without Huffman tables, and offers lower rates at each size.
camera 0
vendor 31a5
product 0801
card Orvida: DocCam S8
bus usb-0000:00:14.0-1
mjpeg 422 no-huffman
format MJPG 640x480@30,15 1280x720@30,15 1920x1080@30,15 2592x1944@15,10 3264x2448@15,10,5
format YUYV 640x480@30,15 1280x720@10,5 1600x1200@5 3264x2448@2
control brightness -64 64 1 0
control contrast 0 95 1 32
control saturation 0 100 1 64
control hue -2000 2000 1 0
control white_balance_automatic 0 1 1 1
control gamma 100 300 1 100
control gain 0 100 1 0
control power_line_frequency 0 2 1 1
control white_balance_temperature 2800 6500 10 4600
control sharpness 0 7 1 2
control auto_exposure 0 3 1 3
control exposure_time_absolute 3 2047 1 250
control focus_absolute 0 1023 1 68
control focus_auto 0 1 1 1
control zoom_absolute 0 10 1 0

# A webcam of another maker, which velcap must ignore.
camera 2
vendor 046d
product 0825
card Generic USB Webcam
bus usb-0000:00:14.0-2
format MJPG 640x480@30 1280x720@30
format YUYV 640x480@30
control brightness 0 255 1 128
)";

struct NamedErrno {
    const char* name;
    int value;
};
const NamedErrno kErrnos[] = {{"EINVAL", EINVAL}, {"EIO", EIO},       {"ENODEV", ENODEV}, {"EBUSY", EBUSY},
                              {"ENOMEM", ENOMEM}, {"EACCES", EACCES}, {"ENOENT", ENOENT}, {"EPERM", EPERM},
                              {"ENOSPC", ENOSPC}, {"EAGAIN", EAGAIN}, {"ENOTTY", ENOTTY}, {"EFAULT", EFAULT}};

constexpr int kMaxNode = 63;
// A frame of at most 64 megapixels, 16384 pixels a side: a description that
// asks for more is a typing error, not a camera, and would take gigabytes.
constexpr const char* kSizeLimit = " is beyond 16384 pixels a side or 64 megapixels";
bool plausibleSize(uint64_t width, uint64_t height) {
    return width <= 16384 && height <= 16384 && width * height <= 64ull << 20;
}

// Whether path is a regular file that starts as a PNG, JPEG, BMP, TIFF or
// PNM picture does: the scene is decoded only once a program streams.
bool readablePicture(const std::string& path, std::string& why) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return why = std::strerror(errno), false;
    if (!S_ISREG(info.st_mode)) return why = "not a regular file", false;
    std::ifstream in(path, std::ios::binary);
    unsigned char head[8] = {};
    in.read(reinterpret_cast<char*>(head), sizeof(head));
    const bool picture = std::memcmp(head, "\x89PNG", 4) == 0 || (head[0] == 0xFF && head[1] == 0xD8) ||
                         (head[0] == 'B' && head[1] == 'M') || std::memcmp(head, "II*\0", 4) == 0 ||
                         std::memcmp(head, "MM\0*", 4) == 0 || (head[0] == 'P' && head[1] >= '1' && head[1] <= '6');
    if (!picture) why = "not a picture";
    return picture;
}

[[noreturn]] void fail(int line, const std::string& what) {
    throw std::runtime_error("vcam description, line " + std::to_string(line) + ": " + what);
}

int parseErrno(const std::string& word, int line) {
    for (const auto& e : kErrnos)
        if (word == e.name) return e.value;
    try {
        return std::stoi(word);
    } catch (...) {
        fail(line, "unknown errno " + word);
    }
}

void parseSize(const std::string& word, unsigned& w, unsigned& h, int line) {
    if (std::sscanf(word.c_str(), "%ux%u", &w, &h) != 2 || !w || !h) fail(line, "bad size " + word);
}

uint32_t parseFourcc(const std::string& word, int line) {
    if (word.size() != 4) fail(line, "a pixel format has four characters: " + word);
    return fourcc(word.c_str());
}

void parseFault(Camera& camera, std::istringstream& in, int line) {
    Faults& f = camera.faults;
    std::string kind, a, b;
    in >> kind >> a >> b;
    if (kind == "ioctl") {
        if (a.empty() || b.empty()) fail(line, "fault ioctl NAME ERRNO");
        f.ioctlErrno[a] = parseErrno(b, line);
    } else if (kind == "open") {
        f.openErrno = parseErrno(a, line);
        f.openAfter = b.empty() ? 0 : std::stoi(b);
    } else if (kind == "mmap") {
        f.mmapErrno = parseErrno(a, line);
    } else if (kind == "grant") {
        f.grantBuffers = std::stoi(a);
    } else if (kind == "adjust") {
        parseSize(a, f.adjustWidth, f.adjustHeight, line);
    } else if (kind == "pixfmt") {
        f.reportedFourcc = parseFourcc(a, line);
    } else if (kind == "refuse") {
        f.refusedFourcc = parseFourcc(a, line);
    } else if (kind == "unplug") {
        f.unplugAfter = std::stoi(a);
        if (!b.empty()) f.unplugErrno = parseErrno(b, line);
    } else if (kind == "slow") {
        f.slowFrameMs = unsigned(std::stoul(a));
    } else if (kind == "bad-index") {
        f.badIndexAfter = std::stoi(a);
    } else if (kind == "mjpeg") {
        if (a == "corrupt")
            f.mjpeg = Faults::Mjpeg::Corrupt;
        else if (a == "truncated")
            f.mjpeg = Faults::Mjpeg::Truncated;
        else if (a == "empty")
            f.mjpeg = Faults::Mjpeg::Empty;
        else
            fail(line, "fault mjpeg corrupt|truncated|empty");
        f.mjpegAfter = b.empty() ? 0 : std::stoi(b);
    } else if (kind == "buffer-length") {
        f.bufferLength = std::stoul(a);
    } else if (kind == "bytesused") {
        f.bytesUsed = std::stoul(a);
    } else if (kind == "error-flag") {
        f.errorEvery = std::stoi(a);
        if (f.errorEvery <= 0) fail(line, "fault error-flag EVERY (1 or more)");
    } else {
        fail(line, "unknown fault " + kind);
    }
}

} // namespace

const Format* Camera::format(uint32_t code) const {
    for (const Format& f : formats)
        if (f.fourcc == code) return &f;
    return nullptr;
}

Format& Camera::formatToFill(uint32_t code) {
    for (Format& f : formats)
        if (f.fourcc == code) return f;
    formats.push_back(Format{code, {}});
    return formats.back();
}

const Camera* Description::camera(int node) const {
    for (const Camera& c : cameras)
        if (c.node == node) return &c;
    return nullptr;
}

Description parse(const std::string& text) {
    Description description;
    std::istringstream lines(text);
    std::string raw;
    int line = 0;
    Camera* camera = nullptr;
    while (std::getline(lines, raw)) {
        ++line;
        if (auto hash = raw.find('#'); hash != std::string::npos) raw.erase(hash);
        std::istringstream in(raw);
        std::string key;
        if (!(in >> key)) continue;
        if (key == "camera") {
            Camera c;
            // /dev/video0 to 63: a metadata node follows each, and both must fit.
            if (!(in >> c.node) || c.node < 0 || c.node > kMaxNode) fail(line, "camera NODE (0 to 63)");
            if (description.camera(c.node)) fail(line, "node " + std::to_string(c.node) + " twice");
            c.bus = "usb-vcam-" + std::to_string(c.node);
            description.cameras.push_back(c);
            camera = &description.cameras.back();
            continue;
        }
        if (!camera) fail(line, "'" + key + "' before the first camera");
        std::string rest;
        std::getline(in >> std::ws, rest);
        while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\r')) rest.pop_back();
        std::istringstream words(rest);
        if (key == "vendor") {
            camera->vendor = rest;
        } else if (key == "product") {
            camera->product = rest;
        } else if (key == "no-ids") {
            camera->udevIds = false;
        } else if (key == "card") {
            camera->card = rest;
        } else if (key == "driver") {
            camera->driver = rest;
        } else if (key == "bus") {
            camera->bus = rest;
        } else if (key == "serial") {
            // Letters and digits, as USB serials go: it ends up in udev records and links.
            if (rest.empty() ||
                rest.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") !=
                    std::string::npos)
                fail(line, "serial LETTERS-AND-DIGITS");
            camera->serial = rest;
        } else if (key == "scene") {
            std::string why;
            if (!readablePicture(rest, why)) fail(line, "scene " + rest + ": " + why);
            camera->scene = rest;
        } else if (key == "free-running") {
            camera->freeRunning = true;
        } else if (key == "clock") {
            std::string kind;
            if (!(words >> kind) || (kind != "real" && kind != "frames")) fail(line, "clock real|frames");
            camera->realClock = kind == "real";
        } else if (key == "mjpeg") {
            std::string option;
            while (words >> option) {
                if (option == "422")
                    camera->mjpeg.sampling422 = true;
                else if (option == "420")
                    camera->mjpeg.sampling422 = false;
                else if (option == "no-huffman")
                    camera->mjpeg.huffmanTables = false;
                else
                    fail(line, "mjpeg 420|422|no-huffman");
            }
        } else if (key == "format") {
            std::string name, size;
            words >> name;
            Format& format = camera->formatToFill(parseFourcc(name, line));
            while (words >> size) {
                FrameSize s;
                int consumed = 0;
                if (std::sscanf(size.c_str(), "%ux%u%n", &s.width, &s.height, &consumed) != 2 || !s.width || !s.height)
                    fail(line, "bad size " + size);
                if (!plausibleSize(s.width, s.height)) fail(line, "size " + size + kSizeLimit);
                std::string rates = size.substr(size_t(consumed));
                if (rates.empty()) rates = "@30";
                if (rates[0] != '@') fail(line, "bad size " + size);
                std::istringstream list(rates.substr(1));
                std::string rate;
                while (std::getline(list, rate, ',')) {
                    char* end = nullptr;
                    const unsigned long fps = std::strtoul(rate.c_str(), &end, 10);
                    if (rate.empty() || *end || fps > 1000) fail(line, "bad frame rate in " + size);
                    s.rates.push_back(unsigned(fps));
                }
                if (s.rates.empty()) fail(line, "bad size " + size);
                s.fps = s.rates.front();
                format.sizes.push_back(s);
            }
        } else if (key == "stepwise") {
            std::string name, range;
            words >> name >> range;
            uint32_t code = parseFourcc(name, line);
            FrameSize s;
            s.stepwise = true;
            if (std::sscanf(range.c_str(), "%ux%u-%ux%u/%u", &s.width, &s.height, &s.maxWidth, &s.maxHeight, &s.step) !=
                5)
                fail(line, "stepwise FOURCC MINWxMINH-MAXWxMAXH/STEP");
            if (!plausibleSize(s.maxWidth, s.maxHeight)) fail(line, "stepwise " + range + kSizeLimit);
            camera->formatToFill(code).sizes.push_back(s);
        } else if (key == "control") {
            std::string name;
            Control c;
            words >> name >> c.minimum >> c.maximum >> c.step >> c.defaultValue;
            if (!words) fail(line, "control NAME MIN MAX STEP DEFAULT [VALUE]");
            if (!(words >> c.value)) c.value = c.defaultValue;
            const ControlKind* kind = controlKind(name);
            if (!kind) fail(line, "unknown control " + name);
            if (c.minimum > c.maximum || c.step < 1 || c.defaultValue < c.minimum || c.defaultValue > c.maximum)
                fail(line, "control " + name + ": the default must lie in MIN..MAX, STEP 1 or more");
            c.id = kind->id;
            camera->controls.push_back(c);
        } else if (key == "pages") {
            if (!(words >> camera->pageCount >> camera->pageSeconds) || camera->pageCount < 1 ||
                camera->pageCount > 1000 || !(camera->pageSeconds >= 0.1) || camera->pageSeconds > 3600)
                fail(line, "pages COUNT SECONDS (a count of 1 to 1000, 0.1 to 3600 seconds)");
        } else if (key == "desk") {
            std::string kind;
            words >> kind;
            if (kind != "dark" && kind != "mid" && kind != "light" && kind != "white" && kind != "wood")
                fail(line, "desk dark|mid|light|white|wood");
            camera->look.desk = kind;
        } else if (key == "hand") {
            std::string on;
            words >> on;
            if (on != "on" && on != "off") fail(line, "hand on|off");
            camera->look.hand = on == "on";
        } else if (key == "shadow") {
            std::string on;
            words >> on;
            if (on != "on" && on != "off") fail(line, "shadow on|off");
            camera->look.shadow = on == "on";
        } else if (key == "perspective") {
            if (!(words >> camera->look.perspective) || camera->look.perspective < 0 || camera->look.perspective > 30)
                fail(line, "perspective DEGREES (0 to 30)");
        } else if (key == "book") {
            std::string kind;
            words >> kind;
            if (kind != "on" && kind != "page" && kind != "off") fail(line, "book on|page|off");
            camera->look.book = kind == "on" ? "spread" : kind == "page" ? "page" : "";
        } else if (key == "book-curve") {
            if (!(words >> camera->look.bookCurve) || camera->look.bookCurve < 0 || camera->look.bookCurve > 1)
                fail(line, "book-curve AMOUNT (0 flat to 1)");
        } else if (key == "fingers") {
            std::string on;
            words >> on;
            if (on != "on" && on != "off") fail(line, "fingers on|off");
            camera->look.fingers = on == "on";
        } else if (key == "page-pose") {
            if (!(words >> camera->look.pose)) fail(line, "page-pose N");
        } else if (key == "first-frame") {
            if (!(words >> camera->firstFrameMs)) fail(line, "first-frame MILLISECONDS");
        } else if (key == "unplug") {
            std::string replug;
            if (!(words >> camera->unplugAfterFrames) || camera->unplugAfterFrames < 0)
                fail(line, "unplug FRAMES [replug MILLISECONDS]");
            if (words >> replug && (replug != "replug" || !(words >> camera->replugMs) || camera->replugMs < 0))
                fail(line, "unplug FRAMES [replug MILLISECONDS]");
        } else if (key == "button") {
            camera->button = true;
            if (words >> camera->buttonAfter) {
                if (camera->buttonAfter < 0 || (words >> camera->buttonEvery && camera->buttonEvery < 0))
                    fail(line, "button [AFTER_FRAMES [EVERY_FRAMES]]");
            } else if (!words.eof()) {
                fail(line, "button [AFTER_FRAMES [EVERY_FRAMES]]");
            } else {
                camera->buttonAfter = -1;
            }
        } else if (key == "fault") {
            parseFault(*camera, words, line);
        } else {
            fail(line, "unknown statement " + key);
        }
    }
    return description;
}

Description load(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("vcam description " + path + ": " + std::strerror(errno));
    std::stringstream text;
    text << file.rdbuf();
    return parse(text.str());
}

const char* defaultDescriptionText() {
    return kDefaultText;
}

Description defaultDescription() {
    return parse(kDefaultText);
}

std::vector<Control> defaultControls() {
    return defaultDescription().cameras.front().controls;
}

namespace {

// The USB port of a camera: the one its bus info names, as uvcvideo writes
// it ("usb-0000:00:14.0-PORT"), or one after the ports of the cameras before it.
std::string usbPort(const Description& d, const Camera& c) {
    const std::string prefix = "usb-0000:00:14.0-";
    if (c.bus.compare(0, prefix.size(), prefix) == 0 && c.bus.size() > prefix.size())
        return c.bus.substr(prefix.size());
    size_t position = 0;
    while (position < d.cameras.size() && &d.cameras[position] != &c) ++position;
    return std::to_string(position + 1);
}

std::string usbDevicePath(const Description& d, const Camera& c) {
    return "/devices/pci0000:00/0000:00:14.0/usb1/1-" + usbPort(d, c);
}

// The maker and the model of the card name "Maker: Model".
std::pair<std::string, std::string> makerAndModel(const Camera& c) {
    const size_t colon = c.card.find(':');
    if (colon == std::string::npos) return {"Generic", c.card};
    std::string model = c.card.substr(colon + 1);
    model.erase(0, model.find_first_not_of(' '));
    return {c.card.substr(0, colon), model};
}

std::string underscored(std::string text) {
    for (char& ch : text)
        if (ch == ' ' || ch == '/') ch = '_';
    return text;
}

} // namespace

std::string videoSysfsPath(const Description& d, const Camera& c, bool metadata) {
    return usbDevicePath(d, c) + "/1-" + usbPort(d, c) + ":1.0/video4linux/video" +
           std::to_string(c.node + (metadata ? 1 : 0));
}

bool hasMetadataNode(const Description& d, const Camera& c) {
    return c.driver == "uvcvideo" && !d.camera(c.node + 1);
}

std::string udevRecords(const Description& description, int only) {
    std::ostringstream out;
    for (const Camera& c : description.cameras) {
        if (only >= 0 && c.node != only) continue;
        const std::string port = usbPort(description, c);
        const auto [maker, model] = makerAndModel(c);
        const std::string serial = c.serial.empty() ? "VC" + std::to_string(1000 + c.node) : c.serial;
        const std::string idSerial = underscored(maker) + "_" + underscored(model) + "_" + serial;
        const std::string idPath = "pci-0000:00:14.0-usb-0:" + port + ":1.0";
        std::string idPathTag = idPath;
        for (char& ch : idPathTag)
            if (ch == ':' || ch == '.') ch = '_';
        const std::string devnum = std::to_string(2 + c.node);

        // The USB device and its video control interface, as a UVC camera has them.
        out << "P: " << usbDevicePath(description, c) << "\n";
        out << "N: bus/usb/001/" << std::string(3 - std::min<size_t>(3, devnum.size()), '0') << devnum << "\n";
        out << "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
        out << "E: BUSNUM=001\nE: DEVNUM=" << std::string(3 - std::min<size_t>(3, devnum.size()), '0') << devnum
            << "\n";
        if (c.udevIds) {
            out << "E: PRODUCT=" << c.vendor << "/" << c.product << "/100\n";
            out << "E: ID_VENDOR_ID=" << c.vendor << "\nE: ID_MODEL_ID=" << c.product << "\n";
            out << "A: idVendor=" << c.vendor << "\nA: idProduct=" << c.product << "\n";
        }
        out << "E: ID_SERIAL=" << idSerial << "\nE: ID_SERIAL_SHORT=" << serial << "\n";
        out << "A: manufacturer=" << maker << "\nA: product=" << model << "\nA: serial=" << serial << "\n";
        out << "A: busnum=1\nA: devnum=" << devnum << "\nA: speed=480\nA: bDeviceClass=ef\n\n";

        out << "P: " << usbDevicePath(description, c) << "/1-" << port << ":1.0\n";
        out << "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=" << c.driver << "\n";
        out << "E: INTERFACE=14/1/0\n";
        out << "A: bInterfaceClass=0e\nA: bInterfaceSubClass=01\nA: bInterfaceNumber=00\n"
               "A: interface="
            << model << "\n\n";

        if (c.button) {
            // The button's input device and its event node, under the video interface as uvcvideo puts them.
            const std::string input =
                usbDevicePath(description, c) + "/1-" + port + ":1.0/input/input" + std::to_string(c.node);
            out << "P: " << input << "\nE: SUBSYSTEM=input\nE: PRODUCT=3/" << c.vendor << "/" << c.product
                << "/100\nE: NAME=\"" << c.card << "\"\nE: ID_INPUT=1\nE: ID_INPUT_KEY=1\nA: name=" << c.card << "\n\n";
            out << "P: " << input << "/event" << c.node << "\nE: SUBSYSTEM=input\nE: DEVNAME=/dev/input/event" << c.node
                << "\nE: MAJOR=13\nE: MINOR=" << 64 + c.node
                << "\nE: ID_INPUT=1\nE: ID_INPUT_KEY=1\nA: dev=13:" << 64 + c.node << "\n\n";
        }

        for (int metadata = 0; metadata <= (hasMetadataNode(description, c) ? 1 : 0); ++metadata) {
            const int node = c.node + metadata;
            const std::string index = std::to_string(metadata);
            out << "P: " << videoSysfsPath(description, c, metadata) << "\n";
            out << "N: video" << node << "\n";
            out << "E: DEVNAME=/dev/video" << node << "\n";
            out << "E: SUBSYSTEM=video4linux\n";
            out << "E: MAJOR=81\nE: MINOR=" << node << "\n";
            if (c.udevIds) {
                out << "E: ID_VENDOR_ID=" << c.vendor << "\n";
                out << "E: ID_MODEL_ID=" << c.product << "\n";
            }
            out << "E: ID_VENDOR=" << underscored(maker) << "\nE: ID_MODEL=" << underscored(model) << "\n";
            out << "E: ID_SERIAL=" << idSerial << "\nE: ID_SERIAL_SHORT=" << serial << "\n";
            out << "E: ID_BUS=usb\nE: ID_USB_INTERFACES=:0e0100:0e0200:\nE: ID_USB_INTERFACE_NUM=00\n";
            out << "E: ID_USB_DRIVER=" << c.driver << "\n";
            out << "E: ID_PATH=" << idPath << "\nE: ID_PATH_TAG=" << idPathTag << "\n";
            out << "E: ID_V4L_VERSION=2\nE: ID_V4L_PRODUCT=" << c.card << "\n";
            out << "E: ID_V4L_CAPABILITIES=:" << (metadata ? "" : "capture:") << "\n";
            out << "E: DEVLINKS=/dev/v4l/by-id/usb-" << idSerial << "-video-index" << index << " /dev/v4l/by-path/"
                << idPath << "-video-index" << index << "\n";
            out << "E: TAGS=:uaccess:seat:\n";
            out << "A: name=" << c.card << "\n";
            out << "A: index=" << index << "\n";
            out << "A: dev=81:" << node << "\n\n";
        }
    }
    return out.str();
}

} // namespace vcam
