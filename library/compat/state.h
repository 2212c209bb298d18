// The flat interface's library-wide state. Every variable is defined once, in
// state.cpp. The flat interface's camera is a session of the core (flat.h);
// these variables mirror it as the interface specifies them: set when it
// opens and closes, and by its stream thread's hooks.
//
// Two threads use them: the host's thread, which calls the exported
// functions, and the stream thread of the open camera. Variables that both
// touch while a camera streams are atomics; the rest are written only while
// no stream thread runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <csetjmp>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <hpdf.h>
#include <linux/videodev2.h>
#include <opencv2/core.hpp>

#include "../pipeline/capture.h"
#include "../velcap.h"

// Variables of library types would carry an ABI tag in their symbol; the
// library-wide variables keep their bare names.
#define VELCAP_PLAIN(name) __asm__(#name)

// Device list and open camera. Written by the host's thread.
extern VELCAP_EXPORT std::string devices[10] VELCAP_PLAIN(devices);
extern VELCAP_EXPORT int deviceCount;
// Read by the stream thread; written only while it does not run.
extern VELCAP_EXPORT int cam_fd;
extern VELCAP_EXPORT int buffer_count;
extern VELCAP_EXPORT void** video_buffer_ptr;
extern VELCAP_EXPORT char pix_format[64];
extern VELCAP_EXPORT int nWidth;
extern VELCAP_EXPORT int nHeight;
extern VELCAP_EXPORT int nSize;
extern VELCAP_EXPORT int CameraFormat;
// Written by openCamera, read by captures on the stream thread.
extern VELCAP_EXPORT std::atomic<bool> isInsert1000M;
using velcap::kInterpolatedHeight;
using velcap::kInterpolatedWidth;
// The stream thread's run flag: set by openCamera, cleared by closeCamera.
extern VELCAP_EXPORT std::atomic<bool> bKeep;

// Frame images, R, G, B. Only the stream thread touches them while it runs.
extern VELCAP_EXPORT cv::Mat srcimage;
extern VELCAP_EXPORT cv::Mat roimage;
extern VELCAP_EXPORT cv::Mat zoomimage;

// The control request records of the video controls (host's thread only):
// each call leaves its control identifier in them.
extern VELCAP_EXPORT v4l2_queryctrl qctrl;
extern VELCAP_EXPORT v4l2_control ctrl;

// Requests: the host sets the flag after the data, the stream thread clears it.
extern VELCAP_EXPORT std::atomic<bool> isShootPhoto;
extern VELCAP_EXPORT char imgSavePath[255];
extern VELCAP_EXPORT std::atomic<int> IsRecogBarQr;
extern VELCAP_EXPORT std::string BarQrContent VELCAP_PLAIN(BarQrContent);

// Frame callbacks: registered by the host, called by the stream thread.
extern VELCAP_EXPORT std::atomic<VelcapFrameCallback> pGetVideoStream;
extern VELCAP_EXPORT std::atomic<VelcapWebFrameCallback> pGetVideoWebStream;

// Capture and preview settings: written by the host at any time, read by the stream thread.
extern VELCAP_EXPORT std::atomic<int> cutType;
extern VELCAP_EXPORT std::atomic<int> colorMode;
extern VELCAP_EXPORT std::atomic<int> fileFormat;
extern VELCAP_EXPORT std::atomic<int> jpgQuality;
extern VELCAP_EXPORT std::atomic<int> isDelBlackedge;
extern VELCAP_EXPORT std::atomic<int> isDelBcakColor;
extern VELCAP_EXPORT std::atomic<int> RotateAngle;

// Supported-device table: nine (vendor, product) pairs in listing order.
extern VELCAP_EXPORT const char* gpyVendor[9];
extern VELCAP_EXPORT const char* gpyProduct[9];

// Format and resolution lists of the camera enumerated last.
extern VELCAP_EXPORT std::list<int> formatList VELCAP_PLAIN(formatList);
extern VELCAP_EXPORT std::list<int> yuvWidthList VELCAP_PLAIN(yuvWidthList);
extern VELCAP_EXPORT std::list<int> yuvHeightList VELCAP_PLAIN(yuvHeightList);
extern VELCAP_EXPORT std::list<int> mjpegWidthList VELCAP_PLAIN(mjpegWidthList);
extern VELCAP_EXPORT std::list<int> mjpegHeightList VELCAP_PLAIN(mjpegHeightList);
extern VELCAP_EXPORT std::list<int> otherfmtWidthList VELCAP_PLAIN(otherfmtWidthList);
extern VELCAP_EXPORT std::list<int> otherfmtHeightList VELCAP_PLAIN(otherfmtHeightList);

