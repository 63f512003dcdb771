// The store writer: one metadata-store row per profiled column.
#include "host/console.hpp"
#include "host/markup.hpp"
#include "python/class_builder.hpp"
#include "python/error.hpp"
#include "python/object.hpp"
#include "python/text.hpp"
#include "store/store.hpp"

#include <array>

namespace kor::store {

namespace {

// The row's fields in keyword order: where each comes from.
enum class From { table, column, json };
struct RowField {
    const char* keyword;
    From from;
    const char* attribute;
};

constexpr std::array<RowField, 25> row_fields = {{
    {"source_name", From::table, "source_name"},   {"table_name", From::table, "table_name"},
    {"column_name", From::column, "column_name"},  {"profile_mode", From::table, "profile_mode"},
    {"row_count", From::column, "row_count"},      {"null_count", From::column, "null_count"},
    {"null_percent", From::column, "null_percent"},
    {"distinct_count", From::column, "distinct_count"},
    {"distinct_percent", From::column, "distinct_percent"},
    {"min_value", From::column, "min_value"},      {"max_value", From::column, "max_value"},
    {"mean_value", From::column, "mean_value"},    {"median_value", From::column, "median_value"},
    {"stddev_value", From::column, "stddev_value"}, {"p25", From::column, "p25"},
    {"p50", From::column, "p50"},                  {"p75", From::column, "p75"},
    {"min_length", From::column, "min_length"},    {"max_length", From::column, "max_length"},
    {"avg_length", From::column, "avg_length"},    {"histogram", From::json, "histogram"},
    {"top_values", From::json, "top_values"},      {"alerts", From::json, "alerts"},
    {"profiled_at", From::table, "profiled_at"},   {"duration_ms", From::column, "duration_ms"},
}};

nb::object build_row(const Call& call, nb::handle row_type, nb::handle profile, nb::handle col) {
    nb::dict keywords;
    for (const RowField& field : row_fields) {
        const nb::handle owner = field.from == From::table ? profile : col;
        nb::object value = owner.attr(field.attribute);
        if (field.from == From::json)
            value = py::truthy(value) ? call.global("json").attr("dumps")(value) : nb::none();
        keywords[field.keyword] = value;
    }
    return row_type(**keywords);
}

// A storage warning; without Rich it is printed as plain text rather than lost.
void warn(const Call& call, nb::handle message) {
    if (host::has_rich(call))
        host::print_markup(call, (py::Text() << "[yellow]" << host::escaped(message)
                                             << "[/yellow]").str());
    else
        py::print(host::visible(message));
}

bool duckdb_available() {
    return py::absorb(
        PyExc_ImportError,
        [] {
            nb::module_::import_("duckdb");
            return true;
        },
        [] {
            // Without DuckDB there is no store; the caller warns that nothing is persisted.
            return false;
        });
}

}  // namespace

// True when every row of the table was handed to the store and the store closed.
nb::object store_profile(const Call& call, nb::handle profile) {
    const nb::handle self = call.self();
    const bool stored = py::absorb_exception(
        [&] {
            if (!duckdb_available()) {
                warn(call, nb::str("Warning: DuckDB not available. Profile results will not be "
                                   "persisted."));
                return false;
            }
            const nb::object store_type =
                py::import_from("kor.compute.metadata", "ProjectMetadataStore");
            const nb::object row_type =
                py::import_from("kor.compute.metadata", "ColumnProfileResult");
            const nb::object project_root =
                call.global("Path")(self.attr("runtime_config").attr("project_root"));
            const nb::object store = store_type(project_root);
            store.attr("initialize")();
            const nb::object columns = profile.attr("columns");
            for (nb::handle col : columns)
                store.attr("save_profile_result")(build_row(call, row_type, profile, col));
            store.attr("close")();
            return true;
        },
        [&](nb::object exception) {
            // Storage is best effort: the run goes on, the warning says what was lost and the
            // false return lets the driver count the table as not stored.
            warn(call, (py::Text() << "Warning: Could not store profile results: "
                                   << py::to_str(exception))
                           .str());
            return false;
        });
    return nb::bool_(stored);
}

}  // namespace kor::store
