"""Importing kor.task.profile: its namespace, with and without Rich, and only once."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

NAMESPACE_ORDER = [
    "json", "time", "ThreadPoolExecutor", "as_completed", "dataclass", "field", "datetime",
    "Path", "Any", "Dict", "List", "Optional", "Set", "click",
    "Console", "Progress", "TextColumn", "BarColumn", "MofNCompleteColumn", "TimeElapsedColumn",
    "SpinnerColumn", "TaskProgressColumn", "Table", "box", "Panel", "Style", "Live",
    "HAS_RICH", "RunStatus", "RuntimeConfig", "Manifest", "SourceDefinition", "ModelNode",
    "BaseTask", "console", "ColumnProfile", "TableProfile", "ProfileExecutionResult",
    "ProfileTask",
]


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)


def test_namespace_is_bound_in_order(profile_module):
    names = [n for n in vars(profile_module) if not n.startswith("__")]
    assert names == NAMESPACE_ORDER


def test_names_are_the_real_objects(profile_module):
    import concurrent.futures
    import dataclasses
    import datetime
    import json
    import time

    import rich.box
    from rich.console import Console
    from rich.panel import Panel

    from kor.contracts.graph.nodes import SourceDefinition
    from kor.task.base import BaseTask

    m = profile_module
    assert (m.json, m.time, m.box) == (json, time, rich.box)
    assert m.ThreadPoolExecutor is concurrent.futures.ThreadPoolExecutor
    assert m.dataclass is dataclasses.dataclass and m.datetime is datetime.datetime
    assert m.Panel is Panel and m.SourceDefinition is SourceDefinition and m.BaseTask is BaseTask
    assert m.HAS_RICH is True
    assert isinstance(m.console, Console)


def test_module_docstring(profile_module):
    lines = profile_module.__doc__.splitlines()
    assert lines[0] == "ZEL Profile Task"
    for expected in [
        "Data profiling task with DAG-based execution for sources and models.",
        "Works like 'zel run' with full selector support and ZEL compute rules.",
        "Modes:",
        # What each mode does, no more (the modes once promised analyses never made).
        "- explorative: every metric, with quartiles and median of numeric columns [DEFAULT]",
        "- minimal: as explorative, without quartiles and median",
        "- sensitive: counts, lengths, mean and stddev only (no data value is stored)",
        "- time-series: as explorative",
        "- row_count, column_count",
        "- null_count, null_percent",
        "- distinct_count, distinct_percent",
        "- min, max, mean, median, stddev",
        "- top_values (most frequent)",
        "- data_type distribution",
    ]:
        assert expected in lines
    modes = lines.index("Modes:")
    assert lines[modes + 1].startswith("- explorative")


REFUSE = """
    import importlib.abc, sys
    class Refuse(importlib.abc.MetaPathFinder):
        def __init__(self, prefix, error):
            self.prefix, self.error = prefix, error
        def find_spec(self, name, path=None, target=None):
            if name == self.prefix or name.startswith(self.prefix + "."):
                raise self.error(f"refused {name}")
            return None
"""


@pytest.mark.parametrize(
    "refused, error",
    [("rich", "ModuleNotFoundError"), ("rich.progress", "ImportError")],
)
def test_imports_without_rich(refused, error):
    done = run_python(REFUSE + f"""
    for name in [n for n in sys.modules if n == "rich" or n.startswith("rich.")]:
        del sys.modules[name]
    sys.meta_path.insert(0, Refuse({refused!r}, {error}))
    import kor.task.profile as m
    print(m.HAS_RICH, m.console, hasattr(m, "Console"), hasattr(m, "Progress"), m.ProfileTask)
    """)
    assert done.returncode == 0, done.stderr
    # Names bound before the failing import stay bound.
    has_console = "True" if refused == "rich.progress" else "False"
    assert done.stdout.split() == ["False", "None", has_console, "False",
                                   "<class", "'kor.task.profile.ProfileTask'>"]


def test_an_error_other_than_import_error_fails_the_import():
    done = run_python(REFUSE + """
    for name in [n for n in sys.modules if n == "rich" or n.startswith("rich.")]:
        del sys.modules[name]
    sys.meta_path.insert(0, Refuse("rich.table", RuntimeError))
    try:
        import kor.task.profile
    except Exception as exc:
        print(type(exc).__name__, type(exc.__cause__ or exc.__context__).__name__, exc)
    """)
    assert done.returncode == 0, done.stderr
    assert "refused rich.table" in done.stdout
    assert "RuntimeError" in done.stdout


def test_second_initialisation_is_refused():
    done = run_python("""
    import importlib, sys
    import kor.task.profile as first
    del sys.modules["kor.task.profile"]
    try:
        importlib.import_module("kor.task.profile")
    except RuntimeError as exc:
        print(exc)
    print(first.ProfileTask.__name__)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "Module 'profile' has already been imported. Re-initialisation is not supported.",
        "ProfileTask",
    ]


def test_a_failed_first_import_does_not_count_as_initialised():
    # A host module that fails once must not leave the module refusing every later import.
    done = run_python(REFUSE + """
    sys.meta_path.insert(0, Refuse("kor.task.base", ImportError))
    try:
        import kor.task.profile
    except ImportError as exc:
        print("first:", exc)
    sys.meta_path.pop(0)
    sys.modules.pop("kor.task.profile", None)
    import kor.task.profile as m
    print("second:", m.ProfileTask.__name__)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["first: refused kor.task.base", "second: ProfileTask"]


def test_the_task_class_is_made_by_the_base_classes_metaclass():
    # The class statement's protocol: BaseTask's metaclass prepares the namespace and builds
    # the class from it; the records use the plain type.
    done = run_python("""
    import kor.task.base as base
    class Namespace(dict):
        pass
    class Meta(type):
        seen = []
        @classmethod
        def __prepare__(mcs, name, bases):
            Meta.seen.append(("prepare", name, [b.__name__ for b in bases]))
            return Namespace()
        def __new__(mcs, name, bases, namespace):
            Meta.seen.append(("new", name, type(namespace).__name__, namespace.get("__module__")))
            return super().__new__(mcs, name, bases, dict(namespace))
    base.BaseTask = Meta("BaseTask", (base.BaseTask,), {})
    Meta.seen.clear()
    import kor.task.profile as m
    print(Meta.seen)
    print(type(m.ProfileTask).__name__, type(m.ColumnProfile).__name__)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "[('prepare', 'ProfileTask', ['BaseTask']), "
        "('new', 'ProfileTask', 'Namespace', 'kor.task.profile')]",
        "Meta type",
    ]
