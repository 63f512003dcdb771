"""Selection against a small model of the selector grammar: random manifests and selectors,
glob metacharacters included, and a manifest of 100,000 nodes."""

from __future__ import annotations

import fnmatch

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kor.contracts.graph.nodes import NodeType
from tests.builders import flags, graph_node, manifest, model, source

# --- the model --------------------------------------------------------------------------


def model_matches(node, pattern: str) -> bool:
    if pattern == "*":
        return True
    name = getattr(node, "name", "")
    identifier = getattr(node, "identifier", name)
    source_name = getattr(node, "source_name", "")
    full_name = f"{source_name}.{identifier}" if source_name else identifier
    return any(fnmatch.fnmatch(text, pattern) for text in (name, identifier, full_name))


def is_model(node) -> bool:
    return hasattr(node, "resource_type") and node.resource_type.value == "model"


def model_parse(graph, selector: str) -> list:
    sources, others = list(graph.sources.values()), list(graph.nodes.values())
    if selector.startswith("source:"):
        return [s for s in sources if model_matches(s, selector[7:])]
    if selector.startswith("model:"):
        return [n for n in others if is_model(n) and model_matches(n, selector[6:])]
    if "*" in selector:
        return ([s for s in sources if model_matches(s, selector)]
                + [n for n in others if is_model(n) and model_matches(n, selector)])
    return ([s for s in sources if selector in (s.name, s.identifier)]
            + [n for n in others if getattr(n, "name", None) == selector])


def selectors_of(values) -> list[str]:
    return [s for item in values for s in (item if isinstance(item, tuple) else (item,))]


def model_select(graph, select, exclude) -> list:
    if not select:
        nodes = list(graph.sources.values())
    else:
        nodes = [node for s in selectors_of(select) for node in model_parse(graph, s)]
    if exclude:
        excluded = {node.unique_id for e in selectors_of(exclude) for node in model_parse(graph, e)}
        nodes = [node for node in nodes if node.unique_id not in excluded]
    return nodes


# --- strategies ---------------------------------------------------------------------------

# Few letters, so that names collide and globs match; every glob metacharacter, and the
# characters that other glob dialects or regular expressions treat specially.
PIECES = st.text(alphabet="ab.", max_size=3)
GLOB = st.text(alphabet="ab.*?[]!-\\^$+(){},", max_size=5)


@st.composite
def graphs(draw):
    nodes = []
    for i in range(draw(st.integers(0, 5))):
        name = draw(PIECES)
        nodes.append(source(draw(st.sampled_from(["raw", "", "a.b"])), name,
                            draw(st.one_of(st.none(), PIECES)) or None, project=f"p{i}"))
    for i in range(draw(st.integers(0, 4))):
        nodes.append(model(draw(PIECES), alias=draw(st.one_of(st.none(), PIECES)),
                           project=f"m{i}"))
    for i in range(draw(st.integers(0, 2))):
        nodes.append(graph_node(draw(PIECES), draw(st.sampled_from([NodeType.TEST,
                                                                   NodeType.SEED])),
                                project=f"g{i}"))
    return manifest(*nodes)


SELECTOR = st.one_of(
    st.builds(lambda glob: "source:" + glob, GLOB),
    st.builds(lambda glob: "model:" + glob, GLOB),
    st.builds(lambda a, b: a + "*" + b, GLOB, GLOB),
    PIECES,
    GLOB,
    st.sampled_from(["Source:a", "tag:nightly", "path/to/a", "source", "model:", "source:"]),
)
SELECTOR_LIST = st.one_of(
    st.none(),
    st.lists(st.one_of(SELECTOR, st.lists(SELECTOR, max_size=3).map(tuple)), max_size=3),
)


@settings(max_examples=200, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(graph=graphs(), select=SELECTOR_LIST, exclude=SELECTOR_LIST)
def test_selection_follows_the_grammar(make_task, graph, select, exclude):
    task = make_task(flags(SELECT=select, EXCLUDE=exclude), graph)
    chosen = task._get_selected_nodes()
    assert [id(node) for node in chosen] == [id(n) for n in model_select(graph, select, exclude)]


@pytest.mark.parametrize("selector", [
    "[", "]", "[!", "[]]", "[!]]", "**", "?*?", "\\", "[a-", "[z-a]", "source:[", "model:[!a]*",
    "*[*", "{a,b}*", "^a$*", "a+*", "(a|b)*", "*\x00*", "*" * 500, "[" * 500 + "*",
])
def test_glob_metacharacters(make_task, selector):
    graph = manifest(source("raw", "a[b"), source("raw", "*"), source("x", "a.b"), model("a]"),
                     model("[a"), graph_node("[", NodeType.TEST))
    chosen = make_task(flags(SELECT=(selector,)), graph)._get_selected_nodes()
    assert [id(n) for n in chosen] == [id(n) for n in model_select(graph, (selector,), None)]


def test_hundred_thousand_nodes(make_task):
    sources = [source("raw" if i % 2 else "ext", f"orders_{i}") for i in range(50_000)]
    models = [model(f"stg_{i}" if i % 2 else f"dim_{i}") for i in range(50_000)]
    graph = manifest(*sources, *models)
    task = make_task(flags(SELECT=(("source:raw.*", "model:dim_1*"), "orders_17"),
                           EXCLUDE=("source:*_1?",)), graph)
    chosen = task._get_selected_nodes()
    excluded = {f"orders_{i}" for i in range(10, 20)}
    raw = [s for s in sources[1::2] if s.name not in excluded]
    dims = [m for m in models[0::2] if m.name.startswith("dim_1")]
    exact = [s for s in [sources[17]] if s.name not in excluded]
    assert [id(n) for n in chosen] == [id(n) for n in raw + dims + exact]
