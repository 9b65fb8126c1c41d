"""The formulas of bench/peers.sh, written as a C++ header: each formula's text for exprkit, the same
formula parenthesised for the usual precedence of the peers, and the same formula as C++ functions, once
as written and once with every C library call kept. Every text and function is printed from one tree,
so they mean the same; the long formulas are drawn from a fixed seed.

    python3 bench/peers_formulas.py OUTPUT.hpp
"""
from __future__ import annotations

import math
import random
import sys
from typing import Union

NAMES = ("x", "y", "z", "u", "v")
POINT_COUNT = 64  # sets of values, each in [0.5, 1.5): peers.hpp's point_count
MUPARSER_LONGEST = 19_999  # muparser rejects a text of 20,000 characters or more

# A node is a number (its text), a variable name, or a tuple: (operator, left, right), (function, operand)
# or ("chain", terms, operators), the terms joined by "+" and "-" from the left, kept flat so that a long
# sum needs no deep recursion here or in the C++ compiler.
Node = Union[str, tuple]
FUNCTIONS = {"sin": math.sin, "cos": math.cos, "exp": math.exp, "sqrt": math.sqrt}
OPERATORS = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b,
             "/": lambda a, b: a / b, "^": math.pow}
# Precedence and right-associativity: exprkit's ("*" binds tighter than "/", "^" groups from the right),
# and the peers' usual one, under which every "^" gets its operands parenthesised, as the peers group
# "^" differently.
EXPRKIT = ({"+": 2, "-": 2, "/": 3, "*": 4, "^": 5}, {"^"})
USUAL = ({"+": 2, "-": 2, "/": 3, "*": 3, "^": 5}, set())


def is_number(node: Node) -> bool:
    return isinstance(node, str) and node[0].isdigit()


def text(node: Node, grammar: tuple, parent: str = "", right: bool = False) -> str:
    """`node` with the fewest parentheses that give it its meaning under `grammar`."""
    if isinstance(node, str):
        return node
    if node[0] == "neg":  # unary minus of a variable: -z/2 is (-z)/2 and -(z/2) alike
        return f"-{node[1]}"
    if len(node) == 2:
        return f"{node[0]}({text(node[1], grammar)})"
    precedence, right_assoc = grammar
    if node[0] == "chain":
        operator, (first, *rest), operators = "+", node[1], node[2]
        own = text(first, grammar, "+") + "".join(o + text(t, grammar, o, True) for o, t in zip(operators, rest))
    else:
        operator, left, right_operand = node
        own = f"{text(left, grammar, operator, False)}{operator}{text(right_operand, grammar, operator, True)}"
    if not parent:
        return own
    if parent == "^" and grammar is USUAL:
        return f"({own})"
    looser = precedence[operator] < precedence[parent]
    same = precedence[operator] == precedence[parent] and right != (parent in right_assoc)
    return f"({own})" if looser or same else own


def cpp(node: Node, kept: bool) -> str:
    """`node` as a C++ expression over the variables; with `kept`, every call's arguments go through
    kept(), which the optimizer cannot see through, so that no call is merged, folded or replaced."""
    wrap = (lambda s: f"kept({s})") if kept else (lambda s: s)
    if is_number(node):
        return node if "." in node else node + ".0"
    if isinstance(node, str):
        return node
    if node[0] == "neg":
        return f"(-{node[1]})"
    if len(node) == 2:
        return f"std::{node[0]}({wrap(cpp(node[1], kept))})"
    if node[0] == "chain":
        first, *rest = node[1]
        return f"({cpp(first, kept)}" + "".join(f" {o} {cpp(t, kept)}" for o, t in zip(node[2], rest)) + ")"
    operator, left, right = node
    if operator == "^":
        return f"std::pow({wrap(cpp(left, kept))}, {wrap(cpp(right, kept))})"
    return f"({cpp(left, kept)} {operator} {cpp(right, kept)})"


