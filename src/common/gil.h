// Native work without the interpreter lock.
//
// `without_gil(work)` is the one way our modules release the GIL: it runs
// `work` with the lock released and holds the lock again before anything
// leaves, whether `work` returns or throws. An exception, std::bad_alloc
// included, therefore always reaches the binding with the GIL held, where
// nanobind turns it into the Python exception (MemoryError for bad_alloc).
// `work` must not touch any Python object.
#pragma once

#include <optional>
#include <utility>

#include <nanobind/nanobind.h>

namespace tw::py {

// Runs `work()` without the GIL when `release` is true (release only for
// work long enough to be worth the switch) and returns what it returns.
template <typename Work> decltype(auto) without_gil(Work&& work, bool release = true) {
    std::optional<nanobind::gil_scoped_release> released;
    if (release) released.emplace();
    return std::forward<Work>(work)();
}

} // namespace tw::py
