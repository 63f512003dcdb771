"""Reads zel_project.yml and models/*.yml into a RuntimeConfig and a Manifest."""

from __future__ import annotations

import errno
import os
import re
import stat
from pathlib import Path
from typing import Any

import yaml

from kor.config.runtime import RuntimeConfig
from kor.contracts.graph.manifest import Manifest
from kor.contracts.graph.nodes import ColumnInfo, ModelNode, NodeConfig, SourceDefinition
from kor.project.freshness import Freshness, FreshnessError, parse_freshness
from kor.project.keys import nearest, section_keys
from kor.text import one_line

PROJECT_FILE = "zel_project.yml"
MAX_FILE_BYTES = 5 * 1024 * 1024


class ProjectError(Exception):
    """A project file is missing, malformed or contradictory."""


MAX_EXPANDED_NODES = 100_000

_SURROGATE = re.compile("[\ud800-\udfff]")
# libyaml's loader where PyYAML was built with it, and the characters the Python loader
# refuses before parsing (which libyaml might not).
FAST_LOADER: Any = getattr(yaml, "CSafeLoader", None)
NON_PRINTABLE = yaml.reader.Reader.NON_PRINTABLE


def _unreadable(path: Path, exc: OSError) -> ProjectError:
    if exc.errno == errno.ELOOP:
        return ProjectError(f"{path}: a symbolic link loop")
    if exc.errno == errno.ENOENT:
        return ProjectError(f"{path}: file not found")
    return ProjectError(f"{path}: cannot read: {exc.strerror or exc}")


def _read_yaml(path: Path) -> Any:
    try:
        # Not is_file(): it calls a symbolic link loop a missing file.
        status = path.stat()
        if not stat.S_ISREG(status.st_mode):
            raise ProjectError(f"{path}: file not found")
        if status.st_size > MAX_FILE_BYTES:
            raise ProjectError(f"{path}: larger than {MAX_FILE_BYTES} bytes")
        text = path.read_text(encoding="utf-8")
    except OSError as exc:
        raise _unreadable(path, exc) from exc
    except UnicodeDecodeError as exc:
        raise ProjectError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from exc
    if FAST_LOADER is not None and not NON_PRINTABLE.search(text):
        # libyaml reads a project's files several times faster. Whatever it refuses is read
        # again by the Python loader, whose messages (and limits) are the ones users see.
        try:
            return _document(FAST_LOADER(text), path)
        except ProjectError:
            raise
        except Exception:
            pass
    try:
        return _document(yaml.SafeLoader(text), path)
    except yaml.MarkedYAMLError as exc:
        where = f" at line {exc.problem_mark.line + 1}" if exc.problem_mark else ""
        raise ProjectError(f"{path}: invalid YAML{where}: {exc.problem or exc.context}") from exc
    except yaml.YAMLError as exc:
        raise ProjectError(f"{path}: invalid YAML: {one_line(str(exc))}") from exc
    except RecursionError:
        raise ProjectError(f"{path}: invalid YAML: nested too deeply") from None


def _document(loader: Any, path: Path) -> Any:
    """The one document `loader` reads, checked (see `_check_document`) before it is built."""
    try:
        root = loader.get_single_node()
        if root is None:
            return None
        _check_document(root, path)
        return loader.construct_document(root)
    finally:
        loader.dispose()


