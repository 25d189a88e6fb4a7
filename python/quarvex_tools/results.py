"""Results of a solve: displacements at the P2 nodes, strains and stresses, named node fields, and queries.

The queries (values at points and along lines, face resultants, principal stresses, strain energy,
the energy-norm error) compute in `quarvex_tools.queries`; `Result` holds what they share: the
element grid for locating points, the face index and the stresses averaged to the nodes.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

import quarvex

from . import parallel, queries
from .expressions import ExprLike, to_arena, vector_field
from .p2 import TET_POINTS, displacement_gradients, element_node_positions, isoparametric_gradients
from .queries import (
    STRESS_MEASURES,
    ElementGrid,
    FaceResultant,
    LineSamples,
    Probe,
    curved_elements,
    element_grid,
    locate,
    principal_stresses,
    tresca,
    von_mises,
)

if TYPE_CHECKING:
    from .model import Elasticity, Region
    from .system import SolveResult
    from .units import Units

__all__ = [
    "ElementGrid",
    "FaceResultant",
    "LineSamples",
    "Probe",
    "Reaction",
    "Result",
    "element_grid",
    "locate",
    "principal_stresses",
    "tresca",
    "von_mises",
]

# A field for the point queries: a name, or node values (n_nodes, ...) to interpolate.
FieldLike = str | np.ndarray

# Names of the node fields that `field` returns, beside the stress measures and the displacement magnitude.
_DISPLACEMENT = {"ux": 0, "uy": 1, "uz": 2}
# Tensor fields of the point queries, beside "displacement".
_TENSORS = ("gradient", "strain", "stress")
_POINTS_PER_BLOCK = 1 << 16  # points whose values are computed at once


@dataclass(frozen=True)
class Reaction:
    """A support's resultant: `force` (3,) and `moment` (3,) about the point asked for."""

    force: np.ndarray
    moment: np.ndarray


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
            np.zeros_like(displacement, dtype=np.float64)
            if reaction_forces is None
            else np.asarray(reaction_forces, dtype=np.float64)
        )
        self.reaction_forces.setflags(write=False)
        self.nexus = nexus
        self.displacement = np.asarray(displacement, dtype=np.float64)
        self.displacement.setflags(write=False)
        self.report = report
        self._nodal_stress: np.ndarray | None = None
        self._nodal_gradient: np.ndarray | None = None
        self._grid: ElementGrid | None = None
        self._curved_grid: ElementGrid | None = None
        self._faces: queries.FaceIndex | None = None

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

    # Values at points -------------------------------------------------------------------------
    def _located(
        self, point: Sequence[float] | np.ndarray, tolerance: float
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, float]:
        """Points (k, 3), the element holding each (-1 outside) and their barycentrics, with the slack used.

        On a curved mesh the points the straight elements place in a curved element, or in none,
        are located again through the curved elements' maps (`queries.locate_curved`): there the
        curved geometry decides, and the barycentrics are the reference ones of the curved map.
        """
        query = np.asarray(point, dtype=np.float64)
        query = query.reshape(1, 3) if query.shape == (3,) else query
        if query.ndim != 2 or query.shape[1] != 3:
            raise ValueError(f"point must have shape (3,) or (k, 3), got {np.shape(point)}")
        mesh = self.model.mesh
        slack = float(tolerance) * float(np.linalg.norm(np.ptp(mesh.points, axis=0))) if len(mesh.points) else 0.0
        if not slack >= 0.0:
            raise ValueError(f"tolerance must be a number >= 0, got {tolerance!r}")
        if self._grid is None or self._grid.slack != slack:
            self._grid = element_grid(mesh.points, mesh.tetrahedra, slack)
        element, barycentric = locate(self._grid, query)
        curved = curved_elements(mesh)
        if curved is not None:
            # Straight elements hold exactly their straight tetrahedra (their faces are flat on both sides).
            again = np.flatnonzero(np.where(element >= 0, curved.mask[np.maximum(element, 0)], True))
            tets, edge_points = mesh.tetrahedra[mesh.curved], curved.edge_points[mesh.curved]
            if self._curved_grid is None or self._curved_grid.slack != slack:
                self._curved_grid = queries.curved_grid(mesh.points, tets, edge_points, slack)
            nodes = element_node_positions(mesh.points, tets, edge_points)
            found, reference = queries.locate_curved(self._curved_grid, nodes, query[again])
            element[again] = np.where(found >= 0, mesh.curved[np.maximum(found, 0)], -1)
            barycentric[again] = reference
        return query, element, barycentric, slack

    def _values_in(self, field: FieldLike, element: np.ndarray, barycentric: np.ndarray, averaged: bool) -> np.ndarray:
        """A field at points given by their elements (k,) and barycentrics (k, 4): (k, ...) float64.

        Points go in blocks, so that their elements' node values (ten tensors a point) stay small.
        """
        if len(element) <= _POINTS_PER_BLOCK:
            return self._block_values(field, element, barycentric, averaged)
        blocks = [
            self._block_values(
                field,
                element[start : start + _POINTS_PER_BLOCK],
                barycentric[start : start + _POINTS_PER_BLOCK],
                averaged,
            )
            for start in range(0, len(element), _POINTS_PER_BLOCK)
        ]
        return np.concatenate(blocks)

    def _block_values(
        self, field: FieldLike, element: np.ndarray, barycentric: np.ndarray, averaged: bool
    ) -> np.ndarray:
        element_nodes = self.model.numbering.element_nodes[element]
        if not isinstance(field, str):
            values = np.asarray(field, dtype=np.float64)
            if values.ndim == 0 or len(values) != len(self.displacement):
                raise ValueError(
                    f"node values must have one row per node ({len(self.displacement)}), got shape {values.shape}"
                )
            return queries.interpolate(values, element_nodes, barycentric)
        if field in ("displacement", "displacement_magnitude", *_DISPLACEMENT):
            vector = queries.interpolate(self.displacement, element_nodes, barycentric)
            if field == "displacement":
                return vector
            if field == "displacement_magnitude":
                return np.linalg.norm(vector, axis=1)
            return vector[:, _DISPLACEMENT[field]]
        if field not in _TENSORS and field not in STRESS_MEASURES:
            raise ValueError(f"unknown field {field!r}; the fields at points are {self._point_field_names()}")
        if averaged:
            tensor = self.nodal_stress() if field not in ("gradient", "strain") else self._nodal_gradients()
            tensor = queries.interpolate(tensor, element_nodes, barycentric)
        else:
            corners = self.model.mesh.points[self.model.mesh.tetrahedra[element]]
            tensor = queries.point_gradients(
                self.displacement[element_nodes], queries.inverse_jacobians(corners), barycentric
            )
            curved = curved_elements(self.model.mesh)
            bent = np.zeros(0, dtype=np.int64) if curved is None else np.flatnonzero(curved.mask[element])
            if len(bent):
                assert curved is not None
                tensor[bent] = queries.curved_point_gradients(
                    self.model.mesh.points,
                    self.model.mesh.tetrahedra,
                    curved,
                    element[bent],
                    self.displacement[element_nodes[bent]],
                    barycentric[bent],
                )
            if field not in ("gradient", "strain"):
                tensor = self.model.material.stress(tensor)
        if field == "strain":
            return 0.5 * (tensor + np.swapaxes(tensor, -1, -2))
        return tensor if field in _TENSORS else queries.stress_measure(field, tensor)

    @staticmethod
    def _point_field_names() -> list[str]:
        return ["displacement", "displacement_magnitude", *_DISPLACEMENT, *_TENSORS, *STRESS_MEASURES]

    def probe(
        self,
        points: Sequence[float] | np.ndarray,
        field: FieldLike = "displacement",
        *,
        averaged: bool = True,
        tolerance: float = 1e-6,
    ) -> Probe:
        """A field at points, interpolated by the quadratic shape functions of the element holding each.

        Points outside the mesh are flagged (`inside` False) and get NaN, never an extrapolated
        value. The first call bins the elements by a grid (kept for later calls with the same
        tolerance); each point is then tested against the few dozen elements of its cell. On
        curved elements a point is placed by inverting the element's isoparametric map (Newton's
        method), and the curved geometry decides where it and the straight elements disagree: a
        point between a curved face and its chords lies in the mesh where the face bulges out and
        outside it where the face curves in. Values take the curved map's shape functions there.

        Parameters
        ----------
        points : (3,) or (k, 3) float
        field : str or (n_nodes, ...) array
            "displacement" (the vector, (k, 3)), "displacement_magnitude", "ux", "uy", "uz",
            "gradient", "strain", "stress" ((k, 3, 3) tensors), a stress measure ("von_mises",
            "tresca", "principal_1" .. "principal_3", "stress_xx" ...), or values at the nodes
            (points first, then edge midpoints) of any field of your own.
        averaged : bool
            For the gradient, strain and stress fields: interpolate the values averaged to the
            nodes (those `nodal_stress` gives and `write` writes), then take the measure (True,
            the default); or take the element's own value at the point, which jumps between
            elements (False).
        tolerance : float
            How far outside the mesh a point may lie and still count as in it, relative to the
            diagonal of the mesh's bounding box (a surface of straight-sided elements lies off the
            true curved surface by the elements' sagitta; one of curved elements far nearer it).

        Returns
        -------
        Probe
            `values` (k, ...), `inside` (k,) and `element` (k,); one point (3,) counts as k = 1.

        Raises
        ------
        ValueError
            For points of another shape, an unknown field, node values of the wrong length or a
            negative tolerance.
        """
        _, element, barycentric, _ = self._located(points, tolerance)
        return Probe(self._filled(field, element, barycentric, averaged), element >= 0, element)

    def _filled(self, field: FieldLike, element: np.ndarray, barycentric: np.ndarray, averaged: bool) -> np.ndarray:
        """(k, ...) values of a field at located points, NaN at those in no element (element -1)."""
        inside = element >= 0
        found = self._values_in(field, element[inside], barycentric[inside], bool(averaged))
        values = np.full((len(element), *found.shape[1:]), np.nan)
        values[inside] = found
        return values

    def at(
        self,
        point: Sequence[float] | np.ndarray,
        outside: str = "raise",
        tolerance: float = 1e-6,
        *,
        field: FieldLike = "displacement",
        averaged: bool = True,
    ) -> np.ndarray:
        """A field (the displacement by default) at points: `probe`'s values, with a choice for outside points.

        Parameters
        ----------
        point : (3,) or (k, 3) float
            One point, or k of them.
        outside : {"raise", "nan"}
            For a point outside the mesh: ValueError naming it (the default), or NaN.
        tolerance : float
            As for `probe`.
        field : str or (n_nodes, ...) array
            As for `probe`.
        averaged : bool
            As for `probe`.

        Returns
        -------
        (...) or (k, ...) float64, as `point`: (3,) or (k, 3) for the displacement

        Raises
        ------
        ValueError
            For points of another shape, an unknown `outside` or field, or (with outside="raise")
            a point outside the mesh or not finite.
        """
        if outside not in ("raise", "nan"):
            raise ValueError(f"outside must be 'raise' or 'nan', got {outside!r}")
        query, element, barycentric, slack = self._located(point, tolerance)
        missing = np.flatnonzero(element < 0)
        if len(missing) and outside == "raise":
            raise ValueError(
                f"point {tuple(query[missing[0]].tolist())} lies outside the mesh (by more than {slack:.3g}); "
                f"{len(missing)} of {len(query)} points do (outside='nan' gives NaN for them)"
            )
        values = self._filled(field, element, barycentric, averaged)
        return values[0] if np.shape(point) == (3,) else values

    def along(
        self,
        start: Sequence[float],
        end: Sequence[float],
        n: int = 101,
        field: FieldLike = "displacement",
        *,
        averaged: bool = True,
        tolerance: float = 1e-6,
    ) -> LineSamples:
        """A field at n evenly spaced points of the segment from `start` to `end`, both included.

        Parameters
        ----------
        start, end : (3,) float
        n : int
            Number of samples, at least 2.
        field, averaged, tolerance
            As for `probe`.

        Returns
        -------
        LineSamples
            `distance` (n,) from `start`, `points` (n, 3), `values` (n, ...) with NaN where the
            line leaves the mesh, and `inside` (n,).

        Raises
        ------
        ValueError
            For ends that are not finite points, n below 2, or a line that misses the mesh.
        """
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 2:
            raise ValueError(f"n must be an integer of at least 2, got {n!r}")
        ends = [np.asarray(p, dtype=np.float64) for p in (start, end)]
        if any(p.shape != (3,) or not np.isfinite(p).all() for p in ends):
            raise ValueError(f"start and end must be finite points (x, y, z), got {start!r} and {end!r}")
        fraction = np.linspace(0.0, 1.0, int(n))
        points = ends[0] + fraction[:, None] * (ends[1] - ends[0])
        probe = self.probe(points, field, averaged=averaged, tolerance=tolerance)
        if not probe.inside.any():
            raise ValueError(f"the line from {tuple(ends[0].tolist())} to {tuple(ends[1].tolist())} misses the mesh")
        return LineSamples(fraction * float(np.linalg.norm(ends[1] - ends[0])), points, probe.values, probe.inside)

    # Faces ------------------------------------------------------------------------------------
    def _face_points(self, where: Region | np.ndarray) -> tuple[queries.FaceQuadrature, np.ndarray, np.ndarray]:
        """The quadrature of a region's faces, with the elements and barycentrics of its points on every side."""
        mesh = self.model.mesh
        if isinstance(where, str):
            if where not in mesh.face_groups:
                raise KeyError(f"the mesh has no face group {where!r}; it has {sorted(mesh.face_groups)}")
            triangles = mesh.face_groups[where]
        elif callable(where):
            triangles = self.model.boundary_faces(where)
        else:
            triangles = np.asarray(where)
            if triangles.ndim != 2 or triangles.shape[1] != 3 or triangles.dtype.kind not in "iu":
                raise TypeError("faces are a face group name, a predicate on coordinates or (k, 3) point indices")
            if len(triangles) and (triangles.min() < 0 or triangles.max() >= len(mesh.points)):
                raise ValueError(f"point indices must lie in 0..{len(mesh.points) - 1}")
        if len(triangles) == 0:
            raise ValueError(f"the region {where!r} holds no face")
        if self._faces is None:
            self._faces = queries.face_index(mesh.tetrahedra, len(mesh.points))
        quadrature = queries.face_quadrature(
            mesh.points, mesh.tetrahedra, self._faces, np.asarray(triangles), curved_elements(mesh)
        )
        element, barycentric = queries.face_side_points(quadrature, mesh.points, mesh.tetrahedra)
        return quadrature, element, barycentric

    def face_resultant(self, where: Region | np.ndarray, about: Sequence[float] | None = None) -> FaceResultant:
        """The stress vector sigma . n integrated over faces: force, moment, area and mean stress.

        The stress is the elements' own (not averaged to the nodes), at the 7 points of the
        triangle rule of degree 5 on every face; across an inner face, the mean of its two sides.
        A face of a curved element is the quadratic triangle through its six nodes, as loads
        over it are integrated: points, area element and normal follow the curve.
        Where the solution is exact (a uniform stress, say) the force over a loaded face equals
        the load and that over a support the reaction; otherwise they differ from them by the
        discretisation error, which `reactions` does not have.

        Parameters
        ----------
        where : str, callable or (k, 3) int
            A face group of the mesh (boundary faces take the outward normal, inner faces the
            normal of their listed vertex order by the right-hand rule), a predicate selecting
            boundary faces (see `Elasticity.boundary_faces`), or triangles as point indices.
        about : (3,) float, optional
            The point of the moment (default: the origin).

        Returns
        -------
        FaceResultant

        Raises
        ------
        KeyError
            For a face group the mesh does not have.
        ValueError
            For a region without faces, or triangles that are no element's face.
        """
        centre = np.zeros(3) if about is None else np.asarray(about, dtype=np.float64)
        if centre.shape != (3,):
            raise ValueError(f"about must be a point (x, y, z), got shape {centre.shape}")
        quadrature, element, barycentric = self._face_points(where)
        k, per_face = quadrature.weights.shape
        stress = self._values_in("stress", element, barycentric, averaged=False)
        stress = queries.side_mean(stress.reshape(-1, per_face, 3, 3), quadrature.side_face, k)  # (k, q, 3, 3)
        traction = np.einsum("kqij,kj->kqi", stress, quadrature.normals)
        if quadrature.point_normals is not None:  # curved faces turn their normal from point to point
            bent = quadrature.bent
            traction[bent] = np.einsum("kqij,kqj->kqi", stress[bent], quadrature.point_normals[bent])
        weights = quadrature.weights
        area = float(weights.sum())
        return FaceResultant(
            np.einsum("kq,kqi->i", weights, traction),
            np.einsum("kq,kqi->i", weights, np.cross(quadrature.points - centre, traction)),
            area,
            np.einsum("kq,kqij->ij", weights, stress) / area,
        )

    def face_mean(self, where: Region | np.ndarray, field: FieldLike = "von_mises", *, averaged: bool = False) -> float:
        """The area-mean of a scalar field over faces (a stress component, a stress measure, ...).

        Parameters
        ----------
        where : str, callable or (k, 3) int
            As for `face_resultant`.
        field : str or (n_nodes,) array
            A scalar field of `probe` ("stress_xx", "von_mises", "ux", ...) or node values.
        averaged : bool
            Stresses averaged to the nodes (True) or the elements' own (False, the default, as
            `face_resultant` takes them).

        Returns
        -------
        float
        """
        quadrature, element, barycentric = self._face_points(where)
        values = self._values_in(field, element, barycentric, bool(averaged))
        if values.ndim != 1:
            raise ValueError(f"face_mean takes a scalar field; {field!r} has values of shape {values.shape[1:]}")
        k, per_face = quadrature.weights.shape
        per_point = queries.side_mean(values.reshape(-1, per_face), quadrature.side_face, k)
        return float((quadrature.weights * per_point).sum() / quadrature.weights.sum())

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

        Curved elements take them through their isoparametric map (the Jacobian of the 10-node
        map at each point); straight ones through their affine map.

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
        mesh = self.model.mesh
        tets = mesh.tetrahedra[elements]
        nodal = self.displacement[self.model.numbering.element_nodes[elements]]
        gradients = displacement_gradients(mesh.points, tets, nodal, reference)
        curved = curved_elements(mesh)
        if curved is not None:
            chosen = np.arange(len(mesh.tetrahedra))[elements]
            bent = np.flatnonzero(curved.mask[chosen])
            if len(bent):
                nodes = element_node_positions(mesh.points, tets[bent], curved.edge_points[chosen[bent]])
                gradients[bent] = isoparametric_gradients(nodes, nodal[bent], reference)[0]
        return gradients

    def strain(self, reference: np.ndarray | None = None, elements: slice | np.ndarray = slice(None)) -> np.ndarray:
        """(m, q, 3, 3) small strain (G + G^T) / 2 at reference points (default quadrature points)."""
        grad = self.gradients(reference, elements)
        return 0.5 * (grad + np.swapaxes(grad, -1, -2))

    def stress(self, reference: np.ndarray | None = None, elements: slice | np.ndarray = slice(None)) -> np.ndarray:
        """(m, q, 3, 3) Cauchy stress at reference points (default quadrature points)."""
        return self.model.material.stress(self.gradients(reference, elements))

    def _nodal_gradients(self) -> np.ndarray:
        """(n_nodes, 3, 3) displacement gradients averaged to the nodes (kept once computed)."""
        if self._nodal_gradient is None:
            mesh = self.model.mesh
            self._nodal_gradient = queries.nodal_average_gradients(
                mesh.points,
                mesh.tetrahedra,
                self.model.numbering.element_nodes,
                self.displacement,
                curved_elements(mesh),
            )
            self._nodal_gradient.setflags(write=False)
        return self._nodal_gradient

    def nodal_stress(self) -> np.ndarray:
        """(n_nodes, 3, 3) stress at every node, averaged over the elements that share it.

        Each element's stress is taken at its ten nodes; averaging commutes with the material's
        linear map, so the gradients are averaged first and turned into stresses once per node.
        """
        if self._nodal_stress is None:
            gradient = self._nodal_gradient
            if gradient is None:  # not kept: the gradients are needed here only
                mesh = self.model.mesh
                gradient = queries.nodal_average_gradients(
                    mesh.points,
                    mesh.tetrahedra,
                    self.model.numbering.element_nodes,
                    self.displacement,
                    curved_elements(mesh),
                )
            self._nodal_stress = self.model.material.stress(gradient)
            self._nodal_stress.setflags(write=False)
        return self._nodal_stress

    def principal_stresses(self) -> tuple[np.ndarray, np.ndarray]:
        """Principal stresses and directions at the nodes, of the stresses averaged to them.

        Returns
        -------
        values : (n_nodes, 3) float64
            sigma_1 >= sigma_2 >= sigma_3 (also the fields "principal_1" .. "principal_3").
        directions : (n_nodes, 3, 3) float64
            Column k is the unit direction of values[:, k].
        """
        return principal_stresses(self.nodal_stress())

    def field(self, name: str) -> np.ndarray:
        """A named scalar field at the nodes, (n_nodes,) float64.

        Names: "displacement_magnitude" (also "displacement"), "ux", "uy", "uz"; of the stress
        averaged to the nodes: "von_mises", "tresca" (sigma_1 - sigma_3), the principal stresses
        "principal_1" >= "principal_2" >= "principal_3", and the components "stress_xx",
        "stress_yy", "stress_zz", "stress_xy", "stress_xz", "stress_yz".
        """
        if name in ("displacement", "displacement_magnitude"):
            return np.linalg.norm(self.displacement, axis=1)
        if name in _DISPLACEMENT:
            return self.displacement[:, _DISPLACEMENT[name]].copy()
        if name in STRESS_MEASURES:
            return queries.stress_measure(name, self.nodal_stress())
        names = ["displacement_magnitude", "displacement", *_DISPLACEMENT, *STRESS_MEASURES]
        raise ValueError(f"unknown field {name!r}; the fields are {names}")

    # Energy and errors ----------------------------------------------------------------------
    def strain_energy(
        self, elements: str | Sequence[int] | np.ndarray | None = None, *, method: str = "integral"
    ) -> float:
        """The strain energy stored in the elements: 1/2 integral of sigma : eps (or 1/2 u . K u).

        Parameters
        ----------
        elements : str, sequence of int or bool array, optional
            An element group, element indices or a mask over the elements (default: all).
        method : {"integral", "matrix"}
            "integral": by the element's 14-point rule, exact for the quadratic elements; "matrix":
            1/2 u . K u with K the stiffness the core assembles for the material alone (without
            supports or springs; needs scipy, the "sparse" extra), over every element. Both agree
            to rounding; with supports prescribing zero they equal 1/2 f . u, the work of the loads.

        Returns
        -------
        float
        """
        if method not in ("integral", "matrix"):
            raise ValueError(f"method must be 'integral' or 'matrix', got {method!r}")
        chosen = queries.element_selection(self.model.mesh, elements)
        if method == "matrix":
            if chosen is not None:
                raise ValueError("method='matrix' measures every element; use method='integral' for a part")
            return queries.stiffness_energy(self.model, self.displacement)
        mesh = self.model.mesh
        return queries.strain_energy(
            mesh.points,
            mesh.tetrahedra,
            self.model.numbering.element_nodes,
            self.displacement,
            self.model.material.matrix,
            chosen,
            curved_elements(mesh),
        )

    def energy_error(self, exact: queries.ExactGradient) -> float:
        """The energy norm of the error, sqrt(integral of (eps(u) - eps(u_h)) : C : (eps(u) - eps(u_h))).

        It converges one order slower than `l2_error` (h^2 against h^3 for these elements) and
        weighs the stresses; divide by sqrt(2 * strain_energy()) for a relative error.

        Parameters
        ----------
        exact : sequence of 3 expressions or numbers, or callable
            The exact displacement (ux, uy, uz) written with `x`, `y`, `z` (differentiated here),
            or a function of points (k, 3) returning the exact gradients (k, 3, 3), du_d/dx_l
            at [k, d, l].

        Returns
        -------
        float
            Integrated by the element's 14-point rule.
        """
        gradient = queries.gradient_function(exact)
        mesh = self.model.mesh
        return queries.energy_error(
            mesh.points,
            mesh.tetrahedra,
            self.model.numbering.element_nodes,
            self.displacement,
            self.model.material.matrix,
            gradient,
            curved_elements(mesh),
        )

    def l2_error(self, exact: Sequence[ExprLike]) -> float:
        """The L2 norm of the difference from an exact displacement field, by the element's 14-point rule.

        The core measures it on a straight mesh; on a mesh with curved elements it is measured
        here, with the same rule, through the curved elements' isoparametric map.

        Parameters
        ----------
        exact : sequence of 3 expressions or numbers
            (ux, uy, uz) written with `x`, `y`, `z`.
        """
        mesh = self.model.mesh
        curved = curved_elements(mesh)
        if curved is not None:
            components = vector_field(exact, "exact")

            def evaluate(query: np.ndarray) -> np.ndarray:
                return np.stack([np.broadcast_to(c(query), (len(query),)) for c in components], axis=1)

            element_nodes = self.model.numbering.element_nodes
            return queries.l2_error(mesh.points, mesh.tetrahedra, element_nodes, self.displacement, evaluate, curved)
        if self.nexus is None:
            raise RuntimeError("this result holds no solved core model")
        arena, nodes = to_arena(vector_field(exact, "exact"))
        return float(self.nexus.error(arena, nodes))

    # Output ---------------------------------------------------------------------------------
    def write(self, path: str, fields: Sequence[str] = ("von_mises",), units: Units | None = None) -> None:
        """Writes a VTU file of the quadratic mesh with displacement, stress and `fields` (needs meshio).

        Open it in ParaView; "Warp By Vector" on "displacement" shows the deformed shape.

        Parameters
        ----------
        path : str
            A ".vtu" file (ParaView's XML format), ".vtk" (legacy VTK) or ".xdmf" (with an .h5
            file beside it); others raise ValueError.
        fields : sequence of str
            Names accepted by `field`, written as node arrays of those names; the magnitude of
            the displacement (asked for as "displacement") is written as "displacement_magnitude",
            beside the vector "displacement".
        units : Units, optional
            The units the arrays are labelled with (default: the model's `units`, if any).
        """
        from .output import write_vtu

        parallel.on_root(lambda: write_vtu(self, path, fields, units))  # under MPI: rank 0 writes, the others wait

    def save(self, path: str, *, stresses: bool = False) -> None:
        """Saves the result to one .npz file that `quarvex_tools.load_result` reads back without solving.

        Parameters
        ----------
        path : str
            The file to write (replaced whole, or left as it was when the write fails).
        stresses : bool
            Also store the nodal stresses (9 numbers a node), so that loading need not recover them.
        """
        from .storage import save_result

        parallel.on_root(lambda: save_result(self, path, stresses=stresses))  # under MPI: rank 0 writes

    def to_pyvista(self, fields: Sequence[str] = ("von_mises",)) -> Any:
        """The result as a pyvista UnstructuredGrid of quadratic tetrahedra (needs pyvista: the pyvista extra)."""
        from .output import to_pyvista

        return to_pyvista(self, fields)

    def _repr_html_(self) -> str:
        from .storage import result_repr_html

        return result_repr_html(self)

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

        def draw() -> float:
            return plot_result(self, path, field=field, scale=scale, **options)  # type: ignore[arg-type]

        return parallel.on_root(draw)  # under MPI: rank 0 draws, and every rank returns its scale
