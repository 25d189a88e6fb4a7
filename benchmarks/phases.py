"""Time every phase of an analysis on the structured unit cube, from Python.

Usage: python3 benchmarks/phases.py [N ...]   (default 10 20 30)
Run it with QUARVEX_NUM_THREADS=1 and =2 to see the scaling; the matrix-vector product
and one conjugate-gradient iteration are timed in C++ by system_bench.

The model, shared with interrupt_latency.py, system_access.py and large_model.py: the unit cube
of N^3 cells of six tetrahedra (box_mesh), E = 1, nu = 0.3, one face clamped, under the body
force (0, 0, -1), numbered by quarvex_tools in its default (banded) order.
"""

import os
import sys
import time

import numpy as np

import quarvex
from quarvex_tools import Dofs, Mesh, Numbering, box_mesh, isotropic, number_dofs, p2_numbering
from quarvex_tools.core_inputs import build_core_inputs

MATERIAL = isotropic(E=1.0, nu=0.3).matrix.tolist()  # as set_cmat takes it


def clamped_cube(n: int, axis: int = 2) -> tuple[Mesh, Numbering, Dofs]:
    """The unit cube of n^3 cells with its face where coordinate `axis` is 0 clamped."""
    mesh = box_mesh(n, n, n)
    numbering = p2_numbering(mesh)
    fixed = np.zeros((numbering.n_nodes, 3), dtype=bool)
    fixed[numbering.node_points[:, axis] == 0.0] = True
    return mesh, numbering, number_dofs(numbering, fixed, np.zeros((numbering.n_nodes, 3)))


def set_gravity(model: quarvex.Nexus) -> None:
    """Load group 0 (every element) carries the body force (0, 0, -1)."""
    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()
    model.set_f(0, set(), arena, [arena.new_cst(0.0), arena.new_cst(0.0), arena.new_cst(-1.0)])


def best_of(repeats, action):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def run(n):
    pts, tets, ver_dof, edge_dof, pos_dof, bc = build_core_inputs(*clamped_cube(n))
    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()
    exact = [arena.new_cst(0.0)] * 3

    model = quarvex.Nexus(pts, tets)
    t_dof = best_of(1, lambda: model.set_dof(ver_dof, edge_dof))
    model.set_cmat(MATERIAL)
    set_gravity(model)
    t_solver = best_of(3, lambda: model.set_solver(pos_dof, bc))

    def assemble_once():
        model.nullify()
        model.assemble()

    t_nullify = best_of(3, model.nullify)
    t_assemble = best_of(3, assemble_once) - t_nullify
    t_solve = best_of(1, lambda: model.solve(1e-8))
    t_plot = best_of(3, model.plot_disp)
    t_error = best_of(3, lambda: model.error(arena, exact))
    return len(tets), pos_dof, [t_dof, t_solver, t_assemble, t_solve, t_plot, t_error]


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [10, 20, 30]
    workers = os.environ.get("QUARVEX_NUM_THREADS", "all")
    print(f"workers: {workers}")
    header = (
        f"{'N':>3} {'elements':>9} {'dofs':>9} {'set_dof':>9} {'set_solver':>10} {'assemble':>9} "
        f"{'elem/s':>10} {'solve':>9} {'plot_disp':>9} {'error':>9}"
    )
    print(header)
    for n in sizes:
        elements, dofs, (t_dof, t_solver, t_assemble, t_solve, t_plot, t_error) = run(n)
        print(
            f"{n:>3} {elements:>9} {dofs:>9} {t_dof:>9.4f} {t_solver:>10.4f} {t_assemble:>9.4f} "
            f"{elements / t_assemble:>10.0f} {t_solve:>9.3f} {t_plot:>9.4f} {t_error:>9.4f}"
        )


if __name__ == "__main__":
    main()
