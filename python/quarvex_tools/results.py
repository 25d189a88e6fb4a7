"""Results of a solve: displacements at the P2 nodes, strains and stresses, and named node fields."""
from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

import quarvex

from .expressions import ExprLike, to_arena, vector_field
from .p2 import TET_NODES, TET_POINTS, displacement_gradients, tet_shape_values

if TYPE_CHECKING:
    from .model import Elasticity, Region
    from .system import SolveResult

_CHUNK = 1 << 16  # elements per block of the stress loops
_POINTS_PER_BLOCK = 1 << 12  # points located at once: each meets the few dozen elements of its cell

# Names of the node fields that `field` returns, beside "von_mises" and the displacement magnitude.
_DISPLACEMENT = {"ux": 0, "uy": 1, "uz": 2}
_STRESS = {f"stress_{a}{b}": (i, j) for a, i in zip("xyz", range(3)) for b, j in zip("xyz", range(3)) if i <= j}


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


def element_grid(points: np.ndarray, tetrahedra: np.ndarray, slack: float) -> ElementGrid:
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
    """
    m = len(tetrahedra)
    corners = points[tetrahedra]  # (m, 4, 3)
    low, high = corners.min(axis=1) - slack, corners.max(axis=1) + slack
    origin = points.min(axis=0) if len(points) else np.zeros(3)
    extent = (points.max(axis=0) - origin) if len(points) else np.zeros(3)
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
        members = by_kind[bounds[kind]:bounds[kind + 1]]
        across, along, up = code // (wide * wide), code // wide % wide, code % wide
        steps = ((np.arange(across)[:, None, None] * shape[1] + np.arange(along)[:, None]) * shape[2]
                 + np.arange(up)).ravel()
        owners.append(np.repeat(members, len(steps)))
        cells.append((base[members, None] + steps).ravel())
    owner, cell_of = np.concatenate(owners), np.concatenate(cells)
    order = np.argsort(cell_of, kind="stable")
    start = np.zeros(int(shape.prod()) + 1, dtype=np.int64)
    np.cumsum(np.bincount(cell_of, minlength=int(shape.prod())), out=start[1:])
    # The inverse of the Jacobian [e1 e2 e3] has the rows e2 x e3, e3 x e1, e1 x e2 over its determinant.
    e1, e2, e3 = (corners[:, k] - corners[:, 0] for k in (1, 2, 3))
    inverse = np.stack([np.cross(e2, e3), np.cross(e3, e1), np.cross(e1, e2)], axis=1)
    inverse /= np.einsum("kc,kc->k", e1, inverse[:, 0])[:, None, None]
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


@dataclass(frozen=True)
class Reaction:
    """A support's resultant: `force` (3,) and `moment` (3,) about the point asked for."""

    force: np.ndarray
    moment: np.ndarray


def von_mises(stress: np.ndarray) -> np.ndarray:
    """Von Mises equivalent stress sqrt(3/2 s:s), s the deviator, of stresses (..., 3, 3)."""
    stress = np.asarray(stress)
    mean = np.trace(stress, axis1=-2, axis2=-1) / 3.0
    deviator = stress - mean[..., None, None] * np.eye(3)
    return np.sqrt(1.5 * np.einsum("...ij,...ij->...", deviator, deviator))


