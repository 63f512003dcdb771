// Node selection: node identity, glob matching and the selector grammar.
#pragma once

#include "python/method.hpp"

namespace kor::selection {

namespace nb = nanobind;
using py::Call;

nb::object get_selected_nodes(const Call& call);
nb::object parse_selector(const Call& call, nb::handle selector);
nb::object matches_pattern(const Call& call, nb::handle node, nb::handle pattern);
nb::object get_excluded_ids(const Call& call, nb::handle exclude_str);
nb::object get_node_id(const Call& call, nb::handle node);
nb::object get_node_display_name(const Call& call, nb::handle node);

}  // namespace kor::selection
