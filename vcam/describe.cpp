// velcap-vcam-udev [--config FILE]: prints the udev records of the virtual
// cameras in umockdev's device description format, for umockdev-run.
#include <cstdio>
#include <cstring>
#include <exception>

#include "description.h"

int main(int argc, char** argv) {
    try {
        vcam::Description d = vcam::defaultDescription();
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
                d = vcam::load(argv[++i]);
            } else if (std::strcmp(argv[i], "--default") == 0) {
                std::fputs(vcam::defaultDescriptionText(), stdout);
                return 0;
            } else {
                std::fprintf(stderr, "usage: velcap-vcam-udev [--config FILE | --default]\n");
                return 2;
            }
        }
        std::fputs(vcam::udevRecords(d).c_str(), stdout);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velcap-vcam-udev: %s\n", e.what());
        return 1;
    }
}
