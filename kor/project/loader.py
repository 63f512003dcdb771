"""Reads zel_project.yml and models/*.yml into a RuntimeConfig and a Manifest."""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import Any

import yaml

from kor.config.runtime import RuntimeConfig
from kor.contracts.graph.manifest import Manifest
from kor.contracts.graph.nodes import ColumnInfo, ModelNode, NodeConfig, SourceDefinition

PROJECT_FILE = "zel_project.yml"
MAX_FILE_BYTES = 5 * 1024 * 1024


class ProjectError(Exception):
    """A project file is missing, malformed or contradictory."""


MAX_EXPANDED_NODES = 100_000


def _read_yaml(path: Path) -> Any:
    if not path.is_file():
        raise ProjectError(f"{path}: file not found")
    if path.stat().st_size > MAX_FILE_BYTES:
        raise ProjectError(f"{path}: larger than {MAX_FILE_BYTES} bytes")
    try:
        text = path.read_text(encoding="utf-8")
        _check_expansion(yaml.compose(text, Loader=yaml.SafeLoader), path)
        return yaml.safe_load(text)
    except UnicodeDecodeError as exc:
        raise ProjectError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from exc
    except yaml.MarkedYAMLError as exc:
        where = f" at line {exc.problem_mark.line + 1}" if exc.problem_mark else ""
        raise ProjectError(f"{path}: invalid YAML{where}: {exc.problem or exc.context}") from exc
    except yaml.YAMLError as exc:
        raise ProjectError(f"{path}: invalid YAML: {' '.join(str(exc).split())}") from exc


def _check_expansion(root: yaml.Node | None, path: Path) -> None:
    """Refuse aliases that nest into a cycle or expand past MAX_EXPANDED_NODES.

    PyYAML shares an aliased node instead of copying it, but everything that walks the loaded
    data (variable expansion, validation) sees it expanded: a few lines of nested aliases would
    become billions of values.
    """
    sizes: dict[int, int] = {}
    open_nodes: set[int] = set()

    def size(node: yaml.Node) -> int:
        key = id(node)
        if key in sizes:
            return sizes[key]
        if key in open_nodes:
            raise ProjectError(f"{path}: invalid YAML: an alias refers to its own anchor")
        open_nodes.add(key)
        total = 1
        if isinstance(node, yaml.SequenceNode):
            total += sum(size(item) for item in node.value)
        elif isinstance(node, yaml.MappingNode):
            total += sum(size(k) + size(v) for k, v in node.value)
        open_nodes.discard(key)
        if total > MAX_EXPANDED_NODES:
            raise ProjectError(f"{path}: invalid YAML: aliases expand to more than "
                               f"{MAX_EXPANDED_NODES} values")
        sizes[key] = total
        return total

    if root is not None:
        size(root)


_VARIABLE = re.compile(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}")


def _expand(value: Any) -> Any:
    if isinstance(value, str):
        return _VARIABLE.sub(lambda m: os.environ.get(m.group(1), ""), value)
    if isinstance(value, dict):
        return {k: _expand(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_expand(v) for v in value]
    return value


def _optional(mapping: dict[str, Any], key: str, kind: type, where: str,
              default: Any = None) -> Any:
    value = mapping.get(key)
    if value is None:
        return default
    if not isinstance(value, kind):
        raise ProjectError(f"{where}: '{key}' must be a {kind.__name__}")
    return value


def _require(mapping: Any, key: str, kind: type, where: str) -> Any:
    if not isinstance(mapping, dict) or key not in mapping:
        raise ProjectError(f"{where}: missing required key '{key}'")
    value = mapping[key]
    if not isinstance(value, kind):
        raise ProjectError(f"{where}: '{key}' must be a {kind.__name__}")
    return value


def project_settings(project_dir: Path) -> dict[str, Any]:
    """The project file's top-level settings, as written (variables not expanded)."""
    path = project_dir / PROJECT_FILE
    data = _read_yaml(path)
    if not isinstance(data, dict):
        raise ProjectError(f"{path}: expected a mapping")
    return data


def load_runtime_config(project_dir: Path, target: str | None = None) -> RuntimeConfig:
    path = project_dir / PROJECT_FILE
    data = project_settings(project_dir)
    where = str(path)
    name = _require(data, "name", str, where)
    targets = _require(data, "targets", dict, where)
    target_name = target or _require(data, "target", str, where)
    if target_name not in targets or not isinstance(targets[target_name], dict):
        raise ProjectError(f"{where}: unknown target '{target_name}'")
    return RuntimeConfig(project_root=project_dir.resolve(), project_name=name,
                         target_name=target_name, target=_expand(targets[target_name]))


def _columns(entry: dict[str, Any], where: str) -> dict[str, ColumnInfo]:
    columns: dict[str, ColumnInfo] = {}
    for column in _optional(entry, "columns", list, where, []):
        column_name = _require(column, "name", str, where)
        columns[column_name] = ColumnInfo(
            column_name, _optional(column, "data_type", str, f"{where}: column '{column_name}'"),
            _optional(column, "description", str, f"{where}: column '{column_name}'", ""))
    return columns


def load_manifest(config: RuntimeConfig) -> Manifest:
    manifest = Manifest()
    models: dict[str, ModelNode] = {}
    project = config.project_name
    for path in sorted((config.project_root / "models").glob("*.yml")):
        data = _read_yaml(path) or {}
        if not isinstance(data, dict):
            raise ProjectError(f"{path}: expected a mapping")
        for group in _optional(data, "sources", list, str(path), []):
            where = f"{path}: source"
            source_name = _require(group, "name", str, where)
            group_where = f"{where} '{source_name}'"
            schema = _require(group, "schema", str, group_where)
            database = _optional(group, "database", str, group_where)
            source_config = _optional(group, "config", dict, group_where, {})
            for table in _optional(group, "tables", list, group_where, []):
                table_name = _require(table, "name", str, group_where)
                table_where = f"{where} '{source_name}.{table_name}'"
                unique_id = f"source.{project}.{source_name}.{table_name}"
                if unique_id in manifest.sources:
                    raise ProjectError(f"{where} '{source_name}': duplicate table '{table_name}'")
                manifest.sources[unique_id] = SourceDefinition(
                    unique_id=unique_id, name=table_name, source_name=source_name,
                    identifier=_optional(table, "identifier", str, table_where) or table_name,
                    schema=schema, database=database, columns=_columns(table, table_where),
                    config=dict(source_config))
        for entry in _optional(data, "models", list, str(path), []):
            where = f"{path}: model"
            model_name = _require(entry, "name", str, where)
            model_where = f"{where} '{model_name}'"
            model_config = _optional(entry, "config", dict, model_where, {})
            unique_id = f"model.{project}.{model_name}"
            if unique_id in models:
                raise ProjectError(f"{where}: duplicate model '{model_name}'")
            models[unique_id] = ModelNode(
                unique_id=unique_id, name=model_name,
                schema=_require(entry, "schema", str, model_where),
                alias=_optional(entry, "alias", str, model_where),
                database=_optional(entry, "database", str, model_where),
                columns=_columns(entry, model_where),
                config=NodeConfig(target=_optional(model_config, "target", str, model_where)))
    manifest.nodes.update(models)
    return manifest
