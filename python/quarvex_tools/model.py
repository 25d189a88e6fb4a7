"""An elasticity problem on a mesh: supports, loads, assembly in the core and the solve.

`Elasticity` gathers prescribed displacements and loads on the P2 nodes of a mesh, then
hands the core its arrays: the mesh, the numbering, the material matrix and the body
forces (as arena expressions); surface and point loads are integrated here and added to
the assembled load vector.
"""
from __future__ import annotations

import warnings
from collections.abc import Callable, Sequence
from typing import Any, Union

import numpy as np

import quarvex

from . import supports, system
from .expressions import Expr, ExprLike, _as_expr, constant, to_arena, vector_field
from .materials import Material
from .mesh import OUTWARD_FACES, Mesh
from .numbering import Dofs, Numbering, check_numbering, core_arrays, number_dofs, p2_numbering
from .p2 import TET_POINTS, TRIANGLE_EDGES, TRIANGLE_POINTS, TRIANGLE_WEIGHTS, triangle_shape_values
from .results import Result
from .solvers import DEFAULT_METHOD, solve_system

Region = Union[str, Callable[[np.ndarray], np.ndarray], Sequence[int], np.ndarray]
VectorValue = Union[float, Sequence[ExprLike], Callable[[np.ndarray], np.ndarray]]
ScalarValue = Union[ExprLike, Callable[[np.ndarray], np.ndarray]]

_AXES = {"x": 0, "y": 1, "z": 2}
_CHUNK = 1 << 16  # elements per block when body forces are evaluated for checking


def _face_keys(triangles: np.ndarray, n: int) -> np.ndarray:
    """One int64 key per triangle, the same for any order of its three point indices."""
    s = np.sort(triangles, axis=1)
    base = np.int64(max(n, 1))
    return (s[:, 0] * base + s[:, 1]) * base + s[:, 2]


def _index_array(given: Any, what: str) -> np.ndarray:
    """(k,) int64 indices from an integer sequence or array; floats and other values are refused."""
    array = np.asarray(given)
    if array.size == 0:
        return np.zeros(0, dtype=np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(
            f"{what} must be integers, got {array.dtype} values: pass integer indices or a bool mask "
            "(a predicate on coordinates selects by position)"
        )
    return array.astype(np.int64).ravel()


def _check_finite(values: np.ndarray, points: np.ndarray, what: str) -> None:
    """Raises ValueError naming the first point where values (k,) or (k, c) are NaN or infinite."""
    bad = ~np.isfinite(values)
    if bad.any():
        row = int(np.argmax(bad.reshape(len(values), -1).any(axis=1)))
        raise ValueError(f"{what} must be finite; it is {values[row].tolist()} at {tuple(points[row].tolist())}")


def _components(components: str | int | Sequence[int]) -> list[int]:
    if isinstance(components, str):
        if not components or any(c not in _AXES for c in components):
            raise ValueError(f"components must be letters of 'xyz', got {components!r}")
        chosen = [_AXES[c] for c in components]
    elif isinstance(components, (int, np.integer)):
        chosen = [int(components)]
    else:
        chosen = [int(c) for c in components]
    if not chosen or any(c not in (0, 1, 2) for c in chosen):
        raise ValueError(f"components must be among 0, 1, 2 (x, y, z), got {components!r}")
    return sorted(set(chosen))


def _vector_values(value: Any, points: np.ndarray, name: str) -> np.ndarray:
    """(k, 3) values of a constant, a 3-vector of numbers or expressions, or a callable on points."""
    if callable(value) and not isinstance(value, Expr):
        out = np.asarray(value(points), dtype=np.float64)
        if out.shape != (len(points), 3):
            raise ValueError(f"{name}(points) must return shape ({len(points)}, 3), got {out.shape}")
        return out
    if isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool):
        return np.full((len(points), 3), float(value))
    components = vector_field(value, name)
    with np.errstate(all="ignore"):  # values that are not finite are refused by the caller
        return np.column_stack([c(points) for c in components]).reshape(len(points), 3)


