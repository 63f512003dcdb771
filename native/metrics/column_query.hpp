// Pieces shared by the metric queries: the count columns, the counts and the percentages.
#pragma once

#include "python/method.hpp"
#include "python/text.hpp"

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

}  // namespace kor::metrics
