// velcapd's log: the library's lines, whole, with their level and category.
#pragma once

#include <string>

#include "velcap/camera.h"

namespace velcapd {

// One line of the log, ending in exactly one line end: "velcap warning
// [device]: TEXT". The library writes some lines without a line end and
// some with "\r\n"; empty lines are dropped (""), inner line ends kept as lines.
std::string logLine(velcap::LogLevel level, const char* category, const char* text);

// Sends the library's lines to standard error, each whole, one at a time.
void logToStandardError();

} // namespace velcapd
