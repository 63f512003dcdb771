// Histograms: exact counts of a numeric column in equal-width bins, of a dated column by a
// period chosen from its range; one query per column, from the extremes already measured.
#include "host/adapter.hpp"
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"
#include "python/class_builder.hpp"
#include "python/error.hpp"
#include "python/object.hpp"
#include "python/text.hpp"

#include <algorithm>
#include <array>

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

// A column whose values repeat this many times on average is counted by value first, so the
// bin expression runs once a value instead of once a row; below it, grouping the values costs
// more than it saves.
constexpr long rows_per_value_to_count_first = 100;

// What a histogram's query groups: the table's rows, or the counts of each distinct value.
struct Grouped {
    nb::str from;
    nb::str value;
    const char* count;
};

Grouped grouped(nb::handle fqn, nb::handle quoted_col, nb::handle profile) {
    const nb::object distinct = profile.attr("distinct_count");
    const nb::object rows = profile.attr("row_count");
    if (distinct.is_none() || rows.is_none() ||
        py::compare(distinct * nb::int_(rows_per_value_to_count_first), Py_GT, rows))
        return {nb::borrow<nb::str>(fqn), nb::borrow<nb::str>(quoted_col), "COUNT(*)"};
    return {(py::Text() << "(SELECT " << quoted_col << " AS v, COUNT(*) AS n FROM " << fqn
                        << " GROUP BY 1) AS counted")
                .str(),
            nb::str("v"), "SUM(n)"};
}

// Equal-width bins between the measured minimum and maximum. The bin of a value is worked out
// by the warehouse in one portable expression of doubles, so every warehouse puts a value in
// the same bin. The maximum, which opens a bin of its own, is clamped into the last one here,
// and the NULL group is dropped here too: a CASE or a filter per row costs a scan's worth of
// time again on some warehouses.
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
    const Grouped rows = grouped(fqn, quoted_col, profile);
    const nb::str sql = (py::Text() << "\n                SELECT FLOOR((CAST(" << rows.value
                                    << " AS DOUBLE PRECISION) - (" << low << ")) / " << width
                                    << ") as bin, " << rows.count << " as cnt\n                FROM "
                                    << rows.from << "\n                GROUP BY 1\n            ")
                             .str();
    host::query(adapter, sql, [&](nb::handle table) {
        std::array<long long, numeric_bins> counts{};
        for (nb::handle row : table) {
            const nb::handle value = py::item(row, 0);
            if (value.is_none())
                continue;
            const long long at = nb::cast<long long>(py::to_int(value));
            counts[static_cast<std::size_t>(std::clamp<long long>(at, 0, numeric_bins - 1))] +=
                nb::cast<long long>(py::to_int(py::item(row, 1)));
        }
        for (long i = 0; i < numeric_bins; ++i) {
            const nb::object edge = low + width * nb::int_(i);
            const nb::object next = i + 1 == numeric_bins ? high : low + width * nb::int_(i + 1);
            histogram.append(bin(edge, next, nb::int_(counts[static_cast<std::size_t>(i)])));
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
    const Grouped rows = grouped(fqn, quoted_col, profile);
    const nb::str sql = (py::Text() << "\n                SELECT DATE_TRUNC('" << period << "', "
                                    << rows.value << ") as bucket, " << rows.count << " as cnt\n"
                                    << "                FROM " << rows.from
                                    << "\n                WHERE " << rows.value
                                    << " IS NOT NULL\n                GROUP BY "
                                    << "DATE_TRUNC('" << period << "', " << rows.value
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
