"""Node ids, display names and the glob test, on the host's own node classes."""

from __future__ import annotations

import fnmatch
from types import SimpleNamespace

import pytest

from kor.contracts.graph.nodes import ModelNode, NodeType
from tests.builders import graph_node, model, source

ORDERS = source("raw", "orders", "orders_tbl")


class Bare:
    """A node with none of the attributes the task looks for."""

    def __str__(self) -> str:
        return "bare-node"


class Unprintable:
    name = "has-a-name"

    def __str__(self) -> str:
        raise ValueError("no text for this node")


@pytest.fixture
def task(make_task):
    return make_task()


@pytest.mark.parametrize(
    ("node", "expected"),
    [
        (model("orders"), "model.shop.orders"),
        (graph_node("not_null", NodeType.TEST), "test.shop.not_null"),
        (SimpleNamespace(name="orders"), "orders"),
        (Bare(), "bare-node"),
        (SimpleNamespace(unique_id=None), None),
    ],
)
def test_node_id_falls_back_to_name_then_text(task, node, expected):
    assert task._get_node_id(node) == expected


@pytest.mark.parametrize(
    ("node", "expected"),
    [
        (source("raw", "orders"), "raw.orders"),
        (source("raw", "orders", "orders_tbl"), "raw.orders_tbl"),
        (source("raw", "orders", 5), "raw.5"),
        (model("stg_orders"), "stg_orders"),
        (Bare(), "bare-node"),
    ],
)
def test_display_name(task, node, expected):
    assert task._get_node_display_name(node) == expected


@pytest.mark.parametrize("method", ["_get_node_id", "_get_node_display_name"])
def test_text_of_node_is_made_even_when_it_has_a_name(task, method):
    with pytest.raises(ValueError, match="no text for this node"):
        getattr(task, method)(Unprintable())


@pytest.mark.parametrize(
    ("method", "node", "type_name"),
    [
        ("_get_node_id", SimpleNamespace(unique_id=7), "int"),
        ("_get_node_id", SimpleNamespace(name=b"orders"), "bytes"),
        ("_get_node_display_name", SimpleNamespace(name=["orders"]), "list"),
    ],
)
def test_identity_must_be_text(task, method, node, type_name):
    with pytest.raises(TypeError, match=f"^Expected str, got {type_name}$"):
        getattr(task, method)(node=node)


def test_display_name_reads_the_source_class_at_call_time(task, monkeypatch, profile_module):
    monkeypatch.setattr(profile_module, "SourceDefinition", ModelNode)
    assert task._get_node_display_name(ORDERS) == "orders"
    with pytest.raises(AttributeError, match="source_name"):
        task._get_node_display_name(model("stg_orders"))


@pytest.mark.parametrize(
    ("node", "pattern", "expected"),
    [
        (ORDERS, "orders", True),  # name
        (ORDERS, "orders_tbl", True),  # identifier
        (ORDERS, "raw.*", True),  # full name
        (ORDERS, "raw.orders_tbl", True),
        (ORDERS, "raw.orders", False),
        (ORDERS, "*orders*", True),
        (ORDERS, "ORDERS", False),
        (ORDERS, "ord?rs", True),
        (ORDERS, "[ab]aw.*", False),
        (ORDERS, "[rs]aw.*", True),
        (model("stg_orders"), "stg_*", True),
        (model("stg_orders"), "*.stg_orders", False),  # a model's full name is its name
        (SimpleNamespace(name=""), "", True),
        (model("stg_orders"), "", False),
        (SimpleNamespace(), "", True),  # no name: every test sees ""
        (Bare(), "*", True),
    ],
)
def test_matches_pattern(task, node, pattern, expected):
    assert bool(task._matches_pattern(node, pattern)) is expected


def test_star_alone_reads_no_attribute_but_double_star_globs(task):
    nameless = SimpleNamespace(name=None)
    assert task._matches_pattern(nameless, pattern="*") is True
    with pytest.raises(TypeError):
        task._matches_pattern(nameless, "**")


def test_glob_tests_run_in_order_through_fnmatch_at_call_time(task, monkeypatch):
    calls = []

    def recording(name, pattern):
        calls.append(name)
        return name == "raw.orders_tbl" and pattern == "x"

    monkeypatch.setattr(fnmatch, "fnmatch", recording)
    assert task._matches_pattern(ORDERS, "x") is True
    assert calls == ["orders", "orders_tbl", "raw.orders_tbl"]
    calls.clear()
    task._matches_pattern(model("stg_orders"), "x")
    assert calls == ["stg_orders", "stg_orders", "stg_orders"]
