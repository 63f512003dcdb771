// Text from data on its way to the terminal: controls made visible, on one line, and escaped
// for Rich markup.
#pragma once

#include <nanobind/nanobind.h>

namespace kor::host {

namespace nb = nanobind;

// `str(value)` with its control characters shown as escapes (`\x1b`): a table name or an error
// text from the warehouse cannot clear the screen, retitle the window or hide what follows.
nb::str visible(nb::handle value);

// `rich.markup.escape` of the visible text: brackets in names and values print literally.
nb::str escaped(nb::handle value);

// `str(value)` folded onto one line: each line stripped, blank ones dropped, the rest joined by
// single spaces (a warehouse's multi-line error message, for instance).
nb::str one_line(nb::handle value);

}  // namespace kor::host
