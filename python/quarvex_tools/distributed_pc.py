"""The package's multigrid on every rank as the preconditioner of PETSc's conjugate gradients.

Additive Schwarz over the ranks, with an optional coarse level. Each rank's subdomain is its
owned rows grown by `overlap` layers of the matrix graph; the rank copies that principal
submatrix of the global matrix once, sets the package's smoothed-aggregation multigrid (the
native ``MatrixMultigrid``) up on it with the rigid-body modes of its nodes as near null space,
and frees PETSc's copy. A principal submatrix of a symmetric positive definite matrix is one
too, and one V-cycle from zero on it is a fixed symmetric positive definite operator B_i. The
preconditioner is their Schwarz sum

    S r = sum_i R_i^T B_i R_i r

(R_i restricts to subdomain i by a scatter of the global vector; the corrections are added where
the subdomains overlap). The optional coarse level Z holds the six rigid-body modes of every
rank's owned nodes, orthonormalised on that rank and zero elsewhere: the motions of a part cut
off from the supports, which one level leaves to the conjugate gradients. With Q = Z (Z^T A Z)^-1 Z^T
the preconditioner becomes

    M r = Q r + (I - Q A) S (I - A Q) r,

which solves those motions exactly and lets S work on the rest; it is symmetric, and positive
definite with S. Z^T A Z has at most 6 rows per rank; every rank holds its inverse, and A Z is
kept, so an application costs two small allgathers and no further product with A.

``distributed.solve_system(..., method="multigrid")`` runs it (overlap 3, no coarse level);
:func:`solve_system` solves with the overlap and the coarse level chosen; :func:`use_block_multigrid`
turns any PETSc ``PC`` of a KSP on ``assembled.matrix`` into it.
"""

from __future__ import annotations

import contextlib
import importlib
import operator
import time
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _native, distributed, system

if TYPE_CHECKING:
    from mpi4py import MPI
    from petsc4py import PETSc

__all__ = [
    "DEFAULT_COARSE",
    "DEFAULT_OVERLAP",
    "SMOOTHER_DEGREE",
    "BlockMultigrid",
    "SchwarzMultigrid",
    "solve_system",
    "use_block_multigrid",
]

DEFAULT_OVERLAP = 3
"""Layers of overlap of ``method="multigrid"``: the measured best total time on the unit cube (benchmarks)."""

DEFAULT_COARSE = False
"""Whether ``method="multigrid"`` adds the coarse level: on two ranks it saves 4 of 61 steps at N = 32 and
costs more set-up than that (benchmarks); it pays where more ranks leave more parts away from the supports."""

SMOOTHER_DEGREE = 1
"""The Chebyshev degree of the subdomains' smoothers: a step of the Schwarz sum is dominated by the
error where the subdomains meet, which the cycle's smoothing does not reach, so the cheaper cycle
wins: unit cube N = 32, 2 ranks, 73 steps of 94 ms against degree 2's 61 of 172 ms (benchmarks;
the serial multigrid keeps degree 2, where the steps follow the smoothing)."""

PHASES = ("subdomain", "submatrix", "hierarchy", "coarse")
"""The set-up's phases that ``DistributedSystem.seconds`` gets, besides "apply" and "applies" of the solve."""


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
    matrix = assembled.matrix
    first, last, owned_points = _owned_nodes(assembled)
    rows = PETSc.IS().createStride(3 * (last - first), 3 * first, 1, comm=PETSc.COMM_SELF)
    if overlap > 0:
        matrix.increaseOverlap(rows, overlap)
    rows.sort()
    # The nodes' points as a vector of the matrix's layout, row 3 g + c holding coordinate c of
    # node g, gathered onto the subdomain's rows (some of which no element of this rank touches).
    points = matrix.createVecLeft()
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


def _hugepage_switch() -> Any:
    """numpy's switch of its huge-page advice (numpy 2 and 1 keep it apart), or None."""
    for name in ("numpy._core.multiarray", "numpy.core.multiarray"):
        try:
            return importlib.import_module(name)._set_madvise_hugepage
        except (ImportError, AttributeError):
            continue
    return None


_HUGEPAGE_SWITCH = _hugepage_switch()


