// The setters, the helpers, and the callback registration rule.
#include <chrono>
#include <cstdio>

#include "support/camera_test.h"

namespace {

int gFirstCalls = 0;
void firstCallback(unsigned char*, int, int) {
    ++gFirstCalls;
}
void secondCallback(unsigned char*, int, int) {}
void firstWeb(unsigned char*, int, int, int, int) {}
void secondWeb(unsigned char*, int, int, int, int) {}

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

std::string said;
void intoSaid(const char* text) {
    said += text;
}

TEST(LibraryLog, TheSinkGetsTheTextsAsTheyAre) {
    said.clear();
    SetLogSink(intoSaid);
    EXPECT_EQ(RecogBarQrCodeFromFile("/nonexistent/code.png", 1), nullptr);
    SetLogSink(nullptr);
    // Fixed texts keep their line ends, carriage returns included; added lines name the caller.
    EXPECT_EQ(said.rfind("RecogBarQrCodeFromFile start\r\n", 0), 0u) << said;
    EXPECT_NE(said.find("RecogBarQrCodeFromFile: "), std::string::npos) << said;
    EXPECT_NE(said.find("read image file error!!\r\n"), std::string::npos) << said;
    const size_t before = said.size();
    EXPECT_EQ(RecogBarQrCodeFromFile("/nonexistent/code.png", 1), nullptr);
    EXPECT_EQ(said.size(), before) << "the sink is gone";
}

TEST(LibraryState, SleepWaitsAndUploadTouchesNothing) {
    const auto before = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(30));

    // The upload is a stub that must neither read, change nor send the file.
    const std::string path = testing::TempDir() + "/velcap-upload.txt";
    std::FILE* file = std::fopen(path.c_str(), "w");
    std::fputs("kept", file);
    std::fclose(file);
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    char url[] = "http://127.0.0.1:9/upload";
    EXPECT_EQ(HttpUpFile(name.data(), url), 0);
    EXPECT_EQ(HttpUpFile(nullptr, nullptr), 0);
    file = std::fopen(path.c_str(), "r");
    char text[8] = {};
    ASSERT_TRUE(file);
    EXPECT_EQ(std::fread(text, 1, sizeof(text) - 1, file), 4u);
    std::fclose(file);
    EXPECT_STREQ(text, "kept");
    std::remove(path.c_str());
}

} // namespace
