// Setters and getters of the capture settings, the callbacks, and small helpers.
#include <sys/select.h>

#include "flat.h"
#include "state.h"

extern "C" {

void SetCutType(int type) {
    cutType = type;
}
void SetColorMode(int mode) {
    colorMode = mode;
}
void SetFileFormat(int format) {
    fileFormat = format;
}
int GetFileFormat() {
    return fileFormat;
}
void SetJpgQuality(int quality) {
    jpgQuality = quality;
}
void SetDelBlackedge(int on) {
    isDelBlackedge = on;
}
void SetDelBackColor(int on) {
    isDelBcakColor = on;
}

int SetRotate(int angle) {
    RotateAngle = angle;
    return 0;
}

int SetDataCallback(VelcapFrameCallback callback) {
    // Only the first registration counts; it stays for the life of the library.
    VelcapFrameCallback none = nullptr;
    if (callback) pGetVideoStream.compare_exchange_strong(none, callback);
    return 0;
}

void SetPreviewSize(int width, int height) {
    velcap::flatSession().setPreviewSize(width, height);
}

} // extern "C"

int SetWebDataCallback(VelcapWebFrameCallback callback) {
    VelcapWebFrameCallback none = nullptr;
    if (callback) pGetVideoWebStream.compare_exchange_strong(none, callback);
    return 0;
}

void Sleep(int ms) {
    timeval timeout{0, static_cast<suseconds_t>(ms) * 1000};
    select(0, nullptr, nullptr, nullptr, &timeout);
}

int HttpUpFile(char*, char*) {
    return 0;
}
