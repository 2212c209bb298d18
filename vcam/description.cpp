#include "description.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <linux/videodev2.h>

namespace vcam {

namespace {

const char kDefaultText[] = R"(# The virtual cameras that velcap-vcam presents when no description is given.
# A supported document camera.
camera 0
vendor 31a5
product 0801
card Orvida: DocCam S8
bus usb-0000:00:14.0-1
format MJPG 640x480@30 1280x720@30 1920x1080@30 2592x1944@15 3264x2448@15
format YUYV 640x480@30 1280x720@10 1600x1200@5 3264x2448@2
control brightness -64 64 1 0
control contrast 0 95 1 32
control saturation 0 100 1 64
control hue -2000 2000 1 0
control gain 0 100 1 0
control gamma 100 300 1 100
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

struct NamedControl {
    const char* name;
    uint32_t id;
};
const NamedControl kControls[] = {
    {"brightness", V4L2_CID_BRIGHTNESS},
    {"contrast", V4L2_CID_CONTRAST},
    {"saturation", V4L2_CID_SATURATION},
    {"hue", V4L2_CID_HUE},
    {"gain", V4L2_CID_GAIN},
    {"gamma", V4L2_CID_GAMMA},
    {"focus_auto", V4L2_CID_FOCUS_AUTO},
    {"zoom_absolute", V4L2_CID_ZOOM_ABSOLUTE},
};

struct NamedErrno {
    const char* name;
    int value;
};
const NamedErrno kErrnos[] = {{"EINVAL", EINVAL}, {"EIO", EIO},       {"ENODEV", ENODEV}, {"EBUSY", EBUSY},
                              {"ENOMEM", ENOMEM}, {"EACCES", EACCES}, {"ENOENT", ENOENT}, {"EPERM", EPERM},
                              {"ENOSPC", ENOSPC}, {"EAGAIN", EAGAIN}, {"ENOTTY", ENOTTY}, {"EFAULT", EFAULT}};

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
            if (!(in >> c.node) || c.node < 0) fail(line, "camera NODE");
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
        } else if (key == "scene") {
            camera->scene = rest;
        } else if (key == "free-running") {
            camera->freeRunning = true;
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
            uint32_t code = parseFourcc(name, line);
            Format* format = const_cast<Format*>(camera->format(code));
            if (!format) {
                camera->formats.push_back(Format{code, {}});
                format = &camera->formats.back();
            }
            while (words >> size) {
                FrameSize s;
                unsigned fps = 30;
                int n = std::sscanf(size.c_str(), "%ux%u@%u", &s.width, &s.height, &fps);
                if (n < 2 || !s.width || !s.height) fail(line, "bad size " + size);
                s.fps = fps;
                format->sizes.push_back(s);
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
            Format* format = const_cast<Format*>(camera->format(code));
            if (!format) {
                camera->formats.push_back(Format{code, {}});
                format = &camera->formats.back();
            }
            format->sizes.push_back(s);
        } else if (key == "control") {
            std::string name;
            Control c;
            words >> name >> c.minimum >> c.maximum >> c.step >> c.defaultValue;
            if (!words) fail(line, "control NAME MIN MAX STEP DEFAULT [VALUE]");
            if (!(words >> c.value)) c.value = c.defaultValue;
            for (const auto& known : kControls)
                if (name == known.name) c.id = known.id;
            if (!c.id) fail(line, "unknown control " + name);
            camera->controls.push_back(c);
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

std::string udevRecords(const Description& description) {
    std::ostringstream out;
    for (const Camera& c : description.cameras) {
        const std::string port = "1-" + std::to_string(c.node + 1);
        out << "P: /devices/pci0000:00/0000:00:14.0/usb1/" << port << "/" << port << ":1.0/video4linux/video" << c.node
            << "\n";
        out << "N: video" << c.node << "\n";
        out << "E: DEVNAME=/dev/video" << c.node << "\n";
        out << "E: SUBSYSTEM=video4linux\n";
        out << "E: MAJOR=81\nE: MINOR=" << c.node << "\n";
        if (c.udevIds) {
            out << "E: ID_VENDOR_ID=" << c.vendor << "\n";
            out << "E: ID_MODEL_ID=" << c.product << "\n";
        }
        out << "E: ID_V4L_CAPABILITIES=:capture:\n";
        out << "A: name=" << c.card << "\n";
        out << "A: index=0\n";
        out << "A: dev=81:" << c.node << "\n\n";
    }
    return out.str();
}

} // namespace vcam
