"""Tetrahedral meshes: the checked mesh record, a structured box mesher and its boundary faces.

A mesh is a point array (n, 3) and a tetrahedron array (m, 4) of point indices, each
tetrahedron positively oriented: (p1 - p0) x (p2 - p0) . (p3 - p0) > 0. Element groups are
arrays of tetrahedron indices, face groups (k, 3) arrays of point indices, both by name. A
mesh given by 10-node tetrahedra keeps the positions of their edge nodes (`edge_points`):
elements whose edge nodes lie off the chord midpoints are curved (isoparametric).
"""

from __future__ import annotations

import html
import numbers
from collections.abc import Mapping
from typing import Any

import numpy as np

# A positively oriented tetrahedron's faces with outward normals (right-hand rule), face f
# lying opposite vertex 3 - f for f = 0..3.
OUTWARD_FACES = np.array([(0, 2, 1), (0, 1, 3), (0, 3, 2), (1, 2, 3)])

_SHOWN = 5  # indices quoted in an error message

# Where the edge nodes of a tetrahedron go when vertices 1 and 2 are swapped: the local edges
# (0,1) (1,2) (0,2) (0,3) (1,3) (2,3) become (0,2) (2,1) (0,1) (0,3) (2,3) (1,3).
_SWAPPED_EDGES = np.array([2, 1, 0, 3, 5, 4])
# Local edges of a tetrahedron in the core's order (the order of the edge columns of a 10-node
# tetrahedron, as meshio and VTK give them).
_LOCAL_EDGES = np.array([(0, 1), (1, 2), (0, 2), (0, 3), (1, 3), (2, 3)])
# An edge node farther than this fraction of its element's longest edge from the chord
# midpoint makes the element curved; nearer ones are midpoints up to the rounding of a file.
_STRAIGHT_TOLERANCE = 1e-12


def _quote(indices: np.ndarray) -> str:
    shown = ", ".join(str(int(i)) for i in indices[:_SHOWN])
    return shown + (f" ... ({len(indices)} in all)" if len(indices) > _SHOWN else "")


def signed_volumes(points: np.ndarray, tetrahedra: np.ndarray) -> np.ndarray:
    """Six times the signed volume of every tetrahedron.

    Parameters
    ----------
    points : (n, 3) float
    tetrahedra : (m, 4) int

    Returns
    -------
    (m,) float : (p1 - p0) x (p2 - p0) . (p3 - p0)
    """
    p0 = points[tetrahedra[:, 0]]
    e1 = points[tetrahedra[:, 1]] - p0
    e2 = points[tetrahedra[:, 2]] - p0
    e3 = points[tetrahedra[:, 3]] - p0
    return np.einsum("ij,ij->i", np.cross(e1, e2), e3)


def first_copies(cells: np.ndarray) -> np.ndarray:
    """The first row holding the same points as each row, in any order.

    Parameters
    ----------
    cells : (m, k) int
        Point indices of cells (tetrahedra, triangles).

    Returns
    -------
    (m,) int64 : for row i, the smallest j with the same set of points; j == i for a row seen first.
    """
    keys = np.sort(np.asarray(cells, dtype=np.int64), axis=1)
    base = int(keys.max(initial=0)) + 1
    if keys.min(initial=0) >= 0 and base < 2**31:  # two indices fit in one int64 key: half the sorting passes
        keys = np.column_stack(
            [
                keys[:, a] * base + keys[:, a + 1] if a + 1 < keys.shape[1] else keys[:, a]
                for a in range(0, keys.shape[1], 2)
            ]
        )
    order = np.lexsort(keys.T[::-1])  # stable: equal keys keep increasing row order
    ordered = keys[order]
    starts = np.ones(len(keys), dtype=bool)
    starts[1:] = (ordered[1:] != ordered[:-1]).any(axis=1)
    first = np.empty(len(keys), dtype=np.int64)
    first[order] = order[starts][np.cumsum(starts) - 1]
    return first


def _group_sizes(groups: Mapping[str, np.ndarray], what: str) -> str:
    """ "name (k what), ..." for a summary row, or "none"."""
    return ", ".join(f"{name} ({len(members):,} {what})" for name, members in groups.items()) or "none"


