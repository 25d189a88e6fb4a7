"""The quadratic tetrahedron and triangle on the numpy side: shape functions, quadrature, gradients.

Reference tetrahedron: vertices (0,0,0), (1,0,0), (0,1,0), (0,0,1); barycentrics
l0 = 1 - s - t - u, l1 = s, l2 = t, l3 = u. Shape functions in the core's order: vertex
functions l_i (2 l_i - 1), then 4 l_i l_j for edges (0,1), (1,2), (0,2), (0,3), (1,3), (2,3).
"""

from __future__ import annotations

import numpy as np

from . import _native

# The core's own tables, read from its kernels: the symmetric 14-point rule of degree 5
# (reference coordinates and weights summing to the reference volume 1/6), and the vertex
# pairs of the six edge nodes.
_points, _weights, _edges = _native.element_tables()
TET_POINTS = np.array(_points).reshape(14, 3)
TET_WEIGHTS = np.array(_weights)
EDGE_ORDER = np.array(_edges, dtype=np.int64).reshape(6, 2)

# Reference positions of the ten nodes.
TET_NODES = np.array([(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)], dtype=np.float64)
TET_NODES = np.concatenate([TET_NODES, 0.5 * (TET_NODES[EDGE_ORDER[:, 0]] + TET_NODES[EDGE_ORDER[:, 1]])])

# Degree-5 seven-point rule on the triangle (weights sum to 1; multiply by the area).
_R = np.sqrt(15.0)
_T1, _T2 = (6 - _R) / 21, (6 + _R) / 21
TRIANGLE_POINTS = np.array(
    [
        (1 / 3, 1 / 3, 1 / 3),
        (1 - 2 * _T1, _T1, _T1),
        (_T1, 1 - 2 * _T1, _T1),
        (_T1, _T1, 1 - 2 * _T1),
        (1 - 2 * _T2, _T2, _T2),
        (_T2, 1 - 2 * _T2, _T2),
        (_T2, _T2, 1 - 2 * _T2),
    ]
)  # barycentric coordinates
TRIANGLE_WEIGHTS = np.array([9 / 40] + [(155 - _R) / 1200] * 3 + [(155 + _R) / 1200] * 3)
# Edges of a triangle in the order of its edge nodes 3, 4, 5.
TRIANGLE_EDGES = np.array([(0, 1), (1, 2), (0, 2)])


def _barycentric(reference: np.ndarray) -> np.ndarray:
    reference = np.atleast_2d(reference)
    return np.column_stack([1.0 - reference.sum(axis=1), reference])


def tet_shape_values(reference: np.ndarray) -> np.ndarray:
    """(q, 10): the ten shape functions at reference points (q, 3)."""
    lam = _barycentric(reference)
    vertex = lam * (2 * lam - 1)
    edge = 4 * lam[:, EDGE_ORDER[:, 0]] * lam[:, EDGE_ORDER[:, 1]]
    return np.concatenate([vertex, edge], axis=1)


def tet_shape_gradients(reference: np.ndarray) -> np.ndarray:
    """(q, 10, 3): reference gradients of the ten shape functions at points (q, 3)."""
    lam = _barycentric(reference)
    dlam = np.array([(-1, -1, -1), (1, 0, 0), (0, 1, 0), (0, 0, 1)], dtype=np.float64)
    vertex = (4 * lam - 1)[:, :, None] * dlam[None, :, :]
    i, j = EDGE_ORDER[:, 0], EDGE_ORDER[:, 1]
    edge = 4 * (lam[:, i, None] * dlam[None, j, :] + lam[:, j, None] * dlam[None, i, :])
    return np.concatenate([vertex, edge], axis=1)


def triangle_shape_values(barycentric: np.ndarray) -> np.ndarray:
    """(q, 6): the quadratic triangle's shape functions (vertices, then edges (0,1), (1,2), (0,2))."""
    lam = np.atleast_2d(barycentric)
    vertex = lam * (2 * lam - 1)
    edge = 4 * lam[:, TRIANGLE_EDGES[:, 0]] * lam[:, TRIANGLE_EDGES[:, 1]]
    return np.concatenate([vertex, edge], axis=1)


def inverse_jacobians(points: np.ndarray, tetrahedra: np.ndarray) -> np.ndarray:
    """(m, 3, 3): the inverse Jacobians of the elements' maps x(s, t, u) = p0 + s e1 + t e2 + u e3."""
    p0 = points[tetrahedra[:, 0]]
    jacobian = np.stack([points[tetrahedra[:, k]] - p0 for k in (1, 2, 3)], axis=2)  # columns e1 e2 e3
    return np.linalg.inv(jacobian)


def displacement_gradients(
    points: np.ndarray, tetrahedra: np.ndarray, nodal: np.ndarray, reference: np.ndarray
) -> np.ndarray:
    """Displacement gradients of quadratic elements at reference points.

    Parameters
    ----------
    points : (n, 3) float
    tetrahedra : (m, 4) int
    nodal : (m, 10, 3) float
        Displacements of every element's ten nodes.
    reference : (q, 3) float

    Returns
    -------
    (m, q, 3, 3) float64 : du_d/dx_l at [e, q, d, l]
    """
    inverse = inverse_jacobians(points, tetrahedra)  # [e, r, l] = dxi_r/dx_l
    grads = tet_shape_gradients(reference)  # [q, a, r]
    physical = np.einsum("qar,erl->eqal", grads, inverse)
    return np.einsum("ead,eqal->eqdl", nodal, physical)


