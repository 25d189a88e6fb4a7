"""Regions, loads and results that must not mislead: masks and indices, stray faces, curved surfaces,
values that are not finite, files written, displacements between nodes, numberings of other meshes."""

import numpy as np
import pytest
from tools_meshes import scrambled_mesh

from quarvex_tools import Elasticity, Mesh, Result, box_mesh, isotropic, log, p2_numbering, system, x

STEEL = isotropic(E=1.0, nu=0.3)


def cube(cells=(2, 2, 2)) -> Elasticity:
    return Elasticity(box_mesh(*cells), STEEL)


def tube(cells=(2, 6, 2), inner=1.0, outer=2.0, length=1.0) -> Mesh:
    """A quarter of a thick tube about z: a box mesh in (r, theta, z) mapped onto the cylinders.

    The tetrahedra stay straight-sided, so the edge midpoints of the inner face lie inside r = inner.
    Face groups: "inner" (r = inner) and "end" (z = 0).
    """
    box = box_mesh(*cells, size=(outer - inner, np.pi / 2, length), origin=(inner, 0.0, 0.0))
    r, theta, z = box.points.T
    points = np.column_stack([r * np.cos(theta), r * np.sin(theta), z])
    return Mesh(points, box.tetrahedra, face_groups={"inner": box.face_groups["xmin"], "end": box.face_groups["zmin"]})


def on_inner_cylinder(points: np.ndarray) -> np.ndarray:
    return np.isclose(np.hypot(points[:, 0], points[:, 1]), 1.0)


# Masks and indices --------------------------------------------------------------------------------
def body_load(elements) -> np.ndarray:
    """The assembled load vector of a unit body force on `elements` of the 2 x 2 x 2 cube."""
    model = cube()
    model.fix("xmin")
    model.body_force((0.0, 0.0, 1.0), elements=elements)
    return system.load_vector(model.assemble())


def test_a_bool_element_mask_selects_its_elements():
    m = len(box_mesh(2, 2, 2).tetrahedra)
    mask = np.zeros(m, dtype=bool)
    mask[[5, m - 1]] = True
    by_mask = body_load(mask)
    np.testing.assert_array_equal(by_mask, body_load([5, m - 1]))
    assert not np.allclose(by_mask, body_load([0, 1])), "the mask was read as the indices 0 and 1"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda model: model.fix((2.0, 1.0, 1.0)), TypeError, "must be integers, got float64"),
        (lambda model: model.nodes(np.array([3.0])), TypeError, "integer indices or a bool mask"),
        (lambda model: model.body_force((0, 0, 1), elements=[0.0, 1.0]), TypeError, "element indices must be"),
        (lambda model: model.body_force((0, 0, 1), elements=np.ones(5, dtype=bool)), ValueError, r"shape \(48,\)"),
        (lambda model: model.fix(np.ones(7, dtype=bool)), ValueError, "node mask must have shape"),
        (lambda model: model.body_force((0, 0, 1), elements=[48]), ValueError, "must lie in 0..47"),
    ],
)
def test_indices_that_are_not_integers_and_masks_of_the_wrong_length_are_refused(call, error, message):
    model = cube()
    with pytest.raises(error, match=message):
        call(model)
    assert not model.fixed.any() and not model._body_forces


# Face groups that are not faces of the mesh -------------------------------------------------------
def test_a_face_group_of_triangles_that_are_no_faces_is_refused():
    box = box_mesh(2, 2, 2)
    far_corner = len(box.points) - 1
    stray = np.array([box.face_groups["xmin"][0], (0, 13, far_corner)])
    model = Elasticity(Mesh(box.points, box.tetrahedra, face_groups={"stray": stray}), STEEL)
    with pytest.raises(ValueError, match=r"'stray' holds triangles that are no face .* 1, points \(0, 13, 26\)"):
        model.fix("stray")
    with pytest.raises(ValueError, match="no edge of the mesh"):
        model.face_nodes(stray)
    assert not model.fixed.any()


def test_an_interior_face_group_is_accepted():
    box = box_mesh(2, 2, 2)
    every_face = box.tetrahedra[:, [[0, 1, 2], [0, 1, 3], [0, 2, 3], [1, 2, 3]]].reshape(-1, 3)
    middle = every_face[np.isclose(box.points[every_face][..., 0], 0.5).all(axis=1)]
    middle = np.unique(np.sort(middle, axis=1), axis=0)
    model = Elasticity(Mesh(box.points, box.tetrahedra, face_groups={"middle": middle}), STEEL)
    nodes = model.nodes("middle")
    np.testing.assert_array_equal(nodes, np.flatnonzero(np.isclose(model.numbering.node_points[:, 0], 0.5)))


