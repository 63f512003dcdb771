// Class creation through the metaclass protocol.
#include "python/class_builder.hpp"

#include "python/error.hpp"

namespace kor::py {

ClassDraft prepare_class(const char* name, nb::tuple bases) {
    const nb::module_ types = nb::module_::import_("types");
    const nb::tuple resolved = nb::borrow<nb::tuple>(types.attr("resolve_bases")(bases));
    // As for a class statement without `metaclass=`: the most derived metaclass of the bases.
    nb::object metaclass = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    for (nb::handle base : resolved) {
        const nb::handle candidate = reinterpret_cast<PyObject*>(Py_TYPE(base.ptr()));
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(candidate.ptr()),
                             reinterpret_cast<PyTypeObject*>(metaclass.ptr())))
            metaclass = nb::borrow(candidate);
    }
    nb::object namespace_ = metaclass.attr("__prepare__")(nb::str(name), resolved);
    return {resolved, std::move(metaclass), std::move(namespace_)};
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
