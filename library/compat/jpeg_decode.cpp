// The flat interface's MJPEG decoding: frames held by the host, through
// libjpeg's interface into an existing R, G, B image. The stream thread does
// not use these.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

#include "../log.h"
#include "../velcap.h"

namespace {

// libjpeg's error manager with the place to return to after an error.
struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

// Per thread, so that two hosts' threads decoding at once do not write one buffer.
thread_local char errorMessage[JMSG_LENGTH_MAX];
const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void initSource(j_decompress_ptr) {}

// The frame ended early: the picture ends here, and libjpeg fills the rest.
boolean fillInputBuffer(j_decompress_ptr info) {
    WARNMS(info, JWRN_JPEG_EOF);
    info->src->next_input_byte = kEndOfImage;
    info->src->bytes_in_buffer = 2;
    return TRUE;
}

void skipInputData(j_decompress_ptr info, long count) {
    if (count <= 0) return;
    jpeg_source_mgr* source = info->src;
    while (count > long(source->bytes_in_buffer)) {
        count -= long(source->bytes_in_buffer);
        fillInputBuffer(info);
    }
    source->next_input_byte += count;
    source->bytes_in_buffer -= size_t(count);
}

void termSource(j_decompress_ptr) {}

// The decoder proper. It holds no object with a destructor, since an error
// leaves it through longjmp.
int decode(const unsigned char* data, unsigned long length, cv::Mat& destination, bool finish, const char* caller) {
    jpeg_decompress_struct info;
    ErrorManager errors;
    info.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = MyErrorExit;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return -1;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src_tj(&info, const_cast<unsigned char*>(data), length);
    jpeg_read_header(&info, TRUE);
    info.scale_num = 1;
    info.scale_denom = 1;
    // A greyscale frame becomes grey R, G, B; CMYK has no R, G, B output in libjpeg.
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        velcap::logWarning(velcap::Category::Decode, "%s: CMYK pictures are not decoded\n", caller);
        jpeg_destroy_decompress(&info);
        return -1;
    }
    info.out_color_space = JCS_RGB;
    jpeg_calc_output_dimensions(&info);
    const size_t rowBytes = size_t(info.output_width) * 3;
    const size_t pictureBytes = rowBytes * info.output_height;
    if (destination.type() != CV_8UC3 || !destination.isContinuous() ||
        destination.total() * destination.elemSize() < pictureBytes) {
        velcap::logError(velcap::Category::Decode,
                         "%s: the destination (%dx%d, type %d) cannot hold the %ux%u R, G, B picture\n", caller,
                         destination.cols, destination.rows, destination.type(), info.output_width, info.output_height);
        jpeg_destroy_decompress(&info);
        return -1;
    }
    jpeg_start_decompress(&info);
    // Rows go straight into the destination: it is packed, as a row buffer copied by CovertOneLine would leave it.
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[8];
        const JDIMENSION first = info.output_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(8, info.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i) rows[i] = destination.data + (first + i) * rowBytes;
        jpeg_read_scanlines(&info, rows, count);
    }
    if (finish) jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return 0;
}

} // namespace

void jpeg_mem_src_tj(j_decompress_ptr info, unsigned char* buffer, unsigned long size) {
    if (!buffer || size == 0) ERREXIT(info, JERR_INPUT_EMPTY);
    if (!info->src)
        info->src = static_cast<jpeg_source_mgr*>(
            (*info->mem->alloc_small)(reinterpret_cast<j_common_ptr>(info), JPOOL_PERMANENT, sizeof(jpeg_source_mgr)));
    jpeg_source_mgr* source = info->src;
    source->init_source = initSource;
    source->fill_input_buffer = fillInputBuffer;
    source->skip_input_data = skipInputData;
    source->resync_to_restart = jpeg_resync_to_restart;
    source->term_source = termSource;
    source->bytes_in_buffer = size;
    source->next_input_byte = buffer;
}

void MyErrorExit(j_common_ptr info) {
    (*info->err->format_message)(info, errorMessage);
    velcap::logError(velcap::Category::Decode, "%s\n", errorMessage);
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

int CovertOneLine(int count, int bitsPerPixel, int, unsigned char* source, unsigned char* destination) {
    if (bitsPerPixel != 24) return -1;
    if (count > 0) std::memcpy(destination, source, size_t(count) * 3);
    return 0;
}

int Mjpeg2RgbConvert(VideoBuf* frame, cv::Mat& destination) {
    if (!frame) return -1;
    return decode(frame->start, frame->length > 0 ? (unsigned long)frame->length : 0, destination, true,
                  "Mjpeg2RgbConvert");
}

int Mjpeg2RgbConvertEx(unsigned char* data, int length, cv::Mat& destination) {
    return decode(data, length > 0 ? (unsigned long)length : 0, destination, false, "Mjpeg2RgbConvertEx");
}
