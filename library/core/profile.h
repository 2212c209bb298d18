// Per-device profiles: the control values set on a camera, kept between runs
// in $XDG_CONFIG_HOME/velcap/devices/ (else ~/.config/velcap/devices/), one
// file a camera, named by its IDs and serial, else by its USB port.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "../device/watch.h"

namespace velcap {

// The profile's file for a camera; empty when the camera cannot be named
// (no IDs) or there is no configuration folder.
std::string profilePath(const Identity& identity);
// The values kept: control name and value, in the order they were first set.
std::vector<std::pair<std::string, int>> loadProfile(const Identity& identity);
// Keeps one value; false (with a line saying why) when the file cannot be written.
bool saveToProfile(const Identity& identity, const std::string& control, int value);

} // namespace velcap
