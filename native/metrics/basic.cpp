// Basic metrics for any column: null and distinct counts and their percentages.
#include "alerts/alerts.hpp"
#include "host/adapter.hpp"
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"
#include "python/error.hpp"

namespace kor::metrics {

nb::object profile_basic_column(const Call& call, nb::handle adapter, nb::handle fqn,
                                nb::handle quoted_col, nb::handle col_name, nb::handle col_type,
                                nb::handle row_count) {
    const nb::object profile = new_profile(call, col_name, col_type, row_count);
    const nb::str sql = (count_query(quoted_col) << "\n            FROM " << fqn << "\n        ").str();
    py::absorb_exception(
        [&] {
            host::query(adapter, sql, [&](nb::handle table) {
                if (const nb::object row = host::first_row(table); row.is_valid())
                    set_counts(profile, row);
            });
            set_percentages(profile, row_count);
        },
        [&](nb::object exception) {
            // Zero counts would read as a clean column: the counts are left unmeasured and the
            // alert says the query failed.
            mark_unmeasured(profile);
            alerts::note_profile_error(profile, exception);
        });
    return profile;
}

}  // namespace kor::metrics
