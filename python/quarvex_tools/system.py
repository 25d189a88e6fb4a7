"""The assembled system of a ``quarvex.Nexus`` as numpy and scipy objects.

- Vectors: :func:`solution`, :func:`load_vector` and :func:`prescribed_values` return float64
  arrays; :func:`set_solution` and :func:`set_load_vector` write arrays back (a start vector, an
  imported solution, surface or point loads added to the assembled load).
- Matrix: :func:`stiffness_matrix` returns the free-free stiffness matrix as a
  ``scipy.sparse.csr_matrix`` for other solvers (scipy, pyamg, petsc4py).
- Array fast paths: :func:`nexus_from_arrays` and :func:`set_dof_arrays` build a model from
  numpy arrays, with the semantics, checks and failure texts of ``Nexus(pts, tets)`` and
  ``Nexus.set_dof``, and no Python object per entry.
- Supports: :func:`constrain` enforces prescribed single unknowns (after turning nodes into
  frames of their own) inside the assembled system, so every solve meets them, and keeps the
  rows it needs for the reactions (:class:`Constraints`); :func:`add_matrix_entries` adds
  to the matrix (elastic supports).
- The methods the package's one solve entry (``quarvex_tools.solve_system`` and
  ``solvers.solve_each``: the choice, the report, the log) runs: :func:`solve`, conjugate
  gradients with a relative tolerance, an iteration limit and a :class:`SolveResult`;
  :func:`multigrid` and :func:`solve_amg`, multigrid-preconditioned conjugate gradients, and
  :func:`solve_amg_many`, the same for several loads at once (one native loop serves both).
  Ctrl-C stops them with ``KeyboardInterrupt``, leaving the last iterate. Call them directly
  only to run one method by hand; every stop rule and warning text is theirs, written once
  (:func:`warn_unconverged`).
- Failures of the solves (:func:`solve`, :func:`solve_amg`, :func:`multigrid`,
  :func:`refresh_multigrid`) raise :class:`SolverError`, an ``Exception`` that says what went
  wrong and what to do, chained to the core's ``PanicException`` (a ``BaseException``).
- Plot data: :func:`plot_dom_arrays` and :func:`plot_disp_arrays` give what ``Nexus.plot_dom``
  and ``Nexus.plot_disp`` give, as an (e, 2) key array and an (e, 2, 3) or (e, 3, 3) point
  array, without building a Python object per edge.

Every function borrows the model as ``Nexus``'s own methods do: shared to read, exclusive to
write, so a model that is busy (for example from code run while one of its methods converts
an argument) refuses with ``RuntimeError("Already borrowed")`` or ``("Already mutably borrowed")``.

Copies, not views. Every array handed out owns its memory, so nothing can dangle: ``set_solver``
resizes the model's vectors and the model may be deleted while the arrays live on. Copying
costs little: for the unit cube at N = 20 (201 720 unknowns) a vector copy takes about 0.2 ms
beside seconds for ``solve``, and the matrix values (17 M of them) take well under one
``assemble`` (see ``benchmarks/system_access.py``). The matrix's index arrays are the exception
that keeps export cheap: they are expanded once per structure (per ``set_solver``) and shared,
read-only, by every matrix exported from that structure while any of them is alive. Copy a
matrix (``A.copy()``) before changing its structure in place, e.g. with ``eliminate_zeros``.
"""

from __future__ import annotations

import contextlib
import warnings
import weakref
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import numpy.typing as npt

import quarvex

from . import _native
from ._caller import user_stacklevel

if TYPE_CHECKING:
    import scipy.sparse

__all__ = [
    "Constraints",
    "Multigrid",
    "SolverError",
    "add_matrix_entries",
    "constrain",
    "SolveResult",
    "load_vector",
    "multigrid",
    "multigrid_stats",
    "nexus_from_arrays",
    "plot_disp_arrays",
    "plot_dom_arrays",
    "prescribed_values",
    "refresh_multigrid",
    "set_dof_arrays",
    "set_load_vector",
    "set_solution",
    "solution",
    "solve",
    "solve_amg",
    "stiffness_matrix",
    "worker_count",
]

_INT32 = np.iinfo(np.int32)

# Index arrays of exported matrices by (structure stamp, "indptr" | "indices"). Stamps are
# unique in the process, so an entry can never belong to another structure; an entry lives
# as long as some matrix (or caller) still holds the array.
_structures: weakref.WeakValueDictionary[tuple[int, str], np.ndarray] = weakref.WeakValueDictionary()


class SolverError(Exception):
    """A solve or a multigrid set-up that failed: the text says what went wrong and what to do.

    It is chained (``__cause__``) to the core's ``PanicException``, whose text it ends with.
    Unlike that one (a ``BaseException``), ``except Exception`` catches it.
    """


