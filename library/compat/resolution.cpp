// The stream format setting and the frame sizes of a camera, with the synthetic
// 3672 x 2856 size of the 10-megapixel interpolation mode.
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "../device/device.h"
#include "../log.h"
#include "flat.h"
#include "state.h"

namespace {

constexpr long kLargestNativeArea = 3264L * 2448L;

void clearLists() {
    formatList.clear();
    yuvWidthList.clear();
    yuvHeightList.clear();
    mjpegWidthList.clear();
    mjpegHeightList.clear();
    otherfmtWidthList.clear();
    otherfmtHeightList.clear();
}

void enumerateFrameSizes(int fd, unsigned format, std::list<int>& widths, std::list<int>& heights) {
    for (const auto& [width, height] : velcap::discreteSizes(fd, format, true)) {
        widths.push_back(width);
        heights.push_back(height);
    }
}

} // namespace

extern "C" void SetVideoFormat(int format) {
    CameraFormat = format > 1 ? 1 : format;
}

extern "C" int getCameraResolutionCount(int camera) {
    if (velcap::flatSession().onStreamThread()) {
        // It would close the camera under the stream that calls.
        velcap::logWarning(velcap::Category::Device,
                           "getCameraResolutionCount: called on the stream thread; refused\n");
        return 0;
    }
    if (deviceCount < 1) deviceCount = getDeviceCount();
    if (deviceCount < 1 || camera < 0 || camera >= deviceCount) return 0;

    velcap::closeBeforeReopening("---------getResolutionCount closeCamera AA---------",
                                 "---------getResolutionCount closeCamera BB---------");

    cam_fd = ::open(devices[camera].c_str(), O_RDWR);
    if (cam_fd == -1) {
        velcap::logError(velcap::Category::Device, "open camera error!!");
        return 0;
    }
    clearLists();
    for (const unsigned format : velcap::pixelFormats(cam_fd)) {
        if (format == V4L2_PIX_FMT_MJPEG) {
            formatList.push_back(0);
            enumerateFrameSizes(cam_fd, format, mjpegWidthList, mjpegHeightList);
        } else if (format == V4L2_PIX_FMT_YUYV) {
            formatList.push_back(1);
            enumerateFrameSizes(cam_fd, format, yuvWidthList, yuvHeightList);
        } else {
            formatList.push_back(2);
            enumerateFrameSizes(cam_fd, format, otherfmtWidthList, otherfmtHeightList);
        }
    }
    ::close(cam_fd);
    cam_fd = -1;
    isInsert1000M = false;

    std::list<int>& widths = CameraFormat != 0 ? yuvWidthList : mjpegWidthList;
    std::list<int>& heights = CameraFormat != 0 ? yuvHeightList : mjpegHeightList;
    if (widths.empty()) return 0;

    // The tallest size decides (the first of equal heights); only a camera whose
    // tallest frame is 3264 x 2448 gets the interpolated size.
    auto tallest = heights.begin();
    for (auto it = heights.begin(); it != heights.end(); ++it)
        if (*it > *tallest) tallest = it;
    auto width = widths.begin();
    std::advance(width, std::min<long>(std::distance(heights.begin(), tallest), long(widths.size()) - 1));
    if (long(*width) * long(*tallest) == kLargestNativeArea) {
        widths.push_back(kInterpolatedWidth);
        heights.push_back(kInterpolatedHeight);
    }
    return static_cast<int>(widths.size());
}

extern "C" int getFormatResolutionCount(int) {
    return static_cast<int>(CameraFormat != 0 ? yuvWidthList.size() : mjpegWidthList.size());
}

extern "C" int getCameraResolution(int position, int* width, int* height) {
    if (mjpegWidthList.empty() && yuvWidthList.empty()) return -2;
    const std::list<int>& widths = CameraFormat != 0 ? yuvWidthList : mjpegWidthList;
    const std::list<int>& heights = CameraFormat != 0 ? yuvHeightList : mjpegHeightList;
    if (widths.empty()) return -1;
    // A position with no size is a failure: the caller's variables stay unwritten.
    if (position < 0 || static_cast<size_t>(position) >= std::min(widths.size(), heights.size())) return -3;
    if (width) *width = *std::next(widths.begin(), position);
    if (height) *height = *std::next(heights.begin(), position);
    return 0;
}
