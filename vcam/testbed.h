// The udev side of the virtual cameras inside a test program: umockdev's
// testbed holds one video4linux record per camera. The program must run under
// umockdev-wrapper, whose preloaded library shows the testbed to libudev.
#pragma once

#include "description.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace vcam {

class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Presents exactly these cameras, to libudev and as V4L2 devices.
    void present(const Description& description);

private:
    UMockdevTestbed* testbed_;
};

} // namespace vcam
