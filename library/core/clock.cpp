#include "clock.h"

namespace velcap {

namespace {

class SteadyClock final : public Clock {
public:
    time_point now() const override { return std::chrono::steady_clock::now(); }
};

} // namespace

const Clock& steadyClock() {
    static const SteadyClock clock;
    return clock;
}

} // namespace velcap
