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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))

import quarvex  # noqa: E402
from box_mesh import isotropic_cmat  # noqa: E402
from phases import best_of  # noqa: E402
from quarvex_tools import system  # noqa: E402

# Path of each of the six tetrahedra of a cell from its lowest to its highest corner, in the
# order of box_mesh (the permutations of the three axes).
_PATHS = np.array(
    [
        [(0, 0, 0), (1, 0, 0), (1, 1, 0), (1, 1, 1)],
        [(0, 0, 0), (1, 0, 0), (1, 0, 1), (1, 1, 1)],
        [(0, 0, 0), (0, 1, 0), (1, 1, 0), (1, 1, 1)],
        [(0, 0, 0), (0, 1, 0), (0, 1, 1), (1, 1, 1)],
        [(0, 0, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1)],
        [(0, 0, 0), (0, 0, 1), (0, 1, 1), (1, 1, 1)],
    ]
)
_EDGES = np.array([(0, 1), (1, 2), (0, 2), (0, 3), (1, 3), (2, 3)])


def box_arrays(n):
    """box_mesh(n, n, n) as arrays: (points (p, 3) float64, tetrahedra (m, 4) int32), same order."""
    k, j, i = np.meshgrid(np.arange(n + 1), np.arange(n + 1), np.arange(n + 1), indexing="ij")
    points = np.stack([1.0 * i.ravel() / n, 1.0 * j.ravel() / n, 1.0 * k.ravel() / n], axis=1)
    ck, cj, ci = np.meshgrid(np.arange(n), np.arange(n), np.arange(n), indexing="ij")
    base = (ci + (n + 1) * (cj + (n + 1) * ck)).ravel()
    offsets = _PATHS[:, :, 0] + (n + 1) * (_PATHS[:, :, 1] + (n + 1) * _PATHS[:, :, 2])
    tets = (base[:, None, None] + offsets[None, :, :]).reshape(-1, 4).astype(np.int32)
    return points, tets


def p2_numbering_arrays(points, tets, fixed):
    """p2_numbering as arrays, numbering nodes in the same order (first use, element by element).

    fixed(coords) -> bool mask of clamped nodes (value 0). Returns (vertex_ids, vertex_ranges,
    edge_keys, edge_ranges, pos_dof, bc); edges are listed under both vertex orders.
    """
    vertex_count = points.shape[0]
    pairs = tets[:, _EDGES]                                   # (m, 6, 2)
    low, high = np.minimum(pairs[..., 0], pairs[..., 1]), np.maximum(pairs[..., 0], pairs[..., 1])
    edge_code = low.astype(np.int64) * vertex_count + high
    codes, edge_index = np.unique(edge_code.ravel(), return_inverse=True)
    nodes = np.concatenate([tets, vertex_count + edge_index.reshape(-1, 6)], axis=1).ravel()
    node_count = vertex_count + codes.size
    first_use = np.full(node_count, nodes.size, dtype=np.int64)
    np.minimum.at(first_use, nodes, np.arange(nodes.size))
    order = np.argsort(first_use, kind="stable")[: np.count_nonzero(first_use < nodes.size)]
    edge_low, edge_high = codes // vertex_count, codes % vertex_count
    coords = np.concatenate([points, 0.5 * (points[edge_low] + points[edge_high])])
    clamped = fixed(coords[order])
    start = np.empty(node_count, dtype=np.int64)
    start[order[~clamped]] = 3 * np.arange(np.count_nonzero(~clamped))
    start[order[clamped]] = -(1 + 3 * np.arange(np.count_nonzero(clamped)))
    ranges = np.stack([start, np.full(node_count, 3)], axis=1).astype(np.int32)
    used_vertices = order[order < vertex_count]
    vertex_ids = used_vertices.astype(np.int32)
    edge_keys = np.concatenate([np.stack([edge_low, edge_high], 1), np.stack([edge_high, edge_low], 1)]).astype(np.int32)
    edge_ranges = np.concatenate([ranges[vertex_count:], ranges[vertex_count:]])
    pos_dof = 3 * int(np.count_nonzero(~clamped))
    bc = [0.0] * (1 + 3 * int(np.count_nonzero(clamped)))
    return vertex_ids, ranges[used_vertices], edge_keys, edge_ranges, pos_dof, bc


def clamped_bottom(coords):
    return coords[:, 2] == 0.0


def loaded_model(n):
    """The clamped cube of N^3 cells under gravity, numbered, set up and assembled."""
    points, tets = box_arrays(n)
    vertex_ids, vertex_ranges, edge_keys, edge_ranges, pos_dof, bc = p2_numbering_arrays(points, tets, clamped_bottom)
    model = system.nexus_from_arrays(points, tets)
    system.set_dof_arrays(model, vertex_ids, vertex_ranges, edge_keys, edge_ranges)
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()
    model.set_f(0, set(), arena, [arena.new_cst(0.0), arena.new_cst(0.0), arena.new_cst(-1.0)])
    model.set_solver(pos_dof, bc)
    model.assemble()
    return model, tets.shape[0], pos_dof


def run_export(sizes):
    print("export of the free-free matrix and the vectors against one assemble (best of 3, seconds)")
    print(f"{'N':>3} {'nnz':>10} {'assemble':>9} {'structure':>9} {'values':>9} {'csr cold':>9} {'csr warm':>9} "
          f"{'warm/asm':>8} {'cold/asm':>8} {'vectors':>9}")
    for n in sizes:
        model, _, _ = loaded_model(n)

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
        print(f"{n:>3} {held.nnz:>10} {t_assemble:>9.4f} {t_structure:>9.4f} {t_values:>9.4f} {t_cold:>9.4f} "
              f"{t_warm:>9.4f} {t_warm / t_assemble:>8.2f} {t_cold / t_assemble:>8.2f} {t_vectors:>9.5f}")
        held = model = None  # free this size before building the next


