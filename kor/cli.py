"""The `zel` command: parses, calls the library, and turns known failures into exit statuses."""

from __future__ import annotations

import errno
import logging
import os
import re
import shlex
import sys
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from datetime import datetime, timedelta
from pathlib import Path
from typing import IO, Any, TextIO, cast

import click
import duckdb

from kor import __version__
from kor.adapters.factory import AdapterError
from kor.compute.metadata import store_path
from kor.config.files import ProjectError
from kor.profiling import (
    DEFAULT_MODE,
    MODES,
    ProfileRun,
    StoreReadError,
    StoreWriteError,
    profile_project,
    read_errors,
)
from kor.profiling.anomalies import ANOMALY
from kor.profiling.diff import RunNotFound
from kor.profiling.rules import SEVERITY_NAMES
from kor.text import printable

PROJECT_DIR = click.option("--project-dir", type=click.Path(file_okay=False, path_type=Path),
                           default=".", show_default=True, help="The project folder.")
FORMAT = click.option("--format", "output_format", type=click.Choice(["table", "json"]),
                      default="table", show_default=True,
                      help="Rich tables for people, JSON for programs.")
SELECT = click.option("-s", "--select", multiple=True,
                      help="Selectors: source:GLOB, model:GLOB, a glob or an exact name; several "
                      "per value, separated by spaces.")
EXCLUDE = click.option("--exclude", multiple=True, help="Selectors of nodes to leave out.")
ALERT_SEVERITIES = tuple(reversed(SEVERITY_NAMES))


class CommandFailure(click.ClickException):
    """A run or a read that failed: "Error: …" on stderr, exit status 1."""

    exit_code = 1
    prefix = "Error: "

    def show(self, file: IO[Any] | None = None) -> None:
        click.echo(f"{self.prefix}{self.format_message()}", file=file, err=True)


class UnusableInput(CommandFailure):
    """A usage, project or warehouse error: exit status 2."""

    exit_code = 2


class NothingStored(CommandFailure):
    """The store holds nothing for what was asked: the line as it stands, exit status 1."""

    prefix = ""


@contextmanager
def known_failures() -> Iterator[None]:
    """The library's known errors as one line and an exit status; anything else is a bug."""
    try:
        yield
    except (ProjectError, AdapterError, RunNotFound) as exc:
        raise UnusableInput(str(exc)) from None
    except (StoreReadError, StoreWriteError) as exc:
        raise CommandFailure(str(exc)) from None


def _count(n: int, noun: str) -> str:
    return f"{n:,} {noun}{'' if n == 1 else 's'}"


def _warn_unmatched(lines: list[str]) -> None:
    """Selectors that picked nothing, one warning each on stderr (the command goes on)."""
    for line in lines:
        click.echo(printable(f"Warning: {line}."), err=True)


class _WatchedOutput:
    """sys.stdout that remembers its first failed write, and from then on writes nothing.

    The failure is not raised to the writer: the task would take it inside a table as the
    table's failure, or outside one as the end of the run, while only the output was lost
    (`zel profile run | head -1`). The command carries on and ends saying so.
    """

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.error: OSError | None = None

    def write(self, text: str) -> int:
        if self.error is None:
            try:
                return self.stream.write(text)
            except OSError as exc:
                self.error = exc
        return len(text)

    def flush(self) -> None:
        if self.error is None:
            try:
                self.stream.flush()
            except OSError as exc:
                self.error = exc

    def __getattr__(self, name: str) -> Any:
        return getattr(self.stream, name)


@contextmanager
def watched_stdout() -> Iterator[None]:
    """A command whose output cannot be written (a full disk) ends with one line on stderr and
    exit status 1; a closed pipe is left to click, which ends quietly."""
    output = _WatchedOutput(sys.stdout)
    sys.stdout = cast(TextIO, output)
    try:
        yield
        output.flush()
    except Exception:
        if output.error is None:
            raise
        # What failed in the command was its output; the line below says so.
    finally:
        sys.stdout = output.stream
    if output.error is None:
        return
    if output.error.errno == errno.EPIPE:
        raise output.error
    # The interpreter flushes stdout again at exit: let that write go nowhere, quietly.
    with suppress(OSError), open(os.devnull, "w") as sink:
        os.dup2(sink.fileno(), output.stream.fileno())
    raise CommandFailure(f"cannot write to standard output: "
                         f"{output.error.strerror or output.error}") from None


