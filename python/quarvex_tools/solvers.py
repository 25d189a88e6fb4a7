"""The one entry point through which the package solves an assembled model.

`solve_system` runs one of three methods: multigrid-preconditioned conjugate gradients ("amg",
`system.solve_amg`), a sparse direct solve with refinement ("direct", `quarvex_tools.direct`;
the `direct` extra) or plain conjugate gradients ("cg"), or lets the model choose ("auto", the
default): multigrid makes a few steps first, and where their rate predicts a long solve (thin
plates and shells, where aggregation-based coarse spaces lose their grip) and the factorisation
is predicted faster and fits in memory, the direct solve takes over. The result and the
package's log (logger ``quarvex_tools.solvers``) say which method ran and why. Supports that fix
single components of a node (rollers, symmetry planes, inclined supports) live in the system
itself (`system.constrain`), so every method meets them.

`solve_each` solves several load vectors of one assembled matrix (load cases): it sets up the
method once (the multigrid hierarchy, or the direct solve's factor; "auto" chooses on the first
load) and solves each load with it. Every phase is logged at INFO with its time, and the residual
of every iteration can be handed to a callback or logged (`Elasticity.solve(verbose=True)`).
"""

from __future__ import annotations

import contextlib
import dataclasses
import logging
import math
import time
import warnings
from collections.abc import Callable, Generator, Iterable
from typing import Any

import numpy as np

import quarvex

from . import distributed, system
from .numbering import Dofs

DEFAULT_METHOD = "auto"
"""The method `Elasticity.solve` and `solve_system` use unless told otherwise."""

METHODS = ("auto", "amg", "direct", "cg")

PROBE_STEPS = 16
"""Multigrid steps `auto` makes before it judges the rate (solid models converge in about 20;
the residual reported, the smoothed iterates', stays near the load for the first 4 to 12)."""

RATE_STEPS = 4
"""The rate that predicts the steps to come is that of the probe's last steps (at most these)."""

UNTRUSTED_GROWTH = 10.0
"""A residual still this many times the start's after the probe: its rate predicts nothing."""

THIN_WALL = 0.01
"""`auto` solves directly, without trying multigrid, a model thinner than this (with `points`)."""

DIRECT_CONSIDERED_STEPS = 150
"""`auto` weighs the direct solve only where multigrid is predicted to need more steps than this."""

# The direct solve's time, as `auto` predicts it from the ordering: floating-point work at a
# rate this machine class sustains in the factorisation, plus a cost per unknown (the export,
# the substitutions, refinement), both on the slow side so that a close call stays with
# multigrid, whose cost is measured rather than predicted.
_DIRECT_FLOPS_PER_SECOND = 1.0e10
_DIRECT_SECONDS_PER_UNKNOWN = 1.0e-5

_log = logging.getLogger(__name__)


