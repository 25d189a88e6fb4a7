"""No silent wrong answer from the package's solves: materials without positive strain energy
are refused, loads far from 1 solve like any other, a residual stuck at its rounding floor stops
every method with the same word, supports that leave a rigid-body motion free are named before
anything is solved, and failures of the core reach the caller as an Exception saying what to do."""

import math
import warnings

import numpy as np
import pytest

from quarvex_tools import (
    Elasticity,
    Material,
    SolverError,
    box_mesh,
    from_voigt,
    isotropic,
    orthotropic,
    solve_system,
    supports,
    system,
)


def voigt_isotropic(E, nu):
    """The isotropic Voigt matrix written out, whatever E and nu (isotropic() refuses bad ones)."""
    lam, mu = E * nu / ((1 + nu) * (1 - 2 * nu)), E / (2 * (1 + nu))
    voigt = np.zeros((6, 6))
    voigt[:3, :3] = lam
    voigt[:3, :3] += 2 * mu * np.eye(3)
    voigt[3:, 3:] = mu * np.eye(3)
    return voigt


def skewed_voigt():
    voigt = voigt_isotropic(1.0, 0.3)
    voigt[0, 5] += 0.1
    return voigt


def _tensor(voigt):
    """The full 9 x 9 tensor of a Voigt matrix, as from_voigt builds it, without its checks."""
    index = np.array([[0, 5, 4], [5, 1, 3], [4, 3, 2]]).ravel()
    return voigt[np.ix_(index, index)]


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: from_voigt(voigt_isotropic(1.0, 0.6)), r"Voigt stiffness matrix must be positive definite.* from -5 "),
        (lambda: from_voigt(voigt_isotropic(1.0, -1.2)), "positive definite"),
        (lambda: from_voigt(np.zeros((6, 6))), "positive definite"),
        (lambda: from_voigt(skewed_voigt()), r"must be symmetric: entry \[0\]\[5\] = 0.1"),
        (lambda: from_voigt(np.full((6, 6), np.nan)), "finite"),
        (lambda: Material(_tensor(voigt_isotropic(1.0, 0.6))), "restricted to symmetric strains"),
        (lambda: Material(-np.eye(9)), "positive definite"),
        (lambda: Material(_tensor(voigt_isotropic(1.0, 0.3)) + 0.25 * np.eye(9, k=4)), r"symmetric: entry \[0\]\[4\]"),
        (lambda: orthotropic(0.0, 1, 1, 0.1, 0.1, 0.1, 1, 1, 1), "Ex must be a positive finite modulus, got 0"),
        (lambda: orthotropic(1, -2.0, 1, 0.1, 0.1, 0.1, 1, 1, 1), "Ey must be a positive"),
        (lambda: orthotropic(1, 1, 1, 0.1, 0.1, 0.1, 1, 0.0, 1), "G_yz must be a positive"),
        (lambda: orthotropic(1, 1, math.inf, 0.1, 0.1, 0.1, 1, 1, 1), "Ez must be a positive finite"),
        (lambda: orthotropic(1, 1, 1, 0.1, math.nan, 0.1, 1, 1, 1), "nu_yz must be a finite"),
    ],
    ids=[
        "nu 0.6",
        "nu -1.2",
        "zero",
        "not symmetric",
        "nan",
        "tensor nu 0.6",
        "negative tensor",
        "tensor not symmetric",
        "Ex 0",
        "Ey negative",
        "G_yz 0",
        "Ez inf",
        "nu nan",
    ],
)
def test_materials_without_positive_strain_energy_are_refused(make, message):
    with pytest.raises(ValueError, match=message):
        make()


@pytest.mark.parametrize(
    "make",
    [
        lambda: isotropic(E=1.0, nu=0.4999999),  # nearly incompressible: badly conditioned, still definite
        lambda: isotropic(E=210e9, nu=-0.9),
        lambda: from_voigt(voigt_isotropic(70e9, 0.33)),
        lambda: orthotropic(140e9, 10e9, 10e9, 0.3, 0.45, 0.3, 5e9, 3.4e9, 5e9),
        lambda: Material(np.eye(9)),  # the vector Laplacian: positive on every gradient
    ],
    ids=["nu near 0.5", "nu -0.9", "voigt", "orthotropic", "laplacian"],
)
def test_definite_materials_are_kept_as_given(make):
    material = make()
    assert material.matrix.shape == (9, 9)
    if material.name != "material":
        np.testing.assert_array_equal(from_voigt(material.voigt()).matrix, material.matrix)


def cantilever(load, mesh=None):
    """A clamped bar under a body force of the given size."""
    model = Elasticity(mesh or box_mesh(3, 1, 1, size=(3.0, 1.0, 1.0)), isotropic(E=1.0, nu=0.3))
    model.fix("xmin")
    model.body_force((0.3 * load, 0.0, -load))
    return model


