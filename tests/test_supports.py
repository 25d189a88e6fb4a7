"""Supports in the solve: rollers, mixed components, frictionless (inclined) faces, springs, reactions.

The reference for every constrained solve is independent of the package's elimination and
frames: the unsupported system K, f is exported and the constraints c . u = g are imposed by
Lagrange multipliers in one dense solve.
"""

import numpy as np
import pytest
from helpers import panic_text

import quarvex
from quarvex_tools import Elasticity, Mesh, box_mesh, isotropic, solve_system, system

MATERIAL = isotropic(E=200.0, nu=0.3)


def rotation(a: float, b: float, c: float) -> np.ndarray:
    """Rz(c) Ry(b) Rx(a)."""
    ca, sa, cb, sb, cc, sc = np.cos(a), np.sin(a), np.cos(b), np.sin(b), np.cos(c), np.sin(c)
    rx = np.array([[1, 0, 0], [0, ca, -sa], [0, sa, ca]])
    ry = np.array([[cb, 0, sb], [0, 1, 0], [-sb, 0, cb]])
    rz = np.array([[cc, -sc, 0], [sc, cc, 0], [0, 0, 1]])
    return rz @ ry @ rx


TURN = rotation(0.7, -0.5, 0.3)


def turned_box(cells=(3, 2, 2), size=(3.0, 1.0, 1.0), turn=TURN) -> Mesh:
    box = box_mesh(*cells, size=size)
    return Mesh(box.points @ turn.T, box.tetrahedra, face_groups=box.face_groups)


def point_index(mesh: Mesh, point) -> int:
    return int(np.flatnonzero(np.all(np.isclose(mesh.points, point), axis=1))[0])


# Each case: a mesh, its supports, and the conditions they mean, as
# ("fix", where, components, value) with value a 3-vector, or ("slide", where, unit normal, value).
def cases():
    plain = box_mesh(3, 2, 2, size=(3.0, 1.0, 1.0))
    turned = turned_box()
    e = np.eye(3)
    return {
        "rollers with values": (
            plain,
            [
                ("fix", "xmin", "x", (0.01, 0, 0)),
                ("fix", "ymin", "y", (0, -0.02, 0)),
                ("fix", "zmin", "z", (0, 0, 0.005)),
            ],
            False,
        ),
        "mixed components on one node": (
            plain,
            [
                ("fix", "xmin", "x", (0, 0, 0)),
                ("fix", [point_index(plain, (0, 0, 0))], "yz", (0, 0.01, -0.01)),
                ("fix", [point_index(plain, (0, 1, 0))], "z", (0, 0, -0.01)),
            ],
            False,
        ),
        "inclined faces": (
            turned,
            [
                ("slide", "xmin", -TURN @ e[0], 0.0),
                ("slide", "ymin", -TURN @ e[1], 0.0),
                ("slide", "zmin", -TURN @ e[2], 0.0),
            ],
            False,
        ),
        "inclined face meets a roller": (
            turned,
            [
                ("slide", "xmin", -TURN @ e[0], 0.002),
                ("fix", "ymin", "y", (0, 0, 0)),
                ("fix", "zmin", "z", (0, 0, -0.001)),
            ],
            False,
        ),
        "springs with an inclined face": (
            turned,
            [
                ("slide", "xmin", -TURN @ e[0], 0.0),
            ],
            True,
        ),
    }


CASES = cases()


def build(mesh: Mesh, supports, springs: bool, with_supports: bool = True) -> Elasticity:
    model = Elasticity(mesh, MATERIAL)
    if with_supports:
        for kind, where, what, value in supports:
            if kind == "fix":
                model.fix(where, components=what, value=value)
            else:
                model.frictionless(where, value=value)
    if springs:
        model.elastic_support("zmax", stiffness=(5.0, 10.0, 20.0), normal=30.0)
    model.traction("xmax", (1.0, -0.5, 0.25))
    model.body_force((0.1, 0.2, -0.3))
    return model


def conditions(model: Elasticity, supports):
    """Rows c (over all unknowns) and values g of the supports, in the package's numbering."""
    start = model.dofs.node_start
    rows, values = [], []
    for kind, where, what, value in supports:
        nodes = model.nodes(where)
        if kind == "fix":
            axes = [{"x": 0, "y": 1, "z": 2}[c] for c in what]
            for node in nodes:
                for axis in axes:
                    row = np.zeros(3 * len(start))
                    row[start[node] + axis] = 1.0
                    rows.append(row)
                    values.append(value[axis])
        else:
            for node in nodes:
                row = np.zeros(3 * len(start))
                row[start[node] : start[node] + 3] = what
                rows.append(row)
                values.append(value)
    rows, values = np.array(rows), np.array(values)
    # The same condition given twice (a node shared by two calls) would make the dense system singular.
    _, keep = np.unique(np.round(np.column_stack([rows, values]), 12), axis=0, return_index=True)
    return rows[keep], values[keep]


