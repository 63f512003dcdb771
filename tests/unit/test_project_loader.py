"""Project files into a RuntimeConfig and a Manifest, and every way they can be wrong."""

from __future__ import annotations

from pathlib import Path

import pytest
import yaml

from kor.config import files
from kor.config.files import ProjectError
from kor.config.runtime import load_runtime_config
from kor.project.loader import MODELS_FILE_KEYS, load_manifest

PROJECT = """
name: shop
target: dev
targets:
  dev: {type: duckdb, path: wh.duckdb}
  pg: {type: postgres, user: "${KOR_TEST_USER}", password: "p-${KOR_TEST_SECRET}-q"}
"""

MODELS = """
sources:
  - name: raw
    schema: main
    config: {target: dev}
    tables:
      - {name: orders, identifier: orders_tbl, columns: [{name: id, data_type: INTEGER}]}
      - {name: customers}
models:
  - {name: stg, schema: main, alias: stg_v, columns: [{name: id}]}
"""


def project(root: Path, models: str = MODELS, project_text: str = PROJECT) -> Path:
    (root / "models").mkdir(exist_ok=True)
    (root / "zel_project.yml").write_text(project_text)
    (root / "models" / "a.yml").write_text(models)
    return root


def test_a_project_becomes_config_and_manifest(tmp_path, monkeypatch):
    monkeypatch.setenv("KOR_TEST_USER", "ana")
    monkeypatch.setenv("KOR_TEST_SECRET", "s3")
    (project(tmp_path) / "models" / "b.yml").write_text(
        "sources: [{name: late, schema: s, tables: [{name: t}]}]\n")
    config = load_runtime_config(tmp_path, "pg")
    assert config.target == {"type": "postgres", "user": "ana", "password": "p-s3-q"}
    manifest = load_manifest(config)
    # Sources in file and declaration order, then the models.
    assert list(manifest.sources) == ["source.shop.raw.orders", "source.shop.raw.customers",
                                      "source.shop.late.t"]
    orders = manifest.sources["source.shop.raw.orders"]
    assert (orders.identifier, orders.config, list(orders.columns)) == (
        "orders_tbl", {"target": "dev"}, ["id"])
    assert manifest.sources["source.shop.raw.customers"].identifier == "customers"
    stg = manifest.nodes["model.shop.stg"]
    assert (stg.alias, stg.columns["id"].data_type) == ("stg_v", None)


def alias_bomb(depth: int = 9) -> str:
    lines = ['a0: &a0 ["x", "x", "x", "x", "x", "x", "x", "x", "x", "x"]']
    lines += [f"a{i}: &a{i} [{', '.join([f'*a{i - 1}'] * 10)}]" for i in range(1, depth)]
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("models, message", [
    ("sources: [", "a.yml: invalid YAML at line 1"),
    ("- just a list", "a.yml: expected a mapping"),
    ("sources: {name: raw}", "a.yml: 'sources' must be a list"),
    ("sources: [{schema: main}]", "a.yml: source: missing required key 'name'"),
    ("sources: [{name: raw}]", "source 'raw': missing required key 'schema'"),
    ("sources: [{name: raw, schema: 5}]", "source 'raw': 'schema' must be a str"),
    ("sources: [{name: raw, schema: s, config: on}]", "source 'raw': 'config' must be a dict"),
    ("sources: [{name: raw, schema: s, tables: [{name: t, identifier: 7}]}]",
     "source 'raw.t': 'identifier' must be a str"),
    ("sources: [{name: raw, schema: s, tables: [{name: t, columns: [{name: c, data_type: 1}]}]}]",
     "source 'raw.t': column 'c': 'data_type' must be a str"),
    ("sources: [{name: raw, schema: s, tables: [{name: t}, {name: t}]}]",
     "source 'raw': duplicate table 't'"),
    ("models: [{name: m, schema: s}, {name: m, schema: s}]", "model: duplicate model 'm'"),
    ("models: [{name: m, schema: s, alias: [x]}]", "model 'm': 'alias' must be a str"),
    (alias_bomb(), "aliases expand to more than 100000 values"),
    ("a: &a [1, *a]\n", "an alias refers to its own anchor"),
    ("models:\n  - name: m\n    schema: s\n    name: n\n",
     "invalid YAML at line 4: duplicate key 'name' in models[0] (first at line 2)"),
    ("sources: []\nsources: []\n", "line 2: duplicate key 'sources' in the document (first at"),
    # A lone surrogate anywhere: every later print of the name would fail.
    ('sources: [{name: r, schema: s, tables: [{name: t, identifier: "a\\uD800"}]}]',
     "line 1: sources[0].tables[0].identifier holds a lone surrogate (\\ud800)"),
    ('sources: [{name: r, schema: s, tables: [{name: t, columns: [{name: "\\U0000DC80"}]}]}]',
     "sources[0].tables[0].columns[0].name holds a lone surrogate"),
    ('sources: [{name: r, schema: s, "k\\uDFFF": 1}]', "sources[0].k\\udfff holds a lone"),
    ('models: [{name: "m\\ud83d\\ude00", schema: s}]', "models[0].name holds a lone"),
    ('models: [{name: m, schema: s, alias: "\\uDBFF"}]', "models[0].alias holds a lone"),
    # A misspelt key, named where it is.
    ("sources:\n  - name: raw\n    shcema: main\n",
     "a.yml: at line 3: unknown key 'shcema' in sources[0]; did you mean 'schema'?"),
    ("sources: [{name: r, schema: s, tables: [{name: t}, {name: u, identifer: x}]}]",
     "at line 1: unknown key 'identifer' in sources[0].tables[1]; did you mean 'identifier'?"),
    ("models:\n  - naem: m\n", "at line 2: unknown key 'naem' in models[0]; did you mean"),
    ("modles: []\n", "unknown key 'modles' in the document; did you mean 'models'?"),
])
def test_malformed_model_files_name_the_file_and_the_entry(tmp_path, models, message):
    config = load_runtime_config(project(tmp_path, models))
    with pytest.raises(ProjectError) as caught:
        load_manifest(config)
    text = str(caught.value)
    assert message in text and "\n" not in text
    text.encode("utf-8")  # the message itself prints anywhere


