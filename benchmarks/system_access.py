"""System access from Python: export against assemble, array fast paths against the dict
forms, and pyamg's time to solution beside the core's conjugate gradients.

Usage:
    python3 benchmarks/system_access.py export [N ...]    (default 20)
    python3 benchmarks/system_access.py arrays [N ...]    (default 20 55; N = 55 is ~10^6 elements)
    python3 benchmarks/system_access.py amg [N ...]       (default 12 16 20 24; needs pyamg)

Every table gives ratios against a reference measured in the same run. The unit cube
[0, 1]^3 is cut into N^3 cells of six tetrahedra, clamped at z = 0 and loaded by gravity.
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
from phases import MATERIAL, best_of, clamped_cube, set_gravity  # noqa: E402

import quarvex  # noqa: E402
from quarvex_tools import system  # noqa: E402
from quarvex_tools.core_inputs import build_core_inputs  # noqa: E402
from quarvex_tools.numbering import core_arrays  # noqa: E402


def loaded_model(n):
    """The clamped cube of N^3 cells under gravity, numbered, set up from arrays and assembled:
    (model, mesh, numbering, dofs)."""
    mesh, numbering, dofs = clamped_cube(n)
    model = system.nexus_from_arrays(mesh.points, mesh.tetrahedra)
    system.set_dof_arrays(model, *core_arrays(numbering, dofs))
    model.set_cmat(MATERIAL)
    set_gravity(model)
    model.set_solver(dofs.n_free, dofs.bc.tolist())
    model.assemble()
    return model, mesh, numbering, dofs


def run_export(sizes):
    print("export of the free-free matrix and the vectors against one assemble (best of 3, seconds)")
    print(
        f"{'N':>3} {'nnz':>10} {'assemble':>9} {'structure':>9} {'values':>9} {'csr cold':>9} {'csr warm':>9} "
        f"{'warm/asm':>8} {'cold/asm':>8} {'vectors':>9}"
    )
    for n in sizes:
        model, *_ = loaded_model(n)

        def assemble_once():
            model.nullify()
            model.assemble()

        t_assemble = best_of(3, assemble_once) - best_of(3, model.nullify)
        t_structure = best_of(3, lambda: system._native.matrix_structure(model))
        t_values = best_of(3, lambda: system._native.matrix_values(model))
        t_cold = best_of(3, lambda: system.stiffness_matrix(model))  # nothing keeps the structure alive
        held = system.stiffness_matrix(model)
        t_warm = best_of(3, lambda: system.stiffness_matrix(model))
        t_vectors = best_of(3, lambda: (system.solution(model), system.load_vector(model)))
        print(
            f"{n:>3} {held.nnz:>10} {t_assemble:>9.4f} {t_structure:>9.4f} {t_values:>9.4f} {t_cold:>9.4f} "
            f"{t_warm:>9.4f} {t_warm / t_assemble:>8.2f} {t_cold / t_assemble:>8.2f} {t_vectors:>9.5f}"
        )
        held = model = None  # free this size before building the next


def run_arrays(sizes):
    print("building a model: array fast paths against the list and dict forms (seconds)")
    print("  py lists: build_core_inputs (the package's arrays as lists and dicts); Nexus(), set_dof: the calls alone;")
    print("  arr dof: core_arrays + set_dof_arrays")
    print(
        f"{'N':>3} {'elements':>9} {'set_solver':>10} {'py lists':>9} {'Nexus()':>9} {'set_dof':>9} "
        f"{'arr Nexus':>9} {'arr dof':>9} {'dict/arr':>8} {'arr/solver':>10}"
    )
    for n in sizes:
        mesh, numbering, dofs = clamped_cube(n)
        start = time.perf_counter()
        pts_list, tets_list, ver_dof, edge_dof, pos_dof, bc = build_core_inputs(mesh, numbering, dofs)
        t_python = time.perf_counter() - start

        start = time.perf_counter()
        model = quarvex.Nexus(pts_list, tets_list)
        t_nexus = time.perf_counter() - start
        start = time.perf_counter()
        model.set_dof(ver_dof, edge_dof)
        t_dof = time.perf_counter() - start
        del model, pts_list, tets_list, ver_dof, edge_dof

        start = time.perf_counter()
        model = system.nexus_from_arrays(mesh.points, mesh.tetrahedra)
        t_array_nexus = time.perf_counter() - start
        start = time.perf_counter()
        system.set_dof_arrays(model, *core_arrays(numbering, dofs))
        t_array_dof = time.perf_counter() - start
        start = time.perf_counter()
        model.set_solver(pos_dof, bc)
        t_solver = time.perf_counter() - start
        del model

        dict_total = t_python + t_nexus + t_dof
        array_total = t_array_nexus + t_array_dof
        print(
            f"{n:>3} {len(mesh.tetrahedra):>9} {t_solver:>10.3f} {t_python:>9.3f} {t_nexus:>9.3f} {t_dof:>9.3f} "
            f"{t_array_nexus:>9.3f} {t_array_dof:>9.3f} {dict_total / array_total:>8.1f} "
            f"{array_total / t_solver:>10.2f}"
        )


def rigid_body_modes(coords):
    """(3 p, 6) translations and rotations x -> e_k x x at p nodes (dofs 3i, 3i + 1, 3i + 2)."""
    count = coords.shape[0]
    modes = np.zeros((3 * count, 6))
    for component in range(3):
        modes[component::3, component] = 1.0
    x, y, z = coords[:, 0], coords[:, 1], coords[:, 2]
    modes[0::3, 3], modes[1::3, 3] = -y, x  # about z
    modes[1::3, 4], modes[2::3, 4] = -z, y  # about x
    modes[0::3, 5], modes[2::3, 5] = z, -x  # about y
    return modes


def free_node_coords(numbering, dofs):
    """Coordinates of the node behind free dofs 3i .. 3i + 2, i = 0 .. n_free / 3 - 1."""
    coords = np.empty((dofs.n_free // 3, 3))
    free = dofs.node_start >= 0
    coords[dofs.node_start[free] // 3] = numbering.node_points[free]
    return coords


def run_amg(sizes):
    import pyamg

    print("time to solution, rtol = 1e-8: the core's conjugate gradients against pyamg's smoothed aggregation")
    print("  (3 x 3 blocks, rigid-body modes as near null space, sparse LU on the coarsest level, CG")
    print("   acceleration; pyamg's time = export + setup + solve; pyamg runs on one thread, the core on all)")
    print(
        f"{'N':>3} {'dofs':>8} {'core its':>8} {'core s':>8} {'export':>7} {'setup':>7} {'amg its':>7} "
        f"{'solve':>7} {'amg s':>7} {'core/amg':>8} {'rel diff':>9}"
    )
    for n in sizes:
        model, _, numbering, dofs = loaded_model(n)
        pos_dof = dofs.n_free
        system.set_solution(model, np.zeros(pos_dof))
        start = time.perf_counter()
        report = system.solve(model, rtol=1e-8)
        t_core = time.perf_counter() - start
        core = system.solution(model)

        start = time.perf_counter()
        matrix = system.stiffness_matrix(model)
        load = system.load_vector(model)
        t_export = time.perf_counter() - start
        start = time.perf_counter()
        near_null = rigid_body_modes(free_node_coords(numbering, dofs))
        hierarchy = pyamg.smoothed_aggregation_solver(matrix.tobsr(blocksize=(3, 3)), B=near_null, coarse_solver="splu")
        hierarchy.solve(load, maxiter=1)  # the coarse factorisation happens in the first cycle: count it here
        t_setup = time.perf_counter() - start
        residuals = []
        start = time.perf_counter()
        solution = hierarchy.solve(load, tol=1e-8, accel="cg", maxiter=500, residuals=residuals)
        t_solve = time.perf_counter() - start
        t_amg = t_export + t_setup + t_solve
        difference = np.linalg.norm(solution - core) / np.linalg.norm(core)
        print(
            f"{n:>3} {pos_dof:>8} {report.iterations:>8} {t_core:>8.2f} {t_export:>7.3f} {t_setup:>7.2f} "
            f"{len(residuals) - 1:>7} {t_solve:>7.2f} {t_amg:>7.2f} {t_core / t_amg:>8.1f} {difference:>9.1e}"
        )
        del model, matrix, hierarchy


def main():
    what = sys.argv[1] if len(sys.argv) > 1 else "export"
    sizes = [int(a) for a in sys.argv[2:]]
    print(f"workers: {system.worker_count()}")
    if what == "export":
        run_export(sizes or [20])
    elif what == "arrays":
        run_arrays(sizes or [20, 55])
    elif what == "amg":
        run_amg(sizes or [12, 16, 20, 24])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