def _scalar_values(value: Any, points: np.ndarray, name: str) -> np.ndarray:
    """(k,) values of a number, an expression or a callable on points."""
    if callable(value) and not isinstance(value, Expr):
        out = np.asarray(value(points), dtype=np.float64)
        if out.shape != (len(points),):
            raise ValueError(f"{name}(points) must return shape ({len(points)},), got {out.shape}")
        return out
    expression = _as_expr(value)
    with np.errstate(all="ignore"):  # values that are not finite are refused by the caller
        return expression(points)


class Elasticity:
    """Small-strain linear elasticity on quadratic tetrahedra.

    Parameters
    ----------
    mesh : Mesh
    material : Material
    numbering : Numbering, optional
        The P2 numbering of `mesh` (made with `p2_numbering` unless given).

    Examples
    --------
    >>> model = Elasticity(box_mesh(30, 3, 3, size=(10, 1, 1)), isotropic(E=210e9, nu=0.3))
    >>> model.fix("xmin")
    >>> model.body_force((0.0, 0.0, -7850 * 9.81))
    >>> result = model.solve()

    Attributes
    ----------
    mesh, material, numbering
    nexus : quarvex.Nexus or None
        The core model of the last `assemble` or `solve`.
    dofs : Dofs or None
        Its degree-of-freedom numbers.
    nodal_loads : (n_nodes, 3) float64
        Consistent nodal forces of the surface and point loads given so far.
    constraints : system.Constraints or None
        The supports as enforced in `nexus` (with the rows the reactions come from).
    """

    def __init__(self, mesh: Mesh, material: Material, numbering: Numbering | None = None) -> None:
        if not isinstance(mesh, Mesh):
            raise TypeError(f"mesh must be a Mesh, got {type(mesh).__name__}")
        if not isinstance(material, Material):
            raise TypeError(f"material must be a Material, got {type(material).__name__}")
        if numbering is not None:
            check_numbering(numbering, mesh)
        self.mesh = mesh
        self.material = material
        self.numbering = numbering if numbering is not None else p2_numbering(mesh)
        n_nodes = self.numbering.n_nodes
        self.nodal_loads = np.zeros((n_nodes, 3))
        self.nexus: quarvex.Nexus | None = None
        self.dofs: Dofs | None = None
        self.constraints: system.Constraints | None = None
        self._point_loads: np.ndarray | None = None  # (n_nodes, 3), made by the first point load
        self._fixed = np.zeros((n_nodes, 3), dtype=bool)
        self._fixed_values = np.zeros((n_nodes, 3))
        # Conditions n . u = g beyond the axes: (nodes, unit normals, values) per call.
        self._normal_supports: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []
        # Springs to ground: (face nodes (k, 6), face mass (k, 6, 6), stiffness per area (k, 3, 3)).
        self._springs: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []
        self._body_forces: list[tuple[np.ndarray | None, tuple[Expr, Expr, Expr]]] = []
        self._boundary: tuple[np.ndarray, np.ndarray] | None = None
        self._element_face_keys: np.ndarray | None = None  # sorted keys of the elements' faces, each once

    # Regions ----------------------------------------------------------------------
    def nodes(self, where: Region) -> np.ndarray:
        """The P2 nodes of a region.

        Parameters
        ----------
        where : str, callable, sequence of int or bool array
            A face group of the mesh (its vertices and edge nodes); a predicate on node
            coordinates, called with an (n, 3) array and returning (n,) bool; point indices
            (those vertices and the edges between two of them); or a mask over the nodes.
            A predicate also takes, whole, every boundary face whose three vertices it holds:
            the edge midpoints of a straight-sided face lie just inside a curved surface, so
            that a predicate describing the surface exactly holds the faces' vertices only.

        Returns
        -------
        (k,) int64 node indices, increasing

        Raises
        ------
        TypeError
            For indices that are not integers (floats, say) and regions of no known kind.
        ValueError
            For a mask of the wrong length, indices out of range, or a face group whose
            triangles are not faces of the mesh.
        """
        numbering = self.numbering
        if isinstance(where, str):
            faces = self._face_group(where)
            self._check_mesh_faces(where, faces)
            return np.unique(self.face_nodes(faces))
        if callable(where):
            mask = self._predicate_mask(where)
            boundary = self._boundary_faces()
            whole = boundary[mask[boundary].all(axis=1)]
            mask[self.face_nodes(whole)] = True
            return np.flatnonzero(mask)
        given = np.asarray(where)
        if given.dtype == bool:
            if given.shape != (numbering.n_nodes,):
                raise ValueError(
                    f"a node mask must have shape ({numbering.n_nodes},) (points, then edge midpoints), "
                    f"got {given.shape}"
                )
            return np.flatnonzero(given)
        vertices = np.unique(_index_array(given, "point indices"))
        if len(vertices) and (vertices[0] < 0 or vertices[-1] >= numbering.n_vertices):
            raise ValueError(f"vertex indices must lie in 0..{numbering.n_vertices - 1}")
        inside = np.zeros(numbering.n_vertices, dtype=bool)
        inside[vertices] = True
        edges = np.flatnonzero(inside[numbering.edges].all(axis=1))
        return np.concatenate([vertices, numbering.n_vertices + edges])

    def _face_group(self, name: str) -> np.ndarray:
        try:
            return self.mesh.face_groups[name]
        except KeyError:
            raise KeyError(f"the mesh has no face group {name!r}; it has {sorted(self.mesh.face_groups)}") from None

    def _check_mesh_faces(self, name: str, faces: np.ndarray) -> None:
        """Refuses a face group holding triangles that are no element's face."""
        if self._element_face_keys is None:
            every_face = self.mesh.tetrahedra[:, OUTWARD_FACES].reshape(-1, 3)
            self._element_face_keys = np.unique(_face_keys(every_face, self.numbering.n_vertices))
        known = self._element_face_keys
        wanted = _face_keys(faces, self.numbering.n_vertices)
        found = np.minimum(np.searchsorted(known, wanted), max(len(known) - 1, 0))
        hit = known[found] == wanted if len(known) else np.zeros(len(wanted), dtype=bool)
        if not hit.all():
            stray = np.flatnonzero(~hit)
            raise ValueError(
                f"face group {name!r} holds triangles that are no face of an element ({len(stray)} of "
                f"{len(faces)}); the first is triangle {stray[0]}, points {tuple(faces[stray[0]].tolist())}"
            )

    def _predicate_mask(self, where: Callable[[np.ndarray], np.ndarray]) -> np.ndarray:
        """(n_nodes,) bool, a fresh array: the predicate's answer at every node."""
        n_nodes = self.numbering.n_nodes
        mask = np.asarray(where(self.numbering.node_points))
        if mask.shape != (n_nodes,) or mask.dtype != bool:
            raise ValueError(
                f"a region predicate must return a bool array of shape ({n_nodes},) "
                f"for points of shape ({n_nodes}, 3); got {mask.dtype} {mask.shape}"
            )
        return mask.copy()

    def _boundary_faces(self) -> np.ndarray:
        """(k, 3) the mesh's boundary triangles, outward, computed once."""
        if self._boundary is None:
            self._boundary = self.mesh.boundary_faces()
        return self._boundary[0]

    def boundary_faces(self, where: Region) -> np.ndarray:
        """Boundary triangles of a region, oriented with outward normals.

        Parameters
        ----------
        where : str or callable
            A face group (each face must lie on the boundary), or a predicate on coordinates:
            the boundary faces whose three vertices satisfy it (so that a predicate describing
            a curved surface holds its straight-sided faces, whose edge midpoints lie off it).

        Returns
        -------
        (k, 3) int64 point indices
        """
        faces = self._boundary_faces()
        if isinstance(where, str):
            wanted = _face_keys(self._face_group(where), self.numbering.n_vertices)
            boundary_keys = _face_keys(faces, self.numbering.n_vertices)
            order = np.argsort(boundary_keys)
            found = np.minimum(np.searchsorted(boundary_keys[order], wanted), max(len(order) - 1, 0))
            hit = boundary_keys[order][found] == wanted if len(order) else np.zeros(len(wanted), dtype=bool)
            if not hit.all():
                stray = np.flatnonzero(~hit)
                raise ValueError(
                    f"faces {stray[:5].tolist()} of face group {where!r} are not on the boundary of the mesh"
                )
            return faces[order[found]]
        if callable(where):
            vertex_mask = self._predicate_mask(where)[: self.numbering.n_vertices]
            return faces[vertex_mask[faces].all(axis=1)]
        raise TypeError("a surface is given by a face group name or a predicate on coordinates")

    def face_nodes(self, faces: np.ndarray) -> np.ndarray:
        """(k, 6) P2 nodes of triangles: vertices, then edges (0,1), (1,2), (0,2).

        Raises
        ------
        ValueError
            When a triangle's side is no edge of the mesh.
        """
        faces = np.asarray(faces, dtype=np.int64).reshape(-1, 3)
        sides = faces[:, TRIANGLE_EDGES]  # (k, 3, 2)
        edges = self.numbering.edge_index(sides[..., 0].ravel(), sides[..., 1].ravel())
        if (edges < 0).any():
            first = int(np.argmax(edges < 0))
            triangle, side = divmod(first, 3)
            i, j = faces[triangle, TRIANGLE_EDGES[side]]
            raise ValueError(f"side ({i}, {j}) of triangle {triangle}, {tuple(faces[triangle].tolist())}, "
                             "is no edge of the mesh")
        return np.concatenate([faces, self.numbering.n_vertices + edges.reshape(-1, 3)], axis=1)

    # Supports -------------------------------------------------------------------------
    def fix(self, where: Region, components: str | int | Sequence[int] = "xyz", value: VectorValue = 0.0) -> int:
        """Prescribes displacement components on a region.

        Parameters
        ----------
        where : str, callable or sequence of int
            The region, as for `nodes`.
        components : str or int or sequence of int
            Which components: "xyz" (clamped), "x" (a roller that keeps x), (0, 2), ...
        value : float, sequence of 3 numbers or expressions, or callable
            The displacement: one number for every chosen component, a vector (x, y, z) of
            which the chosen components are used, or a function of the node coordinates
            (k, 3) returning (k, 3).

        Returns
        -------
        int : the number of nodes the region holds

        Raises
        ------
        ValueError
            When the region holds no node, or a chosen component's value is NaN or infinite.
        """
        nodes = self.nodes(where)
        if len(nodes) == 0:
            raise ValueError(f"the region {where!r} holds no node of the mesh")
        chosen = _components(components)
        points = self.numbering.node_points[nodes]
        values = _vector_values(value, points, "value")
        _check_finite(values[:, chosen], points, "a prescribed displacement")
        columns = np.asarray(chosen, dtype=np.intp)
        self._fixed[np.ix_(nodes, columns)] = True
        self._fixed_values[np.ix_(nodes, columns)] = values[:, columns]
        return len(nodes)

    def frictionless(self, where: str | Callable[[np.ndarray], np.ndarray], value: ScalarValue = 0.0) -> int:
        """Prescribes the displacement normal to boundary faces, leaving them free to slide.

        A frictionless (sliding) support, on a flat face at any angle or on a curved one: each
        node of the faces keeps u . n = value along its normal n (the area-weighted mean of its
        faces' outward normals), and moves freely in the tangent plane. Where it meets other
        supports (another face, an axis roller) the node keeps all their conditions; conditions
        that contradict each other are refused by `assemble`.

        Parameters
        ----------
        where : str or callable
            A face group or a predicate on coordinates (see `boundary_faces`); give one call per
            flat or smoothly curved face, since normals are averaged within a call.
        value : number, expression or callable
            The outward normal displacement (0: the face slides on its support).

        Returns
        -------
        int : the number of nodes constrained
        """
        faces = self._loaded_faces(where)
        _, normals, double_area = self._face_geometry(faces)
        nodes, node_normals = supports.vertex_normals(self.face_nodes(faces), normals, 0.5 * double_area,
                                                      self.numbering.n_nodes)
        values = _scalar_values(value, self.numbering.node_points[nodes], "value")
        _check_finite(values, self.numbering.node_points[nodes], "the normal displacement")
        self._normal_supports.append((nodes, node_normals, np.asarray(values, dtype=np.float64)))
        return len(nodes)

    def elastic_support(
        self, where: str | Callable[[np.ndarray], np.ndarray], stiffness: float | Sequence[float] = 0.0,
        normal: float = 0.0,
    ) -> int:
        """Adds springs to ground spread over boundary faces (an elastic foundation).

        The faces feel the traction -S u with S = diag(stiffness) + normal n n^T per unit area:
        `stiffness` resists motion along x, y, z (one number for all three), `normal` motion
        along the face's outward normal n only.

        Parameters
        ----------
        where : str or callable
            A face group or a predicate on coordinates (see `boundary_faces`).
        stiffness : float or (3,) float
            Spring stiffness per unit area along x, y, z (force / length^3), >= 0.
        normal : float
            Spring stiffness per unit area along the normal, >= 0.

        Returns
        -------
        int : the number of faces supported
        """
        axes = np.broadcast_to(np.asarray(stiffness, dtype=np.float64), (3,)).copy()
        normal = float(normal)
        if not (np.all(np.isfinite(axes)) and np.isfinite(normal)) or axes.min() < 0.0 or normal < 0.0:
            raise ValueError(f"spring stiffness must be finite and >= 0, got {stiffness!r} and normal={normal!r}")
        faces = self._loaded_faces(where)
        _, normals, double_area = self._face_geometry(faces)
        per_area = np.diag(axes)[None, :, :] + normal * np.einsum("ki,kj->kij", normals, normals)
        mass = supports.face_mass(triangle_shape_values(TRIANGLE_POINTS), TRIANGLE_WEIGHTS, 0.5 * double_area)
        self._springs.append((self.face_nodes(faces), mass, per_area))
        return len(faces)

    def spring_forces(self, displacement: np.ndarray) -> np.ndarray:
        """(n_nodes, 3) forces of the elastic supports on the nodes at a displacement: -K_s u."""
        forces = np.zeros((self.numbering.n_nodes, 3))
        for nodes, mass, per_area in self._springs:
            face_forces = -np.einsum("kab,kij,kbj->kai", mass, per_area, displacement[nodes])
            for c in range(3):
                forces[:, c] += np.bincount(nodes.ravel(), face_forces[:, :, c].ravel(), self.numbering.n_nodes)
        return forces

    # Loads ---------------------------------------------------------------------------
    def body_force(self, force: Sequence[ExprLike], elements: str | Sequence[int] | np.ndarray | None = None) -> None:
        """Adds a force per unit volume.

        Parameters
        ----------
        force : sequence of 3 numbers or expressions
            (fx, fy, fz), e.g. (0, 0, -rho * g) or (sin(x) * y, 0, 0).
        elements : str, sequence of int or bool array, optional
            An element group of the mesh, tetrahedron indices or a mask over the tetrahedra
            (default: every element).

        Raises
        ------
        TypeError
            For element indices that are not integers.
        ValueError
            For indices out of range, a mask of the wrong length, or a force that is NaN or
            infinite at a quadrature point of the elements it acts on.
        """
        components = vector_field(force, "force")
        m = len(self.mesh.tetrahedra)
        chosen = None
        if elements is not None:
            if isinstance(elements, str):
                try:
                    chosen = self.mesh.element_groups[elements]
                except KeyError:
                    raise KeyError(
                        f"the mesh has no element group {elements!r}; it has {sorted(self.mesh.element_groups)}"
                    ) from None
            elif np.asarray(elements).dtype == bool:
                mask = np.asarray(elements)
                if mask.shape != (m,):
                    raise ValueError(f"an element mask must have shape ({m},), got {mask.shape}")
                chosen = np.flatnonzero(mask)
            else:
                chosen = np.unique(_index_array(elements, "element indices"))
                if len(chosen) and (chosen[0] < 0 or chosen[-1] >= m):
                    raise ValueError(f"element indices must lie in 0..{m - 1}")
        self._check_body_force(components, chosen)
        self._body_forces.append((chosen, components))

    def _check_body_force(self, components: tuple[Expr, Expr, Expr], elements: np.ndarray | None) -> None:
        """Refuses a body force that is NaN or infinite where the core will evaluate it."""
        if all(c.op == "const" for c in components):
            value = np.array([c.args[0] for c in components])
            if not np.isfinite(value).all():
                raise ValueError(f"the body force must be finite, got {value.tolist()}")
            return
        tets = self.mesh.tetrahedra if elements is None else self.mesh.tetrahedra[elements]
        barycentric = np.column_stack([1.0 - TET_POINTS.sum(axis=1), TET_POINTS])  # (14, 4)
        for start in range(0, len(tets), _CHUNK):
            corners = self.mesh.points[tets[start:start + _CHUNK]]
            points = np.matmul(barycentric, corners).reshape(-1, 3)  # (k, 14, 3): sum over v of l_qv x_kv
            _check_finite(_vector_values(components, points, "force"), points, "the body force")

    def traction(self, where: str | Callable[[np.ndarray], np.ndarray], value: VectorValue) -> int:
        """Adds a surface force per unit area on boundary faces.

        Parameters
        ----------
        where : str or callable
            A face group or a predicate on coordinates (see `boundary_faces`).
        value : float, sequence of 3 numbers or expressions, or callable
            The traction vector; a callable gets points (k, 3) and returns (k, 3).

        Returns
        -------
        int : the number of faces loaded
        """
        faces = self._loaded_faces(where)
        self._integrate(faces, lambda points, normals: _vector_values(value, points, "value"), "the traction")
        return len(faces)

    def pressure(self, where: str | Callable[[np.ndarray], np.ndarray], value: ScalarValue) -> int:
        """Adds a pressure on boundary faces: the traction -p n with n the outward normal.

        Parameters
        ----------
        where : str or callable
            A face group or a predicate on coordinates (see `boundary_faces`).
        value : number, expression or callable
            The pressure p (positive pushes into the body); a callable gets points (k, 3).

        Returns
        -------
        int : the number of faces loaded
        """
        faces = self._loaded_faces(where)
        self._integrate(faces, lambda points, normals: -_scalar_values(value, points, "value")[:, None] * normals,
                        "the pressure")
        return len(faces)

    def point_load(self, at: int | Sequence[float], force: Sequence[float]) -> int:
        """Adds a force at one node.

        Parameters
        ----------
        at : int or (3,) float
            A point index, or coordinates that must coincide with a node.
        force : (3,) float

        Returns
        -------
        int : the node loaded

        Raises
        ------
        ValueError
            For a force or coordinates that are not finite, an index out of range, or
            coordinates where no node lies.
        """
        vector = np.asarray(force, dtype=np.float64)
        if vector.shape != (3,):
            raise ValueError(f"force must have three components, got shape {vector.shape}")
        if not np.isfinite(vector).all():
            raise ValueError(f"the point load must be finite, got {vector.tolist()}")
        if isinstance(at, (int, np.integer)) and not isinstance(at, (bool, np.bool_)):
            node = int(at)
            if not 0 <= node < self.numbering.n_vertices:
                raise ValueError(f"point index {node} out of range 0..{self.numbering.n_vertices - 1}")
        else:
            target = np.asarray(at, dtype=np.float64)
            if target.shape != (3,) or not np.isfinite(target).all():
                raise ValueError(f"a point load acts at a point index or at finite coordinates (x, y, z), got {at!r}")
            distance = np.linalg.norm(self.numbering.node_points - target, axis=1)
            node = int(np.argmin(distance))
            size = float(np.linalg.norm(np.ptp(self.mesh.points, axis=0)))
            if distance[node] > 1e-9 * size:
                raise ValueError(
                    f"no node at {tuple(target)}: the nearest, node {node} at "
                    f"{tuple(self.numbering.node_points[node])}, is {distance[node]:.3g} away"
                )
        self.nodal_loads[node] += vector
        if self._point_loads is None:
            self._point_loads = np.zeros((self.numbering.n_nodes, 3))
        self._point_loads[node] += vector
        return node

    def _loaded_faces(self, where: str | Callable[[np.ndarray], np.ndarray]) -> np.ndarray:
        faces = self.boundary_faces(where)
        if len(faces) == 0:
            raise ValueError(f"the region {where!r} holds no boundary face")
        return faces

    def _face_geometry(self, faces: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Corners (k, 3, 3), outward unit normals (k, 3) and twice the areas (k,) of triangles."""
        corners = self.mesh.points[faces]
        cross = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
        double_area = np.linalg.norm(cross, axis=1)
        return corners, cross / double_area[:, None], double_area

    def _integrate(
        self, faces: np.ndarray, traction: Callable[[np.ndarray, np.ndarray], np.ndarray], what: str
    ) -> None:
        """Adds the consistent nodal forces F_a = integral of N_a t over each quadratic triangle.

        Nothing is added when the traction is NaN or infinite at a quadrature point (ValueError).
        """
        corners, normals, double_area = self._face_geometry(faces)
        quad_points = np.einsum("qv,kvc->kqc", TRIANGLE_POINTS, corners).reshape(-1, 3)
        with np.errstate(all="ignore"):  # values that are not finite are refused just below
            values = traction(quad_points, np.repeat(normals, len(TRIANGLE_WEIGHTS), axis=0))
        _check_finite(values, quad_points, what)
        values = values.reshape(len(faces), len(TRIANGLE_WEIGHTS), 3)
        shapes = triangle_shape_values(TRIANGLE_POINTS)  # (q, 6)
        forces = np.einsum("q,qa,kqc,k->kac", TRIANGLE_WEIGHTS, shapes, values, 0.5 * double_area)
        nodes = self.face_nodes(faces)
        for c in range(3):
            self.nodal_loads[:, c] += np.bincount(nodes.ravel(), forces[:, :, c].ravel(), self.numbering.n_nodes)

    # Assembly and solve ---------------------------------------------------------------------
    @property
    def fixed(self) -> np.ndarray:
        """(n_nodes, 3) bool: the prescribed components (a copy)."""
        return self._fixed.copy()

    def supports(self) -> supports.ResolvedSupports:
        """Every node's constraints along its own axes, the frictionless ones turned into frames.

        Raises
        ------
        ValueError
            When a node's supports contradict each other.
        """
        if self._normal_supports:
            nodes, normals, values = (np.concatenate(parts) for parts in zip(*self._normal_supports))
        else:
            nodes, normals, values = np.zeros(0, dtype=np.int64), np.zeros((0, 3)), np.zeros(0)
        return supports.resolve(self._fixed, self._fixed_values, nodes, normals, values)

    def assemble(self) -> quarvex.Nexus:
        """Builds and assembles the core model: numbering, material, body forces, loads, supports.

        Every node is numbered free; the supports are then enforced in the assembled system
        (`system.constrain`), which keeps the constrained rows for the reactions.

        Returns
        -------
        quarvex.Nexus
            The assembled and constrained model (also kept as `self.nexus`, its constraints as
            `self.constraints`), ready for `solve_system` or the functions of
            `quarvex_tools.system`; its solution reads along the frames of `self.dofs`.
        """
        resolved = self.supports()
        dofs = number_dofs(self.numbering, resolved.fixed, resolved.values, keep_rows=True,
                           frames=(resolved.frame_nodes, resolved.frames))
        nexus = system.nexus_from_arrays(self.mesh.points, self.mesh.tetrahedra)
        system.set_dof_arrays(nexus, *core_arrays(self.numbering, dofs))
        nexus.set_cmat(self.material.matrix.tolist())
        self._set_body_forces(nexus)
        nexus.set_solver(dofs.n_free, dofs.bc.tolist())
        nexus.assemble()
        numbers = dofs.numbers()
        if (self.nodal_loads != 0.0).any():
            if self._point_loads is not None:
                # A point load along a constrained direction goes straight into the support: say so.
                # (Surface loads reach the edges of supported faces as a matter of course.)
                local = self._point_loads.copy()
                local[dofs.frame_nodes] = np.einsum("kij,kj->ki", dofs.frames, local[dofs.frame_nodes])
                absorbed = (np.abs(local) > 1e-12 * np.abs(self._point_loads).max()) & resolved.fixed
                if absorbed.any():
                    warnings.warn(
                        f"{int(absorbed.sum())} point-loaded components are prescribed displacements; "
                        "their loads go into the supports",
                        RuntimeWarning,
                        stacklevel=2,
                    )
            rhs = system.load_vector(nexus)
            rhs += np.bincount(numbers.ravel(), self.nodal_loads.ravel(), dofs.n_free)
            system.set_load_vector(nexus, rhs)
        for nodes, mass, per_area in self._springs:
            # K[(a, i), (b, j)] += M_ab S_ij for the six nodes a, b of every face.
            blocks = np.einsum("kab,kij->kaibj", mass, per_area)
            face_numbers = numbers[nodes].reshape(len(nodes), 18)
            system.add_matrix_entries(
                nexus,
                np.repeat(face_numbers, 18, axis=1).ravel(),
                np.tile(face_numbers, (1, 18)).ravel(),
                blocks.reshape(len(nodes), 18 * 18).ravel(),
            )
        self.constraints = system.constrain(nexus, dofs.pinned, dofs.pinned_values, dofs.frame_first, dofs.frames)
        self.nexus, self.dofs = nexus, dofs
        return nexus

    def _set_body_forces(self, nexus: quarvex.Nexus) -> None:
        """Gives every element the sum of the body forces on it, one core load group per distinct sum."""
        if not self._body_forces:
            return
        m = len(self.mesh.tetrahedra)
        if len(self._body_forces) > 62:
            raise ValueError("at most 62 body forces can be given")
        code = np.zeros(m, dtype=np.int64)
        for k, (elements, _) in enumerate(self._body_forces):
            if elements is None:
                code |= np.int64(1) << k
            else:
                code[elements] |= np.int64(1) << k
        codes, counts = np.unique(code, return_counts=True)
        commonest = codes[np.argmax(counts)]
        group = 1
        for value in codes:
            force = [constant(0.0)] * 3
            for k, (_, components) in enumerate(self._body_forces):
                if value >> k & 1:
                    force = [f + c for f, c in zip(force, components)]
            arena, nodes = to_arena(force)
            if value == commonest:
                if value != 0:
                    nexus.set_f(0, set(), arena, nodes)
                continue
            members = self.mesh.tetrahedra[code == value]
            nexus.set_f(group, set(map(tuple, members.tolist())), arena, nodes)
            group += 1

    def solve(
        self,
        rtol: float = 1e-8,
        *,
        atol: float = 0.0,
        maxiter: int | None = None,
        method: str = DEFAULT_METHOD,
    ) -> Result:
        """Assembles and solves; returns the displacements with the solver's report.

        Parameters
        ----------
        rtol : float
            Stop when the residual norm is at most rtol times the load vector's norm ...
        atol : float
            ... or at most atol.
        maxiter : int, optional
            Iteration limit.
        method : {"auto", "amg", "direct", "cg"}
            The solver (see `quarvex_tools.solvers.solve_system`); "auto" chooses between
            multigrid and the direct solve from multigrid's first steps.

        Returns
        -------
        Result
            Its `report` says which method ran and why (`report.method`, `report.reason`). A
            RuntimeWarning is emitted when the solver stopped before the tolerance.

        Raises
        ------
        ValueError
            When the supports leave a rigid-body motion free (named in the message), before
            anything is assembled.
        SolverError
            When the solver fails (the message says what to check).
        """
        self._check_fully_supported()
        nexus = self.assemble()
        report = solve_system(nexus, method=method, rtol=rtol, atol=atol, maxiter=maxiter,
                              constraints=self.constraints)
        assert self.dofs is not None and self.constraints is not None
        solution = system.solution(nexus)
        displacement = self.dofs.values(solution)
        return Result(self, displacement, report, nexus, self._reaction_forces(solution, displacement))

    def _check_fully_supported(self) -> None:
        """Raises ValueError naming a rigid-body motion the supports and springs leave free.

        A method of its own, so that its per-node arrays are freed before the solve starts.
        """
        spring_nodes, spring_directions = supports.spring_directions(
            (nodes, per_area) for nodes, _, per_area in self._springs)
        supports.check_fully_supported(self.numbering.node_points, self.supports(), spring_nodes, spring_directions)

    def _reaction_forces(self, solution: np.ndarray, displacement: np.ndarray) -> np.ndarray:
        """(n_nodes, 3) forces of the supports and springs on the nodes, in x, y, z."""
        assert self.dofs is not None and self.constraints is not None
        dofs = self.dofs
        local = np.zeros((self.numbering.n_nodes, 3))
        order = np.argsort(dofs.node_start)  # every node free: start = 3 * (its place in order)
        unknowns = self.constraints.unknowns
        local[order[unknowns // 3], unknowns % 3] = self.constraints.reactions(solution)
        local[dofs.frame_nodes] = np.einsum("kji,kj->ki", dofs.frames, local[dofs.frame_nodes])  # R^T r'
        return local + self.spring_forces(displacement)
