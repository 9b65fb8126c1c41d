"""exprkit side by side with CPython and the libraries a Python user would pick instead.

    pip install . -r bench/requirements.txt
    python bench/compare.py [--repeats 7] [--json out.json] [--chart docs/performance.png]

All contenders run in one process, interleaved, each in its fastest documented compile-once,
evaluate-many form; every figure is the minimum over the repeats, in nanoseconds per call, with its
ratio to exprkit. A peer that is not installed is reported as missing. The memory figures are read from
/proc, each in an interpreter of its own.
"""
from __future__ import annotations

import argparse
import gc
import importlib
import json
import math
import os
import platform
import subprocess
import sys
import sysconfig
import tempfile
import time
from typing import Callable

import exprkit

SHORT = "3x^2+sin(y)/2"
SHORT_PY = "3*x**2+sin(y)/2"
SHORT_CONSTANT = "3*2^2+sin(1)/2"  # the formula with the values written in
SHORT_CONSTANT_PY = "3*2**2+sin(1)/2"
FLOATS = {"x": 2.0, "y": 1.0}
INTS = {"x": 2, "y": 1}
# A row of a table as a dict, as a CSV reader hands it out: the formula's two columns and other columns
# that it does not read, all floats; eval's cost for each of these sizes, next to CPython's.
ENTRIES = (2, 16, 17, 20, 100, 1000)
# What an entry costs by the type of its value: dicts of 1000 entries, every value of that type.
VALUE_TYPES = ("float", "int", "bool", "numpy.float64", "numpy.float32", "numpy.float16", "numpy.int8", "numpy.int16",
               "numpy.int32", "numpy.int64", "numpy.uint8", "numpy.uint16", "numpy.uint32", "numpy.uint64", "numpy.bool_")


def long_formula(terms: int, python: bool = False) -> str:
    term = SHORT_PY if python else SHORT
    return "+".join([term] * terms)


# Terms for a long formula in which no two terms are alike: each template takes its own constants, a
# variable and a function, written for exprkit and for Python. No template uses "/" before "*" or a
# minus before "^", where the two languages bind differently.
DISTINCT_TEMPLATES = (
    ("{a}*sin({v}+{b})", "{a}*sin({v}+{b})"),
    ("{a}{v}^2", "{a}*{v}**2"),
    ("cos({v}*{a})/{b}", "cos({v}*{a})/{b}"),
    ("sqrt(abs({v}-{a}))", "sqrt(abs({v}-{a}))"),
    ("exp({v}/{b})", "exp({v}/{b})"),
    ("ln({a}+{v}*{v})", "log({a}+{v}*{v})"),
)
DISTINCT_NAMES = ("x", "y", "z", "u", "v", "w")
DISTINCT_VALUES = {name: 0.5 + i / 7 for i, name in enumerate(DISTINCT_NAMES)}
DISTINCT_SCOPE = {"sin": math.sin, "cos": math.cos, "sqrt": math.sqrt, "abs": abs, "exp": math.exp, "log": math.log}


def row(entries: int, value_type: str = "float") -> dict:
    """The formula's x and y, then columns it does not read, each value of `value_type`."""
    if value_type.startswith("numpy."):
        import numpy

        convert = getattr(numpy, value_type.split(".")[1])
    else:
        convert = {"float": float, "int": int, "bool": bool}[value_type]
    columns = [(f"col{i}", 0.5 + i % 100) for i in range(entries - 2)]  # within the range of an int8
    return {name: convert(value) for name, value in [("x", 2.0), ("y", 1.0)] + columns}


