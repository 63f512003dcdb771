// Node identity: the id that exclusion compares and the name that the drivers show.
#include "selection/selection.hpp"

#include "python/object.hpp"
#include "python/text.hpp"

namespace kor::selection {

namespace {

// `getattr(node, "name", str(node))`: the fallback text is made even when `name` exists.
nb::object name_or_text(nb::handle node) {
    const nb::str text = py::to_str(node);
    return py::attribute_or(node, "name", text);
}

}  // namespace

// Both methods promise a str (or None) and refuse anything else a node may carry.
nb::object get_node_id(const Call&, nb::handle node) {
    if (py::has_attribute(node, "unique_id"))
        return py::str_or_none(node.attr("unique_id"));
    return py::str_or_none(name_or_text(node));
}

nb::object get_node_display_name(const Call& call, nb::handle node) {
    if (py::is_instance(node, call.global("SourceDefinition")))
        return (py::Text() << node.attr("source_name") << "." << node.attr("identifier")).str();
    return py::str_or_none(name_or_text(node));
}

}  // namespace kor::selection