def _shown(text: str) -> str:
    """Text as a message can print it: a lone surrogate becomes its escape."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _entry(keys: tuple[str | int, ...]) -> str:
    """Where a value sits in its document: `sources[0].tables[1].name`."""
    text = "".join(f"[{key}]" if isinstance(key, int) else f".{_shown(key)}" for key in keys)
    return text.lstrip(".") or "the document"


def _line(node: yaml.Node) -> int:
    return int(node.start_mark.line) + 1


def _check_keys(node: yaml.MappingNode, keys: tuple[str | int, ...], path: Path) -> None:
    first: dict[tuple[str, str], int] = {}
    for key, _ in node.value:
        if not isinstance(key, yaml.ScalarNode):
            continue
        if (key.tag, key.value) in first:
            raise ProjectError(
                f"{path}: invalid YAML at line {_line(key)}: duplicate key '{_shown(key.value)}' "
                f"in {_entry(keys)} (first at line {first[key.tag, key.value]})")
        first[key.tag, key.value] = _line(key)


def _check_document(root: yaml.Node, path: Path) -> None:
    """Refuse what loading would hide: lone surrogates, repeated keys and alias bombs.

    A lone surrogate (an escape such as "\\uD800") is not text: every later print of the name
    would fail. A repeated key would silently keep its last value. PyYAML shares an aliased
    node instead of copying it, but everything that walks the loaded data (variable expansion,
    validation) sees it expanded: a few lines of nested aliases would become billions of
    values. Only what aliases add beyond the document counts, so a large plain file passes.
    """
    sizes: dict[int, int] = {}
    open_nodes: set[int] = set()

    def size(node: yaml.Node, keys: tuple[str | int, ...]) -> int:
        ident = id(node)
        if ident in sizes:
            return sizes[ident]
        if ident in open_nodes:
            raise ProjectError(f"{path}: invalid YAML: an alias refers to its own anchor")
        open_nodes.add(ident)
        total = 1
        if isinstance(node, yaml.ScalarNode):
            surrogate = _SURROGATE.search(node.value)
            if surrogate:
                raise ProjectError(
                    f"{path}: invalid text at line {_line(node)}: {_entry(keys)} holds a lone "
                    f"surrogate (\\u{ord(surrogate.group()):04x}); write the character itself")
        elif isinstance(node, yaml.SequenceNode):
            total += sum(size(item, (*keys, index)) for index, item in enumerate(node.value))
        elif isinstance(node, yaml.MappingNode):
            _check_keys(node, keys, path)
            for key, value in node.value:
                label = key.value if isinstance(key, yaml.ScalarNode) else "?"
                total += size(key, (*keys, label)) + size(value, (*keys, label))
        open_nodes.discard(ident)
        sizes[ident] = total
        return total

    if size(root, ()) - len(sizes) > MAX_EXPANDED_NODES:
        raise ProjectError(f"{path}: invalid YAML: aliases expand to more than "
                           f"{MAX_EXPANDED_NODES} values")


_VARIABLE = re.compile(r"\$\{([A-Za-z_][A-Za-z0-9_]*)(?::-([^}]*))?\}")


def _expand(value: Any, where: str, key: str = "") -> Any:
    """`${VAR}` and `${VAR:-default}` in a target's settings; an unset variable is an error."""
    if isinstance(value, str):
        def variable(match: re.Match[str]) -> str:
            name, default = match.group(1), match.group(2)
            found = os.environ.get(name)
            if default is not None and not found:
                return default  # as in the shell: unset or empty
            if found is None:
                raise ProjectError(f"{where}: '{key}' uses ${{{name}}}, which is not set")
            return found

        return _VARIABLE.sub(variable, value)
    if isinstance(value, dict):
        return {k: _expand(v, where, f"{key}.{k}" if key else str(k)) for k, v in value.items()}
    if isinstance(value, list):
        return [_expand(v, where, f"{key}[{i}]") for i, v in enumerate(value)]
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


def line_of(path: Path, keys: tuple[str, ...]) -> int | None:
    """The line of the setting at `keys` (mapping keys from the top) in the YAML file at
    `path`, or of the deepest of them that is there; None when the file has none of them."""
    try:
        node: yaml.Node | None = yaml.compose(path.read_text(encoding="utf-8"),
                                              Loader=yaml.SafeLoader)
    except (OSError, UnicodeDecodeError, yaml.YAMLError):
        return None
    line = None
    for key in keys:
        if not isinstance(node, yaml.MappingNode):
            break
        found = next(((k, v) for k, v in node.value
                      if isinstance(k, yaml.ScalarNode) and k.value == key), None)
        if found is None:
            break
        line, node = _line(found[0]), found[1]
    return line


def setting_refused(project_dir: Path, keys: tuple[str, ...], message: str) -> ProjectError:
    """A setting of the project file refused, with the file and the line it is on."""
    path = project_dir / PROJECT_FILE
    line = line_of(path, keys)
    return ProjectError(f"{path}: {'' if line is None else f'at line {line}: '}{message}")


def project_settings(project_dir: Path) -> dict[str, Any]:
    """The project file's top-level settings, as written (variables not expanded); a key the
    project file does not have (a misspelt `anomalies:` would silently keep the defaults) is
    refused with its line and the nearest known key."""
    path = project_dir / PROJECT_FILE
    data = _read_yaml(path)
    if not isinstance(data, dict):
        raise ProjectError(f"{path}: expected a mapping")
    known = section_keys()
    for key in data:
        if key not in known:
            name = _shown(str(key))
            hint = nearest(name, known) or f"; the keys are {', '.join(known)}"
            raise setting_refused(project_dir, (str(key),), f"unknown key {name!r}{hint}")
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
                         target_name=target_name,
                         target=_expand(targets[target_name], f"{where}: target '{target_name}'"))


def _columns(entry: dict[str, Any], where: str) -> dict[str, ColumnInfo]:
    columns: dict[str, ColumnInfo] = {}
    for column in _optional(entry, "columns", list, where, []):
        column_name = _require(column, "name", str, where)
        columns[column_name] = ColumnInfo(
            column_name, _optional(column, "data_type", str, f"{where}: column '{column_name}'"),
            _optional(column, "description", str, f"{where}: column '{column_name}'", ""))
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
            source_freshness = _freshness(group, group_where)
            for table in _optional(group, "tables", list, group_where, []):
                table_name = _require(table, "name", str, group_where)
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
                    identifier=_optional(table, "identifier", str, table_where) or table_name,
                    schema=schema, database=database, columns=_columns(table, table_where),
                    config=table_config)
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
