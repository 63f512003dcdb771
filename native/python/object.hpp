// The object protocol with Python's own semantics (truth, len, getattr with a default, ...).
#pragma once

#include "python/error.hpp"

#include <nanobind/nanobind.h>

#include <utility>

namespace kor::py {

namespace nb = nanobind;

// `bool(value)`.
bool truthy(nb::handle value);

// `len(value)`.
Py_ssize_t length(nb::handle value);

// `a <op> b` as a truth value, with op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE.
bool compare(nb::handle a, int op, nb::handle b);

// `hasattr(value, name)`: only AttributeError counts as absent.
bool has_attribute(nb::handle value, const char* name);

// `getattr(value, name, fallback)`: only AttributeError falls back.
nb::object attribute_or(nb::handle value, const char* name, nb::handle fallback);

// `isinstance(value, cls)`.
bool is_instance(nb::handle value, nb::handle cls);

// `item in container`.
bool contains(nb::handle container, nb::handle item);

// A value promised to be a str or None, passed on; any other type raises TypeError
// "Expected str, got <type>".
nb::object str_or_none(nb::object value);

// `first, second = value`, with Python's errors for other lengths.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// `self.<name>(args...)`, looked up on `self` now; `name` is a str the caller made once, so a
// loop over many nodes neither re-creates it nor builds a bound method per call.
template <class... Args>
nb::object call_method(nb::handle self, nb::handle name, Args... args) {
    PyObject* const stack[] = {self.ptr(), nb::handle(args).ptr()...};
    return checked(PyObject_VectorcallMethod(name.ptr(), stack, sizeof...(Args) + 1, nullptr));
}

// `value[index]`, through the mapping/sequence protocol as subscription does.
nb::object item(nb::handle value, Py_ssize_t index);

// `int(value)` and `float(value)`.
nb::object to_int(nb::handle value);
nb::object to_float(nb::handle value);

// `None if value is None else convert(value)`.
inline nb::object optional(nb::handle value, nb::object (*convert)(nb::handle)) {
    return value.is_none() ? nb::none() : convert(value);
}

// `str(value)`, and `str(value)[:limit]`.
nb::str to_str(nb::handle value);
nb::str truncated(nb::handle text, Py_ssize_t limit);

// The built-in `print(value)`, looked up at call time.
void print(nb::handle value);

}  // namespace kor::py
