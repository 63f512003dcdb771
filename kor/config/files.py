"""Reading the project's YAML files: size and type checks, the document's own limits, the
line of a setting, and the two checks of a mapping's keys every reader uses."""

from __future__ import annotations

import errno
import re
import stat
from pathlib import Path
from typing import Any

import yaml

from kor.config.keys import nearest
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


# The keys a mapping of a document may hold, by where it sits: the keys from the top, with
# "*" for any place in a list. A mapping elsewhere (a `config:`) is not checked.
KnownKeys = dict[tuple[str, ...], tuple[str, ...]]


def read_yaml(path: Path, known: KnownKeys | None = None) -> Any:
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
            return _document(FAST_LOADER(text), path, known)
        except ProjectError:
            raise
        except Exception:
            pass
    try:
        return _document(yaml.SafeLoader(text), path, known)
    except yaml.MarkedYAMLError as exc:
        where = f" at line {exc.problem_mark.line + 1}" if exc.problem_mark else ""
        raise ProjectError(f"{path}: invalid YAML{where}: {exc.problem or exc.context}") from exc
    except yaml.YAMLError as exc:
        raise ProjectError(f"{path}: invalid YAML: {one_line(str(exc))}") from exc
    except RecursionError:
        raise ProjectError(f"{path}: invalid YAML: nested too deeply") from None


def _document(loader: Any, path: Path, known: KnownKeys | None = None) -> Any:
    """The one document `loader` reads, checked (see `_check_document`) before it is built."""
    try:
        root = loader.get_single_node()
        if root is None:
            return None
        _check_document(root, path, known or {})
        return loader.construct_document(root)
    finally:
        loader.dispose()


def shown(text: str) -> str:
    """Text as a message can print it: a lone surrogate becomes its escape."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _entry(keys: tuple[str | int, ...]) -> str:
    """Where a value sits in its document: `sources[0].tables[1].name`."""
    text = "".join(f"[{key}]" if isinstance(key, int) else f".{shown(key)}" for key in keys)
    return text.lstrip(".") or "the document"


def _line(node: yaml.Node) -> int:
    return int(node.start_mark.line) + 1


def _check_keys(node: yaml.MappingNode, keys: tuple[str | int, ...], path: Path,
                known: KnownKeys, unknown: list[str]) -> None:
    """Refuses a repeated key; adds a key `known` does not have to `unknown`, as a message."""
    first: dict[tuple[str, str], int] = {}
    allowed = known.get(tuple(key if isinstance(key, str) else "*" for key in keys))
    for key, _ in node.value:
        if not isinstance(key, yaml.ScalarNode):
            continue
        if allowed is not None and key.value not in allowed:
            name = shown(key.value)
            hint = nearest(name, allowed) or f"; the keys there are {', '.join(allowed)}"
            unknown.append(f"{path}: at line {_line(key)}: unknown key {name!r} in "
                           f"{_entry(keys)}{hint}")
        if (key.tag, key.value) in first:
            raise ProjectError(
                f"{path}: invalid YAML at line {_line(key)}: duplicate key '{shown(key.value)}' "
                f"in {_entry(keys)} (first at line {first[key.tag, key.value]})")
        first[key.tag, key.value] = _line(key)


def _check_document(root: yaml.Node, path: Path, known: KnownKeys) -> None:
    """Refuse what loading would hide: lone surrogates, repeated keys, keys not in `known`
    (a misspelt one would be ignored) and alias bombs.

    A lone surrogate (an escape such as "\\uD800") is not text: every later print of the name
    would fail. A repeated key would silently keep its last value. PyYAML shares an aliased
    node instead of copying it, but everything that walks the loaded data (variable expansion,
    validation) sees it expanded: a few lines of nested aliases would become billions of
    values. Only what aliases add beyond the document counts, so a large plain file passes.
    """
    sizes: dict[int, int] = {}
    open_nodes: set[int] = set()
    unknown: list[str] = []

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
            _check_keys(node, keys, path, known, unknown)
            for key, value in node.value:
                label = key.value if isinstance(key, yaml.ScalarNode) else "?"
                total += size(key, (*keys, label)) + size(value, (*keys, label))
        open_nodes.discard(ident)
        sizes[ident] = total
        return total

    if size(root, ()) - len(sizes) > MAX_EXPANDED_NODES:
        raise ProjectError(f"{path}: invalid YAML: aliases expand to more than "
                           f"{MAX_EXPANDED_NODES} values")
    if unknown:
        raise ProjectError(unknown[0])


def optional(mapping: dict[str, Any], key: str, kind: type, where: str,
              default: Any = None) -> Any:
    value = mapping.get(key)
    if value is None:
        return default
    if not isinstance(value, kind):
        raise ProjectError(f"{where}: '{key}' must be a {kind.__name__}")
    return value


def require(mapping: Any, key: str, kind: type, where: str) -> Any:
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
