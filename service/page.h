// The demo page that velcapd serves at /, and the JPEG it streams while the
// camera is unplugged ("未检测到设备").
#pragma once

#include <string>

namespace velcapd {

const std::string& demoPage();
const std::string& noDevicePicture();

} // namespace velcapd