def _output_failed() -> bool:
    """Whether standard output has failed so far (what is buffered is written first)."""
    sys.stdout.flush()
    return isinstance(sys.stdout, _WatchedOutput) and sys.stdout.error is not None


class _Zel(click.Group):
    def invoke(self, ctx: click.Context) -> Any:
        with watched_stdout():
            return super().invoke(ctx)


def _nothing_stored(project_dir: Path) -> NothingStored:
    return NothingStored(f"No profiles stored yet in {store_path(project_dir.resolve())}: "
                         "run `zel profile run` first.")


@click.group(cls=_Zel)
@click.version_option(__version__, prog_name="zel")
def main() -> None:
    """zel: profile a kor SQL project's warehouse, keep every run, compare and report them."""
    # The pool reports each failed reconnection on stderr, across the live display; the
    # tables that fail carry the server's message already.
    logging.getLogger("psycopg.pool").setLevel(logging.CRITICAL)


@main.group()
def profile() -> None:
    """Profile the project's sources and models; read, compare and prune what the runs
    stored."""


MODES_HELP = """Profiling modes (--mode):

\b
  explorative  every figure: null and distinct counts; min, max, mean,
               standard deviation, quartiles and median of numeric
               columns; text lengths; the ten most frequent values of
               columns with at most 100 distinct values (default)
  minimal      as explorative without quartiles and median
  sensitive    no value of the data is asked for, stored or printed:
               null and distinct counts, text lengths, and the mean and
               standard deviation of numeric columns only
  time-series  the same as explorative
"""


@profile.command("run", epilog=MODES_HELP)
@PROJECT_DIR
@click.option("--target", default=None, help="Target of zel_project.yml (default: its own).")
@SELECT
@EXCLUDE
@click.option("--mode", type=click.Choice(MODES), default=DEFAULT_MODE, show_default=True,
              help="What to measure; see below.")
@click.option("--threads", type=click.IntRange(min=1), default=None,
              show_default="the engine's parallelism on Spark, else 4",
              help="Columns profiled at once (and warehouse sessions).")
@click.option("--fail-on", type=click.Choice(SEVERITY_NAMES), default=None,
              help="Exit 1 when a table fails or an alert of this severity or worse is "
                   "raised.")
@click.option("--skip-unchanged", is_flag=True,
              help="Reuse a table's last measured profile when the warehouse proves its data "
                   "unchanged since (DuckDB: the warehouse file was not written); measure "
                   "every other table.")
def profile_run(project_dir: Path, target: str | None, select: tuple[str, ...],
                exclude: tuple[str, ...], mode: str, threads: int | None,
                fail_on: str | None, skip_unchanged: bool) -> None:
    """Profile every column of the selected sources and models.

    Exit status: 0 when the run succeeded; 1 when no table was profiled, rows could not be
    stored, a table failed or an alert reached --fail-on (a failed table fails the run only
    with --fail-on), the output could not be written, or the run was interrupted; 2 for a
    usage or project error or a warehouse that cannot be reached.
    """
    with known_failures():
        run = profile_project(project_dir, target=target, select=select, exclude=exclude,
                              mode=mode, threads=threads, fail_on=fail_on,
                              skip_unchanged=skip_unchanged)
    _warn_unmatched(run.unmatched)
    if run.reused:
        click.echo(f"{_count(len(run.reused), 'table')} unchanged: earlier profiles reused.")
    _print_judgement(run)
    _print_where_stored(project_dir, run)
    if run.gating_alerts:
        click.echo(f"Failing the run: {_count(len(run.gating_alerts), 'alert')} of severity "
                   f"{fail_on} or worse.", err=True)
    if fail_on is not None and run.failed_tables:
        click.echo(f"Failing the run: {_count(len(run.failed_tables), 'table')} failed.",
                   err=True)
    if run.unrecorded:
        click.echo(f"Warning: {_count(len(run.unrecorded), 'table run')} could not be recorded "
                   f"in {run.store_path}.", err=True)
    if run.succeeded and _output_failed():
        # The run recorded status 0; the command ends with 1 (see watched_stdout).
        with suppress(duckdb.Error, OSError):
            run.record_exit_status(CommandFailure.exit_code)
    elif not run.succeeded:
        raise click.exceptions.Exit(CommandFailure.exit_code)


