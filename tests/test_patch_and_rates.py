"""End to end: the discrete solution reproduces quadratic fields and converges at order 3."""

import math
import os
import subprocess
import sys

import pytest
from helpers import constant, coordinates, cube_model, isotropic_cmat

import quarvex

YOUNG, POISSON = 1.0, 0.3
LAM = YOUNG * POISSON / ((1 + POISSON) * (1 - 2 * POISSON))
MU = YOUNG / (2 * (1 + POISSON))
CMAT = isotropic_cmat(YOUNG, POISSON)


def on_boundary(p):
    return any(c == 0.0 or c == 1.0 for c in p)


# u = (x^2 + yz, xy - z^2, xz + y^2): div u = 4x, laplacian u = (2, -2, 2), so
# f = -div sigma = -(lam + mu) grad(div u) - mu laplacian(u) is constant.
def quadratic_field(p):
    x, y, z = p
    return (x * x + y * z, x * y - z * z, x * z + y * y)


QUADRATIC_LOAD = (-4 * (LAM + MU) - 2 * MU, 2 * MU, -2 * MU)


def quadratic_exact(arena):
    x, y, z = coordinates(arena)
    return [(x * x + y * z).node, (x * y - z * z).node, (x * z + y * y).node]


@pytest.mark.parametrize("n", [1, 2])
def test_patch_quadratic_field_is_reproduced(n):
    load = quarvex.Arena()
    coordinates(load)
    load_nodes = [constant(load, value).node for value in QUADRATIC_LOAD]
    model, *_ = cube_model(n, CMAT, lambda p: quadratic_field(p) if on_boundary(p) else None, (load, load_nodes))
    model.assemble()
    model.solve(1e-13)
    exact = quarvex.Arena()
    err = model.error(exact, quadratic_exact(exact))
    assert err < 1e-8, f"patch test error {err:.3e}"


# u = (s, 0, 0) with s = sin(pi x) sin(pi y) sin(pi z), zero on the boundary of the cube.
def smooth_problem(arena):
    x, y, z = coordinates(arena)
    sx, sy, sz = (x * math.pi).sin(), (y * math.pi).sin(), (z * math.pi).sin()
    cx, cy, cz = (x * math.pi).cos(), (y * math.pi).cos(), (z * math.pi).cos()
    pi2 = math.pi**2
    load = [
        (sx * sy * sz * (pi2 * (LAM + 4 * MU))).node,
        (cx * cy * sz * (-pi2 * (LAM + MU))).node,
        (cx * sy * cz * (-pi2 * (LAM + MU))).node,
    ]
    zero = constant(arena, 0.0).node
    exact = [(sx * sy * sz).node, zero, zero]
    return load, exact


def smooth_error(n):
    arena = quarvex.Arena()
    load, exact = smooth_problem(arena)
    model, *_ = cube_model(n, CMAT, lambda p: (0.0, 0.0, 0.0) if on_boundary(p) else None, (arena, load))
    model.assemble()
    model.solve(1e-12)
    return model.error(arena, exact)


def test_l2_rate_is_three():
    errors = [smooth_error(n) for n in (2, 4, 8)]
    rates = [math.log2(errors[i] / errors[i + 1]) for i in range(2)]
    assert 2.6 < rates[0] < 3.6 and 2.8 < rates[1] < 3.3, f"errors {errors}, observed L2 rates {rates}"


SCRIPT = """
import sys
sys.path[:0] = {paths!r}
import quarvex
from helpers import cube_model, isotropic_cmat
arena = quarvex.Arena()
for _ in range(3):
    arena.new_var()
load = [arena.new_cst(0.0), arena.new_cst(0.5), arena.new_cst(-1.0)]
model, *_ = cube_model(3, isotropic_cmat(1.0, 0.3), lambda p: (0.0, 0.0, 0.0) if p[2] == 0.0 else None, (arena, load))
model.assemble()
model.solve(1e-12)
for key, points in sorted(model.plot_disp().items()):
    print(key, *(repr(c) for point in points for c in point))
"""


def run_with_workers(workers):
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, QUARVEX_NUM_THREADS=str(workers))
    out = subprocess.run(
        [sys.executable, "-c", SCRIPT.format(paths=[here])], env=env, check=True, capture_output=True, text=True
    ).stdout
    return [[float(v) for v in line.split(") ")[1].split()] for line in out.splitlines()]


def test_solution_does_not_depend_on_worker_count():
    one, two, four = run_with_workers(1), run_with_workers(2), run_with_workers(4)
    assert one == run_with_workers(1), "a single worker must be reproducible bit for bit"
    for other in (two, four):
        assert len(other) == len(one)
        worst = max(
            abs(a - b) for row_a, row_b in zip(one, other, strict=False) for a, b in zip(row_a, row_b, strict=False)
        )
        assert worst < 1e-9, f"solutions differ by {worst}"
