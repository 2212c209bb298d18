// The capture pipeline: one frame (R, G, B) to one saved file, whole or
// cropped to the page found on the preview, cleaned as the settings ask.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "../imaging/page_quad.h"
#include "../log.h"
#include "../state.h"
#include "capture.h"
#include "picture_file.h"

using velcap::SaveResult;

namespace {

constexpr int kPageFrame = 8; // pixels of surroundings kept around a cropped page

void clean(const cv::Mat& bgr) {
    if (isDelBlackedge == 1) FN_DeleteBlackEdge(bgr);
    if (isDelBcakColor == 1) FN_DeleteBackcolor(bgr);
}

// The last steps of every path: B, G, R order, cleaned, written.
SaveResult cleanAndSave(const char* path, const cv::Mat& rgb) {
    cv::Mat result;
    cv::cvtColor(rgb, result, cv::COLOR_RGB2BGR);
    clean(result);
    return velcap::saveImage(path, result);
}

SaveResult wholeFrame(const char* path, const cv::Mat& frame) {
    velcap::sayLine("capture->01");
    // One copy of the frame, made by the colour swap itself.
    cv::Mat work;
    cv::cvtColor(frame, work, cv::COLOR_RGB2BGR);
    velcap::sayLine("capture->02");
    clean(work);
    SaveResult result;
    if (isInsert1000M) {
        // A quarter-turned frame stands upright; the frame itself tells, so a
        // turn set while this frame was made cannot squeeze it.
        const bool upright = frame.rows > frame.cols;
        const cv::Size size = upright ? cv::Size(kInterpolatedHeight, kInterpolatedWidth)
                                      : cv::Size(kInterpolatedWidth, kInterpolatedHeight);
        cv::Mat out(size, work.type());
        cv::resize(work, out, size, 1.0, 0.0, cv::INTER_LINEAR);
        result = velcap::saveImage(path, out);
    } else {
        velcap::sayLine("capture->03");
        result = velcap::saveImage(path, work);
    }
    velcap::sayLine("capture->04");
    return result;
}

SaveResult cropToPage(const char* path, cv::Mat frame) {
    // A copy of the outline: a second capture without a new outline crops the same page.
    int corners[8];
    std::memcpy(corners, CutPoint, sizeof(corners));

    // Margins that bring every corner onto the canvas.
    int left = 0, right = 0, top = 0, bottom = 0;
    for (int i = 0; i < 4; ++i) left = std::max(left, -corners[2 * i]), top = std::max(top, -corners[2 * i + 1]);
    for (int i = 0; i < 4; ++i) {
        corners[2 * i] += left;
        corners[2 * i + 1] += top;
        if (corners[2 * i] > frame.cols) right = std::max(right, corners[2 * i] - frame.cols);
        if (corners[2 * i + 1] > frame.rows) bottom = std::max(bottom, corners[2 * i + 1] - frame.rows);
    }
    velcap::say("AA->img.cols,img.rows: %d,%d\r\n", frame.cols, frame.rows);
    const float angle = GetAngle(corners);

    cv::Mat canvas = frame;
    if (left || right || top || bottom)
        cv::copyMakeBorder(frame, canvas, top, bottom, left, right, cv::BORDER_CONSTANT, cv::Scalar(0, 0, 0, 0));

    CutImgW += 4;
    CutImgH += 4;
    if (CutImgStartX + CutImgW >= canvas.cols) CutImgW = canvas.cols - CutImgStartX;
    if (CutImgStartY + CutImgH >= canvas.rows) CutImgH = canvas.rows - CutImgStartY;
    const cv::Mat deskewed = rotateImage(canvas(cv::Rect(CutImgStartX, CutImgStartY, CutImgW, CutImgH)), angle);

    // The page centred on the deskewed picture: offsets from the exact sides,
    // sizes from the sides rounded down to a multiple of 4, plus 4.
    const int w = deskewed.cols, h = deskewed.rows;
    const int cx = (w - CutLastW) / 2, cy = (h - CutLastH) / 2;
    int cw = CutLastW / 4 * 4 + 4, ch = CutLastH / 4 * 4 + 4;
    if (cx + cw >= w) cw = w - cx;
    if (cy + ch >= h) ch = h - cy;
    velcap::say("BB->img.cols,img.rows: %d,%d\r\n", w, h);
    velcap::say("cx,cy,cw,ch: %d,%d,%d,%d\r\n", cx, cy, cw, ch);

    // The frame round the page comes from the deskewed picture where it reaches, black beyond.
    cv::Mat page;
    cv::copyMakeBorder(deskewed(cv::Rect(cx, cy, cw, ch)), page, kPageFrame, kPageFrame, kPageFrame, kPageFrame,
                       cv::BORDER_CONSTANT, cv::Scalar(0, 0, 0, 0));
    const cv::Size size(page.cols / 4 * 4, page.rows / 4 * 4);
    cv::Mat out = page;
    if (size != page.size()) cv::resize(page, out, size, 1.0, 0.0, cv::INTER_LINEAR);

    return cleanAndSave(path, out);
}

// Cut types 2 and 3: the page's quadrilateral warped to an upright
// rectangle (2), or the box round it with the page's frame, as it lies (3).
SaveResult cropToQuad(const char* path, const cv::Mat& frame, bool straighten) {
    const velcap::PageQuad& quad = velcap::pageQuad();
    if (!quad.found) {
        velcap::say("capture: no page found yet; %s gets the whole frame\n", path);
        return wholeFrame(path, frame);
    }
    if (straighten) return cleanAndSave(path, velcap::straightenedPage(frame, quad.corners));
    cv::Rect box = cv::boundingRect(std::vector<cv::Point2f>(quad.corners.begin(), quad.corners.end()));
    box.x -= kPageFrame, box.y -= kPageFrame, box.width += 2 * kPageFrame, box.height += 2 * kPageFrame;
    box &= cv::Rect(0, 0, frame.cols, frame.rows);
    if (box.width < 4 || box.height < 4) return wholeFrame(path, frame);
    return cleanAndSave(path, frame(box));
}

// Corners within a frame's size of the frame: an outline found on a frame of
// this camera, not values that would make margins of absurd size.
bool outlineNearFrame(const cv::Mat& frame) {
    for (int i = 0; i < 4; ++i) {
        const int x = CutPoint[2 * i], y = CutPoint[2 * i + 1];
        if (x < -frame.cols || x > 2 * frame.cols || y < -frame.rows || y > 2 * frame.rows) return false;
    }
    return true;
}

} // namespace

namespace velcap {

SaveResult captureFrame(const char* path, int type, const cv::Mat& frame) {
    if (!path || frame.empty()) {
        velcap::say("capture: no path or no frame\n");
        return SaveResult::failed;
    }
    velcap::say("capture->path:%s\n", path);
    try {
        if (type == 2 || type == 3) return cropToQuad(path, frame, type == 2);
        if (type != 1) return wholeFrame(path, frame);
        if (!velcap::pageOutlineFound) {
            velcap::say("capture: no page outline found yet; %s gets the whole frame\n", path);
            return wholeFrame(path, frame);
        }
        if (!outlineNearFrame(frame)) {
            velcap::say("capture: the page outline lies far outside the frame; %s gets the whole frame\n", path);
            return wholeFrame(path, frame);
        }
        return cropToPage(path, frame);
    } catch (const std::exception& e) {
        // On the stream thread: this capture fails, the stream goes on.
        velcap::say("capture: %s failed: %s\n", path, e.what());
        return SaveResult::failed;
    }
}

} // namespace velcap

int capture(char* path, int, int type, cv::Mat frame) {
    return velcap::captureFrame(path, type, frame) == SaveResult::failed ? -1 : 0;
}
