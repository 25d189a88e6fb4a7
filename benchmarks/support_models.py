"""Supported models for the supports benchmark: a cube clamped or on rollers, a plate with a hole,
a thick sphere under internal pressure and the NAFEMS LE10 thick plate.

Every builder returns a `SupportedModel`: an `Elasticity` model with its supports and loads, ready
to `solve`, and the reference values its result can be checked against. The curved models are
meshed in-process with gmsh's OpenCASCADE kernel (straight-sided tetrahedra; `size` is the
element size), their surfaces named by physical groups.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from quarvex_tools import Elasticity, Mesh, Result, box_mesh, isotropic

# gmsh element types: 3-node triangle, 4-node tetrahedron.
_TRIANGLE, _TETRAHEDRON = 2, 4
_GEOMETRY_TOLERANCE = 1e-6  # bounding boxes of OpenCASCADE entities are padded by about 1e-7


@dataclass(frozen=True)
class Check:
    """A quantity of the solution with its reference value.

    Attributes
    ----------
    label : str
    reference : float
    measure : callable
        Takes the `Result` and returns the computed value.
    relative : bool
        Whether the value is an error already relative to the reference scale (its reference is 0).
    """

    label: str
    reference: float
    measure: Callable[[Result], float]
    relative: bool = False


@dataclass
class SupportedModel:
    """A model ready to solve, with what a caller needs to judge its result.

    Attributes
    ----------
    name : str
    model : Elasticity
    checks : list of Check
    mesh_seconds : float
        Time spent in the mesher (0 for the structured cube).
    """

    name: str
    model: Elasticity
    checks: list[Check] = field(default_factory=list)
    mesh_seconds: float = 0.0


# Support checks --------------------------------------------------------------------------------
def rigid_modes(points: np.ndarray) -> np.ndarray:
    """The six rigid-body motions at points: (n, 3, 6), three translations then three rotations.

    Rotations are taken about the points' centroid and scaled by their extent, so that all six
    columns have comparable size.
    """
    centred = points - points.mean(axis=0)
    scale = max(float(np.abs(centred).max()), 1e-300)
    px, py, pz = (centred / scale).T
    zero, one = np.zeros(len(points)), np.ones(len(points))
    # Columns: e_x, e_y, e_z, then e_x x p, e_y x p, e_z x p.
    return np.stack(
        [
            np.stack([one, zero, zero, zero, pz, -py], axis=1),
            np.stack([zero, one, zero, -pz, zero, px], axis=1),
            np.stack([zero, zero, one, py, -px, zero], axis=1),
        ],
        axis=1,
    )


def free_rigid_motions(model: Elasticity) -> int:
    """How many independent rigid-body motions the model's prescribed components leave free.

    A motion is stopped when some prescribed component moves under it; 0 means fully supported.
    """
    fixed = model.fixed
    nodes, components = np.nonzero(fixed)
    if len(nodes) == 0:
        return 6
    rows = rigid_modes(model.numbering.node_points)[nodes, components]  # (k, 6)
    singular = np.linalg.svd(rows.T @ rows, compute_uv=False)
    return int(np.sum(singular <= 1e-10 * singular[0]))


def unknowns(model: Elasticity) -> int:
    """Unknowns of the system after `assemble` (every node numbered, constrained ones included)."""
    if model.dofs is None:
        model.assemble()
    assert model.dofs is not None
    return int(model.dofs.n_free)


def nearest_vertex(model: Elasticity, point: tuple[float, float, float], tolerance: float = 1e-9) -> int:
    """The mesh point at `point`; raises ValueError when none lies within tolerance (relative to the mesh)."""
    points = model.mesh.points
    distance = np.linalg.norm(points - np.asarray(point), axis=1)
    vertex = int(np.argmin(distance))
    extent = float(np.linalg.norm(np.ptp(points, axis=0)))
    if distance[vertex] > tolerance * extent:
        raise ValueError(f"no mesh point at {point}: the nearest, {vertex}, is {distance[vertex]:.3g} away")
    return vertex


# gmsh ------------------------------------------------------------------------------------------
@contextmanager
def gmsh_session(name: str) -> Iterator[Any]:
    """An initialised gmsh with an empty model, silent, finalised on exit."""
    import gmsh

    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add(name)
        yield gmsh
    finally:
        gmsh.finalize()


def faces_where(gmsh: Any, test: Callable[[np.ndarray, np.ndarray], bool]) -> list[int]:
    """Surfaces of the synchronised model whose bounding box (low (3,), high (3,)) passes `test`."""
    tags = []
    for _, tag in gmsh.model.getEntities(2):
        box = np.array(gmsh.model.getBoundingBox(2, tag))
        if test(box[:3], box[3:]):
            tags.append(tag)
    return tags


def gmsh_mesh(gmsh: Any, size: float, face_groups: dict[str, list[int]]) -> Mesh:
    """Meshes the synchronised model with elements of `size` and returns it with the named surfaces.

    Parameters
    ----------
    gmsh : module
        The gmsh module inside a `gmsh_session`.
    size : float
        Element size (uniform).
    face_groups : dict of str to list of int
        Surface tags of each face group.
    """
    for name, tags in face_groups.items():
        if not tags:
            raise ValueError(f"face group {name!r} selects no surface of the geometry")
    gmsh.option.setNumber("Mesh.MeshSizeMin", size)
    gmsh.option.setNumber("Mesh.MeshSizeMax", size)
    gmsh.option.setNumber("Mesh.MeshSizeFromPoints", 0)
    gmsh.model.mesh.generate(3)

    tags, coordinates, _ = gmsh.model.mesh.getNodes()
    tags = np.asarray(tags, dtype=np.int64)
    index = np.full(int(tags.max()) + 1, -1, dtype=np.int64)
    index[tags] = np.arange(len(tags))
    points = np.asarray(coordinates).reshape(-1, 3)
    _, tet_nodes = gmsh.model.mesh.getElementsByType(_TETRAHEDRON)
    tets = index[np.asarray(tet_nodes, dtype=np.int64).reshape(-1, 4)]
    groups = {}
    for name, surfaces in face_groups.items():
        triangles = [gmsh.model.mesh.getElementsByType(_TRIANGLE, tag)[1] for tag in surfaces]
        groups[name] = index[np.concatenate(triangles).astype(np.int64).reshape(-1, 3)]
    return Mesh(points, tets, face_groups=groups, drop_unused=True)


def _timed_mesh(build: Callable[[], Mesh]) -> tuple[Mesh, float]:
    start = time.perf_counter()
    mesh = build()
    return mesh, time.perf_counter() - start


# The cube ------------------------------------------------------------------------------------
CUBE_SUPPORTS = ("clamped", "symmetry")


def cube_name(n: int, supports: str) -> str:
    """The name `cube` gives its model."""
    return f"cube N={n} {supports}"


def cube(n: int, supports: str = "clamped") -> SupportedModel:
    """The unit cube of n^3 cells (six tetrahedra each), E = 1, nu = 0.3, pulled on x = 1 under gravity.

    Parameters
    ----------
    n : int
        Cells along each side.
    supports : {"clamped", "symmetry"}
        "clamped": every component on x = 0; "symmetry": rollers on x = 0 (u_x), y = 0 (u_y)
        and z = 0 (u_z), the three symmetry planes of a cube twice as large.
    """
    if supports not in CUBE_SUPPORTS:
        raise ValueError(f"supports must be one of {CUBE_SUPPORTS}, got {supports!r}")
    model = Elasticity(box_mesh(n, n, n), isotropic(E=1.0, nu=0.3))
    if supports == "clamped":
        model.fix("xmin")
    else:
        for axis in "xyz":
            model.fix(f"{axis}min", components=axis)
    model.traction("xmax", (0.1, 0.0, 0.0))
    model.body_force((0.0, 0.0, -0.1))
    return SupportedModel(cube_name(n, supports), model)


# The plate with a hole -------------------------------------------------------------------------
PLATE_LENGTH, PLATE_WIDTH, PLATE_THICKNESS, HOLE_RADIUS = 200.0, 100.0, 10.0, 20.0  # mm
PLATE_SIZE = 5.0  # mm: about 2,600 points
STEEL_E, STEEL_NU = 210e3, 0.3  # MPa
PLATE_STRESS = 100.0  # MPa


def plate_mesh(size: float = PLATE_SIZE) -> Mesh:
    """The whole plate, centred at the origin, the hole along z.

    Face groups "pulled" (x = +L/2), "held" (x = -L/2) and "hole".
    """
    half = np.array([PLATE_LENGTH, PLATE_WIDTH, PLATE_THICKNESS]) / 2
    with gmsh_session("plate") as gmsh:
        occ = gmsh.model.occ
        plate = occ.addBox(*(-half), *(2 * half))
        hole = occ.addCylinder(0.0, 0.0, -half[2], 0.0, 0.0, 2 * half[2], HOLE_RADIUS)
        occ.cut([(3, plate)], [(3, hole)])
        occ.synchronize()
        tol = _GEOMETRY_TOLERANCE
        return gmsh_mesh(
            gmsh,
            size,
            {
                "pulled": faces_where(gmsh, lambda low, high: low[0] > half[0] - tol),
                "held": faces_where(gmsh, lambda low, high: high[0] < -half[0] + tol),
                "hole": faces_where(
                    gmsh, lambda low, high: bool(np.abs([*low[:2], *high[:2]]).max() < HOLE_RADIUS + tol)
                ),
            },
        )


def plate_with_hole(size: float = PLATE_SIZE) -> SupportedModel:
    """A steel plate 200 x 100 x 10 mm with a central hole of radius 20 mm, pulled by 100 MPa on x = +100.

    Supports, no more than stop the rigid motions: u_x = 0 on the end x = -100; its corner
    (-100, -50, -5) held in y and z, its corner (-100, 50, -5) in z.
    """
    mesh, seconds = _timed_mesh(lambda: plate_mesh(size))
    model = Elasticity(mesh, isotropic(E=STEEL_E, nu=STEEL_NU))
    model.fix("held", components="x")
    x0, y0, z0 = -PLATE_LENGTH / 2, PLATE_WIDTH / 2, -PLATE_THICKNESS / 2
    model.fix([nearest_vertex(model, (x0, -y0, z0))], components="yz")
    model.fix([nearest_vertex(model, (x0, y0, z0))], components="z")
    model.traction("pulled", (PLATE_STRESS, 0.0, 0.0))
    # The peak sigma_xx on the hole over the net-section stress, beside Heywood's formula for a finite-width
    # plate in plane stress (the mid-plane peak of a plate this thick lies a few per cent higher).
    ratio = 2 * HOLE_RADIUS / PLATE_WIDTH
    hole = model.nodes("hole")

    def concentration(result: Result) -> float:
        return float(result.nodal_stress()[hole, 0, 0].max() / (PLATE_STRESS / (1 - ratio)))

    check = Check(
        "peak sigma_xx at the hole / net-section stress (2D: 2 + (1 - d/W)^3)", 2 + (1 - ratio) ** 3, concentration
    )
    return SupportedModel("plate with hole", model, [check], seconds)


# The thick sphere --------------------------------------------------------------------------------
SPHERE_INNER, SPHERE_OUTER, SPHERE_PRESSURE = 1.0, 2.0, 1.0
SPHERE_E, SPHERE_NU = 1.0, 0.3
SPHERE_SIZE = 0.15


def lame_radial_displacement(
    r: np.ndarray,
    a: float = SPHERE_INNER,
    b: float = SPHERE_OUTER,
    p: float = SPHERE_PRESSURE,
    E: float = SPHERE_E,
    nu: float = SPHERE_NU,
) -> np.ndarray:
    """Lamé's radial displacement of a thick sphere a <= r <= b under internal pressure p."""
    r = np.asarray(r, dtype=np.float64)
    return p * a**3 / (E * (b**3 - a**3)) * ((1 - 2 * nu) * r + (1 + nu) * b**3 / (2 * r**2))


