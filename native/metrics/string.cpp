// Text metrics: counts and the shortest, longest and average length in one query.
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"

namespace kor::metrics {

nb::object profile_string_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                 nb::handle quoted_col, nb::handle col_name, nb::handle col_type,
                                 nb::handle row_count) {
    const nb::str sql = (count_query(quoted_col)
                         << ",\n                MIN(LENGTH(" << quoted_col << ")) as min_len,\n"
                         << "                MAX(LENGTH(" << quoted_col << ")) as max_len,\n"
                         << "                AVG(LENGTH(" << quoted_col
                         << ")) as avg_len\n            FROM " << fqn << "\n        ")
                            .str();
    return profile_or_basic(
        call, {adapter, fqn, quoted_col, col_name, col_type, row_count}, sql,
        [](nb::handle profile, nb::handle row) {
            set_counts(profile, row);
            profile.attr("min_length") = py::optional(py::item(row, 2), py::to_int);
            profile.attr("max_length") = py::optional(py::item(row, 3), py::to_int);
            profile.attr("avg_length") = py::optional(py::item(row, 4), py::to_float);
        },
        [](nb::handle) {});
}

}  // namespace kor::metrics
