"""Pickling and copying, memory running out, and daemon threads that are inside eval when the interpreter
exits. Each case that used to end the process runs in a child process."""
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap

import pytest

PRELUDE = """\
import contextlib, copy, pickle, sys, threading, time
import exprkit

class Sub(exprkit.func):
    pass

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


@pytest.mark.parametrize("attempt, first_line", [
    ("exprkit.func.eval()", "eval(): incompatible function arguments. The following argument types are supported:"),
    ("exprkit.func.eval(*())", "eval(): incompatible function arguments. The following argument types are supported:"),
    ("exprkit.func.__init__()", "__init__(self, ...) called with invalid or missing `self` argument"),
    # protocols 0 and 1 build a subclass's base part by func(instance): refused, as pybind11's own base aborts
    ("pickle.dumps(Sub(), 1)", "__init__(): incompatible constructor arguments. The following argument types are supported:"),
])
def test_a_method_called_without_an_instance_raises_pybind11s_type_error(attempt, first_line):
    child = type_error_of(attempt)
    assert (child.returncode, child.stderr, child.stdout.splitlines()[0], child.stdout[-6:]) == (0, "", first_line, "alive\n")


def test_a_cpp_exception_that_crossed_the_interpreter_ends_the_process_inside_eval_too():
    # pybind11's shared base type throws one when it is instantiated; past the interpreter's frames, which
    # it left without their cleanup, nothing may go on.
    child = run_child("""
        g = Sub()
        g.add_func("p", lambda v: exprkit.func.__base__())
        g.init("p(1)")
        g.eval()
        print("went on")
    """)
    assert (child.returncode, child.stdout) == (-signal.SIGABRT, "")
    assert "instance allocation failed" in child.stderr


# A formula of 17 variables, and a dict of their values with one key of 256 MiB, read under a limit that
# leaves no room for a copy of it: one value converts by its __float__, so pybind11's conversion reads it.
OUT_OF_MEMORY = """
    import decimal, resource
    names = [chr(ord("a") + i) for i in range(17)]
    h = exprkit.func("+".join(names))
    values = {**dict.fromkeys(names, 1.0), "a": decimal.Decimal(1)}
    big = b"k" * (256 << 20)
    values[big] = 1.0
    g = exprkit.func()
    g.add_func("inner", lambda v: h.eval(values))
    g.init("inner(1)")
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20),) * 2)
    for call in (lambda: h.eval(values), g.eval) * 2:
        try:
            call()
        except MemoryError as error:
            print(type(error).__name__)
    del values[big]
    print(h.eval(dict.fromkeys(names, 2.0)), g.eval())
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_memory_running_out_while_eval_reads_its_dict_raises_memory_error_and_the_objects_go_on():
    child = run_child(OUT_OF_MEMORY)
    assert (child.returncode, child.stderr, child.stdout) == (0, "", "MemoryError\n" * 4 + "34.0 17.0\n")


# Each call, with the text its object parses first, made to meet a failure at each of its allocations in turn
# (failing_allocator.cpp): each must raise MemoryError (keywords: or its TypeError), and the object go on.
FAILING_EACH_ALLOCATION = """
    import ctypes
    shim = ctypes.CDLL(sys.argv[1])
    shim.install_failing_allocator()
    fail_after, reached = shim.fail_allocation_after, shim.failed_allocation
    Name = type("Name", (str,), {})
    calls = {"func()": ("x", lambda f: exprkit.func()), "func(str)": ("x", lambda f: exprkit.func("3x^2+sin(y)")),
             "func(bytes)": ("x", lambda f: exprkit.func(b"3x^2")), "keywords": ("x", lambda f: exprkit.func(text="x")),
             "func(bytearray)": ("x", lambda f: exprkit.func(bytearray(b"3x^2"))),
             "func(str subclass)": ("x", lambda f: exprkit.func(Name("3x^2"))), "init": ("x", lambda f: f.init("g(x)+y")),
             "add_func": ("x", lambda f: f.add_func("h", abs)), "eval, dispatcher": ("g(x)+y", lambda f: f.eval({"x": 1, b"y": 2})),
             "eval, direct": ("g(x)+y", lambda f: f.eval({"x": 1, "y": 2.0})), "eval()": ("g(2)", lambda f: f.eval()),
             "vars": ("g(x)+y", lambda f: f.vars()), "avail_funcs": ("x", lambda f: f.avail_funcs())}
    for name, (text, call) in calls.items():
        for count in range(10_000):
            f = exprkit.func()
            f.add_func("g", lambda v: v)
            f.init(text)
            try:
                fail_after(count)
                call(f)
            except (MemoryError, TypeError) as error:
                assert isinstance(error, MemoryError) or name == "keywords", (name, count, error)
            if not reached():
                break
            f.init("g(x)+y")
            assert f.eval({"x": 1, "y": 2}) == 3.0 and len(f.avail_funcs()) == 16
        print(name, count > 0)
"""


