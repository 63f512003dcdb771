// What both drivers do with a table record: add it to the run's totals and store it.
#pragma once

#include <nanobind/nanobind.h>

namespace kor::execution {

namespace nb = nanobind;

// Appends `profile` to `result.profiles` and adds its rows, columns and alerts to the totals.
void add_to_totals(nb::handle result, nb::handle profile);

// Stores `profile` through `self._store_profile`; a table whose rows were not stored adds
// "<source>.<table>: profile results not stored" to `result.errors`.
void store(nb::handle self, nb::handle result, nb::handle profile);

}  // namespace kor::execution
