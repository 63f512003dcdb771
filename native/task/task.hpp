// The task frame: module namespace, result records, the task class and its run flow.
#pragma once

#include "python/method.hpp"

#include <span>

namespace kor::task {

namespace nb = nanobind;
using py::Call;

// Binds the standard-library, Rich and host names and `console`, in module order.
void bind_namespace(nb::handle module);

// Defines ColumnProfile, TableProfile and ProfileExecutionResult in the module.
void define_records(nb::handle module);

// Defines ProfileTask from the method table.
void define_task_class(nb::handle module, nb::handle method_type);

// The methods of ProfileTask, in class-body order.
std::span<const py::MethodRecord> task_methods();

// The bodies of the task frame's methods; each takes the parameters after `self` that its record
// in methods.cpp declares, in that order.
nb::object construct(const Call& call, nb::handle flags, nb::handle runtime_config,
                     nb::handle manifest);
nb::object run(const Call& call);
nb::object interpret_results(const Call& call, nb::handle result);

}  // namespace kor::task
