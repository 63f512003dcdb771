// Temporal metrics: counts and the earliest and latest value, exact, in one query.
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"

namespace kor::metrics {

nb::object profile_temporal_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                   nb::handle quoted_col, nb::handle col_name,
                                   nb::handle col_type, nb::handle row_count) {
    // The earliest and latest values are values of the data: none in sensitive mode.
    const bool with_extremes = asks_for_values(call);
    py::Text text = count_query(quoted_col);
    if (with_extremes)
        add_extremes(text, quoted_col);
    text << "\n            FROM " << fqn << "\n        ";
    const nb::str sql = text.str();
    return profile_or_basic(
        call, {adapter, fqn, quoted_col, col_name, col_type, row_count}, sql,
        [with_extremes](nb::handle profile, nb::handle row) {
            set_counts(profile, row);
            if (with_extremes)
                set_exact_extremes(profile, row, 2);
        },
        [](nb::handle) {});
}

}  // namespace kor::metrics
