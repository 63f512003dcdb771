// Node profiling: one selected source or model becomes a success or an error record.
#include "execution/execution.hpp"
#include "host/clock.hpp"
#include "python/error.hpp"
#include "python/object.hpp"

namespace kor::execution {

namespace {

struct Naming {
    nb::object source_name, table_name, connection_name;
};

Naming name_node(const Call& call, nb::handle node) {
    const nb::str fallback("default");
    if (py::is_instance(node, call.global("SourceDefinition"))) {
        const nb::object config = py::attribute_or(node, "config", nb::dict());
        return {node.attr("source_name"), node.attr("identifier"),
                config.attr("get")("target", fallback)};
    }
    nb::object connection_name = fallback;
    if (py::has_attribute(node, "config"))
        connection_name = py::attribute_or(node.attr("config"), "target", fallback);
    return {nb::str("models"), node.attr("name"), connection_name};
}

}  // namespace

// `index` and `total` are checked as integers by the binding and play no further part.
nb::object profile_node(const Call& call, nb::handle node, nb::handle /*index*/,
                        nb::handle /*total*/) {
    const nb::handle self = call.self();
    const nb::object start_time = host::now(call);
    const Naming naming = name_node(call, node);
    const nb::object table_profile = call.global("TableProfile");

    return py::absorb_exception(
        [&] {
            const nb::object columns = self.attr("_execute_profile")(node);
            const nb::object duration_ms = host::elapsed_ms(call, start_time);
            const nb::object row_count = py::truthy(columns)
                ? nb::object(py::item(columns, 0).attr("row_count"))
                : nb::int_(0);
            nb::list alerts;
            for (nb::handle column : columns)
                alerts.attr("extend")(column.attr("alerts"));
            return table_profile(
                nb::arg("source_name") = naming.source_name,
                nb::arg("table_name") = naming.table_name,
                nb::arg("connection_name") = naming.connection_name,
                nb::arg("row_count") = row_count,
                nb::arg("column_count") = nb::int_(py::length(columns)),
                nb::arg("columns") = columns, nb::arg("profile_mode") = self.attr("profile_mode"),
                nb::arg("profiled_at") = call.global("datetime").attr("now")(),
                nb::arg("duration_ms") = duration_ms, nb::arg("alerts") = alerts,
                nb::arg("status") = "success");
        },
        [&](nb::object exception) {
            // A failing table becomes data: its error record, and the run goes on.
            const nb::object duration_ms = host::elapsed_ms(call, start_time);
            return table_profile(
                nb::arg("source_name") = naming.source_name,
                nb::arg("table_name") = naming.table_name,
                nb::arg("connection_name") = naming.connection_name, nb::arg("row_count") = 0,
                nb::arg("column_count") = 0, nb::arg("columns") = nb::list(),
                nb::arg("profile_mode") = self.attr("profile_mode"),
                nb::arg("profiled_at") = call.global("datetime").attr("now")(),
                nb::arg("duration_ms") = duration_ms, nb::arg("status") = "error",
                nb::arg("error") = py::to_str(exception));
        });
}

}  // namespace kor::execution
