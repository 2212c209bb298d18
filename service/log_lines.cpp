#include "log_lines.h"

#include <cstdio>
#include <mutex>

namespace velcapd {

namespace {

const char* levelName(velcap::LogLevel level) {
    switch (level) {
    case velcap::LogLevel::Debug:
        return "debug";
    case velcap::LogLevel::Info:
        return "info";
    case velcap::LogLevel::Warning:
        return "warning";
    case velcap::LogLevel::Error:
        return "error";
    }
    return "info";
}

} // namespace

std::string logLine(velcap::LogLevel level, const char* category, const char* text) {
    const std::string prefix = std::string("velcap ") + levelName(level) + " [" + (category ? category : "") + "]: ";
    std::string out, line;
    const auto flush = [&] {
        if (!line.empty()) out += prefix + line + "\n";
        line.clear();
    };
    for (const char* c = text ? text : ""; *c; ++c) {
        if (*c == '\n' || *c == '\r')
            flush();
        else
            line += *c;
    }
    flush();
    return out;
}

void logToStandardError() {
    static std::mutex mutex; // one line at a time, from every thread
    velcap::setLogHandler([](velcap::LogLevel level, const char* category, const char* text) {
        const std::string line = logLine(level, category, text);
        if (line.empty()) return;
        std::lock_guard lock(mutex);
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    });
}

} // namespace velcapd
