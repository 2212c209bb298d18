// MJPEG frames to R, G, B through libavcodec, one decoder per stream.
#pragma once

#include <opencv2/core.hpp>

namespace velcap {

// The decoder's record: made ready to decode, or null when libavcodec
// cannot give one (frames are then not decoded). Freed by freeMjpegDecoderRecord.
void* newMjpegDecoderRecord();
void freeMjpegDecoderRecord(void* record);
// Decodes one frame into destination, an R, G, B picture of the given size
// (or of its own size); false when the frame yields no whole picture, which
// is then not to be used.
bool decodeMjpeg(void* record, unsigned char* data, int length, cv::Mat& destination);
bool decodeMjpeg(void* record, unsigned char* data, int length, int width, int height, cv::Mat& destination);

// One stream's decoder, released with it.
class MjpegDecoder {
public:
    MjpegDecoder() : record_(newMjpegDecoderRecord()) {}
    ~MjpegDecoder() { freeMjpegDecoderRecord(record_); }
    MjpegDecoder(const MjpegDecoder&) = delete;
    MjpegDecoder& operator=(const MjpegDecoder&) = delete;

    bool decode(unsigned char* data, int length, cv::Mat& destination) {
        return decodeMjpeg(record_, data, length, destination);
    }

private:
    void* record_;
};

} // namespace velcap
