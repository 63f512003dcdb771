// Argument binding with CPython's error texts.
#include "python/arguments.hpp"

#include "python/error.hpp"

#include <string>

namespace kor::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": how CPython lists missing parameters.
std::string quoted_list(std::span<const char* const> names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[noreturn]] void raise_too_many_positional(nb::handle qualname, std::size_t required,
                                            std::size_t declared, std::size_t given) {
    const std::string takes = required == declared
        ? std::to_string(declared) + " positional argument" + (declared == 1 ? "" : "s")
        : "from " + std::to_string(required) + " to " + std::to_string(declared) +
              " positional arguments";
    raise(PyExc_TypeError, "%U() takes %s but %zu %s given", qualname.ptr(), takes.c_str(),
          given, given == 1 ? "was" : "were");
}

[[noreturn]] void raise_missing(nb::handle qualname, std::span<const char* const> names) {
    const std::string listed = quoted_list(names);
    raise(PyExc_TypeError, "%U() missing %zu required positional argument%s: %s",
          qualname.ptr(), names.size(), names.size() == 1 ? "" : "s", listed.c_str());
}

std::ptrdiff_t parameter_index(std::span<const Parameter> parameters, PyObject* keyword) {
    for (std::size_t i = 0; i < parameters.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(keyword, parameters[i].name) == 0)
            return static_cast<std::ptrdiff_t>(i);
    return -1;
}

// Applies the parameter's check; returns the converted value when the check converts.
nb::object check(const Parameter& parameter, nb::handle value) {
    PyObject* const object = value.ptr();
    switch (parameter.accepts) {
        case Accepts::anything:
            break;
        case Accepts::optional_text:
            if (object == Py_None)
                break;
            [[fallthrough]];
        case Accepts::text:
            if (!PyUnicode_CheckExact(object))
                raise_argument_type(parameter.name, &PyUnicode_Type, value, true);
            break;
        case Accepts::integer:
            if (PyLong_CheckExact(object))
                break;
            if (!PyNumber_Check(object))
                raise_argument_type(parameter.name, &PyLong_Type, value, false);
            return checked(PyNumber_Long(object));
        case Accepts::list:
            if (!PyList_CheckExact(object))
                raise_argument_type(parameter.name, &PyList_Type, value, true);
            break;
    }
    return {};
}

}  // namespace

void raise_argument_type(const char* name, PyTypeObject* expected, nb::handle value,
                         bool exact) {
    PyTypeObject* const given = Py_TYPE(value.ptr());
    const bool subclass = exact && PyObject_TypeCheck(value.ptr(), expected);
    // A subclass of the expected built-in is refused on purpose; say so.
    const char* const note = subclass ? "Subclasses of built-in types are rejected." : "";
    const nb::str note_text(note);
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
          name, expected->tp_name, given->tp_name, subclass ? ". " : "", note_text.ptr());
}

Arguments bind_arguments(nb::handle qualname, std::span<const Parameter> parameters,
                         PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    Arguments bound;
    bound.size_ = parameters.size();

    if (nargs > parameters.size()) {
        std::size_t required = 0;
        for (const Parameter& parameter : parameters)
            required += parameter.defaults_to_none ? 0 : 1;
        raise_too_many_positional(qualname, required, parameters.size(), nargs);
    }
    for (std::size_t i = 0; i < nargs; ++i)
        bound.items_[i] = args[i];

    const std::size_t nkeywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (std::size_t k = 0; k < nkeywords; ++k) {
        PyObject* const keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::ptrdiff_t index = parameter_index(parameters, keyword);
        if (index < 0)
            raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname.ptr(),
                  keyword);
        if (bound.items_[index].ptr() != nullptr)
            raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", qualname.ptr(),
                  keyword);
        bound.items_[index] = args[nargs + k];
    }

    std::array<const char*, max_parameters> missing{};
    std::size_t nmissing = 0;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (bound.items_[i].ptr() != nullptr)
            continue;
        if (parameters[i].defaults_to_none)
            bound.items_[i] = Py_None;
        else
            missing[nmissing++] = parameters[i].name;
    }
    if (nmissing > 0)
        raise_missing(qualname, std::span<const char* const>(missing.data(), nmissing));

    for (std::size_t i = 0; i < parameters.size(); ++i) {
        bound.converted_[i] = check(parameters[i], bound.items_[i]);
        if (bound.converted_[i].is_valid())
            bound.items_[i] = bound.converted_[i];
    }
    return bound;
}

}  // namespace kor::py
