"""Distributed solves under mpirun against the serial solve of the same model.

Each case starts `mpirun -n P python -m mpi4py run_case.py` and checks what the ranks saved:
every rank's node values against the core's own serial solve (numbered independently, in
mesh order, by quarvex_tools), every rank's numbering against the serial numbering of its
elements, the partition and the ownership ranges, the solver's report, the warning of an unmet
tolerance, and the PVTU files read back (every cell positively oriented).
scripts/test_mpi.sh runs these tests with Debian's Python, mpi4py and petsc4py, and sets
QUARVEX_REQUIRE_MPI=1 so that a missing MPI stack fails instead of skipping.
"""

import base64
import os
import xml.etree.ElementTree as ElementTree

import model_case
import numpy as np
import pytest

import quarvex
from quarvex_tools import Mesh, number_dofs, p2_numbering, system
from quarvex_tools.core_inputs import build_core_inputs

VTK_EDGES = [(0, 1), (1, 2), (2, 0), (0, 3), (1, 3), (2, 3)]  # VTK's quadratic tetrahedron


def serial_reference(kind):
    """{node key: displacement} of the core's serial solve, and the number of free nodes."""
    points, tetrahedra = model_case.mesh(kind)
    mesh = Mesh(points, tetrahedra)
    numbering = p2_numbering(mesh, order="given")
    prescribed, values = model_case.fixed(numbering.node_points)  # whole nodes
    dofs = number_dofs(numbering, np.repeat(prescribed[:, None], 3, axis=1), values)
    pts, tets, ver_dof, edge_dof, pos_dof, bc = build_core_inputs(mesh, numbering, dofs)
    model = quarvex.Nexus(pts, tets)
    model.set_dof(ver_dof, edge_dof)
    model.set_cmat(model_case.CMAT)
    model.set_f(0, set(), *model_case.body_force())
    model.set_solver(pos_dof, bc)
    model.assemble()
    assert system.solve(model, rtol=1e-13).converged
    solution = system.solution(model)

    def values(start):
        if start >= 0:
            return solution[start : start + 3]
        return np.array(bc[-start : -start + 3])

    n = len(pts)
    reference = {v: values(start) for v, (start, _) in ver_dof.items()}
    for (i, j), (start, _) in edge_dof.items():
        reference[n + min(i, j) * n + max(i, j)] = values(start)
    return reference, pos_dof // 3, points


def read_array(element):
    """The values of a base64 DataArray written behind a 64-bit byte count."""
    dtype = {"Float64": np.float64, "Int64": np.int64, "Int32": np.int32, "UInt8": np.uint8}[element.get("type")]
    raw = base64.b64decode(element.text)
    size = int(np.frombuffer(raw[:8], dtype=np.uint64)[0])
    values = np.frombuffer(raw[8 : 8 + size], dtype=dtype)
    components = int(element.get("NumberOfComponents", "1"))
    return values.reshape(-1, components) if components > 1 else values


def signed_volumes(coordinates, connectivity):
    """Volume of every cell from its vertices: positive when (p1 - p0) x (p2 - p0) . (p3 - p0) > 0."""
    p0, p1, p2, p3 = (coordinates[connectivity[:, k]] for k in range(4))
    return np.einsum("ij,ij->i", np.cross(p1 - p0, p2 - p0), p3 - p0) / 6.0


