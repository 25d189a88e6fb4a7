"""What quarvex_tools adds between arrays and the core, and what its node order saves in the solver.

Usage: python3 benchmarks/tools_setup.py [N] [M]   (defaults 55 and 30; needs pip install .)

Part 1, on the box mesh of N^3 cells (6 N^3 tetrahedra, about 10^6 for N = 55): mesh checks,
P2 numbering, degree-of-freedom numbering and the conversion into the core (nexus_from_arrays,
set_dof_arrays), each against the core's own set_solver.

Part 2, on a box of M^3 cells whose points are labelled at random: the time of one conjugate
gradient iteration (dominated by the sparse product) with the nodes numbered in the banded
order (the default, "bandwidth"), along the space-filling curve ("morton"), in the structured
mesh's natural order, and in the random order.
"""

import sys
import time
import warnings

import numpy as np

from quarvex_tools import Mesh, box_mesh, isotropic, number_dofs, p2_numbering, system
from quarvex_tools.numbering import core_arrays


def timed(action):
    start = time.perf_counter()
    result = action()
    return result, time.perf_counter() - start


def clamped(numbering):
    """Bottom face z = 0 fixed, as in the core's benchmarks."""
    fixed = np.zeros((numbering.n_nodes, 3), dtype=bool)
    fixed[numbering.node_points[:, 2] == 0.0] = True
    return fixed


def setup_table(n):
    box = box_mesh(n, n, n)
    points, tets = np.array(box.points), np.array(box.tetrahedra)
    mesh, t_mesh = timed(lambda: Mesh(points, tets))
    numbering, t_numbering = timed(lambda: p2_numbering(mesh))
    dofs, t_dofs = timed(lambda: number_dofs(numbering, clamped(numbering), np.zeros((numbering.n_nodes, 3))))
    nexus, t_nexus = timed(lambda: system.nexus_from_arrays(mesh.points, mesh.tetrahedra))
    _, t_set_dof = timed(lambda: system.set_dof_arrays(nexus, *core_arrays(numbering, dofs)))
    bc = dofs.bc.tolist()
    _, t_solver = timed(lambda: nexus.set_solver(dofs.n_free, bc))

    rows = [
        ("Mesh(points, tets): checks, orientation", t_mesh),
        ("p2_numbering: edges, node order", t_numbering),
        ("number_dofs", t_dofs),
        ("nexus_from_arrays", t_nexus),
        ("core_arrays + set_dof_arrays", t_set_dof),
    ]
    total = sum(t for _, t in rows)
    print(f"box mesh N = {n}: {len(tets)} tetrahedra, {numbering.n_nodes} nodes, {dofs.n_free} free unknowns")
    print(f"{'step':<42} {'seconds':>8} {'/ set_solver':>12}")
    for label, seconds in rows:
        print(f"{label:<42} {seconds:8.3f} {seconds / t_solver:12.2f}")
    print(f"{'package total':<42} {total:8.3f} {total / t_solver:12.2f}")
    print(f"{'core set_solver (reference)':<42} {t_solver:8.3f} {1.0:12.2f}")


def iteration_time(mesh, numbering, iterations=40, repeats=3):
    """Seconds per CG iteration on the assembled model (best of `repeats` runs of `iterations`)."""
    dofs = number_dofs(numbering, clamped(numbering), np.zeros((numbering.n_nodes, 3)))
    nexus = system.nexus_from_arrays(mesh.points, mesh.tetrahedra)
    system.set_dof_arrays(nexus, *core_arrays(numbering, dofs))
    nexus.set_cmat(isotropic(E=1.0, nu=0.3).matrix.tolist())
    nexus.set_solver(dofs.n_free, dofs.bc.tolist())
    nexus.assemble()
    system.set_load_vector(nexus, np.ones(dofs.n_free))
    best = float("inf")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # stopped by maxiter on purpose
        for _ in range(repeats):
            system.set_solution(nexus, np.zeros(dofs.n_free))
            _, seconds = timed(lambda: system.solve(nexus, rtol=0.0, maxiter=iterations))
            best = min(best, seconds / iterations)
    return best, dofs.n_free


def ordering_table(m):
    box = box_mesh(m, m, m)
    rng = np.random.default_rng(0)
    relabel = rng.permutation(len(box.points))
    points = np.empty_like(box.points)
    points[relabel] = box.points
    scrambled = Mesh(points, relabel[box.tetrahedra])
    cases = [
        ("banded order (random point labels)", scrambled, p2_numbering(scrambled, order="bandwidth")),
        ("morton order (random point labels)", scrambled, p2_numbering(scrambled, order="morton")),
        ("natural order of the structured mesh", box, p2_numbering(box, order="given")),
        ("random point labels, given order", scrambled, p2_numbering(scrambled, order="given")),
    ]
    print(f"\nbox mesh M = {m} ({len(box.tetrahedra)} tetrahedra), one CG iteration:")
    print(f"{'node order':<40} {'ms/iteration':>12} {'/ banded':>9}")
    reference = None
    for label, mesh, numbering in cases:
        seconds, n_free = iteration_time(mesh, numbering)
        reference = reference or seconds
        print(f"{label:<40} {1e3 * seconds:12.2f} {seconds / reference:9.2f}")
    print(f"({n_free} free unknowns, {system.worker_count()} workers)")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 55
    m = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    setup_table(n)
    ordering_table(m)


if __name__ == "__main__":
    main()