_NOT_DEFINITE = (
    "the matrix is not positive definite: check the supports (every rigid-body motion stopped) and the material"
)

# What a failure text of the core means, by a part of it: (part, what went wrong and what to do); the first match wins.
_EXPLANATIONS = (
    ("p.Ap = ", _NOT_DEFINITE),
    (
        "conjugate gradients: the preconditioner is not positive definite",
        "the multigrid preconditioner is not positive definite, so the matrix is probably not either: check the "
        "supports and the material, or solve with method='cg'",
    ),
    ("the right-hand side holds a non-finite value", "the load vector holds NaN or infinity: check the loads"),
    (
        "the start vector holds a non-finite value",
        "the start vector (the model's solution) holds NaN or infinity: set a finite one (system.set_solution)",
    ),
    ("multigrid: the matrix is not positive definite", _NOT_DEFINITE),
    (
        "a constraint needs a positive stiffness",
        "a supported unknown has no stiffness of its own: check the material and that the supported nodes belong "
        "to elements",
    ),
    ("multigrid: the matrix holds a non-finite value", "the matrix holds NaN or infinity: check the material"),
    (
        "multigrid: the matrix's entries",
        "the matrix's entries lie outside the range of single precision that the multigrid cycle computes in: "
        "express the model in other units, or solve with method='cg'",
    ),
    (
        "multigrid: the matrix's structure differs",
        "the hierarchy belongs to another matrix: build one for this model (system.multigrid)",
    ),
    (
        "multigrid: the hierarchy is not ready",
        "the hierarchy's last refresh failed: refresh it again (system.refresh_multigrid) or build a new one",
    ),
)


def _explanation(text: str) -> str:
    """What the core's failure `text` means for the user, and what to do."""
    for part, explanation in _EXPLANATIONS:
        if part in text:
            return explanation
    if text.startswith("conjugate gradients broke down at iteration"):
        if "overflows" in text:
            return (
                "a step overflowed: the matrix is nearly singular or its entries are far out of scale; check "
                "the supports and the units of the material"
            )
        return (
            "the system holds NaN or infinity (in the material, the loads or the start vector), or its "
            "residual overflowed: check them"
        )
    return "the solve failed"


def _is_core_failure(exc: BaseException) -> bool:
    """Whether `exc` is the core's PanicException (created by the extension, not a module attribute)."""
    kind = type(exc)
    return kind.__name__ == "PanicException" and kind.__module__ == "quarvex"


@contextlib.contextmanager
def _solver_failures() -> Iterator[None]:
    """Turns the core's PanicException raised inside into a SolverError chained to it.

    KeyboardInterrupt, MemoryError and every other exception pass through unchanged.
    """
    try:
        yield
    except BaseException as exc:
        if not _is_core_failure(exc):
            raise
        text = str(exc.args[0]) if exc.args else ""
        raise SolverError(f"{_explanation(text)} ({text})") from exc


def _float64_array(buffer: bytearray) -> np.ndarray:
    return np.frombuffer(buffer, dtype=np.float64)


def _float64_vector(name: str, values: npt.ArrayLike) -> np.ndarray:
    array = np.ascontiguousarray(values, dtype=np.float64)
    if array.ndim != 1:
        raise ValueError(f"argument '{name}': expected a 1-D array, got shape {array.shape}")
    return array


def solution(model: quarvex.Nexus) -> np.ndarray:
    """The solution vector ``sol`` of the free degrees of freedom.

    Parameters
    ----------
    model : quarvex.Nexus
        The model (borrowed shared).

    Returns
    -------
    numpy.ndarray
        (n,) float64, a copy: entry d is free degree of freedom d.
    """
    return _float64_array(_native.get_vector(model, "sol"))


def set_solution(model: quarvex.Nexus, values: npt.ArrayLike) -> None:
    """Overwrites ``sol``: the start vector of the next solve, or a solution computed elsewhere.

    Parameters
    ----------
    model : quarvex.Nexus
        The model (borrowed exclusively).
    values : array_like
        (n,) float, n the number of free degrees of freedom given to ``set_solver``.

    Raises
    ------
    ValueError
        If the length differs from the model's.
    """
    _native.set_vector(model, "sol", _float64_vector("values", values))


def load_vector(model: quarvex.Nexus) -> np.ndarray:
    """The load vector ``rhs``: body loads and the couplings with prescribed values, as assembled.

    Parameters
    ----------
    model : quarvex.Nexus
        The model (borrowed shared).

    Returns
    -------
    numpy.ndarray
        (n,) float64, a copy.
    """
    return _float64_array(_native.get_vector(model, "rhs"))


