"""P2 nodes of a tetrahedral mesh and the numbering of their degrees of freedom.

The nodes of the quadratic mesh are its points (node v is point v) followed by its edges
(node n + e is edge e, edges sorted by their (low, high) point pair). Every element lists
its ten nodes in the core's local order: vertices 0..3, then edges (0,1), (1,2), (0,2),
(0,3), (1,3), (2,3). Each node owns three consecutive numbers (x, y, z); free nodes are
numbered in a banded order (reverse Cuthill-McKee on the mesh's vertices, each edge beside
its lower-ranked end) so that neighbours get nearby numbers. `p2_nodes` makes the nodes of
tetrahedra given as arrays (a rank's part of a distributed mesh as well as a whole `Mesh`) and
`ordered_numbering` puts them in an order; `p2_numbering` is the two for a mesh.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field

import numpy as np

from .mesh import Mesh
from .p2 import EDGE_ORDER  # local edges of a tetrahedron in the core's order

_INT32_MAX = np.iinfo(np.int32).max


def edge_keys(first: np.ndarray, second: np.ndarray, n_points: int) -> np.ndarray:
    """One key per point pair, the same for either order: min * n_points + max.

    Parameters
    ----------
    first, second : (k,) int
        Point indices below `n_points`.
    n_points : int

    Returns
    -------
    (k,) int64
    """
    first, second = np.asarray(first, dtype=np.int64), np.asarray(second, dtype=np.int64)
    return np.minimum(first, second) * np.int64(n_points) + np.maximum(first, second)


def node_keys(vertex_ids: np.ndarray, edges: np.ndarray, n_vertices: int) -> np.ndarray:
    """Keys of the P2 nodes of a piece of a mesh that every piece holding a node gives it alike.

    Vertex v of the mesh has key v, the edge of its vertices a and b the key n + edge_keys(a, b, n)
    for the mesh's n vertices, whatever the piece's own vertex and edge numbers.

    Parameters
    ----------
    vertex_ids : (k,) int
        The mesh's number of each vertex of the piece (``np.arange(n)`` for the whole mesh).
    edges : (e, 2) int
        The piece's edges as pairs of its own vertex indices (into `vertex_ids`).
    n_vertices : int
        Vertices of the whole mesh.

    Returns
    -------
    (k + e,) int64
        The vertices' keys, then the edges'.
    """
    ids = np.asarray(vertex_ids, dtype=np.int64)
    edges = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    total = np.int64(n_vertices)
    return np.concatenate([ids, total + edge_keys(ids[edges[:, 0]], ids[edges[:, 1]], n_vertices)])


def element_edges(tetrahedra: np.ndarray, n_points: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The distinct edges of tetrahedra and where each element meets them.

    Parameters
    ----------
    tetrahedra : (m, 4) int64
        Point indices, each below `n_points`.
    n_points : int

    Returns
    -------
    edges : (e, 2) int64
        (low, high) point pairs, sorted.
    edge_of : (m, 6) int64
        The edge of each element's local edge (in the core's edge order).
    ascending : (m, 6) bool
        Whether the element lists that edge low to high.
    """
    m = len(tetrahedra)
    keys = np.empty((m, 6), dtype=np.int64)  # edge (i, j) of an element -> min * n + max
    ascending = np.empty((m, 6), dtype=bool)
    for k, (a, b) in enumerate(EDGE_ORDER):
        first, second = tetrahedra[:, a], tetrahedra[:, b]
        keys[:, k] = edge_keys(first, second, n_points)
        ascending[:, k] = first < second

    # Distinct keys and each element edge's rank among them (np.unique's work, by one argsort).
    flat = keys.ravel()
    by_key = np.argsort(flat)
    sorted_keys = flat[by_key]
    starts = np.ones(len(flat), dtype=bool)
    np.not_equal(sorted_keys[1:], sorted_keys[:-1], out=starts[1:])
    unique_keys = sorted_keys[starts]
    edge_of_flat = np.empty(len(flat), dtype=np.int64)
    edge_of_flat[by_key] = np.cumsum(starts) - 1
    if n_points:
        edges = np.column_stack([unique_keys // n_points, unique_keys % n_points])
    else:
        edges = np.zeros((0, 2), dtype=np.int64)
    return edges, edge_of_flat.reshape(m, 6), ascending


@dataclass(frozen=True, eq=False)
class Numbering:
    """The P2 nodes of a mesh and their order for locality.

    Attributes
    ----------
    n_vertices : int
        Number of points; node v < n_vertices is point v.
    edges : (e, 2) int64
        Point pairs (low, high) of the edges, sorted; node n_vertices + k is edge k.
    element_nodes : (m, 10) int64
        The ten nodes of every element in the core's local order.
    node_points : (n_vertices + e, 3) float64
        Node coordinates: the points, then the edge midpoints.
    node_rank : (n_vertices + e,) int64
        Position of every node in the locality order.
    forward, backward : (e,) bool
        Whether some element lists edge k as (low, high), respectively (high, low).
    """

    n_vertices: int
    edges: np.ndarray
    element_nodes: np.ndarray
    node_points: np.ndarray
    node_rank: np.ndarray
    forward: np.ndarray
    backward: np.ndarray

    @property
    def n_nodes(self) -> int:
        """Number of P2 nodes (points and edges)."""
        return len(self.node_points)

    def edge_index(self, first: np.ndarray, second: np.ndarray) -> np.ndarray:
        """Edge numbers of the point pairs (first[k], second[k]) in either order; -1 for no edge.

        Parameters
        ----------
        first, second : (k,) int

        Returns
        -------
        (k,) int64
        """
        keys = edge_keys(self.edges[:, 0], self.edges[:, 1], self.n_vertices)  # edges are sorted (low, high)
        wanted = edge_keys(first, second, self.n_vertices)
        found = np.searchsorted(keys, wanted)
        found = np.minimum(found, max(len(keys) - 1, 0))
        hit = (keys[found] == wanted) if len(keys) else np.zeros(len(wanted), dtype=bool)
        return np.where(hit, found, -1)

    def directed_edge_keys(self) -> tuple[np.ndarray, np.ndarray]:
        """The ordered point pairs under which elements list their edges.

        Returns
        -------
        keys : (k, 2) int64
            Every pair (i, j) that some element lists as one of its edges, in its own vertex order.
        edge : (k,) int64
            The edge number of each key.
        """
        ahead = np.flatnonzero(self.forward)
        behind = np.flatnonzero(self.backward)
        keys = np.concatenate([self.edges[ahead], self.edges[behind][:, ::-1]])
        return keys, np.concatenate([ahead, behind])


def morton_rank(points: np.ndarray) -> np.ndarray:
    """Position of every point along a Z-order (Morton) curve through its bounding box.

    Parameters
    ----------
    points : (n, 3) float

    Returns
    -------
    (n,) int64, a permutation of 0..n-1
    """
    if len(points) == 0:
        return np.zeros(0, dtype=np.int64)
    low, high = points.min(axis=0), points.max(axis=0)
    cells = (points - low) / np.where(high > low, high - low, 1.0) * ((1 << 21) - 1)
    code = np.zeros(len(points), dtype=np.uint64)
    for axis in range(3):
        # Spread the 21 bits of the cell index to every third bit (bits 3k + axis).
        v = cells[:, axis].astype(np.uint64)
        v = (v | (v << np.uint64(32))) & np.uint64(0x1F00000000FFFF)
        v = (v | (v << np.uint64(16))) & np.uint64(0x1F0000FF0000FF)
        v = (v | (v << np.uint64(8))) & np.uint64(0x100F00F00F00F00F)
        v = (v | (v << np.uint64(4))) & np.uint64(0x10C30C30C30C30C3)
        v = (v | (v << np.uint64(2))) & np.uint64(0x1249249249249249)
        code |= v << np.uint64(axis)
    order = np.argsort(code, kind="stable")
    rank = np.empty(len(points), dtype=np.int64)
    rank[order] = np.arange(len(points))
    return rank


def _neighbour_lists(n: int, edges: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The vertex graph in compressed rows: the neighbours of v are adjacent[start[v]:start[v + 1]]."""
    ends = np.concatenate([edges[:, 0], edges[:, 1]])
    others = np.concatenate([edges[:, 1], edges[:, 0]])
    by_vertex = np.argsort(ends, kind="stable")
    start = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(ends, minlength=n), out=start[1:])
    return start, others[by_vertex]


def _breadth_first(
    start: np.ndarray, adjacent: np.ndarray, degree: np.ndarray, root: int, visited: np.ndarray
) -> list[np.ndarray]:
    """The Cuthill-McKee levels from `root`: every vertex of a level in the order of its first
    neighbour in the previous level, ties by increasing degree; marks them visited."""
    levels = [np.array([root], dtype=np.int64)]
    visited[root] = True
    while True:
        level = levels[-1]
        counts = start[level + 1] - start[level]
        parent = np.repeat(np.arange(len(level)), counts)
        first = np.repeat(start[level] - np.cumsum(counts) + counts, counts) + np.arange(counts.sum())
        candidates = adjacent[first]
        fresh = ~visited[candidates]
        candidates, parent = candidates[fresh], parent[fresh]
        if len(candidates) == 0:
            return levels
        order = np.lexsort((candidates, degree[candidates], parent))
        candidates = candidates[order]
        _, first_seen = np.unique(candidates, return_index=True)
        following = candidates[np.sort(first_seen)]
        visited[following] = True
        levels.append(following)


def bandwidth_rank(n: int, edges: np.ndarray, points: np.ndarray) -> np.ndarray:
    """Position of every vertex in the reverse Cuthill-McKee order of the vertex graph.

    Each connected part starts from a vertex of least degree at the far end of a
    breadth-first search (a pseudo-peripheral vertex, found from the part's lowest point along
    the longest side of the bounding box), so the levels are many and narrow.

    Parameters
    ----------
    n : int
        Number of vertices.
    edges : (e, 2) int
        The graph's edges.
    points : (n, 3) float
        Vertex coordinates, for the starting vertices.

    Returns
    -------
    (n,) int64, a permutation of 0..n-1
    """
    if n == 0:
        return np.zeros(0, dtype=np.int64)
    start, adjacent = _neighbour_lists(n, np.asarray(edges, dtype=np.int64))
    degree = np.diff(start)
    axis = int(np.argmax(np.ptp(points, axis=0)))
    by_position = np.argsort(points[:, axis], kind="stable")
    visited = np.zeros(n, dtype=bool)
    order = []
    cursor = 0
    while cursor < n:
        while visited[by_position[cursor]]:
            cursor += 1
            if cursor == n:
                break
        if cursor == n:
            break
        # One search from the lowest unvisited point finds the far end of its part (its marks
        # are then taken back); the part is ordered from a least-degree vertex of that last level.
        trial = _breadth_first(start, adjacent, degree, int(by_position[cursor]), visited)
        visited[np.concatenate(trial)] = False
        last = trial[-1]
        root = int(last[np.argmin(degree[last])])
        order.extend(_breadth_first(start, adjacent, degree, root, visited))
    cm = np.concatenate(order)
    rank = np.empty(n, dtype=np.int64)
    rank[cm[::-1]] = np.arange(n)
    return rank


def p2_nodes(points: np.ndarray, tetrahedra: np.ndarray, edge_points: np.ndarray | None = None) -> Numbering:
    """The P2 nodes of tetrahedra given as arrays, in the given order: the points, then the edges.

    The first step of `p2_numbering`, which orders the nodes of a checked `Mesh`; taken alone by
    pieces of a mesh that are no `Mesh` (a rank's part of a distributed mesh, whose elements keep
    their vertex order whatever their orientation).

    Parameters
    ----------
    points : (n, 3) float64
    tetrahedra : (m, 4) int64
        Indices into `points`.
    edge_points : (m, 6, 3) float64, optional
        The positions of every element's edge nodes in local edge order (a curved mesh's
        `Mesh.edge_points`); by default the edge nodes lie at the chord midpoints.

    Returns
    -------
    Numbering
        Its `node_rank` the identity (node v is point v, node n + k edge k); read-only arrays.
    """
    n = len(points)
    edges, edge_of, ascending = element_edges(tetrahedra, n)

    forward = np.zeros(len(edges), dtype=bool)
    backward = np.zeros(len(edges), dtype=bool)
    forward[edge_of[ascending]] = True
    backward[edge_of[~ascending]] = True

    element_nodes = np.concatenate([tetrahedra, n + edge_of], axis=1)
    node_points = np.concatenate([points, _edge_node_points(points, edges, edge_of, edge_points)])
    rank = np.arange(len(node_points), dtype=np.int64)
    for array in (edges, element_nodes, node_points, rank, forward, backward):
        array.setflags(write=False)
    return Numbering(n, edges, element_nodes, node_points, rank, forward, backward)


def _edge_node_points(
    points: np.ndarray, edges: np.ndarray, edge_of: np.ndarray, edge_points: np.ndarray | None
) -> np.ndarray:
    """(e, 3): the position of every edge's node, the chord midpoint unless `edge_points` (m, 6, 3) gives it."""
    positions = 0.5 * (points[edges[:, 0]] + points[edges[:, 1]])
    if edge_points is not None:
        positions[edge_of.ravel()] = np.asarray(edge_points, dtype=np.float64).reshape(-1, 3)
    return positions


def _is_permutation(rank: np.ndarray, n: int) -> bool:
    """Whether `rank` holds every number 0 .. n - 1 once."""
    if rank.shape != (n,):
        return False
    return n == 0 or bool(rank.min() >= 0 and rank.max() < n and (np.bincount(rank, minlength=n) == 1).all())


def ordered_numbering(numbering: Numbering, node_rank: np.ndarray) -> Numbering:
    """The same P2 nodes in another order.

    Parameters
    ----------
    numbering : Numbering
    node_rank : (n_nodes,) int
        Position of every node in the new order: a permutation of 0 .. n_nodes - 1.

    Returns
    -------
    Numbering
        Sharing the nodes' arrays with `numbering` (read-only), with its own `node_rank`.

    Raises
    ------
    TypeError
        When `node_rank` holds no integers.
    ValueError
        When `node_rank` is not a permutation of the nodes.
    """
    given = np.asarray(node_rank)
    if given.size and given.dtype.kind not in "iu":
        raise TypeError(f"node_rank must hold integers, got dtype {given.dtype}")
    rank = np.array(given, dtype=np.int64)  # a copy: the numbering's order cannot change under it
    if not _is_permutation(rank, numbering.n_nodes):
        raise ValueError(f"node_rank must be a permutation of the numbering's {numbering.n_nodes} nodes")
    rank.setflags(write=False)
    return dataclasses.replace(numbering, node_rank=rank)


def p2_numbering(mesh: Mesh, order: str = "bandwidth") -> Numbering:
    """Finds the edges of a mesh and orders its P2 nodes.

    Parameters
    ----------
    mesh : Mesh
    order : {"bandwidth", "morton", "given"}
        "bandwidth" (the default) orders the vertices by reverse Cuthill-McKee and each edge
        node after the earlier of its two ends: a narrow band, which the sparse products read
        fastest (neighbouring rows read nearby parts of the vector); "morton" orders the
        nodes along a space-filling curve; "given" keeps the points in mesh order followed by
        the edges.

    Returns
    -------
    Numbering
    """
    if order not in ("bandwidth", "morton", "given"):
        raise ValueError(f"order must be 'bandwidth', 'morton' or 'given', got {order!r}")
    nodes = p2_nodes(mesh.points, mesh.tetrahedra, mesh.edge_points)
    if order == "given":
        return nodes
    if order == "morton":
        return ordered_numbering(nodes, morton_rank(nodes.node_points))
    edges = nodes.edges
    vertex_rank = bandwidth_rank(nodes.n_vertices, edges, mesh.points)
    # Vertex v sorts as (r_v, r_v), edge (a, b) as (min, max) of its ends' ranks: an edge
    # follows its earlier end, among the edges of that end by its other end.
    low = np.concatenate([vertex_rank, np.minimum(vertex_rank[edges[:, 0]], vertex_rank[edges[:, 1]])])
    high = np.concatenate([vertex_rank, np.maximum(vertex_rank[edges[:, 0]], vertex_rank[edges[:, 1]])])
    by_key = np.lexsort((high, low))
    rank = np.empty(nodes.n_nodes, dtype=np.int64)
    rank[by_key] = np.arange(nodes.n_nodes)
    return ordered_numbering(nodes, rank)


def check_numbering(numbering: Numbering, mesh: Mesh) -> None:
    """Checks that a numbering was made for a mesh: its points, elements, edges and node order.

    Parameters
    ----------
    numbering : Numbering
    mesh : Mesh

    Raises
    ------
    TypeError
        When `numbering` is not a Numbering.
    ValueError
        Naming the first thing that does not match (point count, element count, an element's
        vertices or edges, node coordinates, or a node order that is not a permutation).
    """
    if not isinstance(numbering, Numbering):
        raise TypeError(f"numbering must be a Numbering (see p2_numbering), got {type(numbering).__name__}")
    n, tets = len(mesh.points), mesh.tetrahedra
    if numbering.n_vertices != n:
        raise ValueError(f"the numbering is of a mesh of {numbering.n_vertices} points; this mesh has {n}")
    if numbering.element_nodes.shape != (len(tets), 10):
        raise ValueError(f"the numbering lists {len(numbering.element_nodes)} elements; this mesh has {len(tets)}")
    edges = np.asarray(numbering.edges).reshape(-1, 2)
    n_nodes = n + len(edges)
    if numbering.node_points.shape != (n_nodes, 3) or np.shape(numbering.node_rank) != (n_nodes,):
        raise ValueError(f"the numbering's node arrays do not hold its {n} points and {len(edges)} edges")
    differ = np.flatnonzero((numbering.element_nodes[:, :4] != tets).any(axis=1))
    if len(differ):
        e = differ[0]
        raise ValueError(
            f"element {e} has points {tuple(tets[e].tolist())} in the mesh but "
            f"{tuple(numbering.element_nodes[e, :4].tolist())} in the numbering"
        )
    edge_nodes = numbering.element_nodes[:, 4:] - n
    outside = np.flatnonzero(((edge_nodes < 0) | (edge_nodes >= len(edges))).any(axis=1))
    if len(outside):
        raise ValueError(f"element {outside[0]} has edge nodes outside the numbering's {len(edges)} edges")
    first, second = tets[:, EDGE_ORDER[:, 0]], tets[:, EDGE_ORDER[:, 1]]
    pairs = edges[edge_nodes]  # (m, 6, 2)
    wrong = (pairs[..., 0] != np.minimum(first, second)) | (pairs[..., 1] != np.maximum(first, second))
    ascending = first < second
    flagged = np.where(ascending, np.asarray(numbering.forward)[edge_nodes], np.asarray(numbering.backward)[edge_nodes])
    wrong |= ~flagged
    if wrong.any():
        e, k = np.argwhere(wrong)[0]
        i, j = int(first[e, k]), int(second[e, k])
        raise ValueError(
            f"edge ({i}, {j}) of element {e} is not numbered as in this mesh: the numbering has node "
            f"{n + int(edge_nodes[e, k])} there, of points {tuple(pairs[e, k].tolist())}"
        )
    if mesh.edge_points is None:
        midpoints = 0.5 * (mesh.points[edges[:, 0]] + mesh.points[edges[:, 1]])
    else:  # the mesh's own edge nodes, each reached through the elements that list it
        midpoints = 0.5 * (mesh.points[edges[:, 0]] + mesh.points[edges[:, 1]])
        midpoints[edge_nodes.ravel()] = mesh.edge_points.reshape(-1, 3)
    scale = float(np.abs(mesh.points).max()) if n else 0.0
    apart = np.abs(numbering.node_points - np.concatenate([mesh.points, midpoints])).max(axis=1) > 1e-12 * scale
    if apart.any():
        node = int(np.argmax(apart))
        raise ValueError(
            f"node {node} of the numbering lies at {tuple(numbering.node_points[node].tolist())}, "
            "not where this mesh puts it"
        )
    if not _is_permutation(np.asarray(numbering.node_rank, dtype=np.int64), n_nodes):
        raise ValueError("the numbering's node order (node_rank) is not a permutation of its nodes")


@dataclass(frozen=True, eq=False)
class Dofs:
    """Degree-of-freedom numbers of every node, with the prescribed values.

    A node owns three numbers in x, y, z order: start, start + 1, start + 2 when it is free
    (start >= 0), start, start - 1, start - 2 when it is prescribed (start < 0; number -k takes
    the value bc[k]). A node with some components prescribed and others free is numbered free;
    its prescribed components are listed in `pinned` and are enforced by the solve
    (`system.constrain`). A node with a frame has its three numbers along the frame's axes
    (u' = R u, R's rows the axes), and its pinned numbers are components along them.

    Attributes
    ----------
    node_start : (n_nodes,) int64
    n_free : int
        Number of free numbers (0 .. n_free - 1).
    bc : (k,) float64
        Prescribed values; entry 0 is unused.
    pinned : (p,) int64
        Free numbers whose value is nevertheless prescribed, increasing.
    pinned_values : (p,) float64
    frame_nodes : (f,) int64
        Nodes whose numbers run along axes of their own.
    frames : (f, 3, 3) float64
        Their axes, one per row (orthonormal).
    """

    node_start: np.ndarray
    n_free: int
    bc: np.ndarray
    pinned: np.ndarray
    pinned_values: np.ndarray
    frame_nodes: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.int64))
    frames: np.ndarray = field(default_factory=lambda: np.zeros((0, 3, 3)))

    def numbers(self) -> np.ndarray:
        """(n_nodes, 3) int64: the signed number of every node component."""
        step = np.where(self.node_start >= 0, 1, -1)
        return self.node_start[:, None] + step[:, None] * np.arange(3)

    def values(self, solution: np.ndarray) -> np.ndarray:
        """Node values (n_nodes, 3) in x, y, z from a vector of free values (n_free,) and the prescribed ones."""
        numbers = self.numbers()
        free = numbers >= 0
        out = np.empty(numbers.shape, dtype=np.float64)
        out[free] = solution[numbers[free]]
        out[~free] = self.bc[-numbers[~free]]
        if len(self.frame_nodes):
            out[self.frame_nodes] = np.einsum("kji,kj->ki", self.frames, out[self.frame_nodes])  # u = R^T u'
        return out

    @property
    def frame_first(self) -> np.ndarray:
        """(f,) int64: the first number of every frame node."""
        return self.node_start[self.frame_nodes].astype(np.int64)


