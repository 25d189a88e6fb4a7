"""The same script serial or under an MPI launcher: which run this is, the shared solve and rank 0's files.

Under ``mpirun -n K`` (K > 1) every rank runs the whole script: it reads or builds the mesh,
defines the model and assembles and constrains its system exactly as a serial run does. Only
the solve is shared: each rank hands PETSc its block of rows of that system
(`distributed.replicated_system`), PETSc's conjugate gradients solve it, and every rank
receives the whole solution, so that stresses, reactions, queries and files follow the serial
code. Files are written by rank 0 alone while the others wait (:func:`on_root`), and a failure
on any rank raises on every rank (:func:`together`).

A run is taken as parallel when an MPI launcher started it with more than one process (its
environment says so, read without importing mpi4py) or when mpi4py is loaded already (``python
-m mpi4py``) and its world holds more than one rank. A serial run imports nothing more.
"""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import logging
import os
import sys
import time
from collections.abc import Callable, Generator, Iterable
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np

import quarvex

from . import distributed, system
from .numbering import Dofs

if TYPE_CHECKING:
    from mpi4py import MPI

    from .solvers import IterationCallback

__all__ = ["launched_size", "on_root", "solve_each", "together", "world"]

_log = logging.getLogger(__name__)

# What launchers put in each process's environment: the number of processes they started.
_LAUNCHER_SIZES = (
    "OMPI_COMM_WORLD_SIZE",  # Open MPI's mpirun
    "PMI_SIZE",  # MPICH's and Intel MPI's mpiexec (Hydra), Slurm's srun --mpi=pmi2
    "MV2_COMM_WORLD_SIZE",  # MVAPICH
)

_Value = TypeVar("_Value")


def launched_size() -> int:
    """The number of processes the MPI launcher of this run started, from its environment (1 without one)."""
    for name in _LAUNCHER_SIZES:
        value = os.environ.get(name, "")
        if value.isdigit():
            return int(value)
    return 1


def world() -> MPI.Comm | None:
    """MPI's world communicator when this run has more than one rank, else None.

    Imports mpi4py only when a launcher started several processes or mpi4py is loaded already.

    Raises
    ------
    ImportError
        When a launcher started several processes and mpi4py cannot be imported.
    """
    if "mpi4py.MPI" not in sys.modules and launched_size() <= 1:
        return None
    try:
        from mpi4py import MPI
    except ImportError as error:
        raise ImportError(
            f"this script runs as one of {launched_size()} MPI processes, which solve together through mpi4py "
            "and petsc4py: install them (Debian: apt-get install python3-mpi4py python3-petsc4py openmpi-bin) "
            "or run the script without mpirun"
        ) from error
    comm = MPI.COMM_WORLD
    return comm if comm.Get_size() > 1 else None


def together(comm: MPI.Comm | None) -> contextlib.AbstractContextManager[None]:
    """A rank's own work, after which every rank raises when any failed (collective); nothing when serial.

    The body must not call collective operations itself (see `distributed._together`).
    """
    return contextlib.nullcontext() if comm is None else distributed._together(comm)


def on_root(write: Callable[[], _Value]) -> _Value:
    """Runs `write` (a file's writing) on rank 0 alone; every rank returns its result or raises its failure.

    In a serial run `write` simply runs. Under MPI the other ranks wait for rank 0, and a failure
    there raises on every rank (rank 0 its own error, the others a ValueError or RuntimeError
    naming it), so that a file is written once and no rank goes on while it is missing.
    """
    comm = world()
    if comm is None:
        return write()
    value = None
    with distributed._together(comm):
        if comm.Get_rank() == 0:
            value = write()
    return comm.bcast(value, root=0)


def _settings(
    method: Any, rtol: Any, atol: Any, maxiter: Any, unknowns: int, stored: int, node_points: np.ndarray
) -> dict[str, Any]:
    """The solve's arguments, checked, the system's size and its nodes' positions: what the ranks compare.

    Equal sizes do not make equal models: a rank whose mesh moved its nodes (another mesh of the
    same counts, curved elements read straight) would hand PETSc rows of another system. The
    positions go by their digest, which keeps the allgather small.
    """
    if method == "direct":
        raise ValueError(
            "method 'direct' has no distributed solve: under mpirun solve with 'auto', 'multigrid' (the package's "
            "multigrid on every rank), 'amg' or 'gamg' (PETSc's GAMG), 'hypre' or 'cg'"
        )
    return {
        **distributed._solver_settings(method, rtol, atol, maxiter, ""),
        "the number of unknowns": unknowns,
        "the matrix's stored entries": stored,
        "the nodes' positions": hashlib.sha256(np.ascontiguousarray(node_points, dtype=np.float64).tobytes()).digest(),
    }


