#include "jpeg.h"

#include <turbojpeg.h>

namespace velcapd {

namespace {

// Where the marker segments of a JPEG start and end; 0 when malformed.
struct Segment {
    std::size_t at = 0, end = 0;
    unsigned char marker = 0;
};

Segment nextSegment(const unsigned char* bytes, std::size_t size, std::size_t at) {
    if (at + 4 > size || bytes[at] != 0xFF) return {};
    const std::size_t length = std::size_t(bytes[at + 2]) << 8 | bytes[at + 3];
    if (length < 2 || at + 2 + length > size) return {};
    return {at, at + 2 + length, bytes[at + 1]};
}

// libjpeg-turbo's standard tables, as its compressor writes them (DHT segments).
const std::string& standardTables() {
    static const std::string tables = [] {
        std::string found;
        unsigned char pixels[16 * 16 * 3] = {};
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        tjhandle compressor = tjInitCompress();
        if (tjCompress2(compressor, pixels, 16, 0, 16, TJPF_RGB, &jpeg, &size, TJSAMP_420, 75, 0) == 0) {
            for (Segment s = nextSegment(jpeg, size, 2); s.end && s.marker != 0xDA; s = nextSegment(jpeg, size, s.end))
                if (s.marker == 0xC4) found.append(reinterpret_cast<char*>(jpeg) + s.at, s.end - s.at);
        }
        tjFree(jpeg);
        tjDestroy(compressor);
        return found;
    }();
    return tables;
}

} // namespace

std::string completeJpeg(const unsigned char* bytes, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(bytes);
    if (size < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return std::string(text, size);
    for (Segment s = nextSegment(bytes, size, 2); s.end; s = nextSegment(bytes, size, s.end)) {
        if (s.marker == 0xC4) break; // it has its own
        if (s.marker == 0xDA) {
            std::string whole;
            whole.reserve(size + standardTables().size());
            whole.append(text, s.at).append(standardTables()).append(text + s.at, size - s.at);
            return whole;
        }
    }
    return std::string(text, size);
}

} // namespace velcapd
