// Library state at load, the setters, and the callback registration rule.
#include "support/camera_test.h"

namespace {

int gFirstCalls = 0;
void firstCallback(unsigned char*, int, int) {
    ++gFirstCalls;
}
void secondCallback(unsigned char*, int, int) {}
void firstWeb(unsigned char*, int, int, int, int) {}
void secondWeb(unsigned char*, int, int, int, int) {}

// Must run before any test opens a camera: gtest runs tests of a file in order.
TEST(LibraryState, InitialValuesAtLoad) {
    EXPECT_FALSE(bKeep);
    EXPECT_EQ(cam_fd, -1);
    EXPECT_EQ(buffer_count, 5);
    EXPECT_NE(video_buffer_ptr, nullptr);
    EXPECT_EQ(CameraFormat, 1);
    EXPECT_EQ(jpgQuality, 85);
    EXPECT_EQ(IsRecogBarQr, -99);
    EXPECT_EQ(GetFileFormat(), 0);
    EXPECT_EQ(cutType, 0);
    EXPECT_EQ(colorMode, 0);
    EXPECT_EQ(RotateAngle, 0);
    EXPECT_FALSE(isShootPhoto);
    EXPECT_FALSE(isInsert1000M);
    EXPECT_EQ(imgSavePath[0], 0);
    EXPECT_EQ(pix_format[0], 0);
    EXPECT_TRUE(srcimage.empty() && roimage.empty() && zoomimage.empty());
    EXPECT_EQ(pGetVideoStream.load(), nullptr);
    EXPECT_EQ(pGetVideoWebStream.load(), nullptr);
    for (const auto& d : devices) EXPECT_TRUE(d.empty());
}

TEST(LibraryState, SettersStoreTheirArgumentUnchecked) {
    SetCutType(1);
    SetColorMode(2);
    SetJpgQuality(40);
    SetDelBlackedge(1);
    SetDelBackColor(7);
    EXPECT_EQ(SetRotate(3), 0);
    EXPECT_EQ(cutType, 1);
    EXPECT_EQ(colorMode, 2);
    EXPECT_EQ(jpgQuality, 40);
    EXPECT_EQ(isDelBlackedge, 1);
    EXPECT_EQ(isDelBcakColor, 7);
    EXPECT_EQ(RotateAngle, 3);
    SetFileFormat(12345); // meaningless to the library, kept all the same
    EXPECT_EQ(GetFileFormat(), 12345);
    SetFileFormat(-3);
    EXPECT_EQ(GetFileFormat(), -3);

    SetCutType(0);
    SetColorMode(0);
    SetJpgQuality(85);
    SetDelBlackedge(0);
    SetDelBackColor(0);
    SetRotate(0);
    SetFileFormat(0);
}

TEST(LibraryState, FirstRegisteredCallbacksStay) {
    EXPECT_EQ(SetDataCallback(nullptr), 0);
    EXPECT_EQ(pGetVideoStream.load(), nullptr);
    EXPECT_EQ(SetDataCallback(firstCallback), 0);
    EXPECT_EQ(SetDataCallback(secondCallback), 0);
    EXPECT_EQ(SetDataCallback(nullptr), 0);
    EXPECT_EQ(pGetVideoStream.load(), &firstCallback);

    EXPECT_EQ(SetWebDataCallback(firstWeb), 0);
    EXPECT_EQ(SetWebDataCallback(secondWeb), 0);
    EXPECT_EQ(pGetVideoWebStream.load(), &firstWeb);
    // The web callback would make the stream thread run the embedded preview;
    // later tests in this program do not expect that.
    pGetVideoWebStream = nullptr;
}

TEST(LibraryState, HelpersDoNothingHarmful) {
    char a[] = "file", b[] = "url";
    EXPECT_EQ(HttpUpFile(a, b), 0);
    Sleep(0);
    Sleep(5);
}

} // namespace