def solve_each(
    comm: MPI.Comm,
    nexus: quarvex.Nexus,
    loads: Iterable[tuple[str, np.ndarray | None]],
    *,
    node_points: np.ndarray,
    dofs: Dofs,
    method: str = "auto",
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
    constraints: system.Constraints | None = None,
    callback: IterationCallback | None = None,
    verbose: bool = False,
) -> Generator[system.SolveResult, None, None]:
    """`solvers.solve_each` for a model that every rank holds whole: PETSc solves, every rank gets the solution.

    Every rank passes the same assembled and constrained model and the same loads. The ranks
    first compare the method, the tolerances, the step limit, the system's size and the nodes'
    positions (bit for bit: every rank must read or build the same mesh), then each
    load's case name; a difference, or a failure on one rank, raises on every rank. The solver
    is set up once, for the first load, and each load is solved from zero as by
    `distributed.solve_system` ("auto": conjugate gradients with the package's multigrid on
    every rank's block of rows for a compact body on up to 2 ranks, else GAMG over the
    rigid-body modes; "amg": GAMG; "multigrid", "gamg", "hypre", "jacobi"
    and "cg" as there); its whole solution is
    gathered on every rank and set into `nexus` with its load vector, as the serial solve
    leaves them.

    Parameters
    ----------
    comm : mpi4py.MPI.Comm
    nexus : quarvex.Nexus
        The assembled and constrained model.
    loads : iterable of (str, (n,) float64 or None)
        As for `solvers.solve_each`.
    node_points : (n_nodes, 3) float64
    dofs : Dofs
        The model's numbering (the node of every unknown).
    method, rtol, atol, maxiter, history, constraints, callback, verbose
        As for `solvers.solve_each`; method "direct" is refused.

    Yields
    ------
    system.SolveResult
        After each solve, with its solution in `nexus`. `seconds` of the log: this rank's.
    """
    from .solvers import _log_solved, _report_iterations

    with together(comm):
        indptr, indices, _ = system.csr_arrays(nexus)
        unknowns, stored = len(indptr) - 1, len(indices)
    settings = distributed._agree(comm, lambda: _settings(method, rtol, atol, maxiter, unknowns, stored, node_points))
    want_history = history or verbose or callback is not None or _log.isEnabledFor(logging.DEBUG)
    start = time.perf_counter()
    assembled = distributed.replicated_system(comm, nexus, node_points, dofs, constraints)
    _log.info("rows handed to PETSc in %.2f s", time.perf_counter() - start)
    pending = iter(loads)
    try:
        while True:
            with together(comm):
                name, rhs = next(pending, (None, None))
            distributed._agree(comm, lambda: {"the load case": name})  # noqa: B023 - called at once
            if name is None:
                return
            with together(comm):
                if rhs is not None:
                    system.set_load_vector(nexus, rhs)
                load = system.load_vector(nexus)
                first, last = assembled.load.getOwnershipRange()
                assembled.load.setArray(load[first:last])
            start = time.perf_counter()
            result = distributed._solve_agreed(assembled, settings, want_history, keep_solver=True)
            gathering = time.perf_counter()
            solution = distributed.gathered_solution(assembled)
            if constraints is not None:
                # Their rows and columns hold the diagonal alone: the values are the solution there, exactly.
                solution[constraints.unknowns] = constraints.values
            with together(comm):
                system.set_solution(nexus, solution)
            _log.info(
                "case %r: PETSc set up in %.2f s and solved in %.2f s, solution gathered in %.2f s",
                name,
                assembled.seconds["setup"],
                assembled.seconds["solve"],
                time.perf_counter() - gathering,
            )
            _log_solved(result, time.perf_counter() - start, name)
            _report_iterations(name, result, callback, logging.INFO if verbose else logging.DEBUG)
            yield result if history else dataclasses.replace(result, history=None)
    finally:
        assembled.destroy()
