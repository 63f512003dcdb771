// Pieces shared by the metric queries: the count columns, the counts and the percentages.
#pragma once

#include "host/adapter.hpp"
#include "python/error.hpp"
#include "python/method.hpp"
#include "python/object.hpp"
#include "python/text.hpp"

#include <utility>

namespace kor::metrics {

namespace nb = nanobind;

// `ColumnProfile(column_name=col_name, data_type=col_type, row_count=row_count)`.
nb::object new_profile(const py::Call& call, nb::handle col_name, nb::handle col_type,
                       nb::handle row_count);

// Starts a metric query: SELECT with the null_count and distinct_count columns of `quoted_col`.
py::Text count_query(nb::handle quoted_col);

// `int(value or 0)`.
nb::object count_of(nb::handle value);

// Sets null_count and distinct_count from the first two cells of `row`, in that order.
void set_counts(nb::handle profile, nb::handle row);

// When `row_count > 0`: the null and distinct percentages from the profile's counts.
void set_percentages(nb::handle profile, nb::handle row_count);

// A value as the warehouse gave it, as exact text: ISO-8601 for dates and times (with their
// offset where they have one), every digit of a number, text as it is; None stays None.
nb::object exact_text(nb::handle value);

// Whether the mode asks for values of the data: every mode but "sensitive".
bool asks_for_values(const py::Call& call);

// Whether a profiling mode asks for distributions (quartiles, histograms): "explorative" and
// "time-series".
bool asks_for_distributions(nb::handle mode);

// Adds the column's MIN and MAX (as min_val, max_val) to a metric query.
void add_extremes(py::Text& sql, nb::handle quoted_col);

// Sets min_exact and max_exact from the two cells of `row` from `first` on.
void set_exact_extremes(nb::handle profile, nb::handle row, Py_ssize_t first);

// The arguments every metric method takes after `self`, by name.
struct MetricArguments {
    nb::handle adapter, fqn, quoted_col, col_name, col_type, row_count;
};

// The query work of a metric method that falls back to the basic metrics: runs `sql` in the
// profile connection, hands the first row (when there is one) to `read_row(profile, row)`,
// sets the percentages and runs `then(profile)`. On an `Exception` anywhere in that work the
// partial profile is dropped and `_profile_basic_column` answers instead.
template <class ReadRow, class Then>
nb::object profile_or_basic(const py::Call& call, const MetricArguments& a, nb::handle sql,
                            ReadRow&& read_row, Then&& then) {
    const nb::object profile = new_profile(call, a.col_name, a.col_type, a.row_count);
    return py::absorb_exception(
        [&] {
            host::query(a.adapter, sql, [&](nb::handle table) {
                if (const nb::object row = host::first_row(table); row.is_valid())
                    read_row(nb::handle(profile), nb::handle(row));
            });
            set_percentages(profile, a.row_count);
            std::forward<Then>(then)(nb::handle(profile));
            return profile;
        },
        [&] {
            // The basic metrics stand in for a query the warehouse could not answer.
            return call.self().attr("_profile_basic_column")(a.adapter, a.fqn, a.quoted_col,
                                                             a.col_name, a.col_type, a.row_count);
        });
}

}  // namespace kor::metrics
