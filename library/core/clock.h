// The time the stages that wait for stillness read, injected so that tests
// can move it on without sleeping.
#pragma once

#include <chrono>

namespace velcap {

class Clock {
public:
    using time_point = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    virtual time_point now() const = 0;
};

// The machine's steady clock.
const Clock& steadyClock();

} // namespace velcap
