// The flat interface's files and lines: picture headers, write failures,
// the temporaries of writes in progress, the PDF capture's road and the log sink.
#include <string>
#include <unistd.h>

#include "../files/picture_file.h"
#include "../log.h"
#include "flat.h"
#include "state.h"

extern "C" int GetPictureFileSize(const char* path, int* width, int* height) {
    if (!velcap::isRegularFile(path) || ::access(path, R_OK) != 0) return -1;
    int w = 0, h = 0;
    std::string why;
    if (!velcap::declaredSize(path, w, h, why)) return -2;
    if (width) *width = w;
    if (height) *height = h;
    return 0;
}

extern "C" const char* getWriteFailureReason(const char* path) {
    thread_local std::string reason;
    reason = velcap::whyNotWritten(path ? path : "");
    return reason.c_str();
}

extern "C" void removePartialFiles() {
    velcap::removeUnfinishedFiles();
}

extern "C" void SetPdfCaptureInMemory(int on) {
    velcap::flatSession().setPdfInMemory(on == 1);
}

extern "C" void SetLogSink(VelcapLogSink sink) {
    velcap::setLogSink(sink);
}