def element_node_positions(points: np.ndarray, tetrahedra: np.ndarray, edge_points: np.ndarray) -> np.ndarray:
    """(m, 10, 3): the ten node positions of 10-node elements, their vertices then their edge nodes.

    Parameters
    ----------
    points : (n, 3) float
    tetrahedra : (m, 4) int
    edge_points : (m, 6, 3) float
        The elements' edge node positions in local edge order (a curved mesh's `Mesh.edge_points`).
    """
    return np.concatenate([points[tetrahedra], edge_points], axis=1)


def mapped_points(nodes: np.ndarray, reference: np.ndarray) -> np.ndarray:
    """(m, q, 3): the isoparametric map x(xi) = sum over a of N_a(xi) x_a of elements with nodes (m, 10, 3)."""
    return np.matmul(tet_shape_values(reference), nodes)


def isoparametric_gradients(
    nodes: np.ndarray, nodal: np.ndarray, reference: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Displacement gradients of curved (isoparametric) quadratic elements at reference points.

    J[e, q, r, j] = dx_r/dxi_j = sum over a of x_ar dN_a/dxi_j, and
    du_d/dx_l = sum over j of (sum over a of u_ad dN_a/dxi_j) (J^-1)[j, l].

    Parameters
    ----------
    nodes : (m, 10, 3) float
        Node positions of the elements (see `element_node_positions`).
    nodal : (m, 10, 3) float
        Displacements of the elements' ten nodes.
    reference : (q, 3) float

    Returns
    -------
    gradients : (m, q, 3, 3) float64
        du_d/dx_l at [e, q, d, l].
    det_j : (m, q) float64
        The map's Jacobian determinant at every point.
    """
    grads = tet_shape_gradients(reference)  # [q, a, j]
    jacobian = np.einsum("ear,qaj->eqrj", nodes, grads)
    reference_gradients = np.einsum("ead,qaj->eqdj", nodal, grads)
    return np.matmul(reference_gradients, np.linalg.inv(jacobian)), np.linalg.det(jacobian)


def point_isoparametric_gradients(nodes: np.ndarray, nodal: np.ndarray, barycentric: np.ndarray) -> np.ndarray:
    """(k, 3, 3) displacement gradients du_d/dx_l of curved elements, each at its own point.

    The formula of `isoparametric_gradients`, with one element and one reference point per row.

    Parameters
    ----------
    nodes : (k, 10, 3) float
        Node positions of the element holding each point.
    nodal : (k, 10, 3) float
        That element's node displacements.
    barycentric : (k, 4) float
        The point's reference barycentrics l0 .. l3 in it.
    """
    grads = tet_shape_gradients(barycentric[:, 1:])  # [k, a, j]
    jacobian = np.einsum("kar,kaj->krj", nodes, grads)
    reference_gradients = np.einsum("kad,kaj->kdj", nodal, grads)
    return np.matmul(reference_gradients, np.linalg.inv(jacobian))


_TRIANGLE_BARY_DERIVATIVES = np.array([(-1.0, -1.0), (1.0, 0.0), (0.0, 1.0)])  # d(l0, l1, l2)/d(s, t)


TRIANGLE_NODES = np.array(
    [(1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0), (0.5, 0.5, 0.0), (0.0, 0.5, 0.5), (0.5, 0.0, 0.5)]
)
"""Barycentrics of the quadratic triangle's six nodes: vertices, then edges (0,1), (1,2), (0,2)."""


def quadratic_triangle_geometry(
    positions: np.ndarray, at: np.ndarray | None = None
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The quadratic triangles through six nodes each, at the 7 points of `TRIANGLE_POINTS`.

    Parameters
    ----------
    positions : (k, 6, 3) float
        Node positions: vertices, then edges (0,1), (1,2), (0,2).
    at : (q, 3) float, optional
        Barycentrics of other points to take (for example `TRIANGLE_NODES`); the returned arrays
        then have q points per triangle instead of 7.

    Returns
    -------
    points : (k, 7, 3) float
    normals : (k, 7, 3) float
        Unit normals x_s x x_t / |x_s x x_t| (s along vertex 0 -> 1, t along 0 -> 2).
    area_factor : (k, 7) float
        |x_s x x_t|, the area per unit of reference area (of the reference triangle's 1/2).
    """
    lam = TRIANGLE_POINTS if at is None else np.atleast_2d(np.asarray(at, dtype=np.float64))
    d_vertex = (4.0 * lam - 1.0)[:, :, None] * _TRIANGLE_BARY_DERIVATIVES[None]  # (q, 3, 2)
    i, j = TRIANGLE_EDGES[:, 0], TRIANGLE_EDGES[:, 1]
    d_edge = 4.0 * (
        lam[:, j, None] * _TRIANGLE_BARY_DERIVATIVES[None, i] + lam[:, i, None] * _TRIANGLE_BARY_DERIVATIVES[None, j]
    )
    gradients = np.concatenate([d_vertex, d_edge], axis=1)  # (q, 6, 2): dN_a / d(s, t)
    tangents = np.einsum("kac,qad->kqdc", positions, gradients)  # (k, q, 2, 3): x_s, x_t
    cross = np.cross(tangents[:, :, 0], tangents[:, :, 1])
    area_factor = np.linalg.norm(cross, axis=2)
    points = np.einsum("qa,kac->kqc", triangle_shape_values(lam), positions)
    return points, cross / area_factor[..., None], area_factor