@pytest.mark.parametrize("method", ["cg", "amg"])
@pytest.mark.parametrize("load", [1e-200, 1e-160, 2.0**-1000, 1e200, 1e300])
def test_a_far_load_gives_that_multiple_of_the_unit_answer(load, method):
    # The squares of such loads' norms leave the range of double; they used to stop at once on a
    # zero norm (a zero answer reported converged), too early, or on an overflow (a breakdown).
    unit = cantilever(1.0).solve(rtol=1e-10, method=method)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        far = cantilever(load).solve(rtol=1e-10, method=method)
    assert far.report.converged and far.report.iterations > 0
    assert far.report.rhs_norm == pytest.approx(load * unit.report.rhs_norm, rel=1e-12)
    assert far.report.residual_norm <= 1e-10 * far.report.rhs_norm
    np.testing.assert_allclose(
        far.displacement / load, unit.displacement, rtol=0.0, atol=1e-8 * np.abs(unit.displacement).max()
    )


@pytest.mark.parametrize("method", ["cg", "amg"])
def test_every_method_stops_where_the_residual_no_longer_falls(method):
    model = cantilever(1.0, box_mesh(4, 2, 2, size=(4.0, 1.0, 1.0)))
    with pytest.warns(RuntimeWarning) as caught:
        result = model.solve(rtol=1e-18, method=method)
    report = result.report
    assert report.stalled and not report.converged
    assert report.iterations < 10 * model.dofs.n_free // 4, report.iterations  # far below the step limit
    assert len(caught) == 1 and "stopped where the residual no longer falls" in str(caught[0].message)
    # It stopped at the floor, which a tolerance of rounding's order then meets.
    assert report.residual_norm < 1e-10 * report.rhs_norm


# Supports of a 4 x 1 x 1 bar (x in [0, 4]) and the motions they leave free.
def on_line(y, z):
    return lambda p: (np.abs(p[:, 1] - y) < 1e-12) & (np.abs(p[:, 2] - z) < 1e-12)


def at(*point):
    return lambda p: np.all(np.abs(p - np.array(point)) < 1e-12, axis=1)


ROTATION_X = "rotation about an axis along (1, 0, 0) through (0, 0.5, 0.5)"
SUPPORTS = [
    (
        "none",
        lambda m: None,
        [
            "translation along (1, 0, 0)",
            "translation along (0, 1, 0)",
            "translation along (0, 0, 1)",
            ROTATION_X,
            "rotation about an axis along (0, 1, 0) through (2, 0, 0.5)",
            "rotation about an axis along (0, 0, 1) through (2, 0.5, 0)",
        ],
    ),
    ("a fixed edge", lambda m: m.fix(on_line(0.0, 0.0)), ["rotation about an axis along (1, 0, 0) through (0, 0, 0)"]),
    ("a fixed centre line", lambda m: m.fix(on_line(0.5, 0.5)), [ROTATION_X]),
    ("two fixed points", lambda m: (m.fix(at(0, 0.5, 0.5)), m.fix(at(4, 0.5, 0.5))), [ROTATION_X]),
    (
        "one fixed point",
        lambda m: m.fix(at(0, 0, 0)),
        [f"rotation about an axis along {axis} through (0, 0, 0)" for axis in ("(1, 0, 0)", "(0, 1, 0)", "(0, 0, 1)")],
    ),
    (
        "a roller",
        lambda m: m.fix("zmin", components="z"),
        [
            "translation along (1, 0, 0)",
            "translation along (0, 1, 0)",
            "rotation about an axis along (0, 0, 1) through (2, 0.5, 0)",
        ],
    ),
    (
        "a frictionless end",
        lambda m: m.frictionless("xmin"),
        ["translation along (0, 1, 0)", "translation along (0, 0, 1)", ROTATION_X],
    ),
    (
        "normal springs",
        lambda m: m.elastic_support("zmin", normal=1.0),
        [
            "translation along (1, 0, 0)",
            "translation along (0, 1, 0)",
            "rotation about an axis along (0, 0, 1) through (2, 0.5, 0)",
        ],
    ),
    ("a clamped end", lambda m: m.fix("xmin"), []),
    (
        "three symmetry planes",
        lambda m: (m.fix("xmin", components="x"), m.fix("ymin", components="y"), m.fix("zmin", components="z")),
        [],
    ),
    (
        "3-2-1",
        lambda m: (m.fix(at(0, 0, 0)), m.fix(at(4, 0, 0), components="yz"), m.fix(at(0, 1, 0), components="z")),
        [],
    ),
    ("springs in every direction", lambda m: m.elastic_support("zmin", stiffness=1e-6), []),
    (
        "an inclined roller and rollers",
        lambda m: (m.frictionless("xmax"), m.fix("zmin", components="z"), m.fix(at(0, 0, 0), components="y")),
        [],
    ),
]


def bar_with(support):
    model = Elasticity(box_mesh(4, 2, 2, size=(4.0, 1.0, 1.0)), isotropic(E=1.0, nu=0.3))
    support(model)
    return model


def free_motions(model):
    nodes, directions = supports.spring_directions((faces, per_area) for faces, _, per_area in model._springs)
    return supports.free_rigid_motions(model.numbering.node_points, model.supports(), nodes, directions)


