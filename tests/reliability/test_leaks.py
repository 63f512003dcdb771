"""The same project profiled 50 times in one process: nothing may pile up, on any path."""

from __future__ import annotations

import contextlib
import gc
import os
import sys
import threading
import types
from dataclasses import dataclass

import pytest

from tests.builders import flags
from tests.faults import Fault, FaultyAdapter, InstantAdapter, install
from tests.reliability.scenario import project, sequential_cases

RUNS = 50
# The interpreter's free lists of tuples, floats and dicts hold on to freed blocks and fill
# over the first few hundred runs (a column's histogram is a list of dicts): measuring starts
# once they have. Over 800 clean runs the count grows by 100, 60, 80, 20, 1, 12 and 8 blocks
# per 100: filling, not leaking.
WARM_UP = 300
# Bounds for a window of 50 runs after the warm-up. A leak of one tracked object or one
# reference a run crosses the first and the third; the block count wanders by up to about 100
# blocks over 50 clean runs, so a leak of two blocks a run (one object a column) crosses it.
MAX_NEW_OBJECTS = RUNS // 2
MAX_NEW_BLOCKS = 2 * RUNS
MAX_NEW_REFERENCES = 0
MAX_RSS_GROWTH = 5 * 1024 * 1024

CASES = sequential_cases()
# Under the sanitizers freed memory waits in quarantine, so RSS only grows.
SANITIZED = os.environ.get("KOR_SANITIZED") == "1"


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@dataclass
class Snapshot:
    objects: int
    blocks: int
    references: dict
    rss: int

    @classmethod
    def take(cls, shared: dict, started: list) -> Snapshot:
        """After the threads the runs started have ended and the collector has run."""
        sys.stdout.flush()  # text waiting in the stream's buffer is not ours
        # Rich's refresh thread is told to stop, not joined: it ends on its next tick. A thread
        # that has just left `threading.enumerate()` still holds its Live from a frame the
        # collector cannot see, until join() returns.
        while started:
            started.pop().join(timeout=5)
        gc.collect()
        return cls(len(gc.get_objects()), sys.getallocatedblocks(),
                   {name: sys.getrefcount(obj) for name, obj in shared.items()}, rss_bytes())


class NullStore:
    """A metadata store that keeps nothing, for the paths where the store is not the point."""

    def __init__(self, project_root):
        pass

    def initialize(self):
        pass

    def save_profile_result(self, row):
        pass

    def close(self):
        pass


@pytest.fixture
def null_store(monkeypatch):
    from kor.compute.metadata import ColumnProfileResult

    module = types.ModuleType("kor.compute.metadata")
    module.ColumnProfileResult = ColumnProfileResult
    module.ProjectMetadataStore = NullStore
    monkeypatch.setitem(sys.modules, "kor.compute.metadata", module)


@pytest.fixture
def quiet(monkeypatch, profile_module):
    """Plain output into the null device, so that nothing printed is kept."""
    monkeypatch.setattr(profile_module, "HAS_RICH", False)
    monkeypatch.setattr(profile_module, "console", None)
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        yield sink


@contextlib.contextmanager
def threads_started():
    """The threads started inside the block, for Snapshot.take to join."""
    started: list[threading.Thread] = []
    start = threading.Thread.start

    def recording(thread: threading.Thread) -> None:
        start(thread)
        started.append(thread)

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(threading.Thread, "start", recording)
        yield started


