// Adding a table record to the run's totals.
#include "execution/totals.hpp"

#include "python/object.hpp"

namespace kor::execution {

namespace {

// `result.<total> += amount`.
void increase(nb::handle result, const char* total, nb::handle amount) {
    nb::object sum = result.attr(total);
    sum += amount;
    result.attr(total) = sum;
}

}  // namespace

void add_to_totals(nb::handle result, nb::handle profile) {
    result.attr("profiles").attr("append")(profile);
    increase(result, "tables_profiled", nb::int_(1));
    increase(result, "total_rows", profile.attr("row_count"));
    increase(result, "total_columns", profile.attr("column_count"));
    increase(result, "total_alerts", nb::int_(py::length(profile.attr("alerts"))));
}

}  // namespace kor::execution
