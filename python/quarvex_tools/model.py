"""An elasticity problem on a mesh: supports, loads, assembly in the core and the solve.

`Elasticity` gathers prescribed displacements and loads on the P2 nodes of a mesh, then
hands the core its arrays: the mesh, the numbering, the material matrix and the body
forces (as arena expressions); surface and point loads are integrated here and added to
the assembled load vector.

Loads belong to load cases: those given inside ``with model.load_case("wind"):`` to that case,
the others to the default case. Supports belong to the model and act in every case.
`solve_cases` assembles the matrix once, sets the solver up once and solves every case.
"""

from __future__ import annotations

import contextlib
import logging
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Union

import numpy as np

import quarvex

from . import _native, parallel, supports, system
from ._caller import user_stacklevel
from .cases import DEFAULT_CASE, LoadCase, body_loads, case_system, check_case_name, new_case
from .expressions import Expr, ExprLike, _as_expr, constant, to_arena, vector_field
from .materials import Material
from .mesh import OUTWARD_FACES, Mesh
from .numbering import Dofs, Numbering, check_numbering, core_arrays, number_dofs, p2_numbering
from .p2 import (
    TET_POINTS,
    TRIANGLE_EDGES,
    TRIANGLE_NODES,
    TRIANGLE_POINTS,
    TRIANGLE_WEIGHTS,
    quadratic_triangle_geometry,
    triangle_shape_values,
)
from .results import Result
from .solvers import DEFAULT_METHOD, IterationCallback, solve_each
from .units import Units, as_units

Region = str | Callable[[np.ndarray], np.ndarray] | Sequence[int] | np.ndarray
VectorValue = float | Sequence[ExprLike] | Callable[[np.ndarray], np.ndarray]
ScalarValue = Union[ExprLike, Callable[[np.ndarray], np.ndarray]]  # noqa: UP007 (ExprLike holds a forward reference)

