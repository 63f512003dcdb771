// Quality alerts derived from a column's metrics.
#pragma once

#include "python/method.hpp"

namespace kor::alerts {

namespace nb = nanobind;
using py::Call;

nb::object generate_alerts(const Call& call);

}  // namespace kor::alerts