def solve_system(
    nexus: quarvex.Nexus | distributed.DistributedSystem,
    dofs: Dofs | None = None,
    *,
    method: str = DEFAULT_METHOD,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
    constraints: system.Constraints | None = None,
    points: np.ndarray | None = None,
) -> system.SolveResult:
    """Solves the assembled system of `nexus`, leaving the solution in it.

    Stops when the residual norm is at most max(rtol * |rhs|, atol). Emits a RuntimeWarning
    when it stops before that (at the step limit, or where the residual no longer falls).

    Parameters
    ----------
    nexus : quarvex.Nexus or distributed.DistributedSystem
        An assembled model (after `set_solver` and `assemble`), or the PETSc system of a run
        under MPI, which `distributed.solve_system` solves with these keywords (method: the
        PETSc preconditioner; see there).
    dofs : Dofs, optional
        Its numbering. Its pinned components are enforced first (`system.constrain`; enforcing
        them again is harmless, so a model from `Elasticity.assemble` may be passed with it). A
        numbering with node frames is refused: its frames are turned once, by
        `Elasticity.assemble` or `system.constrain`, whose `constraints` to pass instead.
    method : {"auto", "amg", "direct", "cg"}
        "auto" chooses between "amg" and "direct" (see the module's description); the
        result's `method` and `reason` say which ran and why.
    rtol, atol : float
        Relative and absolute tolerance on the residual norm.
    maxiter : int, optional
        Iteration limit (default: the method's own).
    history : bool
        Keep the residual norm of every iteration.
    constraints : system.Constraints, optional
        What `system.constrain` enforced in `nexus`: multigrid turns its modes into the frames.
    points : (n, 3) float64, optional
        The model's node coordinates: with them "auto" solves a very thin wall (`wall_thinness`
        below `THIN_WALL`) directly, without trying multigrid first.

    Returns
    -------
    system.SolveResult
        With `method` and `reason` set. A ``RuntimeWarning`` says so when the tolerance was not met.

    Raises
    ------
    system.SolverError
        When the solve fails (a matrix that is not positive definite, a system that is not
        finite, a supported unknown without stiffness), with what to do; chained to the core's
        PanicException.
    """
    if isinstance(nexus, distributed.DistributedSystem):  # an MPI run's system: PETSc's solve, these keywords
        return distributed.solve_system(
            nexus,
            dofs,
            method=method,
            rtol=rtol,
            atol=atol,
            maxiter=maxiter,
            history=history,
            constraints=constraints,
            points=points,
        )
    if method not in METHODS:
        raise ValueError(f"method must be one of {METHODS}, got {method!r}")
    if dofs is not None and constraints is None:
        if len(dofs.frame_nodes):
            raise ValueError(
                "this numbering turns nodes into frames of their own, which system.constrain applies once: "
                "pass constraints= (Elasticity.constraints after assemble()) instead of dofs="
            )
        if len(dofs.pinned):
            with system._solver_failures():
                constraints = system.constrain(nexus, dofs.pinned, dofs.pinned_values)
    # One load: the solve of several loads with a single one, so that both take the same path.
    with contextlib.closing(
        solve_each(
            nexus,
            [("", None)],
            method=method,
            rtol=rtol,
            atol=atol,
            maxiter=maxiter,
            history=history,
            constraints=constraints,
            points=points,
        )
    ) as solves:
        return next(solves)


def _log_solved(result: system.SolveResult, seconds: float | None, case: str = "") -> None:
    """The INFO record of one finished solve (seconds None: solved together with others)."""
    _log.info(
        "%ssolved by %s (%s): %d steps, residual %.3e of the load, %s",
        f"case {case!r}: " if case else "",
        result.method,
        result.reason,
        result.iterations,
        result.relative_residual,
        "together with the other cases" if seconds is None else f"in {seconds:.2f} s",
    )


def _set_up_multigrid(nexus: quarvex.Nexus, constraints: system.Constraints | None) -> system.Multigrid:
    """`system.multigrid`, timed in the log."""
    start = time.perf_counter()
    hierarchy = system.multigrid(nexus, constraints)
    _log.info("multigrid set up in %.2f s", time.perf_counter() - start)
    return hierarchy


IterationCallback = Callable[[str, int, float], Any]
"""Called as callback(case, iteration, residual) for every iteration of a solve, residual relative to the load."""


