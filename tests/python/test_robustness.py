"""Hostile input at the Python boundary: arbitrary texts and values, hostile callables, long runs.

Only the documented exceptions may come out; a crash takes the whole test run down with it.
"""
import gc
import math
import os
import re
import sys

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import exprkit


class CallableFailure(Exception):
    pass


# Exceptions that the module documents, plus the one our hostile callables raise.
DOCUMENTED = (ValueError, IndexError, RuntimeError, CallableFailure)

expression_alphabet = st.sampled_from(list("xyzab0123456789.()+-*/^ ") + ["sin", "log", "f", "g", "h"])
texts = st.one_of(
    st.binary(max_size=64),
    st.text(max_size=64),
    st.lists(expression_alphabet, max_size=40).map("".join),
)
doubles = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-(2**60), 2**60), st.booleans())


def hostile_callables(target: exprkit.func, text: str):
    """Functions that misbehave in every way the engine must survive."""
    depth = [0]

    def raising(x):
        raise CallableFailure(x)

    def reparse(x):
        depth[0] += 1
        if depth[0] < 3:
            try:
                target.init(text)
            except ValueError:
                pass
        return x

    def reevaluate(x):
        depth[0] += 1
        if depth[0] < 3:
            try:
                return x + target.eval()
            except DOCUMENTED:
                pass
        return x

    def extend(x):
        target.add_func("f", lambda y: y)
        return 10**400 if x > 1 else x

    return {
        "f": raising,
        "g": lambda x: None if x > 0 else "text",
        "h": reparse,
        "sin": reevaluate,
        "log": extend,
        "ln": None,
    }


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=texts, other=texts, values=st.dictionaries(st.text(max_size=3), doubles, max_size=6))
def test_arbitrary_texts_values_and_callables_raise_only_documented_errors(text, other, values):
    try:
        f = exprkit.func(text)
    except (ValueError, TypeError):
        f = exprkit.func()
    for name, function in hostile_callables(f, other if isinstance(other, str) else "x").items():
        f.add_func(name, function)
    for step in (text, other):
        try:
            f.init(step)
        except (ValueError, TypeError):
            pass
        assert isinstance(f.valid(), bool)
        for name in f.vars():
            assert name.isascii() and name.isalpha()
        given_values = dict(values)
        given_values.update({name: 1.5 for name in f.vars()})
        for call in (lambda: f.eval(given_values), f.eval):
            try:
                result = call()
            except DOCUMENTED:
                continue
            assert isinstance(result, float)
    assert len(f.avail_funcs()) >= 15


# Formulas over x and y whose pieces recur, so that an evaluation meets the same subexpression again.
leaves = st.sampled_from(["x", "y", "0", "2", "0.5"])
formulas = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.tuples(inner, st.sampled_from("+-*/^"), inner).map(lambda t: f"({t[0]}{t[1]}{t[2]})"),
        st.tuples(st.sampled_from(["sin", "sqrt", "log", "abs", "exp", "-"]), inner).map(lambda t: f"{t[0]}({t[1]})"),
    ),
    max_leaves=10,
)
finite_or_not = st.floats(allow_nan=True, allow_infinity=True)


