#include "picture_file.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include "../log.h"
#include "../velcap/types.h"

namespace velcap {

namespace {

uint32_t bigEndian(const unsigned char* p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
    return v;
}

uint32_t littleEndian(const unsigned char* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

bool jpegSize(std::ifstream& in, int& width, int& height) {
    // Markers up to the first start of frame; SOF0 to SOF15 but DHT, JPG and DAC.
    in.seekg(2);
    unsigned char head[4];
    while (in.read(reinterpret_cast<char*>(head), 2)) {
        if (head[0] != 0xFF) return false;
        const unsigned char marker = head[1];
        if (marker == 0xFF) { // fill bytes
            in.seekg(-1, std::ios::cur);
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
        if (!in.read(reinterpret_cast<char*>(head), 2)) return false;
        const int length = int(bigEndian(head, 2));
        if (length < 2) return false;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            unsigned char frame[5];
            if (!in.read(reinterpret_cast<char*>(frame), 5)) return false;
            height = int(bigEndian(frame + 1, 2));
            width = int(bigEndian(frame + 3, 2));
            return true;
        }
        in.seekg(length - 2, std::ios::cur);
    }
    return false;
}

// Every chunk of a PNG must fit in the file: the decoder would otherwise take
// a damaged length at its word and ask for gigabytes.
bool pngChunksFit(std::ifstream& in) {
    in.clear();
    in.seekg(0, std::ios::end);
    const uint64_t size = uint64_t(in.tellg());
    uint64_t position = 8;
    unsigned char head[8];
    while (position + 12 <= size) {
        in.seekg(std::streamoff(position));
        if (!in.read(reinterpret_cast<char*>(head), 8)) return false;
        const uint64_t length = bigEndian(head, 4);
        if (length > size - position - 12) return false;
        if (std::memcmp(head + 4, "IEND", 4) == 0) return true;
        position += 12 + length;
    }
    return true; // a truncated file: the decoder reports it
}

bool tiffSize(std::ifstream& in, bool little, int& width, int& height) {
    auto number = [&](const unsigned char* p, int bytes) {
        return little ? littleEndian(p, bytes) : bigEndian(p, bytes);
    };
    unsigned char buffer[12];
    in.seekg(4);
    if (!in.read(reinterpret_cast<char*>(buffer), 4)) return false;
    in.seekg(number(buffer, 4));
    if (!in.read(reinterpret_cast<char*>(buffer), 2)) return false;
    const unsigned entries = number(buffer, 2);
    width = height = -1;
    for (unsigned i = 0; i < entries && in.read(reinterpret_cast<char*>(buffer), 12); ++i) {
        const unsigned tag = number(buffer, 2), type = number(buffer + 2, 2);
        const uint32_t value = type == 3 ? number(buffer + 8, 2) : number(buffer + 8, 4);
        if (tag == 256) width = int(std::min<uint32_t>(value, INT32_MAX));
        if (tag == 257) height = int(std::min<uint32_t>(value, INT32_MAX));
    }
    return width >= 0 && height >= 0;
}

} // namespace

bool plainPath(const std::string& path, const char* caller) {
    for (const char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            logWarning(Category::Files, "%s: the name \"%s\" holds a control character; nothing is written\n", caller,
                       path.substr(0, path.find('\0')).c_str());
            return false;
        }
    return true;
}

bool isRegularFile(const char* path) {
    struct stat info {};
    return path && ::stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

bool declaredSize(const std::string& path, int& width, int& height, std::string& why) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[26] = {};
    if (!in.read(reinterpret_cast<char*>(head), 26) && in.gcount() < 8) {
        why = "too short to be a picture";
        return false;
    }
    in.clear();
    bool known = false;
    if (head[0] == 0xFF && head[1] == 0xD8) {
        known = jpegSize(in, width, height);
    } else if (std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) {
        width = int(std::min<uint32_t>(bigEndian(head + 16, 4), INT32_MAX));
        height = int(std::min<uint32_t>(bigEndian(head + 20, 4), INT32_MAX));
        if (!pngChunksFit(in)) return why = "a PNG chunk longer than the file", false;
        known = true;
    } else if (head[0] == 'B' && head[1] == 'M') {
        width = int(littleEndian(head + 18, 4));
        height = int(littleEndian(head + 22, 4));
        if (height == INT32_MIN) return why = "a bad BMP header", false;
        height = std::abs(height); // negative: stored top down
        known = width >= 0;
    } else if (std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0) {
        known = tiffSize(in, head[0] == 'I', width, height);
    } else {
        why = "not a JPEG, PNG, BMP or TIFF picture";
        return false;
    }
    if (!known) why = "a damaged picture header";
    return known;
}

bool withinPixelLimit(int64_t width, int64_t height) {
    return width > 0 && height > 0 && width * height <= VELCAP_MAX_PICTURE_PIXELS;
}

Status readPicture(const char* path, int flags, const char* caller, cv::Mat& picture) {
    picture.release();
    if (!path) {
        velcap::logWarning(velcap::Category::Files, "%s: no file name\n", caller);
        return Status::NotReadable;
    }
    if (!isRegularFile(path)) {
        velcap::logWarning(velcap::Category::Files, "%s: %s is not a readable regular file\n", caller, path);
        return Status::NotReadable;
    }
    int width = 0, height = 0;
    std::string why;
    if (!declaredSize(path, width, height, why)) {
        velcap::logWarning(velcap::Category::Files, "%s: %s is refused: %s\n", caller, path, why.c_str());
        return Status::NotReadable;
    }
    if (!withinPixelLimit(width, height)) {
        velcap::logWarning(velcap::Category::Files, "%s: %s declares %dx%d pixels, beyond the limit of %lld\n", caller,
                           path, width, height, static_cast<long long>(VELCAP_MAX_PICTURE_PIXELS));
        return Status::NotReadable;
    }
    try {
        picture = cv::imread(path, flags);
        if (!picture.empty()) return Status::Ok;
        velcap::logError(velcap::Category::Files, "%s: %s cannot be decoded\n", caller, path);
        return Status::NotReadable;
    } catch (const std::exception& e) {
        velcap::logError(velcap::Category::Files, "%s: %s cannot be decoded: %s\n", caller, path, e.what());
        return Status::NotReadable;
    }
}

std::string temporaryBeside(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = path.substr(folder.size());
    const size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? "" : name.substr(dot);
    // Short, so that a name already at the length limit still has a temporary.
    static thread_local std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char stem[32];
        std::snprintf(stem, sizeof(stem), ".velcap-%08x", unsigned(random()));
        const std::string candidate = folder + stem + extension;
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return candidate;
        }
        if (errno != EEXIST) return {};
    }
    return {};
}

