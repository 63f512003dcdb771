// Per-module state: the objects that the module creates and must keep alive.
#pragma once

#include <nanobind/nanobind.h>

namespace kor::py {

namespace nb = nanobind;

struct ModuleState {
    PyObject* method_type;  // strong reference, set at exec
    bool holds_nanobind;    // exec took a reference on nanobind's internals
};

// The state of `module` (never null for a module made from our definition).
ModuleState& module_state(nb::handle module);

// Stores the method type in the module's state.
void keep_method_type(nb::handle module, nb::handle method_type);

// The state slots of the module definition.
int traverse_module_state(PyObject* module, visitproc visit, void* arg);
int clear_module_state(PyObject* module);

}  // namespace kor::py
