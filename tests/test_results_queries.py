"""Queries on a result: values at points and along lines, face resultants, principal stresses, strain
energy and the energy-norm error, and the stresses averaged to the nodes, against independent answers."""

import numpy as np
import pytest
from tools_meshes import scrambled_mesh

from quarvex_tools import (
    Elasticity,
    Mesh,
    Result,
    box_mesh,
    cos,
    exp,
    isotropic,
    log,
    orthotropic,
    queries,
    results,
    sin,
    sqrt,
    x,
    y,
    z,
)
from quarvex_tools.mesh import OUTWARD_FACES
from quarvex_tools.p2 import TET_NODES, TRIANGLE_POINTS, TRIANGLE_WEIGHTS
from quarvex_tools.queries import derivative, principal_stresses, tresca, von_mises

STEEL = isotropic(E=200.0, nu=0.3)
HESSIANS = np.array(
    [
        [[2.0, 0.5, -1.0], [0.5, 0.0, 1.5], [-1.0, 1.5, -0.4]],
        [[0.3, -0.7, 0.2], [-0.7, 1.1, 0.0], [0.2, 0.0, 0.6]],
        [[-0.5, 0.4, 0.9], [0.4, 0.8, -0.3], [0.9, -0.3, 1.2]],
    ]
)
SLOPES = np.array([[1.0, -0.5, 0.25], [0.0, 2.0, -1.0], [0.5, 0.3, -0.7]])


def quadratic(points: np.ndarray) -> np.ndarray:
    """u_d = 1/2 x.H_d.x + g_d.x: in the quadratic elements' space."""
    return 0.5 * np.einsum("kj,djl,kl->kd", points, HESSIANS, points) + points @ SLOPES.T


def quadratic_gradient(points: np.ndarray) -> np.ndarray:
    return np.einsum("djl,kl->kdj", HESSIANS, points) + SLOPES


@pytest.fixture(scope="module")
def quadratic_result() -> Result:
    model = Elasticity(scrambled_mesh((3, 3, 2), seed=11), STEEL)
    return Result(model, quadratic(model.numbering.node_points), None)