def _print_where_stored(project_dir: Path, run: ProfileRun) -> None:
    """The module's closing lines name the store and the commands as seen from the project
    folder; run from elsewhere, the store's real path and the command that reads it follow."""
    here, root = Path.cwd().resolve(), project_dir.resolve()
    if root == here or not (run.result.profiles or run.reused):
        return

    def shown(path: Path) -> str:
        try:
            return str(path.resolve().relative_to(here))
        except ValueError:
            return str(path.resolve())

    click.echo(printable(f"Stored in {shown(run.store_path)}; to see it: zel profile show "
                         f"--project-dir {shlex.quote(shown(root))}"))


# Tables named at most on a line that lists tables.
SHOWN_NAMES = 5


def _print_judgement(run: ProfileRun) -> None:
    """The run's anomalies, after the run's own summary."""
    from kor.report.wording import anomaly_message

    if run.anomaly_error is not None:
        click.echo(f"Warning: the run's figures were not judged against earlier runs: "
                   f"{run.anomaly_error}", err=True)
    judgement = run.judgement
    if judgement is None:
        return
    for anomaly in judgement.anomalies:
        label = "shift" if anomaly.status.value == "shift" else str(anomaly.severity)
        click.echo(printable(f"{ANOMALY} {label:<8}{anomaly.where}: "
                             f"{anomaly_message(anomaly)}"))
    waiting: dict[tuple[int, int], list[str]] = {}
    for (source, table), runs, needed in judgement.too_few:
        waiting.setdefault((runs, needed), []).append(f"{source}.{table}")
    for (runs, needed), names in sorted(waiting.items()):
        # A project of thousands of tables waits on one line, not on a line a page long.
        shown = ", ".join(names[:SHOWN_NAMES]) + (
            f" and {_count(len(names) - SHOWN_NAMES, 'more table')}"
            if len(names) > SHOWN_NAMES else "")
        click.echo(printable(f"Anomalies: not enough history for {shown} "
                             f"({runs} of the {needed} earlier values needed)."))


@profile.command("anomalies")
@PROJECT_DIR
@SELECT
@EXCLUDE
@FORMAT
@click.option("--fail-on", type=click.Choice(SEVERITY_NAMES), default="warning",
              show_default=True, help="Exit 1 when an anomaly of this severity or worse is "
                                      "listed.")
def profile_anomalies(project_dir: Path, select: tuple[str, ...], exclude: tuple[str, ...],
                      output_format: str, fail_on: str) -> None:
    """List the anomalies of each table's latest run, as the run stored them: figures
    outside the range of their own earlier runs. Reads the store only.

    Exit status: 0 when none reaches --fail-on; 1 when one does, or no run is recorded; 2 for
    a usage or project error.
    """
    from kor.profiling.anomalies import latest_anomalies
    from kor.profiling.rules import Severity
    from kor.report.changes import anomalies_json
    from kor.report.wording import anomaly_message

    with known_failures():
        found, unmatched = latest_anomalies(project_dir, select=select, exclude=exclude)
    _warn_unmatched(unmatched)
    if found is None:
        raise _nothing_stored(project_dir)
    if output_format == "json":
        click.echo(anomalies_json(found))
    elif not found:
        click.echo("No anomalies in the tables' latest runs.")
    for anomaly in found if output_format != "json" else []:
        click.echo(printable(f"{str(anomaly.severity):<8} run {anomaly.run_id}  "
                             f"{anomaly.where}: {anomaly_message(anomaly)}"))
    if any(anomaly.severity >= Severity.named(fail_on) for anomaly in found):
        raise click.exceptions.Exit(CommandFailure.exit_code)


def _alert_type(ctx: click.Context, param: click.Parameter, value: str | None) -> str | None:
    from kor.profiling.alerts import ALERT_TYPES

    if value is None or value.upper() in ALERT_TYPES:
        return None if value is None else value.upper()
    raise click.BadParameter(f"{value!r} is not a type of alert; one of "
                             f"{', '.join(ALERT_TYPES)}")


@profile.command("show")
@PROJECT_DIR
@click.option("--table", default=None, metavar="NAMES",
              help="Only these tables, with their top values and history: NAME, SOURCE.NAME "
                   "or what --select takes (source:GLOB, model:GLOB, a glob); several "
                   "separated by spaces.")
@click.option("--alerts", "alerts_only", is_flag=True,
              help="List the alerts of every table's latest profile instead.")
@click.option("--severity", type=click.Choice(ALERT_SEVERITIES), default=None,
              help="Only the alerts of this severity (implies --alerts).")
@click.option("--type", "alert_type", default=None, metavar="TYPE", callback=_alert_type,
              help="Only the alerts of this type, such as MISSING (implies --alerts).")
