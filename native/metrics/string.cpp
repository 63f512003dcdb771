// Text metrics: counts, the shortest, longest and average length, and the extremes in one
// query.
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"

namespace kor::metrics {

nb::object profile_string_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                 nb::handle quoted_col, nb::handle col_name, nb::handle col_type,
                                 nb::handle row_count) {
    // The extremes in the warehouse's own ordering of the text; none in sensitive mode.
    const bool with_extremes = asks_for_values(call);
    py::Text text = count_query(quoted_col);
    text << ",\n                MIN(LENGTH(" << quoted_col << ")) as min_len,\n"
         << "                MAX(LENGTH(" << quoted_col << ")) as max_len,\n"
         << "                AVG(LENGTH(" << quoted_col << ")) as avg_len";
    if (with_extremes)
        add_extremes(text, quoted_col);
    text << "\n            FROM " << fqn << "\n        ";
    const nb::str sql = text.str();
    return profile_or_basic(
        call, {adapter, fqn, quoted_col, col_name, col_type, row_count}, sql,
        [with_extremes](nb::handle profile, nb::handle row) {
            set_counts(profile, row);
            profile.attr("min_length") = py::optional(py::item(row, 2), py::to_int);
            profile.attr("max_length") = py::optional(py::item(row, 3), py::to_int);
            profile.attr("avg_length") = py::optional(py::item(row, 4), py::to_float);
            if (with_extremes)
                set_exact_extremes(profile, row, 5);
        },
        [](nb::handle) {});
}

}  // namespace kor::metrics
