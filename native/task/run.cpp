// ProfileTask.run and interpret_results: the run's fixed sequence and its verdict.
#include "host/clock.hpp"
#include "host/console.hpp"
#include "python/object.hpp"
#include "python/text.hpp"
#include "task/task.hpp"

namespace kor::task {

namespace {

constexpr const char rule[] = "============================================================";

void print_header(const Call& call) {
    const nb::handle self = call.self();
    if (host::has_rich(call)) {
        host::print_blank(call);
        const nb::str text = (py::Text() << "[bold cyan]Mode:[/bold cyan] [yellow]"
                                         << self.attr("profile_mode")
                                         << "[/yellow]  |  [bold cyan]Threads:[/bold cyan] [yellow]"
                                         << self.attr("_threads") << "[/yellow]")
                                 .str();
        const nb::object header_panel = call.global("Panel")(
            text, nb::arg("title") = "[bold magenta]ZEL Profile - Data Profiling[/bold magenta]",
            nb::arg("subtitle") = "[dim]Vantry-style fast SQL profiling[/dim]",
            nb::arg("border_style") = "magenta",
            nb::arg("box") = call.global("box").attr("DOUBLE"));
        host::print_markup(call, header_panel);
        host::print_blank(call);
        return;
    }
    py::print((py::Text() << "\n" << rule).str());
    py::print(nb::str("  ZEL Profile - Data Profiling"));
    py::print((py::Text() << "  Mode: " << self.attr("profile_mode") << " | Threads: "
                          << self.attr("_threads"))
                  .str());
    py::print((py::Text() << rule << "\n").str());
}

void print_nothing_selected(const Call& call) {
    if (host::has_rich(call)) {
        host::print_markup(call,
                           nb::str("[yellow]No sources or models selected for profiling.[/yellow]"));
        host::print_markup(call, nb::str("[dim]Use --select to specify targets, e.g.: zel profile "
                                         "run --select 'source:*'[/dim]"));
        return;
    }
    py::print(nb::str("No sources or models selected for profiling."));
}

}  // namespace

nb::object run(const Call& call) {
    const nb::handle self = call.self();
    const nb::object start_time = host::now(call);
    nb::object result = call.global("ProfileExecutionResult")();

    print_header(call);

    const nb::object nodes = self.attr("_get_selected_nodes")();
    if (!py::truthy(nodes)) {
        print_nothing_selected(call);
        return result;
    }

    result = host::has_rich(call) ? self.attr("_profile_with_progress")(nodes, result)
                                  : self.attr("_profile_without_progress")(nodes, result);
    result.attr("duration_ms") = host::elapsed_ms(call, start_time);
    self.attr("_print_summary")(result);
    return result;
}

nb::object interpret_results(const Call&, nb::handle result) {
    // Rows that were not stored are lost: the run failed whatever the tables did.
    if (py::truthy(result.attr("errors")))
        return nb::bool_(false);
    if (!py::truthy(result.attr("profiles")))
        return nb::bool_(false);
    const nb::str success("success");
    const nb::object profiles = result.attr("profiles");
    for (nb::handle profile : profiles)
        if (py::compare(profile.attr("status"), Py_EQ, success))
            return nb::bool_(true);
    return nb::bool_(false);
}

}  // namespace kor::task
