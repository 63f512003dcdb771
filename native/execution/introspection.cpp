// Table introspection: the adapter, quoted table names, column lists and row counts.
#include "execution/execution.hpp"

#include "host/adapter.hpp"
#include "python/class_builder.hpp"
#include "python/error.hpp"
#include "python/object.hpp"
#include "python/text.hpp"
#include "python/with_block.hpp"

namespace kor::execution {

nb::object get_adapter(const Call& call, nb::handle /*target_name*/) {
    // Every node of a run goes through the adapter of the task's runtime configuration;
    // the target name does not choose another one.
    const nb::object factory = py::import_from("kor.adapters.factory", "get_adapter");
    return factory(call.self().attr("runtime_config"));
}

nb::object build_fqn(const Call&, nb::handle adapter, nb::handle database, nb::handle schema,
                     nb::handle table) {
    nb::list parts;
    for (const nb::handle coordinate : {database, schema})
        if (py::truthy(coordinate))
            parts.append(adapter.attr("quote")(coordinate));
    parts.append(adapter.attr("quote")(table));
    return nb::str(".").attr("join")(parts);
}

// A listing that raises propagates, so that the node is reported as failed with the
// warehouse's reason instead of as a table without columns.
nb::object get_columns_from_db(const Call&, nb::handle adapter, nb::handle database,
                               nb::handle schema, nb::handle table) {
    nb::list columns;
    const nb::object relation = adapter.attr("Relation").attr("create")(
        nb::arg("database") = database, nb::arg("schema") = schema, nb::arg("identifier") = table);
    const bool completed = py::with_block(host::profile_connection(adapter), [&](nb::handle) {
        const nb::object listing = adapter.attr("get_columns_in_relation")(relation);
        for (nb::handle col : listing) {
            // Read before building the tuple: an error raised inside make_tuple aborts.
            const nb::object name = col.attr("name");
            const nb::object dtype = col.attr("dtype");
            columns.append(nb::make_tuple(name, dtype));
        }
    });
    // A listing failure that the connection block swallowed leaves no listing at all.
    return completed ? columns : nb::list();
}

nb::object get_row_count(const Call& call, nb::handle adapter, nb::handle database,
                         nb::handle schema, nb::handle table) {
    const nb::handle self = call.self();
    const nb::object fqn = py::absorb_exception(
        [&] { return self.attr("_build_fqn")(adapter, database, schema, table); },
        [] {
            // A name that cannot be built counts as an empty table (checked below).
            return nb::object();
        });
    if (!fqn.is_valid())
        return nb::int_(0);
    const nb::str sql = (py::Text() << "SELECT COUNT(*) as cnt FROM " << fqn).str();

    // A failing connection or query propagates, so that the node is reported as failed
    // instead of as an empty table.
    nb::object row_count = nb::int_(0);
    py::with_block(host::profile_connection(adapter), [&](nb::handle) {
        const nb::object answer = adapter.attr("execute")(sql, nb::arg("fetch") = true);
        py::absorb_exception(
            [&] {
                const nb::object result_table = py::unpack_pair(answer).second;
                if (py::truthy(result_table) && py::length(result_table) > 0)
                    row_count = py::to_int(py::item(py::item(result_table, 0), 0));
            },
            [] {
                // A result that cannot be read as a count stands for 0 rows.
            });
    });
    return row_count;
}

}  // namespace kor::execution
