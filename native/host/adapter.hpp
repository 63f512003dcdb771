// The warehouse adapter as the task uses it: every call inside the "profile" connection.
#pragma once

#include "python/object.hpp"
#include "python/with_block.hpp"

#include <nanobind/nanobind.h>

namespace kor::host {

namespace nb = nanobind;

// `adapter.connection_named("profile")`.
nb::object profile_connection(nb::handle adapter);

// `_, table = adapter.execute(sql, fetch=True)`.
nb::object fetch(nb::handle adapter, nb::handle sql);

// Runs `sql` inside the profile connection block and hands the result table to `body`, still
// inside the block. Returns false when the block's exit swallowed an exception.
template <class Body>
bool query(nb::handle adapter, nb::handle sql, Body&& body) {
    return py::with_block(profile_connection(adapter),
                          [&](nb::handle) { body(nb::handle(fetch(adapter, sql))); });
}

// `adapter.column_kind(col_type)`: the kind the warehouse's type names ("numeric", "text",
// "temporal", "boolean", "nested", "other"), or None when the adapter does not know the type
// or names no kinds at all.
nb::object column_kind(nb::handle adapter, nb::handle col_type);

// The first row of a result table, or an invalid object when it has none.
nb::object first_row(nb::handle table);

}  // namespace kor::host
