"""The one entry point through which the package solves an assembled model.

`solve_system` picks the method: the core's conjugate gradients ("cg"), or a solver the
core adds later under the same report (`system.solve_amg` for "amg"). When single
components of otherwise free nodes are prescribed (rollers), the core's numbering cannot
express them; the system is then exported and solved with those unknowns eliminated.
"""
from __future__ import annotations

import warnings

import numpy as np

import quarvex

from . import system
from ._optional import require
from .numbering import Dofs

DEFAULT_METHOD = "cg"
"""The method `Elasticity.solve` and `solve_system` use unless told otherwise."""

METHODS = ("cg", "amg")


def solve_system(
    nexus: quarvex.Nexus,
    dofs: Dofs | None = None,
    *,
    method: str = DEFAULT_METHOD,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
) -> system.SolveResult:
    """Solves the assembled system of `nexus`, leaving the solution in it.

    Stops when the residual norm is at most max(rtol * |rhs|, atol). Emits a RuntimeWarning
    when it stops before that.

    Parameters
    ----------
    nexus : quarvex.Nexus
        An assembled model (after `set_solver` and `assemble`).
    dofs : Dofs, optional
        Its numbering; needed only when it pins components of free nodes.
    method : {"cg", "amg"}
    rtol, atol : float
        Relative and absolute tolerance on the residual norm.
    maxiter : int, optional
        Iteration limit (default: the method's own).
    history : bool
        Keep the residual norm of every iteration.

    Returns
    -------
    system.SolveResult
    """
    if method not in METHODS:
        raise ValueError(f"method must be one of {METHODS}, got {method!r}")
    if dofs is not None and len(dofs.pinned):
        if method != "cg":
            raise ValueError(f"method {method!r} cannot solve a model with single fixed components; use 'cg'")
        return _solve_pinned(nexus, dofs, rtol, atol, maxiter, history)
    if method == "amg":
        solve_amg = getattr(system, "solve_amg", None)
        if solve_amg is None:
            raise ValueError("method 'amg' is not available in this build of quarvex")
        return solve_amg(nexus, rtol=rtol, atol=atol, maxiter=maxiter, history=history)
    return system.solve(nexus, rtol=rtol, atol=atol, maxiter=maxiter, history=history)


def _solve_pinned(
    nexus: quarvex.Nexus, dofs: Dofs, rtol: float, atol: float, maxiter: int | None, history: bool
) -> system.SolveResult:
    """Conjugate gradients (Jacobi preconditioned) on the free unknowns less the pinned ones."""
    linalg = require("scipy.sparse.linalg")
    matrix = system.stiffness_matrix(nexus)
    rhs = system.load_vector(nexus)
    guess = system.solution(nexus)
    keep = np.ones(dofs.n_free, dtype=bool)
    keep[dofs.pinned] = False
    pinned_part = np.zeros(dofs.n_free)
    pinned_part[dofs.pinned] = dofs.pinned_values
    reduced_rhs = (rhs - matrix @ pinned_part)[keep]
    reduced = matrix[keep][:, keep].tocsr()
    diagonal = reduced.diagonal()
    preconditioner = linalg.LinearOperator(reduced.shape, matvec=lambda v: v / diagonal, dtype=np.float64)

    norms: list[float] = []
    counter = {"iterations": 0}

    def count(iterate: np.ndarray) -> None:
        counter["iterations"] += 1
        if history:
            norms.append(float(np.linalg.norm(reduced_rhs - reduced @ iterate)))

    limit = maxiter if maxiter is not None else 10 * max(reduced.shape[0], 1)
    reduced_solution = guess[keep]
    rhs_norm = float(np.linalg.norm(reduced_rhs))
    tolerance = max(rtol * rhs_norm, atol)
    # scipy judges convergence on its updated residual; confirm on the recomputed one and
    # restart from the iterate with a tenfold stricter test (a few times at most) when
    # round-off left it short.
    for attempt in range(4):
        stricter = 0.1**attempt
        reduced_solution, info = linalg.cg(
            reduced, reduced_rhs, x0=reduced_solution, rtol=rtol * stricter, atol=atol * stricter,
            maxiter=max(limit - counter["iterations"], 1), M=preconditioner, callback=count,
        )
        residual = float(np.linalg.norm(reduced_rhs - reduced @ reduced_solution))
        converged = residual <= tolerance
        if converged or info != 0 or counter["iterations"] >= limit:
            break
    full = pinned_part.copy()
    full[keep] = reduced_solution
    system.set_solution(nexus, full)
    if not converged:
        warnings.warn(
            f"conjugate gradients stopped after {counter['iterations']} iterations with residual "
            f"{residual:.3e}, above the requested max(rtol * |rhs|, atol) = {tolerance:.3e}",
            RuntimeWarning,
            stacklevel=3,
        )
    return system.SolveResult(
        counter["iterations"], residual, rhs_norm, converged, np.array(norms) if history else None
    )
