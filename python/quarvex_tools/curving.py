"""Curving a mesh onto the surface it stands for: the edge nodes of boundary faces moved onto it.

A straight-sided mesh of a curved body (a ball, a hole) cuts the body's surface with flat
triangles. Moving the edge nodes of those faces onto the surface makes the elements along it
curved (isoparametric), so that their faces follow the surface to third order in the element
size instead of second.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np

from .mesh import Mesh, jacobian_determinants
from .numbering import p2_nodes

FaceChoice = str | Callable[[np.ndarray], np.ndarray] | np.ndarray | None

# The three edges of a triangle, as pairs of its corners.
_TRIANGLE_EDGES = np.array([(0, 1), (1, 2), (0, 2)])


def _chosen_faces(mesh: Mesh, faces: FaceChoice) -> np.ndarray:
    """(k, 3) int64 triangles: every boundary face, a face group, those a predicate holds or those given."""
    if faces is None:
        return mesh.boundary_faces()[0]
    if isinstance(faces, str):
        if faces not in mesh.face_groups:
            raise KeyError(f"the mesh has no face group {faces!r}; it has {sorted(mesh.face_groups)}")
        return mesh.face_groups[faces]
    if callable(faces):
        held = np.asarray(faces(mesh.points))
        if held.shape != (len(mesh.points),) or held.dtype != bool:
            raise ValueError(
                f"a face predicate must return ({len(mesh.points)},) bools for the points, "
                f"got {held.dtype} {held.shape}"
            )
        boundary = mesh.boundary_faces()[0]
        return boundary[held[boundary].all(axis=1)]
    triangles = np.asarray(faces)
    if triangles.ndim != 2 or triangles.shape[1] != 3 or triangles.dtype.kind not in "iu":
        raise TypeError("faces are a face group name, a predicate on coordinates or (k, 3) point indices")
    if len(triangles) and (triangles.min() < 0 or triangles.max() >= len(mesh.points)):
        raise ValueError(f"point indices must lie in 0..{len(mesh.points) - 1}")
    return triangles.astype(np.int64)


def curve_boundary(
    mesh: Mesh,
    project: Callable[[np.ndarray], np.ndarray],
    faces: FaceChoice = None,
) -> Mesh:
    """The mesh with the edge nodes of boundary faces moved onto a surface: a mesh of curved elements.

    Every edge of the chosen faces gets its node at project(midpoint of the edge's chord); the
    other edge nodes keep their places (the chord midpoints, or where a curved mesh has them).
    The vertices should already lie on the surface, as a mesher puts them.

    Parameters
    ----------
    mesh : Mesh
    project : callable
        Points (k, 3) to their places on the surface (k, 3), vectorised: for a sphere of radius r
        about the origin, ``lambda p: r * p / np.linalg.norm(p, axis=1, keepdims=True)``.
    faces : str, callable or (k, 3) int, optional
        The faces to curve: a face group, a predicate on coordinates (the boundary faces whose
        three vertices it holds), or triangles as point indices; every boundary face by default.

    Returns
    -------
    Mesh
        With 10-node tetrahedra (`edge_points`, `curved`), the same points, element and face groups.

    Raises
    ------
    KeyError
        For a face group the mesh does not have.
    ValueError
        For a projection that does not return finite points of the shape given, and when the moved
        nodes fold an element (its map's Jacobian determinant not positive at a quadrature point),
        naming the elements: a finer mesh along the surface keeps them unfolded.
    """
    triangles = _chosen_faces(mesh, faces)
    n = len(mesh.points)
    nodes = p2_nodes(mesh.points, mesh.tetrahedra, mesh.edge_points)  # node n + k is edge k
    node_points = nodes.node_points.copy()
    if len(triangles):
        pairs = np.sort(triangles[:, _TRIANGLE_EDGES].reshape(-1, 2), axis=1)
        keys = np.unique(pairs[:, 0] * np.int64(n) + pairs[:, 1])
        edge_keys = nodes.edges[:, 0] * np.int64(n) + nodes.edges[:, 1]  # sorted, as the numbering keeps them
        found = np.minimum(np.searchsorted(edge_keys, keys), len(edge_keys) - 1)
        if not (edge_keys[found] == keys).all():
            stray = keys[edge_keys[found] != keys][0]
            raise ValueError(f"the side ({stray // n}, {stray % n}) of a chosen face is no edge of the mesh")
        ends = nodes.edges[found]
        midpoints = 0.5 * (mesh.points[ends[:, 0]] + mesh.points[ends[:, 1]])
        moved = np.asarray(project(midpoints.copy()), dtype=np.float64)
        if moved.shape != midpoints.shape or not np.isfinite(moved).all():
            raise ValueError(
                f"project must return finite points of shape {midpoints.shape} for the edge midpoints, got "
                f"shape {moved.shape}" + ("" if moved.shape != midpoints.shape else " with values that are not finite")
            )
        node_points[n + found] = moved
        touched = np.zeros(len(node_points), dtype=bool)
        touched[n + found] = True
        affected = np.flatnonzero(touched[nodes.element_nodes[:, 4:]].any(axis=1))
        det_j = jacobian_determinants(
            mesh.points, mesh.tetrahedra[affected], node_points[nodes.element_nodes[affected, 4:]]
        )
        folded = affected[~(det_j > 0).all(axis=1)]
        if len(folded):
            shown = ", ".join(str(e) for e in folded[:10]) + (", ..." if len(folded) > 10 else "")
            raise ValueError(
                f"curving the boundary folds {len(folded)} tetrahedra ({shown}): their moved edge nodes turn them "
                "inside out (det J <= 0 at a quadrature point); the surface lies too far from their faces for their "
                "size, which a finer mesh along it reduces"
            )
    return Mesh(node_points, nodes.element_nodes, mesh.element_groups, mesh.face_groups)
