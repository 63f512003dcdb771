"""The runtime configuration: which project, which target, how to reach it; read from
`zel_project.yml`."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from kor.config.files import PROJECT_FILE, ProjectError, line_of, read_yaml, require, shown
from kor.config.keys import nearest, section_keys


@dataclass
class RuntimeConfig:
    project_root: Path
    project_name: str
    target_name: str
    target: dict[str, Any]

    @classmethod
    def load(cls, project_dir: Path | str, target: str | None = None) -> RuntimeConfig:
        """Read `zel_project.yml` in `project_dir` and pick `target` (or the default)."""
        return load_runtime_config(Path(project_dir), target)


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
    data = read_yaml(path)
    if not isinstance(data, dict):
        raise ProjectError(f"{path}: expected a mapping")
    known = section_keys()
    for key in data:
        if key not in known:
            name = shown(str(key))
            hint = nearest(name, known) or f"; the keys are {', '.join(known)}"
            raise setting_refused(project_dir, (str(key),), f"unknown key {name!r}{hint}")
    return data


def load_runtime_config(project_dir: Path, target: str | None = None) -> RuntimeConfig:
    path = project_dir / PROJECT_FILE
    data = project_settings(project_dir)
    where = str(path)
    name = require(data, "name", str, where)
    targets = require(data, "targets", dict, where)
    target_name = target or require(data, "target", str, where)
    if target_name not in targets or not isinstance(targets[target_name], dict):
        raise ProjectError(f"{where}: unknown target '{target_name}'")
    return RuntimeConfig(project_root=project_dir.resolve(), project_name=name,
                         target_name=target_name,
                         target=_expand(targets[target_name], f"{where}: target '{target_name}'"))
