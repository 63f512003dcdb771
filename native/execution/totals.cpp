// Adding a table record to the run's totals, and storing it.
#include "execution/totals.hpp"

#include "python/object.hpp"
#include "python/text.hpp"

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

void store(nb::handle self, nb::handle result, nb::handle profile) {
    if (py::truthy(self.attr("_store_profile")(profile)))
        return;
    result.attr("errors").attr("append")((py::Text() << profile.attr("source_name") << "."
                                                     << profile.attr("table_name")
                                                     << ": profile results not stored")
                                             .str());
}

}  // namespace kor::execution
