// Text from data on its way to the terminal: on one line, and escaped for Rich markup.
#pragma once

#include <nanobind/nanobind.h>

namespace kor::host {

namespace nb = nanobind;

// `rich.markup.escape(str(value))`: brackets in names and values print literally.
nb::str escaped(nb::handle value);

// `str(value)` folded onto one line: each line stripped, blank ones dropped, the rest joined by
// single spaces (a warehouse's multi-line error message, for instance).
nb::str one_line(nb::handle value);

}  // namespace kor::host
