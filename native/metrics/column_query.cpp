// Pieces shared by the metric queries.
#include "metrics/column_query.hpp"

#include "metrics/metrics.hpp"
#include "python/object.hpp"

#include <initializer_list>

namespace kor::metrics {

nb::object new_profile(const py::Call& call, nb::handle col_name, nb::handle col_type,
                       nb::handle row_count) {
    return call.global("ColumnProfile")(nb::arg("column_name") = col_name,
                                        nb::arg("data_type") = col_type,
                                        nb::arg("row_count") = row_count);
}

py::Text count_query(nb::handle quoted_col) {
    py::Text sql;
    sql << "\n            SELECT\n                COUNT(*) - COUNT(" << quoted_col
        << ") as null_count,\n                COUNT(DISTINCT " << quoted_col
        << ") as distinct_count";
    return sql;
}

nb::object count_of(nb::handle value) {
    return py::truthy(value) ? py::to_int(value) : nb::int_(0);
}

void set_counts(nb::handle profile, nb::handle row) {
    profile.attr("null_count") = count_of(py::item(row, 0));
    profile.attr("distinct_count") = count_of(py::item(row, 1));
}

namespace {

// `count / row_count * 100`: true division, unrounded.
nb::object percent(nb::handle count, nb::handle row_count) {
    return count / row_count * nb::int_(100);
}

}  // namespace

void mark_unmeasured(nb::handle profile) {
    for (const char* field : {"null_count", "null_percent", "distinct_count", "distinct_percent"})
        profile.attr(field) = nb::none();
}

void set_percentages(nb::handle profile, nb::handle row_count) {
    if (!py::compare(row_count, Py_GT, nb::int_(0)))
        return;
    profile.attr("null_percent") = percent(profile.attr("null_count"), row_count);
    profile.attr("distinct_percent") = percent(profile.attr("distinct_count"), row_count);
}

}  // namespace kor::metrics