_AXES = {"x": 0, "y": 1, "z": 2}
_CHUNK = 1 << 16  # elements per block when body forces are evaluated for checking
_log = logging.getLogger(__name__)


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
    units : Units or dict, optional
        The units the model's numbers are in (``Units(length="mm", force="N")``): they label
        printed values, pictures and files; nothing is converted.

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
        Consistent nodal forces of the surface and point loads given so far to the current
        load case (the default case outside any `load_case` block).
    constraints : system.Constraints or None
        The supports as enforced in `nexus` (with the rows the reactions come from).
    """

    def __init__(
        self, mesh: Mesh, material: Material, numbering: Numbering | None = None, *, units: Units | dict | None = None
    ) -> None:
        if not isinstance(mesh, Mesh):
            raise TypeError(f"mesh must be a Mesh, got {type(mesh).__name__}")
        if not isinstance(material, Material):
            raise TypeError(f"material must be a Material, got {type(material).__name__}")
        if numbering is not None:
            check_numbering(numbering, mesh)
        self.mesh = mesh
        self.material = material
        self.units = as_units(units)  # labels of printed and drawn values; nothing is converted
        if numbering is None:
            start = time.perf_counter()
            numbering = p2_numbering(mesh)
            _log.info(
                "numbered %d nodes (%d points, %d edges) in %.2f s",
                numbering.n_nodes,
                numbering.n_vertices,
                len(numbering.edges),
                time.perf_counter() - start,
            )
        self.numbering = numbering
        n_nodes = self.numbering.n_nodes
        self.nexus: quarvex.Nexus | None = None
        self.dofs: Dofs | None = None
        self.constraints: system.Constraints | None = None
        self._cases: dict[str, LoadCase] = {DEFAULT_CASE: new_case(DEFAULT_CASE, n_nodes)}
        self._current = DEFAULT_CASE  # the case that loads given now go to
        self._fixed = np.zeros((n_nodes, 3), dtype=bool)
        self._fixed_values = np.zeros((n_nodes, 3))
        # Conditions n . u = g beyond the axes: (nodes, unit normals, values) per call.
        self._normal_supports: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []
        # Springs to ground: (face nodes (k, 6), face mass (k, 6, 6), stiffness per area (k, 3, 3)); on a
        # curved mesh the last two per quadrature point, (k, 7, 6, 6) and (k, 7, 3, 3) (`supports.spring_blocks`).
        self._springs: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []
        self._boundary: tuple[np.ndarray, np.ndarray] | None = None
        self._element_face_keys: np.ndarray | None = None  # sorted keys of the elements' faces, each once

    def __repr__(self) -> str:
        from .storage import model_repr

        return model_repr(self)

    def _repr_html_(self) -> str:
        from .storage import model_repr_html

        return model_repr_html(self)

    # Load cases -------------------------------------------------------------------
    @contextlib.contextmanager
    def load_case(self, name: str) -> Iterator[Elasticity]:
        """Gives the loads of a named load case: those added inside the block belong to it alone.

        Supports belong to the model, not to a case: `fix`, `frictionless` and
        `elastic_support` are refused inside the block. A name used again adds to that case.

        Parameters
        ----------
        name : str
            The case's name; ``"default"`` is the case of the loads given outside any block.

        Yields
        ------
        Elasticity
            This model.

        Raises
        ------
        ValueError
            For an empty name, or a block opened inside another.

        Examples
        --------
        >>> model.body_force((0.0, 0.0, -7850 * 9.81))       # the default case
        >>> with model.load_case("wind"):
        ...     model.traction("xmax", (-500.0, 0.0, 0.0))
        >>> results = model.solve_cases()                     # {"default": Result, "wind": Result}
        """
        name = check_case_name(name)
        if self._current != DEFAULT_CASE:
            raise ValueError(f"load case {name!r} opened inside load case {self._current!r}: close that one first")
        if name not in self._cases:
            self._cases[name] = new_case(name, self.numbering.n_nodes)
        self._current = name
        try:
            yield self
        finally:
            self._current = DEFAULT_CASE

    @property
    def load_cases(self) -> list[str]:
        """The names of the cases that hold loads, in the order they were first given (the default first)."""
        return [name for name, case in self._cases.items() if not case.is_empty()]

    def clear_loads(self, case: str | None = None) -> None:
        """Removes the loads of one case, or of every case; the supports stay.

        Parameters
        ----------
        case : str, optional
            The case to empty (a named case is forgotten); None empties every case.

        Raises
        ------
        KeyError
            For a case the model does not have.
        ValueError
            Inside a `load_case` block.
        """
        if self._current != DEFAULT_CASE:
            raise ValueError(f"clear_loads inside load case {self._current!r}: call it outside the block")
        n_nodes = self.numbering.n_nodes
        if case is None:
            self._cases = {DEFAULT_CASE: new_case(DEFAULT_CASE, n_nodes)}
            return
        self._case_named(case)
        if case == DEFAULT_CASE:
            self._cases[DEFAULT_CASE] = new_case(DEFAULT_CASE, n_nodes)
        else:
            del self._cases[case]

    def _case_named(self, name: str) -> LoadCase:
        check_case_name(name)
        try:
            return self._cases[name]
        except KeyError:
            raise KeyError(f"the model has no load case {name!r}; it has {list(self._cases)}") from None

    @property
    def nodal_loads(self) -> np.ndarray:
        """(n_nodes, 3) float64: the surface and point loads of the current case (the array itself)."""
        return self._cases[self._current].nodal_loads

    @property
    def _body_forces(self) -> list:
        return self._cases[self._current].body_forces

    def _refuse_in_case(self, what: str) -> None:
        """Supports act in every case: refused inside a load case's block."""
        if self._current != DEFAULT_CASE:
            raise ValueError(
                f"{what} inside load case {self._current!r}: supports belong to the model and act in every "
                "case; give them outside the `with model.load_case(...)` block"
            )

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
            start = time.perf_counter()
            every_face = self.mesh.tetrahedra[:, OUTWARD_FACES].reshape(-1, 3)
            self._element_face_keys = np.unique(_face_keys(every_face, self.numbering.n_vertices))
            _log.info(
                "listed the elements' %d faces in %.2f s", len(self._element_face_keys), time.perf_counter() - start
            )
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
            start = time.perf_counter()
            self._boundary = self.mesh.boundary_faces()
            _log.info("found %d boundary faces in %.2f s", len(self._boundary[0]), time.perf_counter() - start)
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
            raise ValueError(
                f"side ({i}, {j}) of triangle {triangle}, {tuple(faces[triangle].tolist())}, is no edge of the mesh"
            )
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
        self._refuse_in_case("fix")
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
        self._refuse_in_case("frictionless")
        faces = self._loaded_faces(where)
        _, normals, double_area = self._face_geometry(faces)
        face_nodes = self.face_nodes(faces)
        if len(self.mesh.curved):
            # The normal of each face at each of its six nodes, on the quadratic surface through them.
            _, normals, _ = quadratic_triangle_geometry(self.numbering.node_points[face_nodes], TRIANGLE_NODES)
        nodes, node_normals = supports.vertex_normals(face_nodes, normals, 0.5 * double_area, self.numbering.n_nodes)
        values = _scalar_values(value, self.numbering.node_points[nodes], "value")
        _check_finite(values, self.numbering.node_points[nodes], "the normal displacement")
        self._normal_supports.append((nodes, node_normals, np.asarray(values, dtype=np.float64)))
        return len(nodes)

    def elastic_support(
        self,
        where: str | Callable[[np.ndarray], np.ndarray],
        stiffness: float | Sequence[float] = 0.0,
        normal: float = 0.0,
    ) -> int:
        """Adds springs to ground spread over boundary faces (an elastic foundation).

        The faces feel the traction -S u with S = diag(stiffness) + normal n n^T per unit area:
        `stiffness` resists motion along x, y, z (one number for all three), `normal` motion
        along the face's outward normal n only. On a mesh with curved elements the springs are
        integrated over the quadratic triangles through the faces' six nodes, with the normal n
        and the area element of each quadrature point.

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
        self._refuse_in_case("elastic_support")
        axes = np.broadcast_to(np.asarray(stiffness, dtype=np.float64), (3,)).copy()
        normal = float(normal)
        if not (np.all(np.isfinite(axes)) and np.isfinite(normal)) or axes.min() < 0.0 or normal < 0.0:
            raise ValueError(f"spring stiffness must be finite and >= 0, got {stiffness!r} and normal={normal!r}")
        faces = self._loaded_faces(where)
        face_nodes = self.face_nodes(faces)
        shapes = triangle_shape_values(TRIANGLE_POINTS)
        if len(self.mesh.curved):
            _, point_normals, area_factor = quadratic_triangle_geometry(self.numbering.node_points[face_nodes])
            per_area = np.diag(axes) + normal * np.einsum("kqi,kqj->kqij", point_normals, point_normals)
            # The weights sum to 1 over a reference triangle of area 1/2: dA = |x_s x x_t| / 2 per unit weight.
            mass = supports.face_mass(shapes, TRIANGLE_WEIGHTS, 0.5 * area_factor)
        else:
            _, normals, double_area = self._face_geometry(faces)
            per_area = np.diag(axes)[None, :, :] + normal * np.einsum("ki,kj->kij", normals, normals)
            mass = supports.face_mass(shapes, TRIANGLE_WEIGHTS, 0.5 * double_area)
        self._springs.append((face_nodes, mass, per_area))
        return len(faces)

    def spring_forces(self, displacement: np.ndarray) -> np.ndarray:
        """(n_nodes, 3) forces of the elastic supports on the nodes at a displacement: -K_s u."""
        forces = np.zeros((self.numbering.n_nodes, 3))
        for nodes, mass, per_area in self._springs:
            face_forces = supports.spring_face_forces(mass, per_area, displacement[nodes])
            for c in range(3):
                forces[:, c] += np.bincount(nodes.ravel(), face_forces[:, :, c].ravel(), self.numbering.n_nodes)
        return forces

    # Loads ---------------------------------------------------------------------------
    def body_force(self, force: Sequence[ExprLike], elements: str | Sequence[int] | np.ndarray | None = None) -> None:
        """Adds a force per unit volume to the current load case.

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
            corners = self.mesh.points[tets[start : start + _CHUNK]]
            points = np.matmul(barycentric, corners).reshape(-1, 3)  # (k, 14, 3): sum over v of l_qv x_kv
            _check_finite(_vector_values(components, points, "force"), points, "the body force")

    def traction(self, where: str | Callable[[np.ndarray], np.ndarray], value: VectorValue) -> int:
        """Adds a surface force per unit area on boundary faces, to the current load case.

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
        """Adds a pressure on boundary faces (the traction -p n, n the outward normal) to the current load case.

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
        self._integrate(
            faces, lambda points, normals: -_scalar_values(value, points, "value")[:, None] * normals, "the pressure"
        )
        return len(faces)

    def point_load(self, at: int | Sequence[float], force: Sequence[float]) -> int:
        """Adds a force at one node, to the current load case.

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
        case = self._cases[self._current]
        case.nodal_loads[node] += vector
        if case.point_loads is None:
            case.point_loads = np.zeros((self.numbering.n_nodes, 3))
        case.point_loads[node] += vector
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
        On a mesh with curved elements every face is integrated over its quadratic surface.
        """
        if len(self.mesh.curved):
            self._integrate_curved(faces, traction, what)
            return
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

    def _integrate_curved(
        self, faces: np.ndarray, traction: Callable[[np.ndarray, np.ndarray], np.ndarray], what: str
    ) -> None:
        """`_integrate` over the quadratic triangles through the faces' six nodes, with the normal of each point."""
        nodes = self.face_nodes(faces)
        points, normals, area_factor = quadratic_triangle_geometry(self.numbering.node_points[nodes])
        quad_points = points.reshape(-1, 3)
        with np.errstate(all="ignore"):  # values that are not finite are refused just below
            values = traction(quad_points, normals.reshape(-1, 3))
        _check_finite(values, quad_points, what)
        values = values.reshape(len(faces), len(TRIANGLE_WEIGHTS), 3)
        shapes = triangle_shape_values(TRIANGLE_POINTS)  # (q, 6)
        # The weights sum to 1 over a reference triangle of area 1/2: dA = |x_s x x_t| / 2 per unit weight.
        forces = np.einsum("q,qa,kqc,kq->kac", TRIANGLE_WEIGHTS, shapes, values, 0.5 * area_factor)
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
            nodes, normals, values = (np.concatenate(parts) for parts in zip(*self._normal_supports, strict=False))
        else:
            nodes, normals, values = np.zeros(0, dtype=np.int64), np.zeros((0, 3)), np.zeros(0)
        return supports.resolve(self._fixed, self._fixed_values, nodes, normals, values)

    def assemble(self, case: str | None = None) -> quarvex.Nexus:
        """Builds and assembles the core model: numbering, material, body forces, loads, supports.

        Every node is numbered free; the supports are then enforced in the assembled system
        (`system.constrain`), which keeps the constrained rows for the reactions.

        Parameters
        ----------
        case : str, optional
            The load case whose loads the system takes (default: the default case).

        Returns
        -------
        quarvex.Nexus
            The assembled and constrained model (also kept as `self.nexus`, its constraints as
            `self.constraints`), ready for `solve_system` or the functions of
            `quarvex_tools.system`; its solution reads along the frames of `self.dofs`.
        """
        return self._assemble(self._case_named(DEFAULT_CASE if case is None else case))[0]

    def _assemble(self, case: LoadCase) -> tuple[quarvex.Nexus, np.ndarray]:
        """`assemble` with the loads of `case`; also returns the resolved supports' (n_nodes, 3) mask."""
        start = time.perf_counter()
        resolved = self.supports()
        dofs = number_dofs(
            self.numbering,
            resolved.fixed,
            resolved.values,
            keep_rows=True,
            frames=(resolved.frame_nodes, resolved.frames),
        )
        _log.info(
            "numbered %d unknowns (%d nodes with frames of their own) in %.2f s",
            dofs.n_free,
            len(dofs.frame_nodes),
            time.perf_counter() - start,
        )
        start = time.perf_counter()
        nexus = system.nexus_from_arrays(self.mesh.points, self.mesh.tetrahedra)
        system.set_dof_arrays(nexus, *core_arrays(self.numbering, dofs))
        nexus.set_cmat(self.material.matrix.tolist())
        self._set_body_forces(nexus, case.body_forces)
        nexus.set_solver(dofs.n_free, dofs.bc.tolist())
        if len(self.mesh.curved):  # the isoparametric kernel for the curved elements, the affine one elsewhere
            assert self.mesh.edge_points is not None
            edge_points = self.mesh.edge_points[self.mesh.curved].reshape(-1, 18)
            _native.assemble_curved(nexus, self.mesh.curved, np.ascontiguousarray(edge_points))
        else:
            nexus.assemble()
        _log.info(
            "assembled %d elements, %d unknowns in %.2f s",
            len(self.mesh.tetrahedra),
            dofs.n_free,
            time.perf_counter() - start,
        )
        start = time.perf_counter()
        numbers = dofs.numbers()
        if case.nodal_loads.any():
            self._warn_absorbed(case, dofs, resolved.fixed)
            rhs = system.load_vector(nexus)
            rhs += np.bincount(numbers.ravel(), case.nodal_loads.ravel(), dofs.n_free)
            system.set_load_vector(nexus, rhs)
        for nodes, mass, per_area in self._springs:
            # K[(a, i), (b, j)] += M_ab S_ij for the six nodes a, b of every face.
            blocks = supports.spring_blocks(mass, per_area)
            face_numbers = numbers[nodes].reshape(len(nodes), 18)
            system.add_matrix_entries(
                nexus,
                np.repeat(face_numbers, 18, axis=1).ravel(),
                np.tile(face_numbers, (1, 18)).ravel(),
                blocks.reshape(len(nodes), 18 * 18).ravel(),
            )
        self.constraints = system.constrain(nexus, dofs.pinned, dofs.pinned_values, dofs.frame_first, dofs.frames)
        self.nexus, self.dofs = nexus, dofs
        _log.info(
            "loads and supports set (%d constrained unknowns) in %.2f s",
            len(self.constraints.unknowns),
            time.perf_counter() - start,
        )
        return nexus, resolved.fixed

    @staticmethod
    def _warn_absorbed(case: LoadCase, dofs: Dofs, fixed: np.ndarray) -> None:
        """Warns when a point load acts along a prescribed direction: it goes straight into the support.

        (Surface loads reach the edges of supported faces as a matter of course.)
        """
        if case.point_loads is None:
            return
        local = case.point_loads.copy()
        local[dofs.frame_nodes] = np.einsum("kij,kj->ki", dofs.frames, local[dofs.frame_nodes])
        absorbed = (np.abs(local) > 1e-12 * np.abs(case.point_loads).max()) & fixed
        if absorbed.any():
            named = "" if case.name == DEFAULT_CASE else f" of load case {case.name!r}"
            warnings.warn(
                f"{int(absorbed.sum())} point-loaded components{named} are prescribed displacements; "
                "their loads go into the supports",
                RuntimeWarning,
                stacklevel=user_stacklevel(),
            )

    def _set_body_forces(self, nexus: quarvex.Nexus, body_forces: list) -> None:
        """Gives every element the sum of the body forces on it, one core load group per distinct sum."""
        if not body_forces:
            return
        m = len(self.mesh.tetrahedra)
        if len(body_forces) > 62:
            raise ValueError("at most 62 body forces can be given")
        code = np.zeros(m, dtype=np.int64)
        for k, (elements, _) in enumerate(body_forces):
            if elements is None:
                code |= np.int64(1) << k
            else:
                code[elements] |= np.int64(1) << k
        codes, counts = np.unique(code, return_counts=True)
        commonest = codes[np.argmax(counts)]
        group = 1
        for value in codes:
            force = [constant(0.0)] * 3
            for k, (_, components) in enumerate(body_forces):
                if value >> k & 1:
                    force = [f + c for f, c in zip(force, components, strict=False)]
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
        case: str | None = None,
        verbose: bool = False,
        callback: IterationCallback | None = None,
    ) -> Result:
        """Assembles and solves one load case; returns the displacements with the solver's report.

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
            multigrid and the direct solve from multigrid's first steps. Under mpirun with
            several ranks the ranks solve together (`quarvex_tools.parallel`): "auto" runs the
            package's multigrid on every rank's block of rows for a compact body on up to 2
            ranks, else PETSc's GAMG (`distributed.AUTO_MULTIGRID_SHAPE`), "amg" runs GAMG, "multigrid",
            "gamg" and "hypre" are accepted too, "direct" is refused.
        case : str, optional
            The load case to solve (default: the loads given outside any `load_case` block).
        verbose : bool
            Log the residual of every iteration at INFO (logger ``quarvex_tools.solvers``; the
            phases are logged at INFO in any case: ``logging.basicConfig(level=logging.INFO)``).
        callback : callable, optional
            Called as ``callback(case, iteration, residual)`` for every iteration, with the residual
            norm relative to the load, once the solve is done (the native solve does not stop for it).

        Returns
        -------
        Result
            Its `report` says which method ran and why (`report.method`, `report.reason`). A
            RuntimeWarning is emitted when the solver stopped before the tolerance.

        Raises
        ------
        ValueError
            When the supports leave a rigid-body motion free (named in the message), before
            anything is assembled; when no case is named while only named cases hold loads.
        KeyError
            For a case the model does not have.
        SolverError
            When the solver fails (the message says what to check).
        """
        with parallel.together(parallel.world()):  # under MPI: a refusal on one rank raises on every rank
            if case is None:
                named = [name for name in self.load_cases if name != DEFAULT_CASE]
                if named and self._cases[DEFAULT_CASE].is_empty():
                    raise ValueError(
                        f"the default load case holds no load, while load cases {named} do: pass case=... "
                        "or call solve_cases()"
                    )
                case = DEFAULT_CASE
            self._case_named(case)
        return self._solve_cases([case], rtol, atol, maxiter, method, verbose, callback, keep_nexus=True)[case]

    def solve_cases(
        self,
        cases: Sequence[str] | None = None,
        rtol: float = 1e-8,
        *,
        atol: float = 0.0,
        maxiter: int | None = None,
        method: str = DEFAULT_METHOD,
        verbose: bool = False,
        callback: IterationCallback | None = None,
    ) -> dict[str, Result]:
        """Solves several load cases with one assembly and one solver set-up.

        The matrix is assembled once (with the first case's loads), the multigrid hierarchy
        built or the direct solve's factor made once ("auto" chooses on the first case), and
        every case's load vector is solved with it. Each case acts alone with the model's
        supports (prescribed displacements included), as `solve(case=...)` would solve it.

        Parameters
        ----------
        cases : sequence of str, optional
            The cases to solve, in this order (default: every case that holds loads).
        rtol, atol, maxiter, method, verbose, callback
            As for `solve`.

        Returns
        -------
        dict of str to Result
            One result per case, in the order solved; each report gives its case's iterations.
            Results of several cases share no core model: their `nexus` is None.

        Raises
        ------
        ValueError
            For no case to solve, a case named twice, or supports that leave a rigid-body motion free.
        KeyError
            For a case the model does not have.
        """
        with parallel.together(parallel.world()):  # under MPI: a refusal on one rank raises on every rank
            names = self.load_cases if cases is None else [check_case_name(name) for name in cases]
            if not names:
                raise ValueError("no load case to solve: give loads first (or name the cases)")
            if len(set(names)) != len(names):
                raise ValueError(f"a load case is named twice in {names}")
            for name in names:
                self._case_named(name)
        return self._solve_cases(names, rtol, atol, maxiter, method, verbose, callback, keep_nexus=len(names) == 1)

    def _solve_cases(
        self,
        names: list[str],
        rtol: float,
        atol: float,
        maxiter: int | None,
        method: str,
        verbose: bool,
        callback: IterationCallback | None,
        keep_nexus: bool,
    ) -> dict[str, Result]:
        """Assembles with the first case, solves all with one set-up; the results by case.

        Under an MPI launcher with several ranks (`parallel.world`), every rank assembles the
        whole model as here and the ranks solve it together (`parallel.solve_each`).
        """
        comm = parallel.world()
        with parallel.together(comm):
            if self._current != DEFAULT_CASE:
                raise ValueError(f"solve inside load case {self._current!r}: call it outside the block")
            start = time.perf_counter()
            self._check_fully_supported()
            _log.info("supports checked in %.2f s", time.perf_counter() - start)
            first = self._cases[names[0]]
            nexus, fixed = self._assemble(first)
        assert self.dofs is not None and self.constraints is not None
        dofs, base = self.dofs, self.constraints
        base_rhs = system.load_vector(nexus)
        case_constraints = {first.name: base}

        def load_vectors() -> Iterator[tuple[str, np.ndarray | None]]:
            yield first.name, None
            first_body: np.ndarray | None = None
            for name in names[1:]:
                case = self._cases[name]
                started = time.perf_counter()
                self._warn_absorbed(case, dofs, fixed)
                difference = case.nodal_loads - first.nodal_loads
                same_forces = len(case.body_forces) == len(first.body_forces) and all(
                    mine is theirs for mine, theirs in zip(case.body_forces, first.body_forces, strict=True)
                )
                if not same_forces:
                    if first_body is None:
                        first_body = body_loads(self.mesh, self.numbering, first.body_forces)
                    difference += body_loads(self.mesh, self.numbering, case.body_forces) - first_body
                rhs, case_constraints[name] = case_system(base_rhs, base, dofs, difference)
                _log.info("case %r: load vector in %.2f s", name, time.perf_counter() - started)
                yield name, rhs

        results: dict[str, Result] = {}
        settings: dict[str, Any] = dict(
            method=method, rtol=rtol, atol=atol, maxiter=maxiter, constraints=base, callback=callback, verbose=verbose
        )
        if comm is None:
            solves = solve_each(nexus, load_vectors(), points=self.numbering.node_points, **settings)
        else:
            solves = parallel.solve_each(
                comm, nexus, load_vectors(), node_points=self.numbering.node_points, dofs=dofs, **settings
            )
        with contextlib.closing(solves):
            for name, report in zip(names, solves, strict=True):
                with parallel.together(comm):
                    started = time.perf_counter()
                    solution = system.solution(nexus)
                    displacement = dofs.values(solution)
                    reactions = self._reaction_forces(solution, displacement, case_constraints[name])
                    results[name] = Result(self, displacement, report, nexus if keep_nexus else None, reactions)
                    self.constraints = case_constraints[name]  # the case whose system the model now holds
                    _log.info("case %r: displacements and reactions in %.2f s", name, time.perf_counter() - started)
        return results

    def _check_fully_supported(self) -> None:
        """Raises ValueError naming a rigid-body motion the supports and springs leave free.

        A method of its own, so that its per-node arrays are freed before the solve starts.
        """
        spring_nodes, spring_directions = supports.spring_directions(
            (nodes, per_area) for nodes, _, per_area in self._springs
        )
        supports.check_fully_supported(self.numbering.node_points, self.supports(), spring_nodes, spring_directions)

    def _reaction_forces(
        self, solution: np.ndarray, displacement: np.ndarray, constraints: system.Constraints
    ) -> np.ndarray:
        """(n_nodes, 3) forces of the supports and springs on the nodes, in x, y, z."""
        assert self.dofs is not None
        dofs = self.dofs
        local = np.zeros((self.numbering.n_nodes, 3))
        order = np.argsort(dofs.node_start)  # every node free: start = 3 * (its place in order)
        unknowns = constraints.unknowns
        local[order[unknowns // 3], unknowns % 3] = constraints.reactions(solution)
        local[dofs.frame_nodes] = np.einsum("kji,kj->ki", dofs.frames, local[dofs.frame_nodes])  # R^T r'
        return local + self.spring_forces(displacement)