def distinct_formula(terms: int, python: bool = False) -> str:
    """`terms` terms joined by "+" and "-", with different constants, variables and functions."""
    parts = []
    for i in range(terms):
        template = DISTINCT_TEMPLATES[i % len(DISTINCT_TEMPLATES)][1 if python else 0]
        term = template.format(a=f"{1 + i * 0.001:.3f}", b=f"{2 + (i * 7 % 1000) * 0.01:.2f}",
                               v=DISTINCT_NAMES[(i * 5 + i // 6) % len(DISTINCT_NAMES)])
        parts.append(("" if i == 0 else "-+"[i % 2]) + term)
    return "".join(parts)


def measure(call: Callable[[], object], budget_s: float = 0.05) -> float:
    """Nanoseconds per call: a loop sized to fill about `budget_s`."""
    call()
    loops = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(loops):
            call()
        elapsed = time.perf_counter_ns() - start
        if elapsed > budget_s * 1e9 or loops >= 1 << 24:
            return elapsed / loops
        loops *= 2 if elapsed > budget_s * 1e8 else 8


# ---- contenders: each builder returns a zero-argument callable, or raises when unavailable ----------

def exprkit_eval(text: str, values: dict) -> Callable[[], object]:
    f = exprkit.func(text)
    return lambda: f.eval(values)


class ViaDispatcher(exprkit.func):
    """Calls on a subclass's instance take pybind11's dispatcher, not eval's direct path."""


def exprkit_dispatcher_eval(text: str, values: dict) -> Callable[[], object]:
    f = ViaDispatcher(text)
    return (lambda: f.eval(values)) if values else (lambda: f.eval())


def numpy_scalars() -> dict:
    import numpy

    return {name: getattr(numpy, type_name)(value) for (name, type_name), value in zip(NUMPY_TYPES.items(), (2, 1, 1, 1))}


def cpython_eval(text: str, values: dict) -> Callable[[], object]:
    code = compile(text, "<formula>", "eval")
    scope = {**DISTINCT_SCOPE, "__builtins__": {}}
    return lambda: eval(code, scope, values)


def simpleeval_eval(text: str, values: dict) -> Callable[[], object]:
    from simpleeval import SimpleEval

    evaluator = SimpleEval(functions=DISTINCT_SCOPE, names=values)
    parsed = evaluator.parse(text)
    return lambda: evaluator.eval(text, previously_parsed=parsed)


def asteval_eval(text: str, values: dict) -> Callable[[], object]:
    from asteval import Interpreter

    interpreter = Interpreter(minimal=True)
    node = interpreter.parse(text)
    symbols = interpreter.symtable

    def run():
        symbols.update(values)
        return interpreter.run(node)

    return run


def py_expression_eval_eval(text: str, values: dict) -> Callable[[], object]:
    from py_expression_eval import Parser

    expression = Parser().parse(text.replace("**", "^"))
    return lambda: expression.evaluate(values)


def cexprtk_eval(text: str, values: dict) -> Callable[[], object]:
    import cexprtk

    table = cexprtk.Symbol_Table({name: 0.0 for name in values}, add_constants=False)
    expression = cexprtk.Expression(text.replace("**", "^"), table)
    variables = table.variables

    def run():
        for name, value in values.items():
            variables[name] = value
        return expression()

    return run


def numexpr_eval(text: str, values: dict) -> Callable[[], object]:
    import numexpr

    numexpr.set_num_threads(1)
    # evaluate() keeps compiled expressions in a cache of its own; re_evaluate() would only remember the
    # last one, which interleaved runs replace.
    return lambda: numexpr.evaluate(text, local_dict=values)


def sympy_eval(text: str, values: dict) -> Callable[[], object]:
    import sympy

    names = sorted(values)
    function = sympy.lambdify(sympy.symbols(names), sympy.sympify(text), "math")
    return lambda: function(**values)


EVAL_PEERS = {
    "simpleeval": simpleeval_eval,
    "asteval": asteval_eval,
    "py-expression-eval": py_expression_eval_eval,
    "cexprtk": cexprtk_eval,
    "numexpr": numexpr_eval,
    "sympy lambdify": sympy_eval,
}


def construction(name: str, text: str) -> Callable[[], object]:
    py_text = text.replace("^", "**").replace("3x", "3*x")
    if name == "exprkit":
        return lambda: exprkit.func(text)
    if name == "CPython compile()":
        return lambda: compile(py_text, "<formula>", "eval")
    if name == "simpleeval":
        from simpleeval import SimpleEval

        evaluator = SimpleEval(functions={"sin": math.sin})
        return lambda: evaluator.parse(py_text)
    if name == "asteval":
        from asteval import Interpreter

        interpreter = Interpreter(minimal=True)
        return lambda: interpreter.parse(py_text)
    if name == "py-expression-eval":
        from py_expression_eval import Parser

        parser = Parser()
        return lambda: parser.parse(text.replace("3x", "3*x"))
    if name == "cexprtk":
        import cexprtk

        table = cexprtk.Symbol_Table({"x": 0.0, "y": 0.0}, add_constants=False)
        return lambda: cexprtk.Expression(text.replace("3x", "3*x"), table)
    if name == "numexpr":
        import numexpr

        return lambda: numexpr.NumExpr(py_text, signature=[("x", float), ("y", float)])
    if name == "sympy lambdify":
        import sympy

        symbols = sympy.symbols("x y")
        return lambda: sympy.lambdify(symbols, sympy.sympify(py_text), "math")
    raise KeyError(name)


def build_floor() -> Callable[[], object] | None:
    """Compiles bench/floor_module.cpp against the installed pybind11 and returns (nothing, convert)."""
    try:
        import pybind11
    except ImportError:
        return None
    out_dir = tempfile.mkdtemp(prefix="exprkit-floor-")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor_module.cpp")
    command = ["c++", "-O3", "-shared", "-fPIC", "-std=c++17", "-fvisibility=hidden",
               f"-I{pybind11.get_include()}", f"-I{sysconfig.get_paths()['include']}",
               source, "-o", os.path.join(out_dir, "exprkit_floor" + suffix)]
    if subprocess.run(command, capture_output=True).returncode != 0:
        return None
    sys.path.insert(0, out_dir)
    module = importlib.import_module("exprkit_floor")
    return module.Floor(), pybind11.__version__


# Texts of growing length; the step from 10^5 to 10^6 terms, both well beyond the last-level cache,
# shows how the parse itself scales apart from where its data fits.
LONG_TEXT_TERMS = (10_000, 100_000, 1_000_000)

# The formula's x and y as numpy.float64 and numpy.int64, and two more entries of numpy.float32 and
# numpy.bool_, against the same dict of floats.
NUMPY = "exprkit, numpy scalars"
NUMPY_TYPES = {"x": "float64", "y": "int64", "a": "float32", "b": "bool_"}

TARGETS = [
    # (figure, numerator workload/contender, denominator workload/contender, must, aim)
    ("eval(dict of floats) / CPython eval", ("eval, dict of floats", "exprkit"), ("eval, dict of floats", "CPython eval"), 0.6, 0.5),
    ("eval(dict of ints) / CPython eval", ("eval, dict of ints", "exprkit"), ("eval, dict of ints", "CPython eval"), 0.65, 0.55),
    ("eval() without variables / CPython eval", ("eval() without variables", "exprkit"), ("eval() without variables", "CPython eval"), 0.6, 0.5),
    ("construction / compile()", ("construction", "exprkit"), ("construction", "CPython compile()"), 0.2, 0.12),
    ("time for a 10× longer text", ("construction, 100000 terms", "exprkit"), ("construction, 10000 terms", "exprkit"), 11.5, 11.0),
    ("2000-term formula eval / CPython eval", ("eval, 2000-term formula", "exprkit"), ("eval, 2000-term formula", "CPython eval"), 0.5, 0.25),
    ("2000 distinct terms eval / CPython eval", ("eval, 2000 distinct terms", "exprkit"), ("eval, 2000 distinct terms", "CPython eval"), 0.2, 0.15),
    ("eval, 17 entries / 16 entries", ("eval, dict of 17 entries", "exprkit"), ("eval, dict of 16 entries", "exprkit"), 1.1, 1.05),
    ("eval, 20 entries / CPython eval", ("eval, dict of 20 entries", "exprkit"), ("eval, dict of 20 entries", "CPython eval"), 0.8, 0.7),
    ("eval, 100 entries / CPython eval", ("eval, dict of 100 entries", "exprkit"), ("eval, dict of 100 entries", "CPython eval"), 1.5, 1.2),
    ("eval, 1000 entries / CPython eval", ("eval, dict of 1000 entries", "exprkit"), ("eval, dict of 1000 entries", "CPython eval"), 10, 8),
    ("eval, numpy scalars / floats", ("eval, dict of numpy scalars", NUMPY), ("eval, dict of numpy scalars", "exprkit"), 1.3, 1.1),
]

# exprkit's eval without its direct path, through pybind11's dispatcher: what the direct path saves.
DISPATCHER = "exprkit through pybind11's dispatcher (a subclass)"

# The least any eval of the same dict can cost, next to CPython: how far the first two figures are from it.
FLOORS = [
    ("floor for a dict of floats / CPython eval", ("eval, dict of floats", "floor: a vectorcall method walking the dict"), ("eval, dict of floats", "CPython eval")),
    ("floor for a dict of ints / CPython eval", ("eval, dict of ints", "floor: a vectorcall method walking the dict"), ("eval, dict of ints", "CPython eval")),
    # and how much more eval costs without its direct path
    ("dict of floats through the dispatcher / direct", ("eval, dict of floats", DISPATCHER), ("eval, dict of floats", "exprkit")),
    ("eval() through the dispatcher / direct", ("eval() without variables", DISPATCHER), ("eval() without variables", "exprkit")),
]

# Memory, each figure read from /proc in a fresh interpreter, so that nothing measured before has raised
# the high-water mark or left free heap behind.
MEMORY_PRELUDE = """
import gc, sys, exprkit
def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096
def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) * 1024
"""
MEMORY_PROBES = {
    # Resident bytes per func("x+1") of 10^4 kept, alone and with a 2000-term formula made and dropped
    # before each: what a service that keeps small formulas and drops larger ones pays.
    "bytes per func(\"x+1\")": """
large = "+".join(f"{i}x*sin(y)" for i in range(2000)) if sys.argv[1] == "after large" else None
gc.collect(); before = resident(); kept = []
for _ in range(10_000):
    if large:
        exprkit.func(large)
    kept.append(exprkit.func("x+1"))
print((resident() - before) / 10_000)
""",
    # Resident bytes per term once a 10^5-term text is constructed.
    "bytes per term": """
text = "+".join(["3x^2+sin(y)/2"] * 100_000)
before = resident(); f = exprkit.func(text)
print((resident() - before) / 100_000)
""",
    # The peak while a 16 MiB sum of the term is parsed, against the text's length.
    "peak against the text": """
term = sys.argv[1]
text = "+".join([term] * ((16 << 20) // (len(term) + 1)))
before = resident(); f = exprkit.func(text)
print((peak() - before) / len(text))
""",
}
PEAK_TERMS = ("3x^2+sin(y)/2", "x", "2x*y")
# The most each memory figure may be.
MEMORY_MUSTS = {"bytes per func(\"x+1\") kept": 1000, "kept-formula ratio (the two above)": 1.2,
                "bytes per term, 10^5-term text constructed": 500, "peak while parsing": 40}


def memory_figures() -> dict[str, float] | None:
    if not os.path.exists("/proc/self/statm"):
        return None

    def probe(name: str, argument: str = "") -> float:
        code = MEMORY_PRELUDE + MEMORY_PROBES[name]
        return float(subprocess.run([sys.executable, "-c", code, argument], capture_output=True, text=True,
                                    check=True).stdout)

    alone, after_large = probe("bytes per func(\"x+1\")", "alone"), probe("bytes per func(\"x+1\")", "after large")
    figures = {"bytes per func(\"x+1\") kept": alone,
               "the same, a 2000-term formula made and dropped before each": after_large,
               "kept-formula ratio (the two above)": after_large / alone,
               "bytes per term, 10^5-term text constructed": probe("bytes per term")}
    for term in PEAK_TERMS:
        figures[f"peak while parsing a 16 MiB sum of {term}, × the text"] = probe("peak against the text", term)
    return figures


def budget_of(workload: str) -> float:
    """Seconds that each timed loop of a workload fills."""
    if workload == f"construction, {LONG_TEXT_TERMS[-1]} terms":
        # The first few parses of a text this long fault in fresh pages until the allocator keeps
        # enough memory; a loop of about a second per call reaches the settled calls only when it may
        # run for several of them.
        return 2.5
    return 0.2 if "terms" in workload else 0.05


def run(repeats: int, only: list[str] | None = None) -> dict:
    rows: dict[str, dict[str, float | str]] = {}
    workloads: dict[str, dict[str, Callable[[], object]]] = {}
    missing: dict[str, str] = {}

    def wanted(workload: str) -> bool:
        return not only or any(part in workload for part in only)

    def add(workload: str, name: str, builder: Callable[[], Callable[[], object]]):
        if not wanted(workload):
            return
        try:
            workloads.setdefault(workload, {})[name] = builder()
        except Exception as error:  # a peer that is missing or cannot handle the text
            missing[f"{workload} / {name}"] = f"{type(error).__name__}: {str(error)[:80]}"

    long_text = long_formula(2000)
    add("eval() without variables", "exprkit", lambda: (lambda f: lambda: f.eval())(exprkit.func(SHORT_CONSTANT)))
    add("eval() without variables", "CPython eval", lambda: cpython_eval(SHORT_CONSTANT_PY, {}))
    add("eval() without variables", DISPATCHER, lambda: exprkit_dispatcher_eval(SHORT_CONSTANT, {}))
    for label, values in (("eval, dict of floats", FLOATS), ("eval, dict of ints", INTS)):
        add(label, "exprkit", lambda v=values: exprkit_eval(SHORT, v))
        add(label, DISPATCHER, lambda v=values: exprkit_dispatcher_eval(SHORT, v))
        add(label, "CPython eval", lambda v=values: cpython_eval(SHORT_PY, v))
        for peer, builder in EVAL_PEERS.items():
            add(label, peer, lambda b=builder, v=values: b(SHORT_PY, v))
    for entries in ENTRIES:
        add(f"eval, dict of {entries} entries", "exprkit", lambda n=entries: exprkit_eval(SHORT, row(n)))
        add(f"eval, dict of {entries} entries", "CPython eval", lambda n=entries: cpython_eval(SHORT_PY, row(n)))
    for value_type in VALUE_TYPES:
        name = "exprkit" if value_type == "float" else f"exprkit, {value_type} values"
        add("eval, dict of 1000 entries by value type", name, lambda t=value_type: exprkit_eval(SHORT, row(1000, t)))
    add("eval, dict of numpy scalars", "exprkit", lambda: exprkit_eval(SHORT, dict.fromkeys(NUMPY_TYPES, 1.0) | FLOATS))
    add("eval, dict of numpy scalars", NUMPY, lambda: exprkit_eval(SHORT, numpy_scalars()))
    add("eval, 2000-term formula", "exprkit", lambda: exprkit_eval(long_text, FLOATS))
    distinct, distinct_py = distinct_formula(2000), distinct_formula(2000, True)
    add("eval, 2000 distinct terms", "exprkit", lambda: exprkit_eval(distinct, DISTINCT_VALUES))
    add("eval, 2000 distinct terms", "CPython eval", lambda: cpython_eval(distinct_py, DISTINCT_VALUES))
    for peer, builder in EVAL_PEERS.items():
        if peer != "sympy lambdify":
            add("eval, 2000 distinct terms", peer, lambda b=builder: b(distinct_py, DISTINCT_VALUES))
    add("eval, 2000-term formula", "CPython eval", lambda: cpython_eval(long_formula(2000, True), FLOATS))
    for peer, builder in EVAL_PEERS.items():
        if peer != "sympy lambdify":  # simplifying 2000 terms is a minutes-long symbolic job
            add("eval, 2000-term formula", peer, lambda b=builder: b(long_formula(2000, True), FLOATS))
    for name in ["exprkit", "CPython compile()", *EVAL_PEERS]:
        add("construction", name, lambda n=name: construction(n, SHORT))
    # Only exprkit: CPython's compiler recurses per nesting level and overflows the C stack on these.
    for terms in LONG_TEXT_TERMS:
        add(f"construction, {terms} terms", "exprkit", lambda t=terms: construction("exprkit", long_formula(t)))
    floor = build_floor() if wanted("eval, dict of floats") or wanted("eval, dict of ints") else None
    if floor:
        instance, version = floor
        add("eval, dict of floats", f"floor: empty pybind11 {version} method", lambda: instance.nothing)
        add("eval, dict of floats", f"floor: pybind11 {version} method converting the dict",
            lambda: (lambda: instance.convert(FLOATS)))
        for label, values in (("eval, dict of floats", FLOATS), ("eval, dict of ints", INTS)):
            add(label, "floor: a vectorcall method walking the dict", lambda v=values: (lambda: instance.walk(v)))
    elif wanted("eval, dict of floats"):
        missing["floor"] = "could not compile bench/floor_module.cpp (pybind11 or c++ missing)"

    best: dict[str, dict[str, float]] = {w: {n: math.inf for n in calls} for w, calls in workloads.items()}
    for _ in range(repeats):
        for workload, calls in workloads.items():
            budget = budget_of(workload)
            for name, call in list(calls.items()):
                gc.collect()
                try:
                    best[workload][name] = min(best[workload][name], measure(call, budget))
                except Exception as error:
                    missing[f"{workload} / {name}"] = f"{type(error).__name__}: {str(error)[:80]}"
                    del calls[name], best[workload][name]
    for workload, figures in best.items():
        base = figures.get("exprkit", math.nan)
        rows[workload] = {name: {"ns": ns, "ratio": ns / base} for name, ns in figures.items()}
    return {"rows": rows, "missing": missing, "machine": machine(), "repeats": repeats,
            "memory": memory_figures() if wanted("memory") else None}


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, {platform.system()}"


def entries_tables(rows: dict) -> list[str]:
    """eval's cost by the entries of its dict, next to CPython's, and what an entry costs by its value."""
    sizes = [n for n in ENTRIES if "exprkit" in rows.get(f"eval, dict of {n} entries", {})]
    if not sizes:
        return []
    lines = ["### eval by the entries of the dict", "", "| entries | exprkit, ns | CPython eval, ns | exprkit / CPython |",
             "|---:|---:|---:|---:|"]
    for n in sizes:
        figures = rows[f"eval, dict of {n} entries"]
        cpython = figures.get("CPython eval", {}).get("ns", math.nan)
        lines.append(f"| {n:,} | {figures['exprkit']['ns']:,.0f} | {cpython:,.0f} | {figures['exprkit']['ns'] / cpython:.2f} |")
    base = rows[f"eval, dict of {sizes[0]} entries"]["exprkit"]["ns"]
    lines += ["", f"An entry's price, by the type of its value: (a dict of 1000 entries − the dict of {sizes[0]}) / "
              f"{1000 - sizes[0]}.", "", "| values | ns per entry |", "|---|---:|"]
    for name, figure in rows.get("eval, dict of 1000 entries by value type", {}).items():
        value_type = "float" if name == "exprkit" else name.removeprefix("exprkit, ").removesuffix(" values")
        lines.append(f"| {value_type} | {(figure['ns'] - base) / (1000 - sizes[0]):.2f} |")
    return lines + [""]


def render(result: dict) -> str:
    lines = [f"Machine: {result['machine']}; minimum of {result['repeats']} interleaved repeats.", ""]
    lines += entries_tables(result["rows"])
    for workload, figures in result["rows"].items():
        if workload.startswith("eval, dict of") and "entries" in workload:
            continue  # in the tables above
        lines += [f"### {workload}", "", "| contender | ns per call | × exprkit |", "|---|---:|---:|"]
        for name, figure in sorted(figures.items(), key=lambda item: item[1]["ns"]):
            lines.append(f"| {name} | {figure['ns']:,.0f} | {figure['ratio']:.2f} |")
        lines.append("")
    rows = result["rows"]
    lines += ["### Targets", "", "| figure | measured | must | aim |", "|---|---:|---:|---:|"]
    for figure, (top_w, top_n), (bottom_w, bottom_n), must, aim in TARGETS:
        if top_w not in rows and bottom_w not in rows:
            continue  # not run (--only)
        try:
            value = rows[top_w][top_n]["ns"] / rows[bottom_w][bottom_n]["ns"]
        except KeyError:
            lines.append(f"| {figure} | missing | ≤ {must} | ≤ {aim} |")
            continue
        verdict = "met" if value <= aim else "must met" if value <= must else "NOT met"
        lines.append(f"| {figure} | {value:.2f} ({verdict}) | ≤ {must} | ≤ {aim} |")
    for figure, (top_w, top_n), (bottom_w, bottom_n) in FLOORS:
        if top_n in rows.get(top_w, {}) and bottom_n in rows.get(bottom_w, {}):
            lines.append(f"| {figure} | {rows[top_w][top_n]['ns'] / rows[bottom_w][bottom_n]['ns']:.2f} | | |")
    peers = [name for name in EVAL_PEERS]
    for workload in [w for w in ("eval, dict of floats", "eval, dict of ints", "construction") if w in rows]:
        figures = rows[workload]
        slower = [p for p in peers if p in figures and figures[p]["ns"] < figures["exprkit"]["ns"]]
        lines.append(f"| faster than every third-party peer: {workload} | "
                     f"{'yes' if not slower else 'no: ' + ', '.join(slower)} | yes | yes |")
    lines.append("")
    parse_ns = {terms: rows.get(f"construction, {terms} terms", {}).get("exprkit", {}).get("ns")
                for terms in LONG_TEXT_TERMS}
    steps = [(small, large) for small, large in zip(LONG_TEXT_TERMS, LONG_TEXT_TERMS[1:])
             if parse_ns[small] and parse_ns[large]]
    if steps:
        lines += ["### Time for a 10× longer text, by length", "", "| texts | ratio |", "|---|---:|"]
        lines += [f"| {small:,} to {large:,} terms | {parse_ns[large] / parse_ns[small]:.2f} |" for small, large in steps]
        lines.append("")
    if result.get("memory"):
        lines += ["### Memory", "", "| figure | measured | must |", "|---|---:|---:|"]
        for figure, value in result["memory"].items():
            must = next((f"≤ {limit:,}" for start, limit in MEMORY_MUSTS.items() if figure.startswith(start)), "")
            lines.append(f"| {figure} | {value:,.2f} | {must} |")
        lines.append("")
    if result["missing"]:
        lines += ["Missing or failed:", ""] + [f"- {key}: {why}" for key, why in result["missing"].items()] + [""]
    return "\n".join(lines)


def chart(result: dict, path: str) -> None:
    import matplotlib
    import matplotlib.ticker

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # exprkit against its own other forms (entries, numpy scalars) is in the tables, not the chart
    workloads = [w for w in result["rows"] if ("terms" not in w or "formula" in w) and not w.startswith("eval, dict of") or w in
                 ("eval, dict of floats", "eval, dict of ints")]
    fig, axes = plt.subplots(len(workloads), 1, figsize=(8, 2.2 * len(workloads)))
    for axis, workload in zip(axes, workloads):
        figures = sorted(result["rows"][workload].items(), key=lambda item: item[1]["ns"])
        names = [name for name, _ in figures]
        values = [figure["ns"] for _, figure in figures]
        colours = ["tab:orange" if name == "exprkit" else "tab:grey" if name.startswith("floor") else "tab:blue"
                   for name in names]
        axis.barh(names, values, color=colours)
        axis.set_xscale("log")
        axis.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        axis.invert_yaxis()
        axis.set_title(f"{workload} (ns per call, log scale)", fontsize=9)
        axis.tick_params(labelsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> int:
    # Peers built on Python's own parser need more recursion for a 2000-term formula.
    sys.setrecursionlimit(20_000)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--chart", help="draw a PNG chart to this file (needs matplotlib)")
    parser.add_argument("--only", action="append", metavar="TEXT",
                        help='run only the workloads whose name holds TEXT (repeatable; "memory" for the memory '
                             'figures), for example --only entries --only numpy')
    arguments = parser.parse_args()
    result = run(arguments.repeats, arguments.only)
    print(render(result))
    if arguments.json:
        with open(arguments.json, "w") as out:
            json.dump(result, out, indent=1)
    if arguments.chart:
        chart(result, arguments.chart)
    return 0


if __name__ == "__main__":
    sys.exit(main())
