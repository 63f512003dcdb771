"""The selector grammar, exclusion and the selected list, over a small real manifest."""

from __future__ import annotations

from dataclasses import replace

import pytest

from kor.contracts.graph.nodes import NodeType
from tests.builders import flags, graph_node, manifest, model, source

SHOP = manifest(
    source("raw", "orders", "orders_tbl"),
    source("raw", "customers"),
    source("ext", "rates"),
    model("stg_orders"),
    graph_node("stg_seed", NodeType.SEED),
    model("dim_customers"),
    model("orders"),
    graph_node("orders", NodeType.TEST),
    model(""),
)
RAW_ORDERS, RAW_CUSTOMERS, EXT_RATES = (
    "source.shop.raw.orders", "source.shop.raw.customers", "source.shop.ext.rates")
ALL_SOURCES = [RAW_ORDERS, RAW_CUSTOMERS, EXT_RATES]
ALL_MODELS = ["model.shop.stg_orders", "model.shop.dim_customers", "model.shop.orders",
              "model.shop."]


def ids(nodes):
    return [node.unique_id for node in nodes]


@pytest.fixture
def select(make_task):
    """The ids that _get_selected_nodes gives for the flags given."""

    def run(graph=SHOP, **values):
        return ids(make_task(flags(**values), graph)._get_selected_nodes())

    return run


@pytest.fixture
def parse(make_task):
    task = make_task(graph=SHOP)
    return lambda selector: ids(task._parse_selector(selector))


@pytest.mark.parametrize(
    ("selector", "expected"),
    [
        ("source:*", ALL_SOURCES),
        ("source:raw.*", [RAW_ORDERS, RAW_CUSTOMERS]),
        ("source:orders_tbl", [RAW_ORDERS]),
        ("source:orders", [RAW_ORDERS]),
        ("source:stg_*", []),
        ("source:", []),
    ],
)
def test_source_prefix(parse, selector, expected):
    assert parse(selector) == expected


@pytest.mark.parametrize(
    ("selector", "expected"),
    [
        ("model:*", ALL_MODELS),
        ("model:stg_*", ["model.shop.stg_orders"]),  # not the seed of that name
        ("model:orders", ["model.shop.orders"]),  # not the test of that name
        ("model:raw.*", []),
        ("model:", ["model.shop."]),  # only a model whose name is empty
    ],
)
def test_model_prefix(parse, selector, expected):
    assert parse(selector) == expected


@pytest.mark.parametrize(
    ("selector", "expected"),
    [
        ("stg_*", ["model.shop.stg_orders"]),
        ("*orders*", [RAW_ORDERS, "model.shop.stg_orders", "model.shop.orders"]),
        ("*", ALL_SOURCES + ALL_MODELS),
        ("raw.*", [RAW_ORDERS, RAW_CUSTOMERS]),
    ],
)
def test_glob_without_prefix_searches_sources_then_models(parse, selector, expected):
    assert parse(selector) == expected


@pytest.mark.parametrize(
    ("selector", "expected"),
    [
        ("orders", [RAW_ORDERS, "model.shop.orders", "test.shop.orders"]),
        ("orders_tbl", [RAW_ORDERS]),
        ("stg_seed", ["seed.shop.stg_seed"]),
        ("raw.orders", []),
        ("Source:orders", []),
        ("tag:nightly", []),
        ("path/to/models", []),
        ("stg_?rders", []),  # only "*" makes a glob
    ],
)
def test_exact_name_matches_any_kind(parse, selector, expected):
    assert parse(selector) == expected


def test_exact_name_appends_a_source_once_even_when_name_and_identifier_match(make_task):
    graph = manifest(source("raw", "orders"), model("orders"))
    assert ids(make_task(graph=graph)._parse_selector("orders")) == [
        "source.shop.raw.orders", "model.shop.orders"]


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        ({}, ALL_SOURCES),
        ({"SELECT": None}, ALL_SOURCES),
        ({"SELECT": ()}, ALL_SOURCES),
        ({"SELECT": ("model:dim_*", "source:ext.*")}, ["model.shop.dim_customers", EXT_RATES]),
        ({"SELECT": (("source:*",), ("model:dim_*",))}, ALL_SOURCES + ["model.shop.dim_customers"]),
        ({"SELECT": ("orders", "orders")},
         [RAW_ORDERS, "model.shop.orders", "test.shop.orders"] * 2),
        ({"SELECT": ("raw.*", "source:*")}, [RAW_ORDERS, RAW_CUSTOMERS] + ALL_SOURCES),
        ({"EXCLUDE": ("source:*",)}, []),
        ({"EXCLUDE": ("source:ext.*",)}, [RAW_ORDERS, RAW_CUSTOMERS]),
        ({"EXCLUDE": ("nothing_here",)}, ALL_SOURCES),
        ({"EXCLUDE": ()}, ALL_SOURCES),
        ({"SELECT": ("orders", "orders"), "EXCLUDE": (("model:*",), "test.shop.orders")},
         [RAW_ORDERS, "test.shop.orders"] * 2),
        ({"SELECT": ("*",), "EXCLUDE": (("source:raw.*", "model:*"),)}, [EXT_RATES]),
    ],
)
def test_selected_nodes(select, values, expected):
    assert select(**values) == expected


