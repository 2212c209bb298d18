// The capture pipeline: one frame (R, G, B) to one saved file, whole or
// cropped to the page found on the preview, cleaned as the settings ask.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "../files/picture_file.h"
#include "../imaging/black_edge.h"
#include "../imaging/page_edge.h"
#include "../imaging/page_quad.h"
#include "../imaging/rotate.h"
#include "../log.h"
#include "capture.h"

using velcap::Status;

namespace {

constexpr int kPageFrame = 8; // pixels of surroundings kept around a cropped page

using velcap::CaptureParams;

// The pipeline's own picture, changed in place.
void clean(cv::Mat& bgr, const CaptureParams& p) {
    if (p.removeBlackEdge) bgr.setTo(cv::Scalar(255, 255, 255), velcap::blackEdgeMargin(bgr));
    if (p.whiten) velcap::whitenInPlace(bgr);
}

velcap::SaveOptions saveOptions(const CaptureParams& p) {
    return {p.colorMode, p.jpegQuality, p.ocrLanguages, p.pdfInMemory, p.pdfA};
}

// The last steps of every path: B, G, R order, cleaned, written.
Status cleanAndSave(const char* path, const cv::Mat& rgb, const CaptureParams& p) {
    cv::Mat result;
    cv::cvtColor(rgb, result, cv::COLOR_RGB2BGR);
    clean(result, p);
    return velcap::saveImage(path, result, saveOptions(p));
}

Status wholeFrame(const char* path, const cv::Mat& frame, const CaptureParams& p) {
    velcap::logLine(velcap::LogLevel::Debug, velcap::Category::Capture, "capture->01");
    // One copy of the frame, made by the colour swap itself.
    cv::Mat work;
    cv::cvtColor(frame, work, cv::COLOR_RGB2BGR);
    velcap::logLine(velcap::LogLevel::Debug, velcap::Category::Capture, "capture->02");
    clean(work, p);
    Status result;
    if (p.interpolate) {
        // A quarter-turned frame stands upright; the frame itself tells, so a
        // turn set while this frame was made cannot squeeze it.
        const bool upright = frame.rows > frame.cols;
        const cv::Size size = upright ? cv::Size(velcap::kInterpolatedHeight, velcap::kInterpolatedWidth)
                                      : cv::Size(velcap::kInterpolatedWidth, velcap::kInterpolatedHeight);
        cv::Mat out(size, work.type());
        cv::resize(work, out, size, 1.0, 0.0, cv::INTER_LINEAR);
        result = velcap::saveImage(path, out, saveOptions(p));
    } else {
        velcap::logLine(velcap::LogLevel::Debug, velcap::Category::Capture, "capture->03");
        result = velcap::saveImage(path, work, saveOptions(p));
    }
    velcap::logLine(velcap::LogLevel::Debug, velcap::Category::Capture, "capture->04");
    return result;
}

Status cropToPage(const char* path, cv::Mat frame, const int* outline, const CaptureParams& p) {
    // A copy of the outline: a second capture without a new outline crops the same page.
    int corners[8];
    std::memcpy(corners, outline, sizeof(corners));

    // Margins that bring every corner onto the canvas.
    int left = 0, right = 0, top = 0, bottom = 0;
    for (int i = 0; i < 4; ++i) left = std::max(left, -corners[2 * i]), top = std::max(top, -corners[2 * i + 1]);
    for (int i = 0; i < 4; ++i) {
        corners[2 * i] += left;
        corners[2 * i + 1] += top;
        if (corners[2 * i] > frame.cols) right = std::max(right, corners[2 * i] - frame.cols);
        if (corners[2 * i + 1] > frame.rows) bottom = std::max(bottom, corners[2 * i + 1] - frame.rows);
    }
    velcap::logDebug(velcap::Category::Capture, "AA->img.cols,img.rows: %d,%d\r\n", frame.cols, frame.rows);
    const velcap::PageCrop crop = velcap::pageCrop(corners);
    const float angle = crop.angle;
    int CutImgStartX = crop.startX, CutImgStartY = crop.startY, CutImgW = crop.width, CutImgH = crop.height;
    const int CutLastW = crop.pageWidth, CutLastH = crop.pageHeight;

    cv::Mat canvas = frame;
    if (left || right || top || bottom)
        cv::copyMakeBorder(frame, canvas, top, bottom, left, right, cv::BORDER_CONSTANT, cv::Scalar(0, 0, 0, 0));

    CutImgW += 4;
    CutImgH += 4;
    if (CutImgStartX + CutImgW >= canvas.cols) CutImgW = canvas.cols - CutImgStartX;
    if (CutImgStartY + CutImgH >= canvas.rows) CutImgH = canvas.rows - CutImgStartY;
    const cv::Mat deskewed = velcap::rotated(canvas(cv::Rect(CutImgStartX, CutImgStartY, CutImgW, CutImgH)), angle);

    // The page centred on the deskewed picture: offsets from the exact sides,
    // sizes from the sides rounded down to a multiple of 4, plus 4.
    const int w = deskewed.cols, h = deskewed.rows;
    const int cx = (w - CutLastW) / 2, cy = (h - CutLastH) / 2;
    int cw = CutLastW / 4 * 4 + 4, ch = CutLastH / 4 * 4 + 4;
    if (cx + cw >= w) cw = w - cx;
    if (cy + ch >= h) ch = h - cy;
    velcap::logDebug(velcap::Category::Capture, "BB->img.cols,img.rows: %d,%d\r\n", w, h);
    velcap::logDebug(velcap::Category::Capture, "cx,cy,cw,ch: %d,%d,%d,%d\r\n", cx, cy, cw, ch);

    // The frame round the page comes from the deskewed picture where it reaches, black beyond.
    cv::Mat page;
    cv::copyMakeBorder(deskewed(cv::Rect(cx, cy, cw, ch)), page, kPageFrame, kPageFrame, kPageFrame, kPageFrame,
                       cv::BORDER_CONSTANT, cv::Scalar(0, 0, 0, 0));
    const cv::Size size(page.cols / 4 * 4, page.rows / 4 * 4);
    cv::Mat out = page;
    if (size != page.size()) cv::resize(page, out, size, 1.0, 0.0, cv::INTER_LINEAR);

    return cleanAndSave(path, out, p);
}

// Cut types 2 and 3: the page's quadrilateral warped to an upright
// rectangle (2), or the box round it with the page's frame, as it lies (3).
Status cropToQuad(const char* path, const cv::Mat& frame, bool straighten, const velcap::PageState& page,
                  const CaptureParams& p) {
    if (!page.quadFound) {
        velcap::logWarning(velcap::Category::Capture, "capture: no page found yet; %s gets the whole frame\n", path);
        return wholeFrame(path, frame, p);
    }
    if (straighten) return cleanAndSave(path, velcap::straightenedPage(frame, page.quad), p);
    cv::Rect box = cv::boundingRect(std::vector<cv::Point2f>(page.quad.begin(), page.quad.end()));
    box.x -= kPageFrame, box.y -= kPageFrame, box.width += 2 * kPageFrame, box.height += 2 * kPageFrame;
    box &= cv::Rect(0, 0, frame.cols, frame.rows);
    if (box.width < 4 || box.height < 4) return wholeFrame(path, frame, p);
    return cleanAndSave(path, frame(box), p);
}

// Corners within a frame's size of the frame: an outline found on a frame of
// this camera, not values that would make margins of absurd size.
bool outlineNearFrame(const cv::Mat& frame, const int* outline) {
    for (int i = 0; i < 4; ++i) {
        const int x = outline[2 * i], y = outline[2 * i + 1];
        if (x < -frame.cols || x > 2 * frame.cols || y < -frame.rows || y > 2 * frame.rows) return false;
    }
    return true;
}

} // namespace