def set_load_vector(model: quarvex.Nexus, values: npt.ArrayLike) -> None:
    """Overwrites ``rhs``, for example with the assembled load plus surface or point loads.

    ``assemble`` adds into ``rhs`` and ``nullify`` zeroes it, so add your loads after the last
    ``assemble``: ``set_load_vector(model, load_vector(model) + extra)``.

    Parameters
    ----------
    model : quarvex.Nexus
        The model (borrowed exclusively).
    values : array_like
        (n,) float, n the number of free degrees of freedom.

    Raises
    ------
    ValueError
        If the length differs from the model's.
    """
    _native.set_vector(model, "rhs", _float64_vector("values", values))


def prescribed_values(model: quarvex.Nexus) -> np.ndarray:
    """The prescribed values ``bc`` given to ``set_solver``: entry k is the value of number -k.

    Parameters
    ----------
    model : quarvex.Nexus
        The model (borrowed shared).

    Returns
    -------
    numpy.ndarray
        float64 copy; entry 0 belongs to no degree of freedom.
    """
    return _float64_array(_native.get_vector(model, "bc"))


def _structure(model: quarvex.Nexus) -> tuple[int, np.ndarray, np.ndarray]:
    """(stamp, indptr, indices) of the model's current matrix structure, from the cache if alive."""
    version = _native.pattern_version(model)
    indptr = _structures.get((version, "indptr"))
    indices = _structures.get((version, "indices"))
    if indptr is None or indices is None:
        _rows, indptr_bytes, indices_bytes, itemsize = _native.matrix_structure(model)
        index_type = np.int32 if itemsize == 4 else np.int64
        indptr = np.frombuffer(indptr_bytes, dtype=index_type)
        indices = np.frombuffer(indices_bytes, dtype=index_type)
        indptr.flags.writeable = False
        indices.flags.writeable = False
        _structures[(version, "indptr")] = indptr
        _structures[(version, "indices")] = indices
    return version, indptr, indices


def stiffness_matrix(model: quarvex.Nexus) -> scipy.sparse.csr_matrix:
    """The free-free stiffness matrix as a ``scipy.sparse.csr_matrix``.

    Rows and columns are the free degrees of freedom 0 .. n - 1; couplings with prescribed
    values are not in it (``assemble`` moved them into the load vector). The values are a copy
    taken now, so export again after every ``assemble``. The indices are sorted, without
    duplicates, int32 while there are fewer than 2^31 stored values (else int64), and shared,
    read-only, with every matrix exported from the same structure (see the module docstring).

    Parameters
    ----------
    model : quarvex.Nexus
        The model (borrowed shared).

    Returns
    -------
    scipy.sparse.csr_matrix
        (n, n) float64.
    """
    import scipy.sparse

    indptr, indices, values = csr_arrays(model)
    rows = indptr.size - 1
    matrix = scipy.sparse.csr_matrix((values, indices, indptr), shape=(rows, rows), copy=False)
    matrix.has_sorted_indices = True
    matrix.has_canonical_format = True
    return matrix


