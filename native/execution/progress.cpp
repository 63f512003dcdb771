// The live driver: a Rich progress display, and a coloured line per table above it.
#include "execution/execution.hpp"
#include "execution/totals.hpp"
#include "host/console.hpp"
#include "host/markup.hpp"
#include "python/object.hpp"
#include "python/text.hpp"
#include "python/with_block.hpp"

namespace kor::execution {

nb::object profile_with_progress(const Call& call, nb::handle nodes, nb::handle result) {
    const nb::handle self = call.self();

    const nb::object spinner = call.global("SpinnerColumn")();
    const nb::object text = call.global("TextColumn")("[bold blue]{task.description}");
    const nb::object bar = call.global("BarColumn")(nb::arg("bar_width") = 40);
    const nb::object percentage = call.global("TaskProgressColumn")();
    const nb::object m_of_n = call.global("MofNCompleteColumn")();
    const nb::object elapsed = call.global("TimeElapsedColumn")();
    const nb::object display = call.global("Progress")(spinner, text, bar, percentage, m_of_n,
                                                       elapsed,
                                                       nb::arg("console") = call.global("console"));

    py::with_block(display, [&](nb::handle progress) {
        const nb::object main_task = progress.attr("add_task")(
            "[cyan]Profiling...", nb::arg("total") = nb::int_(py::length(nodes)));
        // The display and its task, for a subclass that adds a table's column progress to the
        // line; None again once the display has ended.
        self.attr("_live_progress") = nb::make_tuple(progress, main_task);
        Py_ssize_t i = 0;
        for (nb::handle node : nodes) {
            ++i;
            const nb::object node_name = self.attr("_get_node_display_name")(node);
            const nb::str shown = host::escaped(node_name);
            progress.attr("update")(
                main_task,
                nb::arg("description") =
                    (py::Text() << "[cyan]Profiling[/cyan] [bold]" << shown << "[/bold]").str());
            const nb::object profile =
                self.attr("_profile_node")(node, nb::int_(i), nb::int_(py::length(nodes)));
            if (py::truthy(profile)) {
                add_to_totals(result, profile);
                store(self, result, profile);
                const char* const status_icon =
                    py::compare(profile.attr("status"), Py_EQ, nb::str("success"))
                        ? "[green]OK[/green]"
                        : "[red]FAIL[/red]";
                host::print_markup(
                    call, (py::Text() << "  " << status_icon << " " << shown << " [dim]("
                                      << py::format(profile.attr("row_count"), ",") << " rows, "
                                      << profile.attr("column_count") << " cols, "
                                      << profile.attr("duration_ms") << "ms)[/dim]")
                              .str());
            }
            progress.attr("advance")(main_task);
        }
    });
    self.attr("_live_progress") = nb::none();
    return nb::borrow(result);
}

}  // namespace kor::execution
