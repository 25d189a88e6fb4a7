"""Repeated calls, succeeding and failing, neither leak references nor grow memory."""

import os

import pytest
from helpers import assert_no_leak

import quarvex

# A sanitizer's allocator keeps freed memory in quarantine, so resident memory says nothing there.
pytestmark = pytest.mark.skipif(bool(os.environ.get("QUARVEX_SANITIZED")), reason="resident memory under a sanitizer")

CALLS = 100_000
PTS = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]
TETS = [(0, 1, 2, 3)]


def model_with_system():
    model = quarvex.Nexus(PTS, TETS)
    model.set_dof({v: (3 * v, 3) for v in range(4)}, {})
    model.set_solver(12, [0.0])
    return model


ARENA = quarvex.Arena()
for _ in range(3):
    ARENA.new_var()
ARENA.new_cst(0.0)
MODEL = model_with_system()
CMAT = [[float(i == j) for j in range(9)] for i in range(9)]
VER_DOF = {v: (3 * v, 3) for v in range(4)}
TET_SET = {(0, 1, 2, 3)}
NODES = [3, 3, 3]
BC = [0.0]

CASES = {
    "arena_new_cst": lambda: quarvex.Arena().new_cst(1.0),
    "arena_add": lambda: quarvex.Arena().add(0, 1),
    "arena_bad_type": lambda: ARENA.add(1.5, 0),
    "arena_overflow": lambda: ARENA.add(-1, 0),
    "arena_binding": lambda: ARENA.add(0, arg0=1),
    "nexus_new": lambda: quarvex.Nexus(PTS, TETS),
    "nexus_bad_index": lambda: quarvex.Nexus(PTS, [(0, 1, 2, 9)]),
    "nexus_bad_tuple": lambda: quarvex.Nexus([[0.0, 0.0, 0.0]], TETS),
    "set_cmat": lambda: MODEL.set_cmat(CMAT),
    "set_cmat_short": lambda: MODEL.set_cmat(CMAT[:3]),
    "set_f": lambda: MODEL.set_f(1, TET_SET, ARENA, NODES),
    "set_f_bad_set": lambda: MODEL.set_f(1, [(0, 1, 2, 3)], ARENA, NODES),
    "set_dof_bad": lambda: MODEL.set_dof({0: (1, 2, 3)}, {}),
    "set_solver": lambda: MODEL.set_solver(12, BC),
    "set_solver_bad": lambda: MODEL.set_solver(11, BC),
    "plot_dom": lambda: MODEL.plot_dom(),
    "plot_disp": lambda: MODEL.plot_disp(),
    "error": lambda: MODEL.error(ARENA, NODES),
    "error_short_nodes": lambda: MODEL.error(ARENA, NODES[:2]),
    "solve": lambda: MODEL.solve(1e-8),
    "nullify": lambda: MODEL.nullify(),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name):
    watched = [ARENA, MODEL, CMAT, VER_DOF, TET_SET, NODES, BC, PTS, TETS]
    assert_no_leak(name, CASES[name], watched, 2_000, CALLS)
