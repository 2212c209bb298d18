// velcap: driver library for USB document cameras.
//
// A flat interface over library-wide state: one camera is open at a time, and
// every function works on that camera. Plain functions have C linkage; the
// building blocks that take C++ types keep C++ linkage, so their symbols carry
// their parameter types. Results are 0 for success and negative codes for
// failures. Strings handed out point into library storage.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>

#include "velcap/export.h"
#include "velcap/types.h"

// Called on the stream thread once per processed frame: rows top to bottom,
// width * 3 bytes each, bytes R, G, B. The pixels are valid only during the call.
typedef void (*VelcapFrameCallback)(unsigned char* pixels, int width, int height);
// Called on the stream thread with the embedded-preview picture.
typedef void (*VelcapWebFrameCallback)(unsigned char* pixels, int showWidth, int showHeight, int formStartX,
                                       int formStartY);

// Called on the stream thread with the path of each file that auto-capture wrote.
typedef void (*VelcapAutoCaptureCallback)(const char* path);
// path: the file that could not be written; why: the reason, in words.
typedef void (*VelcapAutoCaptureFailureCallback)(const char* path, const char* why);

// One raw frame as a host holds it.
struct VideoBuf {
    long long sequence;  // the driver's frame number
    long long timestamp; // when the frame was taken, in microseconds
    int length;          // bytes of the frame
    unsigned char* start;
};

// libjpeg's decompressor types, as jpeglib.h declares them.
typedef struct jpeg_decompress_struct* j_decompress_ptr;
typedef struct jpeg_common_struct* j_common_ptr;

