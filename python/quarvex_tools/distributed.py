"""Distributed assembly and solve through PETSc, for runs under MPI.

Every rank keeps a part of the mesh: whole elements and the vertices they touch, with their
global vertex numbers. The steps, each a function:

1. :func:`partition_elements` cuts the elements into parts by recursive coordinate bisection
   of their centroids; :func:`distribute_mesh` sends each rank its part from a root that read
   the mesh, :func:`box_part` lets each rank build its part of a structured box by itself.
2. :func:`number_part` makes the rank's P2 nodes and its unknowns with the package's serial
   numbering (`numbering.p2_nodes`, `numbering.number_dofs`), the part taken as a mesh of its
   own, and adds what is distributed: each node's global key, its owner and its global number
   for PETSc (``global_node``). A node touched by several ranks is owned by the lowest of them;
   each rank's owned nodes hold one consecutive range of global numbers (its rows of the PETSc
   matrix), and its own unknowns run in the global order. Nodes with prescribed values get no
   global number: the core moves their coupling to the load vector.
3. :func:`assemble_part` sets up and assembles the rank's model as the serial path does
   (`numbering.core_arrays`), :func:`local_system` copies its matrix and load out of it (the
   serial export, `system.csr_arrays`, so it can be freed); :func:`petsc_system` adds its rows
   into a PETSc MPIAIJ matrix (block size 3, preallocated exactly) and its load vector into a
   PETSc vector. Rows of nodes on a part boundary get contributions from every rank that
   touches them, added through PETSc.
4. :func:`solve_system` solves a :class:`DistributedSystem` (the matrix and load with the
   numbering and the communicator) where `quarvex_tools.solve_system` solves a
   ``quarvex.Nexus``, with its keywords and its `system.SolveResult`: PETSc's conjugate
   gradients with GAMG (the rigid-body modes as near null space), hypre's BoomerAMG, Jacobi
   or nothing. :func:`displacement` hands every rank the values of all its nodes;
   :func:`write_pvtu` writes one VTU file per rank and a PVTU over them.

A model that every rank holds whole (a serial script run unchanged under mpirun, see
`quarvex_tools.parallel`) skips steps 1 to 3: :func:`replicated_system` hands PETSc each rank's
block of rows of the serial system, and :func:`gathered_solution` gives every rank the whole
solution.

:func:`solve_part` runs steps 2 to 4. Every node has a global key (`numbering.node_keys`): vertex v
has key v, the edge of vertices a < b has key n + a n + b for n global vertices. Global numbers and
ownership come from a rendezvous: the node with key k is looked up on rank hash(k) mod P, so
no rank ever holds a table of the whole model.

A failure on one rank does not leave the others waiting: each collective step runs a rank's
own work (its inputs, the core, its file) first and then agrees with every rank that all
succeeded before the next collective call, so the failure raises on all of them
(:func:`_together`); settings that the ranks must share are compared once, before PETSc
starts (:func:`_agree`).

mpi4py and petsc4py are imported where they are used (Debian: ``apt-get install
python3-mpi4py python3-petsc4py openmpi-bin``).
"""

from __future__ import annotations

import base64
import contextlib
import hashlib
import logging
import math
import operator
import os
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt

import quarvex

from . import system
from ._caller import user_stacklevel
from .materials import Material
from .numbering import Dofs, Numbering, core_arrays, morton_rank, node_keys, number_dofs, ordered_numbering, p2_nodes

if TYPE_CHECKING:
    from mpi4py import MPI
    from petsc4py import PETSc

__all__ = [
    "METHODS",
    "DistributedSolution",
    "DistributedSystem",
    "LocalSystem",
    "MeshPart",
    "PartNumbering",
    "assemble_part",
    "box_part",
    "displacement",
    "distribute_mesh",
    "gathered_solution",
    "local_system",
    "number_part",
    "partition_elements",
    "petsc_system",
    "replicated_system",
    "rigid_body_modes",
    "row_ranges",
    "solve_part",
    "solve_system",
    "write_pvtu",
]

_log = logging.getLogger(__name__)

_VTK_QUADRATIC_TETRA = 24
# A 10-node element's nodes with vertices 1 and 2 swapped, in the core's order: the edges (0,1)
# and (0,2) trade places, as do (1,3) and (2,3); (1,2) and (0,3) stay.
_SWAP_VERTICES_1_2 = np.array([0, 2, 1, 3, 6, 5, 4, 7, 9, 8])


def _mpi() -> Any:
    from mpi4py import MPI

    return MPI


def _petsc() -> Any:
    try:
        from petsc4py import PETSc
    except ImportError as error:
        raise ImportError(
            "quarvex_tools.distributed needs petsc4py and mpi4py (Debian: apt-get install python3-petsc4py "
            "python3-mpi4py openmpi-bin; without Debian's PETSc development package, point PETSC_DIR at "
            "/usr/lib/petscdir/petsc3.18/x86_64-linux-gnu-real)"
        ) from error
    return PETSc


# ---------------------------------------------------------------------------------------------
# Mesh parts
# ---------------------------------------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class MeshPart:
    """One rank's part of a tetrahedral mesh.

    Attributes
    ----------
    points : (n, 3) float64
        Coordinates of the vertices the part's elements touch.
    tetrahedra : (m, 4) int64
        The part's elements as indices into `points`, each in its global vertex order.
    vertex_ids : (n,) int64
        Global number of every vertex of `points` (sorted ascending).
    element_ids : (m,) int64
        Global number of every element.
    n_vertices : int
        Number of vertices of the whole mesh.
    """

    points: np.ndarray
    tetrahedra: np.ndarray
    vertex_ids: np.ndarray
    element_ids: np.ndarray
    n_vertices: int


def partition_elements(points: np.ndarray, tetrahedra: np.ndarray, parts: int) -> np.ndarray:
    """Cuts a mesh into `parts` parts by recursive coordinate bisection of element centroids.

    Each cut splits a set across its longest extent at the element whose share of the parts
    it splits off, so part sizes differ by at most one element per level of cuts.

    Parameters
    ----------
    points : (n, 3) float
    tetrahedra : (m, 4) int
    parts : int
        At least 1; any number, not only powers of two.

    Returns
    -------
    (m,) int64
        The part of every element, 0 .. parts - 1.
    """
    if parts < 1:
        raise ValueError(f"parts must be at least 1, got {parts}")
    points = np.asarray(points, dtype=np.float64)
    tetrahedra = np.asarray(tetrahedra)
    centroids = points[tetrahedra].mean(axis=1)
    owner = np.zeros(len(tetrahedra), dtype=np.int64)
    pending = [(np.arange(len(tetrahedra)), 0, parts)]  # (elements, first part, number of parts)
    while pending:
        elements, first, count = pending.pop()
        if count == 1:
            owner[elements] = first
            continue
        lower = count // 2
        cut = (len(elements) * lower) // count  # elements in the lower half
        box = centroids[elements]
        axis = int(np.argmax(box.max(axis=0) - box.min(axis=0))) if len(elements) else 0
        # A stable sort keeps the split reproducible when centroids tie along the axis.
        order = np.argsort(box[:, axis], kind="stable")
        pending.append((elements[order[:cut]], first, lower))
        pending.append((elements[order[cut:]], first + lower, count - lower))
    return owner


def _part_from_elements(
    points: np.ndarray, tetrahedra: np.ndarray, element_ids: np.ndarray, n_vertices: int
) -> MeshPart:
    """The part of the given elements; `points` may be the whole mesh's or any superset indexed alike."""
    vertex_ids, local = np.unique(tetrahedra, return_inverse=True)
    return MeshPart(
        points=np.ascontiguousarray(points[vertex_ids], dtype=np.float64),
        tetrahedra=local.reshape(-1, 4).astype(np.int64),
        vertex_ids=vertex_ids.astype(np.int64),
        element_ids=np.asarray(element_ids, dtype=np.int64),
        n_vertices=int(n_vertices),
    )


def distribute_mesh(
    comm: MPI.Comm,
    points: np.ndarray | None = None,
    tetrahedra: np.ndarray | None = None,
    root: int = 0,
    owner: np.ndarray | None = None,
) -> MeshPart:
    """Partitions a mesh held by one rank and sends every rank its part.

    Only `root` needs the whole mesh (read it there and drop it after this call); each rank
    receives the elements of its part and the coordinates of their vertices.

    Parameters
    ----------
    comm : mpi4py.MPI.Comm
    points : (n, 3) float, on root (ignored elsewhere)
    tetrahedra : (m, 4) int, on root (ignored elsewhere)
    root : int
    owner : (m,) int, on root, optional
        A partition of your own (for example from a graph partitioner); by default
        :func:`partition_elements`.

    Returns
    -------
    MeshPart
    """
    size, rank = comm.Get_size(), comm.Get_rank()
    pieces: list[Any] | None = None
    if rank == root:
        try:
            pieces = _cut_mesh(points, tetrahedra, owner, size)
        except (TypeError, ValueError) as error:
            pieces = [error] * size  # every rank raises it, so none waits for the others
    piece = comm.scatter(pieces, root=root)
    if isinstance(piece, Exception):
        raise piece
    return piece


def _cut_mesh(points: Any, tetrahedra: Any, owner: Any, size: int) -> list[MeshPart]:
    """The parts of a whole mesh (checked), one per rank."""
    if points is None or tetrahedra is None:
        raise ValueError("the root rank must pass points and tetrahedra")
    points = np.asarray(points, dtype=np.float64)
    tetrahedra = np.asarray(tetrahedra, dtype=np.int64)
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError(f"argument 'points': expected an array of shape (n, 3), got shape {points.shape}")
    if tetrahedra.ndim != 2 or tetrahedra.shape[1] != 4:
        raise ValueError(f"argument 'tetrahedra': expected an array of shape (m, 4), got shape {tetrahedra.shape}")
    if tetrahedra.size and (tetrahedra.min() < 0 or tetrahedra.max() >= len(points)):
        raise ValueError(f"argument 'tetrahedra': vertex indices must lie in 0 .. {len(points) - 1}")
    if owner is None:
        owner = partition_elements(points, tetrahedra, size)
    owner = np.asarray(owner, dtype=np.int64)
    if owner.shape != (len(tetrahedra),) or (owner.size and (owner.min() < 0 or owner.max() >= size)):
        raise ValueError(f"argument 'owner': expected {len(tetrahedra)} part numbers in 0 .. {size - 1}")
    by_part = np.argsort(owner, kind="stable")
    bounds = np.searchsorted(owner[by_part], np.arange(size + 1))
    return [
        _part_from_elements(points, tetrahedra[by_part[low:high]], by_part[low:high], len(points))
        for low, high in zip(bounds[:-1], bounds[1:], strict=False)
    ]