def reference(name):
    """Displacement per node and K_elastic u - f per node, by Lagrange multipliers."""
    mesh, supports, springs = CASES[name]
    elastic = build(mesh, supports, springs=False, with_supports=False)
    elastic.assemble()
    loaded = build(mesh, supports, springs, with_supports=False)
    loaded.assemble()
    stiffness = system.stiffness_matrix(loaded.nexus).toarray()  # elastic + springs
    load = system.load_vector(loaded.nexus)
    rows, values = conditions(loaded, supports)
    n, p = len(load), len(values)
    saddle = np.block([[stiffness, rows.T], [rows, np.zeros((p, p))]])
    u = np.linalg.solve(saddle, np.concatenate([load, values]))[:n]
    internal = system.stiffness_matrix(elastic.nexus) @ u - load
    start = loaded.dofs.node_start
    per_node = lambda vector: vector[start[:, None] + np.arange(3)]  # noqa: E731
    return per_node(u), per_node(internal)


@pytest.mark.parametrize("method", ["amg", "cg"])
@pytest.mark.parametrize("name", list(CASES))
def test_constrained_solve_matches_the_dense_solve_with_multipliers(name, method):
    mesh, supports, springs = CASES[name]
    expected_u, expected_reactions = reference(name)
    result = build(mesh, supports, springs).solve(rtol=1e-12, method=method)
    scale = np.abs(expected_u).max()
    error = np.abs(result.displacement - expected_u).max() / scale
    assert error < 1e-9, f"{name}, {method}: displacement differs by {error:.3g} (relative)"
    force_scale = np.abs(expected_reactions).max()
    error = np.abs(result.reaction_forces - expected_reactions).max() / force_scale
    assert error < 1e-8, f"{name}, {method}: reactions differ by {error:.3g} (relative)"


@pytest.mark.parametrize("name", list(CASES))
def test_the_constrained_matrix_stays_symmetric_positive_definite(name):
    mesh, supports, springs = CASES[name]
    model = build(mesh, supports, springs)
    model.assemble()
    matrix = system.stiffness_matrix(model.nexus).toarray()
    asymmetry = np.abs(matrix - matrix.T).max() / np.abs(matrix).max()
    assert asymmetry < 1e-13, f"asymmetry {asymmetry:.3g}"
    smallest = np.linalg.eigvalsh(matrix)[0]
    assert smallest > 0.0, f"smallest eigenvalue {smallest:.3g}"


def test_a_turned_box_on_frictionless_faces_is_the_roller_box_turned():
    plain, turned = box_mesh(4, 2, 2, size=(2.0, 1.0, 1.0)), turned_box((4, 2, 2), (2.0, 1.0, 1.0))
    rollers = Elasticity(plain, MATERIAL)
    sliding = Elasticity(turned, MATERIAL)
    for axis, side in enumerate(("xmin", "ymin", "zmin")):
        rollers.fix(side, components="xyz"[axis])
        sliding.frictionless(side)
    rollers.traction("xmax", (1.0, 0.3, -0.2))
    sliding.traction("xmax", TURN @ np.array([1.0, 0.3, -0.2]))
    expected = rollers.solve(rtol=1e-13).displacement @ TURN.T
    got = sliding.solve(rtol=1e-13).displacement
    error = np.abs(got - expected).max() / np.abs(expected).max()
    assert error < 1e-10, f"turned solution differs by {error:.3g}"


# Reactions ---------------------------------------------------------------------------------


def l_bracket() -> Mesh:
    """Two arms of a 2 x 2 x 1 box: the cells of the upper right quarter removed."""
    box = box_mesh(4, 4, 2, size=(2.0, 2.0, 1.0))
    centroids = box.points[box.tetrahedra].mean(axis=1)
    keep = ~((centroids[:, 0] > 1.0) & (centroids[:, 1] > 1.0))
    return Mesh(box.points, box.tetrahedra[keep], drop_unused=True)


