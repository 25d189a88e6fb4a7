"""Models that a serial script defines, solved alike by every rank under mpirun and by the serial reference.

"bracket": an L-bracket of two 2 x 1 x 1 arms (box cells, the upper right quarter removed),
one arm's end clamped, a traction on the other's end, gravity, a point load and a pressure on
its top, and a second load case ("wind"). "octant": the octant of a unit ball under pressure on
its sphere, sliding freely on the planes x = 0 and y = 0 and moved by -0.01 along z alone on
z = 0 (the frames of turned nodes and single-component supports with a value). "cube": the unit cube clamped at x = 0
under gravity, of `cells` cells a side (the benchmark's model).

Two curved models read a second-order gmsh mesh (10-node tetrahedra whose edge nodes lie on the
curved surfaces) from a file that `write_mesh` makes once, so that the serial reference and every
rank solve the very same mesh. "plate_hole": a quarter of the plate 4 x 2 x 0.1 with a hole of
radius 0.25 (the mid-plane half), on rollers on its three symmetry planes, pulled on its end, with
gravity along -y and a point load on its far corner; a second case ("shear") pulls its end along y
under gravity along -z. "sphere": the octant of the thick sphere between radii 1 and 2, sliding on
its three symmetry planes (`frictionless`), under pressure inside.
"""

import os
import sys

import numpy as np

from quarvex_tools import Elasticity, Mesh, box_mesh, isotropic, read_mesh

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "benchmarks"))
import curved_sphere  # noqa: E402
import plate_hole  # noqa: E402

MATERIAL = isotropic(E=200.0, nu=0.3)
BRACKET_CASES = ("default", "wind")


def bracket():
    """The bracket model with its two load cases."""
    box = box_mesh(4, 4, 2, size=(2.0, 2.0, 1.0))
    centroids = box.points[box.tetrahedra].mean(axis=1)
    keep = ~((centroids[:, 0] > 1.0) & (centroids[:, 1] > 1.0))
    model = Elasticity(Mesh(box.points, box.tetrahedra[keep], drop_unused=True), MATERIAL)
    model.fix(lambda x: np.isclose(x[:, 1], 2.0))  # the end of the arm along y, clamped
    model.traction(lambda x: np.isclose(x[:, 0], 2.0), (0.0, 0.3, -1.0))  # the end of the arm along x
    model.body_force((0.0, 0.0, -0.5))
    model.point_load((2.0, 0.0, 1.0), (0.2, 0.0, -0.4))
    model.pressure(lambda x: np.isclose(x[:, 2], 1.0), 0.25)
    with model.load_case("wind"):
        model.traction(lambda x: np.isclose(x[:, 1], 0.0), (0.0, 0.4, 0.0))
    return model


def octant():
    """The ball octant under pressure, on sliding and single-component supports."""
    box = box_mesh(3, 3, 3)
    length = np.linalg.norm(box.points, axis=1)
    scale = np.divide(np.abs(box.points).max(axis=1), length, out=np.ones_like(length), where=length > 0)
    model = Elasticity(Mesh(box.points * scale[:, None], box.tetrahedra, face_groups=box.face_groups), MATERIAL)
    model.frictionless("xmin")
    model.frictionless("ymin")
    model.fix("zmin", components="z", value=-0.01)  # pressed down by 0.01 on its base
    for side in ("xmax", "ymax", "zmax"):
        model.pressure(side, 2.0)
    model.body_force((0.1, 0.0, -0.3))
    return model


def cube(cells):
    """The unit cube of `cells` cells a side, clamped at x = 0, under gravity."""
    model = Elasticity(box_mesh(cells, cells, cells), MATERIAL)
    model.fix("xmin")
    model.body_force((0.0, 0.0, -1.0))
    return model


# The curved models' geometry is the benchmarks' (benchmarks/plate_hole.py, curved_sphere.py).
LENGTH, WIDTH, RADIUS, HALF_THICKNESS = (
    plate_hole.LENGTH,
    plate_hole.WIDTH,
    plate_hole.RADIUS,
    plate_hole.HALF_THICKNESS,
)
INNER, OUTER = curved_sphere.INNER, curved_sphere.OUTER
CURVED_MESHES = {"plate_hole": (plate_hole.write_plate_mesh, 0.1), "sphere": (curved_sphere.write_shell_mesh, 0.5)}


def write_mesh(name, path):
    """Meshes the curved model `name` with gmsh (second order: edge nodes on the curved surfaces) into `path`."""
    write, size = CURVED_MESHES[name]
    write(size, str(path))


def _on_plane(axis, value=0.0):
    return lambda p: np.abs(p[:, axis] - value) < 1e-9


def plate_hole(path):
    """The quarter plate with a hole, meshed in `path`, with its two load cases."""
    model = Elasticity(read_mesh(path), MATERIAL)
    for axis, component in enumerate("xyz"):
        model.fix(_on_plane(axis), components=component)  # the symmetry planes, on rollers
    model.traction(_on_plane(0, LENGTH), (1.0, 0.0, 0.0))
    model.body_force((0.0, -0.5, 0.0))
    model.point_load((LENGTH, WIDTH, HALF_THICKNESS), (0.0, 0.0, -0.01))
    with model.load_case("shear"):
        model.traction(_on_plane(0, LENGTH), (0.0, 0.2, 0.0))
        model.body_force((0.0, 0.0, -0.3))  # a further case's body load, integrated over the curved elements
    return model


def sphere(path, straight=False):
    """The thick sphere octant, meshed in `path`, under pressure inside (on its straight-sided mesh if `straight`)."""
    mesh = read_mesh(path)
    if straight:
        mesh = Mesh(mesh.points, mesh.tetrahedra, face_groups=mesh.face_groups)
    model = Elasticity(mesh, MATERIAL)
    for axis in range(3):
        model.frictionless(_on_plane(axis))
    model.pressure(lambda p: np.linalg.norm(p, axis=1) < INNER + 1e-6, 1.0)
    return model


def sphere_straight_on_rank_1(path):
    """The sphere, straight-sided on rank 1 alone: every count alike, the nodes elsewhere (run under mpirun)."""
    from mpi4py import MPI

    return sphere(path, straight=MPI.COMM_WORLD.Get_rank() == 1)


MODELS = {
    "bracket": bracket,
    "octant": octant,
    "plate_hole": plate_hole,
    "sphere": sphere,
    "sphere_straight_on_rank_1": sphere_straight_on_rank_1,
}


# A curved query per curved model: (points, field) for `Result.probe`. The plate's stress at the hole's edge in
# both symmetry planes (its concentration); a point of the sphere just inside its outer surface, between a curved
# face and its chords, which the straight-sided mesh leaves outside.
PROBES = {
    "plate_hole": (np.array([[0.0, RADIUS, 0.0]]), "stress_xx"),
    "sphere": (1.995 * np.full((1, 3), 1.0 / np.sqrt(3.0)), "von_mises"),
}


def probe(name, result):
    """The model's curved query on `result`: (values, inside) at its points (nothing for the other models)."""
    if name not in PROBES:
        return np.zeros(0), np.zeros(0, dtype=bool)
    points, field = PROBES[name]
    found = result.probe(points, field)
    return found.values, found.inside


def build(name, mesh_file=None):
    """The model `name`; the curved ones read their mesh from `mesh_file`."""
    return MODELS[name]() if mesh_file is None else MODELS[name](mesh_file)


def solve(model):
    """{case: Result} of every load case of the model, as the serial reference and every rank solve it."""
    if len(model.load_cases) > 1:
        return model.solve_cases(rtol=1e-12)
    return {"default": model.solve(rtol=1e-12)}