@contextlib.contextmanager
def _small_pages() -> Iterator[None]:
    """numpy's advice of huge pages off for the arrays made inside (restored after).

    numpy asks the kernel for huge pages for every array of 4 MB and more; where the kernel then
    compacts memory to find them (transparent huge pages on "madvise", as on many Linux systems),
    a fresh array of a few hundred MB stalls for about a second on a rank that holds gigabytes,
    several times what copying into it costs (measured on the subdomain's CSR copy). The copy is
    read once, into the hierarchy's own storage, and freed: huge pages would not pay for it.
    """
    toggle = _HUGEPAGE_SWITCH
    if toggle is None:  # a numpy without the switch: its own default stays
        yield
        return
    previous = toggle(False)
    try:
        yield
    finally:
        toggle(previous)


def _owned_nodes(assembled: distributed.DistributedSystem) -> tuple[int, int, np.ndarray]:
    """The global numbers first .. last of the nodes whose rows this rank owns, and their points
    ((last - first, 3) float64, in the order of the rows)."""
    numbering = assembled.numbering
    if numbering is None:  # a replicated model: its row triples' points, where they are plain x, y, z
        if assembled.row_points is None:
            raise ValueError(
                "the per-rank multigrid needs the nodes of the rows: a system distributed by parts "
                "(distributed.assemble_part), or a replicated model without turned frames (sliding supports)"
            )
        first = assembled.matrix.getOwnershipRange()[0] // 3
        return first, first + len(assembled.row_points), assembled.row_points
    first, last = numbering.owned_range
    owned = np.flatnonzero((numbering.global_node >= first) & (numbering.global_node < last))
    owned_points = np.empty((last - first, 3))
    owned_points[numbering.global_node[owned] - first] = numbering.node_points[owned]
    return first, last, owned_points


def coarse_basis(node_points: np.ndarray) -> np.ndarray:
    """An orthonormal basis of the rigid-body motions of a set of nodes.

    Parameters
    ----------
    node_points : (k, 3) float
        Node i carries the unknowns 3 i, 3 i + 1, 3 i + 2 (x, y, z).

    Returns
    -------
    (3 k, m) float64
        Orthonormal columns spanning the three translations and three rotations, m <= 6: fewer
        where the nodes do not tell them apart (one node: 3; nodes on a line: 5; none: 0).
    """
    points = np.asarray(node_points, dtype=np.float64).reshape(-1, 3)
    if len(points) == 0:
        return np.zeros((0, 0))
    centred = points - points.mean(axis=0)
    scale = float(np.abs(centred).max()) or 1.0
    x, y, z = (centred / scale).T
    zero, one = np.zeros(len(points)), np.ones(len(points))
    # Columns: translations along x, y, z; rotations about x (0, -z, y), y (z, 0, -x), z (-y, x, 0).
    modes = np.stack(
        [
            np.stack(triple, axis=1).ravel()
            for triple in (
                (one, zero, zero),
                (zero, one, zero),
                (zero, zero, one),
                (zero, -z, y),
                (z, zero, -x),
                (-y, x, zero),
            )
        ],
        axis=1,
    )
    orthonormal, triangle = np.linalg.qr(modes)
    left, singular, _ = np.linalg.svd(triangle)
    kept = singular > 1e-8 * singular[0]  # motions the nodes cannot tell apart are dropped
    return np.ascontiguousarray(orthonormal @ left[:, kept])


