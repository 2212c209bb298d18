#include "camera_test.h"

namespace velcap::test {

namespace {

vcam::Testbed& testbed() {
    static vcam::Testbed* t = new vcam::Testbed; // lives as long as the test program
    return *t;
}

} // namespace

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
    for (auto* v : {&FormWidth, &FormHeight, &FormStartX, &FormStartY, &ShowWidth, &ShowHeight, &ZoomWidth,
                    &ZoomHeight, &ZoomStartX, &ZoomStartY, &VideoOffsetX, &VideoOffsetY})
        *v = 0;
    pZoomScale = pBestScale = 50.0;
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