extern "C" {

// Where the library's own lines go: to standard output, or to this sink (null
// restores standard output). The sink gets each piece of text as the library
// writes it, with its line end where it has one, on whichever thread wrote it.
typedef void (*VelcapLogSink)(const char* text);
VELCAP_EXPORT void SetLogSink(VelcapLogSink sink);

// Every file the library writes goes to a hidden temporary name beside it and
// is renamed into place only when complete. removePartialFiles removes the
// temporaries of writes still in progress; it is async-signal-safe, for a
// host's handler of SIGINT or SIGTERM that then ends the process.
VELCAP_EXPORT void removePartialFiles();
// The size a JPEG, PNG, BMP or TIFF file declares in its header, read without
// decoding the picture: 0; -1 not a readable regular file; -2 not such a
// picture, or a damaged header.
VELCAP_EXPORT int GetPictureFileSize(const char* path, int* width, int* height);
// Why a file could not be written at path, in words for the user: its folder
// is missing or not writable, or the disk is full. Valid until the calling
// thread's next call.
VELCAP_EXPORT const char* getWriteFailureReason(const char* path);
// 1: a capture to a ".pdf" name encodes its JPEG in memory and leaves no
// temporary picture behind. 0 (the default): through a JPEG in the home
// directory, which stays there.
VELCAP_EXPORT void SetPdfCaptureInMemory(int on);

// Settings. None checks its argument; a switch counts as on only when it is 1.
// Cut types: 0 the whole frame; 1 the page outline, cropped as a turned
// rectangle; 2 the page's four corners, its perspective straightened; 3 the
// box round those four corners, cut out as it lies (not straightened).
VELCAP_EXPORT void SetCutType(int type);
VELCAP_EXPORT void SetColorMode(int mode);
VELCAP_EXPORT void SetFileFormat(int format);
VELCAP_EXPORT int GetFileFormat();
VELCAP_EXPORT void SetJpgQuality(int quality);
VELCAP_EXPORT void SetDelBlackedge(int on);
VELCAP_EXPORT void SetDelBackColor(int on);
// 0 none, 1 quarter turn clockwise, 2 half turn, 3 quarter turn counter-clockwise.
VELCAP_EXPORT int SetRotate(int angle);
// The first registered callback stays for the life of the library.
VELCAP_EXPORT int SetDataCallback(VelcapFrameCallback callback);
// Off (0, 0) by default: the data callback gets whole frames. With a size, it
// gets frames reduced by 2, 4 or 8 as far as they still cover width x height,
// and a frame that no request, crop, auto-capture or web preview needs whole
// is decoded at that size; srcimage then keeps the last whole frame.
// Captures and recognition are served from whole frames as always.
VELCAP_EXPORT void SetPreviewSize(int width, int height);

// Discovery. Camera indices are positions in the supported-device table order.
VELCAP_EXPORT int getDeviceCount();
// The card name after its first colon, or the whole card name; null for a bad index.
VELCAP_EXPORT const char* getCameraName(int index);
// The device node (/dev/videoN) of a camera found by getDeviceCount; null for a bad index.
VELCAP_EXPORT const char* getCameraNode(int index);
// Which cameras getDeviceCount lists. 0 (the default): one per model of the
// table. 1: every camera of the table, two of a model included, in table
// order and then by USB port. 2: those, then every other camera that
// streams MJPEG or YUYV, by port. At most 10 either way.
VELCAP_EXPORT void SetDeviceListing(int listing);

// Formats and resolutions. 0 selects MJPEG, anything else YUYV.
VELCAP_EXPORT void SetVideoFormat(int format);
// 0 (and nothing changed) when called on the stream thread.
VELCAP_EXPORT int getCameraResolutionCount(int camera);
VELCAP_EXPORT int getFormatResolutionCount(int ignored);
// getCameraResolution: 0 with the size; -2 no size in either list; -1 none in
// the selected format's list; -3 no size at that position (nothing written).
VELCAP_EXPORT int getCameraResolution(int position, int* width, int* height);

// Opening and streaming. openCamera returns 0 or -1 .. -13 (a failed open
// leaves nothing open), -14 when the stream thread cannot be started, -15
// when called on the stream thread (from a frame callback), -16 for a frame
// size whose bytes do not fit an int. closeCamera waits for the stream thread
// to leave before it releases anything. A process that exits while a camera
// streams stops the stream thread first.
VELCAP_EXPORT int openCamera(int camera, int width, int height);
VELCAP_EXPORT int closeCamera();

// PDF documents, one picture a page, the page as large in points as the
// picture in pixels. pdf_start, pdf_addPage (a .jpg, .jpeg, .png, .tif,
// .tiff or .bmp file, in any letter case) and pdf_end build one document;
// they return 0, or -1 when the document cannot be made, a page is refused,
// or the document cannot be written. A refused page or a PDF error abandons
// the document: pdf_end then returns -1, and any older file at its path stays.
VELCAP_EXPORT int pdf_start(const char* path);
VELCAP_EXPORT int pdf_addPage(const char* imagePath);
VELCAP_EXPORT int pdf_end();
// Video controls of the open camera: index 0 brightness, 1 contrast, 2
// saturation, 3 hue, 4 gain, 5 gamma (another index repeats the last control).
// GetVideoCtlParam: 0; -1 no camera or no such control; -2 value unreadable.
// SetVideoCtlParam: 0; -1 no camera or refused. SetVideoCtlDefaultParam: the
// default now set; -10001 no camera or no such control, -10002 unreadable,
// -10003 refused. ManualFocus toggles the zoom control between 0 and 1;
// ManualFocusEx switches autofocus off and on, so that the camera focuses once.
VELCAP_EXPORT int GetVideoCtlParam(int index, int* minimum, int* maximum, int* defaultValue, int* current);
VELCAP_EXPORT int SetVideoCtlParam(int index, int value);
VELCAP_EXPORT int SetVideoCtlDefaultParam(int index);
VELCAP_EXPORT int ManualFocus();
// The open camera's controls by the names v4l2-ctl gives them (brightness,
// contrast, saturation, hue, gain, gamma, sharpness, backlight_compensation,
// power_line_frequency, white_balance_automatic, white_balance_temperature,
// auto_exposure, exposure_time_absolute, focus_automatic_continuous (also
// focus_auto), focus_absolute, zoom_absolute, and any other it has).
// GetCameraControlName: the name of index 0, 1, ..., null past the last:
// every control the open camera has, or the usual ones while none is open.
// GetCameraControl: 0; -1 no camera, no such name or the camera lacks it;
// -2 unreadable. SetCameraControl: 0; -1 as above; -2 outside its range;
// -3 refused by the camera.
VELCAP_EXPORT const char* GetCameraControlName(int index);
VELCAP_EXPORT int GetCameraControl(const char* name, int* minimum, int* maximum, int* defaultValue, int* current);
VELCAP_EXPORT int SetCameraControl(const char* name, int value);
VELCAP_EXPORT int ManualFocusEx();

// Capture and recognition requests, served by the stream thread on its next
// frame while the caller waits. Neither may be called from a frame callback.
//
// captureImage writes the frame, processed as the settings ask, to path, in
// the format of its extension; an existing file of that name is deleted first.
//    0  the file is written and complete;
//   -1  no camera is open;
//   -2  the request was not served in time (about 4 s), and never will be;
//   -3  the stream had stopped (or stopped while waiting);
//   -4  the file could not be written;
//   -5  no path, or a path of 255 bytes or more;
//   -6  called on the stream thread.
// With cut type 1 the picture is cropped to the page outline of an earlier
// frame; before any outline has been found the whole frame is saved.
VELCAP_EXPORT int captureImage(const char* path);
// The text of the first code of the type (0 a bar code, 1 a QR code) on the
// next frame; "" when there is none, no camera is open, the request was not
// served in time (about 10 s) or it is called on the stream thread. Type -99
// asks nothing and returns the last text read. The text stays valid until the
// calling thread's next call.
VELCAP_EXPORT const char* RecogBarQrCode(int type);
// 1 when the stream of the open camera has found a page outline since
// openCamera (with cut type 1, captures are then cropped to it), else 0.
VELCAP_EXPORT int HasPageOutline();

// Off by default. SetAutoReconnect(1): a camera unplugged while it streams is
// waited for and opened again by itself when it comes back (the same vendor,
// product and serial, else the same USB port), at the same size and format,
// with the control values the host set; frames then reach the same callbacks.
// While it is away, captureImage returns -1, RecogBarQrCode "", and the frame
// callbacks get nothing.
VELCAP_EXPORT void SetAutoReconnect(int on);

// Off by default. SetDeviceProfiles(1): the control values the host sets
// (SetCameraControl, SetVideoCtlParam, SetVideoCtlDefaultParam) are kept per
// camera (vendor, product and serial, else USB port) in
// $XDG_CONFIG_HOME/velcap/devices/ and applied whenever openCamera opens it.
VELCAP_EXPORT void SetDeviceProfiles(int on);

// Off by default. SetOcrLanguages("chi_sim+eng") reads the text of each PDF
// page with Tesseract and lays it, invisible, under the page's picture, so
// that the PDF can be searched and its text copied: captureImage and
// SaveImage to .pdf, TempImgToPdf, pdf_addPage and CombineToPDF. The picture
// is the same as without. Null or "" turns it off. 0, or -1 (and off) when a
// language has no Tesseract model.
VELCAP_EXPORT int SetOcrLanguages(const char* languages);
// Off by default. SetPdfA(1): every PDF the library writes (captures,
// SaveImage, TempImgToPdf, pdf_start to pdf_end, CombineToPDF,
// MakeSearchablePdf) is PDF/A-1b, for archives: an sRGB output intent, XMP
// metadata, every font embedded, no transparency. SetPdfA(0) turns it off.
VELCAP_EXPORT void SetPdfA(int on);
// A searchable PDF of count picture files, a page each, its text read in
// the languages (null or "": no text): 0; -1 for a missing argument; -2 when
// a picture cannot be read or the document is not written.
VELCAP_EXPORT int MakeSearchablePdf(const char* const* pictures, int count, const char* pdfPath, const char* languages);
// The copy of an identity card that counters make: the card (85.6 x 54 mm)
// found on the photographs of its front and back (any desk, any angle), cut
// out straight, and both on one A4 page at true size, front above back,
// centred, at 300 dpi. outPath is .pdf, .jpg or .png. 0; -1 for a missing
// argument or another file type; -2 when a card is not found or the file
// is not written.
VELCAP_EXPORT int MakeIdCardCopy(const char* front, const char* back, const char* outPath);

// Called on a thread of the library when a supported camera is plugged in
// (added 1) or unplugged (added 0), with its video node. Null stops it.
typedef void (*VelcapDeviceCallback)(int added, const char* node);
VELCAP_EXPORT void SetDeviceCallback(VelcapDeviceCallback callback);

// Called on a thread of the library for each press of the open camera's own
// button: key 0 its capture key, 1 its focus key. A camera without a
// button, or one this user may not read, never calls it. Null stops it.
typedef void (*VelcapButtonCallback)(int key);
VELCAP_EXPORT void SetButtonCallback(VelcapButtonCallback callback);
// 1 when the open camera has a button that the library hears, else 0.
VELCAP_EXPORT int CameraHasButton();

// The page on an R, G, B frame of width x height as a quadrilateral, as cut
// type 2 finds it: 0 and the corners in corners[8] (x, y of the top-left,
// top-right, bottom-right and bottom-left corner, in frame pixels); -1 for a
// null argument or a frame smaller than 64 x 64; -2 when no page is found.
// It keeps nothing between calls and may be called from any thread.
VELCAP_EXPORT int DetectPage(const unsigned char* rgb, int width, int height, int* corners);

// Auto-capture: while on (1), the stream thread photographs each new page
// once it has lain still for about 0.7 s, with the pipeline and settings of
// captureImage, into the folder (the current folder when none is set), named
// by the local time ("yyyyMMddHHmmsszzz") with the extension of the file
// format code (0 jpg, 1 bmp, 2 png, 3 tif, 4 gif holding a JPEG, 5 pdf). A
// hand or a page in motion and an empty desk are never photographed; a page
// is photographed once however long it lies there. A page that could not be
// written (a full disk, a folder gone) is tried again about once a second
// while it lies still; the failure callback hears of its first failure.
// Both callbacks run on the stream thread.
VELCAP_EXPORT void SetAutoCapture(int on);
VELCAP_EXPORT void SetAutoCaptureFolder(const char* folder);
VELCAP_EXPORT void SetAutoCaptureCallback(VelcapAutoCaptureCallback callback);
VELCAP_EXPORT void SetAutoCaptureFailureCallback(VelcapAutoCaptureFailureCallback callback);

// Queues an existing image file for CombineToPDF: 0, or -1 when it does not exist.
VELCAP_EXPORT int AddImageFileToPDF(const char* path);
// One document of the queued files that still exist, in queue order: 0; -1
// when nothing is queued; -2 when the document was not written, also when a
// queued file that exists cannot become a page (the sources and any older
// file at pdfPath stay). With deleteSources, the files that became pages are deleted.
VELCAP_EXPORT int CombineToPDF(const char* pdfPath, bool deleteSources);
// Queues an existing image file for MergeImages: 0, or -1 when it does not exist.
VELCAP_EXPORT int AddImagePath(const char* path);
// Merges the first four queued images into one file written as SaveImage
// writes: 0; -1 with fewer than two queued; -2 when no file is at outPath.
// Arrangement, with images padded by white and never scaled, each in the
// top-left corner of its cell: two or three images side by side in a row
// (mode 0) or stacked in a column (any other mode); four in a 2 x 2 grid, in
// reading order. Images gone since they were queued are left out; one that
// exists but cannot be read fails the merge (-2, nothing written). With deleteSources, the
// images that went into the merged file are deleted; later queued ones stay.
VELCAP_EXPORT int MergeImages(const char* outPath, int mode, int reserved, bool deleteSources);

// One scan of an image file for a bar code (type 0) or a QR code (any other
// type). Null for an unreadable file or one without any code; the text stays
// valid until the next call.
VELCAP_EXPORT const char* RecogBarQrCodeFromFile(const char* path, int type);
// The enhanced recognition, off (0) by default. While on (1), both
// RecogBarQrCode's requests and RecogBarQrCodeFromFile go on where the usual
// recognition reads nothing: a plain scan of the grey picture, the chain of
// binarisations, then zxing-cpp, also on the picture with its contrast
// equalised and, up to about 4 MP, at twice its size. The first text of the
// asked kind is the result. Any other value is taken as 0.
VELCAP_EXPORT void SetRecogEnhanced(int on);

// The in-memory source of the JPEG decoders: a frame that ends early ends in
// an end-of-image marker, with libjpeg's end-of-file warning. An empty buffer
// is libjpeg's "empty input" error.
VELCAP_EXPORT void jpeg_mem_src_tj(j_decompress_ptr info, unsigned char* buffer, unsigned long size);
// The decoders' libjpeg error exit: prints libjpeg's message and returns to the decoder.
VELCAP_EXPORT void MyErrorExit(j_common_ptr info);

} // extern "C"

