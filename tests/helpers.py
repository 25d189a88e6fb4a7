"""Small builders shared by the end-to-end tests.

Meshes, numberings and materials come from quarvex_tools; the tests of the core's own interface
take them in its list and dictionary forms (`CoreInputs`).
"""

import importlib.util
import sys
from pathlib import Path

import numpy as np

import quarvex
from quarvex_tools import box_mesh, isotropic, number_dofs, p2_numbering
from quarvex_tools.core_inputs import CoreInputs, build_core_inputs
from quarvex_tools.numbering import EDGE_ORDER

UNIT_PTS = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]
# The core's local edge order, as pairs of local vertices.
EDGES = [(a, b) for a, b in EDGE_ORDER.tolist()]


def benchmark_module(name):
    """The script benchmarks/<name>.py as a module: tests share the benchmarks' model builders."""
    if name not in sys.modules:
        folder = Path(__file__).resolve().parents[1] / "benchmarks"
        if str(folder) not in sys.path:
            sys.path.append(str(folder))  # the benchmarks import their siblings, as when run as scripts
        path = folder / f"{name}.py"
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module  # dataclasses look their module up
        spec.loader.exec_module(module)
    return sys.modules[name]


def panic_text(call):
    """Runs call, which must fail with PanicException, and returns the failure text."""
    try:
        call()
    except Exception as exc:  # noqa: BLE001
        raise AssertionError(f"expected PanicException, got {exc!r}") from exc
    except BaseException as exc:  # noqa: BLE001
        assert type(exc).__name__ == "PanicException", repr(exc)
        return exc.args[0]
    raise AssertionError("no failure raised")


class Expr:
    """Builds arena expressions with Python operators: Expr(arena, node)."""

    def __init__(self, arena, node):
        self.arena, self.node = arena, node

    def _wrap(self, node):
        return Expr(self.arena, node)

    def _other(self, other):
        return other.node if isinstance(other, Expr) else None

    def __add__(self, other):
        node = self._other(other)
        return self._wrap(self.arena.add(self.node, node) if node is not None else self.arena.add_f64(self.node, other))

    def __radd__(self, other):
        return self._wrap(self.arena.rev_add_f64(other, self.node))

    def __sub__(self, other):
        node = self._other(other)
        return self._wrap(self.arena.sub(self.node, node) if node is not None else self.arena.sub_f64(self.node, other))

    def __rsub__(self, other):
        return self._wrap(self.arena.rev_sub_f64(other, self.node))

    def __mul__(self, other):
        node = self._other(other)
        return self._wrap(self.arena.mul(self.node, node) if node is not None else self.arena.mul_f64(self.node, other))

    def __rmul__(self, other):
        return self._wrap(self.arena.rev_mul_f64(other, self.node))

    def __truediv__(self, other):
        node = self._other(other)
        return self._wrap(self.arena.div(self.node, node) if node is not None else self.arena.div_f64(self.node, other))

    def __rtruediv__(self, other):
        return self._wrap(self.arena.rev_div_f64(other, self.node))

    def __neg__(self):
        return self._wrap(self.arena.neg(self.node))

    def __pow__(self, exponent):
        return self._wrap(self.arena.pow(self.node, exponent))

    def sin(self):
        return self._wrap(self.arena.sin(self.node))

    def cos(self):
        return self._wrap(self.arena.cos(self.node))

    def exp(self):
        return self._wrap(self.arena.exp(self.node))


def coordinates(arena):
    """x, y, z as expressions: nodes 0, 1, 2 of a fresh arena."""
    return tuple(Expr(arena, arena.new_var()) for _ in range(3))


def constant(arena, value):
    return Expr(arena, arena.new_cst(value))


def isotropic_cmat(young, poisson):
    """The 9 x 9 material matrix of an isotropic solid, as the nested lists set_cmat takes."""
    return isotropic(E=young, nu=poisson).matrix.tolist()


def prescribed_nodes(node_points, prescribed):
    """(fixed (k, 3) bool, values (k, 3) float) of the nodes at `node_points` (k, 3).

    `prescribed(point)` returns the displacement (ux, uy, uz) of a node whose values are given,
    or None for a free node; `point` is a tuple of three floats.
    """
    fixed = np.zeros(node_points.shape, dtype=bool)
    values = np.zeros(node_points.shape)
    if prescribed is not None:
        for node, point in enumerate(node_points.tolist()):
            given = prescribed(tuple(point))
            if given is not None:
                fixed[node] = True
                values[node] = given
    return fixed, values


def numbered(mesh, prescribed=None) -> CoreInputs:
    """The core's inputs of a mesh, its nodes numbered in mesh order (points, then edges) and
    prescribed where `prescribed(point)` gives their values (see prescribed_nodes)."""
    numbering = p2_numbering(mesh, order="given")
    fixed, values = prescribed_nodes(numbering.node_points, prescribed)
    return build_core_inputs(mesh, numbering, number_dofs(numbering, fixed, values))


def numbered_box(cells, size=(1.0, 1.0, 1.0), prescribed=None) -> CoreInputs:
    """The core's inputs of box_mesh(*cells, size=size), numbered by `numbered`."""
    return numbered(box_mesh(*cells, size=size), prescribed)


def cube_model(n, cmat, prescribed=None, load=None):
    """The unit cube of n^3 cells with P2 numbering; `load` = (arena, nodes) for group 0."""
    pts, tets, ver_dof, edge_dof, pos_dof, bc = numbered_box((n, n, n), prescribed=prescribed)
    model = quarvex.Nexus(pts, tets)
    model.set_dof(ver_dof, edge_dof)
    model.set_cmat(cmat)
    if load is not None:
        model.set_f(0, set(), *load)
    model.set_solver(pos_dof, bc)
    return model, pts, tets, pos_dof


def rss_kib():
    """The process's resident memory in KiB."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4


def assert_no_leak(name, call, watched, warm_up, calls):
    """Runs `call` (failing or not) warm_up times, then `calls` times: the reference counts of
    `watched` must come back unchanged and resident memory grow by less than 4 MiB."""

    def run(count):
        for _ in range(count):
            try:
                call()
            except BaseException:  # noqa: BLE001 - failing calls are part of the check
                pass

    run(warm_up)
    refs = [sys.getrefcount(obj) for obj in watched]
    before = rss_kib()
    run(calls)
    grown = rss_kib() - before
    assert [sys.getrefcount(obj) for obj in watched] == refs
    assert grown < 4096, f"{name}: resident memory grew by {grown} KiB over {calls} calls"
