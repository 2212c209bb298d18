// Finding supported cameras and what they offer, through libudev and V4L2.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "velcap/camera.h"

namespace velcap {

// The supported models, in listing order: vendor and product IDs as udev writes them.
constexpr int kSupportedModelCount = 9;
extern const char* const kSupportedVendors[kSupportedModelCount];
extern const char* const kSupportedProducts[kSupportedModelCount];

// Which cameras findCameras lists: the flat interface's one per model (its
// first node), every camera of the table, or also every other camera.
enum class Listing { OnePerModel, EveryCamera, AnyCamera };

// The cameras udev lists whose IDs are in the table, in table order, then
// by port; with AnyCamera, the other capture nodes that stream MJPEG or
// YUYV follow. Each with its name and serial, and its sizes when withSizes.
// Empty, with ok false, when udev cannot be asked.
std::vector<Device> findCameras(const char* const* vendors, const char* const* products, int models, Listing listing,
                                bool withSizes, bool& ok);

// The card name a camera's driver reports, after its first colon when it
// has one; false when the node cannot be opened.
bool cameraName(const std::string& node, std::string& name);

// The discrete frame sizes a camera offers in a pixel format, saying each when say is set.
std::vector<std::pair<int, int>> discreteSizes(int fd, unsigned pixelFormat, bool say);

// The V4L2 pixel formats a camera offers, in its order.
std::vector<unsigned> pixelFormats(int fd);

} // namespace velcap