namespace velcap {

Status captureFrame(const char* path, const CaptureParams& p, const PageState& page, const cv::Mat& frame) {
    if (!path || frame.empty()) {
        velcap::logWarning(velcap::Category::Capture, "capture: no path or no frame\n");
        return Status::NotWritten;
    }
    velcap::logDebug(velcap::Category::Capture, "capture->path:%s\n", path);
    try {
        if (p.cutType == 2 || p.cutType == 3) return cropToQuad(path, frame, p.cutType == 2, page, p);
        if (p.cutType != 1) return wholeFrame(path, frame, p);
        if (!page.outlineFound) {
            velcap::logWarning(velcap::Category::Capture,
                               "capture: no page outline found yet; %s gets the whole frame\n", path);
            return wholeFrame(path, frame, p);
        }
        if (!outlineNearFrame(frame, page.outline)) {
            velcap::logWarning(velcap::Category::Capture,
                               "capture: the page outline lies far outside the frame; %s gets the whole frame\n", path);
            return wholeFrame(path, frame, p);
        }
        return cropToPage(path, frame, page.outline, p);
    } catch (const std::exception& e) {
        // On the stream thread: this capture fails, the stream goes on.
        velcap::logError(velcap::Category::Capture, "capture: %s failed: %s\n", path, e.what());
        return Status::NotWritten;
    }
}

} // namespace velcap