def html_table(title: str, rows: list[tuple[str, str]]) -> str:
    """A small HTML table of (name, value) rows under a title, for Jupyter's rich display."""
    cells = "".join(
        f"<tr><th style='text-align:left'>{html.escape(name)}</th>"
        f"<td style='text-align:left'>{html.escape(value)}</td></tr>"
        for name, value in rows
    )
    return f"<table><caption style='text-align:left'><b>{html.escape(title)}</b></caption>{cells}</table>"


def _repeats(cells: np.ndarray) -> tuple[np.ndarray, int, int]:
    """Rows repeating an earlier one, and the first such pair (earlier, later); (-1, -1) when none."""
    first = first_copies(cells)
    repeated = np.flatnonzero(first != np.arange(len(first)))
    if not len(repeated):
        return repeated, -1, -1
    return repeated, int(first[repeated[0]]), int(repeated[0])


def _integer_indices(what: str, given: np.ndarray) -> np.ndarray:
    """Point or element indices as int64; floats (which would be truncated) and other kinds refused."""
    if given.size == 0:
        return given.astype(np.int64)
    if given.dtype.kind not in "iu":
        raise TypeError(f"{what} must hold integer indices (or, for elements, a bool mask), got dtype {given.dtype}")
    return given.astype(np.int64)


