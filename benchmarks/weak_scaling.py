"""Weak scaling of the distributed solve: costs per rank measured here, times at 64 and 512 ranks estimated.

The anchor problem (unit cube of N^3 cells, six P2 tetrahedra each, lambda = 1.25, mu = 1,
clamped at x = 0, body force (0, 0, -1)) is built by every rank with `distributed.box_part`
and solved by PETSc's conjugate gradients to ||b - A x|| <= 1e-8 ||b|| with

  gamg        PETSc's GAMG as `distributed.solve_system` sets it up (the default)
  multigrid   the package's multigrid on every rank's subdomain, additive Schwarz with
              `distributed_pc.solve_system`'s default overlap (3 layers of the matrix graph)

at two shares per rank, about 100 k and 400 k unknowns (N = 16, 20, 23 on 1, 2, 3 ranks and
N = 25, 32 on 1, 2 ranks; --quick: about 25 k, N = 10, 13 on 1, 2 ranks and subdomains of 3^3
cells in the sweep below, a check that it all runs rather than figures to quote).

What is measured on this machine (2 cores, shared: every figure comes with the 1-minute load)
  - per rank, at a fixed share: numbering, assembly, insertion into PETSc, the
    preconditioner's set-up, steps to rtol 1e-8 and the time per step (1 rank: no
    communication and no competition for the cores);
  - the communication, from PETSc's event counters (the busiest rank of 2 and 3 ranks):
    messages and bytes a rank sent and received, and its reductions, per step of the solve
    and in the set-up, and those of one product with the matrix, which check the halo count
    below (they agree to the byte);
  - GAMG's levels: the rows of every level and the ranks that hold some;
  - how the steps of the per-rank multigrid grow with the number of subdomains: the serial
    equivalent, one process with k subdomains (k = 1, 8, 27, 64, each of m^3 cells, m = 6;
    the subdomains are the blocks `box_part` gives k ranks, grown by the same overlap), since
    the steps depend on the operator only; a run at k = 2 beside the 2-rank solve checks it.

What is computed without solving: the halo of every part of a cube cut into 2, 3, 64 and 512
blocks as `box_part` cuts it, each block holding the share per rank: the nodes a rank owns,
the nodes of other ranks its rows couple to (one product's receives), its own nodes that
others need (its sends), its neighbours, and the nodes of the overlap (3 layers) that the
additive Schwarz gathers. The P2 nodes of this mesh are the points of the grid of half cells,
and two of them couple when an element holds both: the offsets that couple are read off the
six tetrahedra of one cell, so any block partition is counted exactly (the lowest rank that
touches a node owns it, as in `distributed.number_part`).

The model (extrapolated) of one solve at P ranks of n unknowns each:

  T(P) = W + C_setup(P) + steps(P) x (t_step(P) + H(P) + R(P) + G(P))

  W         local work: numbering + assembly + insertion + set-up, measured on 1 rank;
            the multigrid's set-up grows with its subdomain (owned + overlap nodes)
  C_setup   the set-up's communication at the largest measured rank count, its messages
            scaled by the neighbours, its bytes by the halo, its reductions by log2 P
            (GAMG: and by the levels)
  steps(P)  GAMG: a + b log2(unknowns of the whole model), fitted to every measured GAMG
            solve (b >= 0); multigrid: the steps measured at the largest rank count times
            (P / P_m)^e, e fitted to the serial-equivalent runs with k >= 8 subdomains
  t_step    measured time per step on 1 rank; the multigrid's grows with its subdomain
  H(P)      halo exchanges: messages per step x alpha + bytes per step / beta, each half
            of what the busiest rank sent and received at P_m (a send and a receive overlap),
            scaled by the neighbours and the halo of the partition into P blocks (GAMG: the
            one-layer halo; multigrid: the overlap's)
  R(P)      the step's reductions x ceil(log2 P) x alpha (a tree all-reduce of one number)
  G(P)      GAMG's coarse levels: the levels P adds (log P / log of the measured coarsening
            ratio), each with the exchanges of an average level, and the gather of the
            coarsest grid onto one rank and back, 2 ceil(log2 P) alpha; multigrid: none

Assumed interconnect (not measured here): alpha = 1.5 us per message, beta = 10 GB/s per rank;
one rank per core, each with the memory bandwidth it has here. Efficiency is T(1) / T(P); the
last column is the efficiency if every rank computed 4 times faster than measured here (this
machine's 2 cores are shared and loaded: a quiet cluster core makes the communication weigh more).

Usage (Debian's Python with mpi4py and petsc4py, quarvex installed for it, e.g. the virtual
environment scripts/test_mpi.sh makes):
    build/mpi-venv/bin/python benchmarks/weak_scaling.py [--quick] [--save F | --load F] [--no-solves]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import time
from dataclasses import dataclass

import numpy as np
from mpi_runs import run_worker

LAM, MU = 1.25, 1.0
RTOL = 1e-8
OVERLAP = 3  # distributed_pc.solve_system's default
LATENCY = 1.5e-6  # s per message: assumed interconnect
BANDWIDTH = 10e9  # bytes/s per rank: assumed interconnect
TARGETS = (64, 512)
FASTER = 4.0  # the last column: every rank computing this many times faster than measured here
BYTES_PER_NODE = 3 * 8  # three float64 unknowns

# Share per rank -> the cube N on 1, 2, 3 ranks: its 3 (2N + 1)^2 2N free unknowns over the ranks about equal.
SIZES = {"100k": {1: 16, 2: 20, 3: 23}, "400k": {1: 25, 2: 32}}
QUICK_SIZES = {"25k": {1: 10, 2: 13}}
SWEEP_CELLS, SWEEP_COUNTS = 6, (1, 8, 27, 64)  # serial equivalent: m^3 cells per subdomain, k subdomains
QUICK_SWEEP_CELLS, QUICK_SWEEP_COUNTS = 3, (1, 8, 27)

# box_part's six tetrahedra of a cell: the monotone paths from corner (0, 0, 0) to (1, 1, 1).
PATH_ORDERS = ((0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0))


# ---------------------------------------------------------------------------------------------
# The halo of a block partition, counted without a mesh
# ---------------------------------------------------------------------------------------------


def coupling_stencils() -> dict[tuple[int, int, int], np.ndarray]:
    """The offsets from a P2 node to the nodes it shares an element with, by the node's kind.

    Coordinates are doubled (a node of the cube of N cells lies at integers 0 .. 2N); a node's
    kind is its coordinates modulo 2 (a vertex, an edge's, a face's or a cell's midpoint), and
    every element holding a node of a kind is a whole-cell shift of one of box_part's six.

    Returns
    -------
    dict of (3,) parity tuple to (k, 3) int64
        The offsets, (0, 0, 0) included.
    """
    offsets: dict[tuple[int, int, int], set[tuple[int, int, int]]] = {}
    upper = np.triu_indices(4, 1)
    for order in PATH_ORDERS:
        corner, vertices = np.zeros(3, dtype=np.int64), [np.zeros(3, dtype=np.int64)]
        for axis in order:
            corner = corner.copy()
            corner[axis] += 1
            vertices.append(corner)
        vertex = np.array(vertices)
        nodes = np.concatenate([2 * vertex, (vertex[:, None] + vertex[None])[upper]])  # the ten, doubled
        for node in nodes:
            offsets.setdefault(tuple(int(c) for c in node % 2), set()).update(
                tuple(int(c) for c in other - node) for other in nodes
            )
    return {kind: np.array(sorted(found), dtype=np.int64) for kind, found in offsets.items()}


def box_blocks(n: int, parts: int) -> np.ndarray:
    """(parts, 6) int64: the cells [low, high) along x, y, z that `distributed.box_part` gives each of `parts` ranks."""
    from quarvex_tools import distributed

    # The blocks box_part cuts for a communicator of `parts` ranks.
    return np.array([np.concatenate(distributed._bisect_box((n, n, n), parts, index)) for index in range(parts)])


def node_owners(doubled: np.ndarray, blocks: np.ndarray) -> np.ndarray:
    """(k,) int64: the lowest block whose closed box holds each node (doubled coordinates (k, 3)); -1 for none."""
    owner = np.full(len(doubled), -1, dtype=np.int64)
    for index in range(len(blocks) - 1, -1, -1):  # the lowest last, so that it wins
        inside = np.all((doubled >= 2 * blocks[index, :3]) & (doubled <= 2 * blocks[index, 3:]), axis=1)
        owner[inside] = index
    return owner


def _shifted(length: int, offset: int) -> tuple[slice, slice]:
    """(source, destination) slices of an axis of `length` for destination = source + offset."""
    if offset >= 0:
        return slice(0, length - offset), slice(offset, length)
    return slice(-offset, length), slice(0, length + offset)


def _dilate(mask: np.ndarray, start: np.ndarray, stencils: dict, usable: np.ndarray) -> np.ndarray:
    """The nodes of `mask` and those coupled to them, within `usable` (a box of nodes from `start`)."""
    grown = mask.copy()
    parity = [(start[axis] + np.arange(mask.shape[axis])) % 2 for axis in range(3)]
    for kind, offsets in stencils.items():
        source = mask & (
            (parity[0] == kind[0])[:, None, None]
            & (parity[1] == kind[1])[None, :, None]
            & (parity[2] == kind[2])[None, None, :]
        )
        if not source.any():
            continue
        for offset in offsets:
            slices = [_shifted(mask.shape[axis], int(offset[axis])) for axis in range(3)]
            grown[tuple(s[1] for s in slices)] |= source[tuple(s[0] for s in slices)]
    return grown & usable


def part_halo(
    n: int, blocks: np.ndarray, index: int, stencils: dict, layers: int = OVERLAP, fixed_x0: bool = True
) -> dict[str, int]:
    """The halo of one block of a partition of the cube of n^3 cells, in nodes.

    Parameters
    ----------
    n : int
        Cells along each axis of the cube.
    blocks : (parts, 6) int
        Every part's cells [low, high) along x, y, z (`box_blocks`).
    index : int
        The part.
    stencils : dict
        From :func:`coupling_stencils`.
    layers : int
        Layers of the matrix graph of the overlap.
    fixed_x0 : bool
        The nodes at x = 0 are prescribed: they are no unknowns and couple to none.

    Returns
    -------
    dict of str to int
        ``owned``: nodes the part owns; ``ghosts``: other parts' nodes its rows couple to;
        ``sends``: (part, node) pairs of its own nodes that other parts' rows couple to;
        ``neighbours``: parts it exchanges with in a product; ``overlap``: other parts' nodes
        within `layers` steps of the graph from its own; ``overlap_neighbours``: their owners.
    """
    low, high = blocks[index, :3], blocks[index, 3:]
    margin = 2 * max(layers, 1)
    start = np.maximum(2 * low - margin, 0)
    stop = np.minimum(2 * high + margin, 2 * n) + 1
    shape = tuple(int(v) for v in stop - start)
    owner = np.full(shape, -1, dtype=np.int64)
    near = np.flatnonzero(np.all(2 * blocks[:, :3] < stop, axis=1) & np.all(2 * blocks[:, 3:] >= start, axis=1))
    for other in near[::-1]:  # the lowest last: the lowest rank that touches a node owns it
        first = np.maximum(2 * blocks[other, :3] - start, 0)
        last = np.minimum(2 * blocks[other, 3:] - start + 1, shape)
        owner[first[0] : last[0], first[1] : last[1], first[2] : last[2]] = other
    if fixed_x0 and start[0] == 0:
        owner[0] = -1
    usable = owner >= 0
    owned = owner == index

    # One layer: who owns what the owned rows couple to, and which owned nodes others couple to.
    parity = [(start[axis] + np.arange(shape[axis])) % 2 for axis in range(3)]
    flat = np.arange(owner.size).reshape(shape)
    ghost_nodes, send_pairs = [], []
    for kind, offsets in stencils.items():
        source = owned & (
            (parity[0] == kind[0])[:, None, None]
            & (parity[1] == kind[1])[None, :, None]
            & (parity[2] == kind[2])[None, None, :]
        )
        for offset in offsets:
            slices = [_shifted(shape[axis], int(offset[axis])) for axis in range(3)]
            from_slice, to_slice = tuple(s[0] for s in slices), tuple(s[1] for s in slices)
            target_owner = owner[to_slice]
            crossing = source[from_slice] & (target_owner >= 0) & (target_owner != index)
            ghost_nodes.append(flat[to_slice][crossing])
            send_pairs.append(flat[from_slice][crossing] * len(blocks) + target_owner[crossing])
    ghosts = np.unique(np.concatenate(ghost_nodes)) if ghost_nodes else np.zeros(0, dtype=np.int64)
    sends = np.unique(np.concatenate(send_pairs)) if send_pairs else np.zeros(0, dtype=np.int64)
    neighbours = np.union1d(owner.ravel()[ghosts], sends % len(blocks))

    grown = owned
    for _ in range(layers):
        grown = _dilate(grown, start, stencils, usable)
    overlap = grown & ~owned
    return {
        "owned": int(owned.sum()),
        "ghosts": len(ghosts),
        "sends": len(sends),
        "neighbours": len(neighbours),
        "overlap": int(overlap.sum()),
        "overlap_neighbours": len(np.unique(owner[overlap])),
    }


def partition_halo(n: int, parts: int, layers: int = OVERLAP, sample: int = 48) -> dict[str, float]:
    """The largest halo figures over the parts of the cube of n^3 cells cut into `parts` blocks.

    With more than `sample` parts, `sample` of them spread over the bisection order are counted
    (interior blocks among them: they hold the largest halo).
    """
    blocks, stencils = box_blocks(n, parts), coupling_stencils()
    indices = range(parts) if parts <= sample else np.unique(np.linspace(0, parts - 1, sample).astype(np.int64))
    records = [part_halo(n, blocks, int(index), stencils, layers) for index in indices]
    largest = {name: max(record[name] for record in records) for name in records[0]}
    largest["surface"] = max(record["ghosts"] / max(record["owned"], 1) for record in records)
    largest["exchanged"] = max(record["ghosts"] + record["sends"] for record in records)  # received + sent
    return largest


# ---------------------------------------------------------------------------------------------
# The model
# ---------------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Interconnect:
    """An assumed network: seconds per message and bytes per second per rank."""

    latency: float = LATENCY
    bandwidth: float = BANDWIDTH

    def exchange(self, messages: float, sent_bytes: float) -> float:
        """Seconds of `messages` messages carrying `sent_bytes` bytes in all."""
        return messages * self.latency + sent_bytes / self.bandwidth

    def allreduce(self, ranks: int) -> float:
        """One all-reduce of a few numbers: a tree of ceil(log2 P) latencies."""
        return math.ceil(math.log2(ranks)) * self.latency if ranks > 1 else 0.0


def fit_power(counts: list[float], values: list[float]) -> tuple[float, float]:
    """(c, e) of values ~ c counts^e by least squares on the logarithms."""
    exponent, log_coefficient = np.polyfit(np.log(counts), np.log(values), 1)
    return float(math.exp(log_coefficient)), float(exponent)


def fit_log2(sizes: list[float], values: list[float]) -> tuple[float, float]:
    """(a, b) of values ~ a + b log2(sizes), b >= 0 (flat when the fit falls)."""
    if len(set(sizes)) < 2:
        return float(np.mean(values)), 0.0
    slope, intercept = np.polyfit(np.log2(sizes), values, 1)
    if slope < 0.0:
        return float(np.mean(values)), 0.0
    return float(intercept), float(slope)


def estimate(
    measured: dict, ranks: int, halo: dict, network: Interconnect, local_speed: float = 1.0
) -> dict[str, float]:
    """T(P) and its terms for one method at one share per rank (see the module's docstring).

    Parameters
    ----------
    measured : dict
        ``work`` (s, 1 rank: numbering + assembly + insertion + set-up), ``setup`` (s: the part
        of the set-up that grows with the subdomain, the multigrid's; 0 for GAMG), ``step`` (s per
        step, 1 rank), ``steps`` (at P, estimated by the caller), per step at P_m ``messages``,
        ``bytes`` (sent and received), ``reductions``, in the set-up at P_m ``setup_messages``,
        ``setup_bytes``, ``setup_reductions``, and for GAMG ``levels`` at P_m, ``extra_levels``
        at P (else 0), ``coarse_gather`` (bool).
    ranks : int
    halo : dict
        At P and at P_m: ``neighbours``, ``halo`` (nodes exchanged) and ``grown`` (the
        subdomain's nodes over the owned ones, 1 without overlap).
    network : Interconnect
    local_speed : float
        How many times faster than measured a rank computes (the measured times divided by it).
    """
    neighbour_ratio = halo["neighbours"] / max(halo["neighbours_measured"], 1)
    halo_ratio = halo["halo"] / max(halo["halo_measured"], 1)
    # The counters hold what a rank sent and received: a send and a receive overlap in time.
    half = 0.5
    level_ratio = (measured["levels"] + measured["extra_levels"]) / measured["levels"] if measured["levels"] else 1.0
    work = (measured["work"] + measured["setup"] * (halo["grown"] - 1.0)) / local_speed
    setup_comm = (
        network.exchange(
            half * measured["setup_messages"] * neighbour_ratio * level_ratio,
            half * measured["setup_bytes"] * halo_ratio,
        )
        + measured["setup_reductions"] * level_ratio * network.allreduce(ranks)
        if ranks > 1
        else 0.0
    )
    step = measured["step"] * halo["grown"] / local_speed
    exchange = network.exchange(half * measured["messages"] * neighbour_ratio, half * measured["bytes"] * halo_ratio)
    reductions = measured["reductions"] * network.allreduce(ranks)
    coarse = 0.0
    if measured["levels"] and ranks > 1:
        per_level = half * measured["messages"] * neighbour_ratio / measured["levels"]
        coarse = measured["extra_levels"] * per_level * network.latency
        coarse += 2 * network.allreduce(ranks) if measured["coarse_gather"] else 0.0
    if ranks == 1:
        exchange = 0.0
    total = work + setup_comm + measured["steps"] * (step + exchange + reductions + coarse)
    return {
        "steps": measured["steps"],
        "levels": measured["levels"] + measured["extra_levels"],
        "work": work,
        "setup_comm": setup_comm,
        "step": step,
        "exchange": exchange,
        "reductions": reductions,
        "coarse": coarse,
        "total": total,
    }


# ---------------------------------------------------------------------------------------------
# The measured runs (under mpirun)
# ---------------------------------------------------------------------------------------------


def _event_counts(comm, events) -> dict[str, dict[str, float]]:
    """The largest over the ranks of the messages, bytes and reductions of every named PETSc event."""
    from mpi4py import MPI

    counts = {}
    for name, event in events.items():
        info = event.getPerfInfo()
        # PETSc counts a message at both ends: these are what the rank sent and received.
        mine = {
            "messages": float(info["numMessages"]),
            "bytes": float(info["messageLength"]),
            "reductions": float(info["numReductions"]),
        }
        counts[name] = {key: comm.allreduce(value, op=MPI.MAX) for key, value in mine.items()}
    return counts


def _gamg_levels(comm, pc) -> list[tuple[int, int]]:
    """(rows, ranks holding some) of GAMG's levels, the finest first."""
    from mpi4py import MPI

    levels = []
    for level in range(pc.getMGLevels() - 1, -1, -1):
        operator = pc.getMGSmoother(level).getOperators()[0]
        rows = operator.getSize()[0]
        levels.append((int(rows), int(comm.allreduce(int(operator.getLocalSize()[0] > 0), op=MPI.SUM))))
    return levels


def solve_worker(n: int, method: str) -> None:
    """One measured solve under mpirun; rank 0 prints one JSON line."""
    from mpi4py import MPI
    from petsc4py import PETSc

    from quarvex_tools import distributed, distributed_pc, isotropic

    comm = MPI.COMM_WORLD
    PETSc.Log.begin()
    seconds: dict[str, float] = {}

    def timed(name, action):
        comm.Barrier()
        start = time.perf_counter()
        result = action()
        seconds[name] = comm.allreduce(time.perf_counter() - start, op=MPI.MAX)
        return result

    part = timed("mesh", lambda: distributed.box_part(comm, n, n, n))
    numbering = timed("numbering", lambda: distributed.number_part(comm, part, lambda x: x[:, 0] == 0.0))
    local = timed(
        "assembly",
        lambda: distributed.local_system(
            distributed.assemble_part(numbering, isotropic(lam=LAM, mu=MU), (0.0, 0.0, -1.0))
        ),
    )
    assembled = timed(
        "insertion",
        lambda assembled_part=local: distributed.DistributedSystem(
            comm, numbering, *distributed.petsc_system(comm, numbering, assembled_part)
        ),
    )
    del local
    events = {name: PETSc.Log.Event(f"WeakScaling{name}") for name in ("Product", "SetUp", "Solve")}
    products = 10
    vector, image = assembled.matrix.createVecs()
    vector.set(1.0)
    assembled.matrix.mult(vector, image)  # the first product sets the exchange up
    comm.Barrier()
    events["Product"].begin()
    for _ in range(products):
        assembled.matrix.mult(vector, image)
    events["Product"].end()
    vector.destroy()
    image.destroy()

    levels: list[tuple[int, int]] = []
    comm.Barrier()
    if method == "gamg":
        # The solver that distributed.solve_system makes, set up and solved apart so that the
        # set-up's messages and the solve's are counted apart, and kept to read its levels.
        settings = distributed._solver_settings("gamg", RTOL, 0.0, None, "")
        start = time.perf_counter()
        events["SetUp"].begin()
        assembled.kept_solver = distributed._configured_solver(assembled, settings)
        events["SetUp"].end()
        setup = time.perf_counter() - start
        events["Solve"].begin()
        report = distributed._solve_agreed(assembled, settings, False, keep_solver=True)
        events["Solve"].end()
        assembled.seconds["setup"] = setup
        levels = _gamg_levels(comm, assembled.kept_solver.solver.getPC())
    else:
        events["SetUp"].begin()  # set-up and solve: the solve's part is PETSc's KSPSolve
        report = distributed_pc.solve_system(assembled, overlap=OVERLAP, rtol=RTOL)
        events["SetUp"].end()
        events["Solve"] = PETSc.Log.Event("KSPSolve")
    counts = _event_counts(comm, events)
    if method != "gamg":  # the set-up's share: the whole call but the solve
        for key in ("messages", "bytes", "reductions"):
            counts["SetUp"][key] = max(counts["SetUp"][key] - counts["Solve"][key], 0.0)
    first, last = numbering.owned_range
    record = {
        "method": method,
        "ranks": comm.size,
        "N": n,
        "unknowns": 3 * numbering.n_global_nodes,
        "unknowns_per_rank": comm.allreduce(3 * (last - first), op=MPI.MAX),
        **seconds,
        "setup": comm.allreduce(assembled.seconds["setup"], op=MPI.MAX),
        "solve": comm.allreduce(assembled.seconds["solve"], op=MPI.MAX),
        "steps": report.iterations,
        "relres": report.relative_residual,
        "converged": bool(report.converged),
        "product": {key: value / products for key, value in counts["Product"].items()},
        "setup_comm": counts["SetUp"],
        "solve_comm": counts["Solve"],
        "levels": levels,
    }
    assembled.destroy()
    if comm.rank == 0:
        print("RESULT " + json.dumps(record), flush=True)


def sweep_worker(n: int, subdomains: int) -> None:
    """The per-rank multigrid's additive Schwarz over `subdomains` blocks, on one process; prints one JSON line.

    The blocks are those `box_part` gives as many ranks, owned by the lowest block that touches
    a node, each grown by the same overlap, each with the package's multigrid: the operator of
    a run on that many ranks, so the same steps.
    """
    from mpi4py import MPI
    from petsc4py import PETSc

    from quarvex_tools import distributed, distributed_pc, isotropic

    comm = MPI.COMM_WORLD
    part = distributed.box_part(comm, n, n, n)
    numbering = distributed.number_part(comm, part, lambda x: x[:, 0] == 0.0)
    local = distributed.local_system(distributed.assemble_part(numbering, isotropic(lam=LAM, mu=MU), (0.0, 0.0, -1.0)))
    assembled = distributed.DistributedSystem(comm, numbering, *distributed.petsc_system(comm, numbering, local))
    del local
    free = numbering.global_node >= 0
    points = np.empty((numbering.n_global_nodes, 3))
    points[numbering.global_node[free]] = numbering.node_points[free]
    owner = node_owners(np.rint(points * 2 * n).astype(np.int64), box_blocks(n, subdomains))

    start = time.perf_counter()
    solver = PETSc.KSP().create(comm=PETSc.COMM_SELF)
    solver.setOperators(assembled.matrix)
    solver.setType(PETSc.KSP.Type.CG)
    solver.setNormType(PETSc.KSP.NormType.UNPRECONDITIONED)
    solver.setTolerances(rtol=RTOL, atol=0.0, max_it=5000)
    pc = solver.getPC()
    pc.setType(PETSc.PC.Type.ASM)
    pc.setASMType(PETSc.PC.ASMType.BASIC)
    pc.setASMOverlap(0)  # each subdomain holds its overlap already
    rows = []
    for block in range(subdomains):
        nodes = np.flatnonzero(owner == block)
        unknowns = (3 * nodes[:, None] + np.arange(3)).ravel().astype(PETSc.IntType)
        subdomain = PETSc.IS().createGeneral(unknowns, comm=PETSc.COMM_SELF)
        if subdomains > 1:
            assembled.matrix.increaseOverlap(subdomain, OVERLAP)
        subdomain.sort()
        rows.append(subdomain)
    pc.setASMLocalSubdomains(subdomains, rows)
    pc.setUp()
    sizes = []
    for block_solver, subdomain in zip(pc.getASMSubKSP(), rows, strict=True):
        block_solver.setType(PETSc.KSP.Type.PREONLY)
        block_pc = block_solver.getPC()
        block_pc.setType(PETSc.PC.Type.PYTHON)
        block_pc.setPythonContext(distributed_pc.BlockMultigrid(points[subdomain.getIndices()[::3] // 3]))
        block_solver.setUp()
        sizes.append(subdomain.getLocalSize())
    solver.setUp()
    setup = time.perf_counter() - start
    solution = assembled.matrix.createVecRight()
    start = time.perf_counter()
    solver.solve(assembled.load, solution)
    solve = time.perf_counter() - start
    residual = assembled.load.duplicate()
    assembled.matrix.mult(solution, residual)
    residual.aypx(-1.0, assembled.load)  # r = b - A x
    record = {
        "N": n,
        "subdomains": subdomains,
        "unknowns": 3 * numbering.n_global_nodes,
        "largest_subdomain": int(max(sizes)),
        "steps": int(solver.getIterationNumber()),
        "reason": int(solver.getConvergedReason()),
        "relres": float(residual.norm() / assembled.load.norm()),
        "setup": setup,
        "solve": solve,
    }
    for item in [solver, solution, residual, *rows]:
        item.destroy()
    assembled.destroy()
    print("RESULT " + json.dumps(record), flush=True)


def run(ranks: int, *worker: str) -> dict:
    """One worker under mpirun, with the 1-minute load at its start."""
    return run_worker(__file__, ranks, "--worker", *worker)


# ---------------------------------------------------------------------------------------------
# Tables
# ---------------------------------------------------------------------------------------------


def print_rows(header: list[str], rows: list[list], width: int = 11, first: int = 22) -> None:
    print(f"{header[0]:<{first}}" + "".join(f"{cell:>{width}}" for cell in header[1:]))
    for row in rows:
        print(f"{str(row[0]):<{first}}" + "".join(f"{str(cell):>{width}}" for cell in row[1:]))


def print_measured(records: list[dict]) -> None:
    print("\nMeasured here (slowest rank; communication: the most messages and bytes a rank sent + received)")
    header = ["method share", "ranks", "N", "unkn/rank", "number s", "assem s", "insert s", "setup s", "steps"]
    header += ["solve s", "ms/step", "msg/step", "KB/step", "red/step", "setup msg", "setup MB", "setup red", "load"]
    rows = []
    for record in records:
        comm, setup = record["solve_comm"], record["setup_comm"]
        steps = max(record["steps"], 1)
        rows.append(
            [
                f"{record['method']} {record['share']}",
                record["ranks"],
                record["N"],
                record["unknowns_per_rank"],
                f"{record['numbering']:.2f}",
                f"{record['assembly']:.2f}",
                f"{record['insertion']:.2f}",
                f"{record['setup']:.2f}",
                record["steps"],
                f"{record['solve']:.2f}",
                f"{1e3 * record['solve'] / steps:.1f}",
                f"{comm['messages'] / steps:.1f}",
                f"{comm['bytes'] / steps / 1e3:.1f}",
                f"{comm['reductions'] / steps:.1f}",
                f"{setup['messages']:.0f}",
                f"{setup['bytes'] / 1e6:.1f}",
                f"{setup['reductions']:.0f}",
                f"{record['load']:.1f}",
            ]
        )
    print_rows(header, rows, width=10, first=16)
    print("\nOne product with the matrix (per rank, slowest): measured against the halo counted from the partition")
    header = ["method share", "ranks", "msg s+r", "KB s+r", "KB counted", "neighbours"]
    rows = []
    for record in records:
        if record["ranks"] > 1:
            counted = record["halo"]
            rows.append(
                [
                    f"{record['method']} {record['share']}",
                    record["ranks"],
                    f"{record['product']['messages']:.1f}",
                    f"{record['product']['bytes'] / 1e3:.1f}",
                    f"{counted['exchanged'] * BYTES_PER_NODE / 1e3:.1f}",
                    counted["neighbours"],
                ]
            )
    print_rows(header, rows, width=12, first=16)
    gamg = [record for record in records if record["levels"]]
    if gamg:
        print("\nGAMG's levels: rows (ranks holding some), the finest first")
        for record in gamg:
            levels = "  ".join(f"{rows}({ranks})" for rows, ranks in record["levels"])
            print(f"  {record['share']} {record['ranks']} rank(s), N = {record['N']}: {levels}")


def print_halo(halos: dict) -> None:
    print("\nHalo of the block partition (counted, no solve; the largest over the parts)")
    header = ["share parts", "N", "owned", "neighbours", "ghosts", "sends", "ghost/own", f"overlap{OVERLAP}", "nbrs"]
    rows = []
    for (share, parts), (n, halo) in halos.items():
        rows.append(
            [
                f"{share} {parts}",
                n,
                halo["owned"],
                halo["neighbours"],
                halo["ghosts"],
                halo["sends"],
                f"{halo['surface']:.3f}",
                halo["overlap"],
                halo["overlap_neighbours"],
            ]
        )
    print_rows(header, rows, width=11, first=14)


def print_sweep(sweep: list[dict], exponent: float) -> None:
    print("\nThe per-rank multigrid's steps against the subdomains: one process, the blocks of k ranks (measured)")
    header = ["N", "subdomains", "unknowns", "largest sub", "steps", "relres", "setup s", "solve s", "load"]
    rows = [
        [
            record["N"],
            record["subdomains"],
            record["unknowns"],
            record["largest_subdomain"],
            record["steps"],
            f"{record['relres']:.1e}",
            f"{record['setup']:.1f}",
            f"{record['solve']:.1f}",
            f"{record['load']:.1f}",
        ]
        for record in sweep
    ]
    print_rows(header, rows, width=11, first=6)
    print(f"  steps ~ k^{exponent:.3f} for k >= 8 (the fit the estimate uses)")


# ---------------------------------------------------------------------------------------------
# Main
# ---------------------------------------------------------------------------------------------


def estimates(records: list[dict], halos: dict, exponent: float, network: Interconnect) -> list[dict]:
    """The modelled T(P) for every method and share at 1 rank (the measured inputs) and at the targets."""
    gamg_fit = fit_log2(
        [record["unknowns"] for record in records if record["method"] == "gamg"],
        [record["steps"] for record in records if record["method"] == "gamg"],
    )
    rows = []
    for method in ("gamg", "multigrid"):
        for share in dict.fromkeys(record["share"] for record in records):
            runs = {r["ranks"]: r for r in records if r["method"] == method and r["share"] == share}
            if 1 not in runs or len(runs) < 2:
                continue
            one, widest = runs[1], runs[max(runs)]
            measured_ranks = widest["ranks"]
            steps = max(widest["steps"], 1)
            ratio = 1.0
            if widest["levels"] and len(widest["levels"]) > 1:
                ratio = (widest["levels"][0][0] / widest["levels"][-1][0]) ** (1.0 / (len(widest["levels"]) - 1))
            base = {
                "work": one["numbering"] + one["assembly"] + one["insertion"] + one["setup"],
                "setup": one["setup"] if method == "multigrid" else 0.0,
                "step": one["solve"] / max(one["steps"], 1),
                "messages": widest["solve_comm"]["messages"] / steps,
                "bytes": widest["solve_comm"]["bytes"] / steps,
                "reductions": widest["solve_comm"]["reductions"] / steps,
                "setup_messages": widest["setup_comm"]["messages"],
                "setup_bytes": widest["setup_comm"]["bytes"],
                "setup_reductions": widest["setup_comm"]["reductions"],
                "levels": len(widest["levels"]),
                "coarse_gather": bool(widest["levels"]),
            }
            for ranks in (1, *TARGETS):
                halo = halos[(share, ranks)][1] if ranks > 1 else None
                measured_halo = halos[(share, measured_ranks)][1]
                key = "overlap" if method == "multigrid" else "exchanged"
                neighbours = "overlap_neighbours" if method == "multigrid" else "neighbours"
                scaled = {
                    "neighbours": halo[neighbours] if halo else 0,
                    "neighbours_measured": measured_halo[neighbours],
                    "halo": halo[key] if halo else 0,
                    "halo_measured": measured_halo[key],
                    "grown": 1.0 + (halo["overlap"] / halo["owned"] if halo and method == "multigrid" else 0.0),
                }
                if method == "gamg":
                    a, b = gamg_fit
                    step_count = one["steps"] if ranks == 1 else a + b * math.log2(one["unknowns"] * ranks)
                    # Levels grow with the logarithm of the model's size; a fraction stands for an average.
                    extra = 0.0 if ranks == 1 else max(0.0, math.log(ranks / measured_ranks) / math.log(ratio))
                else:
                    step_count = one["steps"] if ranks == 1 else steps * (ranks / measured_ranks) ** exponent
                    extra = 0.0
                levels = len(one["levels"]) if ranks == 1 else base["levels"]
                inputs = {**base, "levels": levels, "steps": step_count, "extra_levels": extra}
                result = estimate(inputs, ranks, scaled, network)
                result["total_faster"] = estimate(inputs, ranks, scaled, network, FASTER)["total"]
                rows.append(
                    {"method": method, "share": share, "ranks": ranks, "measured_ranks": measured_ranks, **result}
                )
    for row in rows:
        reference = next(
            r for r in rows if r["method"] == row["method"] and r["share"] == row["share"] and r["ranks"] == 1
        )
        row["efficiency"] = reference["total"] / row["total"]
        row["efficiency_faster"] = reference["total_faster"] / row["total_faster"]
    return rows


def print_estimates(rows: list[dict], network: Interconnect) -> None:
    print(
        f"\nEstimated (extrapolated; alpha = {1e6 * network.latency:.1f} us, "
        f"beta = {network.bandwidth / 1e9:.0f} GB/s; P = 1 is the model on the measured 1-rank figures)"
    )
    header = ["method share", "P", "steps", "levels", "work s", "setup comm", "ms/step", "halo us", "red us"]
    header += ["coarse us", "T(P) s", "efficiency", f"eff. x{FASTER:g}"]
    table = [
        [
            f"{row['method']} {row['share']}",
            row["ranks"],
            f"{row['steps']:.0f}",
            f"{row['levels']:.1f}" if row["levels"] else "-",
            f"{row['work']:.2f}",
            f"{row['setup_comm']:.3f}",
            f"{1e3 * row['step']:.1f}",
            f"{1e6 * row['exchange']:.0f}",
            f"{1e6 * row['reductions']:.0f}",
            f"{1e6 * row['coarse']:.0f}",
            f"{row['total']:.1f}",
            f"{row['efficiency']:.2f}",
            f"{row['efficiency_faster']:.2f}",
        ]
        for row in rows
    ]
    print_rows(header, table, width=11, first=16)


def measure(sizes: dict, halos: dict, quick: bool) -> tuple[list[dict], list[dict]]:
    """Every measured solve (each its own mpirun), then the serial-equivalent runs of the per-rank multigrid."""
    records = []
    for share, cubes in sizes.items():
        for ranks, n in cubes.items():
            for method in ("gamg", "multigrid"):
                record = run(ranks, "solve", str(n), method)
                record["share"] = share
                record["halo"] = halos[(share, ranks)][1] if ranks > 1 else {}
                records.append(record)
    cells, counts = (QUICK_SWEEP_CELLS, QUICK_SWEEP_COUNTS) if quick else (SWEEP_CELLS, SWEEP_COUNTS)
    sweep = [run(1, "sweep", str(round(cells * count ** (1 / 3))), str(count)) for count in counts]
    first_share = next(iter(sizes.values()))
    sweep.append(run(1, "sweep", str(first_share[2]), "2"))  # beside the 2-rank solve of the same cube
    return records, sweep


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true", help="about 25 k unknowns per rank, a smaller sweep")
    parser.add_argument("--no-solves", action="store_true", help="only the halo counts of the partitions")
    parser.add_argument("--save", help="write the measured runs to this JSON file")
    parser.add_argument("--load", help="print the tables from measured runs saved by --save, without solving")
    args = parser.parse_args()
    if args.worker is not None:
        kind, first, second = args.worker
        if kind == "solve":
            solve_worker(int(first), second)
        else:
            sweep_worker(int(first), int(second))
        return
    uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(f"machine: {os.cpu_count()} logical processors; uptime: {uptime}")
    sizes = QUICK_SIZES if args.quick else SIZES
    halos = {}
    for share, cubes in sizes.items():
        for parts in (*sorted(set(cubes) - {1}), *TARGETS):
            # 64 and 512 blocks: the 1-rank cube repeated 4 or 8 times along each axis.
            n = cubes.get(parts) or round(cubes[1] * parts ** (1 / 3))
            halos[(share, parts)] = (n, partition_halo(n, parts))
    print_halo(halos)
    if args.no_solves:
        return
    if args.load:
        with open(args.load, encoding="utf-8") as saved:
            records, sweep = json.load(saved)
    else:
        records, sweep = measure(sizes, halos, args.quick)
        if args.save:
            with open(args.save, "w", encoding="utf-8") as saved:
                json.dump([records, sweep], saved)
    for record in records:
        if not record["converged"]:
            print(f"warning: {record['method']} at N = {record['N']} did not converge", file=sys.stderr)
    print_measured(records)
    wide = [record for record in sweep if record["subdomains"] >= 8]
    _, exponent = fit_power([r["subdomains"] for r in wide], [r["steps"] for r in wide])
    print_sweep(sweep, exponent)
    network = Interconnect()
    print_estimates(estimates(records, halos, exponent, network), network)
    gamg = [record for record in records if record["method"] == "gamg"]
    a, b = fit_log2([record["unknowns"] for record in gamg], [record["steps"] for record in gamg])
    print(f"  GAMG's steps ~ {a:.1f} + {b:.2f} log2(unknowns); the multigrid's ~ (P / P_m)^{exponent:.3f}")
    print(f"\nuptime at the end: {subprocess.run(['uptime'], capture_output=True, text=True).stdout.strip()}")


if __name__ == "__main__":
    main()