VELCAP_EXPORT int SetWebDataCallback(VelcapWebFrameCallback callback);

// The embedded preview: a picture for a host's form of a fixed size, made on
// the stream thread for every frame and handed to the web frame callback with
// its size and its place in the form. Call SetWebFormSize after openCamera; it
// fits the frame to the form (a size of 0 or less is refused and changes
// nothing). The Web_ operations return 0, or -1 without an open camera. Zoom
// steps are 4 %, from the best fit up to 600 %; panning stops at the form's
// edges; a quarter turn also turns the frame callback's frames and the
// captures, and the next two frames are dropped.
VELCAP_EXPORT void SetWebFormSize(int width, int height);
VELCAP_EXPORT void FuncSuitableSize(int formWidth, int formHeight);
VELCAP_EXPORT void FuncCalculateShowWH();
VELCAP_EXPORT void FuncDisplayCenter(int unused1, int unused2);
VELCAP_EXPORT int Web_SetMoveOffet(int dx, int dy);
VELCAP_EXPORT int Web_ZoomOut();
VELCAP_EXPORT int Web_ZoomIn();
VELCAP_EXPORT int Web_TrueSize();
VELCAP_EXPORT int Web_BestSize();
VELCAP_EXPORT int Web_RotateL();
VELCAP_EXPORT int Web_RotateR();
// The part of an R, G, B frame that the viewport shows, scaled bilinearly:
// VideoZoomToWeb to ShowWidth x ShowHeight pixels packed into output (which
// holds that many times 3 bytes), VideoZoomToWebEx to destination's own size.
VELCAP_EXPORT void VideoZoomToWeb(cv::Mat frame, unsigned char* output);
VELCAP_EXPORT void VideoZoomToWebEx(cv::Mat frame, cv::Mat destination);
// Waits ms milliseconds (less than 1000).
VELCAP_EXPORT void Sleep(int ms);
VELCAP_EXPORT int HttpUpFile(char* file, char* url);
// Every separator ends a piece, empty pieces included; no empty piece is added at the end.
VELCAP_EXPORT std::vector<std::string> split(std::string text, std::string separator);

