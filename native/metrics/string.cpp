// Text metrics: counts and the shortest, longest and average length in one query.
#include "host/adapter.hpp"
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"
#include "python/error.hpp"
#include "python/object.hpp"

namespace kor::metrics {

nb::object profile_string_column(const Call& call) {
    const nb::handle self = call.self();
    const nb::handle adapter = call[1], fqn = call[2], quoted_col = call[3];
    const nb::handle col_name = call[4], col_type = call[5], row_count = call[6];
    const nb::object profile = new_profile(call, col_name, col_type, row_count);
    const nb::str sql = (count_query(quoted_col)
                         << ",\n                MIN(LENGTH(" << quoted_col << ")) as min_len,\n"
                         << "                MAX(LENGTH(" << quoted_col << ")) as max_len,\n"
                         << "                AVG(LENGTH(" << quoted_col
                         << ")) as avg_len\n            FROM " << fqn << "\n        ")
                            .str();
    try {
        host::query(adapter, sql, [&](nb::handle table) {
            const nb::object row = host::first_row(table);
            if (!row.is_valid())
                return;
            set_counts(profile, row);
            profile.attr("min_length") = py::optional(py::item(row, 2), py::to_int);
            profile.attr("max_length") = py::optional(py::item(row, 3), py::to_int);
            profile.attr("avg_length") = py::optional(py::item(row, 4), py::to_float);
        });
        set_percentages(profile, row_count);
    } catch (nb::python_error& error) {
        if (!py::is_exception(error))
            throw;
        // The basic metrics stand in for a text query the warehouse could not answer.
        return self.attr("_profile_basic_column")(adapter, fqn, quoted_col, col_name, col_type,
                                                  row_count);
    }
    return profile;
}

}  // namespace kor::metrics
