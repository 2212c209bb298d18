// Shared by the fuzz targets: the library's progress lines go nowhere, and
// inputs are read field by field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "velcap.h"

namespace fuzz {

inline void silence(const char*) {}

inline void quiet() {
    // The library says something on every call; the fuzzer's own report goes to standard error.
    SetLogSink(silence);
}

// Reads the input from the front.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return size_ ? (--size_, *data_++) : 0; }
    uint16_t word() { return uint16_t(byte() | byte() << 8); }
    size_t left() const { return size_; }
    const uint8_t* rest() const { return data_; }
    // The next n bytes (fewer at the end).
    std::string take(size_t n) {
        n = n < size_ ? n : size_;
        std::string out(reinterpret_cast<const char*>(data_), n);
        data_ += n, size_ -= n;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

// A private folder for the files of one fuzzing process, removed when it ends.
inline const std::string& folder() {
    static const std::string dir = [] {
        // In a buffer of its own: the handler runs after the string below is gone.
        static char name[] = "/tmp/velcap-fuzz-XXXXXX";
        const char* made = mkdtemp(name);
        if (made)
            std::atexit([] {
                char command[64];
                std::snprintf(command, sizeof(command), "rm -rf '%s'", name);
                if (std::system(command) != 0) std::fputs("velcap-fuzz: the scratch folder stays\n", stderr);
            });
        return std::string(made ? made : "/tmp");
    }();
    return dir;
}

inline void write(const std::string& path, const std::string& bytes) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

} // namespace fuzz
