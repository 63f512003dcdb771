"""Project files into a RuntimeConfig and a Manifest, and every way they can be wrong."""

from __future__ import annotations

from pathlib import Path

import pytest

from kor.project.loader import ProjectError, load_manifest, load_runtime_config

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
])
def test_malformed_model_files_name_the_file_and_the_entry(tmp_path, models, message):
    config = load_runtime_config(project(tmp_path, models))
    with pytest.raises(ProjectError) as caught:
        load_manifest(config)
    assert message in str(caught.value) and "\n" not in str(caught.value)


@pytest.mark.parametrize("project_text, target, message", [
    ("name: shop\ntargets: {dev: {}}\n", None, "missing required key 'target'"),
    ("name: shop\ntarget: dev\ntargets: [dev]\n", None, "'targets' must be a dict"),
    (PROJECT, "prod", "unknown target 'prod'"),
    ("name: [shop]\n", None, "'name' must be a str"),
    ("name: shop\n\tbad: tab\n", None, "zel_project.yml: invalid YAML at line 2"),
])
def test_malformed_project_files(tmp_path, project_text, target, message):
    with pytest.raises(ProjectError) as caught:
        load_runtime_config(project(tmp_path, project_text=project_text), target)
    assert message in str(caught.value) and "\n" not in str(caught.value)


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