def plate_with_hole() -> Mesh:
    """A 200 x 100 x 10 plate with a central hole of radius 20 along z, meshed by gmsh."""
    gmsh = pytest.importorskip("gmsh")
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        occ = gmsh.model.occ
        plate = occ.addBox(-100.0, -50.0, -5.0, 200.0, 100.0, 10.0)
        hole = occ.addCylinder(0.0, 0.0, -5.0, 0.0, 0.0, 10.0, 20.0)
        occ.cut([(3, plate)], [(3, hole)])
        occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", 12.0)
        gmsh.model.mesh.generate(3)
        tags, coordinates, _ = gmsh.model.mesh.getNodes()
        _, nodes = gmsh.model.mesh.getElementsByType(4)
    finally:
        gmsh.finalize()
    index = np.zeros(int(np.max(tags)) + 1, dtype=np.int64)
    index[np.asarray(tags, dtype=np.int64)] = np.arange(len(tags))
    tets = index[np.asarray(nodes, dtype=np.int64).reshape(-1, 4)]
    return Mesh(np.asarray(coordinates).reshape(-1, 3), tets, drop_unused=True)


def plate_supports(model: Elasticity) -> None:
    """u_x = 0 on x = -100, one corner of that end held in y and z, another in z: no more than statics needs."""
    model.fix(lambda p: np.isclose(p[:, 0], -100.0), components="x")
    corner = lambda y: np.isclose(_p := model.numbering.node_points, (-100.0, y, -5.0)).all(axis=1)  # noqa: E731
    model.fix(corner(-50.0), components="yz")
    model.fix(corner(50.0), components="z")


def clamp(where):
    return lambda model: model.fix(where)


# The rounding floors of the slender cantilever and the plate lie near 3e-10 relative: the solve may stop there.
@pytest.mark.filterwarnings("ignore:multigrid conjugate gradients stopped where the residual no longer falls")
@pytest.mark.parametrize(
    "name, mesh, support, supported, loaded_face, traction, area",
    [
        (
            "cantilever",
            lambda: box_mesh(10, 2, 2, size=(10.0, 1.0, 1.0)),
            clamp(lambda p: p[:, 0] == 0.0),
            lambda p: p[:, 0] == 0.0,
            lambda p: p[:, 0] == 10.0,
            (0.0, 0.5, -2.0),
            1.0,
        ),
        (
            "L-bracket",
            l_bracket,
            clamp(lambda p: p[:, 1] == 0.0),
            lambda p: p[:, 1] == 0.0,
            lambda p: p[:, 0] == 2.0,
            (1.0, 0.0, -1.0),
            1.0,
        ),
        (
            "plate with a hole on rollers",
            plate_with_hole,
            plate_supports,
            lambda p: np.isclose(p[:, 0], -100.0),
            lambda p: np.isclose(p[:, 0], 100.0),
            (100.0, 0.0, 0.0),
            1000.0,
        ),
    ],
)
def test_reactions_balance_the_applied_loads(name, mesh, support, supported, loaded_face, traction, area):
    mesh = mesh()
    model = Elasticity(mesh, MATERIAL)
    support(model)
    model.traction(loaded_face, traction)
    gravity = np.array([0.0, 0.0, -7.85])
    model.body_force(tuple(gravity))
    result = model.solve(rtol=1e-11)
    applied = gravity * mesh.volume() + np.array(traction) * area
    reaction = result.reactions()
    error = np.abs(reaction.force + applied).max() / np.abs(applied).max()
    assert error < 1e-10, f"{name}: reactions {reaction.force} against applied {applied}"
    # Every support of these models lies on the region `supported`.
    np.testing.assert_allclose(
        result.reactions(supported).force, reaction.force, rtol=0, atol=1e-12 * np.abs(applied).max()
    )


def test_reaction_moments_balance_on_a_box_under_gravity():
    mesh = box_mesh(6, 2, 2, size=(3.0, 1.0, 1.0))
    model = Elasticity(mesh, MATERIAL)
    model.fix("xmin")
    model.body_force((0.0, 0.0, -1.0))
    result = model.solve(rtol=1e-12)
    about = np.array([0.0, 0.5, 0.5])
    # Gravity acts at the centroid (1.5, 0.5, 0.5): moment (c - about) x F.
    applied_moment = np.cross(np.array([1.5, 0.5, 0.5]) - about, (0.0, 0.0, -3.0))
    reaction = result.reactions("xmin", about=about)
    np.testing.assert_allclose(reaction.moment, -applied_moment, atol=1e-10)
    np.testing.assert_allclose(reaction.force, (0.0, 0.0, 3.0), atol=1e-10)


# Every entry point meets the supports ---------------------------------------------------------


def symmetry_cube(n: int) -> Elasticity:
    model = Elasticity(box_mesh(n, n, n), MATERIAL)
    for axis, side in enumerate(("xmin", "ymin", "zmin")):
        model.fix(side, components="xyz"[axis])
    model.traction("xmax", (1.0, 0.2, 0.1))
    return model


