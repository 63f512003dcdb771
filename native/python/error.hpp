// Python errors as C++ exceptions: raising, catching `Exception`, and the C-API boundary.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <new>

namespace kor::py {

namespace nb = nanobind;

// Formats a Python exception of `type` like PyErr_Format and throws it as nb::python_error.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// Throws the Python error that a failed C-API call left set.
[[noreturn]] void raise_current();

// Takes ownership of a new reference returned by the C API, throwing when it is null.
nb::object checked(PyObject* result);

// The behaviour absorbs `Exception` and its subclasses only; interrupts and exits pass.
inline bool is_exception(const nb::python_error& error) noexcept {
    return error.matches(PyExc_Exception);
}

// Consumes `error` and returns the normalised exception object, traceback attached.
nb::object exception_object(nb::python_error& error);

// Makes `exception` the error in flight again and throws it.
[[noreturn]] void reraise(nb::handle exception);

// Turns the C++ exception in flight into the Python error indicator.
void translate_current_exception() noexcept;

// Runs `body` at a C-API entry point: every C++ exception becomes a Python error and the
// entry point returns `failure`.
template <class Result, class Body>
Result at_boundary(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return failure;
    }
}

}  // namespace kor::py