# Curved surfaces given by predicates --------------------------------------------------------------
def test_a_predicate_on_a_curved_face_selects_its_whole_faces():
    model = Elasticity(tube(), STEEL)
    np.testing.assert_array_equal(model.nodes(on_inner_cylinder), model.nodes("inner"))
    np.testing.assert_array_equal(
        np.sort(model.boundary_faces(on_inner_cylinder), axis=1),
        np.sort(model.boundary_faces("inner"), axis=1),
    )
    # Predicates that hold single nodes or interior nodes keep their meaning.
    midpoint = model.numbering.node_points[model.numbering.n_vertices + 7]
    np.testing.assert_array_equal(model.nodes(lambda p: (p == midpoint).all(axis=1)), [model.numbering.n_vertices + 7])
    interior = lambda p: np.hypot(p[:, 0], p[:, 1]) > 1.2  # noqa: E731
    held = model.nodes(interior)
    assert set(held) >= set(np.flatnonzero(interior(model.numbering.node_points)))


@pytest.mark.parametrize("p", [1.0, 2.5])
def test_a_pressure_on_a_curved_face_has_the_resultant_of_its_projection(p):
    # A uniform pressure on the quarter cylinder r = 1, 0 <= z <= 1 pushes the body by p times the
    # projected areas: (p, p, 0), exactly for any faceting of the arc from (1, 0) to (0, 1).
    model = Elasticity(tube(), STEEL)
    loaded = model.pressure(on_inner_cylinder, p)
    assert loaded == len(model.mesh.face_groups["inner"])
    np.testing.assert_allclose(model.nodal_loads.sum(axis=0), (p, p, 0.0), atol=1e-12 * p)


def test_a_curved_support_by_predicate_solves_as_the_face_group():
    results = []
    for inner in ("inner", on_inner_cylinder):
        model = Elasticity(tube(), STEEL)
        model.fix(inner)
        model.traction("end", (0.0, 0.0, -0.1))
        results.append(model.solve(rtol=1e-12).displacement)
    np.testing.assert_allclose(results[1], results[0], atol=1e-12 * np.abs(results[0]).max())


# Values that are not finite -----------------------------------------------------------------------
@pytest.mark.parametrize(
    "call",
    [
        lambda model: model.fix("xmin", value=np.nan),
        lambda model: model.fix("xmin", components="y", value=(0.0, np.inf, 0.0)),
        lambda model: model.fix("xmin", value=lambda p: np.where(p[:, 1:2] > 0.5, np.nan, 0.0) * np.ones(3)),
        lambda model: model.traction("xmax", (np.nan, 0.0, 0.0)),
        lambda model: model.traction("xmax", (log(x - 2.0), 0.0, 0.0)),
        lambda model: model.pressure("xmax", np.inf),
        lambda model: model.pressure("xmax", lambda p: np.where(p[:, 1] > 0.5, np.inf, 1.0)),
        lambda model: model.point_load(3, (0.0, np.nan, 0.0)),
        lambda model: model.point_load((np.nan, 0.0, 0.0), (1.0, 0.0, 0.0)),
        lambda model: model.body_force((0.0, 0.0, np.nan)),
        lambda model: model.body_force((log(x - 0.5), 0.0, 0.0)),
        lambda model: model.body_force((0.0, -np.inf, 0.0), elements=[0]),
        lambda model: model.frictionless("zmin", np.nan),
        lambda model: model.elastic_support("zmin", np.nan),
        lambda model: model.elastic_support("zmin", 1.0, normal=np.inf),
    ],
)
def test_loads_and_prescribed_values_that_are_not_finite_are_refused_and_change_nothing(call):
    model = cube()
    with pytest.raises(ValueError, match="finite"):
        call(model)
    assert not model.fixed.any() and not model.nodal_loads.any()
    assert not (model._body_forces or model._normal_supports or model._springs)


# Files --------------------------------------------------------------------------------------------
@pytest.fixture(scope="module")
def bent_block() -> Result:
    model = cube((3, 2, 2))
    model.fix("xmin")
    model.traction("xmax", (0.0, 0.0, -0.01))
    return model.solve(rtol=1e-10)


def test_the_displacement_vector_is_kept_beside_its_magnitude(bent_block, tmp_path):
    meshio = pytest.importorskip("meshio")
    path = tmp_path / "block.vtu"
    bent_block.write(path, fields=("displacement", "von_mises"))
    back = meshio.read(path)
    np.testing.assert_allclose(back.point_data["displacement"], bent_block.displacement)
    np.testing.assert_allclose(
        back.point_data["displacement_magnitude"], np.linalg.norm(bent_block.displacement, axis=1)
    )
    np.testing.assert_allclose(bent_block.field("displacement_magnitude"), bent_block.field("displacement"))


@pytest.mark.parametrize("name", ["block.msh", "block.inp", "block.foo", "block"])
def test_files_of_formats_that_lose_the_result_are_refused_before_writing(bent_block, tmp_path, name):
    pytest.importorskip("meshio")
    with pytest.raises(ValueError, match=r"\.vtu or \.vtk"):
        bent_block.write(tmp_path / name)
    assert not list(tmp_path.iterdir())


