// Text from data on its way into Rich markup.
#include "host/markup.hpp"

#include "python/class_builder.hpp"
#include "python/text.hpp"

namespace kor::host {

nb::str escaped(nb::handle value) {
    const nb::object escape = py::import_from("rich.markup", "escape");
    return nb::borrow<nb::str>(escape(py::format(value)));
}

}  // namespace kor::host
