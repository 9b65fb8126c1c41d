"""Evaluate a formula for given variable values.

    python examples/calc.py "3x^2+sin(y)/2" x=2 y=1

prints the variables the formula uses and its value. With no arguments it evaluates a built-in sample.
An invalid formula or value is reported with the engine's message and exit status 1.
"""
import sys

import exprkit

SAMPLE = ["3x^2+sin(y)/2", "x=2", "y=1"]


def parse_assignments(arguments: list[str]) -> dict[str, float]:
    values: dict[str, float] = {}
    for argument in arguments:
        name, separator, number = argument.partition("=")
        if not separator or not name:
            raise ValueError(f"expected name=value, got {argument!r}")
        values[name] = float(number)
    return values


def main(arguments: list[str]) -> int:
    formula, *assignments = arguments or SAMPLE
    try:
        values = parse_assignments(assignments)
        function = exprkit.func(formula)
        names = sorted(function.vars())
        result = function.eval(values)
    except ValueError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    print(f"formula:   {formula}")
    print(f"variables: {', '.join(names) if names else '(none)'}")
    print(f"result:    {result!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