def sphere_mesh(size: float = SPHERE_SIZE) -> Mesh:
    """The octant x, y, z >= 0 of the shell between SPHERE_INNER and SPHERE_OUTER.

    Face groups "inner", "outer", "sym_x", "sym_y", "sym_z".
    """
    a, b = SPHERE_INNER, SPHERE_OUTER
    with gmsh_session("sphere") as gmsh:
        occ = gmsh.model.occ
        shell, _ = occ.cut([(3, occ.addSphere(0, 0, 0, b))], [(3, occ.addSphere(0, 0, 0, a))])
        occ.intersect(shell, [(3, occ.addBox(0, 0, 0, b, b, b))])
        occ.synchronize()
        tol = _GEOMETRY_TOLERANCE

        def curved(low: np.ndarray, high: np.ndarray) -> bool:
            return bool((high - low).min() > tol)

        groups = {
            f"sym_{axis}": faces_where(gmsh, lambda low, high, k=k: high[k] < tol) for k, axis in enumerate("xyz")
        }
        groups["inner"] = faces_where(gmsh, lambda low, high: curved(low, high) and high.max() < a + tol)
        groups["outer"] = faces_where(gmsh, lambda low, high: curved(low, high) and high.max() > b - tol)
        return gmsh_mesh(gmsh, size, groups)


