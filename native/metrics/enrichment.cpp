// Best-effort enrichments of a column profile: quartiles and the most frequent values.
#include "host/adapter.hpp"
#include "metrics/metrics.hpp"
#include "python/error.hpp"
#include "python/object.hpp"
#include "python/text.hpp"

#include <cstddef>
#include <iterator>

namespace kor::metrics {

nb::object add_percentiles(const Call&, nb::handle adapter, nb::handle fqn, nb::handle quoted_col,
                           nb::handle profile) {
    py::absorb_exception(
        [&] {
            // Ordered by the value as a double, as the mean and deviation are taken: a DECIMAL
            // column would otherwise interpolate in its own type, cut to its scale.
            constexpr const char* quartiles[][2] = {{"0.25", "p25"}, {"0.50", "p50"},
                                                    {"0.75", "p75"}};
            py::Text text;
            text << "\n                SELECT";
            for (std::size_t i = 0; i < std::size(quartiles); ++i)
                text << (i == 0 ? "\n" : ",\n") << "                    PERCENTILE_CONT("
                     << quartiles[i][0] << ") WITHIN GROUP (ORDER BY CAST(" << quoted_col
                     << " AS DOUBLE PRECISION)) as " << quartiles[i][1];
            text << "\n                FROM " << fqn << "\n                WHERE " << quoted_col
                 << " IS NOT NULL\n            ";
            const nb::str sql = text.str();
            host::query(adapter, sql, [&](nb::handle table) {
                const nb::object row = host::first_row(table);
                if (!row.is_valid())
                    return;
                profile.attr("p25") = py::optional(py::item(row, 0), py::to_float);
                profile.attr("p50") = py::optional(py::item(row, 1), py::to_float);
                profile.attr("p75") = py::optional(py::item(row, 2), py::to_float);
                profile.attr("median_value") = profile.attr("p50");
            });
        },
        [] {
            // Quartiles are optional: a warehouse without them leaves the profile as it was.
        });
    return nb::none();
}

nb::object add_top_values(const Call&, nb::handle adapter, nb::handle fqn, nb::handle quoted_col,
                          nb::handle profile) {
    py::absorb_exception(
        [&] {
            // Ties are broken by the value, so the same data gives the same ten values on
            // every run, whatever order the warehouse grouped them in.
            const nb::str sql = (py::Text() << "\n                SELECT " << quoted_col
                                            << " as val, COUNT(*) as cnt\n                FROM "
                                            << fqn << "\n                WHERE " << quoted_col
                                            << " IS NOT NULL\n                GROUP BY "
                                            << quoted_col
                                            << "\n                ORDER BY cnt DESC, "
                                            << quoted_col
                                            << "\n                LIMIT 10\n            ")
                                    .str();
            host::query(adapter, sql, [&](nb::handle table) {
                if (!py::truthy(table))
                    return;
                nb::list top_values;
                for (nb::handle row : table) {
                    nb::dict entry;
                    entry["value"] = py::to_str(py::item(row, 0));
                    entry["count"] = py::to_int(py::item(row, 1));
                    top_values.append(entry);
                }
                // Assigned only once every row converted, so a bad row leaves the old value.
                profile.attr("top_values") = top_values;
            });
        },
        [] {
            // Top values are optional: any failure leaves the profile as it was.
        });
    return nb::none();
}

}  // namespace kor::metrics
