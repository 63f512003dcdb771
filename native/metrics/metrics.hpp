// Column metrics: the dispatcher and the metric queries.
#pragma once

#include "python/method.hpp"

namespace kor::metrics {

namespace nb = nanobind;
using py::Call;

nb::object profile_column_sql(const Call& call);
nb::object profile_numeric_column(const Call& call);
nb::object profile_string_column(const Call& call);
nb::object profile_basic_column(const Call& call);
nb::object add_percentiles(const Call& call);
nb::object add_top_values(const Call& call);

}  // namespace kor::metrics