@pytest.mark.parametrize(
    "solve",
    [
        lambda nexus, dofs: system.solve(nexus, rtol=1e-12),
        lambda nexus, dofs: system.solve_amg(nexus, rtol=1e-12),
        lambda nexus, dofs: solve_system(nexus, rtol=1e-12),
        lambda nexus, dofs: solve_system(nexus, dofs, method="cg", rtol=1e-12),
    ],
    ids=["solve", "solve_amg", "solve_system", "solve_system with dofs"],
)
def test_an_assembled_model_meets_its_rollers_through_every_entry_point(solve):
    model = symmetry_cube(3)
    expected = model.solve(rtol=1e-12).displacement
    nexus = model.assemble()
    report = solve(nexus, model.dofs)
    assert report.converged
    got = model.dofs.values(system.solution(nexus))
    assert np.abs(got - expected).max() < 1e-9 * np.abs(expected).max()
    on_plane = model.nodes("ymin")
    assert np.abs(got[on_plane, 1]).max() == 0.0


def test_a_numbering_with_frames_is_not_constrained_twice():
    model = Elasticity(turned_box(), MATERIAL)
    model.frictionless("xmin")
    model.fix("zmin")
    nexus = model.assemble()
    with pytest.raises(ValueError, match="constraints="):
        solve_system(nexus, model.dofs)
    report = solve_system(nexus, constraints=model.constraints, rtol=1e-10)
    assert report.converged


@pytest.mark.parametrize("n, most", [(4, 25), (8, 30)])
def test_multigrid_iterations_with_symmetry_planes_stay_those_of_a_clamped_cube(n, most):
    rollers = symmetry_cube(n).solve(rtol=1e-8).report.iterations
    clamped = Elasticity(box_mesh(n, n, n), MATERIAL)
    clamped.fix("xmin")
    clamped.traction("xmax", (1.0, 0.2, 0.1))
    fixed = clamped.solve(rtol=1e-8).report.iterations
    assert rollers <= most and rollers <= 1.3 * fixed + 2, f"{rollers} iterations with rollers, {fixed} clamped"


# Refusals -----------------------------------------------------------------------------------


def assembled_cube() -> quarvex.Nexus:
    model = Elasticity(box_mesh(2, 2, 2), MATERIAL)
    model.fix("xmin")
    return model.assemble()


@pytest.mark.parametrize(
    "arguments, message",
    [
        (([3, 1], [0.0, 0.0]), "increase strictly"),
        (([1, 1], [0.0, 0.0]), "increase strictly"),
        (([-1], [0.0]), "increase strictly"),
        (([10**6], [0.0]), "increase strictly"),
        (([1], [np.nan]), "has the value nan"),
        (([1, 2], [0.0]), "1 values for 2"),
        (([], [], [0], np.eye(3)[None] * 2.0), "orthonormal"),
        (([], [], [0, 1], np.stack([np.eye(3)] * 2)), "overlap"),
        (([], [], [10**6], np.eye(3)[None]), "within"),
    ],
)
def test_constrain_refuses_bad_arguments_and_leaves_the_model(arguments, message):
    nexus = assembled_cube()
    before = system.stiffness_matrix(nexus).data.copy()
    with pytest.raises(ValueError, match=message):
        system.constrain(nexus, *arguments)
    np.testing.assert_array_equal(system.stiffness_matrix(nexus).data, before)


def test_contradicting_supports_are_refused():
    model = Elasticity(box_mesh(2, 2, 2), MATERIAL)
    model.fix("xmin", components="x", value=0.0)
    model.frictionless("xmin", value=0.1)  # outward normal -x: u_x = -0.1
    with pytest.raises(ValueError, match="contradict"):
        model.assemble()


@pytest.mark.parametrize("stiffness, normal", [(-1.0, 0.0), (1.0, -2.0), (np.nan, 0.0), ((1.0, np.inf, 1.0), 0.0)])
def test_springs_refuse_negative_or_non_finite_stiffness(stiffness, normal):
    model = Elasticity(box_mesh(2, 2, 2), MATERIAL)
    with pytest.raises(ValueError, match="stiffness"):
        model.elastic_support("zmin", stiffness, normal=normal)


def test_matrix_entries_outside_the_structure_are_refused_whole():
    nexus = assembled_cube()
    before = system.stiffness_matrix(nexus).data.copy()
    last = len(system.solution(nexus)) - 1
    text = panic_text(lambda: system.add_matrix_entries(nexus, [0, 0], [0, last], [1.0, 1.0]))
    assert "not in the matrix's structure" in text
    np.testing.assert_array_equal(system.stiffness_matrix(nexus).data, before)
