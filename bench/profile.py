"""Where the time of `zel profile run` goes, side by side with what a user would run instead.

Run: make bench [BENCH_ARGS=--quick], or .venv/bin/python bench/profile.py [--quick]
(case 4 needs pandas, and RSS readings prefer psutil: the `bench` extras, which make bench installs)

Builds its DuckDB warehouses under bench/.data/ (reused while their sizes match) and prints one
table, every figure measured in this run on this machine:
  1. the whole run against an adapter that answers at once (our own time per column), and
     store writing, the one part of a run that is not the warehouse's nor the profiler's;
  2. our run with 1 thread against the same SQL statements sent straight to duckdb in a loop,
     and the share of the run's wall time during which no warehouse call was running;
  3. thread scaling (1, 2, 4) on the wide table and on a project of many small tables;
  4. DuckDB's SUMMARIZE and pandas (load, then the same metrics) on the same tables;
  5. peak RSS of a run in a child process (threads 1 and 4, with and without a DuckDB
     memory_limit), and RSS after 20 runs in one process;
  6. time per table of projects of 100, 1,000 and 10,000 tiny tables (--mode minimal); with
     --baseline REV, the DuckDB adapter of git revision REV beside this tree's;
  7. --skip-unchanged beside a full run on 10,000 tiny tables: the file unchanged, and 1 % of
     the tables changed.
The report of each run is rendered (with Rich when installed) to the null device.
"""

from __future__ import annotations

import argparse
import gc
import json
import resource
import sys
import tempfile
import time
from pathlib import Path

# The repository root in place of bench/ itself, whose profile.py would hide the standard one.
sys.path[0] = str(Path(__file__).resolve().parent.parent)

from bench import alternatives, cases, skip  # noqa: E402
from bench.warehouse import many_tables_warehouse, wide_warehouse, write_project  # noqa: E402


def _mib_peak() -> float:
    """This process's peak RSS. Linux keeps ru_maxrss across exec, so a child would report its
    parent's peak when that was higher; VmHWM belongs to the process image alone."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux


def _mib_now() -> float:
    try:
        import psutil
    except ImportError:
        with open("/proc/self/statm", encoding="ascii") as statm:
            return int(statm.read().split()[1]) * resource.getpagesize() / 2**20
    return psutil.Process().memory_info().rss / 2**20


def child(arguments: list[str]) -> None:
    """The measurements that need a process of their own; prints one JSON line."""
    import kor.task.profile  # noqa: F401
    from bench.adapters import CachingAdapter
    from bench.runs import measured_run, plain_run
    from kor.adapters.factory import get_adapter
    from kor.config.runtime import RuntimeConfig
    from kor.project.loader import load_manifest

    kind, project_dir = arguments[0], Path(arguments[1])
    if kind == "baseline":
        get_adapter(RuntimeConfig.load(project_dir))
        report = {"peak_mib": _mib_peak()}
    elif kind == "peak":
        plain_run(project_dir, int(arguments[2]))
        report = {"peak_mib": _mib_peak()}
    else:  # repeat: the real project, then the instant adapter, `runs` times each
        runs, scratch = int(arguments[2]), Path(arguments[3])
        report = {"real": [], "instant": [], "blocks": []}
        for run in range(1, runs + 1):
            plain_run(project_dir, 1)
            if run in (1, runs // 2, runs):
                report["real"].append(_mib_now())
        # The same runs with every answer kept from the first one: our whole code path on the
        # warehouse's real values, without asking the warehouse again.
        config = RuntimeConfig.load(project_dir)
        manifest = load_manifest(config)
        adapter = CachingAdapter(get_adapter(config))
        report["cached"] = []
        for run in range(1, runs + 1):
            measured_run(config, manifest, adapter, 1)
            if run in (1, runs // 2, runs):
                report["cached"].append(_mib_now())
        for run in range(1, runs + 1):
            cases.instant_run(100, 20, False, scratch)
            if run in (1, runs // 2, runs):
                gc.collect()
                report["instant"].append(_mib_now())
                # Live interpreter objects: a reference leaked per column shows here exactly.
                report["blocks"].append(sys.getallocatedblocks())
    print(json.dumps(report))


def print_table(rows: list[cases.Row]) -> None:
    widths = [max(len(getattr(row, name)) for row in rows) for name in ("case", "figure", "value")]
    for row in rows:
        if row.case and row.case[0].isdigit():
            print()
        print(f"{row.case:<{widths[0]}}  {row.figure:<{widths[1]}}  {row.value:>{widths[2]}}  "
              f"{row.ratio}".rstrip())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="smaller tables and fewer repetitions (under two minutes)")
    parser.add_argument("--only", type=int, nargs="*", choices=range(1, 8), metavar="CASE",
                        help="run only these cases (1 to 7); 3 and 4 bring in the cases "
                        "whose figures they compare against")
    parser.add_argument("--baseline", metavar="REV",
                        help="case 6 also runs the DuckDB adapter of this git revision")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        child(options.child)
        return

    sizes = cases.Sizes.quick() if options.quick else cases.Sizes()
    wanted = set(options.only or range(1, 8))
    if 4 in wanted and not alternatives.pandas_available():
        cases.progress(f"pandas is not installed, case 4 will skip it: {alternatives.INSTALL_HINT}")
    started = time.perf_counter()
    cases.progress("building or reusing the warehouses under bench/.data/")
    wide = wide_warehouse(sizes.wide_rows)
    many = many_tables_warehouse(sizes.many_tables, sizes.many_rows)
    figures = cases.Figures()
    rows: list[cases.Row] = []
    with tempfile.TemporaryDirectory(prefix="kor-bench-") as root:
        scratch = Path(root)
        # Project folders in the scratch space: each run's metadata store is written there.
        wide_dir = write_project(scratch / "wide", wide, declare_columns=True)
        many_dir = write_project(scratch / "many", many, declare_columns=False)
        if 1 in wanted:
            rows += cases.native_overhead(sizes, scratch)
        if wanted & {2, 3, 4}:
            rows += cases.floor(wide, wide_dir, sizes, figures)
        if wanted & {3, 4}:
            rows += cases.thread_scaling(wide_dir, many, many_dir, sizes, figures)
        if 4 in wanted:
            rows += cases.alternatives_case(wide, many, figures)
        if 5 in wanted:
            rows += cases.memory(wide, wide_dir, many, many_dir, sizes, scratch)
        if 6 in wanted:
            rows += cases.tiny_tables(sizes, scratch, options.baseline)
        if 7 in wanted:
            rows += skip.skip_unchanged(sizes, scratch)
    print_table(rows)
    print(f"\n({'quick' if options.quick else 'full'} run, {time.perf_counter() - started:.0f} s; "
          "ratios are ours / the other figure)")


if __name__ == "__main__":
    main()
