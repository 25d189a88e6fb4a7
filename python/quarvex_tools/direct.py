"""A sparse direct solve of the assembled system: a Cholesky factorisation by MKL PARDISO, then
conjugate gradients preconditioned by the factor on the true residual b - A x.

The factor solves the system to rounding in one substitution on well-conditioned models; on thin
plates and slender beams rounding in the factor leaves a residual that a few steps with the factor
as preconditioner bring down to the floor of b - A x itself. The memory the factorisation needs is
known after its ordering (the analysis), before any of it is spent: a factorisation that would not
fit in the available memory is refused with `MemoryError`.

- :func:`available`: whether MKL's library loads (the optional extra ``direct``).
- :func:`estimate`: the factorisation's peak memory and operation count, from the analysis.
- :func:`solve`: factorise, solve, refine; the solution goes back into the model.

The analysis depends on the matrix's structure only, so :func:`estimate` keeps the last one for the
next :func:`solve` of a matrix of the same structure; every solve frees its factor before it returns.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import glob
import logging
import os
import site
import sys
import threading
import time
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

import quarvex

from . import _native, system
from ._caller import user_stacklevel

if TYPE_CHECKING:
    import scipy.sparse

__all__ = ["Estimate", "available", "estimate", "solve"]

_INSTALL = 'pip install "quarvex[direct]"'
_log = logging.getLogger(__name__)

_METHOD = "direct solve (PARDISO Cholesky with refinement)"
_DEFAULT_MAXITER = 20
_SLICE_SECONDS = 0.05  # how often the caller's thread looks up from a running factorisation for Ctrl-C
_STALL_STEPS = 2  # steps in a row that fail to cut the best residual by _STALL_FACTOR before the solve stops
_STALL_FACTOR = 0.9
_FLOOR_CUT = 0.1  # below the rounding floor, a step must cut the residual this much for another to follow

# PARDISO's phases and control entries (0-based positions in iparm).
_ANALYSE, _FACTORISE, _SUBSTITUTE, _RELEASE = 11, 22, 33, -1
_SPD = 2  # real symmetric positive definite
_IPARM_DEFAULTS = {
    0: 1,  # the entries below are given, the rest zero
    1: 2,  # nested dissection ordering (METIS)
    17: -1,  # report the factor's non-zero count
    34: 1,  # zero-based indices
}
_PEAK_ANALYSIS, _PERMANENT, _FACTOR_MEMORY, _FACTOR_ENTRIES, _MFLOPS = 14, 15, 16, 17, 18
_ERRORS = {
    -1: "input inconsistent",
    -2: "not enough memory",
    -3: "reordering problem",
    -4: "zero pivot",
    -7: "diagonal matrix is singular",
    -8: "32-bit integer overflow",
    -9: "not enough memory for the out-of-core solver",
    -12: "wrong PARDISO version",
}

_PROGRESS = ctypes.CFUNCTYPE(
    ctypes.c_int, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int), ctypes.c_char_p, ctypes.c_int
)


class Estimate(NamedTuple):
    """What a factorisation of the model's matrix will cost, known from its analysis.

    Attributes
    ----------
    factor_bytes : int
        Peak memory of the factorisation and solve: the factor with PARDISO's working storage.
    flops : float
        Floating-point operations of the numerical factorisation.
    """

    factor_bytes: int
    flops: float


# Library ----------------------------------------------------------------------------------------


@dataclass
class _Library:
    """MKL's runtime library with the entry points the solve calls."""

    pardiso: Callable[..., None]
    progress: object  # the progress callback, kept alive as long as MKL may call it


_library_lock = threading.Lock()
_library: _Library | None = None
# One PARDISO call at a time in the process (each uses every core): MKL's worker threads cannot be
# told apart in the progress hook, so the hook stops whichever factor is running when it is cancelled.
_pardiso_lock = threading.Lock()
_running: _Factor | None = None


