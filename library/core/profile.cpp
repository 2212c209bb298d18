#include "profile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "../files/picture_file.h"
#include "../log.h"

namespace velcap {

namespace {

// A profile holds a few dozen controls; anything larger is not one.
constexpr size_t kMostProfileBytes = 64 * 1024;

std::string configFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') return xdg;
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.config" : std::string();
}

// Letters, digits, '-' and '_' only: a serial or port must not make a path.
std::string safe(const std::string& text) {
    std::string out;
    for (char c : text) out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    return out;
}

bool makeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (::mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return false;
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// The whole file when it is a regular file of at most most bytes, read
// without blocking (a FIFO) and without following a link; else false, after
// one warning line. A missing file is no profile and says nothing.
bool readSmallFile(const std::string& path, size_t most, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT)
            logError(Category::Profile, "profile: %s cannot be read (%s); left out\n", path.c_str(),
                     std::strerror(errno));
        return false;
    }
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && size_t(info.st_size) <= most;
    if (!ok) {
        logWarning(Category::Profile, "profile: %s is not a regular file of at most %zu bytes; left out\n",
                   path.c_str(), most);
    } else {
        text.resize(most + 1);
        size_t got = 0;
        for (ssize_t n; got < text.size() && (n = ::read(fd, &text[got], text.size() - got)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                ok = false;
                break;
            }
            got += size_t(n);
        }
        text.resize(got);
        if (got > most) { // it grew meanwhile
            logWarning(Category::Profile, "profile: %s is not a regular file of at most %zu bytes; left out\n",
                       path.c_str(), most);
            ok = false;
        }
    }
    ::close(fd);
    return ok;
}

} // namespace

std::string profilePath(const Identity& identity) {
    const std::string folder = configFolder();
    if (folder.empty() || identity.vendor.empty() || identity.product.empty()) return {};
    std::string name = safe(identity.vendor) + "-" + safe(identity.product) + "-";
    if (!identity.serial.empty())
        name += safe(identity.serial);
    else if (!identity.path.empty())
        name += "port-" + safe(identity.path);
    else
        return {};
    return folder + "/velcap/devices/" + name + ".conf";
}

std::vector<std::pair<std::string, int>> loadProfile(const Identity& identity) {
    std::vector<std::pair<std::string, int>> values;
    const std::string path = profilePath(identity);
    if (path.empty()) return values;
    std::string text;
    if (!readSmallFile(path, kMostProfileBytes, text)) return values;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        char* end = nullptr;
        const std::string text = line.substr(equals + 1);
        errno = 0;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (end == text.c_str() || *end || errno || value < INT32_MIN || value > INT32_MAX) {
            logWarning(Category::Profile, "profile: %s: \"%s\" is not NAME=NUMBER; left out\n", path.c_str(),
                       line.c_str());
            continue;
        }
        // Each control once, its last value: the camera is set once per control.
        const std::string name = line.substr(0, equals);
        auto known = std::find_if(values.begin(), values.end(), [&](const auto& v) { return v.first == name; });
        if (known != values.end())
            known->second = int(value);
        else
            values.emplace_back(name, int(value));
    }
    return values;
}

bool saveToProfile(const Identity& identity, const std::string& control, int value) {
    const std::string path = profilePath(identity);
    if (path.empty()) return false;
    std::vector<std::pair<std::string, int>> values = loadProfile(identity);
    bool known = false;
    for (auto& [name, kept] : values)
        if (name == control) kept = value, known = true;
    if (!known) values.emplace_back(control, value);

    if (!makeFolders(path.substr(0, path.rfind('/')))) {
        logError(Category::Profile, "profile: cannot make the folder of %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::ostringstream text;
    text << "# velcap: the control values set on this camera, applied when it opens\n";
    for (const auto& [name, kept] : values) text << name << '=' << kept << '\n';
    // Replaced only by a complete new file: a full disk keeps the old profile.
    TemporaryFile file(path);
    if (!file.valid()) return false;
    {
        std::ofstream out(file.path(), std::ios::trunc);
        out << text.str();
        out.flush();
        if (!out) {
            logError(Category::Profile, "profile: %s could not be written: %s\n", path.c_str(),
                     whyNotWritten(path).c_str());
            return false;
        }
    }
    return file.commit();
}

} // namespace velcap
