"""The package's multigrid on every rank as the preconditioner of PETSc's conjugate gradients.

Block Jacobi over the ranks: each rank sets up the package's smoothed-aggregation multigrid
(the native ``MatrixMultigrid``) on its diagonal block of the global matrix, the rows and
columns of the nodes it owns, with the rigid-body modes of those nodes as near null space.
The block is a principal submatrix of a symmetric positive definite matrix, so it is one
too, and one V-cycle from zero on it is a fixed symmetric positive definite operator: the
preconditioner applies it to the rank's share of the residual, without any exchange between
ranks, which is what makes it cheap where PETSc's own multigrid spends most of its time in
set-up and in the cycles' messages. The couplings across ranks are left to the conjugate
gradients, so the steps grow slowly with the number of ranks (see the README's MPI section).

:func:`use_block_multigrid` turns a PETSc ``PC`` into this preconditioner (what
`distributed.solve_system` calls for ``method="multigrid"``); :func:`solve_system` solves a
`distributed.DistributedSystem` with it, with the keywords and the `system.SolveResult` of
`distributed.solve_system`.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _native, distributed, system

if TYPE_CHECKING:
    from petsc4py import PETSc

__all__ = ["BlockMultigrid", "solve_system", "use_block_multigrid"]

SOLVE_NAME = "PETSc's conjugate gradients with quarvex's multigrid on each rank's block"
"""How warnings and failures name the solve."""


def _subdomain(assembled: distributed.DistributedSystem, overlap: int) -> tuple[PETSc.IS, np.ndarray]:
    """The rows of this rank's subdomain and the points of their nodes (collective).

    The subdomain is the rank's owned rows grown by `overlap` layers of the matrix graph (one
    layer: every node of the elements that touch the owned nodes).

    Returns
    -------
    (petsc4py.PETSc.IS, (k, 3) float64)
        The subdomain's global rows, sorted (3 per node), and the point of each of its nodes.
    """
    PETSc = distributed._petsc()
    matrix, numbering = assembled.matrix, assembled.numbering
    if numbering is None:  # a replicated model's system has no parts to grow subdomains from
        raise ValueError("the per-rank multigrid needs a system distributed by parts (distributed.assemble_part)")
    first, last = numbering.owned_range
    owned = np.flatnonzero((numbering.global_node >= first) & (numbering.global_node < last))
    rows = PETSc.IS().createStride(3 * (last - first), 3 * first, 1, comm=PETSc.COMM_SELF)
    if overlap > 0:
        matrix.increaseOverlap(rows, overlap)
    rows.sort()
    # The nodes' points as a vector of the matrix's layout, row 3 g + c holding coordinate c of
    # node g, gathered onto the subdomain's rows (some of which no element of this rank touches).
    points = matrix.createVecLeft()
    owned_points = np.empty((last - first, 3))
    owned_points[numbering.global_node[owned] - first] = numbering.node_points[owned]
    points.setArray(owned_points.ravel())
    gathered = PETSc.Vec().createSeq(rows.getLocalSize(), comm=PETSc.COMM_SELF)
    scatter = PETSc.Scatter().create(points, rows, gathered, None)
    try:
        scatter.scatter(points, gathered, PETSc.InsertMode.INSERT_VALUES, PETSc.ScatterMode.FORWARD)
        node_points = gathered.getArray().reshape(-1, 3).copy()
    finally:
        for item in (scatter, gathered, points):
            item.destroy()
    return rows, node_points


class BlockMultigrid:
    """The context of a PETSc ``PC`` of type "python": z = M r by one V-cycle on one rank's block.

    The hierarchy is set up from the PC's operator (a sequential matrix: the rank's block of
    the global matrix) when PETSc sets the PC up.

    Parameters
    ----------
    node_points : (k, 3) float
        The point of every node of the block, whose unknowns 3 i, 3 i + 1, 3 i + 2 are the
        x, y, z of node i: the rigid-body modes are taken from them.
    """

    def __init__(self, node_points: np.ndarray) -> None:
        self.node_points = np.ascontiguousarray(node_points, dtype=np.float64)
        self.hierarchy: Any = None

    def setUp(self, pc: PETSc.PC) -> None:  # noqa: N802 - the name PETSc calls
        """Sets the hierarchy up from the PC's operator (its own copy, in the run format)."""
        block, _ = pc.getOperators()
        indptr, indices, values = block.getValuesCSR()
        self.hierarchy = None  # the former hierarchy goes before the new one is built
        with system._solver_failures():
            self.hierarchy = _native.amg_setup_csr(indptr, indices, values, self.node_points)

    def apply(self, pc: PETSc.PC, residual: PETSc.Vec, correction: PETSc.Vec) -> None:
        """z = M r on the block's rows."""
        _native.amg_apply_csr(self.hierarchy, residual.getArray(readonly=True), correction.getArray())


