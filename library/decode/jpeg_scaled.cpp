#include "jpeg_scaled.h"

#include <turbojpeg.h>

namespace velcap {

int coveringReduction(int sourceWidth, int sourceHeight, int width, int height) {
    if (width <= 0 || height <= 0) return 1;
    for (int reduction : {8, 4, 2})
        if (reducedSide(sourceWidth, reduction) >= width && reducedSide(sourceHeight, reduction) >= height)
            return reduction;
    return 1;
}

ScaledJpegDecoder::~ScaledJpegDecoder() {
    if (handle_) tjDestroy(handle_);
}

bool ScaledJpegDecoder::decode(const unsigned char* data, std::size_t length, int reduction, cv::Mat& rgb) {
    if (!data || length == 0 || (reduction != 2 && reduction != 4 && reduction != 8)) return false;
    if (!handle_) handle_ = tjInitDecompress();
    if (!handle_) return false;
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    unsigned char* bytes = const_cast<unsigned char*>(data); // TurboJPEG 2.1 takes it unqualified, and reads only
    if (tjDecompressHeader3(handle_, bytes, static_cast<unsigned long>(length), &width, &height, &subsampling,
                            &colourspace) != 0)
        return false;
    rgb.create(reducedSide(height, reduction), reducedSide(width, reduction), CV_8UC3);
    // A warning (a damaged frame) fails too: such a picture is not to be shown.
    return tjDecompress2(handle_, bytes, static_cast<unsigned long>(length), rgb.data, rgb.cols, int(rgb.step),
                         rgb.rows, TJPF_RGB, 0) == 0;
}

} // namespace velcap