def number_dofs(
    numbering: Numbering,
    fixed: np.ndarray,
    fixed_values: np.ndarray,
    *,
    keep_rows: bool = False,
    frames: tuple[np.ndarray, np.ndarray] | None = None,
) -> Dofs:
    """Numbers the node components: free nodes in locality order, then the prescribed ones.

    Parameters
    ----------
    numbering : Numbering
    fixed : (n_nodes, 3) bool
        Prescribed components (along the node's frame where it has one).
    fixed_values : (n_nodes, 3) float
        Their values (other entries ignored).
    keep_rows : bool
        Number every node free and pin all its prescribed components, so that the system
        keeps their rows (the supports' reactions); otherwise wholly prescribed nodes get
        the core's negative numbers.
    frames : (nodes (f,) int, axes (f, 3, 3) float), optional
        Nodes whose components run along their own axes (needs keep_rows).

    Returns
    -------
    Dofs
    """
    fixed = np.asarray(fixed, dtype=bool)
    fixed_values = np.asarray(fixed_values, dtype=np.float64)
    if fixed.shape != (numbering.n_nodes, 3) or fixed_values.shape != (numbering.n_nodes, 3):
        raise ValueError(
            f"fixed and fixed_values must have shape ({numbering.n_nodes}, 3), "
            f"got {fixed.shape} and {fixed_values.shape}"
        )
    if frames is not None and not keep_rows:
        raise ValueError("nodes with frames of their own need keep_rows=True")
    by_rank = np.argsort(numbering.node_rank)
    whole: np.ndarray = np.zeros(numbering.n_nodes, dtype=bool) if keep_rows else np.all(fixed, axis=1)
    free_nodes = by_rank[~whole[by_rank]]
    fixed_nodes = by_rank[whole[by_rank]]
    n_free = 3 * len(free_nodes)
    if max(n_free, 3 * len(fixed_nodes) + 1) > _INT32_MAX:
        raise ValueError(f"{n_free} free unknowns do not fit the core's 32-bit numbers")
    start = np.empty(numbering.n_nodes, dtype=np.int64)
    start[free_nodes] = 3 * np.arange(len(free_nodes))
    start[fixed_nodes] = -1 - 3 * np.arange(len(fixed_nodes))
    bc = np.zeros(1 + 3 * len(fixed_nodes))
    bc[1:] = fixed_values[fixed_nodes].ravel()
    partly = fixed & ~whole[:, None]
    node, component = np.nonzero(partly)
    pinned = start[node] + component
    order = np.argsort(pinned)
    frame_nodes = np.zeros(0, dtype=np.int64)
    axes = np.zeros((0, 3, 3))
    if frames is not None:
        frame_nodes = np.asarray(frames[0], dtype=np.int64).reshape(-1)
        axes = np.asarray(frames[1], dtype=np.float64).reshape(len(frame_nodes), 3, 3)
    return Dofs(start, n_free, bc, pinned[order], fixed_values[node, component][order], frame_nodes, axes)


