"""Queries on a solved displacement field: element location, values at points, stress measures, face
resultants, strain energy, the energy-norm error and the stresses averaged to the nodes.

Everything works on arrays of elements at once, in blocks of `_CHUNK` elements whose temporaries
stay small whatever the mesh. Gradients at reference points come from a product of the elements'
node values with a table of shape gradients, then the inverse Jacobians:
du_d/dx_l = sum over a, r of u_ad dN_a/dxi_r dxi_r/dx_l.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from .expressions import Expr, ExprLike, _as_expr, _binary, constant, cos, exp, sin, vector_field
from .mesh import OUTWARD_FACES, Mesh
from .p2 import (
    EDGE_ORDER,
    TET_NODES,
    TET_POINTS,
    TET_WEIGHTS,
    TRIANGLE_EDGES,
    TRIANGLE_POINTS,
    TRIANGLE_WEIGHTS,
    element_node_positions,
    isoparametric_gradients,
    mapped_points,
    point_isoparametric_gradients,
    quadratic_triangle_geometry,
    tet_shape_gradients,
    tet_shape_values,
)

# Elements per block of the element loops: a block's temporaries (up to 24 MB) stay below the size
# from which the allocator maps fresh pages for every array, whose first touch would cost more than the work.
_CHUNK = 1 << 15
_POINTS_PER_BLOCK = 1 << 12  # points located at once: each meets the few dozen elements of its cell

if TYPE_CHECKING:
    from .model import Elasticity

ExactGradient = Sequence[ExprLike] | Callable[[np.ndarray], np.ndarray]


# Records of the queries ------------------------------------------------------------------------------
@dataclass(frozen=True)
class Probe:
    """Values of a field at points.

    Attributes
    ----------
    values : (k, ...) float64
        The field at each point; NaN at points outside the mesh.
    inside : (k,) bool
        Whether the point lies in the mesh (within the tolerance asked for).
    element : (k,) int64
        The element holding each point, -1 outside.
    """

    values: np.ndarray
    inside: np.ndarray
    element: np.ndarray


@dataclass(frozen=True)
class LineSamples:
    """A field sampled along a straight line, ready to plot (`plt.plot(s.distance, s.values)`).

    Attributes
    ----------
    distance : (n,) float64
        Distance of every sample from the start of the line.
    points : (n, 3) float64
    values : (n, ...) float64
        NaN where the line runs outside the mesh (a hole, a notch), which a plot leaves as a gap.
    inside : (n,) bool
    """

    distance: np.ndarray
    points: np.ndarray
    values: np.ndarray
    inside: np.ndarray


@dataclass(frozen=True)
class FaceResultant:
    """The stress vector sigma . n integrated over faces.

    Attributes
    ----------
    force : (3,) float64
        Integral of sigma . n: the force that the outside (loads, supports, or across an inner
        face the material on the side the normal points to) exerts through the faces.
    moment : (3,) float64
        Integral of (x - about) x (sigma . n).
    area : float
        The faces' total area.
    mean_stress : (3, 3) float64
        The area-mean of the stress tensor.
    """

    force: np.ndarray
    moment: np.ndarray
    area: float
    mean_stress: np.ndarray


@dataclass(frozen=True, eq=False)
class CurvedElements:
    """The curved elements of a mesh, for the element loops that take them through their isoparametric map.

    Attributes
    ----------
    mask : (m,) bool
        Whether each element is curved.
    edge_points : (m, 6, 3) float64
        Every element's edge node positions in local edge order (`Mesh.edge_points`).
    """

    mask: np.ndarray
    edge_points: np.ndarray


def curved_elements(mesh: Mesh) -> CurvedElements | None:
    """The curved elements of a mesh; None for a mesh without any (every loop then keeps its affine arithmetic)."""
    if mesh.edge_points is None or not len(mesh.curved):
        return None
    mask = np.zeros(len(mesh.tetrahedra), dtype=bool)
    mask[mesh.curved] = True
    return CurvedElements(mask, mesh.edge_points)


def _bent(curved: CurvedElements | None, block: np.ndarray | slice) -> np.ndarray:
    """(c,) int64: the positions within a block of elements of its curved ones."""
    return np.zeros(0, dtype=np.int64) if curved is None else np.flatnonzero(curved.mask[block])


def _curved_gradients(
    points: np.ndarray,
    tetrahedra: np.ndarray,
    curved: CurvedElements,
    elements: np.ndarray,
    nodal: np.ndarray,
    reference: np.ndarray,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Gradients (c, q, 3, 3), Jacobian determinants (c, q) and mapped points (c, q, 3) of curved elements."""
    nodes = element_node_positions(points, tetrahedra[elements], curved.edge_points[elements])
    gradients, det_j = isoparametric_gradients(nodes, nodal, reference)
    return gradients, det_j, mapped_points(nodes, reference)


# Stress measures ------------------------------------------------------------------------------
def von_mises(stress: np.ndarray) -> np.ndarray:
    """Von Mises equivalent stress sqrt(3/2 s:s), s the deviator, of stresses (..., 3, 3)."""
    stress = np.asarray(stress)
    mean = np.trace(stress, axis1=-2, axis2=-1) / 3.0
    deviator = stress - mean[..., None, None] * np.eye(3)
    return np.sqrt(1.5 * np.einsum("...ij,...ij->...", deviator, deviator))


