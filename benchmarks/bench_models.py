"""The benchmark models shared by direct_solvers.py and solver_choice.py: each one a mesh, an
isotropic material, a clamped face group and its loads, held as plain arrays so that a process of
another solver can rebuild the same problem from a file.

Lengths in metres, forces in newtons; steel is E = 210 GPa, nu = 0.3, 7850 kg/m^3 under gravity.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

STEEL = dict(E=210e9, nu=0.3)
DENSITY = 7850.0
GRAVITY = (0.0, 0.0, -DENSITY * 9.81)

# name -> (cells, size) of the steel boxes clamped on x = 0 under gravity
STEEL_BOXES = {
    "plate": ((40, 40, 1), (1.0, 1.0, 0.002)),
    "plate500": ((40, 40, 1), (1.0, 1.0, 0.002)),
    "plate50": ((40, 40, 1), (1.0, 1.0, 0.02)),
    "beam": ((200, 2, 2), (100.0, 1.0, 1.0)),
    "cantilever": ((30, 3, 3), (10.0, 1.0, 1.0)),  # as examples/cantilever.py
}


@dataclass
class Case:
    """One benchmark problem: mesh arrays, material, the clamped face group and the loads.

    points : (n, 3) float; tetrahedra : (m, 4) int; face_groups : str -> (k, 3) int.
    material : the keyword arguments of `isotropic` (E and nu, or lam and mu).
    body_force : force per unit volume, or None; traction : (face group, force per unit area) or None.
    tip : the face group whose vertices' mean vertical displacement is the model's deflection.
    """

    name: str
    points: np.ndarray
    tetrahedra: np.ndarray
    face_groups: dict[str, np.ndarray]
    material: dict[str, float]
    clamped: str
    body_force: tuple[float, float, float] | None = None
    traction: tuple[str, tuple[float, float, float]] | None = None
    tip: str = "xmax"

    def lame(self) -> tuple[float, float]:
        """(lambda, mu) of the material."""
        if "lam" in self.material:
            return self.material["lam"], self.material["mu"]
        young, poisson = self.material["E"], self.material["nu"]
        return young * poisson / ((1 + poisson) * (1 - 2 * poisson)), young / (2 * (1 + poisson))


def _from_mesh(name: str, mesh, **settings) -> Case:
    return Case(
        name,
        np.asarray(mesh.points),
        np.asarray(mesh.tetrahedra),
        {key: np.asarray(faces) for key, faces in mesh.face_groups.items()},
        **settings,
    )


def steel_box(name: str) -> Case:
    """A steel box of STEEL_BOXES clamped on x = 0 under gravity."""
    from quarvex_tools import box_mesh

    cells, size = STEEL_BOXES[name]
    return _from_mesh(name, box_mesh(*cells, size=size), material=dict(STEEL), clamped="xmin", body_force=GRAVITY)


def unit_cube(n: int, load: str = "body") -> Case:
    """The unit cube of n^3 cells of six tetrahedra, lambda = 1.25, mu = 1, clamped on x = 0, under the
    body force (0, 0, -1) (load="body", the anchor problem) or the traction (0, 0, -1) on x = 1
    (load="traction")."""
    from quarvex_tools import box_mesh

    settings = dict(material=dict(lam=1.25, mu=1.0), clamped="xmin")
    if load == "body":
        settings["body_force"] = (0.0, 0.0, -1.0)
    elif load == "traction":
        settings["traction"] = ("xmax", (0.0, 0.0, -1.0))
    else:
        raise ValueError(f"load must be 'body' or 'traction', got {load!r}")
    return _from_mesh(f"cube{n}", box_mesh(n, n, n), **settings)


BRACKET_ARM = (0.06, 0.02, 0.01)  # length, width, thickness of each arm
BRACKET_TRACTION = (0.0, 0.0, -1e6)  # Pa on the free arm's end: 200 N down


def write_bracket(path: str, size: float = 0.0025) -> None:
    """Meshes the steel L-bracket with gmsh and writes it to `path` (.msh): a horizontal arm along x
    and a vertical arm along z, joined at x = 0, with the face groups "clamp" (the vertical arm's top
    end, z = 0.06) and "load" (the horizontal arm's end, x = 0.06)."""
    import gmsh

    length, width, thickness = BRACKET_ARM
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("bracket")
        horizontal = gmsh.model.occ.addBox(0, 0, 0, length, width, thickness)
        vertical = gmsh.model.occ.addBox(0, 0, 0, thickness, width, length)
        gmsh.model.occ.fuse([(3, horizontal)], [(3, vertical)])
        gmsh.model.occ.synchronize()

        def faces_where(test):  # OpenCASCADE pads bounding boxes by its tolerance (1e-7)
            return [tag for _, tag in gmsh.model.getEntities(2) if test(gmsh.model.getBoundingBox(2, tag))]

        gmsh.model.addPhysicalGroup(3, [tag for _, tag in gmsh.model.getEntities(3)], name="steel")
        gmsh.model.addPhysicalGroup(2, faces_where(lambda box: box[2] > length - 1e-6), name="clamp")
        gmsh.model.addPhysicalGroup(2, faces_where(lambda box: box[0] > length - 1e-6), name="load")
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.option.setNumber("Mesh.MeshSizeMin", size)
        gmsh.model.mesh.generate(3)
        gmsh.write(path)
    finally:
        gmsh.finalize()


def bracket(scratch: str, size: float = 0.0025) -> Case:
    """The L-bracket of write_bracket, read back as a user's job would: read_mesh("bracket.msh")."""
    from quarvex_tools import read_mesh

    path = os.path.join(scratch, "bracket.msh")
    write_bracket(path, size)
    return _from_mesh(
        "bracket",
        read_mesh(path),
        material=dict(STEEL),
        clamped="clamp",
        body_force=GRAVITY,
        traction=("load", BRACKET_TRACTION),
        tip="load",
    )


def build_case(name: str, scratch: str = ".") -> Case:
    """The named case: a key of STEEL_BOXES, "cubeN" (the anchor problem), or "bracket"."""
    if name in STEEL_BOXES:
        return steel_box(name)
    if name.startswith("cube"):
        return unit_cube(int(name[4:]))
    if name == "bracket":
        return bracket(scratch)
    raise ValueError(f"unknown model {name!r}")


def elasticity(case: Case):
    """The `Elasticity` model of `case`, its supports and loads given (not assembled)."""
    from quarvex_tools import Elasticity, Mesh, isotropic

    model = Elasticity(Mesh(case.points, case.tetrahedra, face_groups=case.face_groups), isotropic(**case.material))
    model.fix(case.clamped)
    if case.body_force is not None:
        model.body_force(case.body_force)
    if case.traction is not None:
        model.traction(*case.traction)
    return model


def save_case(case: Case, path: str) -> None:
    """Writes `case` to `path` (.npz), for load_case in another process."""
    groups = {f"face_{key}": faces for key, faces in case.face_groups.items()}
    settings = dict(
        material=case.material, clamped=case.clamped, body_force=case.body_force, traction=case.traction, tip=case.tip
    )
    np.savez(
        path,
        points=case.points,
        tetrahedra=case.tetrahedra,
        settings=np.array(repr(settings)),
        name=np.array(case.name),
        **groups,
    )


def load_case(path: str) -> Case:
    """The case save_case wrote."""
    import ast

    with np.load(path) as arrays:
        groups = {key[5:]: arrays[key] for key in arrays.files if key.startswith("face_")}
        settings = ast.literal_eval(str(arrays["settings"]))
        return Case(str(arrays["name"]), arrays["points"], arrays["tetrahedra"], groups, **settings)
