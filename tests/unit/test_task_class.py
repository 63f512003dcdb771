"""ProfileTask as a class: its base, its methods and the native method objects."""

from __future__ import annotations

import inspect
import types

import pytest

from kor.task.base import BaseTask

# name, parameters after self with (annotation, default), return annotation, docstring
METHODS = [
    ("__init__", [("flags", "Any"), ("runtime_config", "RuntimeConfig"), ("manifest", "Manifest")],
     None, None),
    ("run", [], "ProfileExecutionResult", "Execute profiling on selected sources and models."),
    ("_profile_with_progress", [("nodes", "List[Any]"), ("result", "ProfileExecutionResult")],
     "ProfileExecutionResult", "Profile nodes with Rich progress display."),
    ("_profile_without_progress", [("nodes", "List[Any]"), ("result", "ProfileExecutionResult")],
     "ProfileExecutionResult", "Profile nodes without Rich (fallback)."),
    ("_get_selected_nodes", [], "List[Any]", "Get list of nodes to profile based on selectors."),
    ("_parse_selector", [("selector", "str")], "List[Any]", "Parse a selector string into nodes."),
    ("_matches_pattern", [("node", "Any"), ("pattern", "str")], "bool",
     "Check if a node matches a glob pattern."),
    ("_get_excluded_ids", [("exclude_str", "str")], "Set[str]",
     "Get IDs of nodes matching exclusion pattern."),
    ("_get_node_id", [("node", "Any")], "str", "Get unique ID for a node."),
    ("_get_node_display_name", [("node", "Any")], "str", "Get display name for a node."),
    ("_profile_node", [("node", "Any"), ("index", "int"), ("total", "int")],
     "Optional[TableProfile]", "Profile a single node (source or model)."),
    ("_execute_profile", [("node", "Any")], "List[ColumnProfile]", ...),
    ("_get_adapter", [("target_name", "Optional[str]", None)], None,
     "Get adapter for the specified target or default."),
    ("_get_columns_from_db", [("adapter",), ("database", "Optional[str]"), ("schema", "str"),
                              ("table", "str")], "List[tuple]",
     "Query database to get column names and types."),
    ("_get_row_count", [("adapter",), ("database", "Optional[str]"), ("schema", "str"),
                        ("table", "str")], "int", "Get row count from table."),
    ("_build_fqn", [("adapter",), ("database", "Optional[str]"), ("schema", "str"),
                    ("table", "str")], "str", "Build fully qualified table name."),
    ("_profile_column_sql", [("adapter",), ("database", "Optional[str]"), ("schema", "str"),
                             ("table", "str"), ("col_name", "str"), ("col_type", "str"),
                             ("row_count", "int")], "ColumnProfile", ...),
    *[(name, [("adapter",), ("fqn", "str"), ("quoted_col", "str"), ("col_name", "str"),
              ("col_type", "str"), ("row_count", "int")], "ColumnProfile", doc)
      for name, doc in [
          ("_profile_numeric_column", "Profile a numeric column with all stats in one query."),
          ("_profile_string_column", "Profile a string column with all stats in one query."),
          ("_profile_temporal_column", "Profile a date, time or timestamp column: counts and "
                                       "its earliest and latest value."),
          ("_profile_boolean_column",
           "Profile a boolean column: counts and true and false values."),
          ("_profile_basic_column", "Profile any column with basic metrics only."),
      ]],
    ("_add_percentiles", [("adapter",), ("fqn", "str"), ("quoted_col", "str"),
                          ("profile", "ColumnProfile")], "None",
     "Try to add percentiles to numeric profile."),
    ("_add_top_values", [("adapter",), ("fqn", "str"), ("quoted_col", "str"),
                         ("profile", "ColumnProfile")], "None", "Add top values to profile."),
    ("_add_histogram", [("adapter",), ("fqn", "str"), ("quoted_col", "str"),
                        ("profile", "ColumnProfile")], "None",
     "Try to add the histogram of a numeric (equal-width bins) or dated (by period) profile."),
    ("_generate_alerts", [("profile", "ColumnProfile")], "List[Dict]",
     "Generate quality alerts for a column profile (Vantry-style)."),
    ("_store_profile", [("profile", "TableProfile")], "bool",
     "Store profile results in metadata_store.duckdb."),
    ("_print_summary", [("result", "ProfileExecutionResult")], "None",
     "Print Vantry-style summary with Rich formatting."),
    ("interpret_results", [("result", "ProfileExecutionResult")], "bool",
     "Interpret results to determine success/failure."),
]


