// The udev side of the virtual cameras inside a test program: umockdev's
// testbed holds one video4linux record per camera. The program must run under
// umockdev-wrapper, whose preloaded library shows the testbed to libudev.
#pragma once

#include <mutex>

#include "description.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace vcam {

class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Presents exactly these cameras, to libudev and as V4L2 devices. An
    // unplugged camera's records go, with udev remove events, and come back
    // with add events when it is plugged in again.
    void present(const Description& description);

private:
    void follow(int node, bool plugged);

    std::mutex mutex_;
    UMockdevTestbed* testbed_;
    Description description_;
};

} // namespace vcam
