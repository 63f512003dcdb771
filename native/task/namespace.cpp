// The module namespace: standard library, Rich (optional), host classes and `console`.
#include "python/class_builder.hpp"
#include "python/error.hpp"
#include "python/object.hpp"
#include "task/task.hpp"

#include <initializer_list>

namespace kor::task {

namespace {

struct FromImport {
    const char* module;
    std::initializer_list<const char*> names;
};

void bind_module(nb::handle module, const char* name) {
    module.attr(name) = nb::module_::import_(name);
}

void bind_from(nb::handle module, const FromImport& from) {
    for (const char* name : from.names)
        module.attr(name) = py::import_from(from.module, name);
}

// Binds the Rich names in order; an ImportError stops the block and leaves what was bound.
bool bind_rich(nb::handle module) {
    const FromImport rich[] = {
        {"rich.console", {"Console"}},
        {"rich.progress",
         {"Progress", "TextColumn", "BarColumn", "MofNCompleteColumn", "TimeElapsedColumn",
          "SpinnerColumn", "TaskProgressColumn"}},
        {"rich.table", {"Table"}},
        {"rich", {"box"}},
        {"rich.panel", {"Panel"}},
        {"rich.style", {"Style"}},
        {"rich.live", {"Live"}},
    };
    return py::absorb(
        PyExc_ImportError,
        [&] {
            for (const FromImport& from : rich)
                bind_from(module, from);
            return true;
        },
        [] {
            // Rich is optional: every printing method takes its plain path when HAS_RICH is false.
            return false;
        });
}

}  // namespace

void bind_namespace(nb::handle module) {
    bind_module(module, "json");
    bind_module(module, "time");
    bind_from(module, {"concurrent.futures", {"ThreadPoolExecutor", "as_completed"}});
    bind_from(module, {"dataclasses", {"dataclass", "field"}});
    bind_from(module, {"datetime", {"datetime"}});
    bind_from(module, {"pathlib", {"Path"}});
    bind_from(module, {"typing", {"Any", "Dict", "List", "Optional", "Set"}});
    bind_module(module, "click");

    const bool has_rich = bind_rich(module);
    module.attr("HAS_RICH") = nb::bool_(has_rich);

    bind_from(module, {"kor.artifacts.schemas.run", {"RunStatus"}});
    bind_from(module, {"kor.config.runtime", {"RuntimeConfig"}});
    bind_from(module, {"kor.contracts.graph.manifest", {"Manifest"}});
    bind_from(module, {"kor.contracts.graph.nodes", {"SourceDefinition", "ModelNode"}});
    bind_from(module, {"kor.task.base", {"BaseTask"}});

    module.attr("console") = has_rich ? module.attr("Console")() : nb::none();
}

}  // namespace kor::task