def _bisect_box(cells: tuple[int, int, int], parts: int, index: int) -> tuple[np.ndarray, np.ndarray]:
    """The block [low, high) of an integer grid of cells that part `index` of `parts` gets."""
    low, high = np.zeros(3, dtype=np.int64), np.array(cells, dtype=np.int64)
    first, count = 0, parts
    while count > 1:
        lower = count // 2
        axis = int(np.argmax(high - low))
        cut = low[axis] + (2 * (high[axis] - low[axis]) * lower + count) // (2 * count)  # nearest whole cell
        if index < first + lower:
            high[axis], count = cut, lower
        else:
            low[axis], first, count = cut, first + lower, count - lower
    return low, high


def box_part(comm: MPI.Comm, nx: int, ny: int, nz: int, size: Sequence[float] = (1.0, 1.0, 1.0)) -> MeshPart:
    """This rank's part of the structured box mesh, built without the whole mesh anywhere.

    The box [0, lx] x [0, ly] x [0, lz] of nx x ny x nz cells, six tetrahedra each (every cell
    cut along its main diagonal, each tetrahedron listing its vertices along a path from the
    cell's lowest to its highest corner, so that three of the six are inverted, unlike
    `box_mesh`'s); the grid of cells is bisected into blocks, one per rank. Vertex (i, j, k) has
    global number i + (nx + 1) (j + (ny + 1) k); element 6 c + t is tetrahedron t of cell c = i + nx (j + ny k).

    Parameters
    ----------
    comm : mpi4py.MPI.Comm
    nx, ny, nz : int
        Cells along each axis, at least 1.
    size : (3,) float
        Edge lengths of the box.

    Returns
    -------
    MeshPart
    """
    if min(nx, ny, nz) < 1:
        raise ValueError(f"a box needs at least one cell along each axis, got {nx} x {ny} x {nz}")
    low, high = _bisect_box((nx, ny, nz), comm.Get_size(), comm.Get_rank())
    i, j, k = np.meshgrid(*(np.arange(low[a], high[a]) for a in range(3)), indexing="ij")
    cell = np.stack([i.ravel(order="F"), j.ravel(order="F"), k.ravel(order="F")], axis=1)
    # The six monotone paths from corner (0, 0, 0) to (1, 1, 1), one per axis order.
    paths = []
    for order in ((0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)):
        corner, path = np.zeros(3, dtype=np.int64), [np.zeros(3, dtype=np.int64)]
        for axis in order:
            corner = corner.copy()
            corner[axis] += 1
            path.append(corner)
        paths.append(path)
    offsets = np.array(paths)  # (6, 4, 3)
    corners = cell[:, None, None, :] + offsets[None]  # (cells, 6, 4, 3)
    vertex = corners[..., 0] + (nx + 1) * (corners[..., 1] + (ny + 1) * corners[..., 2])
    tetrahedra = vertex.reshape(-1, 4)
    cell_id = cell[:, 0] + nx * (cell[:, 1] + ny * cell[:, 2])
    element_ids = (6 * cell_id[:, None] + np.arange(6)).ravel()
    vertex_ids, local = np.unique(tetrahedra, return_inverse=True)
    layer = (nx + 1) * (ny + 1)
    grid = np.stack([vertex_ids % (nx + 1), (vertex_ids // (nx + 1)) % (ny + 1), vertex_ids // layer], axis=1)
    points = grid * (np.asarray(size, dtype=np.float64) / np.array([nx, ny, nz]))
    return MeshPart(
        points,
        local.reshape(-1, 4).astype(np.int64),
        vertex_ids.astype(np.int64),
        element_ids.astype(np.int64),
        (nx + 1) * (ny + 1) * (nz + 1),
    )


# ---------------------------------------------------------------------------------------------
# Numbering
# ---------------------------------------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class PartNumbering:
    """The P2 nodes of a rank's part, their unknowns in the rank's own model and their global numbers.

    The nodes and the local unknowns are made by the package's serial numbering applied to the
    part (`numbering.p2_nodes`, `numbering.number_dofs`); what is distributed is added beside
    them: the nodes' global keys and numbers and the rank's range of global numbers.

    Attributes
    ----------
    part : MeshPart
    local : numbering.Numbering
        The part's P2 nodes: node i < n_vertices is vertex i of the part, node n_vertices + e its
        edge e (the part's own edges, sorted by their pair of local vertices). Its order
        (`node_rank`) puts the free nodes by global number, then the prescribed ones in node order.
    dofs : numbering.Dofs
        The unknowns of the rank's own model in that order: the free node of local rank i owns
        3 i, 3 i + 1, 3 i + 2; the j-th prescribed node -(3 j + 1) .. -(3 j + 3), its values in `bc`.
    node_keys : (k,) int64
        Global key of every node (`numbering.node_keys`: vertex v has key v, the edge of vertices
        a < b the key n + a n + b for the mesh's n vertices).
    global_node : (k,) int64
        Global node number of every free node (its unknowns are 3 g, 3 g + 1, 3 g + 2); -1 for
        prescribed nodes.
    owned_range : (int, int)
        The global node numbers [first, last) this rank owns (its rows of the matrix).
    n_global_nodes : int
        Free nodes in the whole model.
    """

    part: MeshPart
    local: Numbering
    dofs: Dofs
    node_keys: np.ndarray
    global_node: np.ndarray
    owned_range: tuple[int, int]
    n_global_nodes: int

    # Views of `local` and `dofs` under the names this record held them by before.

    @property
    def edges(self) -> np.ndarray:
        """(e, 2) int64: local vertex pairs (low, high) of the part's edges."""
        return self.local.edges

    @property
    def element_nodes(self) -> np.ndarray:
        """(m, 10) int64: local nodes of every element in the core's order."""
        return self.local.element_nodes

    @property
    def node_points(self) -> np.ndarray:
        """(k, 3) float64: node coordinates, the vertices, then the edge midpoints."""
        return self.local.node_points

    @property
    def n_nodes(self) -> int:
        """Nodes the rank's elements touch."""
        return self.local.n_nodes

    @property
    def fixed(self) -> np.ndarray:
        """(k,) bool: nodes whose three components are prescribed."""
        return self.dofs.node_start < 0

    @property
    def fixed_values(self) -> np.ndarray:
        """(k, 3) float64: the prescribed values (zero for free nodes)."""
        return self.dofs.values(np.zeros(self.dofs.n_free))

    @property
    def local_start(self) -> np.ndarray:
        """(k,) int64: first number of every node in the rank's own model (`dofs.node_start`)."""
        return self.dofs.node_start

    @property
    def bc(self) -> np.ndarray:
        """(1 + 3 f,) float64: prescribed values for the rank's model (entry 0 unused)."""
        return self.dofs.bc

    @property
    def n_local_free(self) -> int:
        """Free nodes the rank's elements touch (owned and not)."""
        return self.dofs.n_free // 3

    def local_to_global(self) -> np.ndarray:
        """(f,) int64: global node number of the local free node of local rank i (ascending)."""
        free = ~self.fixed
        order = np.argsort(self.local_start[free])
        return self.global_node[free][order]


def _hash_rank(keys: np.ndarray, size: int) -> np.ndarray:
    """The rank that looks up each key: a multiplicative hash, so structured keys spread evenly."""
    mixed = (keys.astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15)) >> np.uint64(33)
    return (mixed % np.uint64(size)).astype(np.int64)


def _exchange(comm: MPI.Comm, values: np.ndarray, destination: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Sends values[i] (rows of a 1-D or 2-D array) to rank destination[i].

    Returns (received rows grouped by source rank, the count from each rank, the send order:
    a reply in the received order comes back as rows for values[order]).
    """
    size = comm.Get_size()
    order = np.argsort(destination, kind="stable")
    width = int(np.prod(values.shape[1:], dtype=np.int64))
    outgoing = np.ascontiguousarray(values[order]).reshape(-1)
    send_counts = np.bincount(destination, minlength=size).astype(np.int64)
    recv_counts = np.empty(size, dtype=np.int64)
    comm.Alltoall(send_counts, recv_counts)
    incoming = np.empty(int(recv_counts.sum()) * width, dtype=values.dtype)
    comm.Alltoallv(
        [outgoing, (send_counts * width).astype(np.int32)], [incoming, (recv_counts * width).astype(np.int32)]
    )
    return incoming.reshape((-1,) + values.shape[1:]), recv_counts, order


def _reply(comm: MPI.Comm, answers: np.ndarray, recv_counts: np.ndarray, order: np.ndarray) -> np.ndarray:
    """Sends answers (one per received row, in received order) back; returns them in the asker's order."""
    source = np.repeat(np.arange(comm.Get_size()), recv_counts)
    returned, _, _ = _exchange(comm, answers, source)  # received back in the asker's send order
    result = np.empty_like(returned)
    result[order] = returned
    return result


def _fail_together(comm: MPI.Comm, failure: BaseException | None) -> None:
    """Raises on every rank when any rank failed, so that none waits in a later collective call.

    The failing ranks raise their own exception; the others a ValueError (when the first failing
    rank's was a TypeError or ValueError, a refused input) or a RuntimeError naming that rank.
    Costs one small reduction when every rank succeeded.
    """
    size = comm.Get_size()
    first_failed = comm.allreduce(size if failure is None else comm.Get_rank(), op=_mpi().MIN)
    if first_failed == size:
        return
    cause = None
    if failure is not None:
        cause = (isinstance(failure, (TypeError, ValueError)), f"{type(failure).__name__}: {failure}")
    refused, text = comm.bcast(cause, root=first_failed)
    if failure is not None:
        raise failure
    raise (ValueError if refused else RuntimeError)(f"rank {first_failed} failed: {text}")


@contextlib.contextmanager
def _together(comm: MPI.Comm) -> Iterator[None]:
    """Runs a rank's share of a step, then agrees with every rank that all succeeded (collective).

    The body must not itself call collective operations that a failing rank could skip. A
    failure in it (``quarvex.PanicException`` included, which is no ``Exception``) is raised on
    every rank by :func:`_fail_together`; Ctrl-C and ``SystemExit`` pass straight through, since
    mpirun delivers them to every rank.
    """
    failure: BaseException | None = None
    try:
        yield
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as error:  # noqa: BLE001 - handed to _fail_together, which raises it again
        failure = error
    _fail_together(comm, failure)


def _agree(comm: MPI.Comm, read_settings: Callable[[], dict[str, Any]]) -> dict[str, Any]:
    """Checks settings that every rank must pass alike, with one allgather (collective).

    `read_settings` checks this rank's arguments and returns them as comparable values (a
    digest for large ones). Every rank raises the same ValueError when a rank refused its
    arguments (that rank raises its own error) or when two ranks' settings differ; otherwise
    returns the settings.
    """
    failure: BaseException | None = None
    settings: dict[str, Any] = {}
    try:
        settings = read_settings()
    except (TypeError, ValueError) as error:
        failure = error
    records = comm.allgather((None if failure is None else f"{type(failure).__name__}: {failure}", settings))
    failed = [rank for rank, (text, _) in enumerate(records) if text is not None]
    if failure is not None:
        raise failure
    if failed:
        raise ValueError(f"rank {failed[0]} failed: {records[failed[0]][0]}")
    first = records[0][1]
    for name, value in first.items():
        differing = [rank for rank, (_, other) in enumerate(records) if repr(other[name]) != repr(value)]
        if differing:
            rank, other = differing[0], records[differing[0]][1][name]
            shown = (
                f"rank {rank}'s differs from rank 0's"
                if isinstance(value, bytes)
                else f"rank 0 passes {value!r}, rank {rank} {other!r}"
            )
            raise ValueError(f"ranks disagree on {name}: {shown}; every rank must pass the same")
    return settings


def _fixed_nodes(fixed: FixedNodes, node_points: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(mask, values) of the prescribed nodes from the caller's fixed(x), checked."""
    answer = fixed(node_points)
    mask, values = answer if isinstance(answer, tuple) else (answer, None)
    is_fixed = np.asarray(mask, dtype=bool)
    if is_fixed.shape != (len(node_points),):
        raise ValueError(f"fixed(x) must return a ({len(node_points)},) mask, got shape {is_fixed.shape}")
    if values is None:
        return is_fixed, np.zeros((len(node_points), 3))
    values = np.broadcast_to(np.asarray(values, dtype=np.float64), (len(node_points), 3))
    return is_fixed, np.where(is_fixed[:, None], values, 0.0)


# fixed(x) for the (k, 3) node coordinates x: a (k,) bool mask, or (mask, (k, 3) values).
FixedNodes = Callable[[np.ndarray], np.ndarray | tuple[np.ndarray, np.ndarray]]


def number_part(comm: MPI.Comm, part: MeshPart, fixed: FixedNodes | None = None) -> PartNumbering:
    """Makes the rank's P2 nodes and numbers them locally and globally (collective).

    The nodes and the local unknowns come from the package's serial numbering of the part's
    elements; the ranks then agree on ownership and global numbers through directory ranks.

    Parameters
    ----------
    comm : mpi4py.MPI.Comm
    part : MeshPart
    fixed : callable, optional
        ``fixed(x)`` with x the (k, 3) node coordinates returns a (k,) bool array of the nodes
        whose displacement is prescribed (zero), or a pair (mask, values) with values (k, 3).
        It must depend on the coordinates only, so every rank decides a shared node alike.

    Returns
    -------
    PartNumbering
    """
    # The rank's own work (and the caller's fixed(x)) first: a failure reaches every rank.
    with _together(comm):
        nodes = p2_nodes(part.points, part.tetrahedra)  # in part order: the vertices, then the edges
        node_points = nodes.node_points
        keys = node_keys(part.vertex_ids, nodes.edges, part.n_vertices)
        is_fixed = np.zeros(len(node_points), dtype=bool)
        fixed_values = np.zeros((len(node_points), 3))
        if fixed is not None:
            is_fixed, fixed_values = _fixed_nodes(fixed, node_points)
        if 3 * len(node_points) >= np.iinfo(np.int32).max:
            raise ValueError(
                f"{3 * len(node_points)} local unknowns do not fit the core's 32-bit numbers: use more ranks"
            )

    free_nodes = np.flatnonzero(~is_fixed)
    rank, size = comm.Get_rank(), comm.Get_size()

    # Round 1: every rank names its nodes, with whether it fixes them, to their directory
    # ranks. A directory refuses a node that one rank fixes and another does not, and names
    # the owner of a free node: the lowest rank that named it.
    asked, counts, order = _exchange(comm, np.column_stack([keys, is_fixed.astype(np.int64)]), _hash_rank(keys, size))
    asked_keys, asked_fixed = asked[:, 0], asked[:, 1]
    source = np.repeat(np.arange(size, dtype=np.int64), counts)
    by_key = np.lexsort((source, asked_keys))
    first_of_key = np.ones(len(asked), dtype=bool)
    first_of_key[1:] = asked_keys[by_key][1:] != asked_keys[by_key][:-1]
    starts = np.flatnonzero(first_of_key)
    if len(starts):
        sorted_fixed = asked_fixed[by_key]
        mixed = np.minimum.reduceat(sorted_fixed, starts) != np.maximum.reduceat(sorted_fixed, starts)
    else:
        mixed = np.zeros(0, dtype=bool)
    if not comm.allreduce(not mixed.any(), op=_mpi().LAND):
        raise ValueError("ranks disagree on which nodes are fixed: fixed(x) must depend on the coordinates only")
    group = np.cumsum(first_of_key) - 1
    owner_asked = np.empty(len(asked), dtype=np.int64)
    owner_asked[by_key] = source[by_key][first_of_key][group]
    owner = _reply(comm, owner_asked, counts, order)

    # Owners number their nodes along a space-filling curve, after the lower ranks' nodes.
    mine = free_nodes[owner[free_nodes] == rank]
    mine = mine[np.argsort(morton_rank(node_points[mine]))]
    first_number: int = comm.exscan(len(mine)) or 0
    n_global = comm.allreduce(len(mine))
    numbers = np.full(len(node_points), -1, dtype=np.int64)
    numbers[mine] = first_number + np.arange(len(mine))

    # Round 2: owners post (key, number) at the directory; round 3: it answers round 1.
    posted, _, _ = _exchange(comm, np.column_stack([keys[mine], numbers[mine]]), _hash_rank(keys[mine], size))
    posted = posted[np.argsort(posted[:, 0])]
    where = np.minimum(np.searchsorted(posted[:, 0], asked_keys), max(len(posted) - 1, 0))
    answer = np.where(posted[where, 0] == asked_keys, posted[where, 1], -1) if len(posted) else np.full(len(asked), -1)
    numbers = _reply(comm, answer.astype(np.int64), counts, order)

    with _together(comm):
        # The local order: free nodes by global number, so that the rank's unknowns run in the
        # global order and its owned nodes lie in one block; then the prescribed nodes in node order.
        local_order = np.concatenate(
            [free_nodes[np.argsort(numbers[free_nodes], kind="stable")], np.flatnonzero(is_fixed)]
        )
        node_rank = np.empty(len(local_order), dtype=np.int64)
        node_rank[local_order] = np.arange(len(local_order))
        local = ordered_numbering(nodes, node_rank)
        dofs = number_dofs(local, np.repeat(is_fixed[:, None], 3, axis=1), fixed_values)
    return PartNumbering(
        part,
        local,
        dofs,
        keys,
        numbers,
        (int(first_number), int(first_number + len(mine))),
        int(n_global),
    )


# ---------------------------------------------------------------------------------------------
# Assembly and the PETSc system
# ---------------------------------------------------------------------------------------------


def _is_expression_force(force: Any) -> bool:
    """Whether a body force is given as (arena, three node ids)."""
    return isinstance(force, tuple) and len(force) == 2 and isinstance(force[0], quarvex.Arena)


def _constant_force(force: Sequence[float]) -> tuple[float, ...]:
    """The three components of a constant body force, checked."""
    values = tuple(float(v) for v in force)
    if len(values) != 3:
        raise ValueError(f"a body force has three components, got {len(values)}")
    return values


def _body_force_arena(force: Sequence[float] | tuple[quarvex.Arena, Sequence[int]]) -> tuple[quarvex.Arena, list[int]]:
    """(arena, three node ids) of a body force: a constant vector, or (arena, nodes) as given."""
    if _is_expression_force(force):
        arena, nodes = cast(tuple[quarvex.Arena, Sequence[int]], force)
        return arena, list(nodes)
    values = _constant_force(cast(Sequence[float], force))
    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()  # nodes 0, 1, 2 stand for x, y, z
    return arena, [arena.new_cst(value) for value in values]


def _material_matrix(cmat: Material | npt.ArrayLike) -> np.ndarray:
    """The (9, 9) float64 matrix of a Material or an array, checked."""
    matrix = np.asarray(cmat.matrix if isinstance(cmat, Material) else cmat, dtype=np.float64)
    if matrix.shape != (9, 9):
        raise ValueError(f"the material matrix must be 9 x 9, got shape {matrix.shape}")
    if not np.isfinite(matrix).all():
        raise ValueError("the material matrix must be finite")
    return matrix


def assemble_part(
    numbering: PartNumbering,
    cmat: Material | npt.ArrayLike,
    body_force: Sequence[float] | tuple[quarvex.Arena, Sequence[int]] | None = None,
    *,
    comm: MPI.Comm | None = None,
) -> quarvex.Nexus:
    """Assembles the rank's elements with the core, in its local numbering.

    Parameters
    ----------
    numbering : PartNumbering
    cmat : Material or (9, 9) array_like
        The material (e.g. ``quarvex_tools.isotropic(E=..., nu=...)``) or its matrix D[3c + j][3d + l].
    body_force : (3,) float or (quarvex.Arena, [fx, fy, fz]), optional
        A constant force per volume, or expressions of x, y, z (arena nodes 0, 1, 2).
    comm : mpi4py.MPI.Comm, optional
        Makes the call collective: a failure on one rank (an element the core refuses, say)
        then raises on every rank, so that none waits for it in the next step. Without it the
        call involves this rank only.

    Returns
    -------
    quarvex.Nexus
        The assembled local model: its matrix couples the rank's free unknowns, its load
        vector holds the rank's share of the load (with the coupling to prescribed values).
    """
    if comm is None:
        return _assemble(numbering, cmat, body_force)
    with _together(comm):
        model = _assemble(numbering, cmat, body_force)
    return model


def _assemble(
    numbering: PartNumbering,
    cmat: Material | npt.ArrayLike,
    body_force: Sequence[float] | tuple[quarvex.Arena, Sequence[int]] | None,
) -> quarvex.Nexus:
    """:func:`assemble_part` on this rank alone: the serial model's set-up on the part's numbering."""
    part = numbering.part
    model = system.nexus_from_arrays(part.points, part.tetrahedra)
    system.set_dof_arrays(model, *core_arrays(numbering.local, numbering.dofs))
    model.set_cmat(_material_matrix(cmat).tolist())
    if body_force is not None:
        arena, nodes = _body_force_arena(body_force)
        model.set_f(0, set(), arena, nodes)
    model.set_solver(numbering.dofs.n_free, numbering.dofs.bc.tolist())
    model.assemble()
    return model


def _block_structure(indptr: np.ndarray, indices: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The 3 x 3 block rows (bptr, block columns) of a CSR matrix whose nodes own 3 unknowns each.

    Scalar rows 3k, 3k + 1, 3k + 2 hold the same 3 b columns, so the values of block row k are
    the three scalar rows one after the other: the row-oriented layout of PETSc's blocked insertion.
    """
    lengths = np.diff(indptr)
    if len(lengths) % 3 or np.any(lengths % 3):
        raise ValueError("the matrix is not made of 3 x 3 node blocks")
    leading = lengths[0::3]
    if np.any(lengths[1::3] != leading) or np.any(lengths[2::3] != leading):
        raise ValueError("the matrix is not made of 3 x 3 node blocks")
    blocks = leading // 3
    block_ptr = np.concatenate([[0], np.cumsum(blocks)])
    # Every third entry of each block's first scalar row: position indptr[3k] + 3 t, t < blocks[k].
    positions = np.repeat(indptr[:-1:3].astype(np.int64) - 3 * block_ptr[:-1], blocks) + 3 * np.arange(block_ptr[-1])
    block_columns = indices[positions]
    if np.any(block_columns % 3):
        raise ValueError("the matrix is not made of 3 x 3 node blocks")
    block_columns = block_columns // 3
    return block_ptr, block_columns


@dataclass(frozen=True, eq=False)
class LocalSystem:
    """A rank's assembled system, copied out of its ``Nexus`` so that the model can be freed.

    Attributes
    ----------
    indptr, indices : int32 or int64 arrays
        CSR structure over the rank's local free unknowns.
    values : float64 array
        The matrix values.
    rhs : (3 f,) float64
        The rank's share of the load vector.
    """

    indptr: np.ndarray
    indices: np.ndarray
    values: np.ndarray
    rhs: np.ndarray


def local_system(model: quarvex.Nexus) -> LocalSystem:
    """Copies the assembled matrix and load vector of a rank's model (own, writable arrays).

    Parameters
    ----------
    model : quarvex.Nexus
        An assembled model, e.g. from :func:`assemble_part`.

    Returns
    -------
    LocalSystem
    """
    indptr, indices, values = system.csr_arrays(model)
    return LocalSystem(indptr, indices, values, system.load_vector(model))


def petsc_system(
    comm: MPI.Comm, numbering: PartNumbering, assembled: LocalSystem | quarvex.Nexus
) -> tuple[PETSc.Mat, PETSc.Vec]:
    """The global matrix and load vector, from every rank's assembled part (collective).

    The matrix is MPIAIJ with block size 3; each rank owns the rows of its owned nodes.
    Preallocation is exact: a rank counts its own couplings of its owned rows and receives
    those of its rows that other ranks' elements add.

    Parameters
    ----------
    comm : mpi4py.MPI.Comm
    numbering : PartNumbering
    assembled : LocalSystem or quarvex.Nexus
        The rank's model from :func:`assemble_part`, or its :func:`local_system` (then the
        model can be freed before PETSc's matrix is built, which lowers the peak memory).

    Returns
    -------
    (petsc4py.PETSc.Mat, petsc4py.PETSc.Vec)
    """
    with _together(comm):  # a rank that cannot read its system fails every rank, before any exchange
        PETSc = _petsc()
        local = assembled if isinstance(assembled, LocalSystem) else local_system(assembled)
        indptr, indices, values = local.indptr, local.indices, local.values
        unknowns = 3 * numbering.n_local_free
        if len(indptr) != unknowns + 1 or len(local.rhs) != unknowns:
            raise ValueError(
                f"the assembled system has {len(indptr) - 1} rows and {len(local.rhs)} loads, but the "
                f"numbering has {unknowns} free local unknowns: assemble the part of this numbering"
            )
        block_ptr, block_columns = _block_structure(indptr, indices)
        local_to_global = numbering.local_to_global()
        global_rows = np.repeat(local_to_global, np.diff(block_ptr))
        global_columns = local_to_global[block_columns]
    first, last = numbering.owned_range
    owned_count = last - first

    # Couplings of rows owned elsewhere go to their owners, which merge them with their own.
    ranges = np.array(comm.allgather(first) + [numbering.n_global_nodes], dtype=np.int64)
    row_owner = np.searchsorted(ranges, global_rows, side="right") - 1
    elsewhere = row_owner != comm.Get_rank()
    received, _, _ = _exchange(
        comm, np.column_stack([global_rows[elsewhere], global_columns[elsewhere]]), row_owner[elsewhere]
    )
    own_rows, own_columns = global_rows[~elsewhere] - first, global_columns[~elsewhere]
    diagonal = np.bincount(own_rows, weights=(own_columns >= first) & (own_columns < last), minlength=owned_count)
    total = np.bincount(own_rows, minlength=owned_count).astype(np.float64)
    if len(received):
        touched = np.zeros(owned_count, dtype=bool)
        touched[received[:, 0] - first] = True
        mine = touched[own_rows]
        merged = np.unique(
            np.concatenate(
                [
                    own_rows[mine] * np.int64(numbering.n_global_nodes) + own_columns[mine],
                    (received[:, 0] - first) * np.int64(numbering.n_global_nodes) + received[:, 1],
                ]
            )
        )
        merged_rows, merged_columns = merged // numbering.n_global_nodes, merged % numbering.n_global_nodes
        touched_rows = np.flatnonzero(touched)
        diagonal[touched_rows] = np.bincount(
            merged_rows, weights=(merged_columns >= first) & (merged_columns < last), minlength=owned_count
        )[touched_rows]
        total[touched_rows] = np.bincount(merged_rows, minlength=owned_count)[touched_rows]
    diagonal_nnz = np.repeat(3 * diagonal.astype(np.int64), 3)
    off_nnz = np.repeat(3 * (total - diagonal).astype(np.int64), 3)

    petsc_comm = PETSc.Comm(comm)
    matrix = PETSc.Mat().create(comm=petsc_comm)
    rows = (3 * owned_count, 3 * numbering.n_global_nodes)  # (this rank's, all)
    matrix.setSizes((rows, rows), bsize=3)
    matrix.setType(PETSc.Mat.Type.AIJ)
    matrix.setPreallocationNNZ((diagonal_nnz.astype(PETSc.IntType), off_nnz.astype(PETSc.IntType)))
    matrix.setOption(PETSc.Mat.Option.NEW_NONZERO_ALLOCATION_ERR, True)
    mapping = PETSc.LGMap().create(local_to_global.astype(PETSc.IntType), bsize=3, comm=petsc_comm)
    matrix.setLGMap(mapping, mapping)
    load = matrix.createVecLeft()
    with _together(comm):  # insertion is the rank's own; assembly then exchanges what it added elsewhere
        # Scalar rows through the block mapping: local unknown 3 i + c is global 3 l2g[i] + c.
        matrix.setValuesLocalCSR(
            indptr.astype(PETSc.IntType, copy=False),
            indices.astype(PETSc.IntType, copy=False),
            values,
            addv=PETSc.InsertMode.ADD_VALUES,
        )
        global_dofs = (3 * local_to_global[:, None] + np.arange(3)).ravel()
        load.setValues(global_dofs.astype(PETSc.IntType), local.rhs, addv=PETSc.InsertMode.ADD_VALUES)
    matrix.assemble()
    load.assemble()
    return matrix, load


def row_ranges(unknowns: int, size: int, block: int = 3) -> np.ndarray:
    """(size + 1,) int64: the first row of every rank, then `unknowns`; ranges of whole blocks, as even as can be.

    Parameters
    ----------
    unknowns : int
        Rows of the system, a multiple of `block`.
    size : int
        Ranks.
    block : int
        Rows that stay together (the three unknowns of a node).
    """
    blocks = unknowns // block
    return block * (np.arange(size + 1, dtype=np.int64) * blocks // size)


def replicated_modes(node_points: np.ndarray, dofs: Dofs, constraints: system.Constraints | None) -> np.ndarray:
    """(n_free, 6) orthonormal columns: the rigid-body modes over the free unknowns of a serial numbering.

    The modes are turned into the frames of the turned nodes (m' = R m) and vanish on the
    unknowns that `constraints` eliminated, whose rows couple to no other: the serial
    multigrid's near null space (`system.multigrid`).

    Parameters
    ----------
    node_points : (n_nodes, 3) float64
    dofs : Dofs
        The numbering of the system's unknowns.
    constraints : system.Constraints, optional
        What `system.constrain` enforced.
    """
    free = np.flatnonzero(dofs.node_start >= 0)
    centred = node_points[free] - node_points[free].mean(axis=0)
    x, y, z = centred.T
    zero, one = np.zeros(len(free)), np.ones(len(free))
    # Per node (k, 3, 6): the translations along x, y, z and the rotations about x, y, z.
    per_node = np.stack(
        [
            np.stack([one, zero, zero, zero, z, -y], axis=1),
            np.stack([zero, one, zero, -z, zero, x], axis=1),
            np.stack([zero, zero, one, y, -x, zero], axis=1),
        ],
        axis=1,
    )
    if constraints is not None and len(constraints.frame_first):
        node_of_start = np.full(dofs.n_free, -1, dtype=np.int64)
        node_of_start[dofs.node_start[free]] = np.arange(len(free))
        turned = node_of_start[constraints.frame_first]
        per_node[turned] = np.einsum("kij,kjm->kim", constraints.frames, per_node[turned])
    modes = np.zeros((dofs.n_free, 6))
    modes[(dofs.node_start[free][:, None] + np.arange(3)).ravel()] = per_node.reshape(-1, 6)
    if constraints is not None:
        modes[constraints.unknowns] = 0.0
    basis, triangle = np.linalg.qr(modes)
    kept = np.abs(np.diag(triangle)) > 1e-12 * max(float(np.abs(triangle).max()), 1e-300)
    return np.ascontiguousarray(basis[:, kept])


def replicated_system(
    comm: MPI.Comm,
    nexus: quarvex.Nexus,
    node_points: np.ndarray,
    dofs: Dofs,
    constraints: system.Constraints | None = None,
) -> DistributedSystem:
    """The PETSc system of a model that every rank holds whole, each rank giving its block of rows (collective).

    Every rank passes the same assembled (and constrained) model, as a script run alike on
    every rank builds it. Rank r hands PETSc rows ``row_ranges(n, P)[r:r + 2]`` of the serial
    system, whole nodes each (block size 3), with the rigid-body modes of the serial multigrid
    as GAMG's near null space; the columns keep the serial numbers.

    Parameters
    ----------
    comm : mpi4py.MPI.Comm
    nexus : quarvex.Nexus
        The assembled model, the same on every rank.
    node_points : (n_nodes, 3) float64
    dofs : Dofs
        Its numbering (the node of every unknown, for the modes).
    constraints : system.Constraints, optional
        What `system.constrain` enforced in it (frames and eliminated unknowns).

    Returns
    -------
    DistributedSystem
        With ``numbering=None``; :func:`solve_system` solves it and :func:`gathered_solution`
        hands every rank the whole solution.
    """
    with _together(comm):
        PETSc = _petsc()
        indptr, indices, values = system.csr_arrays(nexus)
        rhs = system.load_vector(nexus)
        unknowns = len(rhs)
        block = 3 if unknowns % 3 == 0 else 1
        rows = row_ranges(unknowns, comm.Get_size(), block)
        first, last = int(rows[comm.Get_rank()]), int(rows[comm.Get_rank() + 1])
        start, stop = int(indptr[first]), int(indptr[last])
        local_indptr = (indptr[first : last + 1] - start).astype(PETSc.IntType)
        local_indices = indices[start:stop].astype(PETSc.IntType)
        local_values = values[start:stop]
        modes = replicated_modes(node_points, dofs, constraints)[first:last] if block == 3 else None
        row_points = _row_points(node_points, dofs, first, last) if block == 3 and not _turned(constraints) else None
    petsc_comm = PETSc.Comm(comm)
    sizes = ((last - first, unknowns), (last - first, unknowns))
    matrix = PETSc.Mat().createAIJ(sizes, bsize=block, csr=(local_indptr, local_indices, local_values), comm=petsc_comm)
    matrix.assemble()
    load = matrix.createVecLeft()
    load.setArray(rhs[first:last])
    null_space = None
    if modes is not None:
        vectors = []
        for column in modes.T:
            vector = matrix.createVecRight()
            vector.setArray(column)
            vectors.append(vector)
        null_space = PETSc.NullSpace().create(vectors=vectors, comm=petsc_comm)
        for vector in vectors:
            vector.destroy()
    return DistributedSystem(comm, None, matrix, load, modes=null_space, row_points=row_points)


def _turned(constraints: system.Constraints | None) -> bool:
    """Whether `constraints` turned some nodes' unknowns into frames of their own."""
    return constraints is not None and len(constraints.frame_first) > 0


def _row_points(node_points: np.ndarray, dofs: Dofs, first: int, last: int) -> np.ndarray:
    """(k, 3): the point of the node of each row triple among the rows first .. last (whole triples)."""
    free = np.flatnonzero(dofs.node_start >= 0)
    node_of_triple = np.empty(dofs.n_free // 3, dtype=np.int64)
    node_of_triple[dofs.node_start[free] // 3] = free
    return np.ascontiguousarray(node_points[node_of_triple[first // 3 : last // 3]], dtype=np.float64)


def gathered_solution(assembled: DistributedSystem) -> np.ndarray:
    """(n,) float64: the whole solution of the last solve, on every rank (collective).

    Parameters
    ----------
    assembled : DistributedSystem
        Solved by :func:`solve_system`.
    """
    comm = assembled.comm
    with _together(comm):
        if assembled.solution is None:
            raise ValueError("the system has no solution yet: solve it first (solve_system)")
        local = np.ascontiguousarray(assembled.solution.getArray(), dtype=np.float64)
    counts = np.array(comm.allgather(len(local)), dtype=np.int64)
    whole = np.empty(int(counts.sum()))
    comm.Allgatherv(local, [whole, counts])
    return whole


# ---------------------------------------------------------------------------------------------
# Solve, results and files
# ---------------------------------------------------------------------------------------------


METHODS = ("auto", "amg", "cg", "gamg", "hypre", "jacobi", "multigrid", "none")
"""The methods of a distributed solve: PETSc's preconditioners of conjugate gradients ("gamg",
"hypre", "jacobi", "none"), the package's multigrid on every rank's subdomain ("multigrid",
`distributed_pc`), and the package's names for the
same solves: "amg" (smoothed aggregation with the rigid-body modes) runs "gamg", "cg" runs "none".
There is no direct solve to choose here: "auto" runs "multigrid" for a compact body on up to
AUTO_MULTIGRID_RANKS ranks, "gamg" otherwise (and for a replicated model with turned frames)."""

AUTO_MULTIGRID_RANKS = 2
"""The most ranks on which "auto" runs the package's multigrid on every rank's subdomain rather than
GAMG. Measured on the unit cube (N = 20, 201,720 unknowns; N = 32 on 2 ranks), set-up and solve: 0.28
of GAMG's time on 1 rank, 0.49 on 2, 1.23 on 3, 1.15 on 4. Without a coarse space its steps grow with
the ranks (38, 73, 81, 97) where GAMG's stay at 32 to 34."""

AUTO_MULTIGRID_SHAPE = 0.1
"""The method "auto" takes the per-rank multigrid only for a compact body: its smallest principal extent at
least this share of its largest. On 2 ranks the slender and thin ones went better with GAMG: the
100 x 1 x 1 beam's residual grew past PETSc's divergence bound in 34 steps (GAMG stopped at its
rounding floor, 1.7e-6, in 1.7 s), the 1 x 1 x 0.02 plate took 4.6 s against 4.2, and the 1:500
plate ran 3000 steps without converging."""

# The preconditioner each method runs ("auto": see _preconditioner).
_PRECONDITIONERS = {
    "auto": "gamg",
    "amg": "gamg",
    "cg": "none",
    "gamg": "gamg",
    "hypre": "hypre",
    "jacobi": "jacobi",
    "multigrid": "multigrid",
    "none": "none",
}

# How warnings and failures name the solve of each preconditioner.
_SOLVE_NAMES = {
    "gamg": "PETSc's conjugate gradients with GAMG",
    "hypre": "PETSc's conjugate gradients with BoomerAMG",
    "jacobi": "PETSc's conjugate gradients with Jacobi",
    "multigrid": "PETSc's conjugate gradients with quarvex's multigrid on each rank's subdomain",
    "none": "PETSc's conjugate gradients",
}

# What PETSc's reasons for stopping short, other than its step limit, mean and what to do.
_BREAKDOWNS = {
    "DIVERGED_INDEFINITE_MAT": system._NOT_DEFINITE,
    "DIVERGED_BREAKDOWN": system._NOT_DEFINITE,
    "DIVERGED_INDEFINITE_PC": (
        "the preconditioner is not positive definite, so the matrix is probably not either: check the supports "
        "and the material, or solve with method='cg'"
    ),
    "DIVERGED_NANORINF": "the system holds NaN or infinity: check the material and the loads",
}


@dataclass(eq=False)
class DistributedSystem:
    """The global system of a distributed model as one rank holds it: what :func:`solve_system` solves.

    It stands where `quarvex_tools.solve_system` takes a ``quarvex.Nexus``: the solve leaves its
    solution here, and :func:`displacement` hands every rank the values of its nodes.

    Attributes
    ----------
    comm : mpi4py.MPI.Comm
    numbering : PartNumbering or None
        None for the system of a model that every rank holds whole (:func:`replicated_system`).
    matrix, load : petsc4py.PETSc.Mat, petsc4py.PETSc.Vec
        From :func:`petsc_system`.
    solution : petsc4py.PETSc.Vec or None
        The last solve's solution (this rank holds its owned rows); None before the first solve.
    seconds : dict of str to float
        This rank's time of the last solve's phases, "setup" and "solve"; for "multigrid" also
        the preconditioner's set-up phases (`distributed_pc.PHASES`), and "apply" and "applies":
        its time and count of applications in the solve.
    modes : petsc4py.PETSc.NullSpace or None
        The near null space GAMG takes; None: the rigid-body modes of `numbering`.
    kept_solver : _KeptSolver or None
        The solver set up by the last solve, kept for further loads (`parallel.solve_each`).
    row_points : (k, 3) float64 or None
        A replicated model's (`numbering` None): the point of the node of each of this rank's
        row triples (rows 3 i .. 3 i + 2 are x, y, z of node i of the block), which the per-rank
        multigrid takes; None where the rows are not plain x, y, z triples (turned frames).
    auto_method : str or None
        The preconditioner "auto" chose for this system (chosen collectively at its first solve).
    """

    comm: MPI.Comm
    numbering: PartNumbering | None
    matrix: PETSc.Mat
    load: PETSc.Vec
    solution: PETSc.Vec | None = None
    seconds: dict[str, float] = field(default_factory=dict)
    modes: PETSc.NullSpace | None = None
    kept_solver: _KeptSolver | None = None
    row_points: np.ndarray | None = None
    auto_method: str | None = None

    def destroy(self) -> None:
        """Frees the matrix, the vectors and a kept solver (collective)."""
        if self.kept_solver is not None:
            self.kept_solver.solver.destroy()
        for item in (self.solution, self.load, self.matrix, self.modes):
            if item is not None:
                item.destroy()
        self.solution = None
        self.modes = None
        self.kept_solver = None


@dataclass(frozen=True, eq=False)
class DistributedSolution:
    """What :func:`solve_part` reached, and this rank's share of the answer.

    Attributes
    ----------
    displacement : (k, 3) float64
        Displacement of every node of the rank's part (local node order: the part's vertices,
        then its edges), prescribed values included.
    report : system.SolveResult
        What the solve reached, as `quarvex_tools.solve_system` reports it: steps, residual,
        convergence, the method that ran and why.
    seconds : dict of str to float
        This rank's time in each phase it ran.
    """

    displacement: np.ndarray
    report: system.SolveResult
    seconds: dict = field(default_factory=dict)

    @property
    def iterations(self) -> int:
        """Conjugate-gradient steps made (``report.iterations``)."""
        return self.report.iterations

    @property
    def residual_norm(self) -> float:
        """||b - A x|| of the solution, recomputed (``report.residual_norm``)."""
        return self.report.residual_norm

    @property
    def rhs_norm(self) -> float:
        """||b|| (``report.rhs_norm``)."""
        return self.report.rhs_norm

    @property
    def converged(self) -> bool:
        """Whether PETSc reports convergence (``report.converged``)."""
        return self.report.converged

    @property
    def reason(self) -> str:
        """Why the method ran (``report.reason``)."""
        return self.report.reason


def _reason_name(PETSc: Any, code: int) -> str:
    for name, value in vars(PETSc.KSP.ConvergedReason).items():
        if not name.startswith("_") and value == code and name != "ITERATING":
            return name
    return str(code)


def rigid_body_modes(comm: MPI.Comm, numbering: PartNumbering) -> PETSc.NullSpace:
    """The six rigid-body modes (three translations, three rotations) as PETSc's near null space.

    Parameters
    ----------
    comm : mpi4py.MPI.Comm
    numbering : PartNumbering
        Gives the coordinates of the rank's owned nodes, in the order of its matrix rows.

    Returns
    -------
    petsc4py.PETSc.NullSpace
        Orthonormal modes over the free unknowns (collective).
    """
    PETSc = _petsc()
    first, last = numbering.owned_range
    owned = np.flatnonzero((numbering.global_node >= first) & (numbering.global_node < last))
    coordinates = np.empty((last - first, 3))
    coordinates[numbering.global_node[owned] - first] = numbering.node_points[owned]
    vector = PETSc.Vec().createMPI((3 * (last - first), PETSc.DECIDE), bsize=3, comm=PETSc.Comm(comm))
    vector.setArray(coordinates.ravel())
    return PETSc.NullSpace().createRigidBody(vector)


def solve_system(
    assembled: DistributedSystem,
    dofs: Dofs | None = None,
    *,
    method: str = "auto",
    rtol: float = 1e-8,
    atol: float = 0.0,
    maxiter: int | None = None,
    history: bool = False,
    constraints: system.Constraints | None = None,
    points: np.ndarray | None = None,
    options_prefix: str = "",
) -> system.SolveResult:
    """Solves a distributed system by PETSc's conjugate gradients, leaving the solution in it (collective).

    The distributed layer of `quarvex_tools.solve_system`, with its arguments and its result. It
    starts from zero and stops when the true residual meets ||b - A x|| <= max(rtol ||b||, atol).
    PETSc options given on the command line or in PETSC_OPTIONS (with `options_prefix`) override
    the choices made here, for example ``-pc_gamg_threshold 0.02`` or ``-ksp_monitor``. Every
    rank must pass the same `method`, `rtol`, `atol`, `maxiter` and `options_prefix`; they are
    compared before PETSc starts, and a difference or a refused value raises ValueError on
    every rank.

    Parameters
    ----------
    assembled : DistributedSystem
    dofs : None
        The system carries its numbering (``assembled.numbering.dofs``); any other value is refused.
    method : str, one of METHODS
        "auto": "multigrid" for a compact body on up to AUTO_MULTIGRID_RANKS ranks, else "gamg"
        (see AUTO_MULTIGRID_RANKS and AUTO_MULTIGRID_SHAPE); "gamg" (for "amg"
        too): smoothed aggregation with the rigid-body modes as near null space; "hypre":
        BoomerAMG with nodal coarsening over the 3 x 3 blocks; "jacobi"; "none" (for "cg" too):
        plain conjugate gradients; "multigrid": the package's
        multigrid on every rank's subdomain, 3 layers of overlap (`distributed_pc.solve_system`
        chooses the overlap and adds a coarse level of the ranks' rigid-body modes).
    rtol, atol : float
        Relative and absolute tolerance on the residual norm: finite, at least 0.
    maxiter : int, optional
        Step limit, 0 .. 2^31 - 1; None: PETSc's own (10000 unless ``-ksp_max_it`` says otherwise).
    history : bool
        Keep the residual norm of every iteration (PETSc's updated residual; the last entry is
        the recomputed one).
    constraints : None
        Supports of single components are not enforced in a distributed system; any other value
        is refused.
    points : (n, 3) float64, optional
        Not needed: "auto" has a single method to choose here.
    options_prefix : str

    Returns
    -------
    system.SolveResult
        `method` names the preconditioner that ran, `reason` why. A ``RuntimeWarning`` in the
        serial solves' words says so when PETSc stopped at its step limit.

    Raises
    ------
    system.SolverError
        On every rank, when the conjugate gradients broke down (a matrix or a preconditioner
        that is not positive definite, NaN or infinity), saying what to do.
    """
    if not isinstance(assembled, DistributedSystem):
        raise TypeError(
            f"solve_system takes a DistributedSystem (the rank's comm, numbering, matrix and load), "
            f"got {type(assembled).__name__}"
        )
    settings = _agree(
        assembled.comm,
        lambda: _solver_settings(method, rtol, atol, maxiter, options_prefix, dofs=dofs, constraints=constraints),
    )
    return _solve_agreed(assembled, settings, bool(history))


def _solver_settings(
    method: Any, rtol: Any, atol: Any, maxiter: Any, options_prefix: Any, dofs: Any = None, constraints: Any = None
) -> dict[str, Any]:
    """The solver's arguments, checked, as values that ranks compare (see :func:`_agree`)."""
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be one of {METHODS} for a distributed system, got {method!r}")
    tolerances = {}
    for name, value in (("rtol", rtol), ("atol", atol)):
        tolerances[name] = float(value)
        if not (math.isfinite(tolerances[name]) and tolerances[name] >= 0.0):
            raise ValueError(f"{name} must be a finite number >= 0, got {value!r}")
    steps = None if maxiter is None else operator.index(maxiter)
    if steps is not None and not 0 <= steps <= np.iinfo(np.int32).max:
        raise ValueError(f"maxiter must lie in 0 .. {np.iinfo(np.int32).max} or be None, got {maxiter!r}")
    if not isinstance(options_prefix, str):
        raise TypeError(f"options_prefix must be a str, got {type(options_prefix).__name__}")
    if dofs is not None:
        raise ValueError("a distributed system carries its numbering (numbering.dofs): pass dofs=None")
    if constraints is not None:
        raise ValueError("a distributed system enforces no supports of single components: pass constraints=None")
    return {"method": method, **tolerances, "maxiter": steps, "options_prefix": options_prefix}


def _preconditioner(method: str, assembled: DistributedSystem) -> str:
    """The preconditioner `method` runs on `assembled` (collective the first time for "auto")."""
    if method != "auto":
        return _PRECONDITIONERS[method]
    if assembled.auto_method is None:
        assembled.auto_method = _auto_preconditioner(assembled)
    return assembled.auto_method


def _auto_preconditioner(assembled: DistributedSystem) -> str:
    """The choice of "auto": "multigrid" for a compact body on up to AUTO_MULTIGRID_RANKS ranks where
    the rows' nodes are known, else "gamg" (collective). A replicated model with turned frames has rows that the
    subdomains' x, y, z rigid-body modes would not fit; GAMG takes the turned modes."""
    comm = assembled.comm
    if comm.Get_size() > AUTO_MULTIGRID_RANKS:
        return "gamg"
    numbering = assembled.numbering
    points = numbering.node_points if numbering is not None else assembled.row_points
    if comm.allreduce(int(points is None)):  # a sum: the ranks that do not know their rows' nodes
        return "gamg"
    assert points is not None
    extents = principal_extents(comm, points)
    return "multigrid" if extents[0] >= AUTO_MULTIGRID_SHAPE * extents[2] else "gamg"


def principal_extents(comm: MPI.Comm, points: np.ndarray) -> np.ndarray:
    """The extents of every rank's points together along their principal axes (collective).

    Parameters
    ----------
    comm : mpi4py.MPI.Comm
    points : (k, 3) float64
        This rank's points (k may be 0; points held by several ranks count once per rank).

    Returns
    -------
    (3,) float64
        Ascending: the square roots of the eigenvalues of the points' covariance (a box
        a x b x c gives (a, b, c) / sqrt(12) in some order); zeros without points.
    """
    points = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    count = comm.allreduce(len(points))
    if count == 0:
        return np.zeros(3)
    mean = comm.allreduce(points.sum(axis=0)) / count
    centred = points - mean
    covariance = comm.allreduce(centred.T @ centred) / count
    return np.sqrt(np.maximum(np.linalg.eigvalsh(covariance), 0.0))


def _method_reason(method: str, assembled: DistributedSystem) -> str:
    """Why a method runs (the result's `reason`)."""
    if method == "auto":
        if _preconditioner(method, assembled) == "multigrid":
            return (
                f"the distributed default for a compact body on up to {AUTO_MULTIGRID_RANKS} ranks: the "
                "package's multigrid on every rank's subdomain"
            )
        return "the distributed default: smoothed aggregation with the rigid-body modes"
    if _PRECONDITIONERS[method] != method:
        return f"asked for as {method!r}"
    return "asked for"


def _model_settings(cmat: Any, body_force: Any) -> dict[str, Any]:
    """The material and a constant body force, checked, as values that ranks compare.

    The matrix goes by its digest, so the allgather stays small; a body force given as
    expressions cannot be compared and is only named as such.
    """
    force = body_force
    if body_force is not None:
        force = "expressions" if _is_expression_force(body_force) else _constant_force(body_force)
    return {"the material matrix": hashlib.sha256(_material_matrix(cmat).tobytes()).digest(), "the body force": force}


@dataclass(frozen=True, eq=False)
class _KeptSolver:
    """A set-up solver kept between the solves of several loads, with its residual record and step limit."""

    solver: PETSc.KSP
    norms: list[float]
    limit: int


_RESTARTS = 3
"""Solves from the last solution that a distributed solve makes at most when PETSc's updated residual met
the tolerance and the recomputed one did not."""


def _true_residual(matrix: PETSc.Mat, solution: PETSc.Vec, load: PETSc.Vec, residual: PETSc.Vec) -> float:
    """||b - A x||, recomputed into `residual` (collective)."""
    matrix.mult(solution, residual)
    residual.aypx(-1.0, load)  # r = b - A x
    return float(residual.norm())


def _configured_solver(assembled: DistributedSystem, settings: dict[str, Any]) -> _KeptSolver:
    """PETSc's conjugate gradients for `assembled` with the preconditioner of `settings`, set up (collective)."""
    PETSc = _petsc()
    comm, matrix = assembled.comm, assembled.matrix
    options_prefix = settings["options_prefix"]
    preconditioner = _preconditioner(settings["method"], assembled)
    solver = PETSc.KSP().create(comm=PETSc.Comm(comm))
    try:
        solver.setOptionsPrefix(options_prefix)
        solver.setOperators(matrix)
        solver.setType(PETSc.KSP.Type.CG)
        solver.setNormType(PETSc.KSP.NormType.UNPRECONDITIONED)
        # maxiter None leaves PETSc's own limit.
        solver.setTolerances(rtol=settings["rtol"], atol=settings["atol"], max_it=settings["maxiter"])
        pc = solver.getPC()
        if preconditioner == "gamg":
            if assembled.modes is None:
                assert assembled.numbering is not None
                assembled.modes = rigid_body_modes(comm, assembled.numbering)
            matrix.setNearNullSpace(assembled.modes)
            pc.setType(PETSc.PC.Type.GAMG)
        elif preconditioner == "hypre":
            pc.setType(PETSc.PC.Type.HYPRE)
            pc.setHYPREType("boomeramg")
            options = PETSc.Options(options_prefix)
            for name, value in (
                ("pc_hypre_boomeramg_nodal_coarsen", 6),
                ("pc_hypre_boomeramg_vec_interp_variant", 3),
                ("pc_hypre_boomeramg_strong_threshold", 0.5),
            ):
                if not options.hasName(name):
                    options[name] = value
        elif preconditioner == "multigrid":
            from . import distributed_pc  # it builds on this module

            overlap = settings.get("overlap", distributed_pc.DEFAULT_OVERLAP)
            coarse = settings.get("coarse", distributed_pc.DEFAULT_COARSE)
            distributed_pc.use_block_multigrid(pc, assembled, overlap, coarse)
        else:
            pc.setType(preconditioner)  # "jacobi" or "none"
        norms: list[float] = []  # every step's residual norm, kept when history is asked for
        solver.setMonitor(lambda _solver, _step, norm: norms.append(float(norm)))
        solver.setFromOptions()
        solver.setUp()
    except BaseException:
        solver.destroy()
        raise
    return _KeptSolver(solver, norms, int(solver.getTolerances()[3]))


def _preconditioner_timing(solver: PETSc.KSP) -> Any:
    """The context of a preconditioner that times itself (`distributed_pc.SchwarzMultigrid`), or None."""
    pc = solver.getPC()
    if pc.getType() != "python":
        return None
    context = pc.getPythonContext()
    return context if hasattr(context, "reset_timing") else None


def _solve_agreed(
    assembled: DistributedSystem, settings: dict[str, Any], history: bool, keep_solver: bool = False
) -> system.SolveResult:
    """:func:`solve_system` once the ranks agree on its `settings` (from :func:`_solver_settings`).

    With `keep_solver` the solver and its preconditioner stay in `assembled` for the next solve
    of the same matrix with the same settings (a new load), which then skips the set-up.
    """
    PETSc = _petsc()
    matrix, load = assembled.matrix, assembled.load
    method = settings["method"]
    preconditioner = _preconditioner(method, assembled)
    start = time.perf_counter()
    prepared = assembled.kept_solver
    assembled.kept_solver = None
    if prepared is None:
        prepared = _configured_solver(assembled, settings)
    solver, norms, limit = prepared.solver, prepared.norms, prepared.limit
    residual = None
    try:
        norms.clear()
        solver.setTolerances(max_it=limit)
        solver.setInitialGuessNonzero(False)
        timing = _preconditioner_timing(solver)
        if timing is not None:
            timing.reset_timing()
        if assembled.solution is None:
            assembled.solution = matrix.createVecRight()
        else:
            assembled.solution.zeroEntries()  # every solve starts from zero
        assembled.seconds["setup"] = time.perf_counter() - start

        start = time.perf_counter()
        solver.solve(load, assembled.solution)
        assembled.seconds["solve"] = time.perf_counter() - start
        residual = load.duplicate()
        residual_norm, rhs_norm = _true_residual(matrix, assembled.solution, load, residual), float(load.norm())
        code = int(solver.getConvergedReason())
        iterations = int(solver.getIterationNumber())
        rtol, atol, _, _ = solver.getTolerances()  # as PETSc's options left them
        # PETSc stops on its updated residual, which can lie a little below the true one: go on
        # from the solution (PETSc's test stays relative to ||b||) until the true one meets it too.
        restarts = 0
        while code > 0 and residual_norm > max(rtol * rhs_norm, atol) and restarts < _RESTARTS and iterations < limit:
            restarts += 1
            solver.setTolerances(max_it=limit - iterations)
            solver.setInitialGuessNonzero(True)
            restart_entry = len(norms)  # the restart's start repeats the last residual
            start = time.perf_counter()
            solver.solve(load, assembled.solution)
            assembled.seconds["solve"] += time.perf_counter() - start
            del norms[restart_entry : restart_entry + 1]
            code = int(solver.getConvergedReason())
            iterations += int(solver.getIterationNumber())
            residual_norm = _true_residual(matrix, assembled.solution, load, residual)
        if timing is not None:
            assembled.seconds.update(timing.seconds)
    finally:
        if keep_solver:
            assembled.kept_solver = prepared
        else:
            solver.destroy()
        if residual is not None:
            residual.destroy()

    reason = _reason_name(PETSc, code)
    kept = None
    if history:
        kept = np.array(norms, dtype=np.float64)
        if len(kept):
            kept[-1] = residual_norm  # end on the recomputed residual, as the serial solves do
    # Where PETSc's residual met the tolerance and the true one still does not after the restarts,
    # the true residual stands at its rounding floor: not converged, said as the serial solves say it.
    stalled = code > 0 and residual_norm > max(rtol * rhs_norm, atol)
    result = system.SolveResult(
        iterations,
        residual_norm,
        rhs_norm,
        code > 0 and not stalled,
        kept,
        stalled=stalled,
        method=preconditioner,
        reason=_method_reason(method, assembled),
    )
    _log.info(
        "solved by %s (%s): %d steps, residual %.3e of the load (%s), in %.2f s",
        result.method,
        result.reason,
        iterations,
        result.relative_residual,
        reason,
        assembled.seconds["solve"],
    )
    # PETSc's reason is the same on every rank, so each raises or warns alike (a warning turned
    # into an error included).
    if code > 0:
        if stalled:
            system.warn_unconverged(result, rtol, atol, int(limit), _SOLVE_NAMES[preconditioner])
        return result
    if code == int(PETSc.KSP.ConvergedReason.DIVERGED_MAX_IT):
        system.warn_unconverged(result, rtol, atol, int(limit), _SOLVE_NAMES[preconditioner])
        return result
    explanation = _BREAKDOWNS.get(reason, "the solve failed")
    raise system.SolverError(
        f"{explanation} ({_SOLVE_NAMES[preconditioner]} stopped after {iterations} steps: {reason})"
    )


def displacement(assembled: DistributedSystem) -> np.ndarray:
    """The displacement of every node of the rank's part, from the last solve (collective).

    Parameters
    ----------
    assembled : DistributedSystem
        Solved by :func:`solve_system`.

    Returns
    -------
    (k, 3) float64
        In the part's node order (its vertices, then its edges), prescribed values included.
    """
    PETSc = _petsc()
    comm, numbering = assembled.comm, assembled.numbering
    with _together(comm):
        if assembled.solution is None:
            raise ValueError("the system has no solution yet: solve it first (solve_system)")
        if numbering is None:
            raise ValueError("a replicated system has no parts: gather its solution with gathered_solution")
        # Every rank takes the values of all its free nodes, owned or not, in its local order.
        wanted = (3 * numbering.local_to_global()[:, None] + np.arange(3)).ravel().astype(PETSc.IntType)
    local = PETSc.Vec().createSeq(len(wanted), comm=PETSc.COMM_SELF)
    indices = PETSc.IS().createGeneral(wanted, comm=PETSc.COMM_SELF)
    scatter = PETSc.Scatter().create(assembled.solution, indices, local, None)
    try:
        scatter.scatter(assembled.solution, local, PETSc.InsertMode.INSERT_VALUES, PETSc.ScatterMode.FORWARD)
        with _together(comm):
            values = numbering.dofs.values(local.getArray())
    finally:
        for item in (scatter, indices, local):
            item.destroy()
    return values


def _renamed_method(method: str, preconditioner: str | None) -> str:
    """The method of :func:`solve_part`, from `method` or from `preconditioner`, its former name."""
    if preconditioner is None:
        return method
    if method != "auto":
        raise ValueError("pass method= alone: preconditioner= is its former name")
    return preconditioner


def solve_part(
    comm: MPI.Comm,
    part: MeshPart,
    cmat: Material | npt.ArrayLike,
    fixed: FixedNodes | None = None,
    body_force: Sequence[float] | tuple[quarvex.Arena, Sequence[int]] | None = None,
    preconditioner: str | None = None,
    rtol: float = 1e-8,
    maxiter: int | None = None,
    *,
    method: str = "auto",
    atol: float = 0.0,
    history: bool = False,
) -> tuple[PartNumbering, DistributedSolution]:
    """Numbers, assembles and solves the model of which every rank passes its part (collective).

    Every rank must pass the same material (bit for bit), constant body force and solver
    settings: they are compared before any work starts, and a difference raises ValueError on
    every rank. A failure on one rank in any step (an element the core refuses, say) raises on
    every rank, the failing one its own error and the others one naming it.

    Parameters
    ----------
    comm : mpi4py.MPI.Comm
    part : MeshPart
    cmat, body_force : as :func:`assemble_part`
    fixed : as :func:`number_part`
    preconditioner : str, optional
        The former name of `method` (a DeprecationWarning says so); it goes in the next release.
    method, rtol, atol, maxiter, history : as :func:`solve_system`

    Returns
    -------
    (PartNumbering, DistributedSolution)
        The solution's `seconds` holds this rank's time of each phase: numbering, assembly,
        insertion, setup and solve.
    """
    if preconditioner is not None:
        warnings.warn(
            "solve_part(preconditioner=...) is now method=... (the same names); preconditioner= goes in the "
            "next release",
            DeprecationWarning,
            stacklevel=user_stacklevel(),
        )
    # One check of everything the ranks must pass alike, before any of them starts work.
    settings = _agree(
        comm,
        lambda: {
            **_solver_settings(_renamed_method(method, preconditioner), rtol, atol, maxiter, ""),
            **_model_settings(cmat, body_force),
        },
    )
    timings = {}
    start = time.perf_counter()
    numbering = number_part(comm, part, fixed)
    timings["numbering"] = time.perf_counter() - start
    start = time.perf_counter()
    with _together(comm):  # a core failure on one rank (a degenerate element, say) ends every rank's solve
        local = local_system(_assemble(numbering, cmat, body_force))  # the model is freed here
    timings["assembly"] = time.perf_counter() - start
    start = time.perf_counter()
    assembled = DistributedSystem(comm, numbering, *petsc_system(comm, numbering, local))
    del local
    timings["insertion"] = time.perf_counter() - start
    try:
        report = _solve_agreed(assembled, settings, bool(history))
        values = displacement(assembled)
    finally:
        assembled.destroy()
    return numbering, DistributedSolution(values, report, {**timings, **assembled.seconds})


def _data_array(name: str | None, array: np.ndarray, components: int) -> str:
    """A VTK DataArray element, its values base64-encoded behind their 64-bit byte count."""
    vtk_type = {
        np.dtype(np.float64): "Float64",
        np.dtype(np.int64): "Int64",
        np.dtype(np.int32): "Int32",
        np.dtype(np.uint8): "UInt8",
    }[array.dtype]
    raw = np.ascontiguousarray(array).tobytes()
    encoded = base64.b64encode(np.uint64(len(raw)).tobytes() + raw).decode("ascii")
    named = f' Name="{name}"' if name else ""
    return (
        f'<DataArray type="{vtk_type}"{named} NumberOfComponents="{components}" format="binary">{encoded}</DataArray>\n'
    )


def write_pvtu(comm: MPI.Comm, path: str, numbering: PartNumbering, displacement: np.ndarray) -> str:
    """Writes this rank's part as a VTU file and, on rank 0, a PVTU that ParaView opens as one (collective).

    The pieces are ``<stem>_<rank>.vtu`` beside ``<stem>.pvtu``: quadratic tetrahedra (in VTK's
    node order, each positively oriented), node array "displacement" and element array "rank".
    Nodes on part boundaries appear in every piece that touches them. When any rank fails (a
    piece that cannot be written, say), every rank raises and no PVTU is written.

    Parameters
    ----------
    comm : mpi4py.MPI.Comm
    path : str
        The PVTU file name, ending in ".pvtu".
    numbering : PartNumbering
    displacement : (k, 3) float
        Values of the rank's nodes: :func:`displacement` of a solved system, or
        ``DistributedSolution.displacement``.

    Returns
    -------
    str
        The name of this rank's VTU file.
    """
    rank, size = comm.Get_rank(), comm.Get_size()
    _agree(comm, lambda: {"the file name": _pvtu_path(path)})  # rank 0's PVTU lists every rank's piece
    stem = path[: -len(".pvtu")]
    piece = f"{stem}_{rank:04d}.vtu"
    with _together(comm):  # a rank that cannot write its piece fails every rank, and no PVTU is written
        displacement = np.ascontiguousarray(displacement, dtype=np.float64)
        if displacement.shape != (numbering.n_nodes, 3):
            raise ValueError(f"displacement must have shape ({numbering.n_nodes}, 3), got {displacement.shape}")
        _write_piece(piece, rank, numbering, displacement)
    with _together(comm):
        if rank == 0:
            _write_pvtu_index(path, [os.path.basename(f"{stem}_{r:04d}.vtu") for r in range(size)])
    return piece


def _pvtu_path(path: Any) -> str:
    """A PVTU file name, checked."""
    if not isinstance(path, str) or not path.endswith(".pvtu"):
        raise ValueError(f"the file name must end in '.pvtu', got {path!r}")
    return path


def _vtk_cells(numbering: PartNumbering) -> np.ndarray:
    """(m, 10) int64: every element's nodes in VTK's order, positively oriented.

    The core takes elements in either orientation, so a part may hold inverted ones (half of
    :func:`box_part`'s); VTK's quadratic tetrahedron wants (p1 - p0) x (p2 - p0) . (p3 - p0) > 0,
    so those are written with vertices 1 and 2 swapped.
    """
    cells = numbering.element_nodes.astype(np.int64)
    corners = numbering.node_points[cells[:, :4]]
    volume6 = np.einsum(
        "ij,ij->i",
        np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]),
        corners[:, 3] - corners[:, 0],
    )
    inverted = volume6 < 0.0
    cells[inverted] = cells[inverted][:, _SWAP_VERTICES_1_2]
    return cells


def _write_piece(piece: str, rank: int, numbering: PartNumbering, displacement: np.ndarray) -> None:
    """Writes one rank's VTU file: its nodes, its elements, node array "displacement", element array "rank"."""
    cells = len(numbering.element_nodes)
    with open(piece, "w", encoding="ascii") as out:
        out.write(
            '<?xml version="1.0"?>\n<VTKFile type="UnstructuredGrid" version="1.0" '
            'byte_order="LittleEndian" header_type="UInt64">\n<UnstructuredGrid>\n'
            f'<Piece NumberOfPoints="{numbering.n_nodes}" NumberOfCells="{cells}">\n'
        )
        out.write(
            '<PointData Vectors="displacement">\n' + _data_array("displacement", displacement, 3) + "</PointData>\n"
        )
        out.write("<CellData>\n" + _data_array("rank", np.full(cells, rank, dtype=np.int32), 1) + "</CellData>\n")
        out.write("<Points>\n" + _data_array(None, numbering.node_points.astype(np.float64), 3) + "</Points>\n")
        out.write(
            "<Cells>\n"
            + _data_array("connectivity", _vtk_cells(numbering).ravel(), 1)
            + _data_array("offsets", 10 * np.arange(1, cells + 1, dtype=np.int64), 1)
            + _data_array("types", np.full(cells, _VTK_QUADRATIC_TETRA, dtype=np.uint8), 1)
            + "</Cells>\n</Piece>\n</UnstructuredGrid>\n</VTKFile>\n"
        )


def _write_pvtu_index(path: str, names: list[str]) -> None:
    """Writes the PVTU file that lists the pieces `names` (relative to its folder)."""
    with open(path, "w", encoding="ascii") as out:
        out.write(
            '<?xml version="1.0"?>\n<VTKFile type="PUnstructuredGrid" version="1.0" '
            'byte_order="LittleEndian" header_type="UInt64">\n<PUnstructuredGrid GhostLevel="0">\n'
            '<PPointData Vectors="displacement">\n'
            '<PDataArray type="Float64" Name="displacement" NumberOfComponents="3"/>\n</PPointData>\n'
            '<PCellData>\n<PDataArray type="Int32" Name="rank" NumberOfComponents="1"/>\n</PCellData>\n'
            '<PPoints>\n<PDataArray type="Float64" NumberOfComponents="3"/>\n</PPoints>\n'
        )
        out.writelines(f'<Piece Source="{name}"/>\n' for name in names)
        out.write("</PUnstructuredGrid>\n</VTKFile>\n")