def value(node: Node, point: dict) -> float:
    if is_number(node):
        return float(node)
    if isinstance(node, str):
        return point[node]
    if node[0] == "neg":
        return -point[node[1]]
    if len(node) == 2:
        return FUNCTIONS[node[0]](value(node[1], point))
    if node[0] == "chain":
        total = value(node[1][0], point)
        for operator, term in zip(node[2], node[1][1:]):
            total = OPERATORS[operator](total, value(term, point))
        return total
    return OPERATORS[node[0]](value(node[1], point), value(node[2], point))


def finite_everywhere(node: Node, points: list) -> bool:
    try:
        return all(math.isfinite(value(node, point)) for point in points)
    except (ArithmeticError, ValueError):  # an overflow, a division by zero, a square root of a negative
        return False


class Draw:
    """Choices from a fixed seed, through random() alone, whose sequence Python keeps across versions."""

    def __init__(self, seed: int) -> None:
        self.rng = random.Random(seed)

    def below(self, n: int) -> int:
        return int(self.rng.random() * n)

    def pick(self, items):
        return items[self.below(len(items))]

    def constant(self) -> str:  # 1.1 to 9.9, or 2 to 99
        return f"{(11 + self.below(89)) / 10:g}" if self.below(2) else str(2 + self.below(98))


def chain(terms: list, draw: Draw) -> Node:
    """The terms joined by "+" and "-", grouped from the left."""
    return ("chain", terms, [draw.pick("+-") for _ in terms[1:]])


def polynomial(draw: Draw) -> Node:
    terms = [draw.constant(), ("*", draw.constant(), "x")]
    terms += [("*", draw.constant(), ("^", "x", str(k))) for k in range(2, 50)]
    return chain(terms, draw)


def distinct_terms(count: int, draw: Draw) -> Node:
    """`count` different short terms over the five variables, each with + - * / ^ or a function."""
    templates = (
        lambda a, v, w, k: ("*", a, ("^", v, k)),
        lambda a, v, w, k: ("sin", ("*", a, v)),
        lambda a, v, w, k: ("/", ("cos", ("*", v, w)), a),
        lambda a, v, w, k: ("exp", ("/", v, a)),
        lambda a, v, w, k: ("sqrt", ("+", v, a)),
        lambda a, v, w, k: ("/", ("*", v, w), a),
        lambda a, v, w, k: ("/", ("^", v, k), a),
        lambda a, v, w, k: ("/", a, ("+", v, w)),
    )
    terms: dict = {}
    while len(terms) < count:
        term = draw.pick(templates)(draw.constant(), draw.pick(NAMES), draw.pick(NAMES), draw.pick("234"))
        terms.setdefault(text(term, EXPRKIT), term)
    return chain(list(terms.values()), draw)


def random_tree(draw: Draw, depth: int, constant_ok: bool = True) -> Node:
    """A tree of at most `depth` levels over + - * / ^ and the four functions; no part of it is made of
    constants alone (which some engines compute once, when compiling), and "^" has the exponent 2 or 3."""
    if depth == 1 or draw.below(10) < 3:
        return draw.constant() if constant_ok and draw.below(4) == 0 else draw.pick(NAMES)
    if draw.below(4) == 0:
        return (draw.pick(tuple(FUNCTIONS)), random_tree(draw, depth - 1, False))
    operator = draw.pick("+-*/^")
    if operator == "^":
        return ("^", random_tree(draw, depth - 1, False), draw.pick("23"))
    left = random_tree(draw, depth - 1)
    return (operator, left, random_tree(draw, depth - 1, not is_number(left)))


def depth_and_size(node: Node) -> tuple:
    if isinstance(node, str):
        return 1, 1
    parts = [depth_and_size(child) for child in node[1:]]
    return 1 + max(d for d, _ in parts), 1 + sum(s for _, s in parts)


def deep_formula(points: list) -> Node:
    """The first tree from seeds 1, 2, ... of depth 12, with 170 to 200 nodes, finite at every point."""
    for seed in range(1, 1_000_000):
        tree = random_tree(Draw(seed), 12)
        depth, size = depth_and_size(tree)
        if depth == 12 and 170 <= size <= 200 and finite_everywhere(tree, points):
            return tree
    raise RuntimeError("no tree found")