def run_arrays(sizes):
    print("building a model: array fast paths against the list and dict forms (seconds)")
    print("  python: building the lists/dicts from the arrays; nexus, set_dof: the calls alone")
    print(f"{'N':>3} {'elements':>9} {'set_solver':>10} {'py lists':>9} {'Nexus()':>9} {'set_dof':>9} "
          f"{'arr Nexus':>9} {'arr dof':>9} {'dict/arr':>8} {'arr/solver':>10}")
    for n in sizes:
        points, tets = box_arrays(n)
        vertex_ids, vertex_ranges, edge_keys, edge_ranges, pos_dof, bc = p2_numbering_arrays(
            points, tets, clamped_bottom)
        start = time.perf_counter()
        pts_list = list(map(tuple, points.tolist()))
        tets_list = list(map(tuple, tets.tolist()))
        ver_dof = dict(zip(vertex_ids.tolist(), map(tuple, vertex_ranges.tolist())))
        edge_dof = dict(zip(map(tuple, edge_keys.tolist()), map(tuple, edge_ranges.tolist())))
        t_python = time.perf_counter() - start

        start = time.perf_counter()
        model = quarvex.Nexus(pts_list, tets_list)
        t_nexus = time.perf_counter() - start
        start = time.perf_counter()
        model.set_dof(ver_dof, edge_dof)
        t_dof = time.perf_counter() - start
        del model, pts_list, tets_list, ver_dof, edge_dof

        start = time.perf_counter()
        model = system.nexus_from_arrays(points, tets)
        t_array_nexus = time.perf_counter() - start
        start = time.perf_counter()
        system.set_dof_arrays(model, vertex_ids, vertex_ranges, edge_keys, edge_ranges)
        t_array_dof = time.perf_counter() - start
        start = time.perf_counter()
        model.set_solver(pos_dof, bc)
        t_solver = time.perf_counter() - start
        del model

        dict_total = t_python + t_nexus + t_dof
        array_total = t_array_nexus + t_array_dof
        print(f"{n:>3} {tets.shape[0]:>9} {t_solver:>10.3f} {t_python:>9.3f} {t_nexus:>9.3f} {t_dof:>9.3f} "
              f"{t_array_nexus:>9.3f} {t_array_dof:>9.3f} {dict_total / array_total:>8.1f} "
              f"{array_total / t_solver:>10.2f}")


def rigid_body_modes(coords):
    """(3 p, 6) translations and rotations x -> e_k x x at p nodes (dofs 3i, 3i + 1, 3i + 2)."""
    count = coords.shape[0]
    modes = np.zeros((3 * count, 6))
    for component in range(3):
        modes[component::3, component] = 1.0
    x, y, z = coords[:, 0], coords[:, 1], coords[:, 2]
    modes[0::3, 3], modes[1::3, 3] = -y, x          # about z
    modes[1::3, 4], modes[2::3, 4] = -z, y          # about x
    modes[0::3, 5], modes[2::3, 5] = z, -x          # about y
    return modes


def free_node_coords(points, vertex_ids, vertex_ranges, edge_keys, edge_ranges, pos_dof):
    """Coordinates of the node behind free dofs 3i .. 3i + 2, i = 0 .. pos_dof / 3 - 1."""
    coords = np.empty((pos_dof // 3, 3))
    free = vertex_ranges[:, 0] >= 0
    coords[vertex_ranges[free, 0] // 3] = points[vertex_ids[free]]
    free = edge_ranges[:, 0] >= 0
    coords[edge_ranges[free, 0] // 3] = 0.5 * (points[edge_keys[free, 0]] + points[edge_keys[free, 1]])
    return coords


def run_amg(sizes):
    import pyamg

    print("time to solution, rtol = 1e-8: the core's conjugate gradients against pyamg's smoothed aggregation")
    print("  (3 x 3 blocks, rigid-body modes as near null space, sparse LU on the coarsest level, CG")
    print("   acceleration; pyamg's time = export + setup + solve; pyamg runs on one thread, the core on all)")
    print(f"{'N':>3} {'dofs':>8} {'core its':>8} {'core s':>8} {'export':>7} {'setup':>7} {'amg its':>7} "
          f"{'solve':>7} {'amg s':>7} {'core/amg':>8} {'rel diff':>9}")
    for n in sizes:
        points, tets = box_arrays(n)
        numbering = p2_numbering_arrays(points, tets, clamped_bottom)
        model, _, pos_dof = loaded_model(n)
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
        near_null = rigid_body_modes(free_node_coords(points, *numbering[:4], pos_dof))
        hierarchy = pyamg.smoothed_aggregation_solver(matrix.tobsr(blocksize=(3, 3)), B=near_null,
                                                      coarse_solver="splu")
        hierarchy.solve(load, maxiter=1)  # the coarse factorisation happens in the first cycle: count it here
        t_setup = time.perf_counter() - start
        residuals = []
        start = time.perf_counter()
        solution = hierarchy.solve(load, tol=1e-8, accel="cg", maxiter=500, residuals=residuals)
        t_solve = time.perf_counter() - start
        t_amg = t_export + t_setup + t_solve
        difference = np.linalg.norm(solution - core) / np.linalg.norm(core)
        print(f"{n:>3} {pos_dof:>8} {report.iterations:>8} {t_core:>8.2f} {t_export:>7.3f} {t_setup:>7.2f} "
              f"{len(residuals) - 1:>7} {t_solve:>7.2f} {t_amg:>7.2f} {t_core / t_amg:>8.1f} {difference:>9.1e}")
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
