"""The module's behaviour at the Python boundary: conversions, results, errors and callables."""
import ctypes
import gc
import math
import sys
import types
import weakref

import pytest

import exprkit

MISSING_KEY = "invalid unordered_map<K, T> key"
UNSPECIFIED = "Unspecified variable value: " + MISSING_KEY


class FloatLike:
    def __float__(self) -> float:
        return 2.5


class IndexLike:
    def __index__(self) -> int:
        return 7


class MyFloat(float):
    pass


class MyDict(dict):
    pass


# --- construction and text conversion -------------------------------------------------------------

@pytest.mark.parametrize("text", ["3x^2+1", b"3x^2+1", bytearray(b"3x^2+1")])
def test_text_may_be_str_bytes_or_bytearray(text):
    f = exprkit.func(text)
    assert f.valid() is True
    assert f.eval({"x": 2}) == 13.0


@pytest.mark.parametrize("text", [None, 3, 2.5, ["x"], "\ud800"])
def test_constructing_from_a_non_text_raises_type_error(text):
    with pytest.raises(TypeError):
        exprkit.func(text)


@pytest.mark.parametrize("text, message", [
    ("", "Cannot initialize empty expression"),
    ("(x", "Mismatched parentheses"),
    (")x(", "Expected '('"),
    ("x y", "Invalid charater detected:  "),
    ("x%y", "Invalid Character detected"),
    ("x\0y", "Invalid Character detected"),
    (b"x\xffy", "Invalid Character detected"),
    ("2+", "Expected argument(s) to binary operator '+'"),
    ("-", "Expected argument(s) to binary operator '-'"),
    ("sin()", "Expected argument to unary operator 'sin'"),
    ("foo(2)", "Unknown function encountered: foo"),
])
def test_parse_errors_raise_value_error_with_the_engine_message(text, message):
    with pytest.raises(ValueError) as caught:
        exprkit.func(text)
    assert str(caught.value) == message


@pytest.mark.parametrize("text", ["x2", "(1)(2)"])
def test_unbalanced_equation_writes_the_count_to_standard_output_first(text, capfd):
    with pytest.raises(ValueError, match=r"^Unbalanced equation$"):
        exprkit.func(text)
    assert capfd.readouterr().out == "2"


def test_default_object_is_the_constant_zero():
    f = exprkit.func()
    assert f.valid() is True
    assert f.eval() == 0.0
    assert f.vars() == {}
    assert "sqrt" in f.avail_funcs()


def test_init_twice_returns_none_and_changes_nothing():
    f = exprkit.func("x+1")
    assert f.__init__("2*3") is None
    assert f.__init__() is None
    assert f.vars() == {"x": 0.0}
    assert f.eval({"x": 1}) == 2.0


def test_failed_init_keeps_the_old_tree():
    f = exprkit.func("2*3")
    with pytest.raises(ValueError, match=r"^Mismatched parentheses$"):
        f.init("(x")
    assert f.valid() and f.eval() == 6.0
    with pytest.raises(ValueError):
        f.init("x+")
    assert f.eval() == 6.0
    assert f.vars() == {"x": 0.0}


def test_attributes_cannot_be_added():
    with pytest.raises(AttributeError):
        exprkit.func().extra = 1


def test_the_class_can_be_subclassed():
    class Sub(exprkit.func):
        pass

    assert Sub("2^10").eval() == 1024.0


# --- evaluation and value conversion ---------------------------------------------------------------

@pytest.mark.parametrize("x, y, expected", [
    (2, 3, 6.0),
    (2.0, 3.0, 6.0),
    (True, 3, 3.0),
    (FloatLike(), 2, 5.0),
    (IndexLike(), 1, 7.0),
    (MyFloat(1.5), 2, 3.0),
])
def test_values_convert_from_anything_float_like(x, y, expected):
    f = exprkit.func("x*y")
    result = f.eval({"x": x, "y": y})
    assert type(result) is float and result == expected
    assert f.vars() == {"x": float(x), "y": float(y)}


def test_values_may_come_in_a_dict_subclass_and_extra_keys_are_ignored():
    f = exprkit.func("x")
    assert f.eval(MyDict(x=1, z=5)) == 1.0
    assert f.vars() == {"x": 1.0}


def test_bytes_keys_name_variables_and_the_first_equal_key_wins():
    f = exprkit.func("x")
    assert f.eval({b"x": 3}) == 3.0
    assert f.eval({"x": 1, b"x": 2}) == 1.0


class FloatWithOwnConversion(float):
    def __float__(self) -> float:
        return 99.0