def points_in_elements(mesh: Mesh, count: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    weights = rng.dirichlet(np.ones(4), size=count)
    weights[: count // 5, 0] = 0.0  # some on faces
    weights /= weights.sum(axis=1, keepdims=True)
    elements = rng.integers(len(mesh.tetrahedra), size=count)
    return np.einsum("kv,kvc->kc", weights, mesh.points[mesh.tetrahedra[elements]])


# Values at points ------------------------------------------------------------------------------------
@pytest.mark.parametrize(
    "field, averaged, exact",
    [
        ("displacement", True, quadratic),
        ("ux", True, lambda p: quadratic(p)[:, 0]),
        ("displacement_magnitude", True, lambda p: np.linalg.norm(quadratic(p), axis=1)),
        ("gradient", False, quadratic_gradient),
        ("gradient", True, quadratic_gradient),  # the nodal mean of a linear gradient is exact
        ("strain", False, lambda p: 0.5 * (quadratic_gradient(p) + np.swapaxes(quadratic_gradient(p), 1, 2))),
        ("stress", True, lambda p: STEEL.stress(quadratic_gradient(p))),
        ("von_mises", False, lambda p: von_mises(STEEL.stress(quadratic_gradient(p)))),
        ("principal_3", True, lambda p: np.linalg.eigvalsh(STEEL.stress(quadratic_gradient(p)))[:, 0]),
        ("node values", True, lambda p: quadratic(p)[:, 0] - 2.0 * p[:, 1] ** 2),
    ],
)
def test_fields_at_points_reproduce_a_field_of_the_elements_space(quadratic_result, field, averaged, exact):
    points = points_in_elements(quadratic_result.model.mesh, 200, seed=5)
    if field == "node values":  # a quadratic field of one's own, given at the nodes
        field = exact(quadratic_result.points)
    values = quadratic_result.at(points, field=field, averaged=averaged)
    expected = exact(points)
    np.testing.assert_allclose(values, expected, atol=1e-10 * np.abs(expected).max())
    one = quadratic_result.at(points[7], field=field, averaged=averaged)
    assert one.shape == expected.shape[1:]


def test_points_outside_are_flagged_with_nan_and_refused_on_request(quadratic_result):
    inside = points_in_elements(quadratic_result.model.mesh, 3, seed=2)
    outside = np.array([(1.2, 0.5, 0.5), (0.5, -0.3, 0.5), (np.nan, 0.5, 0.5)])
    probe = quadratic_result.probe(np.concatenate([inside, outside]), "stress")
    assert probe.inside.tolist() == [True] * 3 + [False] * 3
    assert (probe.element[3:] == -1).all() and (probe.element[:3] >= 0).all()
    assert np.isnan(probe.values[3:]).all() and np.isfinite(probe.values[:3]).all()
    assert probe.values.shape == (6, 3, 3)
    with pytest.raises(ValueError, match=r"point \(1.2, 0.5, 0.5\) lies outside the mesh"):
        quadratic_result.at(outside[0], field="von_mises")


def test_a_line_samples_from_end_to_end_and_leaves_gaps_outside(quadratic_result):
    start, end = np.array([-0.5, 0.3, 0.4]), np.array([0.9, 0.6, 0.2])
    line = quadratic_result.along(start, end, 29, "stress_xy", averaged=False)
    assert line.values.shape == (29,) and line.points.shape == (29, 3)
    np.testing.assert_allclose(line.distance[[0, -1]], [0.0, np.linalg.norm(end - start)])
    np.testing.assert_allclose(line.points[[0, -1]], [start, end])
    assert not line.inside[0] and np.isnan(line.values[0]) and line.inside[-1]
    entered = line.points[line.inside]
    np.testing.assert_allclose(
        line.values[line.inside], quadratic_result.at(entered, field="stress_xy", averaged=False), rtol=0, atol=1e-12
    )
    assert line.points[~line.inside][:, 0].max() < 0.0  # the gap is where the line is outside the box
    inner = quadratic_result.along((0.1, 0.2, 0.3), (0.8, 0.9, 0.4), 5)
    np.testing.assert_allclose(inner.values[[0, -1]], quadratic_result.at([(0.1, 0.2, 0.3), (0.8, 0.9, 0.4)]))


# Resultants over faces -------------------------------------------------------------------------------
def section_faces(mesh: Mesh, at: float) -> np.ndarray:
    """The element faces on the plane x = at, listed so that their right-hand normal is +x."""
    faces = np.unique(np.sort(mesh.tetrahedra[:, OUTWARD_FACES].reshape(-1, 3), axis=1), axis=0)
    faces = faces[np.isclose(mesh.points[faces][:, :, 0], at).all(axis=1)]
    corners = mesh.points[faces]
    normal_x = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])[:, 0]
    faces[normal_x < 0] = faces[normal_x < 0][:, ::-1]
    return faces


# Exact solutions with a uniform and a linear stress (pure bending), both in the elements' space.
TENSION = ((5.0, 0.0, 0.0), (5.0 * x / 200.0, -0.3 * 5.0 * y / 200.0, -0.3 * 5.0 * z / 200.0))
BENDING = (
    (4.0 * z, 0.0, 0.0),
    (4.0 * x * z / 200.0, -0.3 * 4.0 * y * z / 200.0, -4.0 / 400.0 * (x * x + 0.3 * (z * z - y * y))),
)


@pytest.fixture(scope="module", params=[TENSION, BENDING], ids=["tension", "bending"])
def loaded_bar(request) -> tuple[Result, float]:
    traction, exact = request.param
    box = box_mesh(4, 2, 2, size=(2.0, 1.0, 1.0), origin=(0.0, -0.5, -0.5))
    faces = dict(box.face_groups, cut=section_faces(box, 1.0))
    mesh = Mesh(box.points, box.tetrahedra, face_groups=faces)
    model = Elasticity(mesh, STEEL)
    model.fix("xmin", value=exact)
    model.traction("xmax", traction)
    return model.solve(rtol=1e-12), float(np.abs(model.nodal_loads).sum())


