"""Calls the module rejects: mypy must reject each one too. tests/run.sh checks this file under
--strict, which warns of an unused "type: ignore": a call that the stub accepted would leave its
ignore unused, and one rejected for another reason would show an error of another code.
tests/python/test_stub.py runs the file, so each call must also fail at run time as shown."""
import types

import pytest

import exprkit


def text_result(x: float) -> str:
    return "1"


def no_result(x: float) -> None:
    pass


def two_arguments(x: float, y: float) -> float:
    return x + y


def int_argument(n: int) -> int:
    return n


f = exprkit.func("x")

with pytest.raises(TypeError):
    exprkit.func(3)  # type: ignore[call-overload]
with pytest.raises(TypeError):
    exprkit.func(memoryview(b"x"))  # type: ignore[call-overload]
with pytest.raises(TypeError):
    exprkit.func(text="x")  # type: ignore[call-overload]
with pytest.raises(TypeError):
    f.init(None)  # type: ignore[arg-type]

with pytest.raises(TypeError):
    f.eval({1: 2.0})  # type: ignore[dict-item]
with pytest.raises(TypeError):
    f.eval({"x": "2"})  # type: ignore[dict-item]
with pytest.raises(TypeError):
    f.eval({"x": None})  # type: ignore[dict-item]
with pytest.raises(TypeError):
    f.eval({"x": 1j})  # type: ignore[dict-item]
with pytest.raises(TypeError):
    f.eval(types.MappingProxyType({"x": 1.0}))  # type: ignore[call-overload]
with pytest.raises(TypeError):
    f.eval([("x", 1.0)])  # type: ignore[call-overload]
with pytest.raises(TypeError):
    f.eval(values={"x": 1.0})  # type: ignore[call-overload]
text_values: dict[str, str] = {"x": "1"}
with pytest.raises(TypeError):
    f.eval(text_values)  # type: ignore[arg-type]

with pytest.raises(TypeError):
    f.add_func(3, abs)  # type: ignore[arg-type]
with pytest.raises(TypeError):
    f.add_func("k", 3)  # type: ignore[arg-type]
# A callable of the wrong kind is taken, and fails when a formula calls it.
f.add_func("text", text_result)  # type: ignore[arg-type]
f.add_func("none", no_result)  # type: ignore[arg-type]
f.add_func("two", two_arguments)  # type: ignore[arg-type]
for name, error in (("text", RuntimeError), ("none", RuntimeError), ("two", TypeError)):
    f.init(f"{name}(1)")
    with pytest.raises(error):
        f.eval()
f.add_func("whole", int_argument)  # type: ignore[arg-type]
f.init("whole(1.5)")
assert f.eval() == 1.5  # called with a float, not the int that the callable declares
