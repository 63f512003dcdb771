// Numeric metrics: counts, minimum, maximum, mean and standard deviation in one query.
#include "host/adapter.hpp"
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"
#include "python/error.hpp"
#include "python/object.hpp"

namespace kor::metrics {

nb::object profile_numeric_column(const Call& call) {
    const nb::handle self = call.self();
    const nb::handle adapter = call[1], fqn = call[2], quoted_col = call[3];
    const nb::handle col_name = call[4], col_type = call[5], row_count = call[6];
    const nb::object profile = new_profile(call, col_name, col_type, row_count);
    const nb::str sql = (count_query(quoted_col)
                         << ",\n                MIN(" << quoted_col << ") as min_val,\n"
                         << "                MAX(" << quoted_col << ") as max_val,\n"
                         << "                AVG(CAST(" << quoted_col
                         << " AS DOUBLE PRECISION)) as mean_val,\n                STDDEV(CAST("
                         << quoted_col << " AS DOUBLE PRECISION)) as stddev_val\n            FROM "
                         << fqn << "\n        ")
                            .str();
    try {
        host::query(adapter, sql, [&](nb::handle table) {
            const nb::object row = host::first_row(table);
            if (!row.is_valid())
                return;
            set_counts(profile, row);
            profile.attr("min_value") = py::optional(py::item(row, 2), py::to_float);
            profile.attr("max_value") = py::optional(py::item(row, 3), py::to_float);
            profile.attr("mean_value") = py::optional(py::item(row, 4), py::to_float);
            profile.attr("stddev_value") = py::optional(py::item(row, 5), py::to_float);
        });
        set_percentages(profile, row_count);
        const nb::object mode = self.attr("profile_mode");
        if (py::compare(mode, Py_EQ, nb::str("explorative")) ||
            py::compare(mode, Py_EQ, nb::str("time-series")))
            self.attr("_add_percentiles")(adapter, fqn, quoted_col, profile);
    } catch (nb::python_error& error) {
        if (!py::is_exception(error))
            throw;
        // Whatever the numeric query found is dropped: the basic metrics stand in for it.
        return self.attr("_profile_basic_column")(adapter, fqn, quoted_col, col_name, col_type,
                                                  row_count);
    }
    return profile;
}

}  // namespace kor::metrics