def solve_each(
    nexus: quarvex.Nexus,
    loads: Iterable[tuple[str, np.ndarray | None]],
    *,
    method: str = DEFAULT_METHOD,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
    constraints: system.Constraints | None = None,
    callback: IterationCallback | None = None,
    verbose: bool = False,
    points: np.ndarray | None = None,
) -> Generator[system.SolveResult, None, None]:
    """Solves the assembled matrix of `nexus` for several load vectors, setting the method up once.

    Multigrid builds its hierarchy once; the direct solve factorises once; "auto" chooses on the
    first load (its result's `reason` says so) and keeps that method, with its set-up, for the
    others. Each solve starts from the solution the model held before the first, as a solve of
    that load alone would.

    Parameters
    ----------
    nexus : quarvex.Nexus
        An assembled and constrained model.
    loads : iterable of (str, (n,) float64 or None)
        A name for the log and the callback, and the load vector to solve for (None: the one the
        model holds).
    method, rtol, atol, maxiter, history, constraints, points
        As for `solve_system`.
    callback : callable, optional
        Called as ``callback(name, iteration, residual)`` for each iteration of each solve, with
        the residual norm relative to the load (iteration 0: the start), once that solve is done:
        the native solves run to their end without handing control back.
    verbose : bool
        Log every iteration's residual at INFO (otherwise at DEBUG, when history is kept).

    Yields
    ------
    system.SolveResult
        After each solve, with its solution in the model (read it before taking the next).

    Raises
    ------
    As `solve_system`; KeyboardInterrupt on Ctrl-C, the direct solve's factor freed.
    """
    if method not in METHODS:
        raise ValueError(f"method must be one of {METHODS}, got {method!r}")
    from . import direct  # the module loads MKL only when a direct solve runs

    want_history = history or verbose or callback is not None or _log.isEnabledFor(logging.DEBUG)
    initial = system.solution(nexus)
    chosen, first_name, first_reason = method, "", ""
    hierarchy: system.Multigrid | None = None
    factorised: direct.Factorised | None = None

    def run_direct() -> system.SolveResult:
        nonlocal factorised
        if factorised is None and np.any(system.load_vector(nexus)):  # a zero load needs no factor
            factorised = direct.factorise(nexus)
        return direct.solve_factorised(factorised, nexus, rtol, atol, maxiter, want_history)

    thin_reason = _thin_wall_choice(nexus, points) if method == "auto" else None
    if thin_reason is not None:
        chosen, first_reason = "direct", thin_reason
    pending = iter(loads)
    try:
        for index, (name, rhs) in enumerate(pending):
            if chosen in ("auto", "amg") and hierarchy is None:
                hierarchy = _set_up_multigrid(nexus, constraints)
            if chosen == "amg":
                # Multigrid solves the loads still to come together: one product and one cycle
                # per step serve them all.
                batch = [(name, rhs), *pending]
                if len(batch) > 1:
                    assert hierarchy is not None
                    yield from _solve_together(
                        nexus,
                        batch,
                        index,
                        initial,
                        hierarchy,
                        rtol,
                        atol,
                        maxiter,
                        history,
                        want_history,
                        callback,
                        verbose,
                        _batch_reason(first_name, first_reason),
                    )
                    return
            if rhs is not None:
                system.set_load_vector(nexus, rhs)
            if index:
                system.set_solution(nexus, initial)
            start = time.perf_counter()  # the set-up is logged on its own
            if chosen == "auto":
                assert hierarchy is not None
                result = _solve_auto(nexus, rtol, atol, maxiter, want_history, hierarchy, run_direct)
                chosen, first_name, first_reason = result.method, name, result.reason
                if chosen == "direct":
                    hierarchy = None  # free the hierarchy's memory before the next case
            else:
                if chosen == "amg":
                    result = system.solve_amg(
                        nexus, rtol=rtol, atol=atol, maxiter=maxiter, history=want_history, hierarchy=hierarchy
                    )
                elif chosen == "direct":
                    result = run_direct()
                else:
                    result = system.solve(nexus, rtol=rtol, atol=atol, maxiter=maxiter, history=want_history)
                reason = _batch_reason(first_name, first_reason)
                if not first_name and first_reason:
                    first_name = name
                result = dataclasses.replace(result, method=chosen, reason=reason)
            _log_solved(result, time.perf_counter() - start, name)
            _report_iterations(name, result, callback, logging.INFO if verbose else logging.DEBUG)
            yield result if history else dataclasses.replace(result, history=None)
    finally:
        if factorised is not None:
            factorised.factor.release()