@pytest.mark.skipif(shutil.which("c++") is None or not sys.platform.startswith("linux"), reason="needs c++, Linux")
def test_a_failure_at_each_allocation_of_each_call_raises_memory_error_and_the_object_goes_on(tmp_path):
    shim = tmp_path / "failing_allocator.so"
    subprocess.run(["c++", "-O1", "-shared", "-fPIC", "-I" + sysconfig.get_paths()["include"], "-o", shim,
                    os.path.join(os.path.dirname(__file__), "failing_allocator.cpp")], check=True)
    child = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(FAILING_EACH_ALLOCATION), shim],
                           capture_output=True, text=True, timeout=600, env={**os.environ, "LD_PRELOAD": str(shim)})
    assert (child.returncode, child.stderr) == (0, "")
    assert child.stdout.count(" True\n") == 13


DAEMON_THREADS_AT_EXIT = """
    form = sys.argv[1]
    g = Sub() if form == "subclass" else exprkit.func()
    g.add_func("nap", lambda v: time.sleep(0.002) or v)  # releases the interpreter lock
    g.init("nap(1)+nap(2)" if form == "no values" else "nap(xx)+nap(xx)")
    call = g.eval if form == "no values" else lambda: g.eval({"xx": 1.0})

    class Napping:
        # Converts after it has taken itself and its key out of the dict, so that eval holds the last
        # reference to both, and naps while it converts or when it is freed.
        def __init__(self, values):
            self.values = values

        def __float__(self):
            self.values.clear()
            form == "value naps converting" and time.sleep(0.001)
            return 0.5

        def __del__(self):
            form == "value naps when freed" and time.sleep(0.001)

    if form.startswith("value"):
        def call():
            values = {}
            values["".join(["x", "x"])] = Napping(values)  # a key made at run time, held by the dict alone
            return g.eval(values)

    class NappingInRepr:  # an argument that does not convert: the dispatcher words its TypeError with the repr
        def __repr__(self):
            time.sleep(0.001)
            return "naps"

    if form.startswith("repr"):
        def call():
            with contextlib.suppress(TypeError):
                exprkit.func(NappingInRepr()) if form == "repr naps, func(...)" else g.eval({"xx": NappingInRepr()})
            return 1.0

    def evaluate_forever():
        while True:
            assert call() == {"no values": 3.0, "direct": 2.0, "subclass": 2.0}.get(form, 1.0)

    for _ in range(4):
        threading.Thread(target=evaluate_forever, daemon=True).start()
    garbage = [[] for _ in range(200_000)]  # freed at exit, while the threads wake up in their callables
    time.sleep(0.02)
"""


# eval's direct path with and without values; a subclass, which takes pybind11's dispatcher; values whose
# conversion runs Python code; arguments that the dispatcher's TypeError words by their repr. The debug
# allocator reports an object freed without the interpreter lock.
@pytest.mark.parametrize("form", ["direct", "no values", "subclass", "value naps converting", "value naps when freed",
                                  "repr naps, func(...)", "repr naps, a value of eval's dict"])
def test_interpreter_exit_with_daemon_threads_inside_eval(form):
    script = PRELUDE + textwrap.dedent(DAEMON_THREADS_AT_EXIT)
    children = [subprocess.Popen([sys.executable, "-c", script, form], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env={**os.environ, "PYTHONMALLOC": "debug"})
                for _ in range(20)]
    outcomes = [(child.wait(timeout=120), child.stdout.read(), child.stderr.read()) for child in children]
    for child in children:
        child.stdout.close()
        child.stderr.close()
    assert outcomes == [(0, b"", b"")] * 20
