// The warehouse adapter as the task uses it.
#include "host/adapter.hpp"

namespace kor::host {

nb::object profile_connection(nb::handle adapter) {
    return adapter.attr("connection_named")("profile");
}

nb::object fetch(nb::handle adapter, nb::handle sql) {
    return py::unpack_pair(adapter.attr("execute")(sql, nb::arg("fetch") = true)).second;
}

nb::object column_kind(nb::handle adapter, nb::handle col_type) {
    if (!py::has_attribute(adapter, "column_kind"))
        return nb::none();
    return adapter.attr("column_kind")(col_type);
}

nb::object first_row(nb::handle table) {
    if (py::truthy(table) && py::length(table) > 0)
        return py::item(table, 0);
    return {};
}

}  // namespace kor::host