@click.option("--wide", is_flag=True,
              help="Every figure of the column tables, however wide the terminal; without "
                   "it, quartiles and the other figures that do not fit are left out and "
                   "named.")
@FORMAT
def profile_show(project_dir: Path, table: str | None, alerts_only: bool,
                 severity: str | None, alert_type: str | None, wide: bool,
                 output_format: str) -> None:
    """Print the overview of every table, then each table's latest profile (columns in table
    order), its alerts and its changes since the previous run."""
    from rich.console import Console

    from kor.report import console
    from kor.report.changes import as_json
    from kor.report.show import shown

    alerts = alerts_only or severity is not None or alert_type is not None
    with known_failures():
        found = shown(project_dir, table, with_alerts=alerts, severity=severity,
                      alert_type=alert_type, with_rows=output_format == "json")
    if found is None:
        raise _nothing_stored(project_dir)
    _warn_unmatched(found.unmatched)
    if not found.tables:
        raise NothingStored(f"No stored profile for table '{table}'.")
    if found.alerts is not None:
        if output_format == "json":
            click.echo(as_json([entry.record() for entry in found.alerts.entries]))
        else:
            console.print_alerts(Console(), found.alerts)
    elif found.rows is not None:
        click.echo(as_json(found.rows))
    else:
        terminal = Console()
        console.print_overview(terminal, found.overview)
        terminal.print()
        for view in found.tables:
            console.print_table(terminal, view, detail=table is not None, wide=wide)


@profile.command("diff")
@PROJECT_DIR
@click.option("--base", default=None, metavar="RUN",
              help="The older run: a run id (digits alone, as `history` lists them), or "
                   "a date, YYYY-MM-DD or an ISO date and time with or without an offset "
                   "(the last run started then or before). Default: each table's previous "
                   "measured run.")
@click.option("--head", default=None, metavar="RUN",
              help="The newer run, likewise. Default: each table's latest run.")
@SELECT
@EXCLUDE
@FORMAT
@click.option("--fail-on", type=click.Choice(SEVERITY_NAMES), default="error",
              show_default=True, help="Exit 1 when a change of this severity or worse is found.")
@click.option("--allow-empty", is_flag=True,
              help="Exit 0 when no table has a recorded run to compare (default: 1).")
def profile_diff(project_dir: Path, base: str | None, head: str | None,
                 select: tuple[str, ...], exclude: tuple[str, ...], output_format: str,
                 fail_on: str, allow_empty: bool) -> None:
    """Show what changed between two runs, per table and column.

    Schema changes, row counts, null and distinct shares, min/max/mean/stddev, alerts and top
    values, each with a severity (defaults in the README, overridable under `diff:` in
    zel_project.yml). Exit status 1 when a change reaches --fail-on or nothing was compared
    (no recorded run of the selected tables; --allow-empty makes that 0), 2 for a usage
    error.
    """
    from rich.console import Console

    from kor.profiling.history import diff
    from kor.profiling.rules import Severity
    from kor.report.changes import diff_json, print_diff

    with known_failures():
        changes = diff(project_dir, base=base, head=head, select=select, exclude=exclude)
    _warn_unmatched(changes.unmatched)
    if output_format == "json":
        click.echo(diff_json(changes))
    else:
        print_diff(Console(), changes)
    # A gate fails closed: a diff that compared nothing has checked nothing.
    if (not changes.tables and not allow_empty) or (
            changes.worst is not None and changes.worst >= Severity.named(fail_on)):
        raise click.exceptions.Exit(CommandFailure.exit_code)


@profile.command("history")
@PROJECT_DIR
@click.option("--table", default=None, metavar="NAMES",
              help="The runs of these tables: NAME, SOURCE.NAME or what --select takes "
                   "(source:GLOB, model:GLOB, a glob); several separated by spaces.")
@FORMAT
def profile_history(project_dir: Path, table: str | None, output_format: str) -> None:
    """List the recorded runs, newest first (of some tables with --table): what became of each
    run's profiling (completed, tables_failed, nothing_selected, interrupted, abandoned: killed
    outright) and the exit status its command ended with. Exit status 1 when nothing is
    recorded."""
    from rich.console import Console

    from kor.profiling.history import runs, runs_of_tables
    from kor.report.changes import as_json, print_runs, print_table_runs

    with known_failures():
        if table is None:
            entries: list[Any] = runs(project_dir)
        else:
            entries, unmatched = runs_of_tables(project_dir, table)
            _warn_unmatched(unmatched)
    if not entries:
        if table is not None:
            raise NothingStored(f"No recorded run of table '{table}'.")
        raise _nothing_stored(project_dir)
    if output_format == "json":
        click.echo(as_json(entries))
    elif table is None:
        print_runs(Console(), entries)
    else:
        print_table_runs(Console(), entries)