def test_float_subclass_values_are_taken_as_their_float_value():
    assert exprkit.func("x").eval({"x": FloatWithOwnConversion(1.5)}) == 1.5


def test_conversion_hooks_of_a_value_run_once():
    calls = []

    class Counting:
        def __float__(self) -> float:
            calls.append(1)
            return 2.0

    assert exprkit.func("x*y").eval({"x": 3, "y": Counting()}) == 6.0
    assert len(calls) == 1


@pytest.mark.parametrize("count", [3, 8, 9, 40])
def test_many_variables_each_take_their_own_value(count):
    names = ["v" + "abcdefghij"[i % 10] * (i // 10 + 1) for i in range(count)]
    f = exprkit.func("+".join(f"{i + 1}{name}" for i, name in enumerate(names)))
    values = {name: float(i) for i, name in enumerate(names)}
    assert f.eval(values) == sum((i + 1) * i for i in range(count))
    assert f.vars() == values


@pytest.mark.parametrize("call", [
    lambda f: f.eval({"x": "1", "y": 2}),
    lambda f: f.eval([("x", 1), ("y", 2)]),
    lambda f: f.eval(types.MappingProxyType({"x": 1, "y": 2})),
    lambda f: f.eval(values={"x": 1, "y": 2}),
    lambda f: f.eval({"x": 1}, {"y": 2}),
    lambda f: f.eval({1: 1, "y": 2}),
    lambda f: f.eval({"x": 10**400, "y": 2}),
    lambda f: f.eval({"x": None, "y": 2}),
])
def test_rejected_arguments_raise_type_error_and_leave_the_object_untouched(call):
    f = exprkit.func("x*y")
    f.eval({"x": 4, "y": 5})
    with pytest.raises(TypeError):
        call(f)
    assert f.vars() == {"x": 4.0, "y": 5.0}


class SubFunc(exprkit.func):
    pass


# The usual call is taken on a shorter path than every other form; all forms must agree, in results,
# in the values kept and in the errors raised.
CALL_FORMS = [
    pytest.param(lambda f, values: f.eval(values), exprkit.func, id="method"),
    pytest.param(lambda f, values: exprkit.func.eval(f, values), exprkit.func, id="unbound"),
    pytest.param(lambda f, values: f.eval(*[values], **{}), exprkit.func, id="star-args"),
    pytest.param(lambda f, values: f.eval(values), SubFunc, id="subclass"),
]


@pytest.mark.parametrize("call, cls", CALL_FORMS)
@pytest.mark.parametrize("values, expected, kept", [
    ({"x": 2.0, "y": 1.0}, 12.0 + math.sin(1.0) / 2, {"x": 2.0, "y": 1.0}),
    ({"x": 2, "y": True, "z": 7}, 12.0 + math.sin(1.0) / 2, {"x": 2.0, "y": 1.0}),
    ({"x": FloatLike(), b"y": IndexLike()}, 3 * 2.5 ** 2 + math.sin(7.0) / 2, {"x": 2.5, "y": 7.0}),
])
def test_every_call_form_evaluates_alike(call, cls, values, expected, kept):
    f = cls("3x^2+sin(y)/2")
    assert call(f, values) == expected
    assert f.vars() == kept


@pytest.mark.parametrize("call, cls", CALL_FORMS)
def test_every_call_form_raises_alike(call, cls, blank):
    f = cls("x*y")
    with pytest.raises(ValueError, match="^" + UNSPECIFIED + "$"):
        call(f, {"x": 1})
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(f, {"x": "1", "y": 2})
    g = cls()
    g.add_func("boom", lambda v: {}[v])
    g.init("boom(x)")
    with pytest.raises(KeyError):
        call(g, {"x": 1.0})


@pytest.mark.parametrize("type_name, values", [
    ("float64", [1.5, -0.0, math.nan]), ("float32", [0.1, math.inf, 1e-45]),
    ("int64", [2**63 - 1, -2**63, 2**53 + 1]), ("bool_", [True, False]), ("float16", [65504, -6e-8, math.nan]),
    ("int8", [-128, 127]), ("int16", [-2**15]), ("int32", [-2**31]), ("uint8", [255]), ("uint16", [2**16 - 1]),
    ("uint32", [2**32 - 1]), ("uint64", [2**64 - 1, 2**53 + 1]),
])
def test_numpy_scalars_convert_as_their_own_float_gives_them(type_name, values):
    impostor = type("numpy." + type_name, (), {"__float__": lambda self: 99.0})  # a Python class may take any name
    assert exprkit.func("x").eval({"x": impostor()}) == 99.0
    numpy = pytest.importorskip("numpy")
    for value in map(getattr(numpy, type_name), values):
        for f in (exprkit.func("x"), SubFunc("x")):
            # y's type is met first, x's is then the one met last
            assert repr(f.eval({"y": value, "x": value, "z": numpy.int64(1)})) == repr(float(value))


@pytest.mark.parametrize("text, call, held_by_the_dispatcher", [
    ("see(x)+y", lambda f, values: f.eval(values), (1, 1)),
    ("see(1)", lambda f, values: f.eval(), (1, 0)),
])
def test_eval_on_a_func_takes_the_direct_path(text, call, held_by_the_dispatcher):
    # pybind11's dispatcher gets the instance and the dict in an argument tuple, which holds a reference
    # to each while the evaluation runs; the direct path takes them from the caller as they are.
    def references_seen_inside(cls):
        f, values, seen = cls(), {"x": 1.0, **{f"c{i}": float(i) for i in range(100)}, "y": 2}, []
        f.add_func("see", lambda v: seen.append((sys.getrefcount(f), sys.getrefcount(values))) or v)
        f.init(text)
        call(f, values)
        return seen[0]

    direct, general = references_seen_inside(exprkit.func), references_seen_inside(SubFunc)
    assert (general[0] - direct[0], general[1] - direct[1]) == held_by_the_dispatcher


@pytest.mark.parametrize("call", [
    lambda f, values: f.eval(values),
    lambda f, values: exprkit.func.eval(f, values),
    lambda f, values: f.eval({"x": FloatLike(), "y": 2}),
    lambda f, values: f.eval(values=values),
    lambda f, values: f.eval(values, values),
    lambda f, values: exprkit.func.eval(None, values),
])
def test_eval_calls_leave_reference_counts_as_they_were(call):
    f = exprkit.func("x*y")
    values = {"x": 1.0, "y": 2}
    start = (sys.getrefcount(f), sys.getrefcount(values))
    for _ in range(1000):
        try:
            call(f, values)
        except TypeError:
            pass
    assert (sys.getrefcount(f), sys.getrefcount(values)) == start


@pytest.mark.parametrize("self", [None, 5, {"x": 1}])
@pytest.mark.parametrize("method, args", [
    ("eval", ({"x": 1.0},)), ("eval", ()), ("init", ("x",)), ("valid", ()), ("vars", ()),
    ("add_func", ("g", abs)), ("avail_funcs", ()),
])
def test_methods_called_on_something_that_is_not_a_func_raise_type_error(self, method, args):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(exprkit.func, method)(self, *args)


@pytest.mark.parametrize("call", [
    lambda f: f.init("x"),
    lambda f: f.valid(),
    lambda f: f.eval({"x": 1.0}),
    lambda f: f.eval({"x": 1}),
    lambda f: f.eval(),
    lambda f: f.vars(),
    lambda f: f.add_func("g", abs),
    lambda f: f.avail_funcs(),
])
def test_methods_of_an_instance_never_initialised_raise_type_error(call):
    # func.__new__ makes an instance without an engine object behind it
    f = exprkit.func.__new__(exprkit.func)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(f)
    f.__init__("x+1")
    assert f.eval({"x": 1}) == 2.0


def test_missing_variable_is_reported_without_its_name():
    f = exprkit.func("x*y")
    with pytest.raises(ValueError) as caught:
        f.eval({"x": 2})
    assert str(caught.value) == UNSPECIFIED


def test_eval_without_values_fails_on_any_variable():
    assert exprkit.func("2*3").eval() == 6.0
    f = exprkit.func("x")
    f.eval({"x": 1})
    with pytest.raises(IndexError) as caught:
        f.eval()
    assert str(caught.value) == MISSING_KEY


@pytest.mark.parametrize("text, expected", [
    ("8/2*4", 1.0), ("-2^2", 4.0), ("2^3^2", 512.0), ("1/0", math.inf), ("-x", -0.0),
    ("2-x", 2.0), ("x-2", -2.0), ("2/x", math.inf), ("x/2", 0.0), ("2^x", 1.0), ("x^2", 0.0),
])
def test_results_are_exact_floats(text, expected):
    result = exprkit.func(text).eval({"x": 0.0})
    assert result == expected and math.copysign(1, result) == math.copysign(1, expected)


def test_nan_results_raise_nothing():
    assert math.isnan(exprkit.func("0/0").eval())


def test_vars_and_avail_funcs_return_new_dicts():
    f = exprkit.func("x")
    first, second = f.vars(), f.vars()
    assert first == second and first is not second
    first["x"] = 99.0
    first["y"] = 1.0
    assert f.vars() == {"x": 0.0}
    funcs = f.avail_funcs()
    assert funcs is not f.avail_funcs()
    funcs.clear()
    assert len(f.avail_funcs()) == 15


# --- registered callables ---------------------------------------------------------------------------

def test_callable_is_called_once_with_a_float_and_int_results_become_floats(blank):
    seen = []

    def g(x):
        seen.append(x)
        return 3

    blank.add_func("g", g)
    blank.init("g(2)")
    result = blank.eval()
    assert type(result) is float and result == 3.0
    assert seen == [2.0] and type(seen[0]) is float


@pytest.mark.parametrize("returned", [None, "3", [1]])
def test_result_that_does_not_convert_raises_runtime_error(blank, returned):
    blank.add_func("g", lambda x: returned)
    blank.init("g(1)")
    with pytest.raises(RuntimeError, match=r"^Unable to cast Python instance of type "):
        blank.eval()


def test_the_very_exception_object_reaches_the_caller(blank):
    error = KeyError("mine")

    def g(x):
        raise error

    blank.add_func("g", g)
    blank.init("g(1)")
    with pytest.raises(KeyError) as caught:
        blank.eval()
    assert caught.value is error


def test_right_operand_is_called_first_and_its_error_wins(blank):
    calls = []

    def f(x):
        calls.append("f")
        raise ValueError("f")

    def g(x):
        calls.append("g")
        raise LookupError("g")

    blank.add_func("f", f)
    blank.add_func("g", g)
    blank.init("f(1)+g(2)")
    with pytest.raises(LookupError):
        blank.eval()
    assert calls == ["g"]


def test_none_registration_is_listed_and_fails_when_called(blank):
    blank.add_func("nothing", None)
    assert blank.avail_funcs()["nothing"] is None
    blank.init("nothing(1)")
    with pytest.raises(RuntimeError):
        blank.eval()


@pytest.mark.parametrize("name, function", [("f", 3), ("f", "abs"), (None, abs), (5, abs)])
def test_non_callables_and_non_text_names_raise_type_error(blank, name, function):
    with pytest.raises(TypeError):
        blank.add_func(name, function)
    assert len(blank.avail_funcs()) == 15


def test_listed_builtins_convert_their_argument_and_outlive_the_object():
    f = exprkit.func()
    sqrt = f.avail_funcs()["sqrt"]
    del f
    gc.collect()
    assert sqrt(4) == 2.0 and sqrt(4.0) == 2.0
    with pytest.raises(TypeError):
        sqrt("4")


def test_listed_python_callable_is_a_new_object_returning_floats(blank):
    def triple(x):
        return int(3 * x)

    blank.add_func("triple", triple)
    listed = blank.avail_funcs()["triple"]
    assert listed is not triple
    assert listed(2) == 6.0 and type(listed(2)) is float


def test_invalid_utf8_name_makes_avail_funcs_raise(blank):
    blank.add_func(b"\xff", abs)
    with pytest.raises(UnicodeDecodeError):
        blank.avail_funcs()


def test_functions_reach_only_later_parses():
    f = exprkit.func("sin(0)")
    f.add_func("sin", lambda x: 7.0)
    assert f.eval() == 0.0
    f.init("sin(0)")
    assert f.eval() == 7.0


def test_reference_counts_return_to_their_start():
    def g(x):
        return x

    start = sys.getrefcount(g)
    f = exprkit.func()
    f.add_func("g", g)
    f.init("g(1)+g(2)")
    listed = f.avail_funcs()["g"]
    assert sys.getrefcount(g) > start
    assert f.eval() == 3.0
    del f
    gc.collect()
    assert listed(5) == 5.0
    del listed
    gc.collect()
    assert sys.getrefcount(g) == start


# --- garbage collection ---------------------------------------------------------------------------

class Owner:
    """Gives its func a bound method of its own: the func holds the method, which holds the owner."""

    def __init__(self, cls, text):
        self.f = cls()
        self.f.add_func("k", self.k)
        if text:
            self.f.init(text)

    def k(self, v):
        return v


@pytest.mark.parametrize("cls", [exprkit.func, SubFunc])
@pytest.mark.parametrize("text", [None, "k(x)+k(1)"])  # in the function table only, and in a tree too
def test_a_callable_that_refers_back_to_its_func_is_collected(cls, text):
    owners = [Owner(cls, text) for _ in range(3)]
    assert owners[0].f.eval({"x": 2}) == (0.0 if text is None else 3.0)
    gone = [weakref.ref(owner) for owner in owners]
    del owners
    gc.collect()
    assert [ref() for ref in gone] == [None] * 3


def test_the_collector_is_shown_each_reference_an_object_holds(blank):
    def k(v):
        return v

    def shown_and_held():
        return sum(referent is k for referent in gc.get_referents(blank)), sys.getrefcount(k) - unheld

    unheld = sys.getrefcount(k)
    counts = []

    def replace(v):
        blank.init("k(3)")  # the tree that calls replace is its evaluation's now, kept until it ends
        counts.append(shown_and_held())
        return v

    blank.add_func("k", k)
    blank.add_func("r", replace)
    blank.init("r(k(x)+k(1))")
    counts.append(shown_and_held())
    blank.eval({"x": 1})
    counts.append(shown_and_held())
    before, inside, after = counts
    assert before[0] == before[1] > 0 and after[0] == after[1] > 0
    # The collector must never be shown more than the object holds, or it would free what is in use.
    assert 0 < inside[0] < inside[1] and inside[1] > after[1]


class TypeObjectHead(ctypes.Structure):
    """The start of a type object, as far as the slot the collector calls to break a cycle."""
    _fields_ = [("before_flags", ctypes.c_void_p * 21), ("tp_flags", ctypes.c_ulong), ("tp_doc", ctypes.c_void_p),
                ("tp_traverse", ctypes.c_void_p), ("tp_clear", ctypes.c_void_p)]


def test_a_function_whose_callable_the_collector_took_raises_and_the_object_goes_on(blank):
    head = TypeObjectHead.from_address(id(exprkit.func))
    assert head.tp_flags == exprkit.func.__flags__
    blank.add_func("k", lambda v: v)
    blank.init("k(x)")
    listed = blank.avail_funcs()["k"]  # holds a reference of its own, which stays
    ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)(head.tp_clear)(blank)
    assert gc.get_referents(blank) == [exprkit.func]
    for call in (lambda: blank.eval({"x": 1}), lambda: blank.avail_funcs()["k"](1)):
        with pytest.raises(ReferenceError):
            call()
    assert listed(2) == 2.0
    blank.add_func("k", abs)
    blank.init("k(x)")
    assert blank.eval({"x": -3}) == 3.0


# --- re-entrant calls from inside an evaluation -----------------------------------------------------

def test_callable_may_reparse_the_object_being_evaluated(blank):
    def reparse(x):
        blank.init("2+2")
        return x

    blank.add_func("f", reparse)
    blank.init("1+f(5)")
    assert blank.eval() == 6.0
    assert blank.eval() == 4.0


def test_callable_may_evaluate_and_extend_the_object_being_evaluated(blank):
    depth = []

    def nested(x):
        depth.append(x)
        blank.add_func("h", lambda y: y + 1)
        if len(depth) < 3:
            return x + blank.eval()
        return x

    blank.add_func("f", nested)
    blank.init("1+f(1)")
    assert blank.eval() == 6.0
    blank.init("h(1)")
    assert blank.eval() == 2.0


def test_values_stored_by_a_nested_eval_reach_the_rest_of_the_evaluation(blank):
    inside = []

    def store_ten(v):
        if not inside:
            inside.append(None)
            inside.append(blank.eval({"x": 10}))  # stores x = 10 in the object
        return v

    blank.add_func("store", store_ten)
    blank.init("x*x+store(0)+x")
    # Right operands first: the last x reads 1, store() runs, then x*x reads the stored 10.
    assert blank.eval({"x": 1}) == 100 + 0 + 1
    assert inside == [None, 110.0]
    assert blank.vars() == {"x": 10.0}


# --- the extension module itself --------------------------------------------------------------------

def test_module_file_carries_the_interpreter_suffix_and_exports_only_its_entry():
    import shutil
    import subprocess
    import sysconfig

    assert exprkit.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(["nm", "-D", "--defined-only", exprkit.__file__],
                             capture_output=True, text=True, check=True).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert exported == ["PyInit_exprkit"]


def test_module_defines_only_the_class():
    public = [name for name in vars(exprkit) if not name.startswith("__")]
    assert public == ["func"]
    methods = [name for name in vars(exprkit.func) if not name.startswith("__") and not name.startswith("_pybind11")]
    assert sorted(methods) == ["add_func", "avail_funcs", "eval", "init", "valid", "vars"]


def test_a_value_whose_conversion_removes_its_own_key_is_read_safely():
    values = {}

    class Emptying:
        def __float__(self) -> float:
            values.clear()  # drops the only reference to the key
            gc.collect()
            return 5.0

    long_name = "".join(["x"] * 40)  # built at run time, so that only the dict will hold it
    f = exprkit.func(long_name)
    values[long_name] = Emptying()
    del long_name
    assert f.eval(values) == 5.0
    assert list(f.vars().values()) == [5.0]
