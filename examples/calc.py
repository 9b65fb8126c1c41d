"""A command-line calculator on exprkit: evaluates a formula for one or more sets of variable values.

    python examples/calc.py "3x^2+sin(y)/2" x=2 y=1            prints 12.420735492403947
    python examples/calc.py "3x^2+sin(y)/2" --vars             prints x and y, one a line
    python examples/calc.py "a*x" a=2 --set x=1 --set x=1e-5   prints 2.0 and 2e-05
    printf 'x=1\\nx=2\\n' | python examples/calc.py "x^2" --stdin  prints 1.0 and 4.0
    python examples/calc.py -- -x^2 x=3                        a formula that starts with "-"
    python examples/calc.py --file formula.txt x=2 y=1         the formula from a file ("-": standard input)

Run with --help for the rules. Results go to standard output, one a line; errors to standard error,
with exit status 1 (2 for a wrong command line).
"""
import argparse
import contextlib
import os
import sys
from collections.abc import Iterator

import exprkit

EPILOG = """\
The assignments right after the formula (not after an option) apply to every set; each --set, or
each line read with --stdin, adds or replaces values for one evaluation. A value is a Python float
literal (2, -2.5, 1e-5, inf, nan). A line of standard input holds assignments separated by white
space; empty lines are skipped. The first error ends the run: the results before it have been printed.

The formula is read by exprkit's rules, not Python's: no spaces, no exponent notation (1e-5 is
1*e-5 with a variable e), * binds tighter than / (8/2*4 is 1), unary minus tighter than ^ (-2^2 is
4). A formula that starts with "-" goes after "--", which ends the options:
calc.py --set x=1 --set x=2 -- -x^2
A long formula (the shell limits the length of a command line) is read from a file with --file, or
from standard input with --file -; the white space around it, such as the file's last line end, is
left out.
"""


class Failure(Exception):
    """An error to report on standard error with exit status 1."""


def assignment(text: str) -> tuple[str, float]:
    """name=value, with the value as a Python float literal."""
    name, separator, number = text.partition("=")
    if not separator or not name:
        raise argparse.ArgumentTypeError(f"expected name=value, got {text!r}")
    try:
        return name, float(number)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number in {text!r}") from None


def make_parser() -> argparse.ArgumentParser:
    values = "[--vars] [--set name=value [name=value ...] | --stdin]"
    parser = argparse.ArgumentParser(
        prog="calc.py",
        usage=f"%(prog)s [-h] {values} formula [name=value ...]\n       %(prog)s [-h] {values} --file path [name=value ...]",
        description="Evaluate a formula of exprkit for given values of its variables.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("formula", nargs="?", help='the formula, for example "3x^2+sin(y)/2", unless --file gives it')
    parser.add_argument("--file", metavar="path", help='read the formula from this file ("-": from standard input)')
    parser.add_argument("assignments", nargs="*", default=[], type=assignment, metavar="name=value",
                        help="values for every set")
    parser.add_argument("--vars", action="store_true", help="list the formula's variables, one a line, and stop")
    sets = parser.add_mutually_exclusive_group()
    sets.add_argument("--set", action="append", nargs="+", type=assignment, metavar="name=value", dest="sets",
                      help="one more set of values (repeat for several); one result per set")
    sets.add_argument("--stdin", action="store_true",
                      help="read one set of values per line from standard input; one result per line")
    return parser


@contextlib.contextmanager
def standard_output_silenced() -> Iterator[None]:
    """The engine writes a count to file descriptor 1 before it reports "Unbalanced equation"; a
    calculator's standard output is for results only."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def formula_text(arguments: argparse.Namespace) -> bytes:
    """As bytes, so that a formula that is not valid UTF-8 is reported by the engine as well."""
    if arguments.file is None:
        return os.fsencode(arguments.formula)
    if arguments.file == "-" and sys.stdin is None:
        raise Failure("no standard input to read")
    try:
        with open(arguments.file, "rb") if arguments.file != "-" else contextlib.nullcontext(sys.stdin.buffer) as source:
            return source.read().strip()
    except OSError as error:
        raise Failure(f"cannot read the formula from {arguments.file}: {error.strerror or error}") from None


def parse(formula: bytes) -> exprkit.func:
    try:
        with standard_output_silenced():
            return exprkit.func(formula)
    except ValueError as error:
        raise Failure(str(error)) from None


def evaluate(function: exprkit.func, values: dict[str, float], where: str) -> float:
    names = sorted(function.vars())
    missing = [name for name in names if name not in values]
    if missing:
        raise Failure(f"{where}no value for {', '.join(missing)}")
    try:
        return function.eval({name: values[name] for name in names})
    except ValueError as error:
        raise Failure(f"{where}{error}") from None


def stdin_sets() -> Iterator[tuple[str, list[tuple[str, float]]]]:
    if sys.stdin is None:
        raise Failure("no standard input to read")
    for number, line in enumerate(sys.stdin.buffer, start=1):
        try:
            words = line.decode().split()
        except UnicodeDecodeError:
            raise Failure(f"line {number}: not UTF-8") from None
        if not words:
            continue
        try:
            yield f"line {number}: ", [assignment(word) for word in words]
        except argparse.ArgumentTypeError as error:
            raise Failure(f"line {number}: {error}") from None


def run(arguments: argparse.Namespace) -> None:
    function = parse(formula_text(arguments))
    if arguments.vars:
        for name in sorted(function.vars()):
            print(name)
        return
    common = dict(arguments.assignments)
    if arguments.stdin:
        sets: Iterator[tuple[str, list[tuple[str, float]]]] = stdin_sets()
    elif arguments.sets:
        sets = iter([(f"set {number}: ", values) for number, values in enumerate(arguments.sets, start=1)])
    else:
        sets = iter([("", [])])
    for where, values in sets:
        print(repr(evaluate(function, common | dict(values), where)), flush=True)


def main(argv: list[str] | None = None) -> int:
    parser = make_parser()
    # argparse leaves over the assignments that follow an option; with --vars they get their own message.
    arguments, unrecognized = parser.parse_known_args(argv)
    if arguments.file is None and arguments.formula is None:
        parser.error("the following arguments are required: formula")
    if arguments.file is not None and arguments.formula is not None:  # argparse took the first assignment for it
        try:
            arguments.assignments.insert(0, assignment(arguments.formula))
        except argparse.ArgumentTypeError as error:
            parser.error(f"argument name=value: {error}")
    if arguments.file == "-" and arguments.stdin:
        parser.error("--file - and --stdin cannot both read standard input")
    if arguments.vars and (arguments.assignments or arguments.sets or arguments.stdin or unrecognized):
        parser.error("--vars takes no values")
    if unrecognized:
        parser.error(f"unrecognized arguments: {' '.join(unrecognized)}")
    try:
        run(arguments)
    except Failure as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, without a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
