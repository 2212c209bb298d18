#include "log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "velcap/camera.h"

namespace {

std::atomic<void (*)(const char*)> sink{nullptr};

using Handler = std::function<void(velcap::LogLevel, const char*, const char*)>;
std::mutex handlerMutex;
std::shared_ptr<const Handler> handler;
std::atomic<bool> haveHandler{false};

// Set while this thread runs the host's sink: a line that the sink itself
// causes (by calling into the library) must not enter the sink again.
thread_local bool inSink = false;

void write(const char* text, velcap::LogLevel level = velcap::LogLevel::Info, const char* category = "velcap") {
    if (haveHandler && !inSink) {
        std::shared_ptr<const Handler> to;
        {
            std::lock_guard lock(handlerMutex);
            to = handler;
        }
        if (to) {
            inSink = true;
            try {
                (*to)(level, category, text);
            } catch (...) {
                // A handler that throws loses this line; the library goes on.
            }
            inSink = false;
            return;
        }
    }
    void (*to)(const char*) = sink.load();
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

namespace {

void format(LogLevel level, const char* category, const char* format, va_list args) {
    std::string nested;
    std::string& text = buffer(nested);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    if (length < 0) {
        va_end(again);
        return;
    }
    text.resize(size_t(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.resize(size_t(length));
    write(text.c_str(), level, category);
}

} // namespace

void say(const char* text, ...) {
    va_list args;
    va_start(args, text);
    format(LogLevel::Info, "velcap", text, args);
    va_end(args);
}

void log(LogLevel level, const char* category, const char* text, ...) {
    va_list args;
    va_start(args, text);
    format(level, category, text, args);
    va_end(args);
}

void setLogSink(void (*to)(const char* text)) {
    sink = to;
}

void setLogHandler(std::function<void(LogLevel, const char*, const char*)> to) {
    auto shared = to ? std::make_shared<const Handler>(std::move(to)) : nullptr;
    std::lock_guard lock(handlerMutex);
    handler = std::move(shared);
    haveHandler = handler != nullptr;
}

void sayLine(const char* text) {
    std::string nested;
    std::string& line = buffer(nested);
    line = text ? text : "(null)";
    line += '\n';
    write(line.c_str());
}

} // namespace velcap