def test_legacy_vtk_keeps_the_quadratic_mesh(bent_block, tmp_path):
    meshio = pytest.importorskip("meshio")
    bent_block.write(tmp_path / "block.VTK")
    back = meshio.read(tmp_path / "block.VTK", file_format="vtk")
    np.testing.assert_array_equal(back.cells_dict["tetra10"], bent_block.model.numbering.element_nodes)


# Displacements between nodes ------------------------------------------------------------------------
def quadratic_field(points: np.ndarray) -> np.ndarray:
    px, py, pz = points.T
    return np.column_stack([px * px - py * pz + 1.0, 3.0 * px * py + pz, pz * pz - 2.0 * px + py * py])


@pytest.fixture(scope="module")
def quadratic_result() -> Result:
    """A result whose nodes carry a quadratic field, which the elements hold exactly, on a jittered mesh."""
    model = Elasticity(scrambled_mesh((3, 4, 2), seed=7), STEEL)
    return Result(model, quadratic_field(model.numbering.node_points), None)


def test_displacements_between_nodes_interpolate_the_quadratic_elements(quadratic_result):
    mesh = quadratic_result.model.mesh
    rng = np.random.default_rng(3)
    # Points inside random elements, on their faces and edges, and at the nodes.
    weights = rng.dirichlet(np.ones(4), size=300)
    weights[:50, 0] = 0.0
    weights[50:80, :2] = 0.0
    weights /= weights.sum(axis=1, keepdims=True)
    elements = rng.integers(len(mesh.tetrahedra), size=len(weights))
    points = np.einsum("kv,kvc->kc", weights, mesh.points[mesh.tetrahedra[elements]])
    points = np.concatenate([points, quadratic_result.points])
    np.testing.assert_allclose(quadratic_result.at(points), quadratic_field(points), atol=1e-12)
    one = quadratic_result.at(points[0])
    assert one.shape == (3,)
    np.testing.assert_allclose(one, quadratic_field(points[:1])[0], atol=1e-12)


def test_points_outside_the_mesh_are_refused_or_given_nan(quadratic_result):
    diagonal = np.sqrt(3.0)
    inside, just_outside, far = (0.5, 0.5, 0.5), (1.0 + 1e-9 * diagonal, 0.5, 0.5), (1.08, 0.5, 0.5)
    np.testing.assert_allclose(quadratic_result.at(just_outside), quadratic_field(np.array([just_outside]))[0])
    with pytest.raises(ValueError, match=r"point \(1.08, 0.5, 0.5\) lies outside the mesh"):
        quadratic_result.at(far)
    values = quadratic_result.at([inside, far, (np.nan, 0.0, 0.0)], outside="nan")
    assert np.isfinite(values[0]).all() and np.isnan(values[1:]).all()
    np.testing.assert_allclose(quadratic_result.at(far, tolerance=0.1), quadratic_field(np.array([far]))[0])
    with pytest.raises(ValueError, match="outside must be"):
        quadratic_result.at(inside, outside="nearest")


# Numberings of other meshes -------------------------------------------------------------------------
def moved(mesh: Mesh) -> Mesh:
    points = mesh.points.copy()
    points[13] += 0.01
    return Mesh(points, mesh.tetrahedra)


@pytest.mark.parametrize(
    "other, message",
    [
        (lambda mesh: box_mesh(3, 2, 2), "of a mesh of 36 points; this mesh has 27"),
        (lambda mesh: scrambled_mesh((2, 2, 2), seed=4), "element 0 has points"),
        (lambda mesh: Mesh(mesh.points, mesh.tetrahedra[::-1]), "element 0 has points"),
        (lambda mesh: moved(mesh), "node 13 of the numbering lies at"),
    ],
)
def test_a_numbering_of_another_mesh_is_refused(other, message):
    mesh = box_mesh(2, 2, 2)
    with pytest.raises(ValueError, match=message):
        Elasticity(mesh, STEEL, p2_numbering(other(mesh)))


def test_a_numbering_of_the_same_mesh_in_another_order_is_taken():
    mesh = box_mesh(2, 2, 2)
    model = Elasticity(mesh, STEEL, p2_numbering(mesh, order="morton"))
    model.fix("xmin")
    model.traction("xmax", (1.0, 0.0, 0.0))
    reference = cube()
    reference.fix("xmin")
    reference.traction("xmax", (1.0, 0.0, 0.0))
    np.testing.assert_allclose(
        model.solve(rtol=1e-12).displacement, reference.solve(rtol=1e-12).displacement, atol=1e-10
    )
    with pytest.raises(TypeError, match="numbering must be a Numbering"):
        Elasticity(mesh, STEEL, {"nodes": 3})
