// The flat interface's camera: one core session for the whole library.
#pragma once

#include "../core/session.h"

namespace velcap {

// Never destroyed: a process may exit while it streams.
Session& flatSession();

// Before a camera is opened again: a descriptor left by a stream stopped
// from its own thread is released, or the streaming camera is closed; each
// says its caller's line.
void closeBeforeReopening(const char* leftoverLine, const char* streamingLine);

// A writer's status as the flat writers return it: 0 when the file was
// written or none was asked for (a colour mode that writes nothing), else -1.
inline int written(Status status) {
    return status == Status::Ok || status == Status::NothingAsked ? 0 : -1;
}

} // namespace velcap
