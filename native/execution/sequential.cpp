// The plain driver: one line before and one after each node, on standard output.
#include "execution/execution.hpp"
#include "execution/totals.hpp"
#include "host/markup.hpp"
#include "python/object.hpp"
#include "python/text.hpp"

namespace kor::execution {

nb::object profile_without_progress(const Call& call, nb::handle nodes, nb::handle result) {
    const nb::handle self = call.self();
    Py_ssize_t i = 0;
    for (nb::handle node : nodes) {
        ++i;
        const nb::object node_name = self.attr("_get_node_display_name")(node);
        const nb::int_ index(i), total(py::length(nodes));
        py::print((py::Text() << "  [" << index << "/" << total << "] Profiling "
                              << host::visible(node_name) << "...")
                      .str());
        const nb::object profile =
            self.attr("_profile_node")(node, index, nb::int_(py::length(nodes)));
        if (!py::truthy(profile))
            continue;
        add_to_totals(result, profile);
        store(self, result, profile);
        const char* const status =
            py::compare(profile.attr("status"), Py_EQ, nb::str("success")) ? "OK" : "FAIL";
        py::print((py::Text() << "       " << status << " ("
                              << py::format(profile.attr("row_count"), ",") << " rows, "
                              << profile.attr("column_count") << " cols)")
                      .str());
    }
    return nb::borrow(result);
}

}  // namespace kor::execution