def test_resultants_balance_the_load_and_the_support_reaction(loaded_bar):
    result, load = loaded_bar
    about = np.array([0.3, 0.2, -0.1])
    loaded = result.face_resultant("xmax", about=about)
    support = result.face_resultant("xmin", about=about)
    cut = result.face_resultant("cut", about=about)
    reaction = result.reactions("xmin", about=about)
    applied = result.model.nodal_loads
    arms = result.points - about
    tolerance = 1e-8 * load
    np.testing.assert_allclose(loaded.force, applied.sum(axis=0), atol=tolerance)
    np.testing.assert_allclose(loaded.moment, np.cross(arms, applied).sum(axis=0), atol=tolerance)
    np.testing.assert_allclose(support.force, reaction.force, atol=tolerance)
    np.testing.assert_allclose(support.moment, reaction.moment, atol=tolerance)
    # The section carries what the loaded end does, and the support balances it.
    np.testing.assert_allclose(cut.force, loaded.force, atol=tolerance)
    np.testing.assert_allclose(cut.moment, loaded.moment, atol=tolerance)
    np.testing.assert_allclose(support.force + loaded.force, 0.0, atol=tolerance)
    assert loaded.area == pytest.approx(1.0) and cut.area == pytest.approx(1.0)


def test_boundary_faces_take_the_outward_normal_whatever_their_order(loaded_bar):
    result, load = loaded_bar
    triangles = result.model.mesh.face_groups["xmax"]
    flipped = triangles.copy()
    flipped[::2] = flipped[::2, ::-1]
    np.testing.assert_allclose(
        result.face_resultant(flipped).force, result.face_resultant("xmax").force, atol=1e-12 * load
    )
    by_predicate = result.face_resultant(lambda p: np.isclose(p[:, 0], 2.0))
    np.testing.assert_allclose(by_predicate.force, result.face_resultant("xmax").force, atol=1e-12 * load)


def test_an_inner_face_takes_the_mean_of_its_two_sides_and_the_normal_of_its_vertex_order():
    box = box_mesh(2, 2, 2)
    cut = section_faces(box, 0.5)
    model = Elasticity(Mesh(box.points, box.tetrahedra, face_groups={"cut": cut}), STEEL)
    result = Result(model, np.random.default_rng(12).normal(size=(model.numbering.n_nodes, 3)), None)
    # The same rule by hand, each point nudged into either side, where `at` takes that side's element.
    corners = box.points[cut]
    area = 0.5 * np.linalg.norm(np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]), axis=1)
    quad_points = np.einsum("qv,kvc->kqc", TRIANGLE_POINTS, corners).reshape(-1, 3)
    weights = (TRIANGLE_WEIGHTS * area[:, None]).ravel()
    nudge = np.array([1e-8, 0.0, 0.0])
    sides = [result.at(quad_points + sign * nudge, field="stress", averaged=False) for sign in (-1.0, 1.0)]
    assert np.abs(sides[0] - sides[1]).max() > 1.0, "the stress must jump across the cut for this test"
    expected = np.einsum("k,kij,j->i", weights, 0.5 * (sides[0] + sides[1]), (1.0, 0.0, 0.0))
    found = result.face_resultant("cut")
    scale = np.abs(sides[0]).max()
    np.testing.assert_allclose(found.force, expected, atol=1e-6 * scale)
    np.testing.assert_allclose(result.face_resultant(cut[:, ::-1]).force, -found.force, atol=1e-12 * scale)


def test_face_means_of_a_uniform_stress():
    result = _tension_bar()
    mean = result.face_resultant("xmax").mean_stress
    expected = np.zeros((3, 3))
    expected[0, 0] = 5.0
    np.testing.assert_allclose(mean, expected, atol=1e-8)
    for name, value in [
        ("stress_xx", 5.0),
        ("von_mises", 5.0),
        ("tresca", 5.0),
        ("principal_1", 5.0),
        ("principal_3", 0.0),
        ("stress_yz", 0.0),
    ]:
        assert result.face_mean("ymin", name) == pytest.approx(value, abs=1e-8), name
        np.testing.assert_allclose(result.field(name), value, atol=1e-7, err_msg=name)


