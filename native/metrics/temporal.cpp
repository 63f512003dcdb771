// Temporal metrics: counts, the earliest and latest value (exact), and how fresh the column
// is, in one query.
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"
#include "python/class_builder.hpp"

namespace kor::metrics {

namespace {

// Whether the type holds a date (DATE, TIMESTAMP...), so its values can lie in the future; a
// time of day cannot be compared with the warehouse's clock.
bool has_date(nb::handle col_type) {
    const nb::object lower = col_type.attr("lower")();
    return py::contains(lower, nb::str("date")) || py::contains(lower, nb::str("timestamp"));
}

// Seconds from `latest` to `now`, both as the warehouse gave them: a date counts from its
// midnight, and a value without a time zone is read in the session's own, as the warehouse
// compares it with its clock.
nb::object age_seconds(nb::handle latest, nb::handle now) {
    if (latest.is_none() || now.is_none())
        return nb::none();
    const nb::object datetime_type = py::import_from("datetime", "datetime");
    nb::object start = nb::borrow(latest);
    if (!py::is_instance(start, datetime_type))
        start = datetime_type.attr("combine")(start, py::import_from("datetime", "time")());
    nb::object clock = nb::borrow(now);
    if (start.attr("tzinfo").is_none())
        clock = clock.attr("replace")(nb::arg("tzinfo") = nb::none());
    else if (clock.attr("tzinfo").is_none())
        start = start.attr("replace")(nb::arg("tzinfo") = nb::none());
    return (clock - start).attr("total_seconds")();
}

}  // namespace

nb::object profile_temporal_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                   nb::handle quoted_col, nb::handle col_name,
                                   nb::handle col_type, nb::handle row_count) {
    // The earliest and latest values are values of the data: none is kept in sensitive mode.
    // How many lie ahead of the warehouse's clock, and how old the latest is, are not values:
    // the latest is read for its age in every mode.
    const bool with_extremes = asks_for_values(call);
    const bool dated = has_date(col_type);
    py::Text text = count_query(quoted_col);
    if (with_extremes)
        add_extremes(text, quoted_col);
    if (dated && !with_extremes)
        text << ",\n                MAX(" << quoted_col << ") as latest_val";
    if (dated)
        text << ",\n                CURRENT_TIMESTAMP as now_val,\n"
             << "                SUM(CASE WHEN " << quoted_col
             << " > CURRENT_TIMESTAMP THEN 1 ELSE 0 END) as future_count";
    text << "\n            FROM " << fqn << "\n        ";
    const nb::str sql = text.str();
    return profile_or_basic(
        call, {adapter, fqn, quoted_col, col_name, col_type, row_count}, sql,
        [with_extremes, dated](nb::handle profile, nb::handle row) {
            set_counts(profile, row);
            if (with_extremes)
                set_exact_extremes(profile, row, 2);
            if (dated) {
                // The latest value is the maximum, asked for once.
                const Py_ssize_t latest = with_extremes ? 3 : 2;
                const Py_ssize_t next = with_extremes ? 4 : 3;
                profile.attr("freshness_seconds") =
                    age_seconds(py::item(row, latest), py::item(row, next));
                profile.attr("future_count") = count_of(py::item(row, next + 1));
            }
        },
        [](nb::handle) {});
}

}  // namespace kor::metrics
