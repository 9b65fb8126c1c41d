"""A command-line calculator on exprkit: evaluates a formula for one or more sets of variable values.

    python examples/calc.py "3x^2+sin(y)/2" x=2 y=1            prints 12.420735492403947
    python examples/calc.py "3x^2+sin(y)/2" --vars             prints x and y, one a line
    python examples/calc.py "a*x" a=2 --set x=1 --set x=1e-5   prints 2.0 and 2e-05
    printf 'x=1\\nx=2\\n' | python examples/calc.py "x^2" --stdin  prints 1.0 and 4.0
    python examples/calc.py -- -x^2 x=3                        a formula that starts with "-"

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
    parser = argparse.ArgumentParser(
        prog="calc.py",
        description="Evaluate a formula of exprkit for given values of its variables.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("formula", help='the formula, for example "3x^2+sin(y)/2"')
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


def parse(formula: str) -> exprkit.func:
    try:
        with standard_output_silenced():
            # As bytes, so that a formula that is not valid UTF-8 is reported by the engine as well.
            return exprkit.func(os.fsencode(formula))
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
    function = parse(arguments.formula)
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
