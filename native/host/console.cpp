// The terminal as the task sees it.
#include "host/console.hpp"

#include "python/object.hpp"

namespace kor::host {

bool has_rich(const py::Call& call) { return py::truthy(call.global("HAS_RICH")); }

void print_markup(const py::Call& call, nb::handle text) {
    call.global("console").attr("print")(text);
}

void print_blank(const py::Call& call) { call.global("console").attr("print")(); }

void print_line(const py::Call& call, nb::handle text) {
    call.global("console").attr("print")(text, nb::arg("soft_wrap") = true);
}

}  // namespace kor::host