def _mkl_candidates() -> Iterator[str]:
    """Where MKL's runtime library may lie: the loader's path, then the lib folders of this
    environment, of the interpreter a virtual environment was made from (whose packages a
    ``--system-site-packages`` environment sees), and of the user's site (where the ``mkl``
    wheel puts it)."""
    found = ctypes.util.find_library("mkl_rt")
    if found:
        yield found
    roots = list(dict.fromkeys([sys.prefix, sys.base_prefix, site.getuserbase()]))
    for root in roots:
        for pattern in ("lib/libmkl_rt.so*", "Library/bin/mkl_rt*.dll", "lib/libmkl_rt*.dylib"):
            yield from sorted(glob.glob(os.path.join(root, pattern)), key=len)


def _progress(thread: object, step: object, stage: object, length: int) -> int:
    """MKL's progress hook, called by the threads of a running factorisation: non-zero stops it."""
    running = _running
    return 1 if running is not None and running.cancelled.is_set() else 0


def _load() -> _Library:
    """MKL's library, loaded on first use.

    Raises
    ------
    ImportError
        Naming the extra to install when no MKL runtime library loads.
    """
    global _library
    with _library_lock:
        if _library is not None:
            return _library
        failures = []
        for path in _mkl_candidates():
            try:
                handle = ctypes.CDLL(path)
                pardiso = handle.pardiso_64
                set_progress = handle.mkl_set_progress
            except (OSError, AttributeError) as exc:
                failures.append(f"{path}: {exc}")
                continue
            pardiso.restype = None
            pointer = ctypes.c_void_p
            pardiso.argtypes = [pointer] * 16
            callback = _PROGRESS(_progress)
            set_progress.restype = ctypes.c_void_p
            set_progress.argtypes = [_PROGRESS]
            set_progress(callback)
            _library = _Library(pardiso, callback)
            return _library
        detail = f" ({'; '.join(failures)})" if failures else ""
        raise ImportError(
            "MKL (its PARDISO solver) is needed for the direct solve but is not installed"
            f'{detail}; install it with: {_INSTALL} (or "quarvex[all]"; x86-64 only)'
        )


def available() -> bool:
    """Whether the direct solve can run: MKL's library loads.

    The first call loads the library (about a second).

    Returns
    -------
    bool
    """
    try:
        _load()
    except ImportError:
        return False
    return True


# One PARDISO handle -----------------------------------------------------------------------------


