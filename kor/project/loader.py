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


def _read_yaml(path: Path) -> Any:
    if not path.is_file():
        raise ProjectError(f"{path}: file not found")
    if path.stat().st_size > MAX_FILE_BYTES:
        raise ProjectError(f"{path}: larger than {MAX_FILE_BYTES} bytes")
    try:
        return yaml.safe_load(path.read_text(encoding="utf-8"))
    except yaml.YAMLError as exc:
        raise ProjectError(f"{path}: invalid YAML: {exc}") from exc


_VARIABLE = re.compile(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}")


def _expand(value: Any) -> Any:
    if isinstance(value, str):
        return _VARIABLE.sub(lambda m: os.environ.get(m.group(1), ""), value)
    if isinstance(value, dict):
        return {k: _expand(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_expand(v) for v in value]
    return value


def _require(mapping: Any, key: str, kind: type, where: str) -> Any:
    if not isinstance(mapping, dict) or key not in mapping:
        raise ProjectError(f"{where}: missing required key '{key}'")
    value = mapping[key]
    if not isinstance(value, kind):
        raise ProjectError(f"{where}: '{key}' must be a {kind.__name__}")
    return value


def load_runtime_config(project_dir: Path, target: str | None = None) -> RuntimeConfig:
    path = project_dir / PROJECT_FILE
    data = _read_yaml(path)
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
    for column in entry.get("columns") or []:
        column_name = _require(column, "name", str, where)
        columns[column_name] = ColumnInfo(column_name, column.get("data_type"),
                                          column.get("description", ""))
    return columns


def load_manifest(config: RuntimeConfig) -> Manifest:
    manifest = Manifest()
    models: dict[str, ModelNode] = {}
    project = config.project_name
    for path in sorted((config.project_root / "models").glob("*.yml")):
        data = _read_yaml(path) or {}
        if not isinstance(data, dict):
            raise ProjectError(f"{path}: expected a mapping")
        for group in data.get("sources") or []:
            where = f"{path}: source"
            source_name = _require(group, "name", str, where)
            schema = _require(group, "schema", str, f"{where} '{source_name}'")
            for table in group.get("tables") or []:
                table_name = _require(table, "name", str, f"{where} '{source_name}'")
                unique_id = f"source.{project}.{source_name}.{table_name}"
                if unique_id in manifest.sources:
                    raise ProjectError(f"{where} '{source_name}': duplicate table '{table_name}'")
                manifest.sources[unique_id] = SourceDefinition(
                    unique_id=unique_id, name=table_name, source_name=source_name,
                    identifier=table.get("identifier") or table_name, schema=schema,
                    database=group.get("database"),
                    columns=_columns(table, f"{where} '{source_name}.{table_name}'"),
                    config=dict(group.get("config") or {}))
        for entry in data.get("models") or []:
            where = f"{path}: model"
            model_name = _require(entry, "name", str, where)
            unique_id = f"model.{project}.{model_name}"
            if unique_id in models:
                raise ProjectError(f"{where}: duplicate model '{model_name}'")
            models[unique_id] = ModelNode(
                unique_id=unique_id, name=model_name,
                schema=_require(entry, "schema", str, f"{where} '{model_name}'"),
                alias=entry.get("alias"), database=entry.get("database"),
                columns=_columns(entry, f"{where} '{model_name}'"),
                config=NodeConfig(target=(entry.get("config") or {}).get("target")))
    manifest.nodes.update(models)
    return manifest
