"""The one entry point through which the package solves an assembled model.

`solve_system` picks the method: multigrid-preconditioned conjugate gradients ("amg", the
default, `system.solve_amg`), plain conjugate gradients ("cg") or a sparse direct solve with
refinement ("direct", `quarvex_tools.direct`, for thin plates and slender beams; the `direct`
extra). Supports that fix single components of a node (rollers, symmetry planes, inclined
supports) live in the system itself (`system.constrain`), so every method meets them.
"""
from __future__ import annotations

import quarvex

from . import system
from .numbering import Dofs

DEFAULT_METHOD = "amg"
"""The method `Elasticity.solve` and `solve_system` use unless told otherwise."""

METHODS = ("cg", "amg", "direct")


def solve_system(
    nexus: quarvex.Nexus,
    dofs: Dofs | None = None,
    *,
    method: str = DEFAULT_METHOD,
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
    constraints: system.Constraints | None = None,
) -> system.SolveResult:
    """Solves the assembled system of `nexus`, leaving the solution in it.

    Stops when the residual norm is at most max(rtol * |rhs|, atol). Emits a RuntimeWarning
    when it stops before that (at the step limit, or where the residual no longer falls).

    Parameters
    ----------
    nexus : quarvex.Nexus
        An assembled model (after `set_solver` and `assemble`).
    dofs : Dofs, optional
        Its numbering. Its pinned components are enforced first (`system.constrain`; enforcing
        them again is harmless, so a model from `Elasticity.assemble` may be passed with it). A
        numbering with node frames is refused: its frames are turned once, by
        `Elasticity.assemble` or `system.constrain`, whose `constraints` to pass instead.
    method : {"cg", "amg", "direct"}
    rtol, atol : float
        Relative and absolute tolerance on the residual norm.
    maxiter : int, optional
        Iteration limit (default: the method's own).
    history : bool
        Keep the residual norm of every iteration.
    constraints : system.Constraints, optional
        What `system.constrain` enforced in `nexus`: multigrid turns its modes into the frames.

    Returns
    -------
    system.SolveResult

    Raises
    ------
    system.SolverError
        When the solve fails (a matrix that is not positive definite, a system that is not
        finite, a supported unknown without stiffness), with what to do; chained to the core's
        PanicException.
    """
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
    if method == "direct":
        from . import direct  # loads MKL: only when asked for

        return direct.solve(nexus, rtol=rtol, atol=atol, maxiter=maxiter, history=history, constraints=constraints)
    if method == "amg":
        return system.solve_amg(
            nexus, rtol=rtol, atol=atol, maxiter=maxiter, history=history, constraints=constraints
        )
    return system.solve(nexus, rtol=rtol, atol=atol, maxiter=maxiter, history=history)
