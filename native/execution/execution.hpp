// Profiling execution: table introspection, table and node profiling, the two drivers.
#pragma once

#include "python/method.hpp"

namespace kor::execution {

namespace nb = nanobind;
using py::Call;

nb::object profile_with_progress(const Call& call, nb::handle nodes, nb::handle result);
nb::object profile_without_progress(const Call& call, nb::handle nodes, nb::handle result);
nb::object profile_node(const Call& call, nb::handle node, nb::handle index, nb::handle total);
nb::object execute_profile(const Call& call, nb::handle node);
nb::object get_adapter(const Call& call, nb::handle target_name);
nb::object get_columns_from_db(const Call& call, nb::handle adapter, nb::handle database,
                               nb::handle schema, nb::handle table);
nb::object get_row_count(const Call& call, nb::handle adapter, nb::handle database,
                         nb::handle schema, nb::handle table);
nb::object build_fqn(const Call& call, nb::handle adapter, nb::handle database, nb::handle schema,
                     nb::handle table);

}  // namespace kor::execution
