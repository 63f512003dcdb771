// Wall-clock readings through the module's `time`, as every duration is taken.
#pragma once

#include "python/method.hpp"

namespace kor::host {

namespace nb = nanobind;

// `time.time()`.
nb::object now(const py::Call& call);

// `int((time.time() - start) * 1000)`: whole milliseconds since `start`, truncated.
nb::object elapsed_ms(const py::Call& call, nb::handle start);

}  // namespace kor::host
