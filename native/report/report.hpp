// The closing summary of a run.
#pragma once

#include "python/method.hpp"

namespace kor::report {

namespace nb = nanobind;
using py::Call;

nb::object print_summary(const Call& call, nb::handle result);

}  // namespace kor::report
