// For the targets that read picture files. Pictures up to the library's
// limit of 48 megapixels are legitimate, and decoding one from a few hundred
// bytes takes a second: these targets skip inputs that declare more than
// 65536 pixels, so that the fuzzer spends its time on the parsing. The limit
// itself is tested apart.
#pragma once

#include <string>

#include "files/picture_file.h"

namespace fuzz {

// Whether the file is no picture the library would decode, or a small one.
inline bool smallPicture(const std::string& path) {
    constexpr long long kMostPixels = 256 * 256;
    int width = 0, height = 0;
    std::string why;
    return !velcap::declaredSize(path, width, height, why) || static_cast<long long>(width) * height <= kMostPixels;
}

} // namespace fuzz
