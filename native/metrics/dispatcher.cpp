// The column dispatcher: classify by type, profile, enrich, alert, time.
#include "alerts/alerts.hpp"
#include "host/adapter.hpp"
#include "host/clock.hpp"
#include "metrics/column_query.hpp"
#include "metrics/metrics.hpp"
#include "python/error.hpp"
#include "python/object.hpp"

#include <array>
#include <utility>

namespace kor::metrics {

namespace {

constexpr std::array<const char*, 9> numeric_types = {
    "int", "numeric", "decimal", "float", "double", "real", "number", "bigint", "smallint"};
constexpr std::array<const char*, 5> string_types = {"char", "varchar", "text", "string", "clob"};

constexpr long top_values_limit = 100;

template <std::size_t N>
bool mentions_any(nb::handle col_type_lower, const std::array<const char*, N>& keywords) {
    for (const char* keyword : keywords)
        if (py::contains(col_type_lower, nb::str(keyword)))
            return true;
    return false;
}

// How a column is profiled: its kind (None when neither the adapter nor the keywords name
// one) and the metric method of that kind.
struct Classified {
    nb::object kind;
    const char* method;
};

// By the kind the adapter names for the column's type, else by the keywords its type text
// mentions (numeric before textual).
Classified classify(nb::handle adapter, nb::handle col_type) {
    nb::object kind = host::column_kind(adapter, col_type);
    if (kind.is_none()) {
        const nb::object col_type_lower = col_type.attr("lower")();
        if (mentions_any(col_type_lower, numeric_types))
            kind = nb::str("numeric");
        else if (mentions_any(col_type_lower, string_types))
            kind = nb::str("text");
        else
            return {nb::none(), "_profile_basic_column"};
    }
    constexpr std::array<std::array<const char*, 2>, 4> methods = {{
        {"numeric", "_profile_numeric_column"},
        {"text", "_profile_string_column"},
        {"temporal", "_profile_temporal_column"},
        {"boolean", "_profile_boolean_column"},
    }};
    for (const auto& [name, method] : methods)
        if (py::compare(kind, Py_EQ, nb::str(name)))
            return {nb::str(name), method};
    // Nested and other kinds, and any kind this version does not know: counts.
    return {std::move(kind), "_profile_basic_column"};
}

}  // namespace

nb::object profile_column_sql(const Call& call, nb::handle adapter, nb::handle database,
                              nb::handle schema, nb::handle table, nb::handle col_name,
                              nb::handle col_type, nb::handle row_count) {
    const nb::handle self = call.self();

    const nb::object start_time = host::now(call);
    nb::object profile = new_profile(call, col_name, col_type, row_count);
    const nb::object fqn = self.attr("_build_fqn")(adapter, database, schema, table);
    const nb::object quoted_col = adapter.attr("quote")(col_name);

    bool measured = false;
    py::absorb_exception(
        [&] {
            const Classified column = classify(adapter, col_type);
            profile = self.attr(column.method)(adapter, fqn, quoted_col, col_name, col_type,
                                               row_count);
            measured = true;
            profile.attr("column_kind") = column.kind;

            const nb::object mode = self.attr("profile_mode");
            if (py::compare(mode, Py_NE, nb::str("sensitive"))) {
                const nb::object distinct_count = profile.attr("distinct_count");
                if (py::truthy(distinct_count) &&
                    py::compare(distinct_count, Py_LE, nb::int_(top_values_limit)))
                    self.attr("_add_top_values")(adapter, fqn, quoted_col, profile);
            }
            // Distributions where the mode asks for them, of the kinds that have one.
            if (asks_for_distributions(mode) &&
                (py::compare(column.kind, Py_EQ, nb::str("numeric")) ||
                 py::compare(column.kind, Py_EQ, nb::str("temporal"))))
                self.attr("_add_histogram")(adapter, fqn, quoted_col, profile);
        },
        [&](nb::object exception) {
            // The column still gets a record; the alert says why its metrics are missing, and
            // counts that no metric method returned are left unmeasured.
            if (!measured)
                mark_unmeasured(profile);
            alerts::note_profile_error(profile, exception);
        });

    profile.attr("alerts").attr("extend")(self.attr("_generate_alerts")(profile));
    profile.attr("duration_ms") = host::elapsed_ms(call, start_time);
    return profile;
}

}  // namespace kor::metrics
