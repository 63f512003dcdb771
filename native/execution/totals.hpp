// What both drivers do with a table record: add it to the run's totals.
#pragma once

#include <nanobind/nanobind.h>

namespace kor::execution {

namespace nb = nanobind;

// Appends `profile` to `result.profiles` and adds its rows, columns and alerts to the totals.
void add_to_totals(nb::handle result, nb::handle profile);

}  // namespace kor::execution