def core_arrays(numbering: Numbering, dofs: Dofs) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The numbering in the core's array form (the arguments of `set_dof_arrays` after the model).

    Returns
    -------
    vertex_ids : (n,) int32
    vertex_ranges : (n, 2) int32, (start, 3)
    edge_keys : (k, 2) int32, every ordered pair an element uses
    edge_ranges : (k, 2) int32
    """
    n = numbering.n_vertices
    vertex_ids = np.arange(n, dtype=np.int32)
    vertex_ranges = np.empty((n, 2), dtype=np.int32)
    vertex_ranges[:, 0] = dofs.node_start[:n]
    vertex_ranges[:, 1] = 3
    keys, edge = numbering.directed_edge_keys()
    edge_ranges = np.empty((len(keys), 2), dtype=np.int32)
    edge_ranges[:, 0] = dofs.node_start[n + edge]
    edge_ranges[:, 1] = 3
    return vertex_ids, vertex_ranges, keys.astype(np.int32), edge_ranges


def core_dicts(numbering: Numbering, dofs: Dofs) -> tuple[dict, dict]:
    """The numbering as the two dictionaries of `Nexus.set_dof` (slow; for small meshes and checks)."""
    vertex_ids, vertex_ranges, edge_keys, edge_ranges = core_arrays(numbering, dofs)
    ver_dof = {int(v): (int(s), 3) for v, (s, _) in zip(vertex_ids, vertex_ranges, strict=False)}
    edge_dof = {(int(i), int(j)): (int(s), 3) for (i, j), (s, _) in zip(edge_keys, edge_ranges, strict=False)}
    return ver_dof, edge_dof
