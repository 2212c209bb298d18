// The boundary of the exported functions: no exception leaves the library.
// One that would is reported in one line that names the function, and the
// function returns its failure result.
#pragma once

#include "log.h"
#include <cstdio>
#include <exception>
#include <utility>

namespace velcap {

template <typename T, typename Fn>
T guarded(const char* caller, T failure, Fn&& fn) noexcept {
    try {
        return std::forward<Fn>(fn)();
    } catch (const std::exception& e) {
        logError(Category::Interface, "%s: failed: %s\n", caller, e.what());
    } catch (...) {
        logError(Category::Interface, "%s: failed\n", caller);
    }
    return failure;
}

template <typename Fn>
void guarded(const char* caller, Fn&& fn) noexcept {
    guarded(caller, 0, [&] {
        std::forward<Fn>(fn)();
        return 0;
    });
}

} // namespace velcap
