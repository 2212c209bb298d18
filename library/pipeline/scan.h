// A picture laid on the platen and scanned from it, as a flatbed scanner
// delivers its scans.
#pragma once

#include <opencv2/core.hpp>

#include "velcap/camera.h"

namespace velcap {

// Whether settings ask for a scan that can be made; why not, when not.
bool scanAskable(const ScanSettings& settings, std::string& why);

// picture (B, G, R) fitted to the platen from its top-left corner, the
// region cut out at the resolution, in the colour mode, encoded: Ok, or
// NothingAsked after a line saying why.
Status scanPicture(const cv::Mat& picture, const ScanSettings& settings, Scan& out);

} // namespace velcap
