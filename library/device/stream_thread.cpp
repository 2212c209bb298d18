// The stream thread: takes each frame from the driver, decodes and turns it,
// serves the host's requests on it and delivers it to the frame callbacks.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../guard.h"
#include "../imaging/page_edge.h"
#include "../imaging/page_quad.h"
#include "../log.h"
#include "../state.h"
#include "../viewport/viewport.h"
#include "device.h"

namespace {

// The frame that every stage after the turn reads: roimage holds the quarter
// turns, srcimage everything else. Empty for orientations the library does not know.
cv::Mat deliveredFrame(int angle) {
    if (angle == 0 || angle == 2) return srcimage;
    if (angle == 1 || angle == 3) return roimage;
    return cv::Mat();
}

enum class Decoder { mjpeg, yuyv, none };

// The decoder of the stream's pixel format, decided once when the stream thread starts.
Decoder decoderOf(const char* format) {
    if (std::strstr(format, "MJPG")) return Decoder::mjpeg;
    if (std::strstr(format, "YUYV")) return Decoder::yuyv;
    return Decoder::none;
}

enum class Decoded { picture, broken, unknownFormat };

Decoded decodeFrame(Decoder decoder, unsigned char* raw, int length) {
    if (decoder == Decoder::mjpeg) {
        if (!velcap::decodeMjpegFrame(raw, length, srcimage)) return Decoded::broken;
    } else if (decoder == Decoder::yuyv) {
        // A short frame must not show the bytes of an earlier one.
        const size_t frameBytes = size_t(srcimage.cols) * size_t(srcimage.rows) * 2;
        if (size_t(length) < frameBytes) std::memset(raw + length, 0, frameBytes - size_t(length));
        yuyv_to_rgb888(raw, srcimage.data, srcimage.cols, srcimage.rows);
    } else {
        velcap::say("don't suport format");
        return Decoded::unknownFormat;
    }
    return Decoded::picture;
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
// Both cut types' page finders, with what each keeps from frame to frame.
struct PageFinders {
    velcap::PageWorkspace outline;
    velcap::QuadTracker quad;
};

void pageOutlineStage(const cv::Mat& frame, PageFinders& finders) {
    const int type = cutType;
    if (frame.empty()) return;
    if (type == 2 || type == 3) return velcap::pageQuadStage(frame, finders.quad);
    if (type != 1) return;
    velcap::PageWorkspace& work = finders.outline;
    // A failure costs the outline, not the frame.
    velcap::guarded("DrawingEdge", -1,
                    [&] { return velcap::findPageOutline(frame.data, frame.cols, frame.rows, type, work); });
}
void embeddedPreviewStage(const cv::Mat& frame, VelcapWebFrameCallback callback) {
    velcap::embeddedPreview(frame, callback);
}

enum class FrameStep { done, next, stop };

void deliverToCallback(const cv::Mat& frame);

FrameStep processFrame(Decoder decoder, unsigned char* raw, int length, PageFinders& pageWork) {
    // A frame that does not decode is neither shown nor photographed: the
    // requests wait for the next whole one.
    const Decoded decoded = decodeFrame(decoder, raw, length);
    if (decoded == Decoded::unknownFormat) return FrameStep::stop;
    if (decoded == Decoded::broken) return FrameStep::next;
    if (RotateFlag > 0) {
        --RotateFlag;
        velcap::sayLine("RotateFlag--");
        return FrameStep::next;
    }
    // One reading per frame keeps every stage of a frame on the same image.
    const int angle = RotateAngle;
    rotateFrame(angle);
    const cv::Mat frame = deliveredFrame(angle);
    velcap::serveCapture(frame);
    velcap::serveRecognition(frame);
    velcap::autoCaptureStage(frame); // before the outline is drawn into the frame
    pageOutlineStage(frame, pageWork);
    deliverToCallback(frame);
    if (VelcapWebFrameCallback web = pGetVideoWebStream.load()) embeddedPreviewStage(frame, web);
    return FrameStep::done;
}

void deliverToCallback(const cv::Mat& frame) {
    VelcapFrameCallback callback = pGetVideoStream.load();
    if (callback && !frame.empty()) callback(frame.data, frame.cols, frame.rows);
}

} // namespace

void VideoStreamPro(void*) {
    velcap::markStreamThread();
    // The raw frame buffer, made once.
    std::vector<unsigned char> raw(velcap::rawFrameBytes());
    PageFinders pageWork; // the page finders' pictures and steadied corners, kept while the stream runs
    // openCamera set the format before it started this thread, and it does not change while it runs.
    const Decoder decoder = decoderOf(pix_format);
    while (bKeep) {
        if (!velcap::waitForFrame()) break;
        int length = 0;
        const int result = grabImage(raw.data(), &length);
        if (result != 0) {
            const int error = errno;
            velcap::say("grabImage error!!!!!!!!!!");
            velcap::say("cam get image ret = %d\n", result);
            velcap::say("VideoStreamPro: the stream has ended: a frame could not be read (%d, %s); requests fail "
                        "until the camera is opened again\n",
                        result, result == -1 ? std::strerror(error) : "invalid buffer");
            break;
        }
        if (length == 0) continue; // nothing usable in this buffer
        // An exception from a stage or from the host's callback costs this frame, not the stream.
        const FrameStep step = velcap::guarded("VideoStreamPro", FrameStep::next,
                                               [&] { return processFrame(decoder, raw.data(), length, pageWork); });
        if (step == FrameStep::stop) break;
        if (step == FrameStep::done) Sleep(3); // the host's threads get the core between frames
    }
    velcap::setStreaming(false);
}
