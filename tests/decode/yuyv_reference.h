// The YUYV conversion written exactly as the arithmetic is defined: double
// precision, rounded to single precision, clamped at 250 and 0, truncated.
#pragma once

#include <cstdint>

namespace velcap::test {

inline uint8_t referenceChannel(double value) {
    float f = static_cast<float>(value);
    if (f > 250.0f) f = 255.0f;
    if (f < 0.0f) f = 0.0f;
    return static_cast<uint8_t>(static_cast<int>(f));
}

inline void referenceYuyvToRgb(const uint8_t* in, uint8_t* out, int width, int height) {
    const long pairs = (long(width) * height) / 2;
    for (long i = 0; i < pairs; ++i, in += 4, out += 6) {
        const int u = in[1] - 128, v = in[3] - 128;
        for (int k = 0; k < 2; ++k) {
            const int y = in[2 * k] - 16;
            out[3 * k + 0] = referenceChannel(1.164 * y + 1.596 * v);
            out[3 * k + 1] = referenceChannel((1.164 * y - 0.813 * v) - 0.394 * u);
            out[3 * k + 2] = referenceChannel(2.018 * u + 1.164 * y);
        }
    }
}

} // namespace velcap::test
