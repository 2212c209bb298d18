// The camera's own JPEG frames, made whole for any decoder.
#pragma once

#include <cstddef>
#include <string>

namespace velcapd {

// The frame's bytes, with the standard Huffman tables put in before its
// scan when it has none: USB cameras leave them out (Motion JPEG), and not
// every browser or viewer supplies them.
std::string completeJpeg(const unsigned char* bytes, std::size_t size);

} // namespace velcapd
