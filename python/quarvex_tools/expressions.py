"""Expressions of position written with Python operators, turned into `Arena` nodes.

`x, y, z` are the coordinates; `sin(x) * y + 2` builds an expression tree that can be
evaluated on points with numpy (`expr(points)`) or written into an `Arena` for the core's
body loads and error measure (`to_arena`). Equal subtrees become one arena node.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Union

import numpy as np

import quarvex

Number = int | float
ExprLike = Union["Expr", int, float]  # noqa: UP007 (a forward reference: `|` cannot join a string)

# Operation -> numpy evaluation of its operand values (constants are folded in `_binary`).
_NUMPY: dict[str, Callable[..., np.ndarray]] = {
    "add": np.add,
    "sub": np.subtract,
    "mul": np.multiply,
    "div": np.divide,
    "neg": np.negative,
    "sin": np.sin,
    "cos": np.cos,
    "exp": np.exp,
    "log": np.log,
}


class Expr:
    """A scalar expression of position (x, y, z).

    Build one from `x`, `y`, `z`, numbers, the operators + - * / ** and the functions `sin`,
    `cos`, `exp`, `log`, `sqrt`. Powers with an integer exponent map to the arena's integer
    power; other exponents are written exp(p log(base)) and need a positive base.
    """

    __slots__ = ("op", "args")

    def __init__(self, op: str, args: tuple) -> None:
        self.op = op
        self.args = args

    def __repr__(self) -> str:
        if self.op == "var":
            return "xyz"[self.args[0]]
        if self.op == "const":
            return repr(self.args[0])
        symbols = {"add": "+", "sub": "-", "mul": "*", "div": "/"}
        if self.op in symbols:
            return f"({self.args[0]!r} {symbols[self.op]} {self.args[1]!r})"
        if self.op == "pow":
            return f"({self.args[0]!r} ** {self.args[1]!r})"
        if self.op == "neg":
            return f"(-{self.args[0]!r})"
        return f"{self.op}({self.args[0]!r})"

    # Arithmetic -----------------------------------------------------------------
    def __add__(self, other: ExprLike) -> Expr:
        return _binary("add", self, other)

    def __radd__(self, other: ExprLike) -> Expr:
        return _binary("add", other, self)

    def __sub__(self, other: ExprLike) -> Expr:
        return _binary("sub", self, other)

    def __rsub__(self, other: ExprLike) -> Expr:
        return _binary("sub", other, self)

    def __mul__(self, other: ExprLike) -> Expr:
        return _binary("mul", self, other)

    def __rmul__(self, other: ExprLike) -> Expr:
        return _binary("mul", other, self)

    def __truediv__(self, other: ExprLike) -> Expr:
        return _binary("div", self, other)

    def __rtruediv__(self, other: ExprLike) -> Expr:
        return _binary("div", other, self)

    def __neg__(self) -> Expr:
        return Expr("neg", (self,))

    def __pos__(self) -> Expr:
        return self

    def __pow__(self, exponent: Number) -> Expr:
        if isinstance(exponent, Expr):
            raise TypeError("the exponent of ** must be a number")
        exponent = float(exponent)
        if exponent.is_integer() and abs(exponent) < 2**31:
            return Expr("pow", (self, exponent))
        return exp(exponent * log(self))

    def __bool__(self) -> bool:
        raise TypeError("an expression has no truth value; compare values after evaluating it")

    # Evaluation -------------------------------------------------------------------
    def __call__(self, points: np.ndarray) -> np.ndarray:
        """Values at points.

        Parameters
        ----------
        points : (n, 3) float

        Returns
        -------
        (n,) float64
        """
        points = np.asarray(points, dtype=np.float64)
        cache: dict[Expr, np.ndarray | np.float64] = {}
        return np.broadcast_to(self._evaluate(points, cache), (len(points),)).astype(np.float64)

    def _evaluate(self, points: np.ndarray, cache: dict) -> np.ndarray | np.float64:
        """Values at the points: an array, or one number where the subtree holds no variable."""
        hit = cache.get(self)
        if hit is not None:
            return hit
        value: np.ndarray | np.float64
        if self.op == "var":
            value = points[:, self.args[0]]
        elif self.op == "const":
            value = np.float64(self.args[0])
        elif self.op == "pow":
            base = self.args[0]._evaluate(points, cache)
            power = int(self.args[1])
            value = np.power(base, power) if power >= 0 else 1.0 / np.power(base, -power)
        else:
            value = _NUMPY[self.op](*(a._evaluate(points, cache) for a in self.args))
        cache[self] = value
        return value

    def to_arena(self, arena: quarvex.Arena, nodes: dict | None = None) -> int:
        """Writes this expression into `arena` and returns its node id.

        The arena's nodes 0, 1, 2 must be the variables x, y, z (see `new_arena`). `nodes`
        maps already written subexpressions to their ids, so shared subtrees are written once.
        """
        nodes = {} if nodes is None else nodes
        found = nodes.get(self)
        if found is not None:
            return found
        if self.op == "var":
            node = self.args[0]
        elif self.op == "const":
            node = arena.new_cst(self.args[0])
        elif self.op == "pow":
            node = arena.pow(self.args[0].to_arena(arena, nodes), self.args[1])
        elif self.op in ("add", "sub", "mul", "div"):
            left, right = self.args
            if right.op == "const" and self.op != "div":
                method = {"add": arena.add_f64, "sub": arena.sub_f64, "mul": arena.mul_f64}[self.op]
                node = method(left.to_arena(arena, nodes), right.args[0])
            elif left.op == "const":
                method = {
                    "add": arena.rev_add_f64,
                    "sub": arena.rev_sub_f64,
                    "mul": arena.rev_mul_f64,
                    "div": arena.rev_div_f64,
                }[self.op]
                node = method(left.args[0], right.to_arena(arena, nodes))
            else:
                method = {"add": arena.add, "sub": arena.sub, "mul": arena.mul, "div": arena.div}[self.op]
                node = method(left.to_arena(arena, nodes), right.to_arena(arena, nodes))
        else:
            method = {"neg": arena.neg, "sin": arena.sin, "cos": arena.cos, "exp": arena.exp, "log": arena.ln}[self.op]
            node = method(self.args[0].to_arena(arena, nodes))
        nodes[self] = node
        return node


def _as_expr(value: ExprLike) -> Expr:
    if isinstance(value, Expr):
        return value
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("a boolean is not an expression")
    if isinstance(value, (int, float, np.integer, np.floating)):
        return constant(float(value))
    raise TypeError(f"cannot use {type(value).__name__} in an expression")


def _binary(op: str, left: ExprLike, right: ExprLike) -> Expr:
    left, right = _as_expr(left), _as_expr(right)
    if left.op == "const" and right.op == "const":
        return constant(float(_NUMPY[op](left.args[0], right.args[0])))
    if op == "add" and left.op == "const" and left.args[0] == 0.0:
        return right
    if op in ("add", "sub") and right.op == "const" and right.args[0] == 0.0:
        return left
    if op == "div" and right.op == "const":
        # Division by a number is a scaling: the arena stores the reciprocal once.
        return Expr("mul", (left, constant(1.0 / right.args[0]) if right.args[0] != 0 else constant(math.inf)))
    return Expr(op, (left, right))


def constant(value: Number) -> Expr:
    """The constant expression `value`."""
    return Expr("const", (float(value),))


x: Expr = Expr("var", (0,))
"""The x coordinate."""
y: Expr = Expr("var", (1,))
"""The y coordinate."""
z: Expr = Expr("var", (2,))
"""The z coordinate."""


def _unary(op: str, value: ExprLike) -> Expr:
    value = _as_expr(value)
    if value.op == "const":
        return constant(float(_NUMPY[op](value.args[0])))
    return Expr(op, (value,))


def sin(value: ExprLike) -> Expr:
    """sin of an expression."""
    return _unary("sin", value)


def cos(value: ExprLike) -> Expr:
    """cos of an expression."""
    return _unary("cos", value)


def exp(value: ExprLike) -> Expr:
    """e to the power of an expression."""
    return _unary("exp", value)


def log(value: ExprLike) -> Expr:
    """Natural logarithm of an expression."""
    return _unary("log", value)


def sqrt(value: ExprLike) -> Expr:
    """Square root of an expression (written exp(log(v) / 2): the value must be positive)."""
    return _as_expr(value) ** 0.5


def new_arena() -> quarvex.Arena:
    """A fresh `Arena` whose nodes 0, 1, 2 are the variables x, y, z."""
    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()
    return arena


def to_arena(components: Sequence[ExprLike], arena: quarvex.Arena | None = None) -> tuple[quarvex.Arena, list[int]]:
    """Writes expressions into an arena (a new one unless given) and returns it with their node ids.

    Parameters
    ----------
    components : sequence of Expr or numbers
        Usually the three components of a vector field.
    arena : Arena, optional
        An arena whose nodes 0, 1, 2 are x, y, z.

    Returns
    -------
    (Arena, list of int)
    """
    arena = new_arena() if arena is None else arena
    written: dict[Expr, int] = {}
    return arena, [_as_expr(c).to_arena(arena, written) for c in components]


def vector_field(value: object, name: str) -> tuple[Expr, Expr, Expr]:
    """Three expressions from a number (the same for all components), or three numbers or Exprs."""
    if isinstance(value, (Expr, int, float, np.integer, np.floating)) and not isinstance(value, bool):
        raise ValueError(f"{name} must have three components (x, y, z), got one value")
    try:
        items = list(value)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{name} must be a sequence of three numbers or expressions") from None
    if len(items) != 3:
        raise ValueError(f"{name} must have three components (x, y, z), got {len(items)}")
    return tuple(_as_expr(v) for v in items)  # type: ignore[return-value]
