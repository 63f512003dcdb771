// Methods of this subsystem that are not built yet.
#include "metrics/metrics.hpp"

#include "python/error.hpp"

namespace kor::metrics {

nb::object profile_column_sql(const Call&) { py::raise(PyExc_NotImplementedError, "profile_column_sql is not built yet"); }
nb::object profile_numeric_column(const Call&) { py::raise(PyExc_NotImplementedError, "profile_numeric_column is not built yet"); }
nb::object profile_string_column(const Call&) { py::raise(PyExc_NotImplementedError, "profile_string_column is not built yet"); }
nb::object profile_basic_column(const Call&) { py::raise(PyExc_NotImplementedError, "profile_basic_column is not built yet"); }
nb::object add_percentiles(const Call&) { py::raise(PyExc_NotImplementedError, "add_percentiles is not built yet"); }
nb::object add_top_values(const Call&) { py::raise(PyExc_NotImplementedError, "add_top_values is not built yet"); }

}  // namespace kor::metrics
