// Class creation through the metaclass protocol, as a `class` statement performs it.
#pragma once

#include <nanobind/nanobind.h>

namespace kor::py {

namespace nb = nanobind;

// The bases after `__mro_entries__`, the metaclass they imply, and the namespace that the
// metaclass's `__prepare__` gives.
struct ClassDraft {
    nb::tuple bases;
    nb::object metaclass;
    nb::object namespace_;
};

ClassDraft prepare_class(const char* name, nb::tuple bases);

// Calls the metaclass with the name, the bases and the filled namespace.
nb::object finish_class(const char* name, const ClassDraft& draft);

// `from <module> import <name>`, importing a submodule when that is what the name is.
nb::object import_from(const char* module, const char* name);

}  // namespace kor::py
