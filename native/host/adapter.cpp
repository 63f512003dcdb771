// The warehouse adapter as the task uses it.
#include "host/adapter.hpp"

namespace kor::host {

nb::object profile_connection(nb::handle adapter) {
    return adapter.attr("connection_named")("profile");
}

nb::object fetch(nb::handle adapter, nb::handle sql) {
    return py::unpack_pair(adapter.attr("execute")(sql, nb::arg("fetch") = true)).second;
}

nb::object first_row(nb::handle table) {
    if (py::truthy(table) && py::length(table) > 0)
        return py::item(table, 0);
    return {};
}

}  // namespace kor::host
