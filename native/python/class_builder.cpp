// Class creation through the metaclass protocol.
#include "python/class_builder.hpp"

#include "python/error.hpp"

namespace kor::py {

ClassDraft prepare_class(const char* name, nb::tuple bases) {
    const nb::module_ types = nb::module_::import_("types");
    const nb::tuple resolved = nb::borrow<nb::tuple>(types.attr("resolve_bases")(bases));
    // The metaclass a class statement without `metaclass=` would use (a conflict between the
    // bases' metaclasses raises TypeError), and the namespace from its __prepare__.
    const nb::tuple prepared =
        nb::borrow<nb::tuple>(types.attr("prepare_class")(nb::str(name), resolved));
    return {resolved, prepared[0], prepared[1]};
}

nb::object finish_class(const char* name, const ClassDraft& draft) {
    return draft.metaclass(nb::str(name), draft.bases, draft.namespace_);
}

nb::object import_from(const char* module, const char* name) {
    const nb::str module_name(module);
    const nb::str attribute(name);
    const nb::object fromlist = nb::make_tuple(attribute);
    const nb::object imported = checked(
        PyImport_ImportModuleLevelObject(module_name.ptr(), nullptr, nullptr, fromlist.ptr(), 0));
    PyObject* const value = PyObject_GetAttr(imported.ptr(), attribute.ptr());
    if (value != nullptr)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        raise_current();
    PyErr_Clear();
    raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
}

}  // namespace kor::py
