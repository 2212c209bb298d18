// The one road of the library's own output: its fixed texts and its lines,
// written as they are (with or without a line end), to standard output or to
// the sink a host set with SetLogSink.
#pragma once

#include "velcap/camera.h"

namespace velcap {

// Where the text goes from now on: to the sink, or to standard output when it is null.
void setLogSink(void (*sink)(const char* text));

// printf's formats.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line of a level and a category (the subsystem: "device", "capture", ...).
void log(LogLevel level, const char* category, const char* format, ...) __attribute__((format(printf, 3, 4)));
// The text and a line end, as puts writes it.
void sayLine(const char* text);

} // namespace velcap
