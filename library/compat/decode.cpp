// The flat interface's MJPEG decoder: one record for the library, in pdecode.
#include "../decode/mjpeg_decoder.h"
#include "../decode/yuyv.h"
#include "state.h"

void av_decode_init() {
    if (!pdecode) pdecode = velcap::newMjpegDecoderRecord();
}

void av_decode_deinit() {
    velcap::freeMjpegDecoderRecord(pdecode);
    pdecode = nullptr;
}

void do_excute_image(unsigned char* data, int length, int width, int height, cv::Mat& destination, cv::Mat&) {
    if (pdecode) velcap::decodeMjpeg(pdecode, data, length, width, height, destination);
}

void yuyv_to_rgb888(unsigned char* source, unsigned char* destination, int width, int height) {
    velcap::yuyvToRgb(source, destination, width, height);
}
