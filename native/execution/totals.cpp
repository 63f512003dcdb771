// Adding a table record to the run's totals.
#include "execution/totals.hpp"

#include "python/error.hpp"
#include "python/object.hpp"

namespace kor::execution {

namespace {

void increase(nb::handle result, const char* total, nb::handle amount) {
    const nb::object sum = py::checked(PyNumber_InPlaceAdd(result.attr(total).ptr(), amount.ptr()));
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