def _tension_bar() -> Result:
    traction, exact = TENSION
    model = Elasticity(scrambled_mesh((2, 2, 2), seed=3), STEEL)
    model.fix("xmin", value=exact)
    model.traction("xmax", traction)
    return model.solve(rtol=1e-12)


# Principal stresses -------------------------------------------------------------------------------------
R = 1.0 / np.sqrt(2.0)


@pytest.mark.parametrize(
    "stress, values, directions, equivalent",
    [
        (np.diag([7.0, 0.0, 0.0]), (7.0, 0.0, 0.0), [(1, 0, 0), None, None], (7.0, 7.0)),
        (np.diag([0.0, -3.0, 0.0]), (0.0, 0.0, -3.0), [None, None, (0, 1, 0)], (3.0, 3.0)),
        (
            [[0, 2, 0], [2, 0, 0], [0, 0, 0]],
            (2.0, 0.0, -2.0),
            [(R, R, 0), (0, 0, 1), (R, -R, 0)],
            (2.0 * np.sqrt(3.0), 4.0),
        ),
        (-4.0 * np.eye(3), (-4.0, -4.0, -4.0), [None, None, None], (0.0, 0.0)),
        ([[1, 0, 0], [0, 5, 1], [0, 1, 5]], (6.0, 4.0, 1.0), [(0, R, R), (0, R, -R), (1, 0, 0)], (np.sqrt(19.0), 5.0)),
    ],
    ids=["uniaxial", "uniaxial compression", "pure shear", "hydrostatic", "mixed"],
)
def test_principal_stresses_of_known_tensors(stress, values, directions, equivalent):
    stress = np.asarray(stress, dtype=np.float64)
    found, axes = principal_stresses(stress)
    np.testing.assert_allclose(found, values, atol=1e-12)
    np.testing.assert_allclose(axes.T @ axes, np.eye(3), atol=1e-12)
    np.testing.assert_allclose(stress @ axes, axes * found, atol=1e-12)
    for k, direction in enumerate(directions):
        if direction is not None:
            assert abs(axes[:, k] @ np.array(direction)) == pytest.approx(1.0), f"direction {k}"
    assert (float(von_mises(stress)), float(tresca(stress))) == pytest.approx(equivalent)


def test_principal_stresses_of_rotated_tensors_in_batches():
    rng = np.random.default_rng(4)
    rotations = np.linalg.qr(rng.normal(size=(50, 3, 3)))[0]
    values = np.sort(rng.normal(size=(50, 3)), axis=1)[:, ::-1]
    stress = np.einsum("kij,kj,klj->kil", rotations, values, rotations)
    found, axes = principal_stresses(stress)
    np.testing.assert_allclose(found, values, atol=1e-12)
    np.testing.assert_allclose(np.abs(np.einsum("kij,kij->kj", axes, rotations)), 1.0, atol=1e-9)


# Strain energy and the energy-norm error -------------------------------------------------------------------
@pytest.mark.parametrize(
    "material",
    [STEEL, orthotropic(70.0, 50.0, 40.0, 0.25, 0.2, 0.3, 20.0, 15.0, 18.0)],
    ids=["isotropic", "orthotropic"],
)
def test_strain_energy_two_ways_equals_the_work_of_the_loads(material):
    pytest.importorskip("scipy")
    mesh = scrambled_mesh((4, 2, 2), seed=6)
    centroids = mesh.points[mesh.tetrahedra].mean(axis=1)
    mesh = Mesh(
        mesh.points,
        mesh.tetrahedra,
        face_groups=mesh.face_groups,
        element_groups={"near": np.flatnonzero(centroids[:, 0] < 0.5)},
    )
    model = Elasticity(mesh, material)
    model.fix("xmin")
    model.traction("xmax", (0.2, -0.5, 1.0))
    model.pressure("ymax", 0.3)
    result = model.solve(rtol=1e-12)
    work = 0.5 * float((model.nodal_loads * result.displacement).sum())
    integral = result.strain_energy()
    assert integral == pytest.approx(work, rel=1e-9)
    assert result.strain_energy(method="matrix") == pytest.approx(integral, rel=1e-11)
    near = result.strain_energy("near")
    far = result.strain_energy(~np.isin(np.arange(len(mesh.tetrahedra)), mesh.element_groups["near"]))
    assert 0.0 < near < integral and near + far == pytest.approx(integral, rel=1e-12)


