// Histograms: exact counts of a numeric column in equal-width bins, of a dated column by a
// period chosen from its range; one query per column, from the extremes already measured.
#include "host/adapter.hpp"
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"
#include "python/class_builder.hpp"
#include "python/error.hpp"
#include "python/object.hpp"
#include "python/text.hpp"

namespace kor::metrics {

namespace {

constexpr long numeric_bins = 10;

nb::dict bin(nb::handle low, nb::handle high, nb::handle count) {
    nb::dict entry;
    entry["low"] = low;
    entry["high"] = high;
    entry["count"] = count;
    return entry;
}

// Equal-width bins between the measured minimum and maximum. The bin of a value is worked out
// by the warehouse in one portable expression of doubles, so every warehouse puts a value in
// the same bin; the maximum, which would open a bin of its own, is clamped into the last.
void numeric_histogram(nb::handle adapter, nb::handle fqn, nb::handle quoted_col,
                       nb::handle profile) {
    const nb::object low = profile.attr("min_value");
    const nb::object high = profile.attr("max_value");
    if (low.is_none() || high.is_none())
        return;
    nb::list histogram;
    if (!py::compare(high, Py_GT, low)) {
        // One value: one bin holds every non-null row.
        histogram.append(bin(low, high, profile.attr("row_count") - profile.attr("null_count")));
        profile.attr("histogram") = histogram;
        return;
    }
    const nb::object bins = nb::int_(numeric_bins);
    const nb::object width = (high - low) / bins;
    const nb::str sql = (py::Text() << "\n                SELECT LEAST(CAST(FLOOR((CAST("
                                    << quoted_col << " AS DOUBLE PRECISION) - (" << low
                                    << ")) / " << width << ") AS INTEGER), "
                                    << nb::int_(numeric_bins - 1)
                                    << ") as bin, COUNT(*) as cnt\n                FROM " << fqn
                                    << "\n                WHERE " << quoted_col
                                    << " IS NOT NULL\n                GROUP BY 1\n            ")
                             .str();
    host::query(adapter, sql, [&](nb::handle table) {
        nb::dict counts;
        for (nb::handle row : table)
            counts[py::to_int(py::item(row, 0))] = py::to_int(py::item(row, 1));
        for (long i = 0; i < numeric_bins; ++i) {
            const nb::object edge = low + width * nb::int_(i);
            const nb::object next = i + 1 == numeric_bins ? high : low + width * nb::int_(i + 1);
            histogram.append(bin(edge, next, counts.attr("get")(nb::int_(i), nb::int_(0))));
        }
        profile.attr("histogram") = histogram;
    });
}

// Days a period may cover at most: day buckets up to two months, weeks up to a year, months
// up to ten years, years beyond.
const char* period_for(long days) {
    if (days <= 62)
        return "day";
    if (days <= 366)
        return "week";
    if (days <= 3660)
        return "month";
    return "year";
}

void temporal_histogram(nb::handle adapter, nb::handle fqn, nb::handle quoted_col,
                        nb::handle profile) {
    const nb::object first = profile.attr("min_exact");
    const nb::object last = profile.attr("max_exact");
    if (first.is_none() || last.is_none())
        return;
    const nb::object parse = py::import_from("datetime", "datetime").attr("fromisoformat");
    const nb::object span = parse(last) - parse(first);
    const char* const period = period_for(nb::cast<long>(span.attr("days")));
    const nb::str sql = (py::Text() << "\n                SELECT DATE_TRUNC('" << period << "', "
                                    << quoted_col << ") as bucket, COUNT(*) as cnt\n"
                                    << "                FROM " << fqn << "\n                WHERE "
                                    << quoted_col << " IS NOT NULL\n                GROUP BY "
                                    << "DATE_TRUNC('" << period << "', " << quoted_col
                                    << ")\n                ORDER BY 1\n            ")
                             .str();
    host::query(adapter, sql, [&](nb::handle table) {
        nb::list histogram;
        for (nb::handle row : table) {
            nb::dict entry;
            entry["period"] = period;
            entry["start"] = exact_text(py::item(row, 0));
            entry["count"] = py::to_int(py::item(row, 1));
            histogram.append(entry);
        }
        profile.attr("histogram") = histogram;
    });
}

}  // namespace

nb::object add_histogram(const Call&, nb::handle adapter, nb::handle fqn, nb::handle quoted_col,
                         nb::handle profile) {
    py::absorb_exception(
        [&] {
            const nb::object kind = profile.attr("column_kind");
            if (py::compare(kind, Py_EQ, nb::str("numeric")))
                numeric_histogram(adapter, fqn, quoted_col, profile);
            else if (py::compare(kind, Py_EQ, nb::str("temporal")))
                temporal_histogram(adapter, fqn, quoted_col, profile);
        },
        [] {
            // A histogram is optional: a warehouse that cannot bin leaves the profile without.
        });
    return nb::none();
}

}  // namespace kor::metrics
