// The native method type: binds like a function, calls through vectorcall.
#include "python/method.hpp"

#include "python/error.hpp"

#include <structmember.h>

#include <cstddef>

namespace kor::py {

namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodRecord* record;
    PyObject* globals;      // the module's namespace
    PyObject* module_name;  // its __name__ at creation
    PyObject* qualname;
    PyObject* owner;        // the defining class, once set
    PyObject* annotations;  // built on first access
    PyObject* signature;    // built on first access
};

MethodObject* as_method(PyObject* object) { return reinterpret_cast<MethodObject*>(object); }

// ---- lifecycle -------------------------------------------------------------------------

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodObject* const method = as_method(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(method->globals);
    Py_VISIT(method->module_name);
    Py_VISIT(method->qualname);
    Py_VISIT(method->owner);
    Py_VISIT(method->annotations);
    Py_VISIT(method->signature);
    return 0;
}

int method_clear(PyObject* self) {
    MethodObject* const method = as_method(self);
    Py_CLEAR(method->globals);
    Py_CLEAR(method->module_name);
    Py_CLEAR(method->qualname);
    Py_CLEAR(method->owner);
    Py_CLEAR(method->annotations);
    Py_CLEAR(method->signature);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    method_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// ---- calls -----------------------------------------------------------------------------

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) noexcept {
    return at_boundary<PyObject*>(nullptr, [&] {
        const MethodObject* const method = as_method(self);
        const MethodRecord& record = *method->record;
        const Arguments arguments = bind_arguments(method->qualname, record.binding.parameters,
                                                   args, PyVectorcall_NARGS(nargsf), kwnames);
        const Call call(arguments, method->globals, method->owner);
        return record.binding.implementation(call).release().ptr();
    });
}

// A class access gives the method itself, an instance access a bound method.
PyObject* method_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* method_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

// ---- attributes ------------------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(as_method(self)->record->name);
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_method(self)->qualname);
}

PyObject* get_module(PyObject* self, void*) noexcept {
    return Py_NewRef(as_method(self)->module_name);
}

PyObject* get_doc(PyObject* self, void*) noexcept {
    const char* const doc = as_method(self)->record->doc;
    return doc == nullptr ? Py_NewRef(Py_None) : PyUnicode_FromString(doc);
}

nb::dict build_annotations(const MethodRecord& record) {
    nb::dict annotations;
    for (const Parameter& parameter : record.binding.parameters)
        if (parameter.annotation != nullptr)
            annotations[parameter.name] = nb::str(parameter.annotation);
    if (record.returns != nullptr)
        annotations["return"] = nb::str(record.returns);
    return annotations;
}

nb::object build_signature(const MethodRecord& record) {
    const nb::module_ inspect = nb::module_::import_("inspect");
    const nb::object parameter_type = inspect.attr("Parameter");
    const nb::object empty = parameter_type.attr("empty");
    const nb::object kind = parameter_type.attr("POSITIONAL_OR_KEYWORD");
    nb::list parameters;
    for (const Parameter& parameter : record.binding.parameters) {
        const nb::object annotation =
            parameter.annotation == nullptr ? empty : nb::str(parameter.annotation);
        const nb::object fallback = parameter.defaults_to_none ? nb::none() : empty;
        parameters.append(parameter_type(nb::str(parameter.name), kind,
                                         nb::arg("default") = fallback,
                                         nb::arg("annotation") = annotation));
    }
    const nb::object returns = record.returns == nullptr ? empty : nb::str(record.returns);
    return inspect.attr("Signature")(parameters, nb::arg("return_annotation") = returns);
}

template <nb::object (*Build)(const MethodRecord&), PyObject* MethodObject::*Slot>
PyObject* cached(PyObject* self, void*) noexcept {
    return at_boundary<PyObject*>(nullptr, [&] {
        MethodObject* const method = as_method(self);
        if (method->*Slot == nullptr)
            method->*Slot = Build(*method->record).release().ptr();
        return Py_NewRef(method->*Slot);
    });
}

nb::object annotations_object(const MethodRecord& record) { return build_annotations(record); }

PyGetSetDef method_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", cached<annotations_object, &MethodObject::annotations>, nullptr, nullptr,
     nullptr},
    {"__signature__", cached<build_signature, &MethodObject::signature>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "kor.task.profile.native_method",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

}  // namespace

nb::object Call::global(const char* name) const {
    PyObject* const value = PyDict_GetItemString(globals_.ptr(), name);
    if (value == nullptr) {
        if (PyErr_Occurred())
            raise_current();
        raise(PyExc_NameError, "name '%s' is not defined", name);
    }
    return nb::borrow(value);
}

nb::object create_method_type(nb::handle module) {
    return checked(PyType_FromModuleAndSpec(module.ptr(), &method_spec, nullptr));
}

nb::object make_method(nb::handle method_type, const MethodRecord& record, nb::handle globals,
                       const char* class_name) {
    PyTypeObject* const type = reinterpret_cast<PyTypeObject*>(method_type.ptr());
    nb::object module_name = nb::borrow(PyDict_GetItemString(globals.ptr(), "__name__"));
    if (!module_name.is_valid())
        module_name = nb::none();
    const nb::object qualname =
        checked(PyUnicode_FromFormat("%s.%s", class_name, record.name));

    MethodObject* const method = PyObject_GC_New(MethodObject, type);
    if (method == nullptr)
        raise_current();
    method->vectorcall = method_vectorcall;
    method->record = &record;
    method->globals = Py_NewRef(globals.ptr());
    method->module_name = module_name.release().ptr();
    method->qualname = Py_NewRef(qualname.ptr());
    method->owner = nullptr;
    method->annotations = nullptr;
    method->signature = nullptr;
    PyObject_GC_Track(method);
    return nb::steal(reinterpret_cast<PyObject*>(method));
}

void set_owner(nb::handle method, nb::handle owner) {
    Py_XSETREF(as_method(method.ptr())->owner, Py_NewRef(owner.ptr()));
}

}  // namespace kor::py
