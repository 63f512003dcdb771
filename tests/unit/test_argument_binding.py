"""Binding of call arguments: the interpreter's own wording, and the type checks."""

from __future__ import annotations

import inspect
from collections import OrderedDict
from decimal import Decimal

import pytest


class ProfileTask:
    """Reference functions with the same signatures, so CPython words the errors for us."""

    def run(self): ...

    def _get_adapter(self, target_name=None): ...

    def _build_fqn(self, adapter, database, schema, table): ...

    def interpret_results(self, result): ...


CALLS = [
    ("run", (1,), {}),
    ("run", (1, 2), {}),
    ("run", (), {"x": 1}),
    ("_get_adapter", (1, 2), {}),
    ("_get_adapter", (), {"target": 1}),
    ("_get_adapter", ("a",), {"target_name": "b"}),
    ("_build_fqn", (), {}),
    ("_build_fqn", ("a",), {}),
    ("_build_fqn", ("a", None), {}),
    ("_build_fqn", ("a", None, "s", "t", "x"), {}),
    ("_build_fqn", ("a",), {"schema": "s", "adapter": 2}),
    ("interpret_results", (), {}),
    ("interpret_results", (1,), {"result": 2}),
]


@pytest.mark.parametrize("name, args, kwargs", CALLS)
def test_errors_are_worded_like_the_interpreters(make_task, name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        getattr(ProfileTask(), name)(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(make_task(), name)(*args, **kwargs)
    assert str(got.value) == str(expected.value)


class Text(str):
    pass


class Items(list):
    pass


@pytest.mark.parametrize(
    "method, args, message",
    [
        ("_parse_selector", (None,), "Argument 'selector' has incorrect type (expected str, "
                                     "got NoneType)"),
        ("_parse_selector", (Text("x"),), "Argument 'selector' has incorrect type (expected str,"
                                          " got Text). Subclasses of built-in types are "
                                          "rejected."),
        ("_get_excluded_ids", (b"x",), "Argument 'exclude_str' has incorrect type (expected "
                                       "str, got bytes)"),
        ("_matches_pattern", (object(), 1), "Argument 'pattern' has incorrect type (expected "
                                            "str, got int)"),
        ("_profile_without_progress", ((), None), "Argument 'nodes' has incorrect type "
                                                  "(expected list, got tuple)"),
        ("_profile_with_progress", (None, None), "Argument 'nodes' has incorrect type "
                                                 "(expected list, got NoneType)"),
        ("_profile_with_progress", (Items(), None), "Argument 'nodes' has incorrect type "
                                                    "(expected list, got Items). Subclasses of "
                                                    "built-in types are rejected."),
        ("_get_adapter", (1,), "Argument 'target_name' has incorrect type (expected str, got "
                               "int)"),
        ("_build_fqn", (None, 1, "s", "t"), "Argument 'database' has incorrect type (expected "
                                            "str, got int)"),
        ("_build_fqn", (None, None, None, "t"), "Argument 'schema' has incorrect type (expected"
                                                " str, got NoneType)"),
        ("_profile_node", (None, "1", 2), "Argument 'index' has incorrect type (expected int, "
                                          "got str)"),
        ("_profile_node", (None, 1, None), "Argument 'total' has incorrect type (expected int, "
                                           "got NoneType)"),
        ("_profile_basic_column", (None, "f", "q", "c", "t", []), "Argument 'row_count' has "
                                                                  "incorrect type (expected "
                                                                  "int, got list)"),
        ("_add_top_values", (None, "f", None, None), "Argument 'quoted_col' has incorrect type "
                                                     "(expected str, got NoneType)"),
    ],
)
def test_type_checks_come_before_the_body(make_task, method, args, message):
    with pytest.raises(TypeError) as caught:
        getattr(make_task(), method)(*args)
    assert str(caught.value) == message


@pytest.mark.parametrize("number", [7, 7.9, Decimal("7.2"), True])
def test_numbers_pass_the_integer_check(make_task, number):
    # The check accepts any number (and converts it); only the body may fail afterwards.
    task = make_task()
    try:
        task._profile_node(None, number, number)
    except TypeError as exc:  # pragma: no cover - the message tells what went wrong
        pytest.fail(f"integer check refused {number!r}: {exc}")
    except Exception:
        pass


def test_keywords_bind_by_name_in_any_order(make_task):
    task = make_task()
    with pytest.raises(TypeError, match="'schema'"):
        task._build_fqn(table="t", schema=None, database=None, adapter=None)


def test_signature_matches_the_binding(make_task):
    sig = inspect.signature(make_task()._get_adapter)
    assert sig.bind().arguments == OrderedDict()
    assert sig.parameters["target_name"].default is None