class _Factor:
    """A PARDISO handle for one matrix structure: the upper triangle in zero-based CSR, int64.

    Calls may run on a helper thread (see `_interruptible`); `release` frees PARDISO's memory at
    once when no call is running, otherwise as soon as the running call returns.
    """

    def __init__(
        self, library: _Library, stamp: int, indptr: np.ndarray, indices: np.ndarray, upper: np.ndarray
    ) -> None:
        self.library = library
        self.stamp = stamp
        self.indptr = indptr
        self.indices = indices
        self.upper = upper  # positions of the upper triangle's entries among the exported values
        self.values = np.zeros(indices.size)
        self.handle = np.zeros(64, dtype=np.int64)
        self.iparm = np.zeros(64, dtype=np.int64)
        for position, value in _IPARM_DEFAULTS.items():
            self.iparm[position] = value
        self.cancelled = threading.Event()  # set when the caller gave up on this factor's running call
        self._lock = threading.Lock()
        self._busy = False
        self._release_pending = False
        self._holds_memory = False

    @property
    def size(self) -> int:
        return self.indptr.size - 1

    def call(self, phase: int, rhs: np.ndarray | None = None) -> np.ndarray:
        """Runs one PARDISO phase; returns the solution for the substitution phase."""
        with self._lock:
            if self._release_pending:
                raise RuntimeError("the factor was released")
            self._busy = True
        try:
            return self._call(phase, rhs)
        finally:
            with self._lock:
                self._busy = False
                if self._release_pending:
                    self._free()

    def _call(self, phase: int, rhs: np.ndarray | None) -> np.ndarray:
        global _running
        with _pardiso_lock:
            _running = self
            try:
                return self._call_pardiso(phase, rhs)
            finally:
                _running = None

    def _call_pardiso(self, phase: int, rhs: np.ndarray | None) -> np.ndarray:
        rhs_array = np.zeros(max(self.size, 1)) if rhs is None else np.ascontiguousarray(rhs, dtype=np.float64)
        solution = np.zeros_like(rhs_array)
        error = ctypes.c_int64(0)
        integers = [ctypes.c_int64(value) for value in (1, 1, _SPD, phase, self.size)]
        nrhs, message_level = ctypes.c_int64(1), ctypes.c_int64(0)
        perm = np.zeros(1, dtype=np.int64)

        def address(value: ctypes._SimpleCData | np.ndarray) -> int:
            return ctypes.addressof(value) if isinstance(value, ctypes._SimpleCData) else value.ctypes.data

        self.library.pardiso(
            address(self.handle),
            address(integers[0]),
            address(integers[1]),
            address(integers[2]),
            address(integers[3]),
            address(integers[4]),
            address(self.values),
            address(self.indptr),
            address(self.indices),
            address(perm),
            address(nrhs),
            address(self.iparm),
            address(message_level),
            address(rhs_array),
            address(solution),
            address(error),
        )
        if phase != _RELEASE:
            self._holds_memory = True
        if error.value != 0:
            raise _PardisoError(int(error.value), phase)
        return solution

    def release(self) -> None:
        """Frees PARDISO's memory for this handle (now, or when the running call returns)."""
        with self._lock:
            if self._busy:
                self._release_pending = True
                return
            self._release_pending = True
            self._free()

    def _free(self) -> None:
        if self._holds_memory:
            self._holds_memory = False
            try:
                self._call(_RELEASE, None)
            except _PardisoError:
                pass  # nothing more can be done about memory PARDISO will not give back

    def peak_bytes(self) -> int:
        """Peak memory of factorisation and solve after the analysis, in bytes (PARDISO reports KB)."""
        kilobytes = max(int(self.iparm[_PEAK_ANALYSIS]), int(self.iparm[_PERMANENT] + self.iparm[_FACTOR_MEMORY]))
        return kilobytes * 1024


class _PardisoError(Exception):
    def __init__(self, code: int, phase: int) -> None:
        super().__init__(f"PARDISO error {code} ({_ERRORS.get(code, 'unknown')}) in phase {phase}")
        self.code = code


def _interruptible(factor: _Factor, phase: int, rhs: np.ndarray | None = None) -> np.ndarray:
    """Runs `factor.call(phase, rhs)` on a helper thread, so that Ctrl-C reaches the caller at once.

    On KeyboardInterrupt the helper's factorisation is asked to stop at its next progress report
    (MKL calls the hook many times a second while it factorises; the analysis and the substitution
    do not report and run to their end), the factor's memory is freed when it does, and the
    interrupt propagates.
    """
    outcome: dict[str, object] = {}
    finished = threading.Event()

    def work() -> None:
        try:
            outcome["value"] = factor.call(phase, rhs)
        except BaseException as exc:  # handed to the caller's thread
            outcome["error"] = exc
        finally:
            finished.set()

    helper = threading.Thread(target=work, name="quarvex-pardiso", daemon=True)
    helper.start()
    try:
        while not finished.wait(_SLICE_SECONDS):
            pass
    except KeyboardInterrupt:
        factor.cancelled.set()
        factor.release()
        raise
    if "error" in outcome:
        raise outcome["error"]  # type: ignore[misc]
    return outcome["value"]  # type: ignore[return-value]


# Analysis, kept for the next solve of the same structure ---------------------------------------

_cache_lock = threading.Lock()
_cached: _Factor | None = None


