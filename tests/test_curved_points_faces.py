"""Values at points and face integrals on curved (isoparametric) 10-node tetrahedra: points are located
through the curved map and faces integrated over the quadratic triangles through their six nodes."""

import numpy as np
import pytest
from test_curved_elements import SPHERE, mapped_box, ten_node, to_ball
from test_curved_results import EXACT, MATERIAL, A, bend, bent_mesh, exact_values, result_of

from quarvex_tools import Elasticity, Mesh, box_mesh
from quarvex_tools.p2 import element_node_positions, mapped_points
from quarvex_tools.queries import gradient_function
from quarvex_tools.results import Result


@pytest.fixture(scope="module")
def bent():
    return result_of(bent_mesh())


def interior_points(mesh, count, seed):
    """Random points well inside random curved elements: (count, 3) points and their elements."""
    rng = np.random.default_rng(seed)
    elements = rng.choice(mesh.curved, count)
    lam = 0.1 + 0.6 * rng.dirichlet(np.ones(4), count)  # every barycentric at least 0.1, summing to 1
    nodes = element_node_positions(mesh.points, mesh.tetrahedra[elements], mesh.edge_points[elements])
    physical = np.stack([mapped_points(nodes[k : k + 1], lam[k : k + 1, 1:])[0, 0] for k in range(count)])
    return physical, elements


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize(
    ("field", "exact"),
    [
        ("displacement", exact_values),
        ("uy", lambda p: exact_values(p)[:, 1]),
        ("gradient", gradient_function(EXACT)),
        ("stress", lambda p: MATERIAL.stress(gradient_function(EXACT)(p))),
        ("von_mises", None),
    ],
)
def test_field_carried_exactly_is_probed_exactly_inside_curved_elements(bent, seed, field, exact):
    mesh = bent.model.mesh
    points, elements = interior_points(mesh, 60, seed)
    probe = bent.probe(points, field, averaged=False)
    assert probe.inside.all()
    np.testing.assert_array_equal(probe.element, elements)
    if exact is None:
        stress = MATERIAL.stress(gradient_function(EXACT)(points))
        deviator = stress - np.trace(stress, axis1=1, axis2=2)[:, None, None] * np.eye(3) / 3
        expected = np.sqrt(1.5 * np.einsum("kij,kij->k", deviator, deviator))
    else:
        expected = exact(points)
    error = np.abs(probe.values - expected).max()
    assert error < 1e-11, f"largest error {error:.3g} of {field} at points of curved elements"
    np.testing.assert_array_equal(bent.at(points, field=field, averaged=False), probe.values)


def test_line_through_curved_elements_samples_the_exact_field(bent):
    samples = bent.along((0.1, 0.05, 0.2), (0.9, 0.95, 0.7), n=41)
    assert samples.inside.all()
    error = np.abs(samples.values - exact_values(samples.points)).max()
    assert error < 1e-12, f"largest displacement error {error:.3g} along the line"


@pytest.mark.parametrize(
    ("cube_point", "offset", "inside"),
    [
        ((0.25, 0.002, 0.5), 0.0, True),  # between the curved face y = A x^2 and its chords: in the material
        ((0.25, 0.0, 0.5), 0.0, True),  # on the curved face itself
        ((0.25, 1.0, 0.5), 0.005, False),  # beyond y = 1 + A x^2 but short of its chords: outside
    ],
)
def test_curved_geometry_decides_where_it_and_the_chords_disagree(bent, cube_point, offset, inside):
    point = bend(np.array([cube_point])) + np.array([0.0, offset, 0.0])
    chord_gap = A * 0.25**2  # the chords lie A x (0.5 - x) off the curve between vertices 0 and 0.5
    assert 0.002 < chord_gap and offset < chord_gap
    probe = bent.probe(point)
    assert probe.inside[0] == inside
    if inside:
        np.testing.assert_allclose(probe.values, exact_values(point), rtol=0, atol=1e-12)
    else:
        assert np.isnan(probe.values).all()
        with pytest.raises(ValueError, match="lies outside the mesh"):
            bent.at(point[0])


@pytest.fixture(scope="module")
def squeezed_ball():
    """The ball octant in its exact hydrostatic state under pressure 1.5: the stress is -1.5 I everywhere."""
    mesh = mapped_box(3, to_ball)
    model = Elasticity(mesh, MATERIAL)
    displacement = -1.5 * (1 - 2 * 0.3) * model.numbering.node_points
    return Result(model, displacement, report=None)


