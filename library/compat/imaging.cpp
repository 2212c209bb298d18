// The flat interface's building blocks over the library-wide variables: the
// page outline and its crop geometry, the quarter turns into roimage, and
// saving with the colour mode and quality the host set.
#include <cstring>

#include "../guard.h"
#include "../imaging/page_edge.h"
#include "../imaging/rotate.h"
#include "../output/capture.h"
#include "state.h"

int DrawingEdge(unsigned char* buffer, int width, int height, int mode) {
    velcap::PageWorkspace work;
    const int result =
        velcap::guarded("DrawingEdge", -1, [&] { return velcap::findPageOutline(buffer, width, height, mode, work); });
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

int SaveImage(char* path, cv::Mat img) {
    return velcap::saveImage(path, img, {colorMode.load(), jpgQuality.load(), velcap::flatOcrLanguages()}) ==
                   velcap::SaveResult::failed
               ? -1
               : 0;
}

int TempImgToPdf(char* path, cv::Mat img) {
    return velcap::pdfCapture(path, img, jpgQuality.load());
}

int capture(char* path, int, int type, cv::Mat frame) {
    velcap::CaptureParams params;
    params.cutType = type;
    params.colorMode = colorMode;
    params.jpegQuality = jpgQuality;
    params.removeBlackEdge = isDelBlackedge == 1;
    params.whiten = isDelBcakColor == 1;
    params.interpolate = isInsert1000M;
    velcap::PageState page;
    page.outlineFound = velcap::pageOutlineFound;
    std::memcpy(page.outline, CutPoint, sizeof(page.outline));
    return velcap::captureFrame(path, params, page, frame) == velcap::SaveResult::failed ? -1 : 0;
}
