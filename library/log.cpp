#include "log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "velcap.h"

namespace {

std::atomic<VelcapLogSink> sink{nullptr};

void write(const char* text) {
    if (VelcapLogSink to = sink.load())
        to(text);
    else
        std::fputs(text, stdout);
}

} // namespace

namespace velcap {

void say(const char* format, ...) {
    // Each thread formats into its own buffer: the stream thread says things too.
    thread_local std::string text;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    text.resize(size_t(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.resize(size_t(length));
    write(text.c_str());
}

void sayLine(const char* text) {
    thread_local std::string line;
    line = text ? text : "(null)";
    line += '\n';
    write(line.c_str());
}

} // namespace velcap

extern "C" void SetLogSink(VelcapLogSink to) {
    sink = to;
}