def _new_factor(library: _Library, stamp: int, matrix: scipy.sparse.csr_matrix, flops: bool) -> _Factor:
    """A handle for the structure `stamp` of `matrix` (the model's export), with its analysis done."""
    indptr, indices = matrix.indptr, matrix.indices
    size = matrix.shape[0]
    rows = np.repeat(np.arange(size, dtype=np.int64), np.diff(indptr))
    upper = np.flatnonzero(indices >= rows)
    diagonal = np.bincount(rows[indices == rows], minlength=size)
    if size and diagonal.min() == 0:
        missing = int(np.flatnonzero(diagonal == 0)[0])
        raise system.SolverError(f"the matrix has no diagonal entry in row {missing}: it cannot be positive definite")
    upper_indptr = np.zeros(size + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows[upper], minlength=size), out=upper_indptr[1:])
    factor = _Factor(library, stamp, upper_indptr, indices[upper].astype(np.int64), upper)
    if flops:
        factor.iparm[_MFLOPS] = -1
    try:
        _interruptible(factor, _ANALYSE)
    except _PardisoError as exc:
        factor.release()
        raise _failure(exc) from None
    except BaseException:
        factor.release()
        raise
    return factor


def _take_analysis(library: _Library, stamp: int, matrix: scipy.sparse.csr_matrix) -> _Factor:
    """The cached analysis of the structure `stamp` (handed over to the caller), or a new one."""
    global _cached
    with _cache_lock:
        factor, _cached = _cached, None
    if factor is not None and factor.stamp == stamp:
        return factor
    if factor is not None:
        factor.release()
    return _new_factor(library, stamp, matrix, flops=False)


def estimate(nexus: quarvex.Nexus) -> Estimate:
    """The memory and work of a direct solve of the model, from the ordering of its matrix.

    Runs the analysis (a fill-reducing ordering and the symbolic factorisation: a fraction of
    the factorisation's time) and keeps it, with its memory, for the next :func:`solve` of a
    matrix of the same structure (which frees it), or until the next estimate.

    Parameters
    ----------
    nexus : quarvex.Nexus
        An assembled model.

    Returns
    -------
    Estimate
        (factor_bytes, flops).

    Raises
    ------
    ImportError
        When MKL is not installed (``pip install "quarvex[direct]"``).
    """
    global _cached
    library = _load()
    stamp = _native.pattern_version(nexus)
    factor = _new_factor(library, stamp, system.stiffness_matrix(nexus), flops=True)
    result = Estimate(factor.peak_bytes(), float(factor.iparm[_MFLOPS]) * 1e6)
    with _cache_lock:
        previous, _cached = _cached, factor
    if previous is not None:
        previous.release()
    return result


def release() -> None:
    """Frees the analysis that the last :func:`estimate` kept (nothing happens when none is kept)."""
    global _cached
    with _cache_lock:
        previous, _cached = _cached, None
    if previous is not None:
        previous.release()


# Memory -----------------------------------------------------------------------------------------


def available_memory() -> int | None:
    """Bytes this process may still take.

    Returns
    -------
    int or None
        The system's available memory, or the room left under the process's cgroup limit where
        that is lower; None where neither can be read.
    """
    available = None
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    available = int(line.split()[1]) * 1024
                    break
    except OSError:
        try:
            available = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        except (AttributeError, ValueError, OSError):
            available = None
    try:
        with open("/sys/fs/cgroup/memory.max") as limit_file, open("/sys/fs/cgroup/memory.current") as used_file:
            limit = limit_file.read().strip()
            if limit != "max":
                room = int(limit) - int(used_file.read())
                available = room if available is None else min(available, room)
    except (OSError, ValueError):
        pass
    return available


def _check_memory(factor: _Factor) -> None:
    needed = factor.peak_bytes()
    room = available_memory()
    if room is not None and needed > room:
        raise MemoryError(
            f"the direct solve's factorisation needs about {needed / 2**30:.2f} GiB but only "
            f"{max(room, 0) / 2**30:.2f} GiB are available: solve with method='amg'"
        )


# The solve --------------------------------------------------------------------------------------


