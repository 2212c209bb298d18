// MJPEG frames decoded at a reduced scale in libjpeg-turbo's DCT domain
// (1/2, 1/4, 1/8): a preview at the size it is shown costs a fraction of a
// full decode.
#pragma once

#include <cstddef>

#include <opencv2/core.hpp>

namespace velcap {

// A side of a picture reduced by 1, 2, 4 or 8, rounded up as the DCT scaling does.
inline int reducedSide(int side, int reduction) {
    return (side + reduction - 1) / reduction;
}

// The largest reduction (8, 4, 2, else 1) that still covers width x height.
int coveringReduction(int sourceWidth, int sourceHeight, int width, int height);

// One stream's scaled decoder; its handle is made on first use.
class ScaledJpegDecoder {
public:
    ScaledJpegDecoder() = default;
    ~ScaledJpegDecoder();
    ScaledJpegDecoder(const ScaledJpegDecoder&) = delete;
    ScaledJpegDecoder& operator=(const ScaledJpegDecoder&) = delete;

    // Decodes a JPEG (Huffman tables may be missing, as cameras send them)
    // reduced by 2, 4 or 8 into rgb (R, G, B); false when it does not decode
    // whole, and rgb is then not to be used.
    bool decode(const unsigned char* data, std::size_t length, int reduction, cv::Mat& rgb);

private:
    void* handle_ = nullptr;
};

} // namespace velcap