class Mesh:
    """A checked tetrahedral mesh with named element and face groups.

    Parameters
    ----------
    points : (n, 3) float
        Point coordinates.
    tetrahedra : (m, 4) or (m, 10) int
        Point indices of every tetrahedron: its four vertices, then (for 10-node tetrahedra) its
        edge nodes on the edges (0,1), (1,2), (0,2), (0,3), (1,3), (2,3), the order of meshio
        and VTK. Edge nodes are no points of the mesh: their positions go to `edge_points`.
        Inverted tetrahedra are reordered (vertices 1 and 2 swapped, their edge nodes
        following) to positive orientation; `reoriented` holds their indices.
    element_groups : mapping of str to (k,) int, optional
        Named sets of tetrahedron indices.
    face_groups : mapping of str to (k, 3) int, optional
        Named sets of triangles given by point indices (for loads and boundary conditions).
    drop_unused : bool
        Drop points that no tetrahedron uses (renumbering the rest) instead of refusing them.

    Raises
    ------
    ValueError
        On a wrong shape, an empty mesh (no points or no tetrahedra), non-finite coordinates, an
        index out of range, a tetrahedron repeated (the same four points in any order), a face
        repeated within a face group, a degenerate tetrahedron (zero volume, for example a
        repeated vertex; the message names them), or unused points when `drop_unused` is False.
        For 10-node tetrahedra also: an edge node that is a vertex or a face corner too, an edge
        with different nodes in two elements, a node on two edges, and a folded element (its
        curved map turns inside out: det J <= 0 at one of the 14 quadrature points).

    Attributes
    ----------
    points : (n, 3) float64, read-only
    tetrahedra : (m, 4) int64, read-only, positively oriented
    element_groups : dict of str to (k,) int64
    face_groups : dict of str to (k, 3) int64
    reoriented : (r,) int64, the tetrahedra that were given inverted
    edge_points : (m, 6, 3) float64 or None, read-only
        The positions of every element's edge nodes in local edge order, for a mesh given by
        10-node tetrahedra of which some are curved; None for a straight mesh (edge nodes at
        the chord midpoints).
    curved : (c,) int64, read-only
        The elements whose edge nodes lie off the chord midpoints (empty for a straight mesh).
    """

    def __init__(
        self,
        points: Any,
        tetrahedra: Any,
        element_groups: Mapping[str, Any] | None = None,
        face_groups: Mapping[str, Any] | None = None,
        *,
        drop_unused: bool = False,
    ) -> None:
        points = np.array(points, dtype=np.float64, order="C")
        tets = np.asarray(tetrahedra)
        if points.ndim != 2 or points.shape[1] != 3:
            raise ValueError(f"points must have shape (n, 3), got {points.shape}")
        if tets.size == 0:
            tets = tets.reshape(0, 4)
        if tets.ndim != 2 or tets.shape[1] not in (4, 10):
            raise ValueError(f"tetrahedra must have shape (m, 4) or (m, 10), got {tets.shape}")
        if len(points) == 0:
            raise ValueError("the mesh has no points")
        if len(tets) == 0:
            raise ValueError("the mesh has no tetrahedra")
        if tets.dtype.kind not in "iu":
            raise ValueError(f"tetrahedra must hold integers, got {tets.dtype}")
        tets = np.array(tets, dtype=np.int64, order="C")
        bad = np.flatnonzero(~np.isfinite(points).all(axis=1))
        if len(bad):
            raise ValueError(f"points {_quote(bad)} have non-finite coordinates")
        n = len(points)
        outside = np.flatnonzero(((tets < 0) | (tets >= n)).any(axis=1))
        if len(outside):
            first = outside[0]
            raise ValueError(
                f"tetrahedra {_quote(outside)} refer to points out of range (the mesh has {n} points); "
                f"tetrahedron {first} is {tuple(int(v) for v in tets[first])}"
            )
        edge_points = None
        edge_node_used = np.zeros(n, dtype=bool)
        if tets.shape[1] == 10:
            edge_points, edge_node_used = _split_edge_nodes(points, tets)
            tets = np.ascontiguousarray(tets[:, :4])
        # A repeated element would add its stiffness and weight twice.
        repeated, earlier, later = _repeats(tets)
        if len(repeated):
            raise ValueError(
                f"tetrahedra {_quote(repeated)} repeat earlier tetrahedra (the same four points); "
                f"tetrahedron {later} repeats tetrahedron {earlier}, {tuple(int(v) for v in tets[earlier])}"
            )

        groups = {str(k): self._element_group(k, v, len(tets)) for k, v in (element_groups or {}).items()}
        faces = {str(k): self._face_group(k, v, n) for k, v in (face_groups or {}).items()}

        used = np.zeros(n, dtype=bool)
        used[tets.ravel()] = True
        unused = np.flatnonzero(~used & ~edge_node_used)
        if not used.all():
            if len(unused) and not drop_unused:
                raise ValueError(
                    f"points {_quote(unused)} are used by no tetrahedron; pass drop_unused=True to drop them"
                )
            new_index = np.cumsum(used) - 1
            for name, tri in faces.items():
                stray = np.flatnonzero((~used[tri]).any(axis=1))
                if len(stray):
                    what = "edge nodes" if edge_node_used[tri[stray]].any() else "points of no tetrahedron"
                    raise ValueError(f"faces {_quote(stray)} of face group {name!r} use {what}")
                faces[name] = new_index[tri]
            points = points[used]
            tets = new_index[tets]

        volumes = signed_volumes(points, tets)
        p0 = points[tets[:, 0]]
        longest = np.max([np.linalg.norm(points[tets[:, k]] - p0, axis=1) for k in (1, 2, 3)], axis=0)
        degenerate = np.flatnonzero(~(np.abs(volumes) > 1e-12 * longest**3))
        if len(degenerate):
            first = degenerate[0]
            raise ValueError(
                f"tetrahedra {_quote(degenerate)} are degenerate (zero volume); "
                f"tetrahedron {first} is {tuple(int(v) for v in tets[first])}"
            )
        reoriented = np.flatnonzero(volumes < 0)
        tets[reoriented[:, None], [1, 2]] = tets[reoriented[:, None], [2, 1]]
        curved = np.zeros(0, dtype=np.int64)
        if edge_points is not None:
            edge_points[reoriented] = edge_points[reoriented][:, _SWAPPED_EDGES]
            curved = _curved_elements(points, tets, edge_points)
            if len(curved):
                _check_unfolded(points, tets, edge_points, curved)
            else:
                edge_points = None  # every edge straight: the mesh is the one its vertices give

        for array in (points, tets, reoriented, curved, *groups.values(), *faces.values()):
            array.setflags(write=False)
        if edge_points is not None:
            edge_points.setflags(write=False)
        self.points: np.ndarray = points
        self.tetrahedra: np.ndarray = tets
        self.element_groups: dict[str, np.ndarray] = groups
        self.face_groups: dict[str, np.ndarray] = faces
        self.reoriented: np.ndarray = reoriented
        self.edge_points: np.ndarray | None = edge_points
        self.curved: np.ndarray = curved

    @staticmethod
    def _element_group(name: str, value: Any, m: int) -> np.ndarray:
        given = np.asarray(value)
        if given.dtype == bool:
            if given.shape != (m,):
                raise ValueError(
                    f"element group {name!r}: a mask over the tetrahedra must have shape ({m},), got {given.shape}"
                )
            return np.flatnonzero(given)
        index = _integer_indices(f"element group {name!r}", given).ravel()
        if ((index < 0) | (index >= m)).any():
            raise ValueError(f"element group {name!r} holds tetrahedron indices out of range (the mesh has {m})")
        return index

    @staticmethod
    def _face_group(name: str, value: Any, n: int) -> np.ndarray:
        tri = _integer_indices(f"face group {name!r}", np.asarray(value))
        if tri.size == 0:
            tri = tri.reshape(0, 3)
        if tri.ndim != 2 or tri.shape[1] != 3:
            raise ValueError(f"face group {name!r} must have shape (k, 3), got {tri.shape}")
        if ((tri < 0) | (tri >= n)).any():
            raise ValueError(f"face group {name!r} refers to points out of range (the mesh has {n} points)")
        # A face listed twice would carry its surface load twice.
        repeated, earlier, later = _repeats(tri)
        if len(repeated):
            raise ValueError(
                f"face group {name!r} repeats faces {_quote(repeated)} (the same three points); "
                f"face {later} repeats face {earlier}, {tuple(int(v) for v in tri[earlier])}"
            )
        return tri

    def __repr__(self) -> str:
        return (
            f"Mesh({len(self.points)} points, {len(self.tetrahedra)} tetrahedra, "
            f"element groups {sorted(self.element_groups)}, face groups {sorted(self.face_groups)})"
        )

    def summary(self) -> list[tuple[str, str]]:
        """(name, value) rows describing the mesh: counts, bounding box and groups with their sizes."""
        low, high = self.bounds
        return [
            ("points", f"{len(self.points):,}"),
            ("tetrahedra", f"{len(self.tetrahedra):,}"),
            ("bounds", f"{tuple(float(f'{v:.6g}') for v in low)} to {tuple(float(f'{v:.6g}') for v in high)}"),
            ("element groups", _group_sizes(self.element_groups, "elements")),
            ("face groups", _group_sizes(self.face_groups, "faces")),
            *([("curved elements", f"{len(self.curved):,}")] if len(self.curved) else []),
        ]

    def _repr_html_(self) -> str:
        return html_table("Mesh", self.summary())

    @property
    def bounds(self) -> np.ndarray:
        """(2, 3) float: the lowest and highest coordinates."""
        return np.array([self.points.min(axis=0), self.points.max(axis=0)])

    def volume(self) -> float:
        """The total volume of the tetrahedra; that of curved ones by the 14-point rule of their map."""
        volumes = signed_volumes(self.points, self.tetrahedra) / 6.0
        if self.edge_points is not None:
            from .p2 import TET_WEIGHTS

            det_j = jacobian_determinants(self.points, self.tetrahedra[self.curved], self.edge_points[self.curved])
            volumes[self.curved] = det_j @ TET_WEIGHTS
        return float(volumes.sum())

    def boundary_faces(self) -> tuple[np.ndarray, np.ndarray]:
        """The faces that belong to one tetrahedron only, with outward orientation.

        Returns
        -------
        faces : (k, 3) int64
            Point indices, ordered so that (q1 - q0) x (q2 - q0) points out of the mesh.
        owners : (k,) int64
            The tetrahedron of each face.
        """
        all_faces = self.tetrahedra[:, OUTWARD_FACES].reshape(-1, 3)
        keys = np.sort(all_faces, axis=1)
        n = np.int64(max(len(self.points), 1))
        flat = (keys[:, 0] * n + keys[:, 1]) * n + keys[:, 2]
        order = np.argsort(flat, kind="stable")
        sorted_keys = flat[order]
        lonely = np.ones(len(flat), dtype=bool)
        same = sorted_keys[1:] == sorted_keys[:-1]
        lonely[1:] &= ~same
        lonely[:-1] &= ~same
        chosen = order[lonely]
        return all_faces[chosen], chosen // 4