VELCAP_EXPORT void setGrabSize(int width, int height);
// Takes one filled buffer from the driver into destination, which holds at
// least nSize bytes and at least the largest driver buffer.
// Returns 0 (length 0 when the frame had to be skipped: it did not fit, or
// the driver marked it incomplete), -1 or -100.
VELCAP_EXPORT int grabImage(unsigned char* destination, int* length);
// The stream thread's entry.
VELCAP_EXPORT void VideoStreamPro(void* unused);

// MJPEG through libavcodec; the decoder is prepared by openCamera.
VELCAP_EXPORT void av_decode_init();
VELCAP_EXPORT void av_decode_deinit();
VELCAP_EXPORT void do_excute_image(unsigned char* data, int length, int width, int height, cv::Mat& destination,
                                   cv::Mat& unused);
// One JPEG frame (any sampling, with or without its Huffman tables; grey
// pictures become grey R, G, B) into destination, which must be an 8-bit
// 3-channel continuous image of at least the picture's bytes: rows of
// width * 3 bytes, packed from the first byte. 0, or -1 with libjpeg's
// message (or one naming the destination) when nothing was decoded. A frame
// cut short decodes; its missing part is filled as libjpeg fills it.
VELCAP_EXPORT int Mjpeg2RgbConvert(VideoBuf* frame, cv::Mat& destination);
VELCAP_EXPORT int Mjpeg2RgbConvertEx(unsigned char* data, int length, cv::Mat& destination);
// Copies count 24-bit pixels; -1 for any other bits per pixel.
VELCAP_EXPORT int CovertOneLine(int count, int bitsPerPixel, int unused, unsigned char* source,
                                unsigned char* destination);