def _coarse_level(
    comm: MPI.Comm, matrix: PETSc.Mat, basis: np.ndarray
) -> tuple[PETSc.Mat, np.ndarray, np.ndarray, PETSc.Vec]:
    """A Z, (Z^T A Z)^-1 held whole by every rank, every rank's count of coarse unknowns, and a coarse vector.

    Z is block-diagonal over the ranks: rank i's columns are its `basis` on its owned rows
    (collective).
    """
    PETSc = distributed._petsc()
    counts = np.array(comm.allgather(basis.shape[1]), dtype=np.int64)
    offset, total = int(counts[: comm.rank].sum()), int(counts.sum())
    owned_rows, columns = basis.shape
    indptr = (np.arange(owned_rows + 1) * columns).astype(PETSc.IntType)
    indices = np.tile(np.arange(offset, offset + columns), owned_rows).astype(PETSc.IntType)
    modes = PETSc.Mat().createAIJ(
        ((owned_rows, PETSc.DETERMINE), (columns, total)), csr=(indptr, indices, basis.ravel()), comm=PETSc.Comm(comm)
    )
    coarse = products = None
    try:
        products = matrix.matMult(modes)  # A Z
        coarse = modes.transposeMatMult(products)  # Z^T A Z, its rows spread as Z's columns
        coarse_indptr, coarse_columns, coarse_values = coarse.getValuesCSR()
        vector = modes.createVecRight()
    except BaseException:
        if products is not None:
            products.destroy()
        raise
    finally:
        modes.destroy()
        if coarse is not None:
            coarse.destroy()
    rows = np.zeros((columns, total))
    rows[np.repeat(np.arange(columns), np.diff(coarse_indptr)), coarse_columns] = coarse_values
    whole = np.concatenate(comm.allgather(rows), axis=0)
    whole = 0.5 * (whole + whole.T)
    # The same matrix on every rank, so every rank passes or refuses alike.
    try:
        np.linalg.cholesky(whole)
    except np.linalg.LinAlgError:
        products.destroy()
        vector.destroy()
        raise system.SolverError(
            f"{system._NOT_DEFINITE} (the coarse level's Z^T A Z is not positive definite)"
        ) from None
    inverse = np.linalg.inv(whole)
    return products, 0.5 * (inverse + inverse.T), counts, vector


class BlockMultigrid:
    """The context of a PETSc ``PC`` of type "python": z = M r by one V-cycle on a sequential matrix.

    The hierarchy is set up from the PC's operator when PETSc sets the PC up: the sub-PC of
    PETSc's own block Jacobi or additive Schwarz, for example. :class:`SchwarzMultigrid` does the
    same over the ranks without PETSc's copy of the block.

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
        with _small_pages():
            indptr, indices, values = block.getValuesCSR()
        self.hierarchy = None  # the former hierarchy goes before the new one is built
        with system._solver_failures():
            self.hierarchy = _native.amg_setup_csr(indptr, indices, values, self.node_points, SMOOTHER_DEGREE)

    def apply(self, pc: PETSc.PC, residual: PETSc.Vec, correction: PETSc.Vec) -> None:
        """z = M r on the block's rows."""
        _native.amg_apply_csr(self.hierarchy, residual.getArray(readonly=True), correction.getArray())


