// ProfileTask: an ordinary class on the host's BaseTask, with native methods.
#include "python/class_builder.hpp"
#include "python/method.hpp"
#include "task/task.hpp"

namespace kor::task {

namespace {

constexpr const char class_name[] = "ProfileTask";

constexpr const char class_doc[] =
    "\n"
    "    DAG-based profiling task for ZEL (Vantry-style).\n"
    "\n"
    "    Execution flow:\n"
    "    1. Parse selectors (--select, --exclude)\n"
    "    2. Build execution list (sources + models)\n"
    "    3. For each node:\n"
    "       a. Execute efficient SQL profiling queries\n"
    "       b. Collect Vantry-style metrics\n"
    "       c. Store results in metadata_store.duckdb\n"
    "    4. Display summary (Vantry-style)\n"
    "    ";

}  // namespace

void define_task_class(nb::handle module, nb::handle method_type) {
    const nb::object globals = module.attr("__dict__");
    const nb::object base_task = module.attr("BaseTask");
    const py::ClassDraft draft = py::prepare_class(class_name, nb::make_tuple(base_task));
    const nb::object& body = draft.namespace_;
    body["__module__"] = module.attr("__name__");
    body["__qualname__"] = nb::str(class_name);
    body["__doc__"] = nb::str(class_doc);

    nb::list created;
    for (const py::MethodRecord& record : task_methods()) {
        nb::object method = py::make_method(method_type, record, globals, class_name);
        body[record.name] = method;
        created.append(method);
    }
    const nb::object cls = py::finish_class(class_name, draft);
    for (nb::handle method : created)
        py::set_owner(method, cls);
    module.attr(class_name) = cls;
}

}  // namespace kor::task
