// YUYV 4:2:2 frames to packed R, G, B.
#pragma once

namespace velcap {

// Video-range YUYV to packed R, G, B: exactly (width * height) / 2 pixel
// pairs; nothing for a size of 0 or less. Large frames go in stripes on
// OpenCV's worker threads.
void yuyvToRgb(const unsigned char* source, unsigned char* destination, int width, int height);

} // namespace velcap
