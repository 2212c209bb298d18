// Helpers shared by the files of the device layer.
#pragma once

namespace velcap {

// Unmaps what a failed open left mapped and closes cam_fd; for a descriptor
// that no stream thread uses.
void closeLeftoverDescriptor();

// Blocks until the open camera has a filled buffer, or until bKeep is cleared.
// Returns false when the stream thread is to stop.
bool waitForFrame();

} // namespace velcap