class SchwarzMultigrid:
    """The context of a PETSc ``PC`` of type "python": z = M r, the Schwarz sum of the ranks' V-cycles.

    Built by :func:`use_block_multigrid`, which sets everything up (collectively) before PETSc
    sets its PC up. With the coarse level, M = Q + (I - Q A) S (I - A Q), Q = Z (Z^T A Z)^-1 Z^T
    and S the Schwarz sum: the coarse level solves the rigid-body motions of the ranks' parts
    exactly, and S works on what is left (symmetric, and positive definite with S).

    Attributes
    ----------
    hierarchy : MatrixMultigrid or None
        The multigrid of this rank's subdomain; None when the subdomain has no rows.
    basis : (r, m) float64 or None
        This rank's coarse columns on its owned rows; None without the coarse level.
    seconds : dict of str to float
        The time of the set-up's phases (:data:`PHASES`), and "apply" (total) and "applies"
        (count) of the applications since the last :meth:`reset_timing`.
    """

    coarse_products: PETSc.Mat | None
    coarse_vector: PETSc.Vec | None
    deflated: PETSc.Vec | None
    scatter: PETSc.Scatter | None
    local_residual: PETSc.Vec | None
    local_correction: PETSc.Vec | None

    def __init__(self, assembled: distributed.DistributedSystem, overlap: int, coarse: bool) -> None:
        PETSc = distributed._petsc()
        comm, matrix = assembled.comm, assembled.matrix
        self.comm = comm
        self.seconds: dict[str, float] = {}
        self.hierarchy: Any = None
        self.basis: np.ndarray | None = None
        self.coarse_inverse: np.ndarray | None = None
        self.coarse_counts = np.zeros(comm.size, dtype=np.int64)
        self.coarse_products = None  # A Z
        self.coarse_vector = self.deflated = None
        self.scatter = self.local_residual = self.local_correction = None

        start = time.perf_counter()
        rows, node_points = _subdomain(assembled, overlap)
        self.seconds["subdomain"] = time.perf_counter() - start
        try:
            start = time.perf_counter()
            (block,) = matrix.createSubMatrices(rows)
            try:
                with _small_pages():
                    indptr, indices, values = block.getValuesCSR()
            finally:
                block.destroy()  # the hierarchy keeps its own copy: PETSc's goes before it is made
            self.seconds["submatrix"] = time.perf_counter() - start

            start = time.perf_counter()
            with distributed._together(comm):  # a subdomain the multigrid refuses fails every rank
                if len(indptr) > 1:  # a rank whose subdomain has no rows adds nothing
                    with system._solver_failures():
                        self.hierarchy = _native.amg_setup_csr(indptr, indices, values, node_points, SMOOTHER_DEGREE)
            del indptr, indices, values
            self.seconds["hierarchy"] = time.perf_counter() - start

            global_vector = matrix.createVecLeft()
            try:
                size = rows.getLocalSize()
                self.local_residual = PETSc.Vec().createSeq(size, comm=PETSc.COMM_SELF)
                self.local_correction = PETSc.Vec().createSeq(size, comm=PETSc.COMM_SELF)
                self.scatter = PETSc.Scatter().create(global_vector, rows, self.local_residual, None)
            finally:
                global_vector.destroy()
        finally:
            rows.destroy()

        start = time.perf_counter()
        if coarse:
            self.basis = coarse_basis(_owned_nodes(assembled)[2])
            self.coarse_products, self.coarse_inverse, self.coarse_counts, self.coarse_vector = _coarse_level(
                comm, matrix, self.basis
            )
            self.deflated = matrix.createVecLeft()
        self.seconds["coarse"] = time.perf_counter() - start
        self.reset_timing()

    def reset_timing(self) -> None:
        """Starts the count of the applications' time anew."""
        self.seconds["apply"] = 0.0
        self.seconds["applies"] = 0

    def setUp(self, pc: PETSc.PC) -> None:  # noqa: N802 - the name PETSc calls
        """Nothing left to do: :func:`use_block_multigrid` set everything up, collectively."""

    def apply(self, pc: PETSc.PC, residual: PETSc.Vec, correction: PETSc.Vec) -> None:
        """z = M r (collective: the scatters and the coarse level's exchanges)."""
        start = time.perf_counter()
        if self.coarse_inverse is None:
            self._schwarz(residual, correction)
        else:
            assert self.coarse_products is not None and self.coarse_vector is not None and self.deflated is not None
            # With Q = Z (Z^T A Z)^-1 Z^T and the Schwarz sum S: z = Q r + (I - Q A) S (I - A Q) r.
            coarse_solution = self._coarse_solve(self._restrict(residual.getArray(readonly=True)))  # Q r, weights
            self.coarse_vector.getArray()[:] = self._own(coarse_solution)
            self.coarse_products.mult(self.coarse_vector, self.deflated)  # A Q r
            self.deflated.aypx(-1.0, residual)  # r - A Q r
            self._schwarz(self.deflated, correction)  # z1 = S (I - A Q) r
            self.coarse_products.multTranspose(correction, self.coarse_vector)  # Z^T A z1, this rank's rows
            removed = self._coarse_solve(self.coarse_vector.getArray(readonly=True))  # the weights of Q A z1
            correction.getArray()[:] += self.basis @ self._own(coarse_solution - removed)
        self.seconds["apply"] += time.perf_counter() - start
        self.seconds["applies"] += 1

    def _restrict(self, owned: np.ndarray) -> np.ndarray:
        """This rank's rows of Z^T v, from its owned entries of v."""
        assert self.basis is not None
        return self.basis.T @ owned

    def _coarse_solve(self, own_rows: np.ndarray) -> np.ndarray:
        """(Z^T A Z)^-1 c, whole, from this rank's rows of c (collective: one allgather)."""
        assert self.coarse_inverse is not None
        whole = np.empty(len(self.coarse_inverse))
        self.comm.Allgatherv(np.ascontiguousarray(own_rows, dtype=np.float64), [whole, self.coarse_counts])
        return self.coarse_inverse @ whole

    def _own(self, whole: np.ndarray) -> np.ndarray:
        """This rank's rows of a coarse vector."""
        offset = int(self.coarse_counts[: self.comm.rank].sum())
        return whole[offset : offset + self.coarse_counts[self.comm.rank]]

    def _schwarz(self, residual: PETSc.Vec, correction: PETSc.Vec) -> None:
        """z = sum_i R_i^T B_i R_i r: every rank's V-cycle on its subdomain, added where they overlap."""
        PETSc = distributed._petsc()
        assert self.scatter is not None and self.local_residual is not None and self.local_correction is not None
        insert, add = PETSc.InsertMode.INSERT_VALUES, PETSc.InsertMode.ADD_VALUES
        self.scatter.scatter(residual, self.local_residual, insert, PETSc.ScatterMode.FORWARD)  # R_i r
        if self.hierarchy is not None:
            _native.amg_apply_csr(
                self.hierarchy, self.local_residual.getArray(readonly=True), self.local_correction.getArray()
            )
        correction.zeroEntries()
        self.scatter.scatter(self.local_correction, correction, add, PETSc.ScatterMode.REVERSE)

    def destroy(self, pc: PETSc.PC | None = None) -> None:
        """Frees PETSc's objects and the hierarchy."""
        for item in (
            self.scatter,
            self.local_residual,
            self.local_correction,
            self.coarse_products,
            self.coarse_vector,
            self.deflated,
        ):
            if item is not None:
                item.destroy()
        self.scatter = self.local_residual = self.local_correction = None
        self.coarse_products = self.coarse_vector = self.deflated = None
        self.hierarchy = None