// Video-range YUYV 4:2:2 to packed RGB; exactly (width * height) / 2 pixel pairs.
VELCAP_EXPORT void yuyv_to_rgb888(unsigned char* source, unsigned char* destination, int width, int height);

// Bar codes (type 0: any symbol but a QR code) and QR codes (any other type).
// ZbarDecoder scans a grey image once; GetQRInBinImg scans a black-and-white
// image, then its 3 x 3 opening; GetQR runs the chain of Otsu, adaptive and
// swept thresholds; BarQrDecodePro does all of it on an R, G, B frame. The
// result is the data of the first symbol of the asked kind, or empty.
VELCAP_EXPORT std::string ZbarDecoder(cv::Mat image, int type);
VELCAP_EXPORT std::string GetQRInBinImg(cv::Mat bw, int type);
VELCAP_EXPORT std::string GetQR(cv::Mat grey, int type);
VELCAP_EXPORT std::string BarQrDecodePro(cv::Mat frame, int type);

// Writes an image (B, G, R) in the colour mode and JPEG quality of the
// settings, in the format of the name's extension in any letter case ("jpg"
// or "jpeg", "pdf", or any extension OpenCV writes). 0, or -1 with a message when nothing could
// be written. A colour mode outside 0 to 2 writes nothing and returns 0.
VELCAP_EXPORT int SaveImage(char* path, cv::Mat img);
// Turns one R, G, B frame into the file at path (see captureImage). The frame's
// pixels are never changed. 0, or -1 when nothing was written (an error of the
// image library is reported and fails the capture). The format code is not
// used: the extension counts.
VELCAP_EXPORT int capture(char* path, int fileFormat, int cutType, cv::Mat frame);
// A one-page PDF at path through a JPEG of the same base name in the home directory.
VELCAP_EXPORT int TempImgToPdf(char* path, cv::Mat img);
// libharu's error callback: prints the error and marks the document failed.
VELCAP_EXPORT void error_handler(unsigned long error_no, unsigned long detail_no, void* userData);