def test_selection_keeps_the_manifest_objects(make_task):
    task = make_task(flags(SELECT=("source:raw.*",)), SHOP)
    assert all(node is SHOP.sources[node.unique_id] for node in task._get_selected_nodes())


def test_a_bare_string_selects_per_character(select):
    graph = manifest(source("raw", "x"), model("y"))
    assert select(graph, SELECT="xyx") == ["source.shop.raw.x", "model.shop.y", "source.shop.raw.x"]


def test_exclusion_compares_node_ids_not_objects(select):
    twin = replace(SHOP.sources[RAW_ORDERS], name="orders_copy", identifier="orders_copy")
    graph = manifest(*SHOP.sources.values(), *SHOP.nodes.values())
    graph.nodes["copy"] = twin  # same unique id as raw.orders, under another key
    assert select(graph, SELECT=("orders_copy", "raw.*"), EXCLUDE=("source:raw.orders_tbl",)) == [
        RAW_CUSTOMERS]


@pytest.mark.parametrize(
    ("values", "argument"),
    [
        ({"SELECT": (["source:*"],)}, "selector"),  # lists are not unpacked
        ({"SELECT": ((None,),)}, "selector"),
        ({"EXCLUDE": (["source:*"],)}, "exclude_str"),
    ],
)
def test_selector_items_must_be_text(select, values, argument):
    with pytest.raises(TypeError, match=f"Argument '{argument}' has incorrect type"):
        select(**values)


class Text(str):
    pass


@pytest.mark.parametrize(
    ("method", "arguments", "argument"),
    [
        ("_parse_selector", {"selector": None}, "selector"),
        ("_parse_selector", {"selector": Text("orders")}, "selector"),
        ("_get_excluded_ids", {"exclude_str": 3}, "exclude_str"),
        ("_matches_pattern", {"node": None, "pattern": Text("*")}, "pattern"),
    ],
)
def test_text_arguments_are_exact_str(make_task, method, arguments, argument):
    with pytest.raises(TypeError, match=f"^Argument '{argument}' has incorrect type"):
        getattr(make_task(graph=SHOP), method)(**arguments)


def test_excluded_ids_is_a_set_of_node_ids(make_task):
    assert make_task(graph=SHOP)._get_excluded_ids("orders") == {
        RAW_ORDERS, "model.shop.orders", "test.shop.orders"}


def test_methods_reach_each_other_through_self(make_task, profile_module):
    class Task(profile_module.ProfileTask):
        def _matches_pattern(self, node, pattern):
            return node.name.endswith(pattern[-1])

        def _get_node_id(self, node):
            return node.name

    task = make_task(flags(SELECT=("source:s",), EXCLUDE=("customers",)), SHOP, cls=Task)
    assert ids(task._get_selected_nodes()) == [RAW_ORDERS, EXT_RATES]


@pytest.mark.parametrize("mapping", ["sources", "nodes"])
def test_missing_mapping_raises(make_task, mapping):
    graph = manifest(*SHOP.sources.values(), *SHOP.nodes.values())
    setattr(graph, mapping, None)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        make_task(graph=graph)._parse_selector("orders")


@pytest.fixture
def recording_task(make_task, profile_module):
    """A task whose drivers and summary record what run() hands them."""

    class Task(profile_module.ProfileTask):
        def _profile_without_progress(self, nodes, result):
            self.handed = nodes
            return result

        _profile_with_progress = _profile_without_progress

        def _print_summary(self, result):
            self.summarised = result

    return lambda **values: make_task(flags(**values), SHOP, cls=Task)


@pytest.mark.usefixtures("plain_output")
def test_run_reports_nothing_selected(recording_task, capsys):
    task = recording_task(EXCLUDE=("source:*",))
    result = task.run()
    assert capsys.readouterr().out.endswith("No sources or models selected for profiling.\n")
    assert not hasattr(task, "handed") and not hasattr(task, "summarised")
    assert result.duration_ms == 0


@pytest.mark.parametrize("output", ["plain_output", "rich_console"])
def test_run_hands_the_selection_to_the_driver(recording_task, request, output):
    request.getfixturevalue(output)
    task = recording_task(SELECT=("model:*", "orders"), EXCLUDE=("model:dim_*",))
    result = task.run()
    assert ids(task.handed) == [
        "model.shop.stg_orders", "model.shop.orders", "model.shop.",
        RAW_ORDERS, "model.shop.orders", "test.shop.orders"]
    assert task.summarised is result