def use_block_multigrid(pc: PETSc.PC, assembled: distributed.DistributedSystem, overlap: int = 0) -> None:
    """Makes `pc` additive Schwarz over the ranks with the package's multigrid on every subdomain (collective).

    Each rank's subdomain is its owned rows grown by `overlap` layers of the matrix graph; the
    subdomains' corrections are added where they overlap (PETSc's additive Schwarz of type
    "basic", which keeps the preconditioner symmetric). Overlap 0 is block Jacobi over the ranks.

    Parameters
    ----------
    pc : petsc4py.PETSc.PC
        The preconditioner of a KSP whose operator is ``assembled.matrix``.
    assembled : distributed.DistributedSystem
    overlap : int
        Layers of overlap, at least 0.
    """
    PETSc = distributed._petsc()
    rows, node_points = _subdomain(assembled, overlap)
    try:
        pc.setType(PETSc.PC.Type.ASM)
        pc.setASMType(PETSc.PC.ASMType.BASIC)
        pc.setASMOverlap(0)  # the subdomain holds its overlap already
        pc.setASMLocalSubdomains(1, [rows])
        pc.setUp()  # makes the subdomain's matrix and solver
        (block_solver,) = pc.getASMSubKSP()
        block_solver.setType(PETSc.KSP.Type.PREONLY)
        block_pc = block_solver.getPC()
        block_pc.setType(PETSc.PC.Type.PYTHON)
        block_pc.setPythonContext(BlockMultigrid(node_points))
        with distributed._together(assembled.comm):  # a block the multigrid refuses fails every rank
            block_solver.setUp()
    finally:
        rows.destroy()


def solve_system(
    assembled: distributed.DistributedSystem,
    *,
    overlap: int = 3,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
    options_prefix: str = "",
) -> system.SolveResult:
    """Solves a distributed system by PETSc's conjugate gradients preconditioned by :func:`use_block_multigrid`.

    It starts from zero and stops when the true residual meets ||b - A x|| <= max(rtol ||b||, atol);
    the solution stays in `assembled`, and ``assembled.seconds`` gets this rank's "setup" (the
    hierarchy and PETSc's set-up) and "solve" times. The arguments are those of
    `distributed.solve_system`, checked and compared across the ranks alike (collective).

    Returns
    -------
    system.SolveResult
        `method` is "multigrid". A ``RuntimeWarning`` says so when PETSc stopped at its step limit.

    Raises
    ------
    system.SolverError
        On every rank, when the conjugate gradients broke down (a matrix that is not positive
        definite, NaN or infinity).
    """
    if not isinstance(assembled, distributed.DistributedSystem):
        raise TypeError(f"solve_system takes a DistributedSystem, got {type(assembled).__name__}")
    # The tolerances and the prefix are checked as distributed.solve_system checks them; the
    # method there is only a placeholder: this function runs one.
    settings = distributed._agree(
        assembled.comm, lambda: distributed._solver_settings("cg", rtol, atol, maxiter, options_prefix)
    )
    PETSc = distributed._petsc()
    matrix, load = assembled.matrix, assembled.load
    start = time.perf_counter()
    solver = PETSc.KSP().create(comm=PETSc.Comm(assembled.comm))
    residual = None
    try:
        solver.setOptionsPrefix(settings["options_prefix"])
        solver.setOperators(matrix)
        solver.setType(PETSc.KSP.Type.CG)
        solver.setNormType(PETSc.KSP.NormType.UNPRECONDITIONED)
        solver.setTolerances(rtol=settings["rtol"], atol=settings["atol"], max_it=settings["maxiter"])
        use_block_multigrid(solver.getPC(), assembled, overlap)
        norms: list[float] = []
        if history:
            solver.setMonitor(lambda _solver, _step, norm: norms.append(float(norm)))
        solver.setFromOptions()
        if assembled.solution is None:
            assembled.solution = matrix.createVecRight()
        else:
            assembled.solution.zeroEntries()  # every solve starts from zero
        solver.setUp()
        assembled.seconds["setup"] = time.perf_counter() - start

        start = time.perf_counter()
        solver.solve(load, assembled.solution)
        assembled.seconds["solve"] = time.perf_counter() - start
        residual = load.duplicate()
        matrix.mult(assembled.solution, residual)
        residual.aypx(-1.0, load)  # r = b - A x
        residual_norm, rhs_norm = float(residual.norm()), float(load.norm())
        code = int(solver.getConvergedReason())
        iterations = int(solver.getIterationNumber())
        rtol, atol, _, limit = solver.getTolerances()  # as PETSc's options left them
    finally:
        solver.destroy()
        if residual is not None:
            residual.destroy()

    kept = None
    if history:
        kept = np.array(norms, dtype=np.float64)
        if len(kept):
            kept[-1] = residual_norm  # end on the recomputed residual, as the serial solves do
    result = system.SolveResult(
        iterations,
        residual_norm,
        rhs_norm,
        code > 0,
        kept,
        method="multigrid",
        reason="asked for: the package's multigrid on each rank's block",
    )
    # PETSc's reason is the same on every rank, so each raises or warns alike.
    if code > 0:
        return result
    if code == int(PETSc.KSP.ConvergedReason.DIVERGED_MAX_IT):
        system.warn_unconverged(result, rtol, atol, int(limit), SOLVE_NAME)
        return result
    reason = distributed._reason_name(PETSc, code)
    explanation = distributed._BREAKDOWNS.get(reason, "the solve failed")
    raise system.SolverError(f"{explanation} ({SOLVE_NAME} stopped after {iterations} steps: {reason})")
