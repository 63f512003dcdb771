// Numeric metrics: counts, minimum, maximum, mean and standard deviation in one query.
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"

namespace kor::metrics {

nb::object profile_numeric_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                  nb::handle quoted_col, nb::handle col_name, nb::handle col_type,
                                  nb::handle row_count) {
    const nb::handle self = call.self();
    // In sensitive mode no value of the data is asked for, so none can be stored: the
    // extremes are values, the mean and the deviation are not.
    const bool with_extremes = asks_for_values(call);
    py::Text text = count_query(quoted_col);
    if (with_extremes)
        add_extremes(text, quoted_col);
    text << ",\n                AVG(CAST(" << quoted_col
         << " AS DOUBLE PRECISION)) as mean_val,\n                STDDEV(CAST(" << quoted_col
         << " AS DOUBLE PRECISION)) as stddev_val\n            FROM " << fqn << "\n        ";
    const nb::str sql = text.str();
    return profile_or_basic(
        call, {adapter, fqn, quoted_col, col_name, col_type, row_count}, sql,
        [with_extremes](nb::handle profile, nb::handle row) {
            set_counts(profile, row);
            Py_ssize_t next = 2;
            if (with_extremes) {
                // The double beside the exact value: a BIGINT above 2**53 keeps its digits.
                set_exact_extremes(profile, row, next);
                profile.attr("min_value") = py::optional(py::item(row, next++), py::to_float);
                profile.attr("max_value") = py::optional(py::item(row, next++), py::to_float);
            }
            profile.attr("mean_value") = py::optional(py::item(row, next++), py::to_float);
            profile.attr("stddev_value") = py::optional(py::item(row, next), py::to_float);
        },
        [&](nb::handle profile) {
            if (asks_for_distributions(self.attr("profile_mode")))
                self.attr("_add_percentiles")(adapter, fqn, quoted_col, profile);
        });
}

}  // namespace kor::metrics
