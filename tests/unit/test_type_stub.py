"""kor/task/profile.pyi says what the native module really has: methods, records, globals."""

from __future__ import annotations

import ast
import dataclasses
import inspect
from importlib.resources import files
from typing import Any

import pytest

import kor.task.profile as module

STUB = ast.parse((files("kor.task") / "profile.pyi").read_text(encoding="utf-8"))
CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}
RECORDS = ("ColumnProfile", "TableProfile", "ProfileExecutionResult")
_BUILTIN = {"List": "list", "Dict": "dict", "Set": "set", "Tuple": "tuple"}


class _Normalised(ast.NodeTransformer):
    """typing's spellings as builtins, Optional[X] as X | None, dict and tuple without
    arguments: the module declares "List[Dict]" where the stub says list[dict[str, Any]]."""

    def visit_Name(self, node: ast.Name) -> ast.AST:
        return ast.Name(_BUILTIN.get(node.id, node.id))

    def visit_Subscript(self, node: ast.Subscript) -> ast.AST:
        node = self.generic_visit(node)
        assert isinstance(node, ast.Subscript) and isinstance(node.value, ast.Name)
        if node.value.id == "Optional":
            return ast.BinOp(node.slice, ast.BitOr(), ast.Constant(None))
        if node.value.id in ("dict", "tuple"):
            return node.value
        return node


def normal(annotation: str | ast.expr | None) -> str:
    if annotation is None:
        return "Any"
    tree = ast.parse(annotation, mode="eval").body if isinstance(annotation, str) else annotation
    return ast.unparse(_Normalised().visit(tree))


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, str, Any]]:
    """(name, annotation, default) of each parameter; `...` for a default the stub elides."""
    arguments = function.args.args
    defaults = [None] * (len(arguments) - len(function.args.defaults)) + function.args.defaults
    return [(argument.arg, "Any" if argument.arg == "self" else normal(argument.annotation),
             inspect.Parameter.empty if default is None else ast.literal_eval(default))
            for argument, default in zip(arguments, defaults, strict=True)]


def module_parameters(callable_: Any) -> list[tuple[str, str, Any]]:
    return [(p.name, normal(p.annotation if p.annotation is not p.empty else None),
             p.default if p.default is p.empty or isinstance(p.default, (int, float, str,
                                                                         type(None)))
             else ...)
            for p in inspect.signature(callable_).parameters.values()]


def stub_methods(name: str) -> dict[str, ast.FunctionDef]:
    return {node.name: node for node in CLASSES[name].body if isinstance(node, ast.FunctionDef)}


def test_the_stub_lists_every_method_of_the_task_and_nothing_else():
    native = {name for name, value in vars(module.ProfileTask).items()
              if callable(value) and not isinstance(value, type)}
    assert set(stub_methods("ProfileTask")) == native


@pytest.mark.parametrize("name", sorted(stub_methods("ProfileTask")))
def test_each_task_method_has_the_stubs_signature(name):
    stub, method = stub_methods("ProfileTask")[name], getattr(module.ProfileTask, name)
    assert stub_parameters(stub) == module_parameters(method)
    returns = "None" if name == "__init__" else method.__annotations__.get("return")
    assert normal(stub.returns) == normal(returns)


@pytest.mark.parametrize("name", RECORDS)
def test_each_record_has_the_stubs_fields_and_initializer(name):
    record = getattr(module, name)
    fields = [(node.target.id, normal(node.annotation)) for node in CLASSES[name].body
              if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)]
    assert fields == [(f.name, normal(record.__annotations__[f.name]))
                      for f in dataclasses.fields(record)]
    assert stub_parameters(stub_methods(name)["__init__"])[1:] == module_parameters(record)


def test_the_stubs_module_globals_exist():
    names = {node.target.id for node in STUB.body
             if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}
    assert names and all(hasattr(module, name) for name in names)
