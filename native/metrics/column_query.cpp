// Pieces shared by the metric queries.
#include "metrics/column_query.hpp"

#include "metrics/metrics.hpp"
#include "python/class_builder.hpp"
#include "python/object.hpp"
#include "python/text.hpp"

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

nb::object exact_text(nb::handle value) {
    if (value.is_none())
        return nb::none();
    if (py::has_attribute(value, "isoformat"))
        return value.attr("isoformat")();
    // A Decimal's own text may be in exponent form ("1E+3"); "f" writes every digit.
    if (py::is_instance(value, py::import_from("decimal", "Decimal")))
        return py::format(value, "f");
    return py::to_str(value);
}

bool asks_for_values(const py::Call& call) {
    return py::compare(call.self().attr("profile_mode"), Py_NE, nb::str("sensitive"));
}

bool asks_for_distributions(nb::handle mode) {
    return py::compare(mode, Py_EQ, nb::str("explorative")) ||
           py::compare(mode, Py_EQ, nb::str("time-series"));
}

void add_extremes(py::Text& sql, nb::handle quoted_col) {
    sql << ",\n                MIN(" << quoted_col << ") as min_val,\n"
        << "                MAX(" << quoted_col << ") as max_val";
}

void set_exact_extremes(nb::handle profile, nb::handle row, Py_ssize_t first) {
    profile.attr("min_exact") = exact_text(py::item(row, first));
    profile.attr("max_exact") = exact_text(py::item(row, first + 1));
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
