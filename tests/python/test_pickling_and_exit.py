"""Pickling and copying, the base type that every pybind11 class shares, and daemon threads that are inside
eval when the interpreter exits. Each case that used to end the process runs in a child process."""
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """\
import copy, pickle, sys, threading, time
import exprkit

class Sub(exprkit.func):
    pass

Base = exprkit.func.__base__
f = exprkit.func("x+1")
"""


def run_child(body: str, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body), *args],
                          capture_output=True, text=True, timeout=120)


def type_error_of(attempt: str) -> subprocess.CompletedProcess:
    return run_child(f"""
        try:
            {attempt}
        except TypeError as error:
            print(error)
        print("alive")
    """)


@pytest.mark.parametrize("attempt", [f"pickle.dumps(f, {protocol})" for protocol in range(6)]
                         + ["copy.copy(f)", "copy.deepcopy(f)"])
def test_every_pickle_protocol_and_copy_refuse_func_with_one_type_error(attempt):
    child = type_error_of(attempt)
    assert (child.returncode, child.stderr, child.stdout) == (0, "", "cannot pickle 'exprkit.func' object\nalive\n")


@pytest.mark.parametrize("attempt, message", [
    ("Base()", "cannot create 'pybind11_object' instances"),
    ("Base(f)", "cannot create 'pybind11_object' instances"),
    ("Base.__new__(Base)", "cannot create 'pybind11_object' instances"),
    ("type('Bare', (Base,), {})()", "cannot create 'Bare' instances"),
    # protocols 0 and 1 build a subclass's base part through Base(obj); 2 and later refuse it directly
    ("pickle.dumps(Sub('x'), 0)", "cannot create 'pybind11_object' instances"),
    ("pickle.dumps(Sub('x'), 1)", "cannot create 'pybind11_object' instances"),
    ("pickle.dumps(Sub('x'), 2)", "cannot pickle 'Sub' object"),
])
def test_the_shared_base_type_cannot_be_instantiated_and_says_so(attempt, message):
    child = type_error_of(attempt)
    assert (child.returncode, child.stderr, child.stdout) == (0, "", message + "\nalive\n")


def test_pickling_inside_a_callable_raises_through_eval_and_the_interpreter_goes_on():
    # A C++ handler up the stack (the one of eval) once caught the base's exception after it had torn
    # through the interpreter's frames.
    child = run_child("""
        g = Sub()
        g.add_func("p", lambda v: len(pickle.dumps(g, 0)))
        g.init("p(1)")
        for call in (g.eval, lambda: g.eval({})):
            try:
                call()
            except TypeError as error:
                print(error)
        import traceback
        def depth(n):
            return 0 if n == 0 else 1 + depth(n - 1)
        print(len(traceback.extract_stack()), depth(100), exprkit.func("2x").eval({"x": 4}))
    """)
    assert (child.returncode, child.stderr, child.stdout) == (
        0, "", "cannot create 'pybind11_object' instances\n" * 2 + "1 100 8.0\n")


DAEMON_THREADS_AT_EXIT = """
    form = sys.argv[1]
    g = Sub() if form == "subclass" else exprkit.func()
    g.add_func("nap", lambda v: time.sleep(0.002) or v)  # releases the interpreter lock
    g.init("nap(1)+nap(2)" if form == "no values" else "nap(x)+nap(x)")
    call = g.eval if form == "no values" else lambda: g.eval({"x": 1.0})

    def evaluate_forever():
        while True:
            assert call() == (3.0 if form == "no values" else 2.0)

    for _ in range(4):
        threading.Thread(target=evaluate_forever, daemon=True).start()
    garbage = [[] for _ in range(200_000)]  # freed at exit, while the threads wake up in their callables
    time.sleep(0.02)
"""


# The direct path, pybind11's dispatcher (no values), and a subclass, which never takes the direct path.
@pytest.mark.parametrize("form", ["direct", "no values", "subclass"])
def test_interpreter_exit_with_daemon_threads_inside_eval(form):
    script = PRELUDE + textwrap.dedent(DAEMON_THREADS_AT_EXIT)
    children = [subprocess.Popen([sys.executable, "-c", script, form], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE) for _ in range(20)]
    outcomes = [(child.wait(timeout=120), child.stdout.read(), child.stderr.read()) for child in children]
    for child in children:
        child.stdout.close()
        child.stderr.close()
    assert outcomes == [(0, b"", b"")] * 20
