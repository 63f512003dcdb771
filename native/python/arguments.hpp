// Binding of a call's arguments to a method's declared parameters.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kor::py {

namespace nb = nanobind;

// What a parameter accepts beyond being present.
enum class Accepts : std::uint8_t {
    anything,
    text,           // exactly a str
    optional_text,  // None or exactly a str
    integer,        // any number, converted with int()
    list,           // exactly a list
};

struct Parameter {
    const char* name;
    const char* annotation = nullptr;  // the annotation text, or none
    Accepts accepts = Accepts::anything;
    bool defaults_to_none = false;
};

// The most parameters any method declares, `self` included.
inline constexpr std::size_t max_parameters = 8;

// One call's arguments in parameter order; borrowed from the caller, or owned where a check
// converted them.
class Arguments {
public:
    // One argument per declared parameter, `self` first.
    std::span<const nb::handle> items() const { return {items_.data(), size_}; }

private:
    friend Arguments bind_arguments(nb::handle qualname, std::span<const Parameter> parameters,
                                    PyObject* const* args, std::size_t nargs, PyObject* kwnames);
    std::array<nb::handle, max_parameters> items_{};
    std::array<nb::object, max_parameters> converted_{};
    std::size_t size_ = 0;
};

// Binds positional and keyword arguments as a Python function would, applies defaults and the
// parameters' checks, and raises TypeError with CPython's wording otherwise.
Arguments bind_arguments(nb::handle qualname, std::span<const Parameter> parameters,
                         PyObject* const* args, std::size_t nargs, PyObject* kwnames);

// The TypeError of a parameter that got a value of the wrong type.
// `exact` marks a check that refuses subclasses, which the message then points out.
[[noreturn]] void raise_argument_type(const char* name, PyTypeObject* expected, nb::handle value,
                                      bool exact);

}  // namespace kor::py