def _batch_reason(first_name: str, first_reason: str) -> str:
    """The reason of a later load's method: the choice made on load `first_name`, else asked for."""
    if first_name:
        return f"chosen on case {first_name!r}: {first_reason}"
    return first_reason or "asked for"


def _solve_together(
    nexus: quarvex.Nexus,
    batch: list[tuple[str, np.ndarray | None]],
    first_index: int,
    initial: np.ndarray,
    hierarchy: system.Multigrid,
    rtol: float,
    atol: float,
    maxiter: int | None,
    history: bool,
    want_history: bool,
    callback: IterationCallback | None,
    verbose: bool,
    reason: str,
) -> Generator[system.SolveResult, None, None]:
    """The loads of `batch` solved together by multigrid (`system.solve_amg_many`), each from
    `initial`, as many at once as memory allows (`loads_per_batch`); yields each result with its
    load and solution set in the model."""
    held = system.load_vector(nexus)
    per_batch = loads_per_batch(held.size)
    for first in range(0, len(batch), per_batch):
        part = batch[first : first + per_batch]
        loads = np.stack([held if rhs is None else np.asarray(rhs, dtype=np.float64) for _, rhs in part])
        if first_index or first:
            system.set_solution(nexus, initial)
        start = time.perf_counter()
        solutions, results = system.solve_amg_many(
            nexus, loads, rtol=rtol, atol=atol, maxiter=maxiter, history=want_history, hierarchy=hierarchy
        )
        _log.info("%d cases solved together by amg in %.2f s", len(part), time.perf_counter() - start)
        for (name, _), load, solution, result in zip(part, loads, solutions, results, strict=True):
            system.set_load_vector(nexus, load)
            system.set_solution(nexus, solution)
            result = dataclasses.replace(result, method="amg", reason=reason)
            _log_solved(result, None, name)
            _report_iterations(name, result, callback, logging.INFO if verbose else logging.DEBUG)
            yield result if history else dataclasses.replace(result, history=None)


BATCH_VECTORS = 14
"""Vectors of the model's length that each load solved together with others holds while it is
solved (its load and solution, the conjugate gradients' and the multigrid cycle's work)."""

BATCH_MEMORY_SHARE = 0.5
"""The share of the available memory that loads solved together may take."""

MAX_BATCH = 12
"""Loads solved together at most (more gain nothing: the native solve runs twelve at a time)."""


