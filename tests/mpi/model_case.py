"""The model the MPI tests solve, built alike by the ranks and by the serial reference.

A box of 4 x 2 x 2 cells, 2 x 1 x 1 long, clamped at x = 0, its end x = 2 pulled and sheared
by prescribed values that vary over the face, under a body force that varies with position.
The "shuffled" mesh renumbers the vertices and the elements at random and lists every
element's vertices in an even permutation, so edges appear in both orders and no part is a
block of consecutive numbers.
"""

import numpy as np

import quarvex
from quarvex_tools import box_mesh, isotropic

CELLS = (4, 2, 2)
SIZE = (2.0, 1.0, 1.0)
CMAT = isotropic(E=1.0, nu=0.3).matrix.tolist()

# The twelve even permutations of four vertices keep an element's orientation.
EVEN = [
    p
    for p in __import__("itertools").permutations(range(4))
    if sum(p[i] > p[j] for i in range(4) for j in range(i + 1, 4)) % 2 == 0
]


def mesh(kind):
    """(points (n, 3), tetrahedra (m, 4)) of the "box" or the "shuffled" mesh."""
    box = box_mesh(*CELLS, size=SIZE)
    points, tetrahedra = np.array(box.points), np.array(box.tetrahedra)
    if kind == "box":
        return points, tetrahedra
    rng = np.random.default_rng(7)
    relabel = rng.permutation(len(points))  # old vertex v becomes relabel[v]
    shuffled = np.empty_like(points)
    shuffled[relabel] = points
    tetrahedra = relabel[tetrahedra][rng.permutation(len(tetrahedra))]
    choice = rng.integers(len(EVEN), size=len(tetrahedra))
    tetrahedra = np.take_along_axis(tetrahedra, np.array(EVEN)[choice], axis=1)
    return shuffled, tetrahedra


def fixed(x):
    """(mask, values) over node coordinates x (k, 3): clamped at x = 0, moved at x = 2."""
    clamped = x[:, 0] == 0.0
    moved = x[:, 0] == SIZE[0]
    values = np.zeros_like(x)
    values[moved, 0] = 0.01 * (1.0 + x[moved, 1])
    values[moved, 2] = -0.02 * x[moved, 2]
    return clamped | moved, values


def body_force():
    """(arena, nodes) of f = (0.1 y, 0, -1 - x z)."""
    arena = quarvex.Arena()
    x, y, z = (arena.new_var() for _ in range(3))
    xz = arena.mul(x, z)
    return arena, [arena.mul_f64(y, 0.1), arena.new_cst(0.0), arena.rev_sub_f64(-1.0, xz)]
