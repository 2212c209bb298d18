#include "camera_test.h"

#include <mutex>
#include <vector>

namespace velcap::test {

namespace {

// The texts of the captures under way, innermost last; each piece goes to all
// of them, so that an outer capture also sees what an inner one saw.
std::mutex logMutex;
std::vector<std::string> logTexts;

void intoCaptures(const char* text) {
    std::lock_guard lock(logMutex);
    for (std::string& t : logTexts) t += text;
}

vcam::Testbed& testbed() {
    static vcam::Testbed* t = new vcam::Testbed; // lives as long as the test program
    return *t;
}

} // namespace

LogCapture::LogCapture() {
    std::lock_guard lock(logMutex);
    depth_ = logTexts.size();
    logTexts.emplace_back();
    SetLogSink(intoCaptures);
}

LogCapture::~LogCapture() {
    std::lock_guard lock(logMutex);
    logTexts.resize(depth_);
    if (logTexts.empty()) SetLogSink(nullptr);
}

std::string LogCapture::text() const {
    std::lock_guard lock(logMutex);
    return logTexts[depth_];
}

void resetLibrary() {
    if (cam_fd != -1 || bKeep) closeCamera();
    deviceCount = 0;
    for (auto& d : devices) d.clear();
    for (auto* l : {&formatList, &yuvWidthList, &yuvHeightList, &mjpegWidthList, &mjpegHeightList, &otherfmtWidthList,
                    &otherfmtHeightList})
        l->clear();
    CameraFormat = 1;
    isInsert1000M = false;
    nWidth = nHeight = nSize = 0;
    RotateAngle = 0;
    RotateFlag = 0;
    for (auto* v : {&FormWidth, &FormHeight, &FormStartX, &FormStartY, &ShowWidth, &ShowHeight, &ZoomWidth, &ZoomHeight,
                    &ZoomStartX, &ZoomStartY, &VideoOffsetX, &VideoOffsetY})
        *v = 0;
    pZoomScale = pBestScale = 50.0;
    SetDeviceListing(0);
}

vcam::Camera documentCamera(int node, const std::string& product) {
    vcam::Camera c = vcam::defaultDescription().cameras.front();
    c.node = node;
    c.product = product;
    c.bus = "usb-test-" + std::to_string(node);
    return c;
}

void CameraTest::SetUp() {
    present(vcam::defaultDescription());
}

void CameraTest::TearDown() {
    stdoutOf([] { resetLibrary(); });
}

void CameraTest::present(const vcam::Description& description) {
    stdoutOf([] { resetLibrary(); });
    testbed().present(description);
}

} // namespace velcap::test
