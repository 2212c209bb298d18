#include "log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "velcap.h"

namespace {

std::atomic<VelcapLogSink> sink{nullptr};

// Set while this thread runs the host's sink: a line that the sink itself
// causes (by calling into the library) must not enter the sink again.
thread_local bool inSink = false;

void write(const char* text) {
    VelcapLogSink to = sink.load();
    if (!to || inSink) {
        std::fputs(text, inSink ? stderr : stdout);
        return;
    }
    inSink = true;
    try {
        to(text);
    } catch (...) {
        // A sink that throws loses this line; the library goes on.
    }
    inSink = false;
}

// Each thread formats into its own buffer (the stream thread says things
// too); a line said from within the sink gets a buffer of its own, so that the
// text the sink is reading stays as it is.
std::string& buffer(std::string& nested) {
    thread_local std::string text;
    return inSink ? nested : text;
}

} // namespace

namespace velcap {

void say(const char* format, ...) {
    std::string nested;
    std::string& text = buffer(nested);
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
    std::string nested;
    std::string& line = buffer(nested);
    line = text ? text : "(null)";
    line += '\n';
    write(line.c_str());
}

} // namespace velcap

extern "C" void SetLogSink(VelcapLogSink to) {
    sink = to;
}
