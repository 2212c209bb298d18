// The one road of the library's own output: lines of a declared category at
// a level, written as they are (with or without a line end) to the host's
// handler, to the sink a host set with SetLogSink, or to standard output.
#pragma once

#include <string>

#include "velcap/types.h"

namespace velcap {

// The library's subsystems. Hosts see their names (categoryName) with each
// line, and VELCAP_LOG_LEVELS picks the least level written per category:
// "device:warning,codes:debug", or "*:error" for all. Without it, every line
// is written, as the flat interface always did.
enum class Category {
    Interface,
    Device,
    Stream,
    Decode,
    Capture,
    Imaging,
    Codes,
    Files,
    Pdf,
    Ocr,
    Office,
    Profile,
    Preview
};
constexpr int kCategoryCount = int(Category::Preview) + 1;

const char* categoryName(Category category);

// Where the text goes from now on: to the sink, or to standard output when it is null.
void setLogSink(void (*sink)(const char* text));

// printf's formats.
void log(LogLevel level, Category category, const char* format, ...) __attribute__((format(printf, 3, 4)));
void logDebug(Category category, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logInfo(Category category, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logWarning(Category category, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logError(Category category, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The text and a line end, as puts writes it.
void logLine(LogLevel level, Category category, const char* text);

// The least level of each category that a VELCAP_LOG_LEVELS value asks for;
// what it does not name, or names wrongly, stays at Debug.
struct LogLevels {
    LogLevel least[kCategoryCount];
};
LogLevels parseLogLevels(const std::string& text);

} // namespace velcap