def test_only_what_aliases_add_counts_against_the_limit(tmp_path, monkeypatch):
    monkeypatch.setattr(files, "MAX_EXPANDED_NODES", 50)
    plain = "models:\n" + "".join(f"  - {{name: m{i}, schema: s}}\n" for i in range(40))
    assert len(load_manifest(load_runtime_config(project(tmp_path, plain))).nodes) == 40
    aliased = "x: &x [1, 2, 3, 4, 5, 6, 7, 8, 9]\ny: [" + ", ".join(["*x"] * 6) + "]\n"
    with pytest.raises(ProjectError, match="aliases expand to more than 50 values"):
        load_manifest(load_runtime_config(project(tmp_path, aliased)))


def test_a_symbolic_link_loop_is_named(tmp_path):
    config = load_runtime_config(project(tmp_path))
    (tmp_path / "models" / "b.yml").symlink_to("c.yml")
    (tmp_path / "models" / "c.yml").symlink_to("b.yml")
    with pytest.raises(ProjectError, match=r"models/b\.yml: a symbolic link loop$"):
        load_manifest(config)


@pytest.mark.parametrize("project_text, target, message", [
    ("name: shop\ntargets: {dev: {}}\n", None, "missing required key 'target'"),
    ("name: shop\ntarget: dev\ntargets: [dev]\n", None, "'targets' must be a dict"),
    (PROJECT, "prod", "unknown target 'prod'"),
    ("name: [shop]\n", None, "'name' must be a str"),
    ("name: shop\n\tbad: tab\n", None, "zel_project.yml: invalid YAML at line 2"),
    ("name: shop\nname: shop\n", None, "at line 2: duplicate key 'name' in the document"),
    ('name: "sh\\udcffop"\n', None, "at line 1: name holds a lone surrogate (\\udcff)"),
    ("name: " + "[" * 5000 + "]" * 5000, None, "invalid YAML: nested too deeply"),
    (PROJECT, "pg", "zel_project.yml: target 'pg': 'user' uses ${KOR_TEST_USER}, which is not set"),
    ("name: s\ntarget: t\ntargets: {t: {options: [{a: '${KOR_TEST_USER:-x}${KOR_TEST_SECRET}'}]}}",
     None, "target 't': 'options[0].a' uses ${KOR_TEST_SECRET}, which is not set"),
    # a misspelt section would silently keep its defaults: refused, with the nearest key
    (PROJECT + "anomalise:\n  window: 3\n", None,
     "zel_project.yml: at line 7: unknown key 'anomalise'; did you mean 'anomalies'?"),
    (PROJECT + "shcema: main\n", None,
     "at line 7: unknown key 'shcema'; the keys are name, target, targets, diff, anomalies"),
])
def test_malformed_project_files(tmp_path, monkeypatch, project_text, target, message):
    monkeypatch.delenv("KOR_TEST_USER", raising=False)
    monkeypatch.delenv("KOR_TEST_SECRET", raising=False)
    with pytest.raises(ProjectError) as caught:
        load_runtime_config(project(tmp_path, project_text=project_text), target)
    assert message in str(caught.value) and "\n" not in str(caught.value)


