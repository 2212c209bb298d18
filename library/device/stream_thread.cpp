// The stream thread: takes each frame from the driver, decodes and turns it,
// serves the host's requests on it and delivers it to the frame callbacks.
#include <cstdio>
#include <cstring>
#include <vector>

#include "../state.h"
#include "device.h"

namespace {

// The frame that every stage after the turn reads: roimage holds the quarter
// turns, srcimage everything else. Empty for orientations the library does not know.
cv::Mat deliveredFrame(int angle) {
    if (angle == 0 || angle == 2) return srcimage;
    if (angle == 1 || angle == 3) return roimage;
    return cv::Mat();
}

bool decodeFrame(unsigned char* raw, int length) {
    if (std::strstr(pix_format, "MJPG")) {
        do_excute_image(raw, length, srcimage.cols, srcimage.rows, srcimage, roimage);
    } else if (std::strstr(pix_format, "YUYV")) {
        // A short frame must not show the bytes of an earlier one.
        const size_t frameBytes = size_t(srcimage.cols) * size_t(srcimage.rows) * 2;
        if (size_t(length) < frameBytes) std::memset(raw + length, 0, frameBytes - size_t(length));
        yuyv_to_rgb888(raw, srcimage.data, srcimage.cols, srcimage.rows);
    } else {
        std::printf("don't suport format");
        return false;
    }
    return true;
}

void rotateFrame(int angle) {
    if (angle == 1)
        CamdataRote90(srcimage);
    else if (angle == 2)
        srcimage = CamdataRote180(srcimage);
    else if (angle == 3)
        CamdataRote270(srcimage);
}

// While automatic cropping is on, the preview shows the page outline.
void pageOutlineStage(const cv::Mat& frame) {
    const int type = cutType;
    if (type == 1 && !frame.empty()) DrawingEdge(frame.data, frame.cols, frame.rows, type);
}
void embeddedPreviewStage(const cv::Mat&) {}

void deliverToCallback(const cv::Mat& frame) {
    VelcapFrameCallback callback = pGetVideoStream.load();
    if (callback && !frame.empty()) callback(frame.data, frame.cols, frame.rows);
}

} // namespace

void VideoStreamPro(void*) {
    velcap::markStreamThread();
    // The raw frame buffer of nSize bytes (width * height * 3), made once.
    std::vector<unsigned char> raw(static_cast<size_t>(nSize));
    while (bKeep) {
        if (!velcap::waitForFrame()) break;
        int length = 0;
        int result = grabImage(raw.data(), &length);
        if (result != 0) {
            std::printf("grabImage error!!!!!!!!!!");
            std::printf("cam get image ret = %d\n", result);
            break;
        }
        if (length == 0) continue; // nothing usable in this buffer
        if (!decodeFrame(raw.data(), length)) break;

        if (RotateFlag > 0) {
            --RotateFlag;
            std::puts("RotateFlag--");
            continue;
        }

        // One reading per frame keeps every stage of a frame on the same image.
        const int angle = RotateAngle;
        rotateFrame(angle);
        const cv::Mat frame = deliveredFrame(angle);
        velcap::serveCapture(frame);
        velcap::serveRecognition(frame);
        pageOutlineStage(frame);
        deliverToCallback(frame);
        if (pGetVideoWebStream.load()) embeddedPreviewStage(frame);
        Sleep(3);
    }
    velcap::setStreaming(false);
}
