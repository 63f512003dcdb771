// Python errors as C++ exceptions: raising, catching `Exception`, and the C-API boundary.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

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

// Runs `body` and returns what it returns. When it raises an exception of class `kind` (or a
// subclass), `on_error` answers instead, given the exception object when it takes one; any other
// exception propagates unchanged.
template <class Body, class OnError>
std::invoke_result_t<Body> absorb(PyObject* kind, Body&& body, OnError&& on_error) {
    using Result = std::invoke_result_t<Body>;
    try {
        return std::forward<Body>(body)();
    } catch (nb::python_error& error) {
        if (!error.matches(kind))
            throw;
        if constexpr (std::is_invocable_v<OnError, nb::object>)
            return static_cast<Result>(std::forward<OnError>(on_error)(exception_object(error)));
        else
            return static_cast<Result>(std::forward<OnError>(on_error)());
    }
}

// `absorb` for the behaviour's "catch Exception" points: interrupts and exit requests
// (KeyboardInterrupt, SystemExit) always pass.
template <class Body, class OnException>
std::invoke_result_t<Body> absorb_exception(Body&& body, OnException&& on_exception) {
    return absorb(PyExc_Exception, std::forward<Body>(body),
                  std::forward<OnException>(on_exception));
}

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