namespace {

// The temporary files of writes in progress, for removePartialFiles(), which
// may run in a signal handler: fixed slots, lock-free flags, no allocation.
struct PartialSlot {
    std::atomic<bool> taken{false};
    std::atomic<bool> named{false};
    char path[PATH_MAX];
};
PartialSlot partialSlots[32];

int rememberPartial(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < int(std::size(partialSlots)); ++i) {
        bool expected = false;
        if (!partialSlots[i].taken.compare_exchange_strong(expected, true)) continue;
        std::memcpy(partialSlots[i].path, path.c_str(), path.size() + 1);
        partialSlots[i].named.store(true, std::memory_order_release);
        return i;
    }
    return -1; // more writes at once than slots: this one is not removed on a signal
}

} // namespace

bool replaceable(const std::string& path, const char* caller) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        velcap::logWarning(velcap::Category::Files, "%s: %s exists and is not a regular file\n", caller, path.c_str());
        return false;
    }
    return true;
}

TemporaryFile::TemporaryFile(std::string target) : target_(std::move(target)), path_(temporaryBeside(target_)) {
    if (!path_.empty()) slot_ = rememberPartial(path_);
}

TemporaryFile::~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
    forget();
}

void TemporaryFile::forget() {
    if (slot_ < 0) return;
    partialSlots[slot_].named.store(false, std::memory_order_release);
    partialSlots[slot_].taken.store(false, std::memory_order_release);
    slot_ = -1;
}

bool TemporaryFile::commit() {
    if (path_.empty()) return false;
    if (std::rename(path_.c_str(), target_.c_str()) != 0) return false;
    path_.clear();
    forget();
    return true;
}

Status writePicture(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters,
                    const char* caller) {
    if (!replaceable(path, caller)) return Status::NotWritten;
    TemporaryFile temporary(path);
    if (!temporary.valid()) {
        velcap::logError(velcap::Category::Files, "%s: %s could not be written: %s\n", caller, path.c_str(),
                         std::strerror(errno));
        return Status::NotWritten;
    }
    bool written = false;
    try {
        written = cv::imwrite(temporary.path(), image, parameters);
    } catch (const std::exception& e) {
        velcap::logError(velcap::Category::Files, "%s: %s could not be written: %s\n", caller, path.c_str(), e.what());
        return Status::NotWritten;
    }
    if (!written || !temporary.commit()) {
        velcap::logError(velcap::Category::Files, "%s: %s could not be written\n", caller, path.c_str());
        return Status::NotWritten;
    }
    return Status::Ok;
}

std::string lowerExtension(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

std::string whyNotWritten(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return "the folder " + folder + " does not exist";
    if (::access(folder.c_str(), W_OK) != 0) return "the folder " + folder + " is not writable";
    struct statvfs space {};
    // Less than a small photograph's room left: what a writer meets as ENOSPC.
    if (::statvfs(folder.c_str(), &space) == 0 && uint64_t(space.f_bavail) * space.f_frsize < 4u << 20)
        return "the disk is full";
    return "the file could not be written";
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat x {
    }, y{};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

void removeUnfinishedFiles() {
    for (PartialSlot& slot : partialSlots)
        if (slot.named.load(std::memory_order_acquire)) ::unlink(slot.path);
}

} // namespace velcap