def inner_sphere(size: float) -> Callable[[np.ndarray], np.ndarray]:
    """Predicate of the nodes on the inner sphere.

    The edge midpoints of a straight-sided mesh lie inside the sphere and its vertices on it; every
    other node lies about an element away.
    """
    return lambda points: np.linalg.norm(points, axis=1) < SPHERE_INNER + 0.05 * size


def sphere_octant(size: float = SPHERE_SIZE) -> SupportedModel:
    """One eighth of a thick sphere (radii 1 and 2, E = 1, nu = 0.3) under internal pressure 1.

    Rollers hold its three symmetry planes. Checked against Lamé's radial displacement.
    """
    mesh, seconds = _timed_mesh(lambda: sphere_mesh(size))
    model = Elasticity(mesh, isotropic(E=SPHERE_E, nu=SPHERE_NU))
    for axis in "xyz":
        model.fix(f"sym_{axis}", components=axis)
    inner = inner_sphere(size)
    loaded = model.pressure(inner, SPHERE_PRESSURE)
    expected = len(mesh.face_groups["inner"])
    if loaded != expected:
        raise RuntimeError(f"the inner-sphere predicate selects {loaded} faces; the mesher put {expected} there")

    def radial(result: Result, vertices: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Radii and radial displacements of mesh points."""
        points = result.points[vertices]
        r = np.linalg.norm(points, axis=1)
        return r, np.einsum("ij,ij->i", result.displacement[vertices], points) / r

    every_vertex = np.arange(model.numbering.n_vertices)
    inner_vertices = np.unique(mesh.face_groups["inner"])

    def error(result: Result) -> float:
        r, u_r = radial(result, every_vertex)
        exact = lame_radial_displacement(r)
        return float(np.max(np.abs(u_r - exact) / exact))

    checks = [
        Check(
            "mean u_r on r = 1, Lamé",
            float(lame_radial_displacement(SPHERE_INNER)),
            lambda result: float(radial(result, inner_vertices)[1].mean()),
        ),
        Check("max relative error of u_r at the vertices, against Lamé", 0.0, error, relative=True),
    ]
    return SupportedModel("sphere octant", model, checks, seconds)


# NAFEMS LE10 -------------------------------------------------------------------------------------
LE10_INNER, LE10_OUTER, LE10_HALF_THICKNESS = (2.0, 1.0), (3.25, 2.75), 0.3
LE10_E, LE10_NU, LE10_PRESSURE = 210e3, 0.3, 1.0  # MPa
LE10_SIGMA_YY_D = -5.38  # MPa at D = (2, 0, 0.3)
LE10_SIZE = 0.15


def le10_mesh(size: float = LE10_SIZE) -> Mesh:
    """The LE10 plate in two layers, z < 0 and z > 0, so that the mid-plane line of the outer face is meshed.

    Face groups "top", "y0", "x0", "outer".
    """
    (ai, bi), (ao, bo), t = LE10_INNER, LE10_OUTER, LE10_HALF_THICKNESS
    with gmsh_session("le10") as gmsh:
        occ = gmsh.model.occ
        annulus, _ = occ.cut([(2, occ.addDisk(0, 0, -t, ao, bo))], [(2, occ.addDisk(0, 0, -t, ai, bi))])
        quarter, _ = occ.intersect(annulus, [(2, occ.addRectangle(0, 0, -t, ao, bo))])
        lower = occ.extrude(quarter, 0, 0, t)
        middle = [entity for entity in lower if entity[0] == 2][:1]  # the extrusion's top comes first
        occ.extrude(middle, 0, 0, t)
        occ.synchronize()
        tol = _GEOMETRY_TOLERANCE

        def wall(low: np.ndarray, high: np.ndarray) -> bool:
            return bool(high[2] - low[2] > tol)

        return gmsh_mesh(
            gmsh,
            size,
            {
                "top": faces_where(gmsh, lambda low, high: low[2] > t - tol),
                "y0": faces_where(gmsh, lambda low, high: high[1] < tol),
                "x0": faces_where(gmsh, lambda low, high: high[0] < tol),
                "outer": faces_where(
                    gmsh, lambda low, high: wall(low, high) and min(high[0] - ao, high[1] - bo) > -tol
                ),
            },
        )


def le10(size: float = LE10_SIZE) -> SupportedModel:
    """The NAFEMS LE10 thick plate under pressure (reference sigma_yy = -5.38 MPa at D = (2, 0, 0.3)).

    A quarter of an elliptic annulus (inner x^2/4 + y^2 = 1, outer x^2/3.25^2 + y^2/2.75^2 = 1),
    0.6 thick, 1 MPa on its upper face; u_y = 0 on y = 0, u_x = 0 on x = 0, u_x = u_y = 0 on the
    outer face and u_z = 0 on the outer face's mid-plane line.
    """
    mesh, seconds = _timed_mesh(lambda: le10_mesh(size))
    model = Elasticity(mesh, isotropic(E=LE10_E, nu=LE10_NU))
    model.fix("y0", components="y")
    model.fix("x0", components="x")
    model.fix("outer", components="xy")
    # The mid-plane line: the outer face's points on z = 0, with the edges between them.
    outer_points = np.unique(mesh.face_groups["outer"])
    model.fix(outer_points[np.abs(mesh.points[outer_points, 2]) < 1e-9 * LE10_OUTER[0]], components="z")
    model.pressure("top", LE10_PRESSURE)
    d = nearest_vertex(model, (LE10_INNER[0], 0.0, LE10_HALF_THICKNESS))
    check = Check(
        "sigma_yy at D (2, 0, 0.3) [MPa]", LE10_SIGMA_YY_D, lambda result: float(result.nodal_stress()[d, 1, 1])
    )
    return SupportedModel("NAFEMS LE10", model, [check], seconds)
