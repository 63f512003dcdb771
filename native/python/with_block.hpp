// The `with` statement: run a block inside a context manager.
#pragma once

#include "python/error.hpp"

#include <nanobind/nanobind.h>

#include <utility>

namespace kor::py {

namespace nb = nanobind;

namespace detail {

// Looks `name` up on the manager's type and binds it to the manager, as `with` does.
nb::object special_method(nb::handle manager, const char* name, const char* missing);

// Calls __exit__ with the exception in flight made the handled one, so that an exception
// raised by __exit__ chains to it. Returns __exit__'s verdict: true suppresses.
bool exit_with(nb::handle exit, nb::handle exception);

}  // namespace detail

// Runs `body(value)` inside `manager` exactly as `with manager as value: body(value)`:
// __exit__ receives the exception in flight (interrupts included) and a true return
// suppresses it. Returns false when an exception was suppressed, true when the block ran
// to its end.
template <class Body>
bool with_block(nb::handle manager, Body&& body) {
    const nb::object enter = detail::special_method(manager, "__enter__", "");
    const nb::object exit =
        detail::special_method(manager, "__exit__", " (missed __exit__ method)");
    const nb::object value = enter();
    try {
        std::forward<Body>(body)(nb::handle(value));
    } catch (nb::python_error& error) {
        const nb::object exception = exception_object(error);
        if (detail::exit_with(exit, exception))
            return false;
        reraise(exception);
    }
    exit(nb::none(), nb::none(), nb::none());
    return true;
}

}  // namespace kor::py
