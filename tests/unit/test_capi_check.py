"""The lint check that keeps C-API calls inside native/python/ and module.cpp."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CHECK = ROOT / "tools" / "check_capi.py"


def check(native: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(CHECK), str(native)], capture_output=True,
                          text=True, check=False)


def test_the_tree_is_clean():
    result = check(ROOT / "native")
    assert (result.returncode, result.stdout) == (0, "")


@pytest.mark.parametrize(
    "path, source, flagged",
    [
        ("metrics/x.cpp", "int a;\nauto b = PyNumber_Add(x, y);", ["2: PyNumber_Add()"]),
        ("host/x.hpp", "return _PyType_Lookup (t, k) + Py_TYPE(o);",
         ["1: _PyType_Lookup()", "1: Py_TYPE()"]),
        ("python/x.cpp", "PyNumber_Add(x, y);", []),
        ("module.cpp", "PyModuleDef_Init(&d);", []),
        ("task/x.cpp", '// PyErr_Clear() here\n/* PyErr_Clear(\n) */ auto s = "Py_DECREF(x)";',
         []),
        ("task/x.cpp", 'auto s = R"(PyErr_Clear())"; char c = \'(\'; Py_ssize_t(3);', []),
    ],
)
def test_calls_outside_the_python_layer_fail(tmp_path, path, source, flagged):
    file = tmp_path / path
    file.parent.mkdir(parents=True, exist_ok=True)
    file.write_text(source)
    result = check(tmp_path)
    assert result.returncode == (1 if flagged else 0)
    assert [line.split(":", 1)[1].split(" outside")[0].strip() for line in
            result.stdout.splitlines()] == flagged
