"""Hand the assembled system of the unit cube to other solvers and write their answer back.

The cube [0, 1]^3 of N^3 cells (six quadratic tetrahedra each) is clamped at z = 0 and
loaded by its own weight. The script exports the free-free stiffness matrix (scipy CSR) and
the load vector, solves with scipy's conjugate gradients and with pyamg's smoothed
aggregation (the six rigid-body modes as near null space, CG acceleration), writes pyamg's
solution back into the model, and compares all of them with the model's own solve.

Usage: python3 examples/export_system.py [N]   (default 12; pyamg: pip install pyamg)
"""

import os
import sys
import time

# The vector operations of scipy's and pyamg's iterations are far too small for BLAS threads,
# which busy-wait between calls and, on a machine with few or busy cores, slow them down many
# times over (scipy's cg at N = 8: 0.28 s with one BLAS thread, 1 to 5 s with the default).
for _variable in ("OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import numpy as np  # noqa: E402

import quarvex  # noqa: E402
from quarvex_tools import box_mesh, isotropic, number_dofs, p2_numbering, system  # noqa: E402
from quarvex_tools.numbering import core_arrays  # noqa: E402

RTOL = 1e-8


def free_node_coordinates(numbering, dofs):
    """Row i: the position of the node whose x, y, z unknowns are 3i, 3i + 1, 3i + 2."""
    coords = np.empty((dofs.n_free // 3, 3))
    free = dofs.node_start >= 0
    coords[dofs.node_start[free] // 3] = numbering.node_points[free]
    return coords


def rigid_body_modes(coords):
    """(3 p, 6): the three translations and the three rotations x -> e_k x x at p nodes."""
    modes = np.zeros((3 * coords.shape[0], 6))
    for component in range(3):
        modes[component::3, component] = 1.0
    x, y, z = coords.T
    modes[0::3, 3], modes[1::3, 3] = -y, x  # about z
    modes[1::3, 4], modes[2::3, 4] = -z, y  # about x
    modes[0::3, 5], modes[2::3, 5] = z, -x  # about y
    return modes


def build(n):
    mesh = box_mesh(n, n, n)
    numbering = p2_numbering(mesh)
    clamped = np.zeros((numbering.n_nodes, 3), dtype=bool)
    clamped[numbering.node_points[:, 2] == 0.0] = True  # whole nodes: they get the core's negative numbers
    dofs = number_dofs(numbering, clamped, np.zeros((numbering.n_nodes, 3)))
    model = system.nexus_from_arrays(mesh.points, mesh.tetrahedra)
    system.set_dof_arrays(model, *core_arrays(numbering, dofs))
    model.set_cmat(isotropic(E=1.0, nu=0.3).matrix.tolist())
    weight = quarvex.Arena()
    for _ in range(3):
        weight.new_var()
    model.set_f(0, set(), weight, [weight.new_cst(0.0), weight.new_cst(0.0), weight.new_cst(-1.0)])
    model.set_solver(dofs.n_free, dofs.bc.tolist())
    model.assemble()
    return model, free_node_coordinates(numbering, dofs)


def timed(action):
    start = time.perf_counter()
    result = action()
    return result, time.perf_counter() - start


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 12
    model, coords = build(n)
    (matrix, load), t_export = timed(lambda: (system.stiffness_matrix(model), system.load_vector(model)))
    print(f"unit cube, N = {n}: {matrix.shape[0]} unknowns, {matrix.nnz} stored values, exported in {t_export:.3f} s")

    def relative_residual(x):
        return np.linalg.norm(load - matrix @ x) / np.linalg.norm(load)

    rows = []
    report, t_core = timed(lambda: system.solve(model, rtol=RTOL))
    core = system.solution(model)
    rows.append(("quarvex solve (CG)", report.iterations, t_core, relative_residual(core)))

    from scipy.sparse.linalg import cg

    steps = []
    (scipy_x, info), t_scipy = timed(
        lambda: cg(matrix, load, rtol=RTOL, maxiter=10 * load.size, callback=lambda _: steps.append(1))
    )
    rows.append(("scipy cg", len(steps), t_scipy, relative_residual(scipy_x)))

    try:
        import pyamg
    except ImportError:
        pyamg = None
        print("pyamg is not installed (pip install pyamg): skipping smoothed aggregation")
    if pyamg is not None:
        # Unknowns in 3 x 3 blocks (one node each), so aggregates keep a node's components together.
        hierarchy, t_setup = timed(
            lambda: pyamg.smoothed_aggregation_solver(
                matrix.tobsr(blocksize=(3, 3)), B=rigid_body_modes(coords), coarse_solver="splu"
            )
        )
        residuals = []
        amg_x, t_solve = timed(lambda: hierarchy.solve(load, tol=RTOL, accel="cg", maxiter=500, residuals=residuals))
        rows.append(("pyamg SA + CG (setup + solve)", len(residuals) - 1, t_setup + t_solve, relative_residual(amg_x)))

        # Write pyamg's answer back: the model's own solve then starts from it.
        system.set_solution(model, amg_x)
        polish = system.solve(model, rtol=RTOL)
        print(
            f"pyamg's solution written back: the model's solve takes {polish.iterations} more steps "
            f"(relative residual {polish.relative_residual:.1e})"
        )

    print(f"\n{'method':<32} {'iterations':>10} {'seconds':>8} {'rel. residual':>13}")
    for name, iterations, seconds, residual in rows:
        print(f"{name:<32} {iterations:>10} {seconds:>8.3f} {residual:>13.1e}")
    if pyamg is not None:
        difference = np.linalg.norm(amg_x - core) / np.linalg.norm(core)
        print(f"\n||x_pyamg - x_quarvex|| / ||x_quarvex|| = {difference:.1e}")
    difference = np.linalg.norm(scipy_x - core) / np.linalg.norm(core)
    print(f"||x_scipy - x_quarvex|| / ||x_quarvex|| = {difference:.1e}  (scipy cg info = {info})")


if __name__ == "__main__":
    main()