@pytest.mark.parametrize(
    "expression",
    [
        sin(x) * y + 2,
        cos(x * z) - exp(y),
        log(x + 2) / (y + 3),
        (x - y) ** 3 * z**-2,
        -sqrt(x * x + y + 1),
        x / y**2,
        3.0 - z * exp(-x),
    ],
    ids=["sin", "cos exp", "log div", "powers", "neg sqrt", "div by power", "exp of neg"],
)
def test_derivatives_of_expressions_match_finite_differences(expression):
    points = np.random.default_rng(9).uniform(0.5, 1.5, size=(20, 3))
    step = 1e-6
    for axis in range(3):
        shift = np.zeros(3)
        shift[axis] = step
        central = (expression(points + shift) - expression(points - shift)) / (2 * step)
        np.testing.assert_allclose(derivative(expression, axis)(points), central, rtol=1e-7, atol=1e-7)


def solve_cubic(cells: int) -> Result:
    """u = (x^3, 0, 0) on the unit cube, every side held at it: the body force is -(lam + 2 mu) 6 x along x."""
    lam, mu = 200.0 * 0.3 / (1.3 * 0.4), 200.0 / 2.6
    model = Elasticity(box_mesh(cells, cells, cells), STEEL)
    for side in ("xmin", "xmax", "ymin", "ymax", "zmin", "zmax"):
        model.fix(side, value=(x**3, 0.0, 0.0))
    model.body_force((-(lam + 2 * mu) * 6.0 * x, 0.0, 0.0))
    return model.solve(rtol=1e-12)


def test_energy_error_of_a_reproduced_field_vanishes(quadratic_result):
    scale = np.sqrt(2.0 * quadratic_result.strain_energy())
    assert quadratic_result.energy_error(quadratic_gradient) < 1e-12 * scale
    coords = (x, y, z)
    exact = [
        0.5 * sum(HESSIANS[d][j, k] * coords[j] * coords[k] for j in range(3) for k in range(3))
        + sum(SLOPES[d][j] * coords[j] for j in range(3))
        for d in range(3)
    ]
    assert quadratic_result.energy_error(exact) < 1e-12 * scale


def test_energy_error_converges_at_rate_two_beside_the_l2_rate_three():
    exact = (x**3, 0.0, 0.0)
    results = [solve_cubic(cells) for cells in (3, 6)]
    energy = [r.energy_error(exact) for r in results]
    l2 = [r.l2_error(exact) for r in results]
    energy_rate, l2_rate = np.log2(energy[0] / energy[1]), np.log2(l2[0] / l2[1])
    assert 1.8 < energy_rate < 2.3, f"observed energy-norm rate {energy_rate:.3f}"
    assert 2.7 < l2_rate < 3.3, f"observed L2 rate {l2_rate:.3f}"
    by_function = results[1].energy_error(lambda p: np.einsum("k,ij->kij", 3.0 * p[:, 0] ** 2, np.diag([1, 0, 0])))
    assert by_function == pytest.approx(energy[1], rel=1e-12)


