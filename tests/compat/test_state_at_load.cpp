// The library's state as it is when the library has just been loaded: a
// program of its own, so that no other test has touched it before.
#include "support/camera_test.h"

namespace {

TEST(LibraryState, InitialValuesAtLoad) {
    EXPECT_FALSE(bKeep);
    EXPECT_EQ(cam_fd, -1);
    EXPECT_EQ(buffer_count, 5);
    EXPECT_NE(video_buffer_ptr, nullptr);
    EXPECT_EQ(CameraFormat, 1);
    EXPECT_EQ(deviceCount, 0);
    EXPECT_EQ(cutType.load(), 0);
    EXPECT_EQ(fileFormat.load(), 0);
    EXPECT_FALSE(velcap::pageOutlineFound);
}

} // namespace