def _rounding_floor(matrix: scipy.sparse.csr_matrix, solution: np.ndarray, rhs: np.ndarray) -> float:
    """What rounding alone leaves of ||b - A x||: unit roundoff times || |A| |x| + |b| ||."""
    import scipy.sparse

    # |A| shares the structure of A; scipy's abs() would first sort and merge its indices.
    magnitudes = scipy.sparse.csr_matrix((np.abs(matrix.data), matrix.indices, matrix.indptr), shape=matrix.shape)
    magnitude = magnitudes @ np.abs(solution) + np.abs(rhs)
    return float(np.finfo(np.float64).eps * np.linalg.norm(magnitude))


def _failure(exc: _PardisoError) -> Exception:
    """The exception a caller gets for PARDISO's failure `exc`: what went wrong and what to do."""
    if exc.code in (-2, -9):
        return MemoryError(f"the direct solve ran out of memory ({exc}): solve with method='amg'")
    if exc.code == -4:
        text = (
            "the matrix is not positive definite: check the supports (every rigid-body motion stopped) and the material"
        )
    else:
        text = "the direct solve failed"
    return system.SolverError(f"{text} ({exc})")


def solve(
    nexus: quarvex.Nexus,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
    constraints: system.Constraints | None = None,
) -> system.SolveResult:
    """Solves the assembled system by a Cholesky factorisation, then refines on the true residual.

    The matrix is analysed (ordering, symbolic factorisation), factorised once and solved; then
    conjugate gradients preconditioned by the factor run on the recomputed residual b - A x until
    ||b - A x|| <= max(rtol * ||b||, atol), or until the residual stops falling (two steps in a row
    that do not cut it by a tenth: the rounding floor of b - A x, or of the factor), or after
    `maxiter` steps. The best solution met is written into the model.

    Parameters
    ----------
    nexus : quarvex.Nexus
        An assembled model (after `set_solver` and `assemble`; supports already enforced).
    rtol, atol : float
        Relative and absolute tolerance on the residual norm, >= 0.
    maxiter : int, optional
        Refinement steps allowed after the direct solve (default 20).
    history : bool
        Keep the residual norm after the direct solve and after every step (the solution returned
        is the best of these iterates).
    constraints : system.Constraints, optional
        Accepted for the common signature of the solvers; the supports are already in the matrix.

    Returns
    -------
    system.SolveResult
        `iterations` counts refinement steps. A ``RuntimeWarning`` says so, with the residual
        reached, when the tolerance was not met (`stalled` when the residual stopped falling).

    Raises
    ------
    ImportError
        When MKL is not installed (``pip install "quarvex[direct]"``).
    MemoryError
        When the factorisation would need more memory than is available (the need is known
        from the analysis, before the factorisation), or ran out of it; the model is unchanged.
    system.SolverError
        When the matrix is not positive definite or singular to working precision (a model
        that can move as a rigid body), or the matrix or loads are not finite; the model is
        unchanged.
    KeyboardInterrupt
        On Ctrl-C, within a fraction of a second (an analysis or a substitution under way
        finishes on a helper thread, which then frees its memory); the model is unchanged.
    """
    del constraints  # enforced in the matrix by system.constrain
    _check_limits(rtol, atol, maxiter)
    _load()
    rhs = system.load_vector(nexus)
    # A zero load needs no factor, and solve_factorised refuses a load that is not finite.
    factorised = factorise(nexus) if np.any(rhs) and np.all(np.isfinite(rhs)) else None
    try:
        return solve_factorised(factorised, nexus, rtol, atol, maxiter, history)
    finally:
        if factorised is not None:
            factorised.release()


def _check_limits(rtol: float, atol: float, maxiter: int | None) -> None:
    if not (rtol >= 0.0 and atol >= 0.0):
        raise ValueError(f"rtol and atol must be >= 0, got rtol={rtol}, atol={atol}")
    if maxiter is not None and maxiter < 0:
        raise ValueError(f"maxiter must be >= 0, got {maxiter}")


