// MJPEG frames to RGB through libavcodec's decoder and libswscale.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "../guard.h"
#include "../log.h"
#include "mjpeg_decoder.h"

namespace {

// The decoder record (the flat interface's pdecode points to one): eight pointer-sized fields.
struct DecoderRecord {
    AVPacket* packet; // wraps each frame; no copy of its bytes is made
    AVCodecContext* context;
    const AVCodec* codec;
    AVFrame* picture;
    AVFrame* rgbPicture;       // kept for the record's layout; pictures go straight into the destination
    SwsContext* scaler;        // made from the first picture, remade only when its geometry changes
    struct Geometry* geometry; // what the scaler was made for
    uint8_t* rgbBuffer;
};

struct Geometry {
    int sourceWidth, sourceHeight, sourceFormat, width, height;
    // For pictures already of the destination's size: one converter a band
    // of rows, run side by side. Empty when the picture is scaled.
    std::vector<SwsContext*> bands;
    std::vector<int> bandStart; // first row of each band, and the height at the end
    // swscale's vector code writes past the end of rows whose width is not a
    // multiple of 32 pixels: such pictures are converted here first.
    std::vector<uint8_t> padded;
    bool operator==(const Geometry& o) const {
        return sourceWidth == o.sourceWidth && sourceHeight == o.sourceHeight && sourceFormat == o.sourceFormat &&
               width == o.width && height == o.height;
    }
};
static_assert(sizeof(DecoderRecord) == 8 * sizeof(void*), "the decoder record has eight fields");

// Frees the band converters and forgets them, so that none can be used or freed again.
void releaseBands(Geometry& g) {
    for (SwsContext* band : g.bands) sws_freeContext(band);
    g.bands.clear();
    g.bandStart.clear();
}

// Frees the scaler and the band converters and forgets them.
void releaseScalers(DecoderRecord* r) {
    sws_freeContext(r->scaler);
    r->scaler = nullptr;
    if (r->geometry) releaseBands(*r->geometry);
}

void freeRecord(DecoderRecord* r) {
    avcodec_free_context(&r->context);
    av_frame_free(&r->picture);
    av_frame_free(&r->rgbPicture);
    av_packet_free(&r->packet);
    releaseScalers(r);
    delete r->geometry;
    av_free(r->rgbBuffer);
    std::free(r);
}

// The JPEG pixel formats are full-range YUV; swscale wants the plain format
// with the range said separately.
AVPixelFormat plainFormat(AVPixelFormat format, bool& fullRange) {
    fullRange = true;
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
        return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
        return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
        return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
        return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
        return AV_PIX_FMT_YUV411P;
    default:
        fullRange = false;
        return format;
    }
}

// Bands of a 4:2:0 picture that needs no scaling and whose sides are
// multiples of 16: there swscale converts row pairs on their own, so the bands
// give exactly the bytes of one full conversion (the tests compare them).
// Other pictures are converted whole.
void makeBands(Geometry& g, AVPixelFormat source, bool fullRange) {
#if defined(__SANITIZE_THREAD__)
    constexpr int kBands = 1; // OpenCV's thread pool is not built for ThreadSanitizer
#else
    constexpr int kBands = 2;
#endif
    if (kBands < 2 || source != AV_PIX_FMT_YUV420P || g.sourceWidth != g.width || g.sourceHeight != g.height ||
        g.height < 256 || g.width % 16 || g.height % 16)
        return;
    const int align = 16; // a multiple of every chroma subsampling
    const int step = (g.height / kBands + align - 1) / align * align;
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    for (int top = 0; top < g.height; top += step) {
        const int rows = std::min(step, g.height - top);
        SwsContext* band = sws_getContext(g.width, rows, source, g.width, rows, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr,
                                          nullptr, nullptr);
        if (!band) {
            releaseBands(g);
            return;
        }
        sws_setColorspaceDetails(band, coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
        g.bands.push_back(band);
        g.bandStart.push_back(top);
    }
    g.bandStart.push_back(g.height);
}

} // namespace

namespace velcap {

void* newMjpegDecoderRecord() {
    auto* r = static_cast<DecoderRecord*>(std::calloc(1, sizeof(DecoderRecord)));
    if (!r) {
        velcap::logError(velcap::Category::Decode, "av_decode_init: out of memory\n");
        return nullptr;
    }
    const char* failed = nullptr;
    r->codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (!r->codec) failed = "no MJPEG decoder";
    if (!failed && !(r->context = avcodec_alloc_context3(r->codec))) failed = "avcodec_alloc_context3";
    // A damaged frame is an error, not a picture patched up from the
    // decoder's leftovers: the stream thread then skips it.
    if (!failed) r->context->err_recognition |= AV_EF_EXPLODE;
    if (!failed && avcodec_open2(r->context, r->codec, nullptr) < 0) failed = "avcodec_open2";
    if (!failed && !(r->picture = av_frame_alloc())) failed = "av_frame_alloc";
    if (!failed && !(r->rgbPicture = av_frame_alloc())) failed = "av_frame_alloc";
    if (!failed && !(r->packet = av_packet_alloc())) failed = "av_packet_alloc";
    if (failed) {
        // Without a record, frames are simply not decoded.
        velcap::logError(velcap::Category::Decode, "av_decode_init: %s failed; MJPEG frames will not be decoded\n",
                         failed);
        freeRecord(r);
        return nullptr;
    }
    return r;
}

void freeMjpegDecoderRecord(void* record) {
    if (record) freeRecord(static_cast<DecoderRecord*>(record));
}

} // namespace velcap