def _check_overlap(overlap: Any) -> int:
    """`overlap` as a count of layers, refused unless a whole number >= 0."""
    try:
        if isinstance(overlap, bool):
            raise TypeError
        layers = operator.index(overlap)
    except TypeError:
        raise TypeError(f"overlap must be an int, got {type(overlap).__name__}") from None
    if layers < 0:
        raise ValueError(f"overlap must be >= 0, got {overlap!r}")
    return layers


def use_block_multigrid(
    pc: PETSc.PC,
    assembled: distributed.DistributedSystem,
    overlap: int = DEFAULT_OVERLAP,
    coarse: bool = DEFAULT_COARSE,
) -> SchwarzMultigrid:
    """Makes `pc` the Schwarz sum of the package's multigrid on every rank's subdomain (collective).

    Parameters
    ----------
    pc : petsc4py.PETSc.PC
        The preconditioner of a KSP whose operator is ``assembled.matrix``.
    assembled : distributed.DistributedSystem
    overlap : int
        Layers of overlap, at least 0 (0: block Jacobi over the ranks).
    coarse : bool
        Add the coarse level of the ranks' rigid-body modes.

    Returns
    -------
    SchwarzMultigrid
        The PC's context, set up; its ``seconds`` time the set-up's phases.

    Raises
    ------
    system.SolverError
        On every rank, when a subdomain's matrix or the coarse one is not positive definite or not finite
        (on the other ranks a RuntimeError naming the rank that failed).
    """
    PETSc = distributed._petsc()
    context = SchwarzMultigrid(assembled, _check_overlap(overlap), bool(coarse))
    pc.setType(PETSc.PC.Type.PYTHON)
    pc.setPythonContext(context)
    return context


def solve_system(
    assembled: distributed.DistributedSystem,
    *,
    overlap: int = DEFAULT_OVERLAP,
    coarse: bool = DEFAULT_COARSE,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
    options_prefix: str = "",
) -> system.SolveResult:
    """Solves a distributed system by PETSc's conjugate gradients preconditioned by :func:`use_block_multigrid`.

    ``distributed.solve_system(assembled, method="multigrid", ...)`` with the overlap and the
    coarse level chosen: the same solve, checks, warnings and errors (collective; `overlap` and
    `coarse` are compared across the ranks too). ``assembled.seconds`` gets this rank's "setup"
    and "solve" times, the set-up's phases (:data:`PHASES`), and "apply" and "applies": the time
    in the preconditioner during the solve and its count.

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

    def settings() -> dict[str, Any]:
        checked = distributed._solver_settings("multigrid", rtol, atol, maxiter, options_prefix)
        return {**checked, "overlap": _check_overlap(overlap), "coarse": bool(coarse)}

    return distributed._solve_agreed(assembled, distributed._agree(assembled.comm, settings), bool(history))