@dataclass
class Factorised:
    """A model's matrix with its Cholesky factor, for the solves of several loads.

    Attributes
    ----------
    matrix : scipy.sparse.csr_matrix
        The matrix factorised.
    """

    factor: _Factor
    matrix: scipy.sparse.csr_matrix

    def release(self) -> None:
        """Frees the factor's memory (the object cannot solve afterwards)."""
        self.factor.release()


def factorise(nexus: quarvex.Nexus) -> Factorised:
    """Analyses (or takes the analysis :func:`estimate` kept) and factorises the model's matrix.

    Parameters
    ----------
    nexus : quarvex.Nexus
        An assembled model, its supports enforced.

    Returns
    -------
    Factorised
        Call its ``release()`` when done (`solve` does).

    Raises
    ------
    ImportError, MemoryError, system.SolverError, KeyboardInterrupt
        As :func:`solve`; nothing is kept.
    """
    start = time.perf_counter()
    library = _load()
    matrix = system.stiffness_matrix(nexus)
    if not np.all(np.isfinite(matrix.data)):
        raise system.SolverError("the matrix holds NaN or infinity: check the material")
    factor = _take_analysis(library, _native.pattern_version(nexus), matrix)
    try:
        _check_memory(factor)
        factor.values = matrix.data[factor.upper]
        try:
            _interruptible(factor, _FACTORISE)
        except _PardisoError as exc:
            raise _failure(exc) from None
    except BaseException:
        factor.release()
        raise
    _log.info("factorised (%.0f MB) in %.2f s", factor.peak_bytes() / 2**20, time.perf_counter() - start)
    return Factorised(factor, matrix)


def solve_factorised(
    factorised: Factorised | None,
    nexus: quarvex.Nexus,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
) -> system.SolveResult:
    """:func:`solve` for the load the model holds, with a factor made before (kept, not freed).

    `factorised` may be None only for a zero load, whose answer is zero.
    """
    _check_limits(rtol, atol, maxiter)
    rhs = system.load_vector(nexus)
    if not np.all(np.isfinite(rhs)):
        raise system.SolverError("the load vector holds NaN or infinity: check the loads")
    rhs_norm = float(np.linalg.norm(rhs))
    tolerance = max(rtol * rhs_norm, atol)
    if rhs.size == 0 or rhs_norm == 0.0:
        system.set_solution(nexus, np.zeros(rhs.size))
        return system.SolveResult(
            iterations=0, residual_norm=0.0, rhs_norm=rhs_norm, converged=True, history=np.zeros(1) if history else None
        )
    if factorised is None:
        raise ValueError("a non-zero load needs the factor: pass factorise(nexus)")
    matrix = factorised.matrix
    steps_allowed = _DEFAULT_MAXITER if maxiter is None else maxiter
    try:
        solution, norms, stalled, floor = _refine(factorised.factor, matrix, rhs, tolerance, steps_allowed)
    except _PardisoError as exc:
        raise _failure(exc) from None
    residual_norm = min(norms)
    converged = bool(residual_norm <= tolerance)
    if floor >= rhs_norm:
        # Rounding alone could leave a residual as large as the load: no digit of x can be trusted.
        raise system.SolverError(
            f"the matrix is singular to working precision (rounding bounds ||b - A x|| only by {floor:.3e} "
            f"for ||b|| = {rhs_norm:.3e}): check the supports (every rigid-body motion stopped) and the material"
        )
    system.set_solution(nexus, solution)
    result = system.SolveResult(
        iterations=len(norms) - 1,
        residual_norm=residual_norm,
        rhs_norm=rhs_norm,
        converged=converged,
        history=np.asarray(norms) if history else None,
        stalled=stalled and not converged,
    )
    if not converged:
        _warn(result, floor, tolerance, rtol, atol, maxiter)
    return result