namespace {

bool decodeInto(DecoderRecord* r, unsigned char* data, int length, int width, int height, cv::Mat& destination) {
    if (length < 1 || !r) return false;
    if (width < 1 || height < 1 || destination.type() != CV_8UC3 || !destination.isContinuous() ||
        destination.cols != width || destination.rows != height) {
        velcap::logWarning(velcap::Category::Decode, "do_excute_image: destination is not a %dx%d RGB image\n", width,
                           height);
        return false;
    }

    r->packet->data = data;
    r->packet->size = length;
    int result = avcodec_send_packet(r->context, r->packet);
    r->packet->data = nullptr;
    r->packet->size = 0;
    if (result < 0) {
        velcap::logLine(velcap::LogLevel::Error, velcap::Category::Decode, "decode error.");
        return false;
    }
    result = avcodec_receive_frame(r->context, r->picture);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return false;
    if (result < 0) {
        velcap::logLine(velcap::LogLevel::Error, velcap::Category::Decode, "decode error.");
        return false;
    }

    AVFrame* picture = r->picture;
    bool fullRange = false;
    AVPixelFormat source = plainFormat(static_cast<AVPixelFormat>(picture->format), fullRange);
    // A picture of another geometry than the last one (a corrupt frame, a new
    // mode) gets a scaler of its own rather than one that would read past it.
    const Geometry geometry{picture->width, picture->height, picture->format, width, height, {}, {}, {}};
    if (!r->scaler || !r->geometry || !(*r->geometry == geometry)) {
        releaseScalers(r);
        r->scaler = sws_getContext(picture->width, picture->height, source, width, height, AV_PIX_FMT_RGB24,
                                   SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!r->scaler) {
            velcap::logError(velcap::Category::Decode, "do_excute_image: no conversion from %dx%d format %d\n",
                             picture->width, picture->height, picture->format);
            av_frame_unref(picture);
            return false;
        }
        const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(r->scaler, coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
        if (!r->geometry) r->geometry = new Geometry;
        *r->geometry = geometry;
        makeBands(*r->geometry, source, fullRange);
    }
    const Geometry& g = *r->geometry;
    if (g.bands.empty() && width % 32 != 0) {
        const int stride = (width * 3 + 63) / 64 * 64;
        std::vector<uint8_t>& padded = r->geometry->padded;
        padded.resize(size_t(stride) * size_t(height + 1) + 64);
        uint8_t* planes[4] = {padded.data(), nullptr, nullptr, nullptr};
        int strides[4] = {stride, 0, 0, 0};
        sws_scale(r->scaler, picture->data, picture->linesize, 0, picture->height, planes, strides);
        for (int y = 0; y < height; ++y)
            std::memcpy(destination.ptr<uint8_t>(y), padded.data() + size_t(y) * size_t(stride), size_t(width) * 3);
    } else if (g.bands.empty()) {
        uint8_t* planes[4] = {destination.data, nullptr, nullptr, nullptr};
        int strides[4] = {width * 3, 0, 0, 0};
        sws_scale(r->scaler, picture->data, picture->linesize, 0, picture->height, planes, strides);
    } else {
        int hShift = 0, vShift = 0;
        av_pix_fmt_get_chroma_sub_sample(source, &hShift, &vShift);
        cv::parallel_for_(cv::Range(0, int(g.bands.size())), [&](const cv::Range& range) {
            for (int b = range.start; b < range.end; ++b) {
                const int top = g.bandStart[size_t(b)], rows = g.bandStart[size_t(b) + 1] - top;
                const uint8_t* in[4] = {picture->data[0] + ptrdiff_t(top) * picture->linesize[0],
                                        picture->data[1] + ptrdiff_t(top >> vShift) * picture->linesize[1],
                                        picture->data[2] + ptrdiff_t(top >> vShift) * picture->linesize[2], nullptr};
                uint8_t* planes[4] = {destination.data + size_t(top) * size_t(width) * 3, nullptr, nullptr, nullptr};
                int strides[4] = {width * 3, 0, 0, 0};
                sws_scale(g.bands[size_t(b)], in, picture->linesize, 0, rows, planes, strides);
            }
        });
    }
    // A picture the decoder had to patch up is no photograph: its missing
    // parts hold whatever the decoder's buffers held.
    const bool whole = !(picture->decode_error_flags) && !(picture->flags & AV_FRAME_FLAG_CORRUPT);
    av_frame_unref(picture);
    return whole;
}

} // namespace

namespace velcap {

bool decodeMjpeg(void* record, unsigned char* data, int length, cv::Mat& destination) {
    return velcap::guarded("do_excute_image", false, [&] {
        return decodeInto(static_cast<DecoderRecord*>(record), data, length, destination.cols, destination.rows,
                          destination);
    });
}

bool decodeMjpeg(void* record, unsigned char* data, int length, int width, int height, cv::Mat& destination) {
    return velcap::guarded("do_excute_image", false, [&] {
        return decodeInto(static_cast<DecoderRecord*>(record), data, length, width, height, destination);
    });
}

} // namespace velcap