def test_class_shape(profile_module):
    cls = profile_module.ProfileTask
    assert cls.__bases__ == (BaseTask,) and type(cls) is type(BaseTask)
    assert (cls.__module__, cls.__qualname__) == ("kor.task.profile", "ProfileTask")
    own = [name for name in vars(cls) if not name.startswith("__") or name == "__init__"]
    assert own == [m[0] for m in METHODS]
    assert len(own) == 29
    lines = inspect.cleandoc(cls.__doc__).splitlines()
    assert lines[0] == "DAG-based profiling task for ZEL (Vantry-style)."
    assert [ln.strip() for ln in lines[2:]] == [
        "Execution flow:", "1. Parse selectors (--select, --exclude)",
        "2. Build execution list (sources + models)", "3. For each node:",
        "a. Execute efficient SQL profiling queries", "b. Collect Vantry-style metrics",
        "c. Store results in metadata_store.duckdb", "4. Display summary (Vantry-style)",
    ]
    assert cls.__doc__.splitlines()[1].startswith("    DAG-based")


@pytest.mark.parametrize("name, parameters, returns, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_objects(profile_module, name, parameters, returns, doc):
    method = vars(profile_module.ProfileTask)[name]
    assert (method.__name__, method.__qualname__, method.__module__) == (
        name, f"ProfileTask.{name}", "kor.task.profile")
    if doc is ...:
        assert "\n" in method.__doc__
    else:
        assert method.__doc__ == doc
    expected = {p[0]: p[1] for p in parameters if len(p) > 1}
    if returns is not None:
        expected["return"] = returns
    assert method.__annotations__ == expected

    signature = inspect.signature(method)
    assert list(signature.parameters) == ["self"] + [p[0] for p in parameters]
    for param in parameters:
        got = signature.parameters[param[0]]
        assert got.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert got.annotation == (param[1] if len(param) > 1 else inspect.Parameter.empty)
        assert got.default == (param[2] if len(param) > 2 else inspect.Parameter.empty)
    assert signature.return_annotation == (returns or inspect.Signature.empty)


def test_docstrings_of_the_two_long_methods(profile_module):
    cls = profile_module.ProfileTask
    assert cls._execute_profile.__doc__.splitlines()[0] == (
        "Execute Vantry-style profiling queries on a node.")
    assert inspect.cleandoc(cls._profile_column_sql.__doc__).splitlines() == [
        "Profile a single column using efficient SQL queries.", "",
        "Vantry-style: Single-pass or minimal queries for all metrics.",
    ]


def test_methods_bind_like_functions(make_task, profile_module):
    task = make_task()
    cls = profile_module.ProfileTask
    method = vars(cls)["interpret_results"]
    assert cls.interpret_results is method
    bound = task.interpret_results
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is task and bound.__func__ is method
    assert list(inspect.signature(bound).parameters) == ["result"]
    result = profile_module.ProfileExecutionResult()
    assert cls.interpret_results(task, result) is bound(result) is False
    assert "ProfileTask.interpret_results" in repr(method)


def test_method_objects_are_not_constructible(profile_module):
    method_type = type(vars(profile_module.ProfileTask)["run"])
    with pytest.raises(TypeError):
        method_type()


def test_subclasses_override_and_reach_the_native_methods(make_task, profile_module):
    class Custom(profile_module.ProfileTask):
        def interpret_results(self, result):
            return ("custom", super().interpret_results(result))

    task = make_task(cls=Custom)
    assert task.interpret_results(profile_module.ProfileExecutionResult()) == ("custom", False)
