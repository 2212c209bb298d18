// The MJPEG decoders on a few frames per input, so that changes of size and
// format between frames are covered: each frame is a 16-bit length and its
// bytes, given to the stream thread's libavcodec decoder and to the libjpeg
// decoders that hosts call, and to velcapd's mending of frames without
// Huffman tables.
#include <opencv2/core.hpp>

#include "fuzz_support.h"
#include "jpeg.h"
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
        auto* data = reinterpret_cast<unsigned char*>(bytes.data());
        velcapd::completeJpeg(data, bytes.size());
        do_excute_image(data, int(bytes.size()), width, height, frame, unused);
        if (n % 2 == 0) {
            Mjpeg2RgbConvertEx(data, int(bytes.size()), frame);
        } else {
            VideoBuf record{n, 0, int(bytes.size()), data};
            Mjpeg2RgbConvert(&record, frame);
        }
    }
    av_decode_deinit();
    return 0;
}