def csr_arrays(model: quarvex.Nexus) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The matrix of :func:`stiffness_matrix` as CSR arrays, without scipy.

    Parameters
    ----------
    model : quarvex.Nexus
        The model (borrowed shared).

    Returns
    -------
    indptr, indices : numpy.ndarray
        int32 (int64 from 2^31 stored values on), shared and read-only as in :func:`stiffness_matrix`.
    values : numpy.ndarray
        float64, a copy taken now.

    Raises
    ------
    RuntimeError
        When the structure changed while it was exported (another thread's ``set_solver``).
    """
    version, indptr, indices = _structure(model)
    values = _float64_array(_native.matrix_values(model))
    if _native.pattern_version(model) != version or values.size != indices.size:
        raise RuntimeError("the model's matrix structure changed while it was exported; export again")
    return indptr, indices, values


def _integer_array(name: str, values: npt.ArrayLike, shape_text: str, width: int | None) -> np.ndarray:
    """values as an integer array of ndim 1 (width None) or (rows, width); empty input of any dtype is accepted."""
    array = np.asarray(values)
    if array.size == 0 and array.ndim <= (1 if width is None else 2):
        return np.zeros((0,) if width is None else (0, width), dtype=np.int32)
    if array.dtype.kind not in "iu":
        raise TypeError(f"argument '{name}': expected an integer array, got dtype {array.dtype}")
    if array.ndim != (1 if width is None else 2) or (width is not None and array.shape[1] != width):
        raise ValueError(f"argument '{name}': expected an array of shape {shape_text}, got shape {array.shape}")
    return array


def _overflow(value: int) -> OverflowError:
    """The error of the integer conversion of Nexus's methods for a value outside int32."""
    size = "large" if value > 0 else "small"
    return OverflowError(f"Python int too {size} to convert to a 32-bit signed integer")


def _check_int32(*columns: np.ndarray) -> None:
    """Raises the conversion's OverflowError for the first out-of-range value, reading the
    arrays item by item, each item's columns left to right (the order of a dict's key, then value)."""
    if all(column.size == 0 or (column.min() >= _INT32.min and column.max() <= _INT32.max) for column in columns):
        return
    rows = np.column_stack([column.reshape(column.shape[0], -1).astype(object) for column in columns]).ravel()
    for value in rows:
        if not _INT32.min <= value <= _INT32.max:
            raise _overflow(int(value))


def nexus_from_arrays(points: npt.ArrayLike, tetrahedra: npt.ArrayLike) -> quarvex.Nexus:
    """``quarvex.Nexus(pts, tets)`` from arrays, without a Python object per entry.

    The model is the one ``Nexus(pts, tets)`` builds from the same numbers, with the same
    checks: an index that is negative or not below the number of points raises
    ``PanicException`` "index out of bounds: the len is N but the index is I" (the first in
    element order; a negative index written as its unsigned 64-bit value), and an index
    outside the 32-bit range raises the same ``OverflowError``.

    Parameters
    ----------
    points : array_like
        (n, 3) float: vertex coordinates.
    tetrahedra : array_like
        (m, 4) integer: vertex indices of each tetrahedron, in its local vertex order.

    Returns
    -------
    quarvex.Nexus
        A new model with its elements and nothing else.
    """
    pts = np.asarray(points, dtype=np.float64)
    if pts.size == 0 and pts.ndim <= 2:
        pts = pts.reshape(0, 3)
    if pts.ndim != 2 or pts.shape[1] != 3:
        raise ValueError(f"argument 'points': expected an array of shape (n, 3), got shape {pts.shape}")
    tets = _integer_array("tetrahedra", tetrahedra, "(m, 4)", 4)
    if tets.dtype not in (np.dtype(np.int32), np.dtype(np.int64)):
        if tets.dtype == np.dtype(np.uint64) and tets.max() > _INT32.max:
            raise _overflow(int(tets.max()))
        tets = tets.astype(np.int64)
    return _native.nexus_from_arrays(np.ascontiguousarray(pts), np.ascontiguousarray(tets))


def set_dof_arrays(
    model: quarvex.Nexus,
    vertex_ids: npt.ArrayLike,
    vertex_ranges: npt.ArrayLike,
    edge_keys: npt.ArrayLike,
    edge_ranges: npt.ArrayLike,
) -> None:
    """``model.set_dof(ver_dof, edge_dof)`` from arrays, without a Python object per entry.

    Equivalent to ``set_dof(dict(zip(ids, map(tuple, vertex_ranges))), dict(zip(map(tuple,
    edge_keys), map(tuple, edge_ranges))))``: a later row of the same key replaces an earlier
    one, edge keys are ordered pairs, and a value outside the 32-bit range raises the same
    ``OverflowError`` (the first one met item by item, vertices before edges).

    Parameters
    ----------
    model : quarvex.Nexus
        The model (borrowed exclusively).
    vertex_ids : array_like
        (k,) integer vertex indices.
    vertex_ranges : array_like
        (k, 2) integer: (start, count) of each vertex's degrees of freedom.
    edge_keys : array_like
        (e, 2) integer: the ordered vertex pair (a, b) of each edge entry.
    edge_ranges : array_like
        (e, 2) integer: (start, count) of each edge entry.
    """
    ids = _integer_array("vertex_ids", vertex_ids, "(k,)", None)
    ranges = _integer_array("vertex_ranges", vertex_ranges, "(k, 2)", 2)
    keys = _integer_array("edge_keys", edge_keys, "(e, 2)", 2)
    edge_values = _integer_array("edge_ranges", edge_ranges, "(e, 2)", 2)
    if ranges.shape[0] != ids.shape[0]:
        raise ValueError(f"argument 'vertex_ranges': {ranges.shape[0]} ranges for {ids.shape[0]} vertices")
    if edge_values.shape[0] != keys.shape[0]:
        raise ValueError(f"argument 'edge_ranges': {edge_values.shape[0]} ranges for {keys.shape[0]} edges")
    _check_int32(ids, ranges)
    _check_int32(keys, edge_values)
    _native.set_dof_arrays(
        model,
        *(np.ascontiguousarray(array, dtype=np.int32) for array in (ids, ranges, keys, edge_values)),
    )


def _plot_arrays(buffers: tuple[bytearray, bytearray], points_per_edge: int) -> tuple[np.ndarray, np.ndarray]:
    keys, points = buffers
    return (
        np.frombuffer(keys, dtype=np.int32).reshape(-1, 2),
        np.frombuffer(points, dtype=np.float64).reshape(-1, points_per_edge, 3),
    )


def plot_dom_arrays(model: quarvex.Nexus) -> tuple[np.ndarray, np.ndarray]:
    """``model.plot_dom()`` as arrays: every element edge and its end points.

    Row e of both arrays is the e-th entry of the dict ``plot_dom`` returns: edges under the
    ordered vertex pair (i, j) of the elements that have them, sorted by i, then j; where
    several elements have an edge under the same key, the last of them gives the points.

    Parameters
    ----------
    model : quarvex.Nexus
        The model (borrowed shared).

    Returns
    -------
    keys : numpy.ndarray
        (e, 2) int32: the vertex pair (i, j) of each edge.
    points : numpy.ndarray
        (e, 2, 3) float64: the start vertex i and the end vertex j.
    """
    return _plot_arrays(_native.plot_dom_arrays(model), 2)


def plot_disp_arrays(model: quarvex.Nexus) -> tuple[np.ndarray, np.ndarray]:
    """``model.plot_disp()`` as arrays: every element edge, displaced by the solution.

    The rows follow the entries of the dict ``plot_disp`` returns, as in :func:`plot_dom_arrays`.

    Parameters
    ----------
    model : quarvex.Nexus
        The model (borrowed shared), with ``set_solver`` done.

    Returns
    -------
    keys : numpy.ndarray
        (e, 2) int32: the vertex pair (i, j) of each edge.
    points : numpy.ndarray
        (e, 3, 3) float64: the displaced start vertex, edge midpoint and end vertex.

    Raises
    ------
    quarvex.PanicException
        As ``plot_disp`` does, for the first element whose numbers have no value in the
        solution or in the prescribed values.
    """
    return _plot_arrays(_native.plot_disp_arrays(model), 3)


@dataclass(frozen=True)
class SolveResult:
    """What :func:`solve` reached.

    Attributes
    ----------
    iterations : int
        Conjugate-gradient steps made.
    residual_norm : float
        ||b - A x|| of the returned solution, recomputed from its definition.
    rhs_norm : float
        ||b||.
    converged : bool
        Whether residual_norm <= max(rtol * rhs_norm, atol).
    history : numpy.ndarray or None
        (iterations + 1,) residual norms when asked for: the start, then after each step
        (the recursively updated residual, recomputed every ~sqrt(n) steps); the last entry
        is residual_norm.
    stalled : bool
        Whether the solve stopped before its step limit because the residual no longer falls:
        the tolerance lies below what rounding lets b - A x reach.
    method : str
        The method that ran ("amg", "direct" or "cg"; empty from the functions of this module,
        which run one method each).
    reason : str
        Why `solve_system` ran that method (the choice of ``method="auto"``, or "asked for").
    """

    iterations: int
    residual_norm: float
    rhs_norm: float
    converged: bool
    history: np.ndarray | None = None
    stalled: bool = False
    method: str = ""
    reason: str = ""

    @property
    def relative_residual(self) -> float:
        """residual_norm / rhs_norm (inf for a zero load with a non-zero residual, 0 for both zero)."""
        if self.rhs_norm == 0.0:
            return 0.0 if self.residual_norm == 0.0 else float("inf")
        return self.residual_norm / self.rhs_norm


def solve(
    model: quarvex.Nexus,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
) -> SolveResult:
    """Solves the assembled system by conjugate gradients, starting from the current ``sol``.

    Stops when ||b - A x|| <= max(rtol * ||b||, atol), confirmed on a recomputed residual, or
    after ``maxiter`` steps, or where the residual no longer falls (it sits at the rounding
    floor of b - A x, below which the tolerance lies: ``stalled``), or when a step meets a
    zero or non-finite curvature p.Ap (a matrix that is not symmetric positive definite, or
    NaN in the system). A load far from 1 (below 2^-256 or above 2^256) is solved scaled by a
    power of two, so that no norm under- or overflows. The solution is left in ``sol`` (read it
    with :func:`solution`). Ctrl-C raises ``KeyboardInterrupt`` within one step, leaving the
    last iterate in ``sol``.

    Parameters
    ----------
    model : quarvex.Nexus
        An assembled model (borrowed exclusively).
    rtol : float
        Tolerance relative to ||b||, >= 0.
    atol : float
        Absolute tolerance, >= 0; the stricter test of the two is the looser tolerance.
    maxiter : int or None
        Step limit; None allows 10 n steps for n unknowns.
    history : bool
        Whether to record the residual norm after every step.

    Returns
    -------
    SolveResult
        A ``RuntimeWarning`` says so (and why) when the tolerance was not met.

    Raises
    ------
    SolverError
        When conjugate gradients break down (a zero or non-finite curvature or residual, from a
        matrix that is not symmetric positive definite or not finite); the solution keeps the
        last finite iterate.
    """
    with _solver_failures():
        report = _native.solve(model, rtol, atol, maxiter, history)
    return _report(report, rtol, atol, maxiter, "conjugate gradients")


@dataclass(frozen=True, eq=False)
class Constraints:
    """Constraints enforced in a model's system by :func:`constrain`, and its rows as they were.

    Attributes
    ----------
    unknowns : (p,) int64
        The constrained unknowns, increasing.
    values : (p,) float64
        Their values.
    frame_first : (f,) int64
        First unknown of every node turned into a frame of its own.
    frames : (f, 3, 3) float64
        The frames' axes, one per row.
    row_first, cols, vals : numpy.ndarray
        The constrained rows before elimination (in the frames), in CSR form.
    loads : (p,) float64
        Their loads before elimination.
    """

    unknowns: np.ndarray
    values: np.ndarray
    frame_first: np.ndarray
    frames: np.ndarray
    row_first: np.ndarray
    cols: np.ndarray
    vals: np.ndarray
    loads: np.ndarray

    def reactions(self, solution: npt.ArrayLike) -> np.ndarray:
        """(p,) float64: A x - b on the constrained rows, what the supports exert on the system.

        Parameters
        ----------
        solution : array_like
            (n,) the solved vector (in the frames, as :func:`solution` returns it).
        """
        x = np.asarray(solution, dtype=np.float64)
        products = self.vals * x[self.cols]
        sums = np.add.reduceat(products, self.row_first[:-1]) if len(products) else np.zeros(len(self.unknowns))
        sums[self.row_first[:-1] == self.row_first[1:]] = 0.0  # rows without entries
        return sums - self.loads


def constrain(
    model: quarvex.Nexus,
    unknowns: npt.ArrayLike,
    values: npt.ArrayLike,
    frame_first: npt.ArrayLike | None = None,
    frames: npt.ArrayLike | None = None,
) -> Constraints:
    """Enforces prescribed unknowns in the assembled system, in place.

    First the three unknowns from each ``frame_first[k]`` are turned into the frame whose axes
    are the rows of ``frames[k]`` (x' = R x, A' = T A T^T, b' = T b), then every constrained
    unknown leaves the system by symmetric elimination: the other rows' loads take its
    couplings times its value, its row and column are zeroed but for the diagonal, and its
    load becomes diagonal times value (its start value the value). The matrix stays symmetric
    positive definite with its structure, and every solve of the model meets the constraints.
    Call it after the last change to the matrix and the load vector; solutions read back along
    the frames on the turned nodes.

    Parameters
    ----------
    model : quarvex.Nexus
        An assembled model (borrowed exclusively).
    unknowns : array_like
        (p,) int, free numbers, increasing.
    values : array_like
        (p,) float, finite.
    frame_first : array_like, optional
        (f,) int: first of the three unknowns of every node with a frame.
    frames : array_like, optional
        (f, 3, 3) float: orthonormal axes, one per row.

    Returns
    -------
    Constraints

    Raises
    ------
    ValueError
        For unknowns that are not increasing or not below the system's size, values that are not
        finite, frames that overlap, leave the system or are not orthonormal.
    quarvex.PanicException
        When a constrained unknown has no positive stiffness.
    """
    numbers = np.ascontiguousarray(np.asarray(unknowns).reshape(-1), dtype=np.int64)
    prescribed = np.ascontiguousarray(np.asarray(values, dtype=np.float64).reshape(-1))
    first = np.ascontiguousarray(
        np.zeros(0) if frame_first is None else np.asarray(frame_first).reshape(-1), dtype=np.int64
    )
    axes = np.ascontiguousarray(np.zeros((0, 3, 3)) if frames is None else np.asarray(frames, dtype=np.float64))
    size = len(solution(model))
    if len(prescribed) != len(numbers):
        raise ValueError(f"{len(prescribed)} values for {len(numbers)} constrained unknowns")
    if len(numbers) and (np.any(np.diff(numbers) <= 0) or numbers[0] < 0 or numbers[-1] >= size):
        raise ValueError(f"constrained unknowns must increase strictly within 0..{size - 1}")
    if not np.all(np.isfinite(prescribed)):
        bad = int(np.flatnonzero(~np.isfinite(prescribed))[0])
        raise ValueError(f"constrained unknown {numbers[bad]} has the value {prescribed[bad]}")
    if axes.shape != (len(first), 3, 3):
        raise ValueError(f"frames must have shape ({len(first)}, 3, 3), got {axes.shape}")
    if len(first):
        if first.min() < 0 or first.max() > size - 3:
            raise ValueError(f"frames must lie within the {size} unknowns")
        taken = np.sort((first[:, None] + np.arange(3)).ravel())
        if np.any(np.diff(taken) == 0):
            raise ValueError("frames overlap: an unknown lies in two of them")
        if not np.allclose(np.einsum("kij,klj->kil", axes, axes), np.eye(3), rtol=0.0, atol=1e-10):
            raise ValueError("the axes of every frame must be orthonormal")
    row_first, cols, vals, loads = _native.constrain(model, numbers, prescribed, first, axes.reshape(-1, 9))
    return Constraints(
        numbers,
        prescribed,
        first,
        axes,
        np.frombuffer(row_first, dtype=np.uint64).astype(np.int64),
        np.frombuffer(cols, dtype=np.int32),
        _float64_array(vals),
        _float64_array(loads),
    )


def add_matrix_entries(model: quarvex.Nexus, rows: npt.ArrayLike, cols: npt.ArrayLike, values: npt.ArrayLike) -> None:
    """Adds values to entries of the assembled matrix (repeated entries add up).

    Parameters
    ----------
    model : quarvex.Nexus
        An assembled model (borrowed exclusively).
    rows, cols : array_like
        (k,) int: entries that the matrix's structure holds (two unknowns of one element).
    values : array_like
        (k,) float, finite.

    Raises
    ------
    quarvex.PanicException
        For an entry outside the structure or a value that is not finite; nothing is added then.
    """
    row_array = np.ascontiguousarray(np.asarray(rows).reshape(-1), dtype=np.int64)
    col_array = np.ascontiguousarray(np.asarray(cols).reshape(-1), dtype=np.int64)
    value_array = np.ascontiguousarray(np.asarray(values, dtype=np.float64).reshape(-1))
    _native.add_matrix_entries(model, row_array, col_array, value_array)


if TYPE_CHECKING:
    Multigrid: TypeAlias = Any  # the native hierarchy, opaque to the type checker
else:
    Multigrid = _native.Multigrid


def multigrid(model: quarvex.Nexus, constraints: Constraints | None = None) -> Multigrid:
    """A smoothed-aggregation multigrid hierarchy for the model's assembled matrix.

    The near null space is the six rigid-body modes, taken from the node of every free
    unknown; every node must have three consecutive unknowns (x, y, z), as the package's
    numbering gives. On a thin wall (the free nodes' smallest extent along x, y or z at most a
    tenth of the middle one) three plate-bending modes about that axis join them, and the
    strength threshold of the aggregation rises from 0.02 to 0.05: a 1 x 1 x 0.002 plate then
    needs about 130 steps to 1e-4 instead of failing to get there in 600.
    The hierarchy serves any number of solves with new load vectors; after a
    reassembly with the same structure call `refresh_multigrid`. The modes vanish on unknowns
    whose rows couple to no other (those :func:`constrain` eliminated), and are turned into
    the frames of `constraints`.

    Parameters
    ----------
    model : quarvex.Nexus
        An assembled model (borrowed shared).
    constraints : Constraints, optional
        What :func:`constrain` did to the model (its frames).

    Returns
    -------
    Multigrid

    Raises
    ------
    SolverError
        When the matrix is not finite or not positive definite on its diagonal blocks.
    """
    first = np.zeros(0, dtype=np.int64) if constraints is None else constraints.frame_first
    axes = np.zeros((0, 9)) if constraints is None else constraints.frames.reshape(-1, 9)
    with _solver_failures():
        return _native.amg_setup(model, np.ascontiguousarray(first, dtype=np.int64), np.ascontiguousarray(axes))


def multigrid_stats(hierarchy: Multigrid) -> dict:
    """The size of a multigrid hierarchy.

    Returns
    -------
    dict
        ``"rows"``: the unknowns of every level (list of int, level 0 the model's); ``"values"``:
        the stored values of every level's operator; ``"operator_complexity"``: the sum of the
        values over all levels divided by those of level 0 (float, 1.0 for a single level).
    """
    return hierarchy.stats()


def refresh_multigrid(model: quarvex.Nexus, hierarchy: Multigrid) -> None:
    """Recomputes the hierarchy's values for the model's reassembled matrix (same structure),
    keeping its aggregation.

    Raises
    ------
    SolverError
        When the matrix has another structure, is not finite or not positive definite; the
        hierarchy is then refused until a refresh succeeds.
    """
    with _solver_failures():
        _native.amg_refresh(model, hierarchy)


def solve_amg(
    model: quarvex.Nexus,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
    hierarchy: Multigrid | None = None,
    constraints: Constraints | None = None,
) -> SolveResult:
    """Solves the assembled system by multigrid-preconditioned conjugate gradients.

    Parameters are those of `solve`; `hierarchy` reuses a `multigrid(model)` built before
    (otherwise one is built for this call, with the frames of `constraints`).

    Returns
    -------
    SolveResult
        A ``RuntimeWarning`` says so (and why) when the tolerance was not met.

    Raises
    ------
    SolverError
        When the matrix or the preconditioner is not positive definite, the system is not
        finite, or the hierarchy belongs to another matrix; the solution keeps the last iterate.
    """
    if hierarchy is None:
        hierarchy = multigrid(model, constraints)
    with _solver_failures():
        report = _native.amg_solve(model, hierarchy, rtol, atol, maxiter, history)
    return _report(report, rtol, atol, maxiter, "multigrid conjugate gradients")


def solve_amg_many(
    model: quarvex.Nexus,
    loads: np.ndarray,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
    hierarchy: Multigrid | None = None,
    constraints: Constraints | None = None,
) -> tuple[np.ndarray, list[SolveResult]]:
    """Solves the assembled matrix for several loads at once, each from the model's solution.

    Every load runs its own multigrid-preconditioned conjugate gradients, with its own stop
    test, but the loads share each matrix product and each multigrid cycle, which read the
    matrices once for all of them: several loads solve in a fraction of the time of as many
    separate solves. The model's own vectors stay as they are.

    Parameters
    ----------
    model : quarvex.Nexus
        An assembled and constrained model.
    loads : (k, n) float64
        The load vectors, one per row, n the model's unknowns.
    rtol, atol, maxiter, history, hierarchy, constraints
        As for `solve_amg`.

    Returns
    -------
    solutions : (k, n) float64
        The solution of each load.
    results : list of SolveResult
        One per load; a ``RuntimeWarning`` for each that missed its tolerance.

    Raises
    ------
    SolverError
        As `solve_amg` (a breakdown in one load ends the solve of all).
    ValueError
        When `loads` is not (k, n).
    """
    array = np.ascontiguousarray(loads, dtype=np.float64)
    unknowns = len(solution(model))
    if array.ndim != 2 or array.shape[1] != unknowns:
        raise ValueError(f"loads must have shape (k, {unknowns}), got {np.shape(loads)}")
    if hierarchy is None:
        hierarchy = multigrid(model, constraints)
    with _solver_failures():
        raw, reports = _native.amg_solve_many(model, hierarchy, array, rtol, atol, maxiter, history)
    solutions = np.frombuffer(raw, dtype=np.float64).reshape(array.shape)
    return solutions, [_report(report, rtol, atol, maxiter, "multigrid conjugate gradients") for report in reports]


def _report(report: tuple, rtol: float, atol: float, maxiter: int | None, method: str) -> SolveResult:
    """The SolveResult of a native solve's tuple, warning when it did not converge."""
    iterations, residual_norm, rhs_norm, converged, norms, stalled = report
    result = SolveResult(
        iterations=iterations,
        residual_norm=residual_norm,
        rhs_norm=rhs_norm,
        converged=converged,
        history=None if norms is None else np.asarray(norms, dtype=np.float64),
        stalled=bool(stalled),
    )
    if not converged:
        warn_unconverged(result, rtol, atol, maxiter, method)
    return result


def warn_unconverged(result: SolveResult, rtol: float, atol: float, maxiter: int | None, method: str) -> None:
    """Emits the RuntimeWarning of an iterative solve that stopped short of its tolerance, saying why; it
    points at the caller's line outside the package."""
    tolerance = max(rtol * result.rhs_norm, atol)
    if result.stalled:
        reason = (
            "stopped where the residual no longer falls (the tolerance lies below what rounding lets b - A x reach)"
        )
    elif maxiter is not None:
        reason = f"reached maxiter = {maxiter}"
    else:
        reason = "reached the default limit of 10 steps per unknown"
    warnings.warn(
        f"{method} {reason} after {result.iterations} steps: residual {result.residual_norm:.3e} > "
        f"tolerance {tolerance:.3e} (rtol={rtol:g}, atol={atol:g}, ||b||={result.rhs_norm:.3e})",
        RuntimeWarning,
        stacklevel=user_stacklevel(),
    )


def worker_count() -> int:
    """Threads of the process's one worker pool (QUARVEX_NUM_THREADS, else one per logical processor).

    Returns
    -------
    int
        At least 1; shared by ``quarvex`` and ``quarvex_tools``.
    """
    return _native.worker_count()
