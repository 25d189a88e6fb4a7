"""Models that a serial script defines, solved alike by every rank under mpirun and by the serial reference.

"bracket": an L-bracket of two 2 x 1 x 1 arms (box cells, the upper right quarter removed),
one arm's end clamped, a traction on the other's end, gravity, a point load and a pressure on
its top, and a second load case ("wind"). "octant": the octant of a unit ball under pressure on
its sphere, sliding freely on the planes x = 0 and y = 0 and moved by -0.01 along z alone on
z = 0 (the frames of turned nodes and single-component supports with a value). "cube": the unit cube clamped at x = 0
under gravity, of `cells` cells a side (the benchmark's model).
"""

import numpy as np

from quarvex_tools import Elasticity, Mesh, box_mesh, isotropic

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


MODELS = {"bracket": bracket, "octant": octant}