@pytest.mark.parametrize("faces", [*SPHERE, "all"])
def test_resultant_of_uniform_pressure_over_curved_faces_is_the_applied_load(squeezed_ball, faces):
    mesh = squeezed_ball.model.mesh
    loaded = Elasticity(mesh, MATERIAL)
    groups = SPHERE if faces == "all" else (faces,)
    for group in groups:
        loaded.pressure(group, 1.5)
    triangles = np.concatenate([mesh.face_groups[group] for group in groups])
    applied = loaded.nodal_loads.sum(axis=0)
    moment = np.cross(loaded.numbering.node_points, loaded.nodal_loads).sum(axis=0)
    resultant = squeezed_ball.face_resultant(triangles, about=(0.1, 0.2, 0.3))
    np.testing.assert_allclose(resultant.force, applied, rtol=0, atol=1e-13)
    arm = np.array([0.1, 0.2, 0.3])
    np.testing.assert_allclose(resultant.moment, moment - np.cross(arm, applied), rtol=0, atol=1e-13)
    np.testing.assert_allclose(resultant.mean_stress, -1.5 * np.eye(3), rtol=0, atol=1e-13)
    assert squeezed_ball.face_mean(triangles, "stress_xx") == pytest.approx(-1.5, abs=1e-13)


def test_area_of_curved_faces_is_the_curved_surface_area(bent):
    """The face y = 0 of the cube bends onto y = A x^2: area = integral over x of sqrt(1 + (2 A x)^2)."""
    s = 2 * A
    exact = (s * np.sqrt(1 + s**2) + np.arcsinh(s)) / (2 * s)
    area = bent.face_resultant("ymin").area
    assert abs(area - exact) < 1e-9, f"area {area:.12f} against {exact:.12f}"


def test_straight_elements_of_a_curved_mesh_keep_their_values_bit_for_bit():
    """Only the edges in the face x = 1 bulge: points and faces away from it give what the straight mesh gives."""
    box = box_mesh(3, 3, 3)

    def bulge(p):
        return p + (0.05 * p[:, 1] * (1 - p[:, 1]) * p[:, 2] * (1 - p[:, 2]) * (p[:, 0] > 1 - 1e-9))[:, None]

    points, tets10 = ten_node(box, bulge)
    mixed = Mesh(points, tets10, face_groups=box.face_groups)
    assert 0 < len(mixed.curved) < len(mixed.tetrahedra)
    straight = Mesh(mixed.points, mixed.tetrahedra, face_groups=box.face_groups)
    results = [result_of(mesh) for mesh in (mixed, straight)]
    np.testing.assert_array_equal(results[0].model.numbering.element_nodes, results[1].model.numbering.element_nodes)
    displacement = results[1].displacement  # the same node values on both
    results[0] = Result(results[0].model, displacement, report=None)
    query = np.random.default_rng(3).uniform(0.0, 0.6, (200, 3))
    for field in ("displacement", "stress"):
        probes = [r.probe(query, field, averaged=False) for r in results]
        np.testing.assert_array_equal(probes[0].element, probes[1].element)
        np.testing.assert_array_equal(probes[0].values, probes[1].values)
    resultants = [r.face_resultant("xmin") for r in results]
    np.testing.assert_array_equal(resultants[0].force, resultants[1].force)
    np.testing.assert_array_equal(resultants[0].moment, resultants[1].moment)


@pytest.mark.parametrize("cells", [1, 2])
def test_points_of_strongly_curved_elements_are_found_and_take_a_linear_field_exactly(cells):
    """The cube mapped onto the ball octant: one or two elements a side, their edges bent far off their chords."""
    mesh = mapped_box(cells, to_ball)
    model = Elasticity(mesh, MATERIAL)
    gradient = np.array([[0.3, -0.1, 0.2], [0.05, 0.4, -0.3], [0.1, 0.2, -0.5]])
    result = Result(model, model.numbering.node_points @ gradient.T, report=None)
    points, elements = interior_points(mesh, 200, seed=cells)
    probe = result.probe(points, "gradient", averaged=False)
    np.testing.assert_array_equal(probe.element, elements)
    np.testing.assert_allclose(probe.values, np.broadcast_to(gradient, probe.values.shape), rtol=0, atol=1e-12)
    np.testing.assert_allclose(result.at(points), points @ gradient.T, rtol=0, atol=1e-12)
