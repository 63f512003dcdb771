// The native method type: a function-like object whose behaviour is a C++ implementation.
#pragma once

#include "python/arguments.hpp"

#include <nanobind/nanobind.h>

#include <span>

namespace kor::py {

namespace nb = nanobind;

class Call;
using Implementation = nb::object (*)(const Call&);

// Everything about one method, declared once: binding, __doc__, __annotations__ and
// inspect.signature are all derived from it.
struct MethodRecord {
    const char* name;
    const char* doc;                        // nullptr: no docstring
    std::span<const Parameter> parameters;  // `self` first
    const char* returns;                    // return annotation text, nullptr: none
    Implementation implementation;
};

// What an implementation sees of one call: the bound arguments and the defining module.
class Call {
public:
    Call(const Arguments& arguments, nb::handle globals, nb::handle owner)
        : arguments_(arguments), globals_(globals), owner_(owner) {}

    nb::handle self() const { return arguments_[0]; }
    // The argument of the parameter at `index`, counting `self` as 0.
    nb::handle operator[](std::size_t index) const { return arguments_[index]; }

    // A module global, read now (tests and callers may rebind them); NameError when unbound.
    nb::object global(const char* name) const;
    // The class the method belongs to, as a function's `__class__` cell would give it.
    nb::handle owner() const { return owner_; }

private:
    const Arguments& arguments_;
    nb::handle globals_;
    nb::handle owner_;
};

// The method type of one module, created at module exec and kept in module state.
nb::object create_method_type(nb::handle module);

// A method object for `record`, whose globals are `globals` and whose qualified name is
// `<class_name>.<name>`.
nb::object make_method(nb::handle method_type, const MethodRecord& record, nb::handle globals,
                       const char* class_name);

// Records the defining class once it exists (it is created after its methods).
void set_owner(nb::handle method, nb::handle owner);

}  // namespace kor::py