def principal_stresses(stress: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Principal stresses and their directions.

    Parameters
    ----------
    stress : (..., 3, 3) float
        Stress tensors (their symmetric part is used).

    Returns
    -------
    values : (..., 3) float64
        sigma_1 >= sigma_2 >= sigma_3.
    directions : (..., 3, 3) float64
        Column k is the unit direction of values[..., k]; the columns are orthonormal (for
        repeated values, any orthonormal basis of their plane or space).
    """
    stress = np.asarray(stress, dtype=np.float64)
    values, vectors = np.linalg.eigh(0.5 * (stress + np.swapaxes(stress, -1, -2)))
    return values[..., ::-1].copy(), vectors[..., ::-1].copy()


def principal_values(stress: np.ndarray) -> np.ndarray:
    """(..., 3) float64: the principal stresses sigma_1 >= sigma_2 >= sigma_3, without the directions."""
    stress = np.asarray(stress, dtype=np.float64)
    return np.linalg.eigvalsh(0.5 * (stress + np.swapaxes(stress, -1, -2)))[..., ::-1].copy()


def tresca(stress: np.ndarray) -> np.ndarray:
    """(...) float64: the Tresca equivalent stress sigma_1 - sigma_3 (twice the largest shear stress)."""
    values = principal_values(stress)
    return values[..., 0] - values[..., 2]


_AXES = tuple(zip("xyz", range(3), strict=True))
_COMPONENTS = {f"stress_{a}{b}": (i, j) for a, i in _AXES for b, j in _AXES if i <= j}
_PRINCIPAL = {f"principal_{k + 1}": k for k in range(3)}
# Scalar measures of a stress tensor, by the field name they are known under.
STRESS_MEASURES = ["von_mises", "tresca", *_PRINCIPAL, *_COMPONENTS]


def stress_measure(name: str, stress: np.ndarray) -> np.ndarray:
    """A named scalar of stresses (..., 3, 3): one of `STRESS_MEASURES`.

    Raises
    ------
    ValueError
        For a name that is none of them.
    """
    if name == "von_mises":
        return von_mises(stress)
    if name == "tresca":
        return tresca(stress)
    if name in _PRINCIPAL:
        return principal_values(stress)[..., _PRINCIPAL[name]]
    if name in _COMPONENTS:
        i, j = _COMPONENTS[name]
        return np.array(stress[..., i, j], dtype=np.float64)
    raise ValueError(f"unknown stress measure {name!r}; the measures are {STRESS_MEASURES}")


# Element geometry and gradients ------------------------------------------------------------------
def inverse_jacobians(corners: np.ndarray) -> np.ndarray:
    """(m, 3, 3) inverse Jacobians of elements with vertices `corners` (m, 4, 3).

    Row r is the gradient of reference coordinate r + 1 (the barycentric l_{r+1}): the inverse of
    [e1 e2 e3] has the rows e2 x e3, e3 x e1, e1 x e2 over its determinant.
    """
    e1, e2, e3 = (corners[:, k] - corners[:, 0] for k in (1, 2, 3))
    inverse = np.stack([np.cross(e2, e3), np.cross(e3, e1), np.cross(e1, e2)], axis=1)
    inverse /= np.einsum("kc,kc->k", e1, inverse[:, 0])[:, None, None]
    return inverse


def jacobian_determinants(corners: np.ndarray) -> np.ndarray:
    """(m,) float64: the determinants of the elements' maps, six times their signed volumes."""
    e1, e2, e3 = (corners[:, k] - corners[:, 0] for k in (1, 2, 3))
    return np.einsum("kc,kc->k", e1, np.cross(e2, e3))


def _table_gradients(table: np.ndarray, nodal: np.ndarray, inverse: np.ndarray) -> np.ndarray:
    """Gradients at the same reference points of every element.

    grad[e, q, d, l] = sum over r of (sum over a of u[e, a, d] table[q, a, r]) inverse[e, r, l]

    Parameters
    ----------
    table : (q, 10, 3) reference shape gradients at the points
    nodal : (b, 10, 3) node displacements of the elements
    inverse : (b, 3, 3) inverse Jacobians

    Returns
    -------
    (b, q, 3, 3) float64
    """
    q, b = len(table), len(nodal)
    # Two batched products of small matrices: (3 x 10)(10 x 3q) per element for the reference
    # gradients [e, d, (q, r)], then, rows regrouped as (q, d), (3q x 3)(3 x 3) for the physical ones.
    reference = np.matmul(nodal.transpose(0, 2, 1), table.transpose(1, 0, 2).reshape(10, q * 3))
    reference = reference.reshape(b, 3, q, 3).transpose(0, 2, 1, 3).reshape(b, q * 3, 3)
    return np.matmul(reference, inverse).reshape(b, q, 3, 3)


def point_gradients(nodal: np.ndarray, inverse: np.ndarray, barycentric: np.ndarray) -> np.ndarray:
    """(k, 3, 3) gradients du_d/dx_l, each at its own point of its own element.

    Parameters
    ----------
    nodal : (k, 10, 3) node displacements of the element holding each point
    inverse : (k, 3, 3) that element's inverse Jacobian
    barycentric : (k, 4) the point's barycentric coordinates in it
    """
    reference = tet_shape_gradients(barycentric[:, 1:])  # (k, 10, 3): dN_a/dxi_r
    physical = np.einsum("kar,krl->kal", reference, inverse)
    return np.einsum("kad,kal->kdl", nodal, physical)


def _add_rows(total: np.ndarray, rows: np.ndarray, values: np.ndarray) -> None:
    """total[rows[i]] += values[i] for rows (k,) and values (k, c), summing repeated rows.

    The sums run over the rows' own range only, which is narrow for the elements of one block.
    """
    low, high = int(rows.min()), int(rows.max()) + 1
    width = values.shape[1]
    slots = ((rows - low)[:, None] * width + np.arange(width)).ravel()
    total[low:high] += np.bincount(slots, values.ravel(), (high - low) * width).reshape(high - low, width)


def nodal_average_gradients(
    points: np.ndarray,
    tetrahedra: np.ndarray,
    element_nodes: np.ndarray,
    displacement: np.ndarray,
    curved: CurvedElements | None = None,
) -> np.ndarray:
    """(n_nodes, 3, 3) displacement gradients at the nodes, averaged over the elements that share each.

    Every element's gradient is taken at its own ten nodes (through its isoparametric map where
    it is curved); a node's value is the plain mean of those of its elements. Vertex and edge
    nodes are summed apart: each lies in a narrow range of node numbers for a block of
    neighbouring elements.
    """
    n_nodes = len(displacement)
    table = tet_shape_gradients(TET_NODES)
    total = np.zeros((n_nodes, 9))
    for start in range(0, len(tetrahedra), _CHUNK):
        block = slice(start, start + _CHUNK)
        nodes = element_nodes[block]
        inverse = inverse_jacobians(points[tetrahedra[block]])
        grad = _table_gradients(table, displacement[nodes], inverse)
        bent = _bent(curved, block)
        if len(bent):
            assert curved is not None
            grad[bent] = _curved_gradients(
                points, tetrahedra, curved, start + bent, displacement[nodes[bent]], TET_NODES
            )[0]
        grad = grad.reshape(len(nodes), 10, 9)
        _add_rows(total, nodes[:, :4].ravel(), grad[:, :4].reshape(-1, 9))
        _add_rows(total, nodes[:, 4:].ravel(), grad[:, 4:].reshape(-1, 9))
    count = np.bincount(element_nodes.ravel(), minlength=n_nodes)
    return (total / np.maximum(count, 1)[:, None]).reshape(n_nodes, 3, 3)


# Integrals over the elements ------------------------------------------------------------------------
def strain_energy(
    points: np.ndarray,
    tetrahedra: np.ndarray,
    element_nodes: np.ndarray,
    displacement: np.ndarray,
    matrix: np.ndarray,
    elements: np.ndarray | None = None,
    curved: CurvedElements | None = None,
) -> float:
    """The strain energy 1/2 integral of sigma : eps over elements, by the element's 14-point rule.

    Parameters
    ----------
    points, tetrahedra, element_nodes : the mesh and its P2 nodes
    displacement : (n_nodes, 3) float
    matrix : (9, 9) float, the material's D[3c + j][3d + l]
    elements : (k,) int, optional
        The elements to integrate over (default all).
    curved : CurvedElements, optional
        The mesh's curved elements, integrated with their map's Jacobian at every point.
    """
    chosen = np.arange(len(tetrahedra)) if elements is None else np.asarray(elements, dtype=np.int64)
    table = tet_shape_gradients(TET_POINTS)
    energy = 0.0
    for start in range(0, len(chosen), _CHUNK):
        block = chosen[start : start + _CHUNK]
        corners = points[tetrahedra[block]]
        grad = _table_gradients(table, displacement[element_nodes[block]], inverse_jacobians(corners))
        bent = _bent(curved, block)
        if len(bent):
            assert curved is not None
            nodal = displacement[element_nodes[block[bent]]]
            grad[bent], det_j, _ = _curved_gradients(points, tetrahedra, curved, block[bent], nodal, TET_POINTS)
        flat = grad.reshape(len(block), len(table), 9)
        density = np.einsum("eqi,eqi->eq", flat @ matrix.T, flat)  # C:grad . grad = sigma : eps
        if not len(bent):
            energy += 0.5 * float(np.abs(jacobian_determinants(corners)) @ density @ TET_WEIGHTS)
            continue
        volume = np.abs(jacobian_determinants(corners))[:, None] * TET_WEIGHTS  # (b, q): w_q |det J|
        volume[bent] = np.abs(det_j) * TET_WEIGHTS
        energy += 0.5 * float(np.sum(volume * density))
    return energy


def element_selection(mesh: Mesh, elements: str | Sequence[int] | np.ndarray | None) -> np.ndarray | None:
    """Element indices (k,) from a group name, indices or a mask over the elements; None for every element.

    Raises
    ------
    KeyError
        For an element group the mesh does not have.
    TypeError, ValueError
        For indices that are not integers or out of range, and a mask of the wrong length.
    """
    if elements is None:
        return None
    m = len(mesh.tetrahedra)
    if isinstance(elements, str):
        if elements not in mesh.element_groups:
            raise KeyError(f"the mesh has no element group {elements!r}; it has {sorted(mesh.element_groups)}")
        return np.asarray(mesh.element_groups[elements], dtype=np.int64)
    given = np.asarray(elements)
    if given.dtype == bool:
        if given.shape != (m,):
            raise ValueError(f"an element mask must have shape ({m},), got {given.shape}")
        return np.flatnonzero(given)
    if given.size and given.dtype.kind not in "iu":
        raise TypeError(f"element indices must be integers, got {given.dtype} values")
    chosen = np.unique(given.astype(np.int64).ravel())
    if len(chosen) and (chosen[0] < 0 or chosen[-1] >= m):
        raise ValueError(f"element indices must lie in 0..{m - 1}")
    return chosen


def stiffness_energy(model: Elasticity, displacement: np.ndarray) -> float:
    """1/2 u . K u, K the stiffness the core assembles for the model's material on every node free (needs scipy)."""
    from . import _native, system
    from ._optional import require
    from .numbering import core_arrays, number_dofs

    require("scipy.sparse")
    numbering, mesh = model.numbering, model.mesh
    dofs = number_dofs(numbering, np.zeros((numbering.n_nodes, 3), dtype=bool), np.zeros((numbering.n_nodes, 3)))
    nexus = system.nexus_from_arrays(mesh.points, mesh.tetrahedra)
    system.set_dof_arrays(nexus, *core_arrays(numbering, dofs))
    nexus.set_cmat(model.material.matrix.tolist())
    nexus.set_solver(dofs.n_free, dofs.bc.tolist())
    if len(mesh.curved):  # the isoparametric kernel for the curved elements, as the model assembles them
        assert mesh.edge_points is not None
        edge_points = np.ascontiguousarray(mesh.edge_points[mesh.curved].reshape(-1, 18))
        _native.assemble_curved(nexus, mesh.curved, edge_points)
    else:
        nexus.assemble()
    stiffness = system.stiffness_matrix(nexus)
    del nexus  # the core's model and its matrix go before the product
    vector = np.zeros(dofs.n_free)
    vector[dofs.numbers()] = displacement
    return 0.5 * float(vector @ (stiffness @ vector))


def energy_error(
    points: np.ndarray,
    tetrahedra: np.ndarray,
    element_nodes: np.ndarray,
    displacement: np.ndarray,
    matrix: np.ndarray,
    exact_gradient: Callable[[np.ndarray], np.ndarray],
    curved: CurvedElements | None = None,
) -> float:
    """sqrt(integral of (grad u - grad u_h) : C : (grad u - grad u_h)), by the element's 14-point rule.

    Parameters
    ----------
    exact_gradient : callable
        Points (k, 3) to the exact gradients (k, 3, 3), du_d/dx_l at [k, d, l].
    curved : CurvedElements, optional
        The mesh's curved elements, integrated through their isoparametric map.
    """
    table = tet_shape_gradients(TET_POINTS)
    barycentric = np.column_stack([1.0 - TET_POINTS.sum(axis=1), TET_POINTS])  # (14, 4)
    total = 0.0
    for start in range(0, len(tetrahedra), _CHUNK):
        block = slice(start, start + _CHUNK)
        corners = points[tetrahedra[block]]
        grad = _table_gradients(table, displacement[element_nodes[block]], inverse_jacobians(corners))
        quad_points = np.einsum("qv,evc->eqc", barycentric, corners)
        bent = _bent(curved, block)
        if len(bent):
            assert curved is not None
            nodal = displacement[element_nodes[block][bent]]
            grad[bent], det_j, quad_points[bent] = _curved_gradients(
                points, tetrahedra, curved, start + bent, nodal, TET_POINTS
            )
        quad_points = quad_points.reshape(-1, 3)
        exact = np.asarray(exact_gradient(quad_points), dtype=np.float64)
        if exact.shape != (len(quad_points), 3, 3):
            raise ValueError(f"the exact gradient must have shape ({len(quad_points)}, 3, 3), got {exact.shape}")
        difference = (exact.reshape(grad.shape) - grad).reshape(len(grad), len(table), 9)
        density = np.einsum("eqi,eqi->eq", difference @ matrix.T, difference)
        if not len(bent):
            total += float(np.abs(jacobian_determinants(corners)) @ density @ TET_WEIGHTS)
            continue
        volume = np.abs(jacobian_determinants(corners))[:, None] * TET_WEIGHTS  # (b, q): w_q |det J|
        volume[bent] = np.abs(det_j) * TET_WEIGHTS
        total += float(np.sum(volume * density))
    return float(np.sqrt(max(total, 0.0)))


def l2_error(
    points: np.ndarray,
    tetrahedra: np.ndarray,
    element_nodes: np.ndarray,
    displacement: np.ndarray,
    exact: Callable[[np.ndarray], np.ndarray],
    curved: CurvedElements | None = None,
) -> float:
    """sqrt(integral of |u - u_h|^2) by the element's 14-point rule, as the core measures it on straight elements.

    Parameters
    ----------
    points, tetrahedra, element_nodes : the mesh and its P2 nodes
    displacement : (n_nodes, 3) float
    exact : callable
        Points (k, 3) to the exact displacements (k, 3).
    curved : CurvedElements, optional
        The mesh's curved elements, integrated through their isoparametric map.
    """
    shapes = tet_shape_values(TET_POINTS)  # (q, 10)
    barycentric = np.column_stack([1.0 - TET_POINTS.sum(axis=1), TET_POINTS])  # (q, 4)
    total = 0.0
    for start in range(0, len(tetrahedra), _CHUNK):
        block = slice(start, start + _CHUNK)
        corners = points[tetrahedra[block]]
        nodes = element_nodes[block]
        quad_points = np.matmul(barycentric, corners)  # (b, q, 3)
        volume = np.abs(jacobian_determinants(corners))[:, None] * TET_WEIGHTS  # (b, q): w_q |det J|
        bent = _bent(curved, block)
        if len(bent):
            assert curved is not None
            _, det_j, quad_points[bent] = _curved_gradients(
                points, tetrahedra, curved, start + bent, displacement[nodes[bent]], TET_POINTS
            )
            volume[bent] = np.abs(det_j) * TET_WEIGHTS
        discrete = np.matmul(shapes, displacement[nodes])  # (b, q, 3)
        values = np.asarray(exact(quad_points.reshape(-1, 3)), dtype=np.float64)
        if values.shape != (discrete.size // 3, 3):
            raise ValueError(f"the exact field must have shape ({discrete.size // 3}, 3), got {values.shape}")
        difference = discrete - values.reshape(discrete.shape)
        total += float(np.sum(volume * np.einsum("eqc,eqc->eq", difference, difference)))
    return float(np.sqrt(total))


def derivative(expression: ExprLike, axis: int) -> Expr:
    """The partial derivative of an expression along x (0), y (1) or z (2), as an expression."""
    e = _as_expr(expression)
    if e.op == "var":
        return constant(1.0 if e.args[0] == axis else 0.0)
    if e.op == "const":
        return constant(0.0)
    if e.op == "pow":
        base, power = e.args
        if power == 0:
            return constant(0.0)
        return _binary("mul", _binary("mul", power, base ** (power - 1)), derivative(base, axis))
    first = derivative(e.args[0], axis)
    if e.op in ("add", "sub"):
        return _binary(e.op, first, derivative(e.args[1], axis))
    if e.op == "mul":
        left, right = e.args
        return _binary("add", _binary("mul", first, right), _binary("mul", left, derivative(right, axis)))
    if e.op == "div":
        left, right = e.args  # (a / b)' = (a' b - a b') / b^2
        top = _binary("sub", _binary("mul", first, right), _binary("mul", left, derivative(right, axis)))
        return _binary("div", top, right**2)
    inner = e.args[0]
    outer = {
        "neg": lambda: constant(-1.0),
        "sin": lambda: cos(inner),
        "cos": lambda: -sin(inner),
        "exp": lambda: exp(inner),
        "log": lambda: _binary("div", 1.0, inner),
    }[e.op]()
    return _binary("mul", outer, first)


def gradient_function(exact: ExactGradient) -> Callable[[np.ndarray], np.ndarray]:
    """Points (k, 3) to gradients (k, 3, 3), from a displacement of three expressions or a callable.

    Raises
    ------
    TypeError, ValueError
        For a value that is neither three expressions (or numbers) nor a callable.
    """
    if callable(exact) and not isinstance(exact, Expr):
        return exact
    components = vector_field(exact, "exact")
    terms = [[derivative(c, axis) for axis in range(3)] for c in components]

    def evaluate(query: np.ndarray) -> np.ndarray:
        return np.stack([np.stack([term(query) for term in row], axis=1) for row in terms], axis=1)

    return evaluate


# Locating points -------------------------------------------------------------------------------------
@dataclass(frozen=True, eq=False)
class ElementGrid:
    """Elements binned by a uniform grid of cells, for finding the element that holds a point.

    Cell (i, j, k) of the grid is number (i * shape[1] + j) * shape[2] + k; the elements whose
    bounding boxes, widened by `slack`, meet it are elements[start[cell]:start[cell + 1]].

    Attributes
    ----------
    origin : (3,) float64
        The lowest corner of the mesh's bounding box.
    cell : float
        The side of a cell.
    shape : (3,) int64
        Cells along x, y, z.
    start : (cells + 1,) int64
    elements : (k,) int64
    slack : float
        How far outside an element a point may lie and still count as in it.
    first_vertex : (m, 3) float64
        Vertex 0 of every element.
    inverse : (m, 3, 3) float64
        Inverse Jacobians: row r is the gradient of barycentric coordinate r + 1.
    height : (m, 4) float64
        The distance of every vertex from the opposite face, 1 / |grad l_i|.
    """

    origin: np.ndarray
    cell: float
    shape: np.ndarray
    start: np.ndarray
    elements: np.ndarray
    slack: float
    first_vertex: np.ndarray
    inverse: np.ndarray
    height: np.ndarray


def element_grid(
    points: np.ndarray, tetrahedra: np.ndarray, slack: float, reach: np.ndarray | None = None
) -> ElementGrid:
    """Bins the elements of a mesh for `locate`.

    The cell's side is the cube root of the mean cubed extent of the elements' bounding boxes,
    so that an element meets a few cells on average (at most about 16 m (element, cell) pairs),
    and is widened when the cells would outnumber 8 m.

    Parameters
    ----------
    points : (n, 3) float
    tetrahedra : (m, 4) int
    slack : float
        Distance by which element boxes are widened (points that far outside still count).
    reach : (m, j, 3) float, optional
        Further points each element's box must hold (the control points of a curved element's
        edges, whose hull holds the element).
    """
    m = len(tetrahedra)
    corners = points[tetrahedra]  # (m, 4, 3)
    low, high = corners.min(axis=1) - slack, corners.max(axis=1) + slack
    origin = points.min(axis=0) if len(points) else np.zeros(3)
    extent = (points.max(axis=0) - origin) if len(points) else np.zeros(3)
    if reach is not None and m:
        low = np.minimum(low, reach.min(axis=1) - slack)
        high = np.maximum(high, reach.max(axis=1) + slack)
        origin = low.min(axis=0) + slack
        extent = high.max(axis=0) - slack - origin
    cell = float(np.cbrt(np.mean((high - low).max(axis=1) ** 3))) if m else 1.0
    shape = np.maximum(np.ceil(extent / cell), 1).astype(np.int64)
    if shape.prod() > 8 * m + 64:
        cell *= float(np.cbrt(shape.prod() / (8 * m + 64)))
        shape = np.maximum(np.ceil(extent / cell), 1).astype(np.int64)
    first = np.clip(np.floor((low - origin) / cell).astype(np.int64), 0, shape - 1)
    last = np.clip(np.floor((high - origin) / cell).astype(np.int64), 0, shape - 1)
    span = last - first + 1  # (m, 3) cells along each axis
    base = (first[:, 0] * shape[1] + first[:, 1]) * shape[2] + first[:, 2]
    # Elements of one span (a few kinds: 1 to 3 cells along each axis, mostly) meet the cells
    # base + steps, steps the same for all of them.
    wide = int(span.max()) + 1 if m else 1
    kinds, kind_of = np.unique((span[:, 0] * wide + span[:, 1]) * wide + span[:, 2], return_inverse=True)
    by_kind = np.argsort(kind_of, kind="stable")
    bounds = np.searchsorted(kind_of[by_kind], np.arange(len(kinds) + 1))
    owners, cells = [np.zeros(0, dtype=np.int64)], [np.zeros(0, dtype=np.int64)]
    for kind, code in enumerate(kinds):
        members = by_kind[bounds[kind] : bounds[kind + 1]]
        across, along, up = code // (wide * wide), code // wide % wide, code % wide
        steps = (
            (np.arange(across)[:, None, None] * shape[1] + np.arange(along)[:, None]) * shape[2] + np.arange(up)
        ).ravel()
        owners.append(np.repeat(members, len(steps)))
        cells.append((base[members, None] + steps).ravel())
    owner, cell_of = np.concatenate(owners), np.concatenate(cells)
    order = np.argsort(cell_of, kind="stable")
    start = np.zeros(int(shape.prod()) + 1, dtype=np.int64)
    np.cumsum(np.bincount(cell_of, minlength=int(shape.prod())), out=start[1:])
    inverse = inverse_jacobians(corners)
    gradients = np.concatenate([-inverse.sum(axis=1, keepdims=True), inverse], axis=1)  # (m, 4, 3)
    height = 1.0 / np.sqrt(np.einsum("kac,kac->ka", gradients, gradients))
    return ElementGrid(origin, cell, shape, start, owner[order], slack, corners[:, 0], inverse, height)


def locate(grid: ElementGrid, query: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The element holding each point, and the point's barycentric coordinates in it.

    A point lies in an element when it is at most `grid.slack` outside each of its faces; of
    several such elements it takes the one it lies deepest in.

    Parameters
    ----------
    grid : ElementGrid
    query : (k, 3) float

    Returns
    -------
    element : (k,) int64
        -1 for a point in no element (or not finite).
    barycentric : (k, 4) float64
        l0 .. l3 in that element (0 where there is none).
    """
    element = np.full(len(query), -1, dtype=np.int64)
    barycentric = np.zeros((len(query), 4))
    top = grid.origin + grid.shape * grid.cell
    near = np.isfinite(query).all(axis=1)
    near[near] = ((query[near] >= grid.origin - grid.slack) & (query[near] <= top + grid.slack)).all(axis=1)
    for block in np.array_split(np.flatnonzero(near), max(1, -(-int(near.sum()) // _POINTS_PER_BLOCK))):
        index = np.clip(np.floor((query[block] - grid.origin) / grid.cell).astype(np.int64), 0, grid.shape - 1)
        cells = (index[:, 0] * grid.shape[1] + index[:, 1]) * grid.shape[2] + index[:, 2]
        counts = grid.start[cells + 1] - grid.start[cells]
        asking = np.repeat(np.arange(len(block)), counts)
        slots = np.repeat(grid.start[cells] - np.cumsum(counts) + counts, counts) + np.arange(counts.sum())
        candidate = grid.elements[slots]
        offset = query[block][asking] - grid.first_vertex[candidate]
        local = np.einsum("kij,kj->ki", grid.inverse[candidate], offset)  # l1, l2, l3
        lam = np.column_stack([1.0 - local.sum(axis=1), local])
        depth = (lam * grid.height[candidate]).min(axis=1)  # signed distance inside the nearest face
        deepest = np.lexsort((-depth, asking))
        first = deepest[np.r_[True, asking[deepest][1:] != asking[deepest][:-1]]] if len(deepest) else deepest
        inside = first[depth[first] >= -grid.slack]
        element[block[asking[inside]]] = candidate[inside]
        barycentric[block[asking[inside]]] = lam[inside]
    return element, barycentric


_NEWTON_STEPS = 30  # from the straight barycentrics 3 to 6 steps on sound elements; the rest for strongly curved ones


def curved_grid(points: np.ndarray, tetrahedra: np.ndarray, edge_points: np.ndarray, slack: float) -> ElementGrid:
    """Bins curved elements for `locate_curved`: each box holds the hull of its element's control points.

    A quadratic edge x(t) = a (1-t)^2 + 2 c t (1-t) + b t^2 through its midpoint m has the control
    point c = 2 m - (a + b) / 2; the curved element lies in the hull of its vertices and these.

    Parameters
    ----------
    points : (n, 3) float
    tetrahedra : (c, 4) int
        The curved elements.
    edge_points : (c, 6, 3) float
        Their edge node positions in local edge order.
    slack : float
    """
    ends = points[tetrahedra[:, EDGE_ORDER]]  # (c, 6, 2, 3)
    control = 2.0 * edge_points - 0.5 * (ends[:, :, 0] + ends[:, :, 1])
    return element_grid(points, tetrahedra, slack, reach=control)


def _inverse_3x3(matrix: np.ndarray) -> np.ndarray:
    """(k, 3, 3) inverses of matrices (k, 3, 3) by their adjugate: inf or NaN rows for singular ones, no raise."""
    c1, c2, c3 = matrix[:, :, 0], matrix[:, :, 1], matrix[:, :, 2]
    rows = np.stack([np.cross(c2, c3), np.cross(c3, c1), np.cross(c1, c2)], axis=1)
    with np.errstate(all="ignore"):
        return rows / np.einsum("kc,kc->k", c1, rows[:, 0])[:, None, None]


def locate_curved(grid: ElementGrid, nodes: np.ndarray, query: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The curved element holding each point, and the point's reference barycentrics in it.

    Every (point, element of its cell) pair solves x(xi) = point by Newton's method on the element's
    isoparametric map, from the point's barycentrics in the straight element. The curved geometry
    decides: a point lies in an element when the solution is at most `grid.slack` outside it (the
    reference barycentrics scaled by the straight element's heights); of several such elements it
    takes the one it lies deepest in. A point the straight element holds but whose curved element
    does not (between a face's chord and a surface curving inward) lies in no element.

    Parameters
    ----------
    grid : ElementGrid
        From `curved_grid`; its element numbers index `nodes`.
    nodes : (c, 10, 3) float
        The curved elements' node positions (see `element_node_positions`).
    query : (k, 3) float

    Returns
    -------
    element : (k,) int64
        Position in `nodes`; -1 for a point in no curved element (or not finite).
    barycentric : (k, 4) float64
        The reference barycentrics l0 .. l3 there (0 where there is none).
    """
    element = np.full(len(query), -1, dtype=np.int64)
    barycentric = np.zeros((len(query), 4))
    control = 2.0 * nodes[:, 4:] - 0.5 * (nodes[:, EDGE_ORDER[:, 0]] + nodes[:, EDGE_ORDER[:, 1]])
    hull = np.concatenate([nodes[:, :4], control], axis=1)
    low, high = hull.min(axis=1) - grid.slack, hull.max(axis=1) + grid.slack
    top = grid.origin + grid.shape * grid.cell
    near = np.isfinite(query).all(axis=1)
    near[near] = ((query[near] >= grid.origin - grid.slack) & (query[near] <= top + grid.slack)).all(axis=1)
    for block in np.array_split(np.flatnonzero(near), max(1, -(-int(near.sum()) // _POINTS_PER_BLOCK))):
        index = np.clip(np.floor((query[block] - grid.origin) / grid.cell).astype(np.int64), 0, grid.shape - 1)
        cells = (index[:, 0] * grid.shape[1] + index[:, 1]) * grid.shape[2] + index[:, 2]
        counts = grid.start[cells + 1] - grid.start[cells]
        asking = np.repeat(np.arange(len(block)), counts)
        slots = np.repeat(grid.start[cells] - np.cumsum(counts) + counts, counts) + np.arange(counts.sum())
        candidate = grid.elements[slots]
        target = query[block][asking]
        # Only the pairs whose point lies in the element's box (the hull of its control points) go on.
        keep = ((target >= low[candidate]) & (target <= high[candidate])).all(axis=1)
        candidate, asking, target = candidate[keep], asking[keep], target[keep]
        local = np.einsum("kij,kj->ki", grid.inverse[candidate], target - grid.first_vertex[candidate])
        element_nodes = nodes[candidate]
        # Converged when the residual is at rounding level of the coordinates and the element's size.
        scale = grid.height[candidate].max(axis=1) + np.abs(target).max(axis=1)
        active = np.arange(len(candidate))
        with np.errstate(all="ignore"):
            for _ in range(_NEWTON_STEPS):
                if not len(active):
                    break
                at_nodes = element_nodes[active]
                position = np.matmul(tet_shape_values(local[active])[:, None, :], at_nodes)[:, 0]
                jacobian = np.matmul(at_nodes.transpose(0, 2, 1), tet_shape_gradients(local[active]))
                step = np.matmul(_inverse_3x3(jacobian), (position - target[active])[:, :, None])[:, :, 0]
                # Far outside an element its map may fold; the clip keeps such pairs finite (they fail below).
                local[active] = np.clip(local[active] - step, -1.0, 2.0)  # J dxi = x(xi) - point
                active = active[~(np.abs(step).max(axis=1) <= 1e-15)]  # settled pairs leave (NaN steps too)
            position = np.matmul(tet_shape_values(local)[:, None, :], element_nodes)[:, 0]
            converged = np.linalg.norm(position - target, axis=1) <= 1e-12 * scale
        lam = np.column_stack([1.0 - local.sum(axis=1), local])
        depth = np.where(converged, (lam * grid.height[candidate]).min(axis=1), -np.inf)
        deepest = np.lexsort((-depth, asking))
        first = deepest[np.r_[True, asking[deepest][1:] != asking[deepest][:-1]]] if len(deepest) else deepest
        inside = first[depth[first] >= -grid.slack]
        element[block[asking[inside]]] = candidate[inside]
        barycentric[block[asking[inside]]] = lam[inside]
    return element, barycentric


def curved_point_gradients(
    points: np.ndarray,
    tetrahedra: np.ndarray,
    curved: CurvedElements,
    element: np.ndarray,
    nodal: np.ndarray,
    barycentric: np.ndarray,
) -> np.ndarray:
    """(k, 3, 3) gradients through the isoparametric map of curved elements (k,), each at its own point.

    Parameters
    ----------
    nodal : (k, 10, 3) node displacements of the element holding each point
    barycentric : (k, 4) the point's reference barycentrics in it
    """
    nodes = element_node_positions(points, tetrahedra[element], curved.edge_points[element])
    return point_isoparametric_gradients(nodes, nodal, barycentric)


def interpolate(node_values: np.ndarray, element_nodes: np.ndarray, barycentric: np.ndarray) -> np.ndarray:
    """Values of a node field at points, by the quadratic shape functions of their elements.

    Parameters
    ----------
    node_values : (n_nodes, ...) float
    element_nodes : (k, 10) int, the nodes of the element holding each point
    barycentric : (k, 4) float, the points' barycentric coordinates there

    Returns
    -------
    (k, ...) float64
    """
    shapes = tet_shape_values(barycentric[:, 1:])  # (k, 10)
    return np.einsum("ka,ka...->k...", shapes, node_values[element_nodes])


# Faces ------------------------------------------------------------------------------------------------
@dataclass(frozen=True, eq=False)
class FaceIndex:
    """Every element face by its sorted-vertex key, for finding the elements on either side of a triangle.

    Attributes
    ----------
    keys : (4 m,) int64, increasing
    slot : (4 m,) int64
        4 e + f for face f (of `OUTWARD_FACES`) of element e, in the order of `keys`.
    base : int
        The point count the keys are made with.
    """

    keys: np.ndarray
    slot: np.ndarray
    base: int


def face_keys(triangles: np.ndarray, base: int) -> np.ndarray:
    """One int64 key per triangle (k, 3), the same for any order of its three point indices."""
    s = np.sort(triangles, axis=1)
    return (s[:, 0] * np.int64(base) + s[:, 1]) * np.int64(base) + s[:, 2]


def face_index(tetrahedra: np.ndarray, n_points: int) -> FaceIndex:
    """Indexes the four faces of every element."""
    base = max(n_points, 1)
    keys = face_keys(tetrahedra[:, OUTWARD_FACES].reshape(-1, 3), base)
    order = np.argsort(keys, kind="stable")
    return FaceIndex(keys[order], order, base)


def face_sides(index: FaceIndex, triangles: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The elements on either side of each triangle.

    Returns
    -------
    first : (k,) int64
        An element having the triangle as a face.
    second : (k,) int64
        The element on the other side, -1 for a boundary face.

    Raises
    ------
    ValueError
        For a triangle that is no face of an element.
    """
    wanted = face_keys(triangles, index.base)
    low = np.searchsorted(index.keys, wanted, side="left")
    high = np.searchsorted(index.keys, wanted, side="right")
    stray = np.flatnonzero(high == low)
    if len(stray):
        raise ValueError(
            f"{len(stray)} of {len(triangles)} triangles are no face of an element; the first is triangle "
            f"{stray[0]}, points {tuple(triangles[stray[0]].tolist())}"
        )
    slots = index.slot
    first = slots[low] // 4
    second = np.where(high - low > 1, slots[np.minimum(low + 1, len(slots) - 1)] // 4, -1)
    return first, second


@dataclass(frozen=True, eq=False)
class FaceQuadrature:
    """The 7-point rule of degree 5 laid on triangles, with the elements the points lie in.

    Attributes
    ----------
    points : (k, 7, 3) float64
    weights : (k, 7) float64
        Rule weights times the face areas: sum over a face = its area.
    normals : (k, 3) float64
        Unit normals: outward on the boundary, by the right-hand rule of the listed vertices inside.
    sides : (s,) int64
        The elements on the faces' sides: the first `k` entries are `first`, then the second
        element of the inner faces.
    side_face : (s,) int64
        The face of each entry of `sides`.
    triangles : (k, 3) int64
        The faces' vertices as listed.
    bent : (k,) bool
        The faces of curved elements: quadratic triangles through their six nodes, whose points,
        weights (the area element at every point) and normals `point_normals` follow the curve.
    point_normals : (k, 7, 3) float64 or None
        Unit normals at every point (those of the straight faces repeated); None when no face is bent.
    """

    points: np.ndarray
    weights: np.ndarray
    normals: np.ndarray
    sides: np.ndarray
    side_face: np.ndarray
    triangles: np.ndarray
    bent: np.ndarray
    point_normals: np.ndarray | None


def face_quadrature(
    points: np.ndarray,
    tetrahedra: np.ndarray,
    index: FaceIndex,
    triangles: np.ndarray,
    curved: CurvedElements | None = None,
) -> FaceQuadrature:
    """Quadrature points, weights and normals of triangles that are element faces.

    A face with a curved element on either side is the quadratic triangle through its six nodes
    (those of `curved`), as the loads over it are integrated; the others keep the flat triangle.

    Raises
    ------
    ValueError
        For a triangle that is no face of an element.
    """
    first, second = face_sides(index, triangles)
    corners = points[triangles]  # (k, 3, 3)
    cross = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    area = 0.5 * np.linalg.norm(cross, axis=1)
    normals = cross / (2.0 * area[:, None])
    # On the boundary the normal points away from the element's centroid.
    boundary = second < 0
    away = corners.mean(axis=1) - points[tetrahedra[first]].mean(axis=1)
    flip = boundary & (np.einsum("kc,kc->k", normals, away) < 0)
    normals[flip] *= -1.0
    inner = np.flatnonzero(~boundary)
    quad_points = np.einsum("qv,kvc->kqc", TRIANGLE_POINTS, corners)
    weights = TRIANGLE_WEIGHTS[None, :] * area[:, None]
    bent = np.zeros(len(triangles), dtype=bool)
    point_normals = None
    if curved is not None:
        bent = curved.mask[first] | ((second >= 0) & curved.mask[np.maximum(second, 0)])
        chosen = np.flatnonzero(bent)
        if len(chosen):
            positions = _face_node_positions(points, tetrahedra, curved, first[chosen], triangles[chosen])
            quad_points[chosen], unit, area_factor = quadratic_triangle_geometry(positions)
            # The rule's weights sum to 1 over the reference triangle of area 1/2.
            weights[chosen] = TRIANGLE_WEIGHTS[None, :] * 0.5 * area_factor
            point_normals = np.repeat(normals[:, None, :], len(TRIANGLE_WEIGHTS), axis=1)
            point_normals[chosen] = np.where(flip[chosen, None, None], -unit, unit)
    return FaceQuadrature(
        quad_points,
        weights,
        normals,
        np.concatenate([first, second[inner]]),
        np.concatenate([np.arange(len(triangles)), inner]),
        np.asarray(triangles, dtype=np.int64),
        bent,
        point_normals,
    )


# The edge node (4 + edge) joining two local vertices of an element, from `EDGE_ORDER`.
_EDGE_NODE = np.full((4, 4), -1, dtype=np.int64)
_EDGE_NODE[EDGE_ORDER[:, 0], EDGE_ORDER[:, 1]] = _EDGE_NODE[EDGE_ORDER[:, 1], EDGE_ORDER[:, 0]] = 4 + np.arange(6)


def _local_vertices(tetrahedra: np.ndarray, triangles: np.ndarray) -> np.ndarray:
    """(k, 3) int64: the local vertex (0..3) of each triangle's vertices in an element (k, 4) having it as a face."""
    return np.argmax(tetrahedra[:, :, None] == triangles[:, None, :], axis=1)


def _face_node_positions(
    points: np.ndarray, tetrahedra: np.ndarray, curved: CurvedElements, elements: np.ndarray, triangles: np.ndarray
) -> np.ndarray:
    """(k, 6, 3): the six nodes of faces (k, 3) of elements (k,): vertices as listed, then edges (0,1), (1,2), (0,2)."""
    tets = tetrahedra[elements]
    local = _local_vertices(tets, triangles)
    edges = _EDGE_NODE[local[:, TRIANGLE_EDGES[:, 0]], local[:, TRIANGLE_EDGES[:, 1]]]
    nodes = element_node_positions(points, tets, curved.edge_points[elements])  # (k, 10, 3)
    return np.take_along_axis(nodes, np.concatenate([local, edges], axis=1)[:, :, None], axis=1)


def face_side_points(
    quadrature: FaceQuadrature, points: np.ndarray, tetrahedra: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """The faces' quadrature points in the elements on their sides.

    Returns
    -------
    elements : (s * 7,) int64
        The element of every (side, point), side by side as in `quadrature.sides`.
    barycentric : (s * 7, 4) float64
        The point's barycentric coordinates in that element.
    """
    sides = quadrature.sides
    corners = points[tetrahedra[sides]]
    offset = quadrature.points[quadrature.side_face] - corners[:, None, 0]  # (s, 7, 3)
    local = np.einsum("sij,sqj->sqi", inverse_jacobians(corners), offset)
    barycentric = np.concatenate([1.0 - local.sum(axis=2, keepdims=True), local], axis=2)
    bent = np.flatnonzero(quadrature.bent[quadrature.side_face])
    if len(bent):
        # On a face, the element's map is the face's quadratic triangle: the point with triangle
        # barycentrics mu has barycentric mu_t at the element's vertex matching the face's vertex t.
        matching = tetrahedra[sides[bent]][:, :, None] == quadrature.triangles[quadrature.side_face[bent]][:, None, :]
        barycentric[bent] = np.einsum("sat,qt->sqa", matching.astype(np.float64), TRIANGLE_POINTS)
    return np.repeat(sides, local.shape[1]), barycentric.reshape(-1, 4)


def side_mean(values: np.ndarray, side_face: np.ndarray, k: int) -> np.ndarray:
    """(k, ...) the mean over the sides of every face of values (s, ...) given side by side."""
    total = np.zeros((k, *values.shape[1:]))
    np.add.at(total, side_face, values)
    count = np.bincount(side_face, minlength=k).reshape(k, *([1] * (values.ndim - 1)))
    return total / count
