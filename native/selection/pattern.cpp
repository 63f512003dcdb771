// The glob test behind the selector grammar: name, then identifier, then full name.
#include "selection/selection.hpp"

#include "python/error.hpp"
#include "python/object.hpp"
#include "python/text.hpp"

namespace kor::selection {

nb::object matches_pattern(const Call&, nb::handle node, nb::handle pattern) {

    // Imported at each call, as the behaviour's own `import fnmatch` would be.
    const nb::module_ fnmatch = nb::module_::import_("fnmatch");
    if (pattern.equal(nb::str("*")))
        return nb::bool_(true);

    const nb::str empty("");
    const nb::object name = py::attribute_or(node, "name", empty);
    const nb::object identifier = py::attribute_or(node, "identifier", name);
    const nb::object source_name = py::attribute_or(node, "source_name", empty);
    const nb::object full_name = py::truthy(source_name)
        ? nb::object((py::Text() << source_name << "." << identifier).str())
        : identifier;

    const nb::object match = fnmatch.attr("fnmatch");
    nb::object matched = match(name, pattern);
    if (py::truthy(matched))
        return matched;
    matched = match(identifier, pattern);
    if (py::truthy(matched))
        return matched;
    return match(full_name, pattern);
}

}  // namespace kor::selection