def same_double(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


@settings(max_examples=400, deadline=None)
@given(a=formulas, b=formulas, joins=st.lists(st.sampled_from("+-*/^"), min_size=3, max_size=3),
       x=finite_or_not, y=finite_or_not)
def test_repeated_subexpressions_give_what_computing_each_occurrence_gives(a, b, joins, x, y):
    # a∘b twice, and b∘a, which is another subexpression unless the operation gives the same for both
    text = f"({a}{joins[0]}{b}){joins[1]}({b}{joins[0]}{a}){joins[2]}({a}{joins[0]}{b})"
    shared = exprkit.func(text)
    # Inside a caller's function the evaluation computes every occurrence where it stands.
    reference = exprkit.func()
    reference.add_func("keep", lambda v: v)
    reference.init(f"keep({text})")
    values = {"x": x, "y": y}
    expected = reference.eval(values)
    # The first evaluation runs the program as flattened, the second the one that computes repeats once.
    assert same_double(shared.eval(values), expected)
    assert same_double(shared.eval(values), expected)


class ViaDispatcher(exprkit.func):
    """Calls on a subclass instance never take eval's direct path, only pybind11's dispatcher."""


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def outcome(call):
    try:
        return ("result", repr(call()))  # repr, so that NaN equals NaN
    except Exception as error:  # the comparison is the point: any exception, compared by type and text
        return (type(error), re.sub(r"<[\w.]+ object at 0x[0-9a-f]+>", "<func>", str(error)))


try:
    import numpy
    numpy_values = st.one_of(st.floats(width=32).map(numpy.float32), st.integers(-(2**63), 2**63 - 1).map(numpy.int64),
                             st.booleans().map(numpy.bool_), st.floats().map(numpy.float64),
                             st.floats(width=16).map(numpy.float16), st.integers(0, 2**64 - 1).map(numpy.uint64),
                             st.sampled_from([numpy.int8(-128), numpy.uint8(255), numpy.int16(-3), numpy.uint16(7),
                                              numpy.int32(-2**31), numpy.uint32(2**32 - 1), numpy.longdouble(0.1),
                                              numpy.complex128(1), numpy.float16("nan"), numpy.float16(-6e-8)]))
except ImportError:
    numpy_values = st.nothing()
value_objects = st.one_of(doubles, st.none(), st.text(max_size=2), st.integers(-(10**400), 10**400), numpy_values,
                          doubles.map(Floaty), st.floats().map(lambda v: type("F", (float,), {})(v)))
keys = st.one_of(st.sampled_from(["x", "y", "z", "xy"]), st.sampled_from([b"x", b"y"]), st.integers(0, 2),
                 st.sampled_from(list("abcdefghijklmnopqrstu")), st.sampled_from(["é", "y\ud800", type("Name", (str,), {})("x")]))
MANY = "+".join("abcdefghijklmnopqrstu")


def laid_out(values, layout):
    """The same entries after a removed one, or as an object's attributes (str keys only: a split table)."""
    if layout == "after a removed entry":
        values = {"removed": 0, **values}
        del values["removed"]
    elif layout == "attributes" and all(type(key) is str for key in values):
        holder = type("Holder", (), {})()
        for key, value in values.items():
            setattr(holder, key, value)
        values = vars(holder)
    return values


def stored_values(f):
    return {name: repr(value) for name, value in f.vars().items()}  # repr, so that NaN equals NaN


def made(cls, *args, **kwargs):
    f = cls(*args, **kwargs)
    return f.valid(), stored_values(f), outcome(f.eval)


# Construction from a str on func itself takes a direct path too; whatever the text, it must give what
# pybind11's constructor gives, and so must every other form of the call, which goes to the constructor.
@settings(max_examples=300, deadline=None)
@given(text=st.one_of(st.text(alphabet="xy2.+-*/^() \ud800", max_size=8), st.binary(max_size=4)))
@example(text="")
@example(text="x2")
def test_direct_construction_agrees_with_the_dispatcher(text):
    assert outcome(lambda: made(exprkit.func, text)) == outcome(lambda: made(ViaDispatcher, text))


@pytest.mark.parametrize("args, kwargs", [((), {}), ((None,), {}), ((3,), {}), (("x", "y"), {}), ((), {"text": "x"}),
                                          ((bytearray(b"x+1"),), {})])
def test_every_form_of_construction_agrees_with_the_dispatcher(args, kwargs):
    assert outcome(lambda: made(exprkit.func, *args, **kwargs)) == outcome(lambda: made(ViaDispatcher, *args, **kwargs))
    f = exprkit.func("x")
    f.__init__("y+1")  # a second __init__ changes nothing, as the constructor makes it
    assert f.vars() == {"x": 0.0}


@settings(max_examples=400, deadline=None)
@given(text=st.sampled_from(["x", "x*y", "3x^2+sin(y)/2", "x+x*x-y/y", "2^10", "z(x)", "b+a*c", MANY]),
       values=st.builds(laid_out, st.dictionaries(keys, value_objects, max_size=24),
                        st.sampled_from(["as made", "after a removed entry", "attributes"])))
@example(text="x", values={"x": math.nan})
@example(text=MANY, values={name: float(i) for i, name in enumerate("abcdefghijklmnopqrstu")})
@example(text=MANY, values={name: float(i) for i, name in enumerate("abcdefghijklmnoqrstu")})
@example(text=MANY, values={**{name: float(i) for i, name in enumerate("abcdefghijklmnopqrst")}, "u": Floaty(2.0)})
@example(text="x*y", values={"x": -0.0, "y": Floaty(math.nan)})
def test_direct_eval_agrees_with_the_dispatcher(text, values):
    direct, general = exprkit.func(), ViaDispatcher()
    for f in (direct, general):
        f.add_func("z", lambda v: v * 2)
        f.init(text)
    assert outcome(lambda: direct.eval(values)) == outcome(lambda: general.eval(values))
    assert stored_values(direct) == stored_values(general)


@pytest.mark.parametrize("byte", range(256))
def test_every_single_byte_alone_and_inside_a_formula(byte):
    for text in (bytes([byte]), b"x+" + bytes([byte]) + b"1", b"sin(" + bytes([byte]) + b")"):
        try:
            f = exprkit.func(text)
        except ValueError:
            continue
        result = f.eval({name: 2.0 for name in f.vars()})
        assert isinstance(result, float)


@pytest.mark.parametrize("text, expected", [
    ("x+" * 999_999 + "x", 1_000_000.0),
    ("(" * 1_000_000 + "x" + ")" * 1_000_000, 1.0),
    ("abs(" * 1_000_000 + "-x" + ")" * 1_000_000, 1.0),
    ("x^" * 999_999 + "x", 1.0),
    ("1" * 10_000, float("1" * 10_000)),
])
def test_extreme_texts(text, expected):
    f = exprkit.func(text)
    assert f.eval({"x": 1}) == expected


# Terms with what each computes, and how long texts join them. A long text is parsed in pieces cut
# between its terms; the result must be that of joining every term from the left, bit for bit.
TERMS = {
    "3x^2": lambda x, y: 3 * x ** 2,
    "sin(y)/2": lambda x, y: math.sin(y) / 2,
    "-x^2": lambda x, y: (-x) ** 2,  # unary minus binds tighter than "^"
    "2^-y": lambda x, y: 2 ** -y,
    "x/y*2": lambda x, y: x / (y * 2),  # "*" binds tighter than "/"
    "(x-y)": lambda x, y: x - y,
    "abs(-x)": lambda x, y: abs(-x),
    "2(x+1)": lambda x, y: 2 * (x + 1),
}


@pytest.mark.parametrize("count", [5_000, 40_000])
@pytest.mark.parametrize("joins", ["+", "-", "+--"])
def test_long_sums_and_differences_join_their_terms_from_the_left(count, joins):
    names = list(TERMS)
    text = names[0]
    x, y = 1.25, -0.75
    expected = TERMS[names[0]](x, y)
    for i in range(1, count):
        term, join = names[i % len(names)], joins[i % len(joins)]
        text += join + term
        expected = expected + TERMS[term](x, y) if join == "+" else expected - TERMS[term](x, y)
    f = exprkit.func(text)
    assert f.vars() == {"x": 0.0, "y": 0.0}
    assert f.eval({"x": x, "y": y}) == expected


LONG_SUM = "+".join(["3x^2-sin(y)/2"] * 20_000)


@pytest.mark.parametrize("before, after, message", [
    ("", "+", "Expected argument(s) to binary operator '+'"),
    ("", "+*x", "Expected argument(s) to binary operator '+'"),  # x*x is built, then "+" lacks an operand
    ("", "+foo(x)", "Unknown function encountered: foo"),
    ("", "+z)+(y", "Expected '('"),
    ("", "-sin()", "Expected argument(s) to binary operator '-'"),
    ("sin()+", "", "Expected argument to unary operator 'sin'"),
    ("foo(x)-", "", "Unknown function encountered: foo"),
])
def test_an_error_at_either_end_of_a_long_text_is_reported_as_in_a_short_one(before, after, message):
    for middle in ("x", LONG_SUM):
        f = exprkit.func("a")
        with pytest.raises(ValueError) as caught:
            f.init(before + middle + after)
        assert str(caught.value) == message
        assert "x" in f.vars() and set(f.vars()) <= {"x", "y", "z"}  # the whole text's names, collected


def test_an_unbalanced_long_text_writes_its_count_as_a_short_one_does(capfd):
    long_text = "+".join(["x"] * 40_000)
    for text in ("(x)(y)", long_text + "+(x)(y)", "(x)(y)+" + long_text):
        with pytest.raises(ValueError, match=r"^Unbalanced equation$"):
            exprkit.func(text)
        assert capfd.readouterr().out == "2"


def test_ten_million_byte_text():
    assert exprkit.func("1+" * 4_999_999 + "1").eval() == 5_000_000.0


@pytest.mark.parametrize("values", [{}, {f"v{i}": float(i) for i in range(100_000)}])
def test_value_dicts_that_name_no_variable(values):
    assert exprkit.func("2^10").eval(values) == 1024.0


def resident_bytes() -> int:
    with open(f"/proc/{os.getpid()}/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_long_create_use_destroy_cycles_leak_neither_references_nor_memory():
    def twice(x):
        return 2 * x

    def fail(x):
        raise CallableFailure

    class Owner:  # its func holds a bound method of the owner: a reference cycle for the collector
        def __init__(self):
            self.f = exprkit.func()
            self.f.add_func("k", self.k)
            self.f.init("k(x)")

        def k(self, x):
            return x

    def cycle():
        f = exprkit.func()
        f.add_func("twice", twice)
        f.add_func("fail", fail)
        f.init("twice(x)+sin(y)")
        assert f.eval({"x": 1, "y": 0}) == 2.0
        assert len(f.avail_funcs()) == 17
        with pytest.raises(ValueError):
            f.init("twice(")
        f.init("fail(x)")
        with pytest.raises(CallableFailure):
            f.eval({"x": 1})
        assert Owner().f.eval({"x": 3}) == 3.0

    start_refs = (sys.getrefcount(twice), sys.getrefcount(fail))
    for _ in range(10_000):  # warm up allocator pools before measuring
        cycle()
    gc.collect()
    start_rss = resident_bytes()
    for _ in range(100_000):
        cycle()
    gc.collect()
    growth = resident_bytes() - start_rss
    assert (sys.getrefcount(twice), sys.getrefcount(fail)) == start_refs
    assert growth < 8 * 1024 * 1024, f"resident memory grew by {growth} bytes"


# Every direct path and its errors, many times over: no reference that a call takes or gives may be dropped
# or kept. Each call gets the same objects: None, True, False, a text made at run time, a dict, its keys and
# values; each returns a result no one else holds.
REFERENCE_CALLS = {
    "construction": lambda f, text, values: exprkit.func(text),
    "construction, error": lambda f, text, values: exprkit.func(text + "+"),
    "eval, dict": lambda f, text, values: f.eval(values),
    "eval, dict through the dispatcher": lambda f, text, values: f.eval({**values, b"z": Floaty(1.0)}),
    "eval, missing variable": lambda f, text, values: f.eval({"x": values["x"]}),
    "eval()": lambda f, text, values: exprkit.func("2*3").eval(),
    "eval(), error": lambda f, text, values: f.eval(),
    "init": lambda f, text, values: f.init(text),
    "init, error": lambda f, text, values: f.init(text + "("),
    "valid": lambda f, text, values: f.valid(),
    "vars": lambda f, text, values: f.vars(),
    "eval, wrong arguments": lambda f, text, values: f.eval(values, values),
}


@pytest.mark.parametrize("call", list(REFERENCE_CALLS))
def test_no_reference_is_dropped_or_kept(call):
    text = "".join(["x*y", "+true"])
    values = {"x": 1.5, "y": 2, "true": True, "false": False, "none": 0.0}
    f = exprkit.func(text)
    watched = [None, True, False, text, values, *values, *values.values()]

    def run(count):  # the counts, and whether the last result is held by no one else
        for _ in range(count):
            try:
                result = REFERENCE_CALLS[call](f, text, values)
            except (ValueError, IndexError, TypeError):
                result = None
        return [sys.getrefcount(item) for item in watched], sys.getrefcount(result) == 2 or result in (None, True)

    before = run(100)[0]  # the first round warms the interpreter's caches up
    assert run(2_000) == (before, True)
