// The flat interface's building blocks over the library-wide variables: the
// page outline and its crop geometry, the quarter turns into roimage, the
// imaging stages in place and on files, and saving with the colour mode and
// quality the host set.
#include <cmath>
#include <cstring>

#include <opencv2/imgcodecs.hpp>

#include "../files/picture_file.h"
#include "../guard.h"
#include "../imaging/black_edge.h"
#include "../imaging/page_edge.h"
#include "../imaging/page_quad.h"
#include "../imaging/rotate.h"
#include "../log.h"
#include "../pipeline/capture.h"
#include "flat.h"
#include "state.h"

int DrawingEdge(unsigned char* buffer, int width, int height, int mode) {
    velcap::PageWorkspace work;
    const int result = velcap::guarded("DrawingEdge", -1, [&] {
        return velcap::findPageOutline(buffer, width, height, mode, work) ? 0 : work.anyOutline ? -2 : -1;
    });
    if (result == -2 || result == 0) {
        areaList.swap(work.areaList);
        cvSeqList.swap(work.contourList);
    }
    if (result == 0) {
        std::memcpy(CutPoint, work.corners, sizeof(work.corners));
        velcap::pageOutlineFound = true;
    }
    return result;
}

float GetAngle(int* corners) {
    if (!corners) return 0;
    const velcap::PageCrop crop = velcap::pageCrop(corners);
    CutImgStartX = crop.startX;
    CutImgStartY = crop.startY;
    CutImgW = crop.width;
    CutImgH = crop.height;
    CutLastW = crop.pageWidth;
    CutLastH = crop.pageHeight;
    return crop.angle;
}

void CamdataRote90(cv::Mat src) {
    velcap::guarded("CamdataRote90", [&] {
        if (!roimage.empty()) velcap::quarterTurn(src, roimage, true);
    });
}

void CamdataRote270(cv::Mat src) {
    velcap::guarded("CamdataRote270", [&] {
        if (!roimage.empty()) velcap::quarterTurn(src, roimage, false);
    });
}

cv::Mat CamdataRote180(cv::Mat src) {
    // Both flips at once: one pass over the frame.
    velcap::guarded("CamdataRote180", [&] { cv::flip(src, src, -1); });
    return src;
}

cv::Mat rotateImage(cv::Mat src, float angle) {
    if (src.empty() || !std::isfinite(angle)) {
        velcap::logWarning(velcap::Category::Imaging, "rotateImage: nothing to turn (%dx%d, %g degrees)\n", src.cols,
                           src.rows, double(angle));
        return {};
    }
    return velcap::guarded("rotateImage", cv::Mat(), [&] { return velcap::rotated(src, angle); });
}

int DetectPage(const unsigned char* rgb, int width, int height, int* corners) {
    if (!rgb || !corners || width < 64 || height < 64) return -1;
    return velcap::guarded("DetectPage", -3, [&] {
        const cv::Mat frame(height, width, CV_8UC3, const_cast<unsigned char*>(rgb));
        velcap::Quad quad;
        if (!velcap::findPageQuad(frame, quad)) return -2;
        for (int k = 0; k < 4; ++k) {
            corners[2 * k] = int(std::lround(quad[size_t(k)].x));
            corners[2 * k + 1] = int(std::lround(quad[size_t(k)].y));
        }
        return 0;
    });
}

void GammaCorrection(cv::Mat& src, cv::Mat& dst, float gamma) {
    // Always a new picture: dst never shares pixels with src or with what it held.
    velcap::guarded("GammaCorrection", [&] { dst = velcap::gammaCorrected(src, gamma); });
}

void FN_DeleteBlackEdge(cv::Mat img) {
    velcap::guarded("FN_DeleteBlackEdge", [&] {
        if (!velcap::isColourImage(img, "FN_DeleteBlackEdge")) return;
        img.setTo(cv::Scalar(255, 255, 255), velcap::blackEdgeMargin(img));
    });
}

void FN_DeleteBackcolor(cv::Mat img) {
    velcap::guarded("FN_DeleteBackcolor", [&] { velcap::whitenInPlace(img, "FN_DeleteBackcolor"); });
}

namespace {

// Reads the picture at path, whitens its margin as found by pageTest, and
// writes it back in its own format; the file is replaced only by a complete one.
void rewriteWithoutMargin(const char* path, const char* caller, cv::Mat (*pageTest)(const cv::Mat&)) {
    velcap::guarded(caller, [&] {
        cv::Mat image;
        if (velcap::readPicture(path, cv::IMREAD_COLOR, caller, image) != velcap::Status::Ok) {
            velcap::logError(velcap::Category::Imaging, "%s: cannot read %s; left alone\n", caller,
                             path ? path : "(null)");
            return;
        }
        image.setTo(cv::Scalar(255, 255, 255), velcap::marginMask(pageTest(image), image, false));
        if (velcap::writePicture(path, image, {}, caller) != velcap::Status::Ok)
            velcap::logError(velcap::Category::Imaging, "%s: cannot write %s\n", caller, path);
    });
}

} // namespace

void FN_DeleteBlackEdgeEx(char* path) {
    rewriteWithoutMargin(path, "FN_DeleteBlackEdgeEx", velcap::recolouredPageImage);
}

void FN_DeleteBlackEdgeEx2(char* path) {
    rewriteWithoutMargin(path, "FN_DeleteBlackEdgeEx2", velcap::plainPageImage);
}

IplImage* FillBlackEdgeToWhite(IplImage* img) {
    return velcap::guarded("FillBlackEdgeToWhite", static_cast<IplImage*>(nullptr), [&]() -> IplImage* {
        if (!img) return nullptr;
        const cv::Mat image = cv::cvarrToMat(img);
        if (!velcap::isColourImage(image, "FillBlackEdgeToWhite")) return nullptr;
        const cv::Mat mask = velcap::marginMask(velcap::gammaPageImage(image), image, true);
        IplImage* out = cvCreateImage(cvSize(mask.cols, mask.rows), IPL_DEPTH_8U, 1);
        cv::Mat view = cv::cvarrToMat(out);
        mask.copyTo(view);
        return out;
    });
}

int SaveImage(char* path, cv::Mat img) {
    return written(velcap::saveImage(path, img,
                                     {colorMode.load(), jpgQuality.load(), velcap::flatOcrLanguages(),
                                      velcap::flatSession().pdfInMemory(), velcap::flatPdfA()}));
}

int TempImgToPdf(char* path, cv::Mat img) {
    return written(
        velcap::pdfCapture(path, img, jpgQuality.load(), {}, velcap::flatSession().pdfInMemory(), velcap::flatPdfA()));
}

int capture(char* path, int, int type, cv::Mat frame) {
    velcap::CaptureParams params;
    params.cutType = type;
    params.colorMode = colorMode;
    params.jpegQuality = jpgQuality;
    params.removeBlackEdge = isDelBlackedge == 1;
    params.whiten = isDelBcakColor == 1;
    params.interpolate = isInsert1000M;
    params.pdfInMemory = velcap::flatSession().pdfInMemory();
    velcap::PageState page;
    page.outlineFound = velcap::pageOutlineFound;
    std::memcpy(page.outline, CutPoint, sizeof(page.outline));
    return written(velcap::captureFrame(path, params, page, frame));
}
