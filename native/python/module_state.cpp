// Per-module state.
#include "python/module_state.hpp"

namespace kor::py {

ModuleState& module_state(nb::handle module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module.ptr()));
}

void keep_method_type(nb::handle module, nb::handle method_type) {
    Py_XSETREF(module_state(module).method_type, Py_NewRef(method_type.ptr()));
}

int traverse_module_state(PyObject* module, visitproc visit, void* arg) {
    ModuleState* const state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state != nullptr)
        Py_VISIT(state->method_type);
    return 0;
}

int clear_module_state(PyObject* module) {
    ModuleState* const state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state != nullptr)
        Py_CLEAR(state->method_type);
    return 0;
}

}  // namespace kor::py