def _refine(
    factor: _Factor, matrix: scipy.sparse.csr_matrix, rhs: np.ndarray, tolerance: float, steps_allowed: int
) -> tuple[np.ndarray, list[float], bool, float]:
    """Conjugate gradients preconditioned by the factor, from the direct solution, on the true residual.

    Returns the best solution met, the residual norm of every iterate (the direct solution first),
    whether the residual stopped falling, and the rounding floor of b - A x at the direct solution
    (0 when that solution met the tolerance: no floor is needed then). The refinement changes x
    by far less than its size, so the floor holds for the solution returned too.

    Below the rounding floor of b - A x a step that does not cut the residual tenfold ends the
    refinement: what is left is rounding, not the factor's error, and further steps only repeat
    it (measured on thin plates and slender beams: the steps after such one change it by under 1 %).
    """
    solution = _interruptible(factor, _SUBSTITUTE, rhs)
    residual = rhs - matrix @ solution
    norms = [float(np.linalg.norm(residual))]
    floor = _rounding_floor(matrix, solution, rhs) if norms[0] > tolerance else 0.0
    best, best_norm = solution, norms[0]
    stalled_steps = 0
    search_dir: np.ndarray | None = None
    previous_residual: np.ndarray | None = None
    previous_rz = 0.0
    while best_norm > tolerance and len(norms) - 1 < steps_allowed:
        preconditioned = _interruptible(factor, _SUBSTITUTE, residual)  # z = M^-1 r
        rz = float(residual @ preconditioned)
        if search_dir is None or previous_residual is None:
            search_dir = preconditioned
        else:
            # Polak-Ribiere: beta = z.(r - r_old) / (r_old.z_old), robust to the recomputed residual
            beta = max(float(preconditioned @ (residual - previous_residual)) / previous_rz, 0.0)
            search_dir = preconditioned + beta * search_dir  # p = z + beta p
        product = matrix @ search_dir
        curvature = float(search_dir @ product)
        if not curvature > 0.0:
            return best, norms, True, floor  # p.Ap = 0: no step can lower the residual any more
        alpha = rz / curvature
        solution = solution + alpha * search_dir  # x += alpha p
        previous_residual, previous_rz = residual, rz
        residual = rhs - matrix @ solution  # the true residual, not the recursive one
        norms.append(float(np.linalg.norm(residual)))
        if norms[-1] < _STALL_FACTOR * best_norm:
            stalled_steps = 0
        else:
            stalled_steps += 1
        if norms[-1] < best_norm:
            best, best_norm = solution, norms[-1]
        if stalled_steps >= _STALL_STEPS or (best_norm < floor and norms[-1] > _FLOOR_CUT * norms[-2]):
            return best, norms, True, floor
    return best, norms, False, floor


def _warn(
    result: system.SolveResult, floor: float, tolerance: float, rtol: float, atol: float, maxiter: int | None
) -> None:
    """The RuntimeWarning of a solve that did not reach its tolerance, saying why (`floor`: what
    rounding alone may leave of the residual)."""
    if result.stalled:
        if result.residual_norm <= floor:
            reason = (
                f"the residual stopped falling at the rounding floor of b - A x (about {floor:.3e}, "
                f"{floor / result.rhs_norm:.1e} of ||b||), above the tolerance"
            )
        else:
            reason = (
                f"the residual stopped falling above the rounding floor of b - A x (about {floor:.3e}): "
                "the factor is too inaccurate for this matrix"
            )
    elif maxiter is not None:
        reason = f"it reached maxiter = {maxiter}"
    else:
        reason = f"it reached the default limit of {_DEFAULT_MAXITER} refinement steps"
    warnings.warn(
        f"{_METHOD} did not converge: residual {result.residual_norm:.3e} > tolerance {tolerance:.3e} "
        f"(rtol={rtol:g}, atol={atol:g}, ||b||={result.rhs_norm:.3e}) after {result.iterations} refinement "
        f"steps; {reason}",
        RuntimeWarning,
        stacklevel=user_stacklevel(),
    )