def jacobian_determinants(points: np.ndarray, tetrahedra: np.ndarray, edge_points: np.ndarray) -> np.ndarray:
    """det J of the isoparametric map of 10-node tetrahedra at the 14 quadrature points.

    Parameters
    ----------
    points : (n, 3) float
    tetrahedra : (m, 4) int
        Vertex indices.
    edge_points : (m, 6, 3) float
        Edge node positions in local edge order.

    Returns
    -------
    (m, 14) float64
    """
    from .p2 import TET_POINTS, tet_shape_gradients

    grads = tet_shape_gradients(TET_POINTS)  # [q, a, j] = dphi_a/dxi_j
    nodes = np.concatenate([points[tetrahedra], edge_points], axis=1)  # (m, 10, 3)
    jacobian = np.einsum("ear,qaj->eqrj", nodes, grads)
    return np.linalg.det(jacobian)


def _split_edge_nodes(points: np.ndarray, tets10: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The edge node positions (m, 6, 3) of 10-node tetrahedra and the (n,) mask of the points that are edge nodes.

    Refuses an edge node that is also a vertex, an edge (pair of vertices) with different nodes
    in two elements, and a node that lies on two edges: each would make the elements disagree
    about their common geometry.
    """
    n = len(points)
    corners, edge_nodes = tets10[:, :4], tets10[:, 4:]
    is_vertex = np.zeros(n, dtype=bool)
    is_vertex[corners.ravel()] = True
    both = np.flatnonzero(is_vertex[edge_nodes].any(axis=1))
    if len(both):
        first = both[0]
        raise ValueError(
            f"tetrahedra {_quote(both)} have edge nodes that are vertices of the mesh; "
            f"tetrahedron {first} is {tuple(int(v) for v in tets10[first])}"
        )
    low = np.minimum(corners[:, _LOCAL_EDGES[:, 0]], corners[:, _LOCAL_EDGES[:, 1]]).ravel()
    high = np.maximum(corners[:, _LOCAL_EDGES[:, 0]], corners[:, _LOCAL_EDGES[:, 1]]).ravel()
    pairs = np.unique(np.column_stack([low, high, edge_nodes.ravel()]), axis=0)  # sorted by edge, then node
    clash = np.flatnonzero((pairs[1:, :2] == pairs[:-1, :2]).all(axis=1))
    if len(clash):
        (i, j, first_node), second_node = pairs[clash[0]], pairs[clash[0] + 1, 2]
        raise ValueError(f"edge ({i}, {j}) of the 10-node tetrahedra has two nodes, {first_node} and {second_node}")
    by_node = pairs[np.argsort(pairs[:, 2], kind="stable")]
    clash = np.flatnonzero(by_node[1:, 2] == by_node[:-1, 2])
    if len(clash):
        first, second = by_node[clash[0]], by_node[clash[0] + 1]
        raise ValueError(
            f"point {first[2]} is the node of two edges of the 10-node tetrahedra, "
            f"({first[0]}, {first[1]}) and ({second[0]}, {second[1]})"
        )
    used = np.zeros(n, dtype=bool)
    used[edge_nodes.ravel()] = True
    return points[edge_nodes], used


def _curved_elements(points: np.ndarray, tetrahedra: np.ndarray, edge_points: np.ndarray) -> np.ndarray:
    """(c,) int64: the elements with an edge node off its chord midpoint, beyond the rounding of a file."""
    ends = points[tetrahedra[:, _LOCAL_EDGES]]  # (m, 6, 2, 3)
    offset = np.linalg.norm(edge_points - 0.5 * (ends[:, :, 0] + ends[:, :, 1]), axis=2).max(axis=1)
    longest = np.linalg.norm(ends[:, :, 1] - ends[:, :, 0], axis=2).max(axis=1)
    return np.flatnonzero(offset > _STRAIGHT_TOLERANCE * longest).astype(np.int64)


def _check_unfolded(points: np.ndarray, tetrahedra: np.ndarray, edge_points: np.ndarray, curved: np.ndarray) -> None:
    """Refuses curved elements whose map folds: det J not positive at a quadrature point."""
    folded_parts = []
    for start in range(0, len(curved), _FOLD_CHECK_BLOCK):
        chosen = curved[start : start + _FOLD_CHECK_BLOCK]
        det_j = jacobian_determinants(points, tetrahedra[chosen], edge_points[chosen])
        folded_parts.append(chosen[~(det_j > 0).all(axis=1)])
    folded = np.concatenate(folded_parts)
    if len(folded):
        first = folded[0]
        raise ValueError(
            f"tetrahedra {_quote(folded)} are folded (their edge nodes turn the element inside out: "
            f"det J <= 0 at a quadrature point); tetrahedron {first} is {tuple(int(v) for v in tetrahedra[first])}"
        )


_FOLD_CHECK_BLOCK = 1 << 15  # elements per block of the fold check: its arrays stay near 50 MB


def _cell_count(name: str, value: Any) -> int:
    """A count of cells: an integer, or a real number with an integral value (2.0, np.float64(2.0))."""
    if isinstance(value, numbers.Integral):
        count = int(value)
    elif isinstance(value, numbers.Real):
        if not float(value).is_integer():
            raise ValueError(f"{name} must be a whole number of cells, got {value!r}")
        count = int(float(value))
    else:
        raise TypeError(f"{name} must be an integer number of cells, got {type(value).__name__}")
    if count < 1:
        raise ValueError(f"{name} must be positive, got {count}")
    return count


def _box_vector(name: str, value: Any, positive: bool) -> np.ndarray:
    try:
        vector = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be three numbers, got {value!r}") from None
    if vector.shape != (3,):
        raise ValueError(f"{name} must be three numbers, got shape {vector.shape}")
    if not np.isfinite(vector).all():
        raise ValueError(f"{name} must be finite, got {tuple(vector.tolist())}")
    if positive and not (vector > 0).all():
        raise ValueError(f"{name} must hold three positive lengths, got {tuple(vector.tolist())}")
    return vector


def box_mesh(
    nx: int,
    ny: int,
    nz: int,
    size: tuple[float, float, float] = (1.0, 1.0, 1.0),
    origin: tuple[float, float, float] = (0.0, 0.0, 0.0),
) -> Mesh:
    """A structured mesh of a box: every cell of an nx x ny x nz grid cut into six tetrahedra.

    All cells are cut the same way, along their main diagonal, so neighbours share whole faces.
    The six sides are face groups "xmin", "xmax", "ymin", "ymax", "zmin", "zmax".

    Parameters
    ----------
    nx, ny, nz : int
        Cells along x, y and z.
    size : (3,) float
        Edge lengths of the box.
    origin : (3,) float
        Its lowest corner.

    Returns
    -------
    Mesh

    Raises
    ------
    TypeError
        When a count is not a number, or size or origin not three numbers.
    ValueError
        When a count is not a positive whole number, a length of `size` is not positive or a
        coordinate is not finite.
    """
    counts = np.array([_cell_count(name, value) for name, value in (("nx", nx), ("ny", ny), ("nz", nz))])
    lengths = _box_vector("size", size, positive=True)
    corner = _box_vector("origin", origin, positive=False)
    shape = counts + 1
    axes = [corner[a] + lengths[a] * np.arange(shape[a]) / counts[a] for a in range(3)]
    gz, gy, gx = np.meshgrid(axes[2], axes[1], axes[0], indexing="ij")
    points = np.column_stack([gx.ravel(), gy.ravel(), gz.ravel()])

    # The six monotone paths from corner (0, 0, 0) to (1, 1, 1), one per order of the axes;
    # odd permutations are stored with vertices 1 and 2 swapped for positive orientation.
    strides = np.array([1, shape[0], shape[0] * shape[1]], dtype=np.int64)
    path_list = []
    for order, odd in (((0, 1, 2), 0), ((1, 2, 0), 0), ((2, 0, 1), 0), ((0, 2, 1), 1), ((2, 1, 0), 1), ((1, 0, 2), 1)):
        offsets = np.cumsum([0] + [strides[a] for a in order])
        if odd:
            offsets[[1, 2]] = offsets[[2, 1]]
        path_list.append(offsets)
    paths = np.array(path_list)  # (6, 4) offsets from a cell's lowest corner
    ci, cj, ck = np.meshgrid(*(np.arange(c) for c in counts), indexing="ij")
    corners = (ci + shape[0] * (cj + shape[1] * ck)).transpose(2, 1, 0).ravel()
    tets = (corners[:, None, None] + paths[None, :, :]).reshape(-1, 4)

    # A side's faces: faces of the tetrahedra in the boundary layer of cells whose three
    # points all lie on the side.
    grid_index = np.stack(np.unravel_index(np.arange(len(points)), tuple(shape[::-1]))[::-1], axis=1)
    faces = {}
    for axis, letter in enumerate("xyz"):
        for name, level in ((f"{letter}min", 0), (f"{letter}max", counts[axis])):
            cell_level = min(level, counts[axis] - 1)
            layer = np.flatnonzero(grid_index[corners, axis] == cell_level)
            candidates = tets.reshape(-1, 6, 4)[layer].reshape(-1, 4)[:, OUTWARD_FACES].reshape(-1, 3)
            on_side = (grid_index[candidates, axis] == level).all(axis=1)
            faces[name] = candidates[on_side]
    return Mesh(points, tets, face_groups=faces)
