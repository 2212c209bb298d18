#include "state.h"

std::string devices[10];
int deviceCount = 0;
int cam_fd = -1;
int buffer_count = 5;
void** video_buffer_ptr = new void*[5];
char pix_format[64] = {};
int nWidth = 0;
int nHeight = 0;
int nSize = 0;
int CameraFormat = 1;
std::atomic<bool> isInsert1000M{false};
std::atomic<bool> bKeep{false};

cv::Mat srcimage;
cv::Mat roimage;
cv::Mat zoomimage;

v4l2_queryctrl qctrl{};
v4l2_control ctrl{};

std::atomic<bool> isShootPhoto{false};
char imgSavePath[255] = {};
std::atomic<int> IsRecogBarQr{-99};
std::string BarQrContent;

std::atomic<VelcapFrameCallback> pGetVideoStream{nullptr};
std::atomic<VelcapWebFrameCallback> pGetVideoWebStream{nullptr};

std::atomic<int> cutType{0};
std::atomic<int> colorMode{0};
std::atomic<int> fileFormat{0};
std::atomic<int> jpgQuality{85};
std::atomic<int> isDelBlackedge{0};
std::atomic<int> isDelBcakColor{0};
std::atomic<int> RotateAngle{0};

// One vendor, nine models: the Orvida document cameras, in listing order.
const char* gpyVendor[9] = {"31a5", "31a5", "31a5", "31a5", "31a5", "31a5", "31a5", "31a5", "31a5"};
const char* gpyProduct[9] = {"0801", "0802", "0803", "0501", "0502", "1201", "1202", "0301", "0302"};

std::list<int> formatList;
std::list<int> yuvWidthList;
std::list<int> yuvHeightList;
std::list<int> mjpegWidthList;
std::list<int> mjpegHeightList;
std::list<int> otherfmtWidthList;
std::list<int> otherfmtHeightList;

std::atomic<int> RotateFlag{0};
unsigned char* WEB_BUF = nullptr;
std::atomic<int> FormWidth{0};
std::atomic<int> FormHeight{0};
std::atomic<int> FormStartX{0};
std::atomic<int> FormStartY{0};
std::atomic<int> ShowWidth{0};
std::atomic<int> ShowHeight{0};
std::atomic<int> ZoomWidth{0};
std::atomic<int> ZoomHeight{0};
std::atomic<int> ZoomStartX{0};
std::atomic<int> ZoomStartY{0};
std::atomic<int> VideoOffsetX{0};
std::atomic<int> VideoOffsetY{0};
std::atomic<double> pZoomScale{50.0};
std::atomic<double> pBestScale{50.0};

void* pdecode = nullptr;

int CutPoint[40] = {};
int CutImgStartX = 0;
int CutImgStartY = 0;
int CutImgW = 0;
int CutImgH = 0;
int CutLastW = 0;
int CutLastH = 0;
std::list<int> areaList;
std::list<std::vector<cv::Point>> cvSeqList;

HPDF_Doc pdf = nullptr;
std::string outPdfPath;
jmp_buf env;
std::list<std::string> pdf_filelist;
std::list<std::string> img_filelist;

namespace velcap {

std::atomic<bool> pageOutlineFound{false};

// Never destroyed either: the stream thread may render while the process exits.
Viewport& viewport() {
    static Viewport* v = new Viewport;
    return *v;
}

} // namespace velcap
