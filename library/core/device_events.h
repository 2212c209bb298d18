// The process's one udev monitor, shared by hosts that listen for cameras
// and by sessions that wait for theirs to come back.
#pragma once

#include <chrono>
#include <cstdint>

namespace velcap {

// While held, the monitor runs; each hold is released once.
void holdDeviceEvents();
void releaseDeviceEvents();

// Video4Linux events seen so far; a waiter reads it before it looks, then
// waits for it to move (or for the limit, which also covers a system without udev events).
std::uint64_t deviceEventCount();
void waitForDeviceEvent(std::uint64_t seen, std::chrono::milliseconds limit);

} // namespace velcap
