// Text from data on its way to the terminal.
#include "host/markup.hpp"

#include "python/class_builder.hpp"
#include "python/object.hpp"
#include "python/text.hpp"

namespace kor::host {

nb::str visible(nb::handle value) { return py::escape_controls(py::format(value)); }

nb::str escaped(nb::handle value) {
    const nb::object escape = py::import_from("rich.markup", "escape");
    return nb::borrow<nb::str>(escape(visible(value)));
}

nb::str one_line(nb::handle value) {
    nb::list kept;
    const nb::object lines = py::format(value).attr("splitlines")();
    for (nb::handle line : lines) {
        const nb::object stripped = line.attr("strip")();
        if (py::truthy(stripped))
            kept.append(stripped);
    }
    return nb::borrow<nb::str>(nb::str(" ").attr("join")(kept));
}

}  // namespace kor::host
