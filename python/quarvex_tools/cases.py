"""Load cases: the loads of one case, and the load vector of another case on a system already assembled.

A model's supports, material and mesh are shared by all its cases; each case holds its own surface
and point loads (as consistent nodal forces) and its own body forces. The core assembles the matrix
with the first case's loads; every further case reuses that matrix and its preconditioner, its load
vector being the first case's plus the difference of the two cases' loads, carried through what the
supports did to the system (frames turned, constrained rows eliminated): that map is linear in the
load, and the lift of prescribed values into the loads is the same for every case.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field

import numpy as np

from . import system
from .expressions import Expr
from .mesh import Mesh, jacobian_determinants
from .numbering import Dofs, Numbering
from .p2 import TET_POINTS, TET_WEIGHTS, element_node_positions, mapped_points, tet_shape_values

DEFAULT_CASE = "default"
"""The case of the loads given outside any ``with model.load_case(...)`` block."""

BodyForce = tuple[np.ndarray | None, tuple[Expr, Expr, Expr]]  # (element indices or None for all, (fx, fy, fz))

_CHUNK = 1 << 15  # elements per block of the body-load integration (14 points each)


@dataclass
class LoadCase:
    """The loads of one case.

    Attributes
    ----------
    name : str
    nodal_loads : (n_nodes, 3) float64
        Consistent nodal forces of the case's surface and point loads.
    point_loads : (n_nodes, 3) float64 or None
        The point loads alone (made by the first), to tell a load that goes into a support.
    body_forces : list of (elements, (fx, fy, fz))
        Forces per unit volume, on the element indices given (None: every element).
    """

    name: str
    nodal_loads: np.ndarray
    point_loads: np.ndarray | None = None
    body_forces: list[BodyForce] = field(default_factory=list)

    def is_empty(self) -> bool:
        """Whether the case holds no load at all."""
        return not self.body_forces and not self.nodal_loads.any()


def new_case(name: str, n_nodes: int) -> LoadCase:
    """An empty case for a model of `n_nodes` P2 nodes."""
    return LoadCase(name, np.zeros((n_nodes, 3)))


def check_case_name(name: object) -> str:
    """The name of a case: a non-empty str (TypeError or ValueError otherwise)."""
    if not isinstance(name, str):
        raise TypeError(f"a load case is named by a str, got {type(name).__name__}")
    if not name:
        raise ValueError("a load case needs a non-empty name")
    return name


def body_loads(mesh: Mesh, numbering: Numbering, body_forces: list[BodyForce]) -> np.ndarray:
    """(n_nodes, 3) consistent nodal forces of body forces, integrated as the core integrates them.

    F_a = sum over elements e and quadrature points q of w_q |det J_e(q)| N_a(q) f(x_q), with the core's
    14-point rule and the quadratic shape functions in the core's node order; det J and x_q are those
    of the isoparametric map on curved elements (as the native curved kernel takes them), of the
    affine map elsewhere.
    """
    forces = np.zeros((numbering.n_nodes, 3))
    shapes = tet_shape_values(TET_POINTS)  # (q, 10)
    weighted_shapes = (TET_WEIGHTS[:, None] * shapes).T  # (10, q): w_q N_a(q)
    barycentric = np.column_stack([1.0 - TET_POINTS.sum(axis=1), TET_POINTS])  # (q, 4)
    is_curved = np.zeros(len(mesh.tetrahedra), dtype=bool)
    is_curved[mesh.curved] = True
    for elements, components in body_forces:
        chosen = np.arange(len(mesh.tetrahedra)) if elements is None else np.asarray(elements, dtype=np.int64)
        for start in range(0, len(chosen), _CHUNK):
            block = chosen[start : start + _CHUNK]
            corners = mesh.points[mesh.tetrahedra[block]]  # (k, 4, 3)
            det_j = np.abs(np.linalg.det(corners[:, 1:] - corners[:, :1]))
            points = np.matmul(barycentric, corners)  # (k, q, 3)
            bent = np.flatnonzero(is_curved[block])
            if len(bent):
                assert mesh.edge_points is not None
                nodes = element_node_positions(mesh.points, mesh.tetrahedra[block[bent]], mesh.edge_points[block[bent]])
                points[bent] = mapped_points(nodes, TET_POINTS)
                curved_det_j = np.abs(jacobian_determinants(mesh.points, mesh.tetrahedra[block[bent]], nodes[:, 4:]))
            points = points.reshape(-1, 3)  # (k * q, 3)
            values = np.column_stack([np.broadcast_to(c(points), (len(points),)) for c in components])
            values = values.reshape(len(block), len(TET_WEIGHTS), 3)
            element_forces = np.matmul(weighted_shapes, values) * det_j[:, None, None]  # (k, 10, 3)
            if len(bent):
                element_forces[bent] = np.matmul(weighted_shapes, values[bent] * curved_det_j[:, :, None])
            nodes = numbering.element_nodes[block].ravel()
            for c in range(3):
                forces[:, c] += np.bincount(nodes, element_forces[:, :, c].ravel(), numbering.n_nodes)
    return forces


def case_system(
    base_rhs: np.ndarray, base: system.Constraints, dofs: Dofs, load_difference: np.ndarray
) -> tuple[np.ndarray, system.Constraints]:
    """The constrained load vector and constraints of a case whose loads differ from the assembled case's.

    Parameters
    ----------
    base_rhs : (n,) float64
        The load vector of the assembled case, after `system.constrain`.
    base : system.Constraints
        What `system.constrain` did for the assembled case.
    dofs : Dofs
        The numbering of the unknowns.
    load_difference : (n_nodes, 3) float64
        This case's nodal forces minus the assembled case's, in x, y, z.

    Returns
    -------
    rhs : (n,) float64
    constraints : system.Constraints
        `base` with the loads of the constrained rows before elimination (for the reactions).
    """
    difference = np.bincount(dofs.numbers().ravel(), load_difference.ravel(), len(base_rhs))
    if len(base.frame_first):
        blocks = base.frame_first[:, None] + np.arange(3)
        difference[blocks] = np.einsum("kij,kj->ki", base.frames, difference[blocks])  # b' = R b
    constrained = difference[base.unknowns]
    difference[base.unknowns] = 0.0  # an eliminated row's load is its diagonal times its value
    return base_rhs + difference, dataclasses.replace(base, loads=base.loads + constrained)