def assert_runs_keep_nothing(make_task, faulty, fault_factory, threads=1, expect=None,
                             warm_up=WARM_UP, count_blocks=True):
    """Profiles the project warm_up + RUNS times and compares before and after the RUNS."""
    graph = project()
    args = flags(THREADS=threads)
    shared = {"adapter": faulty, "inner adapter": faulty.inner, "flags": args, "manifest": graph,
              "None": None, "True": True, "False": False,
              **{f"node {uid}": node for uid, node in graph.sources.items()},
              **{f"columns of {uid}": node.columns for uid, node in graph.sources.items()}}
    for node in graph.sources.values():
        for name, info in node.columns.items():
            shared[f"name {name}"], shared[f"type of {name}"] = name, info.data_type
        shared[f"identifier {node.identifier}"] = node.identifier
    task = make_task(args, graph)
    shared["config"] = task.runtime_config
    del task

    def run_once():
        faulty.arm(fault_factory())
        task = make_task(args, graph)
        if expect is None:
            result = task.run()
            assert result.tables_profiled == 2
        else:
            with pytest.raises(expect):
                task.run()
        faulty.calls.clear()  # the wrapper's own record of the run is not the task's

    def window() -> dict:
        before = Snapshot.take(shared, started)
        for _ in range(RUNS):
            run_once()
        after = Snapshot.take(shared, started)
        return {"objects": after.objects - before.objects,
                "blocks": after.blocks - before.blocks if count_blocks else 0,
                "references": {name: after.references[name] - count
                               for name, count in before.references.items()
                               if after.references[name] - count > MAX_NEW_REFERENCES},
                "rss": 0 if SANITIZED else after.rss - before.rss}

    def within(growth: dict) -> bool:
        return (growth["objects"] <= MAX_NEW_OBJECTS and growth["blocks"] <= MAX_NEW_BLOCKS
                and not growth["references"] and growth["rss"] < MAX_RSS_GROWTH)

    with threads_started() as started:
        for _ in range(warm_up):
            run_once()
        # Caches that fill slowly (free lists, the ABC caches the store's driver warms) can
        # still be filling in the first window: up to two more are measured. A leak grows in
        # each.
        windows = [window()]
        while not within(windows[-1]) and len(windows) < 3:
            windows.append(window())
    assert any(within(growth) for growth in windows), windows


@pytest.fixture
def faulty(monkeypatch):
    return install(monkeypatch, FaultyAdapter(InstantAdapter()))


def test_success_path_with_the_real_store(make_task, faulty, quiet):
    # A real store costs tens of milliseconds a table: a short warm-up, so no block count.
    assert_runs_keep_nothing(make_task, faulty, lambda: None, warm_up=10, count_blocks=False)


@pytest.mark.parametrize("threads", [1, 4])
def test_success_path(make_task, faulty, quiet, null_store, threads):
    assert_runs_keep_nothing(make_task, faulty, lambda: None, threads)


def test_live_display_path(make_task, faulty, null_store, monkeypatch, profile_module):
    from rich.console import Console

    with open(os.devnull, "w") as sink:
        monkeypatch.setattr(profile_module, "HAS_RICH", True)
        monkeypatch.setattr(profile_module, "console", Console(file=sink, width=100))
        # Rich's own caches (styles, cell widths) hold blocks that come and go with the text
        # rendered; objects and references still have to stay flat.
        assert_runs_keep_nothing(make_task, faulty, lambda: None, 2, count_blocks=False)


@pytest.mark.parametrize("case", CASES, ids=lambda case: f"{case[0]}#{case[1]}-{case[2].kind}")
def test_each_adapter_failure(make_task, faulty, quiet, null_store, case):
    operation, n, _ = case
    assert_runs_keep_nothing(make_task, faulty,
                             lambda: Fault(operation, n, lambda: RuntimeError("injected")))


@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize("operation, n", [("get_adapter", 1), ("quote", 4), ("execute", 3),
                                          ("connection_named", 15)])
def test_interrupted_runs(make_task, faulty, quiet, null_store, operation, n, threads):
    assert_runs_keep_nothing(make_task, faulty, lambda: Fault(operation, n, KeyboardInterrupt),
                             threads, expect=KeyboardInterrupt)


def test_store_failure_path(make_task, faulty, quiet, monkeypatch):
    from kor.compute.metadata import ProjectMetadataStore

    def refuse(self):
        raise OSError("store refused")

    monkeypatch.setattr(ProjectMetadataStore, "initialize", refuse)
    assert_runs_keep_nothing(make_task, faulty, lambda: None)
