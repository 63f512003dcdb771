// The terminal as the task sees it: Rich's module-wide console, or the built-in print.
#pragma once

#include "python/method.hpp"

namespace kor::host {

namespace nb = nanobind;

// The module flag HAS_RICH, read now.
bool has_rich(const py::Call& call);

// `console.print(text)` and `console.print()` on the module-level console, read now.
void print_markup(const py::Call& call, nb::handle text);
void print_blank(const py::Call& call);

// `console.print(text, soft_wrap=True)`: one line however long, left to the terminal to wrap.
void print_line(const py::Call& call, nb::handle text);

}  // namespace kor::host
