// The native method type: a function-like object whose behaviour is a C++ implementation.
#pragma once

#include "python/arguments.hpp"

#include <nanobind/nanobind.h>

#include <cassert>
#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

namespace kor::py {

namespace nb = nanobind;

class Call;
using Implementation = nb::object (*)(const Call&);

namespace detail {

// What a method body takes after its `Call`: one nb::handle per parameter after `self`.
template <class Body>
struct BodyParameters {
    static constexpr bool shaped = false;
};

template <class... Parameters>
struct BodyParameters<nb::object (*)(const Call&, Parameters...)> {
    static constexpr bool shaped = (std::is_same_v<Parameters, nb::handle> && ...);
    static constexpr std::size_t count = sizeof...(Parameters);
};

}  // namespace detail

// A method's parameters (`self` first) and the body bound to them.
struct Binding {
    std::span<const Parameter> parameters;
    Implementation implementation;
};

// Everything about one method, declared once: binding, __doc__, __annotations__ and
// inspect.signature are all derived from it.
struct MethodRecord {
    const char* name;
    const char* doc;      // nullptr: no docstring
    Binding binding;
    const char* returns;  // return annotation text, nullptr: none
};

// What a body sees of one call besides its arguments: `self`, the module's globals and the
// defining class.
class Call {
public:
    Call(const Arguments& arguments, nb::handle globals, nb::handle owner)
        : arguments_(arguments), globals_(globals), owner_(owner) {}

    nb::handle self() const { return arguments_.items().front(); }

    // A module global, read now (tests and callers may rebind them); NameError when unbound.
    nb::object global(const char* name) const;
    // The class the method belongs to, as a function's `__class__` cell would give it.
    nb::handle owner() const { return owner_; }

    // The implementation that `bind<Body>` records: Body gets the call and then the bound
    // arguments after `self`, each under its parameter's name.
    template <auto Body>
    static nb::object invoke(const Call& call) {
        constexpr std::size_t count = detail::BodyParameters<decltype(Body)>::count;
        return call.pass<Body>(std::make_index_sequence<count>{});
    }

private:
    template <auto Body, std::size_t... Index>
    nb::object pass(std::index_sequence<Index...>) const {
        const std::span<const nb::handle> items = arguments_.items();
        assert(items.size() == sizeof...(Index) + 1);
        return Body(*this, items[Index + 1]...);
    }

    const Arguments& arguments_;
    nb::handle globals_;
    nb::handle owner_;
};

// Binds `Body` to a record's parameters, checking at compile time that the body takes exactly
// one nb::handle per parameter after `self`.
template <auto Body, std::size_t Count>
constexpr Binding bind(const Parameter (&parameters)[Count]) {
    using Takes = detail::BodyParameters<decltype(Body)>;
    static_assert(Takes::shaped,
                  "a method body is nb::object(const Call&, nb::handle...) with a handle per "
                  "parameter after self");
    static_assert(Takes::count + 1 == Count,
                  "the body's parameters do not match the record's parameters after self");
    static_assert(Count <= max_parameters, "raise max_parameters for this method");
    return {parameters, &Call::invoke<Body>};
}

// The method type of one module, created at module exec and kept in module state.
nb::object create_method_type(nb::handle module);

// A method object for `record`, whose globals are `globals` and whose qualified name is
// `<class_name>.<name>`.
nb::object make_method(nb::handle method_type, const MethodRecord& record, nb::handle globals,
                       const char* class_name);

// Records the defining class once it exists (it is created after its methods).
void set_owner(nb::handle method, nb::handle owner);

}  // namespace kor::py
