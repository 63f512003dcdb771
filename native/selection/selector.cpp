// The selector grammar ("source:", "model:", globs, exact names), exclusion and selection.
#include "selection/selection.hpp"

#include "python/object.hpp"
#include "python/text.hpp"

namespace kor::selection {

namespace {

// `for _, node in mapping.items(): visit(node)`; only the values are the project's nodes.
template <class Visit>
void for_each_node(nb::handle mapping, Visit&& visit) {
    const nb::object items = mapping.attr("items")();
    for (const nb::handle item : items) {
        const auto [unique_id, node] = py::unpack_pair(item);
        visit(node);
    }
}

nb::object sources_of(nb::handle self) { return self.attr("manifest").attr("sources"); }
nb::object nodes_of(nb::handle self) { return self.attr("manifest").attr("nodes"); }

// The tests one selector applies to many nodes, with their names made once per selector.
class NodeTests {
public:
    explicit NodeTests(nb::handle self) : self_(self) {}

    bool matches(nb::handle node, nb::handle pattern) const {
        return py::truthy(py::call_method(self_, matches_pattern_, node, pattern));
    }

    // `hasattr(node, "resource_type") and node.resource_type.value == "model"`.
    bool is_model(nb::handle node) const {
        return py::has_attribute(node, "resource_type") &&
               py::compare(node.attr(resource_type_).attr(value_), Py_EQ, model_);
    }

    // `source.name == selector or source.identifier == selector`.
    bool source_named(nb::handle source, nb::handle selector) const {
        return py::compare(source.attr(name_), Py_EQ, selector) ||
               py::compare(source.attr(identifier_), Py_EQ, selector);
    }

    // `hasattr(node, "name") and node.name == selector`, whatever the node's kind.
    bool node_named(nb::handle node, nb::handle selector) const {
        return py::has_attribute(node, "name") &&
               py::compare(node.attr(name_), Py_EQ, selector);
    }

private:
    nb::handle self_;
    const nb::str matches_pattern_{"_matches_pattern"};
    const nb::str resource_type_{"resource_type"};
    const nb::str value_{"value"};
    const nb::str model_{"model"};
    const nb::str name_{"name"};
    const nb::str identifier_{"identifier"};
};

// Calls `self.<method>(s)` for the item, or for each element when the item is a tuple, and
// hands every result to `take`. Only tuples are unpacked; anything else goes whole.
template <class Take>
void for_each_selector(nb::handle self, nb::handle items, const char* method, Take&& take) {
    const nb::str method_name(method);
    const nb::handle tuple_type(reinterpret_cast<PyObject*>(&PyTuple_Type));
    for (const nb::handle item : items) {
        if (py::is_instance(item, tuple_type)) {
            for (const nb::handle element : item)
                take(py::call_method(self, method_name, element));
        } else {
            take(py::call_method(self, method_name, item));
        }
    }
}

}  // namespace

nb::object parse_selector(const Call& call, nb::handle selector) {
    const nb::handle self = call.self();
    const NodeTests tests(self);
    nb::list nodes;

    if (py::starts_with(selector, "source:")) {
        const nb::str pattern = py::tail(selector, 7);
        for_each_node(sources_of(self), [&](nb::handle source) {
            if (tests.matches(source, pattern))
                nodes.append(source);
        });
    } else if (py::starts_with(selector, "model:")) {
        const nb::str pattern = py::tail(selector, 6);
        for_each_node(nodes_of(self), [&](nb::handle node) {
            if (tests.is_model(node) && tests.matches(node, pattern))
                nodes.append(node);
        });
    } else if (py::contains(selector, nb::str("*"))) {
        for_each_node(sources_of(self), [&](nb::handle source) {
            if (tests.matches(source, selector))
                nodes.append(source);
        });
        for_each_node(nodes_of(self), [&](nb::handle node) {
            if (tests.is_model(node) && tests.matches(node, selector))
                nodes.append(node);
        });
    } else {
        for_each_node(sources_of(self), [&](nb::handle source) {
            if (tests.source_named(source, selector))
                nodes.append(source);
        });
        for_each_node(nodes_of(self), [&](nb::handle node) {
            if (tests.node_named(node, selector))
                nodes.append(node);
        });
    }
    return nodes;
}

nb::object get_excluded_ids(const Call& call, nb::handle exclude_str) {
    const nb::handle self = call.self();
    const nb::str get_node_id("_get_node_id");
    nb::set ids;
    const nb::object excluded_nodes = self.attr("_parse_selector")(exclude_str);
    for (const nb::handle node : excluded_nodes)
        ids.add(py::call_method(self, get_node_id, node));
    return ids;
}

nb::object get_selected_nodes(const Call& call) {
    const nb::handle self = call.self();
    nb::list nodes;
    const nb::object selector = py::attribute_or(self.attr("args"), "SELECT", nb::none());
    const nb::object exclude = py::attribute_or(self.attr("args"), "EXCLUDE", nb::none());

    if (!py::truthy(selector)) {
        // Models are profiled only when asked for.
        for_each_node(sources_of(self), [&](nb::handle source) { nodes.append(source); });
    } else {
        const nb::object extend = nodes.attr("extend");
        for_each_selector(self, selector, "_parse_selector",
                          [&](const nb::object& found) { extend(found); });
    }
    if (!py::truthy(exclude))
        return nodes;

    nb::set excluded;
    for_each_selector(self, exclude, "_get_excluded_ids", [&](const nb::object& ids) {
        for (const nb::handle id : ids)
            excluded.add(id);
    });
    const nb::str get_node_id("_get_node_id");
    nb::list kept;
    for (const nb::handle node : nodes)
        if (!excluded.contains(py::call_method(self, get_node_id, node)))
            kept.append(node);
    return kept;
}

}  // namespace kor::selection
