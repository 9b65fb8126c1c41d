"""examples/calc.py run as a user runs it: arguments, standard input, output, errors and exit status."""
import pathlib
import subprocess
import sys

import pytest

CALC = pathlib.Path(__file__).resolve().parents[2] / "examples" / "calc.py"
SETS = "[--vars] [--set name=value [name=value ...] | --stdin]"
USAGE = f"usage: calc.py [-h] {SETS} formula [name=value ...]\n       calc.py [-h] {SETS} --file path [name=value ...]\n"


def calc(*arguments: str, stdin: str | bytes = "") -> subprocess.CompletedProcess[str]:
    run = subprocess.run([sys.executable, str(CALC), *arguments], capture_output=True, timeout=60,
                         input=stdin.encode() if isinstance(stdin, str) else stdin)
    return subprocess.CompletedProcess(run.args, run.returncode, run.stdout.decode(), run.stderr.decode())


@pytest.mark.parametrize("arguments, stdin, out", [
    (["3x^2+sin(y)/2", "x=2", "y=1"], "", "12.420735492403947\n"),
    (["8/2*4"], "", "1.0\n"),
    (["1e-05", "e=1"], "", "-4.0\n"),
    (["x/y", "x=-1", "y=0"], "", "-inf\n"),
    (["x+y", "x=1", "y=2", "x=5"], "", "7.0\n"),
    (["--", "-x^2", "x=3"], "", "9.0\n"),
    (["a*x", "a=2", "--set", "x=1", "--set", "x=1e-5", "a=nan"], "", "2.0\nnan\n"),
    (["x^2+y", "y=1", "--stdin"], "x=1\n\n x=2\ty=5 \nx=-inf\n", "2.0\n9.0\ninf\n"),
    (["3x^2+sin(y)/2", "--vars"], "", "x\ny\n"),
    (["--vars", "--", "-b*a+B"], "", "B\na\nb\n"),
    (["--file", "-", "x=2", "y=1"], "3x^2+sin(y)/2\r\n", "12.420735492403947\n"),
])
def test_results_one_a_line(arguments, stdin, out):
    run = calc(*arguments, stdin=stdin)
    assert (run.returncode, run.stdout, run.stderr) == (0, out, "")


@pytest.mark.parametrize("arguments, stdin, status, out, err", [
    (["x2"], "", 1, "", "calc.py: error: Unbalanced equation\n"),
    (["x y"], "", 1, "", "calc.py: error: Invalid charater detected:  \n"),
    (["x+y", "x=1"], "", 1, "", "calc.py: error: no value for y\n"),
    (["x", "--set", "x=1", "--set", "y=2"], "", 1, "1.0\n", "calc.py: error: set 2: no value for x\n"),
    (["x", "--stdin"], "x=1\nx\nx=3\n", 1, "1.0\n", "calc.py: error: line 2: expected name=value, got 'x'\n"),
    (["x", "--stdin"], "x=0\nx=1e\n", 1, "0.0\n", "calc.py: error: line 2: not a number in 'x=1e'\n"),
    (["x", "--stdin"], b"x=1\nx=\xff\n", 1, "1.0\n", "calc.py: error: line 2: not UTF-8\n"),
    ([], "", 2, "", USAGE + "calc.py: error: the following arguments are required: formula\n"),
    (["x", "x=abc"], "", 2, "", USAGE + "calc.py: error: argument name=value: not a number in 'x=abc'\n"),
    (["-x^2", "x=3"], "", 2, "", USAGE + "calc.py: error: unrecognized arguments: -x^2\n"),
    (["x", "--vars", "--set", "x=1"], "", 2, "", USAGE + "calc.py: error: --vars takes no values\n"),
    (["x", "--vars", "x=1"], "", 2, "", USAGE + "calc.py: error: --vars takes no values\n"),
    (["x", "--set", "x=1", "--stdin"], "", 2, "", USAGE + "calc.py: error: argument --stdin: not allowed with argument --set\n"),
    (["--file", "-", "--stdin"], "x", 2, "", USAGE + "calc.py: error: --file - and --stdin cannot both read standard input\n"),
    (["--file", "-", "x=abc"], "x", 2, "", USAGE + "calc.py: error: argument name=value: not a number in 'x=abc'\n"),
    (["--file", "/nonexistent/formula"], "", 1, "", "calc.py: error: cannot read the formula from /nonexistent/formula: No such file or directory\n"),
])
def test_errors_go_to_standard_error_with_the_exit_status(arguments, stdin, status, out, err):
    run = calc(*arguments, stdin=stdin)
    assert (run.returncode, run.stdout, run.stderr) == (status, out, err)


def test_help_describes_the_options():
    run = calc("--help")
    assert run.returncode == 0 and run.stderr == ""
    assert run.stdout.startswith(USAGE)
    assert all(option in run.stdout for option in ("--vars", "--set name=value", "--stdin", "-- -x^2", "--file path"))


def test_a_formula_longer_than_a_command_line_comes_from_a_file(tmp_path):
    (tmp_path / "formula.txt").write_text("+".join(["x"] * 70_000) + "\n")  # 140 KB
    run = calc("--file", str(tmp_path / "formula.txt"), "x=2")
    assert (run.returncode, run.stdout, run.stderr) == (0, "140000.0\n", "")
