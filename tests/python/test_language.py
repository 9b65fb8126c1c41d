"""The examples of docs/language.md and of the README's Language section, run: every value, every
error and every state after a failed parse as the documents give them."""
import ast
import pathlib
import re

import pytest

import exprkit

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", ROOT / "docs" / "language.md"]
# | ... | `text` | name=value, ... | `value or error` |
EXAMPLE = re.compile(r"\| `([^`]*)` \|([^|`]*)\| `([^`]*)` \|$")
# | `text outside the grammar` | `text of the grammar read alike` | name=value, ... | `value` |: the
# second text and its value are an EXAMPLE too
OUTSIDE = re.compile(r"^\| `([^`]*)` \| `([^`]*)` \|([^|`]*)\| `([^`]*)` \|$")
# | `old text` | `rejected text` | `vars()` | `eval({"x": 1})` | `eval({"x": 1, "y": 2})` |
FAILED_INIT = re.compile(r"^\| `([^`]*)` \| `([^`]*)` \| `([^`]*)` \| `([^`]*)` \| `([^`]*)` \|$")


def rows(pattern: re.Pattern[str], documents: list[pathlib.Path] = DOCUMENTS) -> list[tuple[str, ...]]:
    return [match.groups() for document in documents for line in document.read_text().splitlines()
            if (match := pattern.search(line))]


def text_of(cell: str) -> str | bytes:
    """A quoted cell is a Python expression of literals; any other is the text as written."""
    return eval(cell, {"__builtins__": {}}) if cell.startswith('"') else cell


def outcome(call) -> str:
    try:
        return repr(call())
    except (ValueError, IndexError) as error:
        return f"{type(error).__name__}: {error}"


def test_the_documents_have_their_examples():
    """Rows that the patterns no longer find would go untested."""
    assert [len(rows(EXAMPLE, [document])) >= 10 for document in DOCUMENTS] == [True, True]
    assert len(rows(FAILED_INIT)) >= 4
    assert len(rows(OUTSIDE)) >= 10


def evaluate(text: str, values: str) -> float:
    function = exprkit.func(text_of(text))
    if not values.strip():
        return function.eval()
    pairs = [pair.split("=") for pair in values.strip().strip("{}").split(", ") if pair]
    return function.eval({name: float(number) for name, number in pairs})


@pytest.mark.parametrize("text, values, expected", rows(EXAMPLE))
def test_example(text, values, expected, capfd):
    assert outcome(lambda: evaluate(text, values)) == expected


@pytest.mark.parametrize("text, read_as, values, expected", rows(OUTSIDE))
def test_text_outside_the_grammar(text, read_as, values, expected):
    assert outcome(lambda: evaluate(text, values)) == expected


@pytest.mark.parametrize("old, rejected, table, first, second", rows(FAILED_INIT))
def test_state_after_a_failed_init(old, rejected, table, first, second, capfd):
    function = exprkit.func(old)
    with pytest.raises(ValueError):
        function.init(text_of(rejected))
    assert function.valid() is True
    assert function.vars() == ast.literal_eval(table)
    assert (outcome(lambda: function.eval({"x": 1})), outcome(lambda: function.eval({"x": 1, "y": 2}))) == (first, second)


def test_unary_minus_is_a_replaceable_function():
    function = exprkit.func()
    assert "-" in function.avail_funcs()
    function.add_func("-", lambda v: v + 100)
    function.init("-2")
    assert function.eval() == 102.0
    function.init("3-2")
    assert function.eval() == 1.0
