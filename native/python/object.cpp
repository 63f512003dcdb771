// The object protocol with Python's own semantics.
#include "python/object.hpp"

#include "python/error.hpp"

namespace kor::py {

bool truthy(nb::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        raise_current();
    return result != 0;
}

Py_ssize_t length(nb::handle value) {
    const Py_ssize_t result = PyObject_Size(value.ptr());
    if (result < 0)
        raise_current();
    return result;
}

bool compare(nb::handle a, int op, nb::handle b) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0)
        raise_current();
    return result != 0;
}

namespace {

// getattr that reports a missing attribute as a null result instead of raising: the same
// test as catching AttributeError, without building an exception for every absent attribute.
nb::object optional_attribute(nb::handle value, const char* name) {
    const nb::str key(name);
    PyObject* found = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int result = PyObject_GetOptionalAttr(value.ptr(), key.ptr(), &found);
#else
    const int result = _PyObject_LookupAttr(value.ptr(), key.ptr(), &found);
#endif
    if (result < 0)
        raise_current();
    return nb::steal(found);
}

}  // namespace

bool has_attribute(nb::handle value, const char* name) {
    return optional_attribute(value, name).is_valid();
}

nb::object attribute_or(nb::handle value, const char* name, nb::handle fallback) {
    nb::object found = optional_attribute(value, name);
    return found.is_valid() ? found : nb::borrow(fallback);
}

bool is_instance(nb::handle value, nb::handle cls) {
    const int result = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (result < 0)
        raise_current();
    return result != 0;
}

bool contains(nb::handle container, nb::handle item) {
    const int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0)
        raise_current();
    return result != 0;
}

nb::object str_or_none(nb::object value) {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr()))
        raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value.ptr())->tp_name);
    return value;
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    // The pairs of dict.items(): the interpreter unpacks an exact tuple without iterating it.
    if (PyTuple_CheckExact(value.ptr()) && PyTuple_GET_SIZE(value.ptr()) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(value.ptr(), 0)),
                nb::borrow(PyTuple_GET_ITEM(value.ptr(), 1))};
    PyObject* const iterator = PyObject_GetIter(value.ptr());
    if (iterator == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                  Py_TYPE(value.ptr())->tp_name);
        }
        raise_current();
    }
    const nb::object items = nb::steal(iterator);
    nb::object found[2];
    for (int i = 0; i < 2; ++i) {
        found[i] = nb::steal(PyIter_Next(items.ptr()));
        if (!found[i].is_valid()) {
            if (PyErr_Occurred())
                raise_current();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    const nb::object extra = nb::steal(PyIter_Next(items.ptr()));
    if (extra.is_valid())
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred())
        raise_current();
    return {std::move(found[0]), std::move(found[1])};
}

nb::object item(nb::handle value, Py_ssize_t index) {
    const nb::object key = checked(PyLong_FromSsize_t(index));
    return checked(PyObject_GetItem(value.ptr(), key.ptr()));
}

nb::object to_int(nb::handle value) {
    if (PyLong_CheckExact(value.ptr()))
        return nb::borrow(value);
    return checked(PyNumber_Long(value.ptr()));
}

nb::object to_float(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr()))
        return nb::borrow(value);
    return checked(PyNumber_Float(value.ptr()));
}

nb::str to_str(nb::handle value) {
    return nb::steal<nb::str>(checked(PyObject_Str(value.ptr())).release());
}

nb::str truncated(nb::handle text, Py_ssize_t limit) {
    const Py_ssize_t size = length(text);
    if (size <= limit)
        return nb::borrow<nb::str>(text);
    return nb::steal<nb::str>(checked(PyUnicode_Substring(text.ptr(), 0, limit)).release());
}

void print(nb::handle value) {
    PyObject* const builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* const function = PyDict_GetItemString(builtins, "print");
    if (function == nullptr)
        raise(PyExc_NameError, "name 'print' is not defined");
    checked(PyObject_CallOneArg(function, value.ptr()));
}

}  // namespace kor::py
