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

// Where a row field comes from: the table's profile for these, JSON text of the column's
// list for those, the column's attribute of the same name for every other field.
constexpr std::array<const char*, 4> table_fields = {"source_name", "table_name", "profile_mode",
                                                     "profiled_at"};
constexpr std::array<const char*, 3> json_fields = {"histogram", "top_values", "alerts"};

template <std::size_t N>
bool is_one_of(nb::handle name, const std::array<const char*, N>& names) {
    for (const char* candidate : names)
        if (py::compare(name, Py_EQ, nb::str(candidate)))
            return true;
    return false;
}

// The row record's fields, in its order: declared once, by the record.
nb::object build_row(const Call& call, nb::handle row_type, nb::handle profile, nb::handle col) {
    nb::dict keywords;
    const nb::object fields = py::import_from("dataclasses", "fields")(row_type);
    for (nb::handle field : fields) {
        const nb::object name = field.attr("name");
        const bool from_table = is_one_of(name, table_fields);
        nb::object value = nb::getattr(from_table ? profile : col, name);
        if (!from_table && is_one_of(name, json_fields))
            value = py::truthy(value) ? call.global("json").attr("dumps")(value) : nb::none();
        keywords[name] = value;
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
