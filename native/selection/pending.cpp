// Methods of this subsystem that are not built yet.
#include "selection/selection.hpp"

#include "python/error.hpp"

namespace kor::selection {

nb::object get_selected_nodes(const Call&) { py::raise(PyExc_NotImplementedError, "get_selected_nodes is not built yet"); }
nb::object parse_selector(const Call&) { py::raise(PyExc_NotImplementedError, "parse_selector is not built yet"); }
nb::object matches_pattern(const Call&) { py::raise(PyExc_NotImplementedError, "matches_pattern is not built yet"); }
nb::object get_excluded_ids(const Call&) { py::raise(PyExc_NotImplementedError, "get_excluded_ids is not built yet"); }
nb::object get_node_id(const Call&) { py::raise(PyExc_NotImplementedError, "get_node_id is not built yet"); }
nb::object get_node_display_name(const Call&) { py::raise(PyExc_NotImplementedError, "get_node_display_name is not built yet"); }

}  // namespace kor::selection