@pytest.mark.parametrize("text", [
    PROJECT, MODELS, "sources: [", "a: 1\na: 2\n", "name: shop\n\tbad: tab\n",
    "a: &x {b: [1, 2.5, 0x1f, .inf, ~, yes, 2026-12-09, 2026-12-09 10:00:00+01:00]}\nc: *x\n"
    "d: |\n  two\n  lines\ne: 'it''s'\nf: !!str 12\n"])
def test_libyaml_reads_every_file_as_the_python_loader_does(tmp_path, monkeypatch, text):
    path = tmp_path / "f.yml"
    path.write_text(text, encoding="utf-8")

    def read(fast_loader):
        monkeypatch.setattr(files, "FAST_LOADER", fast_loader)
        try:
            return files.read_yaml(path)
        except ProjectError as exc:
            return str(exc)

    assert read(yaml.CSafeLoader) == read(None)


@pytest.mark.parametrize("written, environment, expanded", [
    ("${KOR_V}", {"KOR_V": ""}, ""),
    ("${KOR_V:-d}", {}, "d"),
    ("${KOR_V:-d}", {"KOR_V": ""}, "d"),  # as in the shell: empty takes the default too
    ("${KOR_V:-d}", {"KOR_V": "set"}, "set"),
    ("a${KOR_V:-}b${KOR_W:-x:-y}c", {}, "abx:-yc"),
    ("$KOR_V ${KOR_V-d} ${ KOR_V }", {}, "$KOR_V ${KOR_V-d} ${ KOR_V }"),  # not variables
])
def test_variables_and_their_defaults(tmp_path, monkeypatch, written, environment, expanded):
    for name in ("KOR_V", "KOR_W"):
        monkeypatch.delenv(name, raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    text = f"name: s\ntarget: t\ntargets: {{t: {{path: '{written}', port: 5}}}}\n"
    config = load_runtime_config(project(tmp_path, project_text=text))
    assert config.target == {"path": expanded, "port": 5}


@pytest.mark.parametrize("content, message", [
    (b"name: \xff\n", "not UTF-8 text"),
    (b"#" * (5 * 1024 * 1024 + 1), "larger than 5242880 bytes"),
])
def test_unreadable_project_files(tmp_path, content, message):
    (tmp_path / "zel_project.yml").write_bytes(content)
    with pytest.raises(ProjectError, match=message):
        load_runtime_config(tmp_path)


def test_a_missing_project_file(tmp_path):
    with pytest.raises(ProjectError, match="zel_project.yml: file not found"):
        load_runtime_config(tmp_path)


def test_the_readme_lists_every_project_key_with_the_code_s_default():
    from kor.config.keys import PROJECT_KEYS, reference_table, section_keys
    from kor.profiling.anomalies import _SCALARS, SeriesRule

    readme = (Path(__file__).parents[2] / "README.md").read_text(encoding="utf-8")
    assert "\n" + reference_table() + "\n" in readme
    # The models files' keys, place by place.
    listed = {line.split("|")[1].strip(): line.split("|")[2] for line in readme.splitlines()
              if line.startswith("| ") and line.count("|") == 3}
    for place, allowed in MODELS_FILE_KEYS.items():
        row = next(keys for where, keys in listed.items()
                   if where.endswith(f"`{place[-2]}: [...]`" if place else "the file"))
        assert [key.strip(" `") for key in row.split(",")] == list(allowed)
    # The sections take exactly the keys listed: those the anomalies settings check for...
    assert set(section_keys("anomalies")) == {*_SCALARS, "metrics", "columns", "ignore"}
    # ...and with the defaults they fall back to.
    rule, keys = SeriesRule(), {entry.key: entry for entry in PROJECT_KEYS}
    assert [keys[f"anomalies.{key}"].default for key in ("window", "min_runs", "sensitivity",
                                                     "seasonality")] == [
        str(rule.window), str(rule.min_runs), str(rule.sensitivity), rule.seasonality.value]
    assert f"min_runs: {rule.seasonal_min_runs}}}" in keys["anomalies.seasonality"].meaning