def loads_per_batch(unknowns: int, available: int | None = None) -> int:
    """How many loads of a model with `unknowns` unknowns `solve_each` solves together.

    Parameters
    ----------
    unknowns : int
    available : int, optional
        Bytes free for the solve (default: `direct.available_memory()`).

    Returns
    -------
    int
        Between 1 and `MAX_BATCH`: as many as fit, `BATCH_VECTORS` vectors each, in
        `BATCH_MEMORY_SHARE` of the available memory (`MAX_BATCH` when that is unknown).
    """
    from . import direct

    room = direct.available_memory() if available is None else available
    if room is None:
        return MAX_BATCH
    per_load = BATCH_VECTORS * 8 * max(unknowns, 1)
    return max(1, min(MAX_BATCH, int(BATCH_MEMORY_SHARE * room) // per_load))


def _report_iterations(name: str, result: system.SolveResult, callback: IterationCallback | None, level: int) -> None:
    """Hands every iteration's relative residual to `callback` and to the log (at `level`)."""
    if result.history is None:
        return
    scale = result.rhs_norm if result.rhs_norm > 0.0 else 1.0
    relative = result.history / scale
    if _log.isEnabledFor(level):
        for iteration, residual in enumerate(relative):
            _log.log(level, "case %r, iteration %d: residual %.3e of the load", name, iteration, residual)
    if callback is not None:
        for iteration, residual in enumerate(relative):
            callback(name, iteration, float(residual))


def predicted_steps(norms: np.ndarray, tolerance: float) -> float:
    """Steps still needed to bring the residual to `tolerance`, from the residual norms of the steps so far.

    The rate is that of the last RATE_STEPS steps after the largest residual: the residual of
    preconditioned conjugate gradients may first grow (its error falls in the energy norm, not
    its residual), and the smoothed iterates' residual stays near the load while the first steps
    resolve the smooth error, then falls fast (a slender beam's: 0.66 of the load after 12 steps,
    converged in 30; the rate since the start predicted 525 steps).
    No rate is trusted (inf) where the residual has not fallen since its peak, or still lies
    above UNTRUSTED_GROWTH times the start's: there the preconditioner has yet to resolve a part
    of the spectrum (thin walls), and the early rate says nothing about the steps to come.

    Parameters
    ----------
    norms : (k + 1,) numpy.ndarray
        Residual norms: the start, then after each step.
    tolerance : float
        The residual norm to reach.

    Returns
    -------
    float
        0 when the last norm is at most `tolerance`.
    """
    last = float(norms[-1])
    if last <= tolerance:
        return 0.0
    peak = int(np.argmax(norms))
    steps = norms.size - 1 - peak
    if steps == 0 or not last < norms[peak] or last > UNTRUSTED_GROWTH * float(norms[0]):
        return math.inf
    window = min(steps, RATE_STEPS)
    rate = (last / float(norms[-1 - window])) ** (1.0 / window)
    if not rate < 1.0:
        return math.inf
    return math.log(tolerance / last) / math.log(rate)


def wall_thinness(points: np.ndarray) -> float:
    """How thin a model is: its smallest extent over its middle one, along its principal axes.

    The extents are the square roots of the eigenvalues of the points' covariance, so a plate
    1 x 1 x 0.002 at any orientation gives 0.002 and a solid cube 1.

    Parameters
    ----------
    points : (n, 3) float64
        The model's node coordinates.

    Returns
    -------
    float
        In [0, 1]; 1 for fewer than two distinct points.
    """
    points = np.asarray(points, dtype=np.float64)
    if len(points) < 2:
        return 1.0
    centred = points - points.mean(axis=0)
    spread = np.sqrt(np.maximum(np.linalg.eigvalsh(centred.T @ centred / len(points)), 0.0))
    return float(spread[0] / spread[1]) if spread[1] > 0.0 else 1.0


def _thin_wall_choice(nexus: quarvex.Nexus, points: np.ndarray | None) -> str | None:
    """The reason to solve directly without trying multigrid first, or None.

    Below THIN_WALL (1 : 100) the plate's bending stiffness is so far below its membrane
    stiffness that multigrid needs hundreds of steps and its rounding floor lies near 1e-4 of
    the load, which the direct solve reaches in a few refinement steps; the multigrid set-up
    and probe (about half the direct solve's time on such plates) are then saved.
    """
    from . import direct

    if points is None:
        return None
    thinness = wall_thinness(points)
    if thinness > THIN_WALL or not direct.available():  # available() loads MKL: only for a thin wall
        return None  # without the direct solve, multigrid's probe says what it can
    slow = f"a thin wall (thickness about {thinness:.2g} of its span, below {THIN_WALL:g})"
    reason, use_direct = _weigh_direct(nexus, math.inf, slow)
    return reason if use_direct else None


def _solve_auto(
    nexus: quarvex.Nexus,
    rtol: float,
    atol: float,
    maxiter: int | None,
    history: bool,
    hierarchy: system.Multigrid,
    run_direct: Callable[[], system.SolveResult],
) -> system.SolveResult:
    """Multigrid's first steps, then multigrid on from there or the direct solve (`run_direct`),
    whichever is predicted faster."""
    if maxiter is not None and maxiter <= PROBE_STEPS:
        result = system.solve_amg(nexus, rtol=rtol, atol=atol, maxiter=maxiter, history=history, hierarchy=hierarchy)
        return dataclasses.replace(result, method="amg", reason=f"maxiter = {maxiter} leaves no room for a choice")
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a probe that stops short is what it is for
        probe = system.solve_amg(nexus, rtol=rtol, atol=atol, maxiter=PROBE_STEPS, history=True, hierarchy=hierarchy)
    seconds_per_step = (time.perf_counter() - start) / max(probe.iterations, 1)
    if probe.converged or probe.stalled:
        result = dataclasses.replace(
            probe,
            history=probe.history if history else None,
            method="amg",
            reason=f"multigrid {'converged' if probe.converged else 'stopped'} within {probe.iterations} steps",
        )
        if not probe.converged:
            system.warn_unconverged(result, rtol, atol, maxiter, "multigrid conjugate gradients")
        return result

    assert probe.history is not None
    tolerance = max(rtol * probe.rhs_norm, atol)
    remaining = predicted_steps(probe.history, tolerance)
    total = probe.iterations + remaining
    if total <= DIRECT_CONSIDERED_STEPS:
        reason = f"multigrid predicted to converge in about {math.ceil(total)} steps"
    else:
        if math.isinf(total):
            slow = (
                f"multigrid's first {PROBE_STEPS} steps give no trustworthy rate "
                "(the residual has not come down to the load)"
            )
        else:
            slow = f"multigrid predicted slow (about {math.ceil(total)} steps from its first {PROBE_STEPS})"
        reason, use_direct = _weigh_direct(nexus, remaining * seconds_per_step, slow)
        if use_direct:
            return dataclasses.replace(run_direct(), method="direct", reason=reason)

    rest_maxiter = None if maxiter is None else maxiter - probe.iterations
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # said below, with the steps of both parts
        rest = system.solve_amg(nexus, rtol=rtol, atol=atol, maxiter=rest_maxiter, history=history, hierarchy=hierarchy)
    norms = None if rest.history is None else np.concatenate([probe.history, rest.history[1:]])
    result = dataclasses.replace(
        rest, iterations=probe.iterations + rest.iterations, history=norms, method="amg", reason=reason
    )
    if not result.converged:
        system.warn_unconverged(result, rtol, atol, maxiter, "multigrid conjugate gradients")
    return result


def _weigh_direct(nexus: quarvex.Nexus, amg_seconds: float, slow: str) -> tuple[str, bool]:
    """Why, and whether, the direct solve should take over from a multigrid predicted to take
    `amg_seconds` (inf: unknown), `slow` saying why multigrid is in doubt."""
    from . import direct

    if not direct.available():
        _log.warning("%s; a direct solve would suit this model: pip install 'quarvex[direct]'", slow)
        return f"{slow}, but the direct solve is not installed (the direct extra)", False
    estimate = direct.estimate(nexus)
    room = direct.available_memory()
    if room is not None and estimate.factor_bytes > room:
        direct.release()
        return (
            f"{slow}, but the factorisation would need {estimate.factor_bytes / 2**30:.2f} GiB of the "
            f"{room / 2**30:.2f} GiB available"
        ), False
    unknowns = system.load_vector(nexus).size
    direct_seconds = estimate.flops / _DIRECT_FLOPS_PER_SECOND + unknowns * _DIRECT_SECONDS_PER_UNKNOWN
    against = "" if math.isinf(amg_seconds) else f" against multigrid's {amg_seconds:.2g} s"
    figures = (
        f"the factorisation: {estimate.factor_bytes / 2**20:.0f} MB, {estimate.flops / 1e9:.1f} GFlop, "
        f"about {direct_seconds:.2g} s{against}"
    )
    if direct_seconds < amg_seconds:
        return f"{slow}; {figures}", True
    direct.release()
    return f"{slow}, but {figures}", False
