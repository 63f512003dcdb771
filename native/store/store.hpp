// The metadata-store writer: one row per profiled column.
#pragma once

#include "python/method.hpp"

namespace kor::store {

namespace nb = nanobind;
using py::Call;

nb::object store_profile(const Call& call, nb::handle profile);

}  // namespace kor::store
