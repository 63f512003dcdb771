// Profiling execution: table introspection, table and node profiling, the two drivers.
#pragma once

#include "python/method.hpp"

namespace kor::execution {

namespace nb = nanobind;
using py::Call;

nb::object profile_with_progress(const Call& call);
nb::object profile_without_progress(const Call& call);
nb::object profile_node(const Call& call);
nb::object execute_profile(const Call& call);
nb::object get_adapter(const Call& call);
nb::object get_columns_from_db(const Call& call);
nb::object get_row_count(const Call& call);
nb::object build_fqn(const Call& call);

}  // namespace kor::execution
