// ProfileTask.__init__: the flags, the runtime configuration and the project graph.
#include "python/object.hpp"
#include "task/task.hpp"

namespace kor::task {

nb::object construct(const Call& call, nb::handle flags, nb::handle runtime_config,
                     nb::handle manifest) {
    const nb::handle self = call.self();

    // super().__init__(flags), with the class the method was defined in.
    const nb::object super = nb::module_::import_("builtins").attr("super");
    super(call.owner(), self).attr("__init__")(flags);

    self.attr("runtime_config") = runtime_config;
    self.attr("manifest") = manifest;

    const nb::str explorative("explorative");
    const nb::object mode = py::attribute_or(self.attr("args"), "MODE", explorative);
    self.attr("profile_mode") = py::truthy(mode) ? mode : nb::object(explorative);

    const nb::int_ four(4);
    const nb::object threads = py::attribute_or(self.attr("args"), "THREADS", four);
    self.attr("_threads") = py::truthy(threads) ? threads : nb::object(four);
    return nb::none();
}

}  // namespace kor::task
