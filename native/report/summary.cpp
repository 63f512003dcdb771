// The closing summary: totals, every column alert, and where the results went.
#include "host/console.hpp"
#include "host/markup.hpp"
#include "python/object.hpp"
#include "python/text.hpp"
#include "report/report.hpp"

namespace kor::report {

namespace {

constexpr const char rule[] = "============================================================";
constexpr const char results_saved[] =
    "[cyan]Results saved to:[/cyan] [bold].zel/metadata_store.duckdb[/bold]";
constexpr const char view_report[] = "[dim]View report: zel profile serve[/dim]";

nb::str seconds(nb::handle duration_ms) {
    return (py::Text() << py::format(duration_ms / nb::int_(1000), ".1f") << "s").str();
}

// What went wrong in a run: the table records that failed, and how many tables were not
// stored (the drivers add one line per such table to `result.errors`).
struct Trouble {
    nb::list failed;
    nb::int_ unstored;

    bool any() const { return py::length(failed) > 0 || py::truthy(unstored); }
};

Trouble trouble_of(nb::handle result) {
    Trouble trouble{nb::list(), nb::int_(py::length(result.attr("errors")))};
    const nb::str success("success");
    const nb::object profiles = result.attr("profiles");
    for (nb::handle table : profiles)
        if (!py::compare(table.attr("status"), Py_EQ, success))
            trouble.failed.append(table);
    return trouble;
}

// "<source>.<table>: <reason>", the warehouse's message on one line; `text` makes each part
// printable (host::escaped for Rich markup, host::visible for plain text).
template <class Printable>
nb::str failure_line(nb::handle table, Printable&& text) {
    const nb::str name =
        (py::Text() << table.attr("source_name") << "." << table.attr("table_name")).str();
    return (py::Text() << text(name) << ": " << text(host::one_line(table.attr("error")))).str();
}

nb::str not_stored_line(const Trouble& trouble, nb::handle result) {
    return (py::Text() << trouble.unstored << " of " << result.attr("tables_profiled")
                       << " tables (see the warnings above)")
        .str();
}

void print_plain(nb::handle result, const Trouble& trouble) {
    py::print((py::Text() << "\n" << rule).str());
    py::print(nb::str("  SUMMARY"));
    py::print((py::Text() << "  Tables profiled: " << result.attr("tables_profiled")).str());
    if (py::length(trouble.failed) > 0)
        py::print(
            (py::Text() << "  Tables failed: " << nb::int_(py::length(trouble.failed))).str());
    py::print((py::Text() << "  Total rows: " << py::format(result.attr("total_rows"), ","))
                  .str());
    py::print((py::Text() << "  Total columns: " << result.attr("total_columns")).str());
    py::print((py::Text() << "  Alerts: " << result.attr("total_alerts")).str());
    py::print((py::Text() << "  Duration: " << seconds(result.attr("duration_ms"))).str());
    py::print((py::Text() << rule << "\n").str());
    if (!trouble.any())
        return;
    py::print(nb::str("Profiling finished with errors."));
    for (nb::handle table : trouble.failed)
        py::print((py::Text() << "  FAIL " << failure_line(table, host::visible)).str());
    if (py::truthy(trouble.unstored))
        py::print(
            (py::Text() << "  Not stored: " << not_stored_line(trouble, result) << "\n").str());
    else
        py::print(nb::str(""));
}

const char* severity_display(nb::handle alert) {
    if (py::compare(alert["severity"], Py_EQ, nb::str("error")))
        return "[red]ERROR[/red]";
    if (py::compare(alert["severity"], Py_EQ, nb::str("warning")))
        return "[yellow]WARN[/yellow]";
    return "[blue]INFO[/blue]";
}

void print_alerts(const Call& call, nb::handle result) {
    host::print_blank(call);
    host::print_markup(call, nb::str("[bold yellow]Alerts:[/bold yellow]"));
    host::print_blank(call);
    const nb::object box = call.global("box");
    const nb::object alerts_table =
        call.global("Table")(nb::arg("box") = box.attr("SIMPLE"), nb::arg("show_header") = true,
                             nb::arg("padding") = nb::make_tuple(0, 1));
    alerts_table.attr("add_column")("Severity", nb::arg("style") = "bold", nb::arg("width") = 8);
    alerts_table.attr("add_column")("Type", nb::arg("style") = "cyan", nb::arg("width") = 15);
    alerts_table.attr("add_column")("Location", nb::arg("style") = "white", nb::arg("width") = 30);
    alerts_table.attr("add_column")("Message", nb::arg("style") = "dim");
    const nb::object profiles = result.attr("profiles");
    for (nb::handle table : profiles) {
        const nb::object columns = table.attr("columns");
        for (nb::handle column : columns) {
            const nb::object alerts = column.attr("alerts");
            for (nb::handle alert : alerts) {
                const nb::str location = (py::Text() << table.attr("table_name") << "."
                                                     << column.attr("column_name"))
                                             .str();
                alerts_table.attr("add_row")(nb::str(severity_display(alert)),
                                             host::escaped(alert["type"]), host::escaped(location),
                                             host::escaped(alert["message"]));
            }
        }
    }
    host::print_markup(call, alerts_table);
}

// The closing lines of a run in which tables failed or were not stored: they say so instead
// of "Profiling complete!", give each failed table's reason, and count what was not stored.
void print_trouble(const Call& call, nb::handle result, const Trouble& trouble) {
    host::print_markup(call, nb::str("[bold red]Profiling finished with errors.[/bold red]"));
    for (nb::handle table : trouble.failed)
        host::print_line(call, (py::Text() << "  [red]FAIL[/red] "
                                           << failure_line(table, host::escaped))
                                   .str());
    host::print_blank(call);
    if (py::truthy(trouble.unstored))
        host::print_markup(call, (py::Text() << "[bold red]Not stored:[/bold red] "
                                             << not_stored_line(trouble, result))
                                     .str());
    else if (py::length(trouble.failed) < py::length(result.attr("profiles")))
        host::print_markup(call, nb::str(results_saved));
    host::print_markup(call, nb::str(view_report));
}

}  // namespace

nb::object print_summary(const Call& call, nb::handle result) {
    const Trouble trouble = trouble_of(result);
    if (!host::has_rich(call)) {
        print_plain(result, trouble);
        return nb::none();
    }
    host::print_blank(call);
    const bool has_alerts = py::compare(result.attr("total_alerts"), Py_GT, nb::int_(0));
    nb::list summary_lines;
    summary_lines.append(
        (py::Text() << "[bold]Tables profiled:[/bold]  " << result.attr("tables_profiled")).str());
    if (py::length(trouble.failed) > 0)
        summary_lines.append((py::Text() << "[bold red]Tables failed:[/bold red]    "
                                         << nb::int_(py::length(trouble.failed)))
                                 .str());
    summary_lines.append((py::Text() << "[bold]Total rows:[/bold]       "
                                     << py::format(result.attr("total_rows"), ","))
                             .str());
    summary_lines.append(
        (py::Text() << "[bold]Total columns:[/bold]    " << result.attr("total_columns")).str());
    summary_lines.append(has_alerts ? (py::Text() << "[bold yellow]Alerts:[/bold yellow]          "
                                                  << result.attr("total_alerts"))
                                          .str()
                                    : nb::str("[bold green]Alerts:[/bold green]          0"));
    summary_lines.append(
        (py::Text() << "[dim]Duration:[/dim]         " << seconds(result.attr("duration_ms")))
            .str());
    const nb::object panel = call.global("Panel")(
        nb::str("\n").attr("join")(summary_lines),
        nb::arg("title") = "[bold cyan]Summary[/bold cyan]", nb::arg("border_style") = "cyan",
        nb::arg("box") = call.global("box").attr("ROUNDED"));
    host::print_markup(call, panel);

    if (py::compare(result.attr("total_alerts"), Py_GT, nb::int_(0)))
        print_alerts(call, result);

    host::print_blank(call);
    if (!py::compare(result.attr("tables_profiled"), Py_GT, nb::int_(0))) {
        host::print_markup(call, nb::str("[yellow]No tables were profiled.[/yellow]"));
    } else if (trouble.any()) {
        print_trouble(call, result, trouble);
    } else {
        host::print_markup(call, nb::str("[bold green]Profiling complete![/bold green]"));
        host::print_blank(call);
        host::print_markup(call, nb::str(results_saved));
        host::print_markup(call, nb::str(view_report));
    }
    host::print_blank(call);
    return nb::none();
}

}  // namespace kor::report
