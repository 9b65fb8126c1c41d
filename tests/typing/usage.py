"""Typed use of the module, checked by mypy against the installed stub."""
import exprkit

f = exprkit.func("3x^2+sin(y)/2")
value: float = f.eval({"x": 2, "y": 1.5})
constant: float = exprkit.func(b"2*3").eval()
names: dict[str, float] = f.vars()
ok: bool = f.valid()

g = exprkit.func()
g.add_func("twice", lambda x: 2 * x)
g.add_func(b"gone", None)
g.init("twice(4)")
functions = g.avail_funcs()
sqrt = functions["sqrt"]
root: float = sqrt(4.0) if sqrt is not None else 0.0
print(value, constant, names, ok, g.eval(), root)
