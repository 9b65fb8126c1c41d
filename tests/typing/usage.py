"""Typed use of the module, checked by mypy against the installed stub (mypy must accept every line)
and run by tests/python/test_stub.py (each call must work)."""
import math
from decimal import Decimal
from fractions import Fraction

import exprkit


class Values(dict[str, float]):
    pass


f = exprkit.func("3x^2+sin(y)/2")
value: float = f.eval({"x": 2, "y": 1.5})
constant: float = exprkit.func(b"2*3").eval()
names: dict[str, float] = f.vars()
ok: bool = f.valid()

# Whatever dict a caller has: the stub must not ask for dict[str, float] exactly.
ints: dict[str, int] = {"x": 2, "y": 1}
flags: dict[bytes, bool] = {b"x": True, b"y": False}
exact: dict[str, Decimal] = {"x": Decimal("0.5"), "y": Decimal(1)}
both: dict[str | bytes, float] = {"x": 1.0, b"y": 2.0}
results = [f.eval(ints), f.eval(flags), f.eval(exact), f.eval(both), f.eval(Values(x=1.0, y=2.0)),
           f.eval({"x": Fraction(1, 2), b"y": 1}), exprkit.func("2").eval({})]

g = exprkit.func()
g.add_func("twice", lambda x: 2 * x)
g.add_func(bytearray(b"positive"), lambda x: x > 0)
g.add_func("floor", math.floor)
g.add_func(b"gone", None)
g.init(bytearray(b"twice(4)+positive(1)+floor(2.5)"))
functions = g.avail_funcs()
sqrt = functions["sqrt"]
root: float = sqrt(4.0) if sqrt is not None else 0.0
assert (value, constant, names, ok, g.eval(), root) == (12.498747493302027, 6.0, {"x": 2.0, "y": 1.5}, True, 11.0, 2.0)
assert results == [12.420735492403947, 3.0, 1.1707354924039484, 3.454648713412841, 3.454648713412841,
                   1.1707354924039484, 2.0]
