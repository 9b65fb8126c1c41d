"""Callers that turn back on the object they are called from: recursion through eval, values whose
conversion frees them, and finalisers that run while a tree is destroyed. None of them may crash."""
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import exprkit


class ViaDispatcher(exprkit.func):
    """Calls on a subclass instance never take eval's direct path, only pybind11's dispatcher."""


def run_child(code: str, **environment: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, **environment}, timeout=120)


@pytest.mark.parametrize("cls", ["exprkit.func", "Sub"])
def test_recursion_through_eval_ends_in_recursion_error(cls):
    child = run_child(f"""
        import sys, exprkit
        class Sub(exprkit.func):
            pass
        sys.setrecursionlimit(4000)
        f = {cls}()
        f.add_func("g", lambda x: f.eval({{"x": 1.0}}))
        f.init("g(x)")
        try:
            f.eval({{"x": 1.0}})
        except RecursionError:
            print("RecursionError")
    """)
    assert (child.returncode, child.stdout) == (0, "RecursionError\n")


def depth_through_eval(f: exprkit.func) -> int:
    depth = [0]

    def deeper(x: float) -> float:
        depth[0] += 1
        return f.eval({"x": x})

    f.add_func("g", deeper)
    f.init("g(x)")
    with pytest.raises(RecursionError):
        deeper(1.0)
    return depth[0]


def depth_through_a_plain_pybind11_function() -> int:
    depth = [0]

    def deeper(x: float) -> float:
        depth[0] += 1
        return relay(x)

    f = exprkit.func()
    f.add_func("h", deeper)
    relay = f.avail_funcs()["h"]  # a pybind11 function that calls the engine's copy of `deeper`
    with pytest.raises(RecursionError):
        deeper(1.0)
    return depth[0]


def test_eval_counts_against_the_recursion_limit_as_any_pybind11_function_does():
    plain = depth_through_a_plain_pybind11_function()
    assert depth_through_eval(exprkit.func()) == plain
    assert depth_through_eval(ViaDispatcher()) == plain


@pytest.mark.parametrize("cls", ["exprkit.func", "Sub"])
@pytest.mark.parametrize("method, ending", [
    ("__float__", "raise TypeError('nope')"),
    ("__float__", "return 'not a float'"),
    ("__index__", "return 'not an int'"),
])
def test_a_value_that_frees_itself_while_it_converts_gives_the_usual_type_error(cls, method, ending):
    child = run_child(f"""
        import exprkit
        class Sub(exprkit.func):
            pass
        f = {cls}("x")
        d = {{}}
        class Evil:
            def {method}(self):
                d.clear()
                {ending}
        d["x" * 3] = Evil()  # a key made at run time, which only the dict holds
        f.init("xxx")
        try:
            f.eval(d)
        except TypeError as error:
            print(str(error).splitlines()[0])
    """, PYTHONMALLOC="debug")
    assert (child.returncode, child.stdout) == (0, "eval(): incompatible function arguments. "
                                                   "The following argument types are supported:\n")


class ReparseWhenGone:
    """A callable whose finaliser evaluates and re-parses the object that holds it."""

    def __init__(self, target: exprkit.func, text: str):
        self.target, self.text = target, text

    def __call__(self, x: float) -> float:
        return x

    def __del__(self):
        self.target.eval({"x": 1.0, "y": 1.0, "z": 1.0})
        self.target.init(self.text)


def test_a_tree_replaced_by_init_goes_once_the_object_is_whole():
    f = exprkit.func()
    f.add_func("g", ReparseWhenGone(f, "y+1"))
    f.init("g(x)")
    f.add_func("g", None)  # the tree holds the last reference
    f.init("x*2")  # destroying g(x) parses y+1, which wins as the last init to complete
    assert f.vars() == {"y": 0.0}
    assert f.eval({"y": 1.0}) == 2.0


def test_a_tree_replaced_during_its_evaluation_goes_when_the_evaluation_ends():
    f = exprkit.func()
    f.add_func("g", ReparseWhenGone(f, "z*3"))
    f.add_func("f", lambda x: (f.init("2"), x)[1])
    f.init("f(1)+g(1)")
    f.add_func("g", None)
    assert f.eval() == 2.0
    assert f.vars() == {"z": 0.0}
    assert f.eval({"z": 2.0}) == 6.0


def test_only_the_tree_being_evaluated_is_kept_while_others_replace_it():
    f = exprkit.func()
    markers = []
    alive_at_the_end = []

    class Marker:
        def __call__(self, x: float) -> float:
            return x

    def replace_many_times(x: float) -> float:
        for _ in range(400):
            marker = Marker()
            markers.append(weakref.ref(marker))
            f.add_func("m", marker)
            del marker
            f.init("m(1)")  # held by the table and this tree only, until both move on
        alive_at_the_end.append(sum(ref() is not None for ref in markers))
        return x

    f.add_func("r", replace_many_times)
    f.init("r(1)")
    assert f.eval() == 1.0
    assert alive_at_the_end == [1]


@pytest.mark.parametrize("cls", ["exprkit.func", "Sub"])
@pytest.mark.parametrize("text, then", [("+".join("c(%d)*x" % i for i in range(2, 200)), 7.0 * sum(range(2, 200))),
                                        ("y", 1.0)])
def test_an_evaluation_ends_with_what_it_started_when_its_callable_reparses_the_object(cls, text, then):
    """A long sum is compiled in pieces, which give up as one calls a Python callable, and then as a
    whole: both start the variable table anew while the first formula still runs and reads x."""
    f = {"exprkit.func": exprkit.func, "Sub": ViaDispatcher}[cls]()

    def c(v: float) -> float:
        if v == 1:
            f.init(text)
        return v

    f.add_func("c", c)
    f.init("x+c(1)")
    assert f.eval({"x": 7.0}) == 8.0
    assert f.eval({"x": 7.0, "y": 1.0}) == then
