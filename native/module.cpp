// PyInit_profile: the module definition and its (single) initialisation.
#include "python/error.hpp"
#include "python/method.hpp"
#include "python/module_state.hpp"
#include "task/task.hpp"

#include <atomic>

namespace kor {

namespace {

namespace nb = nanobind;

constexpr const char module_doc[] =
    "ZEL Profile Task\n"
    "\n"
    "Data profiling task with DAG-based execution for sources and models.\n"
    "Works like 'zel run' with full selector support and ZEL compute rules.\n"
    "\n"
    "Modes:\n"
    "- explorative: every metric, with quartiles and median of numeric columns [DEFAULT]\n"
    "- minimal: as explorative, without quartiles and median\n"
    "- sensitive: counts, lengths, mean and stddev only (no data value is stored)\n"
    "- time-series: as explorative\n"
    "\n"
    "Metrics (Vantry-style):\n"
    "- row_count, column_count\n"
    "- null_count, null_percent\n"
    "- distinct_count, distinct_percent\n"
    "- min, max, mean, median, stddev\n"
    "- top_values (most frequent)\n"
    "- data_type distribution\n";

// The module keeps one namespace per process; a second exec (a re-import after removing it
// from sys.modules, or another interpreter) is refused rather than half-supported.
std::atomic<bool>& initialised() {
    static std::atomic<bool> flag{false};
    return flag;
}

int exec_module(PyObject* module) noexcept {
    if (initialised().load()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'profile' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    return py::at_boundary(-1, [&] {
        nanobind::detail::nb_module_exec(NB_DOMAIN_STR, module);
        const nb::handle handle(module);
        py::module_state(handle).holds_nanobind = true;
        const nb::object method_type = py::create_method_type(handle);
        py::keep_method_type(handle, method_type);
        task::bind_namespace(handle);
        task::define_records(handle);
        task::define_task_class(handle, method_type);
        initialised().store(true);
        return 0;
    });
}

void free_module(void* module) {
    PyObject* const object = static_cast<PyObject*>(module);
    const bool holds_nanobind = py::module_state(object).holds_nanobind;
    py::clear_module_state(object);
    if (holds_nanobind)
        nanobind::detail::nb_module_free(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kor.task.profile",
    module_doc,
    sizeof(py::ModuleState),
    nullptr,
    module_slots,
    py::traverse_module_state,
    py::clear_module_state,
    free_module,
};

}  // namespace

}  // namespace kor

extern "C" NB_EXPORT PyObject* PyInit_profile() {
    return PyModuleDef_Init(&kor::module_definition);
}
