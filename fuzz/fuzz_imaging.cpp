// The typed imaging functions on small pictures of every depth and channel
// count, the page geometry on any corners, and book mode.
#include <cstring>

#include <opencv2/core.hpp>

#include "fuzz_support.h"
#include "imaging/book.h"
#include "imaging/card.h"
#include "velcap.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    const int rows = input.byte() % 48, cols = input.byte() % 48;
    const int depth = input.byte() % 7, channels = 1 + input.byte() % 4;
    const uint8_t which = input.byte();
    float angle;
    const std::string angleBytes = input.take(sizeof(angle));
    std::memset(&angle, 0, sizeof(angle));
    std::memcpy(&angle, angleBytes.data(), angleBytes.size());

    cv::Mat image(rows, cols, CV_MAKETYPE(depth, channels));
    const size_t bytes = image.total() * image.elemSize();
    const std::string pixels = input.take(bytes);
    if (bytes) {
        std::memset(image.data, 0, bytes);
        std::memcpy(image.data, pixels.data(), pixels.size());
    }

    switch (which % 11) {
    case 0:
        FN_DeleteBlackEdge(image);
        break;
    case 1:
        FN_DeleteBackcolor(image);
        break;
    case 2: {
        cv::Mat out;
        GammaCorrection(image, out, angle);
        break;
    }
    case 3:
        rotateImage(image, angle);
        break;
    case 4:
        CamdataRote180(image);
        break;
    case 5:
        if (image.type() == CV_8UC3) DrawingEdge(image.data, image.cols, image.rows, which >> 4 & 1);
        break;
    case 6: {
        int corners[8] = {};
        const std::string raw = input.take(sizeof(corners));
        std::memcpy(corners, raw.data(), raw.size());
        GetAngle(corners);
        break;
    }
    case 7:
        BarQrDecodePro(image, which >> 4 & 1);
        break;
    case 8:
        GetQR(image, which >> 4 & 1);
        ZbarDecoder(image, 0);
        break;
    case 9: {
        velcap::Quad corners;
        if (velcap::findCard(image, corners)) velcap::straightenCard(image, corners, 40 + which % 64);
        break;
    }
    case 10:
        if (image.type() == CV_8UC3) velcap::bookPages(image);
        break;
    }
    return 0;
}
