// A camera's picture controls through the V4L2 control requests on its descriptor.
#pragma once

#include <string>
#include <vector>

#include "velcap/camera.h"

namespace velcap {

// The controls a document camera's user sets, by the names v4l2-ctl gives
// them: index 0, 1, ... (null past the last), and the identifier of a name (0 when unknown).
const char* namedControlName(int index);
unsigned namedControlId(const char* name);
// The name of a named control's identifier, or null.
const char* nameOfControl(unsigned id);
// v4l2-ctl's name for a driver's control label: "Zoom, Absolute" is zoom_absolute.
std::string controlNameOf(const std::string& label);
// The identifier of any control the camera has, by its v4l2-ctl name (or a
// name of the table, or an alias); 0 when it has none of that name.
unsigned controlId(int fd, const std::string& name);

// Reads a control's range and value: NoControl when the camera lacks it (or
// has it disabled), ControlFailed when it cannot be read.
Status readControl(int fd, unsigned id, Control& out);
// Sets a control: NoControl, OutOfRange, or ControlFailed when the camera refuses.
Status writeControl(int fd, unsigned id, int value);
// Every control the camera has that holds a number, by v4l2-ctl's names.
std::vector<Control> readControls(int fd);

} // namespace velcap