# Stresses averaged to the nodes ------------------------------------------------------------------------------
@pytest.mark.parametrize("block", [1, 7, 1 << 15], ids=["one element", "seven", "all at once"])
def test_nodal_stress_is_the_mean_of_the_elements_stresses_at_the_node(monkeypatch, block):
    model = Elasticity(scrambled_mesh((2, 3, 2), seed=8), STEEL)
    points = model.numbering.node_points
    field = np.column_stack(
        [np.sin(3 * points[:, 0]) * points[:, 1], points[:, 2] ** 3, np.exp(points[:, 0] * points[:, 1])]
    )
    whole = Result(model, field, None)
    energy, probe = whole.strain_energy(), whole.at(points[::5], field="strain", averaged=False)
    # Blocks of elements and of points must add up to what one block gives.
    monkeypatch.setattr(queries, "_CHUNK", block)
    monkeypatch.setattr(results, "_POINTS_PER_BLOCK", block)
    result = Result(model, field, None)
    assert result.strain_energy() == pytest.approx(energy, rel=1e-12)
    np.testing.assert_allclose(result.at(points[::5], field="strain", averaged=False), probe, rtol=0, atol=1e-12)
    total, count = np.zeros((len(points), 3, 3)), np.zeros(len(points))
    for element, nodes in enumerate(model.numbering.element_nodes):
        total[nodes] += result.stress(TET_NODES, np.array([element]))[0]
        count[nodes] += 1
    expected = total / count[:, None, None]
    np.testing.assert_allclose(result.nodal_stress(), expected, atol=1e-12 * np.abs(expected).max())
    values, axes = result.principal_stresses()
    scale = 1e-12 * np.abs(expected).max()
    np.testing.assert_allclose(result.field("principal_2"), values[:, 1], atol=scale)
    np.testing.assert_allclose(result.field("tresca"), values[:, 0] - values[:, 2], atol=scale)
    np.testing.assert_allclose(
        np.einsum("kij,kj->ki", expected, axes[:, :, 0]),
        values[:, :1] * axes[:, :, 0],
        atol=1e-10 * np.abs(expected).max(),
    )


# Refused input --------------------------------------------------------------------------------------------
@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda r: r.probe(np.zeros((2, 2))), ValueError, r"shape \(3,\) or \(k, 3\)"),
        (lambda r: r.probe((0.5, 0.5, 0.5), "speed"), ValueError, "unknown field 'speed'"),
        (lambda r: r.probe((0.5, 0.5, 0.5), np.zeros(4)), ValueError, "one row per node"),
        (lambda r: r.probe((0.5, 0.5, 0.5), tolerance=-1.0), ValueError, "tolerance must be"),
        (lambda r: r.along((0, 0, 0), (1, 1, 1), 1), ValueError, "n must be an integer of at least 2"),
        (lambda r: r.along((0, 0, 0), (1, 1, 1), 2.5), ValueError, "n must be an integer"),
        (lambda r: r.along((0, 0, np.inf), (1, 1, 1)), ValueError, "finite points"),
        (lambda r: r.along((2, 2, 2), (3, 3, 3)), ValueError, "misses the mesh"),
        (lambda r: r.face_resultant("top"), KeyError, "no face group 'top'"),
        (lambda r: r.face_resultant(np.array([[0, 1, 2]])), ValueError, "no face of an element"),
        (lambda r: r.face_resultant(np.array([[0.0, 1.0, 2.0]])), TypeError, "point indices"),
        (lambda r: r.face_resultant(np.zeros((0, 3), dtype=int)), ValueError, "holds no face"),
        (lambda r: r.face_resultant("xmin", about=(0, 0)), ValueError, "about must be a point"),
        (lambda r: r.face_mean("xmin", "stress"), ValueError, "takes a scalar field"),
        (lambda r: r.strain_energy(method="work"), ValueError, "method must be"),
        (lambda r: r.strain_energy([0], method="matrix"), ValueError, "measures every element"),
        (lambda r: r.strain_energy([0.0]), TypeError, "must be integers"),
        (lambda r: r.strain_energy([10**6]), ValueError, "must lie in"),
        (lambda r: r.strain_energy("left"), KeyError, "no element group"),
        (lambda r: r.energy_error(lambda p: np.zeros((len(p), 3))), ValueError, r"shape \(\d+, 3, 3\)"),
        (lambda r: r.energy_error((x, y)), ValueError, "three components"),
    ],
)
def test_bad_queries_raise_clear_errors(quadratic_result, call, error, message):
    with pytest.raises(error, match=message):
        call(quadratic_result)
