// The camera controls of the virtual camera as V4L2 shows them: their names,
// types and menus, the automatic controls that make others inactive, the
// step a value is rounded to, and the control requests on a camera's values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <linux/videodev2.h>

#include "description.h"

namespace vcam {

struct ControlKind {
    const char* statement; // its name in a description
    uint32_t id;
    const char* name; // as QUERYCTRL gives it
    uint32_t type;
    const char* const* menu; // item names of a menu control, null elsewhere
    uint64_t skippedItems;   // menu items inside the range that the camera does not offer
    uint32_t automatic;      // the control whose automatic mode makes this one inactive
    int manualValue;         // the value of that control that means manual
};

// Null for a control the virtual camera does not know.
const ControlKind* controlKind(uint32_t id);
const ControlKind* controlKind(const std::string& statement);

// A value of this control as the camera stores it: inside the range, on a step.
int roundedValue(const Control& control, int64_t value);

// What happened to each control a request changed, for control events.
struct ControlChange {
    uint32_t id;
    uint32_t changes; // V4L2_EVENT_CTRL_CH_VALUE, _FLAGS
};

// The control requests on a camera's controls: 0, or the errno of the
// failure. set requests may change values and report what they changed.
int queryControl(const std::vector<Control>& controls, v4l2_queryctrl& query);
int queryExtControl(const std::vector<Control>& controls, v4l2_query_ext_ctrl& query);
int queryMenu(const std::vector<Control>& controls, v4l2_querymenu& menu);
int getControl(const std::vector<Control>& controls, v4l2_control& control);
int setControl(std::vector<Control>& controls, v4l2_control& control, std::vector<ControlChange>& changed);
int extControls(std::vector<Control>& controls, unsigned long request, v4l2_ext_controls& request_,
                std::vector<ControlChange>& changed);

// The control event that describes a control now.
void describeControlEvent(const std::vector<Control>& controls, uint32_t id, uint32_t changes, v4l2_event& event);

} // namespace vcam
