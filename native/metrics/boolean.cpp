// Boolean metrics: counts and how many values are true and how many false, in one query.
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"

namespace kor::metrics {

nb::object profile_boolean_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                  nb::handle quoted_col, nb::handle col_name,
                                  nb::handle col_type, nb::handle row_count) {
    // CASE rather than FILTER or a cast to integer: every warehouse takes it alike.
    const nb::str sql = (count_query(quoted_col)
                         << ",\n                SUM(CASE WHEN " << quoted_col
                         << " THEN 1 ELSE 0 END) as true_count,\n                SUM(CASE WHEN NOT "
                         << quoted_col << " THEN 1 ELSE 0 END) as false_count\n            FROM "
                         << fqn << "\n        ")
                            .str();
    return profile_or_basic(
        call, {adapter, fqn, quoted_col, col_name, col_type, row_count}, sql,
        [](nb::handle profile, nb::handle row) {
            set_counts(profile, row);
            // SUM over no rows is NULL: no value is true and none false.
            profile.attr("true_count") = count_of(py::item(row, 2));
            profile.attr("false_count") = count_of(py::item(row, 3));
        },
        [](nb::handle) {});
}

}  // namespace kor::metrics
