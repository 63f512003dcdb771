"""Reads models/*.yml into a Manifest: sources, their tables, and models."""

from __future__ import annotations

from typing import Any

from kor.config.files import KnownKeys, ProjectError, optional, read_yaml, require
from kor.config.runtime import RuntimeConfig
from kor.contracts.graph.manifest import Manifest
from kor.contracts.graph.nodes import ColumnInfo, ModelNode, NodeConfig, SourceDefinition
from kor.project.freshness import Freshness, FreshnessError, parse_freshness


def _columns(entry: dict[str, Any], where: str) -> dict[str, ColumnInfo]:
    columns: dict[str, ColumnInfo] = {}
    for column in optional(entry, "columns", list, where, []):
        column_name = require(column, "name", str, where)
        columns[column_name] = ColumnInfo(
            column_name, optional(column, "data_type", str, f"{where}: column '{column_name}'"),
            optional(column, "description", str, f"{where}: column '{column_name}'", ""))
    return columns


# Where a source table's freshness rule travels: its node's config, beside `target`.
FRESHNESS_KEY = "freshness"


def _freshness(entry: dict[str, Any], where: str) -> Freshness | None:
    setting = entry.get("freshness")
    if setting is None:
        return None
    try:
        return parse_freshness(setting)
    except FreshnessError as exc:
        raise ProjectError(f"{where}: 'freshness' {exc}") from None


_COLUMN_KEYS = ("name", "data_type", "description")
# What a models file may say; a misspelt `shcema:` or `naem:` is refused where it is.
MODELS_FILE_KEYS: KnownKeys = {
    (): ("sources", "models"),
    ("sources", "*"): ("name", "schema", "database", "config", "freshness", "tables",
                       "description"),
    ("sources", "*", "tables", "*"): ("name", "identifier", "columns", "freshness",
                                      "description"),
    ("sources", "*", "tables", "*", "columns", "*"): _COLUMN_KEYS,
    ("models", "*"): ("name", "schema", "alias", "database", "config", "columns",
                      "description"),
    ("models", "*", "columns", "*"): _COLUMN_KEYS,
}


def load_manifest(config: RuntimeConfig) -> Manifest:
    manifest = Manifest()
    models: dict[str, ModelNode] = {}
    project = config.project_name
    for path in sorted((config.project_root / "models").glob("*.yml")):
        data = read_yaml(path, MODELS_FILE_KEYS) or {}
        if not isinstance(data, dict):
            raise ProjectError(f"{path}: expected a mapping")
        for group in optional(data, "sources", list, str(path), []):
            where = f"{path}: source"
            source_name = require(group, "name", str, where)
            group_where = f"{where} '{source_name}'"
            schema = require(group, "schema", str, group_where)
            database = optional(group, "database", str, group_where)
            source_config = optional(group, "config", dict, group_where, {})
            source_freshness = _freshness(group, group_where)
            for table in optional(group, "tables", list, group_where, []):
                table_name = require(table, "name", str, group_where)
                table_where = f"{where} '{source_name}.{table_name}'"
                unique_id = f"source.{project}.{source_name}.{table_name}"
                if unique_id in manifest.sources:
                    raise ProjectError(f"{where} '{source_name}': duplicate table '{table_name}'")
                table_config = dict(source_config)
                freshness = _freshness(table, table_where) or source_freshness
                if freshness is not None:
                    table_config[FRESHNESS_KEY] = freshness
                manifest.sources[unique_id] = SourceDefinition(
                    unique_id=unique_id, name=table_name, source_name=source_name,
                    identifier=optional(table, "identifier", str, table_where) or table_name,
                    schema=schema, database=database, columns=_columns(table, table_where),
                    config=table_config)
        for entry in optional(data, "models", list, str(path), []):
            where = f"{path}: model"
            model_name = require(entry, "name", str, where)
            model_where = f"{where} '{model_name}'"
            model_config = optional(entry, "config", dict, model_where, {})
            unique_id = f"model.{project}.{model_name}"
            if unique_id in models:
                raise ProjectError(f"{where}: duplicate model '{model_name}'")
            models[unique_id] = ModelNode(
                unique_id=unique_id, name=model_name,
                schema=require(entry, "schema", str, model_where),
                alias=optional(entry, "alias", str, model_where),
                database=optional(entry, "database", str, model_where),
                columns=_columns(entry, model_where),
                config=NodeConfig(target=optional(model_config, "target", str, model_where)))
    manifest.nodes.update(models)
    return manifest