// Embedded preview: the quarter turns of the viewport make the stream thread drop frames.
extern VELCAP_EXPORT std::atomic<int> RotateFlag;
// The embedded preview's picture buffer; see velcap::viewport() for who may touch it.
extern VELCAP_EXPORT unsigned char* WEB_BUF;
// The viewport geometry: written by the host's thread under velcap::viewport().mutex,
// read by the stream thread under it, once per frame.
extern VELCAP_EXPORT std::atomic<int> FormWidth;
extern VELCAP_EXPORT std::atomic<int> FormHeight;
extern VELCAP_EXPORT std::atomic<int> FormStartX;
extern VELCAP_EXPORT std::atomic<int> FormStartY;
extern VELCAP_EXPORT std::atomic<int> ShowWidth;
extern VELCAP_EXPORT std::atomic<int> ShowHeight;
extern VELCAP_EXPORT std::atomic<int> ZoomWidth;
extern VELCAP_EXPORT std::atomic<int> ZoomHeight;
extern VELCAP_EXPORT std::atomic<int> ZoomStartX;
extern VELCAP_EXPORT std::atomic<int> ZoomStartY;
extern VELCAP_EXPORT std::atomic<int> VideoOffsetX;
extern VELCAP_EXPORT std::atomic<int> VideoOffsetY;
extern VELCAP_EXPORT std::atomic<double> pZoomScale;
extern VELCAP_EXPORT std::atomic<double> pBestScale;

// The PDF document under construction (pdf_start to pdf_end), its output
// path, and the queues of images for CombineToPDF and MergeImages. Used by
// one host thread at a time; a capture saved as PDF uses a document of its own.
extern VELCAP_EXPORT HPDF_Doc pdf;
extern VELCAP_EXPORT std::string outPdfPath VELCAP_PLAIN(outPdfPath);
extern VELCAP_EXPORT jmp_buf env;
extern VELCAP_EXPORT std::list<std::string> pdf_filelist VELCAP_PLAIN(pdf_filelist);
extern VELCAP_EXPORT std::list<std::string> img_filelist VELCAP_PLAIN(img_filelist);

// The page outline of the last frame on which a page was found (stream thread
// only): x0, y0 ... x3, y3 in its first eight entries, and the crop geometry
// that GetAngle derives from them.
extern VELCAP_EXPORT int CutPoint[40];
extern VELCAP_EXPORT int CutImgStartX;
extern VELCAP_EXPORT int CutImgStartY;
extern VELCAP_EXPORT int CutImgW;
extern VELCAP_EXPORT int CutImgH;
extern VELCAP_EXPORT int CutLastW;
extern VELCAP_EXPORT int CutLastH;
extern VELCAP_EXPORT std::list<int> areaList VELCAP_PLAIN(areaList);
extern VELCAP_EXPORT std::list<std::vector<cv::Point>> cvSeqList VELCAP_PLAIN(cvSeqList);

// The MJPEG decoder record (decode/mjpeg_av.cpp), or null.
extern VELCAP_EXPORT void* pdecode;

namespace velcap {

// Whether CutPoint holds an outline found since the camera was opened: set
// with CutPoint, cleared by openCamera.
extern std::atomic<bool> pageOutlineFound;
// SetOcrLanguages' languages; "" when off.
std::string flatOcrLanguages();
// Whether SetPdfA asked for PDF/A-1b documents.
bool flatPdfA();

// The embedded preview's lock and buffers. The host's thread changes the
// geometry and WEB_BUF under mutex; the stream thread renders into WEB_BUF
// under it and calls the web frame callback after it, so a buffer replaced by
// a larger form is kept in retired until the stream thread's next callback has
// returned, when no one reads it any more.
struct Viewport {
    std::mutex mutex;
    size_t bufferBytes = 0; // what WEB_BUF holds
    std::vector<unsigned char*> retired;
    int basisWidth = 0, basisHeight = 0; // the frame size of the last best fit
};
Viewport& viewport();

} // namespace velcap
