// Quality alerts derived from a column's metrics.
#pragma once

#include "python/method.hpp"

namespace kor::alerts {

namespace nb = nanobind;
using py::Call;

nb::object generate_alerts(const Call& call, nb::handle profile);

}  // namespace kor::alerts

namespace kor::alerts {

// The alert that marks a column whose profiling failed: {"type": "PROFILE_ERROR",
// "severity": "warning", "message": message}.
nb::dict profile_error(nb::handle message);

// Appends to the profile's alerts the PROFILE_ERROR alert "Could not profile column: " and the
// first 100 characters of the caught exception's text.
void note_profile_error(nb::handle profile, nb::handle exception);

}  // namespace kor::alerts
