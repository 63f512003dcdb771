// Column metrics: the dispatcher and the metric queries.
#pragma once

#include "python/method.hpp"

namespace kor::metrics {

namespace nb = nanobind;
using py::Call;

nb::object profile_column_sql(const Call& call, nb::handle adapter, nb::handle database,
                              nb::handle schema, nb::handle table, nb::handle col_name,
                              nb::handle col_type, nb::handle row_count);
nb::object profile_numeric_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                  nb::handle quoted_col, nb::handle col_name, nb::handle col_type,
                                  nb::handle row_count);
nb::object profile_string_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                 nb::handle quoted_col, nb::handle col_name, nb::handle col_type,
                                 nb::handle row_count);
nb::object profile_temporal_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                   nb::handle quoted_col, nb::handle col_name,
                                   nb::handle col_type, nb::handle row_count);
nb::object profile_boolean_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                  nb::handle quoted_col, nb::handle col_name,
                                  nb::handle col_type, nb::handle row_count);
nb::object profile_basic_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                nb::handle quoted_col, nb::handle col_name, nb::handle col_type,
                                nb::handle row_count);
nb::object add_percentiles(const Call& call, nb::handle adapter, nb::handle fqn,
                           nb::handle quoted_col, nb::handle profile);
nb::object add_histogram(const Call& call, nb::handle adapter, nb::handle fqn,
                         nb::handle quoted_col, nb::handle profile);
nb::object add_top_values(const Call& call, nb::handle adapter, nb::handle fqn,
                          nb::handle quoted_col, nb::handle profile);

// Marks a column whose profiling failed: its null and distinct counts and percentages were not
// measured, so they become None instead of zeros that would read as a clean column. The row
// count stays; it was measured once for the whole table.
void mark_unmeasured(nb::handle profile);

}  // namespace kor::metrics