// Page outline: finds the page on a packed R, G, B frame, stores its four
// corners in CutPoint (lowest, leftmost, highest, rightmost: clockwise on
// screen; an upright page gives bottom-right, bottom-left, top-left,
// top-right) and, when mode is 1, draws the outline in green. 0; -1 no
// contour; -2 no contour large enough. GetAngle returns the clockwise turn
// that straightens the page of those corners and sets the CutImg and CutLast
// geometry.
VELCAP_EXPORT int DrawingEdge(unsigned char* frame, int width, int height, int mode);
VELCAP_EXPORT float GetAngle(int* corners);

// Black-edge removal on 8-bit B, G, R images (others are refused with a
// message): the margin between the image border and the page outline turns
// white. The Ex variants work on a file and write it back; a file that
// cannot be read is reported and left alone. FillBlackEdgeToWhite returns the
// margin as a new mask (release it with cvReleaseImage), null for bad input.
VELCAP_EXPORT void FN_DeleteBlackEdge(cv::Mat img);
VELCAP_EXPORT void FN_DeleteBlackEdgeEx(char* path);
VELCAP_EXPORT void FN_DeleteBlackEdgeEx2(char* path);
VELCAP_EXPORT IplImage* FillBlackEdgeToWhite(IplImage* img);
VELCAP_EXPORT void GammaCorrection(cv::Mat& src, cv::Mat& dst, float gamma);
// Background whitening in place: paper white, writing kept, red marks redder.
VELCAP_EXPORT void FN_DeleteBackcolor(cv::Mat img);

// Fixed turns of the frame: the quarter turns write into the library's roimage.
VELCAP_EXPORT void CamdataRote90(cv::Mat src);
VELCAP_EXPORT cv::Mat CamdataRote180(cv::Mat src);
VELCAP_EXPORT void CamdataRote270(cv::Mat src);
// Turns clockwise by angle degrees on a canvas enlarged to hold every corner.
VELCAP_EXPORT cv::Mat rotateImage(cv::Mat src, float angle);
