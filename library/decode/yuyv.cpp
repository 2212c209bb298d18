// YUYV 4:2:2 to packed RGB with fixed video-range coefficients.
//
// Each channel is (a*y + b*u + c*v) / 1000 with integer y, u, v and three-digit
// coefficients, so the exact value is a multiple of 0.001. Rounding it to
// single precision never moves it across an integer (the nearest non-integer
// multiple is 0.001 away, far more than the rounding error), so truncating the
// float equals dividing the integer numerator by 1000. The clamp maps values
// above 250 to 255 and negative values to 0.
#include <cstdint>

#include "../state.h"

namespace {

inline uint8_t channel(int numerator) {
    if (numerator > 250000) return 255;
    if (numerator < 0) return 0;
    return static_cast<uint8_t>(numerator / 1000);
}

} // namespace

void yuyv_to_rgb888(unsigned char* source, unsigned char* destination, int width, int height) {
    if (width <= 0 || height <= 0) return;
    const long pairs = (long(width) * long(height)) / 2;
    const uint8_t* in = source;
    uint8_t* out = destination;
    for (long i = 0; i < pairs; ++i, in += 4, out += 6) {
        const int y0 = 1164 * (in[0] - 16);
        const int y1 = 1164 * (in[2] - 16);
        const int u = in[1] - 128;
        const int v = in[3] - 128;
        const int r = 1596 * v;
        const int g = -813 * v - 394 * u;
        const int b = 2018 * u;
        out[0] = channel(y0 + r);
        out[1] = channel(y0 + g);
        out[2] = channel(y0 + b);
        out[3] = channel(y1 + r);
        out[4] = channel(y1 + g);
        out[5] = channel(y1 + b);
    }
}
