// The demo page that velcapd serves at /.
#pragma once

#include <string>

namespace velcapd {

const std::string& demoPage();

} // namespace velcapd