_AGE_UNITS = {"d": ("days", timedelta(days=1)), "h": ("hours", timedelta(hours=1)),
              "w": ("weeks", timedelta(weeks=1))}


def _age(value: str) -> timedelta:
    match = re.fullmatch(r"(\d+)([dhw])", value.strip())
    if match is None:
        raise click.BadParameter(f"{value!r}: expected a number of days, hours or weeks "
                                 "such as 30d, 12h or 2w")
    amount, (unit, step) = int(match[1]), _AGE_UNITS[match[2]]
    # The cutoff is a date: it cannot lie before the calendar's first day.
    most = (datetime.now() - datetime.min) // step
    if amount > most:
        raise click.BadParameter(f"{value!r}: an age reaches back at most {most:,} {unit} "
                                 "(to the year 1)")
    return amount * step


@profile.command("prune")
@PROJECT_DIR
@click.option("--keep", type=click.IntRange(min=0), default=None,
              help="Keep the newest N runs, remove the others.")
@click.option("--older-than", default=None, metavar="AGE",
              help="Remove the runs started more than AGE ago: 30d, 12h, 2w.")
@click.option("--including-latest", is_flag=True,
              help="Remove also the runs that hold a table's latest measured profile (then "
                   "`show` no longer has that table).")
def profile_prune(project_dir: Path, keep: int | None, older_than: str | None,
                  including_latest: bool) -> None:
    """Remove old runs (their tables and rows too) from the store, in one transaction.

    Runs killed outright (abandoned) and runs without tables do not count among the --keep
    newest. A run that holds a table's latest measured profile is kept unless
    --including-latest is given. Exit status 1 when the store cannot be written, 2 for a
    usage error.
    """
    from kor.profiling.history import prune

    if (keep is None) == (older_than is None):
        raise click.UsageError("give one of --keep and --older-than")
    age = None if older_than is None else _age(older_than)
    with known_failures():
        pruned = prune(project_dir, keep=keep, older_than=age,
                       including_latest=including_latest)
    if pruned.kept_latest:
        ids = ", ".join(str(run_id) for run_id in pruned.kept_latest)
        click.echo(f"Kept {_count(len(pruned.kept_latest), 'run')} holding a table's latest "
                   f"measured profile: {ids} (--including-latest removes "
                   f"{'it' if len(pruned.kept_latest) == 1 else 'them'}).", err=True)
    click.echo(f"Removed {_count(pruned.removed, 'run')}.")


@profile.command("serve")
@PROJECT_DIR
@click.option("--host", default="127.0.0.1", show_default=True, help="Address to listen on.")
@click.option("--port", type=click.IntRange(0, 65535), default=8080, show_default=True,
              help="Port to listen on (0: any free port).")
def profile_serve(project_dir: Path, host: str, port: int) -> None:
    """Serve the stored profiles as an HTML report until Ctrl-C."""
    from kor.report.server import ReportServer
    from kor.report.site import ReportSource

    with known_failures():
        source = ReportSource.for_project(project_dir)
    try:
        server = ReportServer(source, host, port)
    except (OSError, ValueError) as exc:
        raise UnusableInput(f"cannot listen on {host} port {port}: {exc}") from None
    try:
        with server:
            click.echo(f"Serving the profile report at {server.url} (Ctrl-C to stop)")
            if not server.is_loopback:
                click.echo("Warning: the report is reachable from other machines.", err=True)
            server.serve_forever()
    except KeyboardInterrupt:
        click.echo("Stopped.")


@profile.command("report")
@PROJECT_DIR
@click.option("--output", required=True, type=click.Path(dir_okay=False, path_type=Path),
              help="The HTML file to write.")
def profile_report(project_dir: Path, output: Path) -> None:
    """Write the stored profiles as one self-contained HTML file."""
    from kor.report.site import ReportSource, report_document

    with known_failures():
        source = ReportSource.for_project(project_dir)
        with read_errors(source.reader.path):
            document = report_document(source)
    if document is None:
        raise _nothing_stored(project_dir)
    try:
        output.write_text(document, encoding="utf-8")
    except OSError as exc:
        raise UnusableInput(f"cannot write {output}: {exc.strerror or exc}") from None
    click.echo(f"Wrote the profile report to {output}")