@pytest.mark.parametrize("name, support, expected", SUPPORTS, ids=[case[0] for case in SUPPORTS])
def test_free_rigid_body_motions_are_named(name, support, expected):
    assert free_motions(bar_with(support)) == expected


@pytest.mark.parametrize(
    "name, support, expected",
    [case for case in SUPPORTS if case[2]][:4],
    ids=[case[0] for case in SUPPORTS if case[2]][:4],
)
def test_a_model_not_fully_supported_is_refused_before_it_is_solved(name, support, expected):
    model = bar_with(support)
    model.body_force((0.0, 0.0, -1.0))
    with pytest.raises(ValueError, match="the model is not fully supported") as refusal:
        model.solve()
    assert all(motion in str(refusal.value) for motion in expected)
    assert model.nexus is None  # refused before anything was built


def test_supports_of_a_million_nodes_are_judged_by_geometry_not_by_count():
    # A plate of 10^6 nodes (1000 x 1000 x 0.01): a roller under all of it, and two pins for the
    # in-plane motions, one of them 1e-4 of the size from the other.
    rng = np.random.default_rng(1)
    count = 10**6
    points = rng.random((count, 3)) * [1000.0, 1000.0, 0.01]
    points[:2] = [(0.0, 0.0, 0.0), (0.1, 0.0, 0.0)]
    fixed = np.zeros((count, 3), dtype=bool)
    fixed[:, 2] = points[:, 2] < 0.001
    fixed[0, :2] = True

    def judged(second_pin):
        held = fixed.copy()
        held[1] = second_pin
        return supports.free_rigid_motions(
            points,
            supports.ResolvedSupports(held, np.zeros((count, 3)), np.zeros(0, dtype=np.int64), np.zeros((0, 3, 3))),
        )

    assert judged([False, True, False]) == []  # u_y at the second pin stops the turn about z
    assert judged([True, False, False]) == ["rotation about an axis along (0, 0, 1) through (0, 0, 0)"]


@pytest.fixture
def supported():
    model = cantilever(1.0)
    model.assemble()
    return model


def zero_stiffness(model):
    """The assembled model with its matrix zeroed: every step meets p.Ap = 0."""
    model.nexus.nullify()
    system.set_load_vector(model.nexus, np.ones(model.dofs.n_free))
    return model.nexus


def other_hierarchy(model):
    other = cantilever(1.0, box_mesh(2, 1, 1, size=(2.0, 1.0, 1.0)))
    other.assemble()
    return system.multigrid(other.nexus)


def negative_matrix(model):
    system.add_matrix_entries(model.nexus, np.arange(6), np.arange(6), np.full(6, -1e3))
    return model.nexus


# (name, call on the assembled cantilever, what the SolverError says, the core's text it carries)
FAILURES = [
    ("solve", lambda m: system.solve(zero_stiffness(m)), "the matrix is not positive definite", "p.Ap = 0"),
    ("solve_system", lambda m: solve_system(zero_stiffness(m), method="cg"), "not positive definite", "p.Ap = 0"),
    (
        "solve_amg",
        lambda m: system.solve_amg(m.nexus, hierarchy=other_hierarchy(m)),
        "belongs to another matrix",
        "structure differs",
    ),
    (
        "multigrid",
        lambda m: system.multigrid(negative_matrix(m)),
        "the matrix is not positive definite",
        "multigrid: the matrix is not positive definite",
    ),
    (
        "refresh_multigrid",
        lambda m: system.refresh_multigrid(m.nexus, other_hierarchy(m)),
        "belongs to another matrix",
        "structure differs",
    ),
    (
        "solve_system with dofs",
        lambda m: solve_system(negative_matrix(m), m.dofs),
        "a supported unknown has no stiffness",
        "a constraint needs a positive stiffness",
    ),
]


@pytest.mark.parametrize("name, call, says, core_text", FAILURES, ids=[case[0] for case in FAILURES])
def test_solve_failures_are_exceptions_that_say_what_to_do(supported, name, call, says, core_text):
    try:
        call(supported)
    except Exception as exc:  # noqa: BLE001 - what a user's parameter sweep writes
        failure = exc
    else:
        pytest.fail("no failure raised")
    assert isinstance(failure, SolverError), repr(failure)
    assert says in str(failure) and core_text in str(failure), str(failure)
    assert type(failure.__cause__).__name__ == "PanicException" and core_text in failure.__cause__.args[0]


@pytest.mark.parametrize(
    "method, says, core_text",
    [
        ("cg", "a step overflowed", "the step length inf overflows"),
        ("amg", "outside the range of single precision", "multigrid: the matrix's entries"),
    ],
)
def test_elasticity_solve_raises_solver_error(method, says, core_text):
    model = Elasticity(box_mesh(3, 1, 1, size=(3.0, 1.0, 1.0)), isotropic(E=1e-310, nu=0.3))  # subnormal stiffness
    model.fix("xmin")
    model.body_force((0.0, 0.0, -1.0))
    with pytest.raises(SolverError, match=says) as failure:
        model.solve(method=method)
    assert core_text in str(failure.value)
