#include "log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace {

std::atomic<void (*)(const char*)> sink{nullptr};

using Handler = std::function<void(velcap::LogLevel, const char*, const char*)>;
std::mutex handlerMutex;
std::shared_ptr<const Handler> handler;
std::atomic<bool> haveHandler{false};

// Set while this thread runs the host's sink: a line that the sink itself
// causes (by calling into the library) must not enter the sink again.
thread_local bool inSink = false;

void write(const char* text, velcap::LogLevel level, const char* category) {
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

const char* const kCategoryNames[kCategoryCount] = {"interface", "device",  "stream", "decode", "capture",
                                                    "imaging",   "codes",   "files",  "pdf",    "ocr",
                                                    "office",    "profile", "preview"};

const LogLevels& levels() {
    static const LogLevels chosen = [] {
        const char* text = std::getenv("VELCAP_LOG_LEVELS");
        return parseLogLevels(text ? text : "");
    }();
    return chosen;
}

bool written(LogLevel level, Category category) {
    return int(level) >= int(levels().least[int(category)]);
}

void format(LogLevel level, Category category, const char* format, va_list args) {
    if (!written(level, category)) return;
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
    write(text.c_str(), level, categoryName(category));
}

} // namespace

const char* categoryName(Category category) {
    const int index = int(category);
    return index >= 0 && index < kCategoryCount ? kCategoryNames[index] : "velcap";
}

LogLevels parseLogLevels(const std::string& text) {
    LogLevels result;
    for (LogLevel& least : result.least) least = LogLevel::Debug;
    static const char* const kLevelNames[] = {"debug", "info", "warning", "error"};
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(start, end - start);
        start = end + 1;
        const size_t colon = item.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = item.substr(0, colon), levelName = item.substr(colon + 1);
        int level = -1;
        for (int l = 0; l < 4; ++l)
            if (levelName == kLevelNames[l]) level = l;
        if (level < 0) continue;
        for (int c = 0; c < kCategoryCount; ++c)
            if (name == "*" || name == kCategoryNames[c]) result.least[c] = LogLevel(level);
    }
    return result;
}

void log(LogLevel level, Category category, const char* text, ...) {
    va_list args;
    va_start(args, text);
    format(level, category, text, args);
    va_end(args);
}

#define VELCAP_LOG_AT(function, level)                                                                                 \
    void function(Category category, const char* text, ...) {                                                          \
        va_list args;                                                                                                  \
        va_start(args, text);                                                                                          \
        format(level, category, text, args);                                                                           \
        va_end(args);                                                                                                  \
    }
VELCAP_LOG_AT(logDebug, LogLevel::Debug)
VELCAP_LOG_AT(logInfo, LogLevel::Info)
VELCAP_LOG_AT(logWarning, LogLevel::Warning)
VELCAP_LOG_AT(logError, LogLevel::Error)
#undef VELCAP_LOG_AT

void setLogSink(void (*to)(const char* text)) {
    sink = to;
}

void setLogHandler(std::function<void(LogLevel, const char*, const char*)> to) {
    auto shared = to ? std::make_shared<const Handler>(std::move(to)) : nullptr;
    std::lock_guard lock(handlerMutex);
    handler = std::move(shared);
    haveHandler = handler != nullptr;
}

void logLine(LogLevel level, Category category, const char* text) {
    if (!written(level, category)) return;
    std::string nested;
    std::string& line = buffer(nested);
    line = text ? text : "(null)";
    line += '\n';
    write(line.c_str(), level, categoryName(category));
}

} // namespace velcap
