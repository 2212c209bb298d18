// velcap-list: lists the supported cameras and their frame sizes in both
// stream formats, through the library alone.
#include <cstdio>
#include <string>

#include "velcap.h"

int main() {
    const int count = getDeviceCount();
    if (count <= 0) {
        std::printf("velcap-list: no supported camera found\n");
        return 1;
    }
    for (int camera = 0; camera < count; ++camera) {
        const char* name = getCameraName(camera);
        std::printf("camera %d: %s\n", camera, name ? name : "(no name)");
        for (int format = 0; format <= 1; ++format) {
            SetVideoFormat(format);
            const int sizes = getCameraResolutionCount(camera);
            std::printf("  %s:", format == 0 ? "MJPEG" : "YUYV");
            for (int i = 0; i < sizes; ++i) {
                int width = 0, height = 0;
                if (getCameraResolution(i, &width, &height) == 0) std::printf(" %dx%d", width, height);
            }
            std::printf("\n");
        }
    }
    return 0;
}
