// Table profiling: one table's columns, on the calling thread or on a pool of workers.
#include "alerts/alerts.hpp"
#include "execution/execution.hpp"
#include "metrics/metrics.hpp"
#include "python/error.hpp"
#include "python/object.hpp"
#include "python/with_block.hpp"

namespace kor::execution {

namespace {

struct Coordinates {
    nb::object schema, table, database, target_name;
};

Coordinates read_coordinates(const Call& call, nb::handle node) {
    const bool is_source = py::is_instance(node, call.global("SourceDefinition"));
    Coordinates c;
    c.schema = node.attr("schema");
    if (is_source) {
        c.table = node.attr("identifier");
    } else {
        const nb::object alias = node.attr("alias");
        c.table = py::truthy(alias) ? alias : nb::object(node.attr("name"));
    }
    c.database = py::attribute_or(node, "database", nb::none());
    c.target_name = nb::none();
    if (py::has_attribute(node, "config")) {
        const nb::object config = node.attr("config");
        c.target_name = is_source ? config.attr("get")("target")
                                  : py::attribute_or(config, "target", nb::none());
    }
    return c;
}

// Declared columns, in declaration order; a missing or empty type reads as VARCHAR.
nb::list declared_columns(nb::handle node_columns) {
    nb::list column_info;
    const nb::object items = node_columns.attr("items")();
    for (nb::handle entry : items) {
        const auto [name, info] = py::unpack_pair(entry);
        const nb::object data_type = py::attribute_or(info, "data_type", nb::none());
        column_info.append(
            nb::make_tuple(name, py::truthy(data_type) ? data_type : nb::object(nb::str("VARCHAR"))));
    }
    return column_info;
}

nb::object failure_record(const Call& call, nb::handle col_name, nb::handle col_type,
                          nb::handle row_count, nb::handle exception) {
    nb::list alerts;
    alerts.append(alerts::profile_error(py::truncated(py::to_str(exception), 100)));
    const nb::object record = call.global("ColumnProfile")(
        nb::arg("column_name") = col_name, nb::arg("data_type") = col_type,
        nb::arg("row_count") = row_count, nb::arg("alerts") = alerts);
    metrics::mark_unmeasured(record);
    return record;
}

// Cancels the work items that no worker has taken up yet; running ones are left to finish.
void cancel_pending(nb::handle futures) {
    for (nb::handle future : futures)
        future.attr("cancel")();
}

}  // namespace

nb::object execute_profile(const Call& call, nb::handle node) {
    const nb::handle self = call.self();
    nb::list columns;

    const Coordinates c = read_coordinates(call, node);
    const nb::object adapter = self.attr("_get_adapter")(c.target_name);

    const nb::object node_columns = py::attribute_or(node, "columns", nb::dict());
    const nb::object column_info =
        py::truthy(node_columns)
            ? nb::object(declared_columns(node_columns))
            : self.attr("_get_columns_from_db")(adapter, c.database, c.schema, c.table);

    if (!py::truthy(column_info)) {
        const nb::object row_count =
            self.attr("_get_row_count")(adapter, c.database, c.schema, c.table);
        columns.append(call.global("ColumnProfile")(nb::arg("column_name") = "_table_",
                                                    nb::arg("data_type") = "TABLE",
                                                    nb::arg("row_count") = row_count));
        return columns;
    }

    const nb::object row_count = self.attr("_get_row_count")(adapter, c.database, c.schema, c.table);
    const nb::object threads = self.attr("_threads");
    const nb::int_ count(py::length(column_info));

    if (py::compare(threads, Py_GT, nb::int_(1)) && py::compare(count, Py_GT, nb::int_(1))) {
        const nb::object pool_size = py::compare(count, Py_LT, threads) ? nb::object(count) : threads;
        const nb::object executor_manager =
            call.global("ThreadPoolExecutor")(nb::arg("max_workers") = pool_size);
        py::with_block(executor_manager, [&](nb::handle executor) {
            nb::dict futures;
            try {
                const nb::object profile_column = self.attr("_profile_column_sql");
                for (nb::handle pair : column_info) {
                    const auto [col_name, col_type] = py::unpack_pair(pair);
                    const nb::object future = executor.attr("submit")(
                        profile_column, adapter, c.database, c.schema, c.table, col_name,
                        col_type, row_count);
                    futures[future] = nb::make_tuple(col_name, col_type);
                }
                // Waiting happens inside as_completed, which releases the GIL.
                const nb::object completed = call.global("as_completed")(futures);
                for (nb::handle future : completed) {
                    columns.append(py::absorb_exception(
                        [&] { return future.attr("result")(); },
                        [&](nb::object exception) {
                            // The column keeps a record whose alert carries the failure.
                            const auto [col_name, col_type] = py::unpack_pair(futures[future]);
                            return failure_record(call, col_name, col_type, row_count, exception);
                        }));
                }
            } catch (nb::python_error& error) {
                if (py::is_exception(error))
                    throw;
                // An interrupt or exit request must not wait for a wide table's queued
                // columns: the pool's exit then waits only for the columns already running.
                cancel_pending(futures);
                throw;
            }
        });
    } else {
        for (nb::handle pair : column_info) {
            const auto [col_name, col_type] = py::unpack_pair(pair);
            columns.append(self.attr("_profile_column_sql")(adapter, c.database, c.schema,
                                                           c.table, col_name, col_type, row_count));
        }
    }
    return columns;
}

}  // namespace kor::execution