def check_pvtu(path, ranks, reference, points):
    """Reads the PVTU and its pieces back: node values, edge-node positions, orientation and element count."""
    root = ElementTree.parse(path).getroot()
    sources = [piece.get("Source") for piece in root.iter("Piece")]
    assert len(sources) == ranks, sources
    n = len(points)
    by_position = {}
    for key, value in reference.items():
        position = points[key] if key < n else 0.5 * (points[(key - n) // n] + points[(key - n) % n])
        by_position[tuple(np.round(position, 12))] = value
    cells, volume = 0, 0.0
    for source in sources:
        grid = ElementTree.parse(os.path.join(os.path.dirname(path), source)).getroot()
        arrays = {}
        for element in grid.iter("DataArray"):
            arrays[element.get("Name") or "points"] = read_array(element)
        coordinates, connectivity = arrays["points"], arrays["connectivity"].reshape(-1, 10)
        assert set(arrays["types"]) == {24}
        assert np.array_equal(arrays["offsets"], 10 * np.arange(1, len(connectivity) + 1))
        expected = np.array([by_position[tuple(np.round(p, 12))] for p in coordinates])
        scale = np.abs(expected).max()
        assert np.abs(arrays["displacement"] - expected).max() <= 1e-8 * scale, source
        for slot, (a, b) in enumerate(VTK_EDGES):
            middle = 0.5 * (coordinates[connectivity[:, a]] + coordinates[connectivity[:, b]])
            assert np.abs(coordinates[connectivity[:, 4 + slot]] - middle).max() < 1e-14, f"{source}: edge node {slot}"
        volumes = signed_volumes(coordinates, connectivity)
        assert volumes.min() > 0.0, f"{source}: {np.count_nonzero(volumes <= 0.0)} of {len(volumes)} cells inverted"
        volume += volumes.sum()
        cells += len(connectivity)
    assert np.isclose(volume, np.prod(model_case.SIZE), rtol=1e-12), f"the pieces hold a volume of {volume}"
    return cells


def check_part_numbering(saved, rank):
    """A rank's nodes are the serial numbering of its elements; its unknowns run free nodes by
    global number, then the prescribed nodes in node order."""
    points, tetrahedra = saved[f"points_{rank}"], saved[f"tetrahedra_{rank}"]
    serial = p2_numbering(Mesh(points, tetrahedra), order="given")
    for name in ("edges", "element_nodes", "node_points"):
        assert np.array_equal(saved[f"{name}_{rank}"], getattr(serial, name)), f"rank {rank}: {name}"
    start, numbers, bc = saved[f"node_start_{rank}"], saved[f"global_node_{rank}"], saved[f"bc_{rank}"]
    free = start >= 0
    by_local = np.argsort(start[free])
    assert np.array_equal(np.sort(start[free]), 3 * np.arange(free.sum())), f"rank {rank}: free numbers"
    assert np.all(np.diff(numbers[free][by_local]) > 0), f"rank {rank}: local unknowns out of global order"
    prescribed = np.flatnonzero(~free)
    assert np.array_equal(start[prescribed], -(3 * np.arange(len(prescribed)) + 1)), f"rank {rank}: prescribed"
    mask, values = model_case.fixed(serial.node_points)
    assert np.array_equal(np.flatnonzero(mask), prescribed)
    assert np.array_equal(bc[1:], values[prescribed].ravel()), f"rank {rank}: prescribed values"


# (ranks, mesh, method, the preconditioner that runs)
CASES = [
    (1, "shuffled", "gamg", "gamg"),
    (2, "shuffled", "amg", "gamg"),
    (3, "shuffled", "hypre", "hypre"),
    (3, "box", "auto", "gamg"),
    (2, "box", "auto", "multigrid"),
]
REASONS = {"gamg": "asked for", "amg": "asked for as 'amg'", "hypre": "asked for", "auto": "the distributed default"}


@pytest.mark.parametrize("ranks, mesh, method, preconditioner", CASES)
def test_distributed_solution_matches_the_serial_solve(mpirun, tmp_path, ranks, mesh, method, preconditioner):
    run = mpirun(ranks, "run_case.py", tmp_path, mesh, method, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    saved = np.load(tmp_path / "ranks.npz", allow_pickle=True)
    assert int(saved["ranks"]) == ranks
    reference, free_nodes, points = serial_reference(mesh)
    scale = max(np.abs(value).max() for value in reference.values())

    elements = np.concatenate([saved[f"element_ids_{rank}"] for rank in range(ranks)])
    total_elements = 6 * np.prod(model_case.CELLS)
    assert np.array_equal(np.sort(elements), np.arange(total_elements)), "the parts must hold every element once"
    sizes = [len(saved[f"element_ids_{rank}"]) for rank in range(ranks)]
    assert max(sizes) - min(sizes) <= 6 * 4, f"unbalanced parts: {sizes}"

    owned = [tuple(saved[f"owned_{rank}"]) for rank in range(ranks)]
    assert owned[0][0] == 0 and owned[-1][1] == free_nodes
    assert all(owned[rank][1] == owned[rank + 1][0] for rank in range(ranks - 1)), owned
    for rank in range(ranks):
        assert int(saved[f"n_global_nodes_{rank}"]) == free_nodes
        assert int(saved[f"matrix_rows_{rank}"]) == 3 * free_nodes
        keys, displacement = saved[f"node_keys_{rank}"], saved[f"displacement_{rank}"]
        expected = np.array([reference[int(key)] for key in keys])
        error = np.abs(displacement - expected).max() / scale
        assert error <= 1e-8, f"rank {rank}: relative difference {error:.2e} from the serial solution"
        numbers = saved[f"global_node_{rank}"]
        free = numbers >= 0
        assert len(set(numbers[free])) == free.sum() and numbers[free].max() < free_nodes
        iterations, converged, relative_residual, ran, reason = saved[f"report_{rank}"]
        assert converged and relative_residual <= 1.01e-12, saved[f"report_{rank}"]
        assert ran == preconditioner and reason.startswith(REASONS[method]), (ran, reason)
        history = saved[f"history_{rank}"]
        assert len(history) == iterations + 1 and history[-1] == saved[f"residual_norm_{rank}"]
        assert np.isclose(history[0], saved[f"rhs_norm_{rank}"], rtol=1e-12), "every solve starts from zero"
        assert tuple(saved[f"short_{rank}"]) == (2, False, "none", "asked for as 'cg'")
        unmet = list(saved[f"unmet_{rank}"])
        assert len(unmet) == 1 and unmet[0].startswith(
            "PETSc's conjugate gradients reached maxiter = 2 after 2 steps: residual"
        ), unmet
        assert "(rtol=1e-12, atol=0, ||b||=" in unmet[0], unmet
        assert tuple(saved[f"former_{rank}"]) == (True, "jacobi")
        deprecated = list(saved[f"deprecated_{rank}"])
        assert len(deprecated) == 1 and "is now method=" in deprecated[0], deprecated
        bad_mesh, disagreement, numbering_passed = saved[f"refusals_{rank}"]
        assert "vertex indices must lie in 0 .. 3" in bad_mesh
        # Rank 0 fixes the face y = 0, the others nothing: the nodes they share there disagree.
        if ranks > 1:
            assert "ranks disagree on which nodes are fixed" in disagreement, disagreement
        else:
            assert disagreement is None
        # Rank 0 passes a numbering to the solve: it raises its refusal, the others one naming it.
        expected = "a distributed system carries its numbering (numbering.dofs): pass dofs=None"
        assert numbering_passed == (expected if rank == 0 else f"rank 0 failed: ValueError: {expected}")
        if mesh == "shuffled":  # the box's parts hold inverted elements, which Mesh would turn
            check_part_numbering(saved, rank)

    assert check_pvtu(str(tmp_path / "solution.pvtu"), ranks, reference, points) == total_elements