def formulas(points: list) -> list:
    """(label, tree) of each formula, in the order of the table."""
    short = [("+", "x", "1"),
             ("+", ("*", "3", ("^", "x", "2")), ("/", ("sin", "y"), "2")),
             ("/", ("*", ("+", "x", "y"), ("-", "x", "y")), ("+", "1", ("*", "x", "x"))),
             ("sqrt", ("+", ("*", "x", "x"), ("*", "y", "y")))]
    deep = deep_formula(points)
    bulk_only = [("+", ("*", "x", "y"), "z"),
                 ("chain", [("*", ("sqrt", ("chain", [("*", "x", "x"), ("*", "y", "y"), ("*", "z", "z")], ["+", "+"])),
                                   ("exp", ("/", ("neg", "z"), "2"))),
                            ("sin", ("*", "x", "y")), ("/", ("cos", "z"), ("+", "1", ("^", "x", "2")))], ["+", "-"])]
    return [(f"`{text(tree, EXPRKIT)}`", tree) for tree in short] + [
        ("a 50-term polynomial in x", polynomial(Draw(50))),
        ("2000 distinct terms over 5 variables (+ - * / ^ sin cos exp sqrt)", distinct_terms(2000, Draw(2000))),
        (f"a depth-12 random formula ({depth_and_size(deep)[1]} nodes)", deep),
    ] + [(f"`{text(tree, EXPRKIT)}`", tree) for tree in bulk_only]


def header(points: list) -> str:
    lines = ["// Made by bench/peers_formulas.py; do not edit. The formulas of bench/peers.sh.",
             "#pragma once", "", '#include "peers.hpp"', "", "#include <cmath>", "#include <iterator>", "",
             "namespace peers {", "",
             "inline constexpr Names variable_names{" + ", ".join(f'"{n}"' for n in NAMES) + "};", "",
             "inline constexpr double points[][variable_count] = {"]
    lines += ["    {" + ", ".join(repr(point[n]) for n in NAMES) + "}," for point in points]
    lines += ["};", 'static_assert(std::size(points) == point_count, "the timing loop goes through point_count points");', ""]
    table = []
    variables = ", ".join(f"{n} = values[{k}]" for k, n in enumerate(NAMES))
    for i, (label, tree) in enumerate(formulas(points)):
        assert finite_everywhere(tree, points), label
        usual = text(tree, USUAL)
        assert len(usual) <= MUPARSER_LONGEST, (label, len(usual))
        for kind, kept in (("written", False), ("kept", True)):
            lines += [f"[[gnu::noinline]] inline double {kind}_{i}(const double* values) {{",
                      f"    [[maybe_unused]] const double {variables};",
                      f"    return {cpp(tree, kept)};", "}", ""]
        columns = ", ".join(f"{n} = columns[{k}][p]" for k, n in enumerate(NAMES))
        lines += [f"[[gnu::noinline]] inline void bulk_kept_{i}(const double* const* columns, std::size_t n, double* results) {{",
                  "    for (std::size_t p = 0; p < n; ++p) {",
                  f"        [[maybe_unused]] const double {columns};",
                  f"        results[p] = {cpp(tree, True)};", "    }", "}", ""]
        table.append(f'    {{"{label}", "{text(tree, EXPRKIT)}", "{usual}", written_{i}, kept_{i}, bulk_kept_{i}}},')
    lines += ["inline constexpr Formula formulas[] = {"] + table + ["};", "", "}  // namespace peers", ""]
    return "\n".join(lines)


def main() -> None:
    draw = Draw(5)
    points = [{n: 0.5 + draw.rng.random() for n in NAMES} for _ in range(POINT_COUNT)]
    made = header(points)
    try:
        with open(sys.argv[1]) as old:
            if old.read() == made:
                return  # unchanged: the program need not be rebuilt for it
    except FileNotFoundError:
        pass
    with open(sys.argv[1], "w") as out:
        out.write(made)


if __name__ == "__main__":
    main()
