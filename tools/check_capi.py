"""Fails when C++ under native/ calls the Python C API outside native/python/ and module.cpp.

The domain folders reach Python through nanobind and the thin layer in native/python/, so
reference counts and error indicators are handled in one place. A call is an identifier that
starts with `Py` or `_Py` followed by `(` (functions and macros alike); comments and string
literals are ignored. Usage: check_capi.py [native_dir]; prints one line per call found.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ALLOWED = ("python/", "module.cpp")
# Types that may be constructed like a call.
TYPES = {"Py_ssize_t", "Py_hash_t", "Py_uhash_t"}

_CALL = re.compile(r"(?<![A-Za-z0-9_])(_?Py[A-Za-z0-9_]*)\s*\(")
# Comments, then string and character literals (raw strings first), each kept as blank space
# of its own length and line breaks, so that line numbers stay right.
_NOISE = re.compile(
    r'//[^\n]*|/\*.*?\*/|R"([^(\s]*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'',
    re.S,
)


def _blank(match: re.Match[str]) -> str:
    return re.sub(r"[^\n]", " ", match.group(0))


def calls(source: str) -> list[tuple[int, str]]:
    """(line, name) of every C-API call in a C++ source."""
    code = _NOISE.sub(_blank, source)
    found = []
    for match in _CALL.finditer(code):
        if match.group(1) not in TYPES:
            found.append((code.count("\n", 0, match.start()) + 1, match.group(1)))
    return found


def violations(native: Path) -> list[str]:
    lines = []
    for path in sorted(native.rglob("*")):
        relative = path.relative_to(native).as_posix()
        if path.suffix not in {".cpp", ".hpp", ".h"} or relative.startswith(ALLOWED):
            continue
        for line, name in calls(path.read_text(encoding="utf-8")):
            lines.append(f"{path}:{line}: {name}() outside native/python/")
    return lines


def main(argv: list[str]) -> int:
    native = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "native"
    found = violations(native)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