class Result:
    """The solution of an `Elasticity` model.

    Attributes
    ----------
    model : Elasticity
    displacement : (n_nodes, 3) float64
        Displacement of every P2 node (points first, then edge midpoints; see `points`).
    report : SolveResult
        Iterations, residual norm, load norm and whether the solver converged.
    reaction_forces : (n_nodes, 3) float64
        Force of the supports (K u - f on the constrained components) and of the elastic
        supports (-K_s u) on every node, in x, y, z; zero on nodes without support.
    nexus : quarvex.Nexus or None
        The solved core model.
    """

    def __init__(
        self,
        model: Elasticity,
        displacement: np.ndarray,
        report: SolveResult,
        nexus: quarvex.Nexus | None = None,
        reaction_forces: np.ndarray | None = None,
    ) -> None:
        self.model = model
        self.reaction_forces = (
            np.zeros_like(displacement, dtype=np.float64) if reaction_forces is None
            else np.asarray(reaction_forces, dtype=np.float64)
        )
        self.reaction_forces.setflags(write=False)
        self.nexus = nexus
        self.displacement = np.asarray(displacement, dtype=np.float64)
        self.displacement.setflags(write=False)
        self.report = report
        self._nodal_stress: np.ndarray | None = None
        self._grid: ElementGrid | None = None

    def __repr__(self) -> str:
        value, node = self.max_displacement
        return f"Result({len(self.displacement)} nodes, max displacement {value:.4g} at node {node}, {self.report})"

    @property
    def points(self) -> np.ndarray:
        """(n_nodes, 3) float64: coordinates of the P2 nodes."""
        return self.model.numbering.node_points

    @property
    def max_displacement(self) -> tuple[float, int]:
        """The largest displacement magnitude and the node where it occurs."""
        magnitude = np.linalg.norm(self.displacement, axis=1)
        node = int(np.argmax(magnitude)) if len(magnitude) else 0
        return (float(magnitude[node]) if len(magnitude) else 0.0), node

    def at(self, point: Sequence[float] | np.ndarray, outside: str = "raise", tolerance: float = 1e-6) -> np.ndarray:
        """Displacement at points, interpolated by the quadratic shape functions of the element holding each.

        The first call bins the elements by a grid (kept for later calls with the same tolerance);
        each point is then tested against the few dozen elements of its cell.

        Parameters
        ----------
        point : (3,) or (k, 3) float
            One point, or k of them.
        outside : {"raise", "nan"}
            For a point outside the mesh: ValueError naming it (the default), or a row of NaN.
        tolerance : float
            How far outside the mesh a point may lie and still count as in it, relative to the
            diagonal of the mesh's bounding box (on a curved surface the straight-sided faces lie
            inside the true surface by the elements' sagitta).

        Returns
        -------
        (3,) or (k, 3) float64, as `point`

        Raises
        ------
        ValueError
            For points of another shape, an unknown `outside`, or (with outside="raise") a point
            outside the mesh or not finite.
        """
        query = np.asarray(point, dtype=np.float64)
        single = query.shape == (3,)
        query = query.reshape(1, 3) if single else query
        if query.ndim != 2 or query.shape[1] != 3:
            raise ValueError(f"point must have shape (3,) or (k, 3), got {np.shape(point)}")
        if outside not in ("raise", "nan"):
            raise ValueError(f"outside must be 'raise' or 'nan', got {outside!r}")
        mesh = self.model.mesh
        slack = float(tolerance) * float(np.linalg.norm(np.ptp(mesh.points, axis=0))) if len(mesh.points) else 0.0
        if not slack >= 0.0:
            raise ValueError(f"tolerance must be a number >= 0, got {tolerance!r}")
        if self._grid is None or self._grid.slack != slack:
            self._grid = element_grid(mesh.points, mesh.tetrahedra, slack)
        element, barycentric = locate(self._grid, query)
        missing = np.flatnonzero(element < 0)
        if len(missing) and outside == "raise":
            raise ValueError(
                f"point {tuple(query[missing[0]].tolist())} lies outside the mesh (by more than {slack:.3g}); "
                f"{len(missing)} of {len(query)} points do (outside='nan' gives NaN for them)"
            )
        values = np.full((len(query), 3), np.nan)
        found = element >= 0
        shapes = tet_shape_values(barycentric[found, 1:])  # (f, 10)
        nodal = self.displacement[self.model.numbering.element_nodes[element[found]]]  # (f, 10, 3)
        values[found] = np.einsum("fa,fac->fc", shapes, nodal)
        return values[0] if single else values

    def reactions(self, where: Region | None = None, about: Sequence[float] | None = None) -> Reaction:
        """The resultant force and moment that the supports exert on a region.

        Parameters
        ----------
        where : region, optional
            Nodes as for `Elasticity.nodes` (a face group, a predicate, point indices or a
            mask); every node by default. Only supported nodes contribute.
        about : (3,) float, optional
            The point of the moment (default: the origin).

        Returns
        -------
        Reaction
            `force` (3,) and `moment` (3,). Over every node they balance the applied loads:
            force + total applied force = 0, to the solver's tolerance.
        """
        nodes = np.arange(len(self.displacement)) if where is None else self.model.nodes(where)
        forces = self.reaction_forces[nodes]
        centre = np.zeros(3) if about is None else np.asarray(about, dtype=np.float64)
        if centre.shape != (3,):
            raise ValueError(f"about must be a point (x, y, z), got shape {centre.shape}")
        arms = self.points[nodes] - centre
        return Reaction(forces.sum(axis=0), np.cross(arms, forces).sum(axis=0))

    # Element fields ----------------------------------------------------------------------
    def gradients(self, reference: np.ndarray | None = None, elements: slice | np.ndarray = slice(None)) -> np.ndarray:
        """Displacement gradients du_d/dx_l at reference points of the elements.

        Parameters
        ----------
        reference : (q, 3) float, optional
            Points of the reference tetrahedron; default the core's 14 quadrature points.
        elements : slice or index array
            Which elements (default all).

        Returns
        -------
        (m, q, 3, 3) float64
        """
        reference = TET_POINTS if reference is None else np.atleast_2d(reference)
        tets = self.model.mesh.tetrahedra[elements]
        nodal = self.displacement[self.model.numbering.element_nodes[elements]]
        return displacement_gradients(self.model.mesh.points, tets, nodal, reference)

    def strain(self, reference: np.ndarray | None = None, elements: slice | np.ndarray = slice(None)) -> np.ndarray:
        """(m, q, 3, 3) small strain (G + G^T) / 2 at reference points (default quadrature points)."""
        grad = self.gradients(reference, elements)
        return 0.5 * (grad + np.swapaxes(grad, -1, -2))

    def stress(self, reference: np.ndarray | None = None, elements: slice | np.ndarray = slice(None)) -> np.ndarray:
        """(m, q, 3, 3) Cauchy stress at reference points (default quadrature points)."""
        return self.model.material.stress(self.gradients(reference, elements))

    def nodal_stress(self) -> np.ndarray:
        """(n_nodes, 3, 3) stress at every node, averaged over the elements that share it."""
        if self._nodal_stress is None:
            numbering = self.model.numbering
            total = np.zeros((numbering.n_nodes, 9))
            m = len(self.model.mesh.tetrahedra)
            for start in range(0, m, _CHUNK):
                block = slice(start, min(start + _CHUNK, m))
                stress = self.stress(TET_NODES, block).reshape(-1, 9)
                nodes = numbering.element_nodes[block].ravel()
                for k in range(9):
                    total[:, k] += np.bincount(nodes, stress[:, k], numbering.n_nodes)
            count = np.bincount(numbering.element_nodes.ravel(), minlength=numbering.n_nodes)
            self._nodal_stress = (total / np.maximum(count, 1)[:, None]).reshape(-1, 3, 3)
            self._nodal_stress.setflags(write=False)
        return self._nodal_stress

    def field(self, name: str) -> np.ndarray:
        """A named scalar field at the nodes, (n_nodes,) float64.

        Names: "displacement_magnitude" (also "displacement"), "ux", "uy", "uz", "von_mises",
        and the stress components "stress_xx", "stress_yy", "stress_zz", "stress_xy",
        "stress_xz", "stress_yz".
        """
        if name in ("displacement", "displacement_magnitude"):
            return np.linalg.norm(self.displacement, axis=1)
        if name in _DISPLACEMENT:
            return self.displacement[:, _DISPLACEMENT[name]].copy()
        if name == "von_mises":
            return von_mises(self.nodal_stress())
        if name in _STRESS:
            i, j = _STRESS[name]
            return self.nodal_stress()[:, i, j].copy()
        names = ["displacement_magnitude", "displacement", *_DISPLACEMENT, "von_mises", *_STRESS]
        raise ValueError(f"unknown field {name!r}; the fields are {names}")

    def l2_error(self, exact: Sequence[ExprLike]) -> float:
        """The L2 norm of the difference from an exact displacement field, measured by the core.

        Parameters
        ----------
        exact : sequence of 3 expressions or numbers
            (ux, uy, uz) written with `x`, `y`, `z`.
        """
        if self.nexus is None:
            raise RuntimeError("this result holds no solved core model")
        arena, nodes = to_arena(vector_field(exact, "exact"))
        return float(self.nexus.error(arena, nodes))

    # Output ---------------------------------------------------------------------------------
    def write(self, path: str, fields: Sequence[str] = ("von_mises",)) -> None:
        """Writes a VTU file of the quadratic mesh with displacement, stress and `fields` (needs meshio).

        Open it in ParaView; "Warp By Vector" on "displacement" shows the deformed shape.

        Parameters
        ----------
        path : str
            A ".vtu" file (ParaView's XML format) or a ".vtk" one (legacy VTK); others raise
            ValueError.
        fields : sequence of str
            Names accepted by `field`, written as node arrays of those names; the magnitude of
            the displacement (asked for as "displacement") is written as "displacement_magnitude",
            beside the vector "displacement".
        """
        from .output import write_vtu

        write_vtu(self, path, fields)

    def plot(
        self,
        path: str,
        field: str = "von_mises",
        scale: float | None = None,
        **options: object,
    ) -> float:
        """Draws the deformed boundary coloured by a field into a PNG file (needs matplotlib).

        Parameters
        ----------
        path : str
        field : str
            A name accepted by `field`.
        scale : float, optional
            Displacement magnification (default: the largest displacement drawn as 10% of
            the model's size).
        options
            Passed to `quarvex_tools.plotting.plot_result` (title, view, dpi, ...).

        Returns
        -------
        float : the displacement scale used
        """
        from .plotting import plot_result

        return plot_result(self, path, field=field, scale=scale, **options)  # type: ignore[arg-type]
