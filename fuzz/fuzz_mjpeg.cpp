// The MJPEG decoder on a few frames per input, so that changes of size and
// format between frames are covered: each frame is a 16-bit length and its bytes.
#include <opencv2/core.hpp>

#include "fuzz_support.h"
#include "velcap.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    // The destination's size comes first: the camera's mode.
    const int width = 8 + input.byte() % 120, height = 8 + input.byte() % 90;
    cv::Mat frame(height, width, CV_8UC3), unused;
    av_decode_init();
    for (int n = 0; n < 4 && input.left() > 2; ++n) {
        std::string bytes = input.take(input.word());
        do_excute_image(reinterpret_cast<unsigned char*>(bytes.data()), int(bytes.size()), width, height, frame,
                        unused);
    }
    av_decode_deinit();
    return 0;
}
