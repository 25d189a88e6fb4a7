"""Elastic supports on curved faces: springs integrated over the quadratic triangles through the faces' six
nodes, with the normal and the area element of each quadrature point."""

import warnings

import numpy as np
import pytest
from helpers import benchmark_module
from test_curved_elements import SPHERE, mapped_box, to_ball

from quarvex_tools import Elasticity, isotropic, read_mesh, sqrt, supports, x, y, z

E, NU = 1.0, 0.3
MATERIAL = isotropic(E=E, nu=NU)
LAMBDA, MU = E * NU / ((1 + NU) * (1 - 2 * NU)), E / (2 * (1 + NU))
BULK_3 = 3 * LAMBDA + 2 * MU  # sigma_rr = BULK_3 A - 4 mu B / r^3 for u_r = A r + B / r^2


def on_symmetry_rollers(model):
    for name in "xyz":
        model.fix(f"{name}min", components=name)


def ball_on_winkler(cells, stiffness):
    """The unit ball octant under pressure 1 on its sphere, held there by normal springs (k per area) too.

    Lame's state is then u = A x with sigma_rr = BULK_3 A = -1 - k A: linear, which the elements hold
    exactly, so what remains is the error of the springs' integration and of the quadratic sphere.
    """
    model = Elasticity(mapped_box(cells, to_ball), MATERIAL)
    on_symmetry_rollers(model)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # curved faces take their own normals: nothing to warn about
        for group in SPHERE:
            model.pressure(group, 1.0)
            model.elastic_support(group, normal=stiffness)
    result = model.solve(rtol=1e-13)
    exact = -1.0 / (BULK_3 + stiffness) * model.numbering.node_points
    return float(np.abs(result.displacement - exact).max() / np.abs(exact).max())


def test_normal_springs_on_a_curved_sphere_take_the_exact_linear_state():
    """The flat triangles' normals and areas err by 10 % at 4 cells and fall at second order."""
    coarse, fine = ball_on_winkler(2, 10.0), ball_on_winkler(4, 10.0)
    assert fine < 1e-3, f"largest nodal error {fine:.3g} of Lame's linear state"
    rate = np.log2(coarse / fine)
    assert rate > 3.5, f"observed rate {rate:.2f} (errors {coarse:.3g}, {fine:.3g})"


# Resultants of uniform spring tractions over the unit ball octant's faces, per unit stiffness: over the sphere
# patch, the integral of n n_x is (pi / 6, 1/3, 1/3); the plane x = 0 holds a quarter disc of area pi / 4.
@pytest.mark.parametrize(
    ("groups", "stiffness", "normal", "motion", "per_stiffness"),
    [
        (SPHERE, 0.0, 1.0, (1, 0, 0), (np.pi / 6, 1 / 3, 1 / 3)),
        (SPHERE, 0.0, 1.0, (0, 0, 1), (1 / 3, 1 / 3, np.pi / 6)),
        (SPHERE, 1.0, 0.0, (0, 1, 0), (0.0, np.pi / 2, 0.0)),
        (("xmin",), (1.0, 2.0, 3.0), 0.0, (1, 1, 1), (np.pi / 4, np.pi / 2, 3 * np.pi / 4)),
        (("xmin",), 0.0, 1.0, (1, 0, 0), (np.pi / 4, 0.0, 0.0)),
        (("xmin",), 0.0, 1.0, (0, 1, 1), (0.0, 0.0, 0.0)),
    ],
)
def test_spring_forces_of_a_translation_integrate_over_the_curved_faces(
    groups, stiffness, normal, motion, per_stiffness
):
    """The faces in x = 0 stay flat but their edges curve within the plane: their areas need the curved map too."""
    model = Elasticity(mapped_box(4, to_ball), MATERIAL)
    for group in groups:
        model.elastic_support(group, stiffness, normal=normal)
    forces = model.spring_forces(np.tile(np.asarray(motion, dtype=float), (model.numbering.n_nodes, 1)))
    error = np.abs(-forces.sum(axis=0) - per_stiffness).max()
    assert error < 1e-4, f"resultant {-forces.sum(axis=0)} against {per_stiffness}"  # flat triangles: 5e-3


def test_curved_springs_stop_the_motions_they_resist_and_no_others():
    """Normal springs on the plane x = 0 of a curved mesh leave y, z and the turn about x free."""
    model = Elasticity(mapped_box(2, to_ball), MATERIAL)
    model.elastic_support("xmin", normal=1.0)
    nodes, directions = supports.spring_directions((faces, per_area) for faces, _, per_area in model._springs)
    free = supports.free_rigid_motions(model.numbering.node_points, model.supports(), nodes, directions)
    assert free[:2] == ["translation along (0, 1, 0)", "translation along (0, 0, 1)"]
    assert len(free) == 3 and free[2].startswith("rotation about an axis along (1, 0, 0)")
    for group in SPHERE:
        model.elastic_support(group, 1.0)
    model.body_force((0.0, 0.0, -1.0))
    sinking = model.solve(rtol=1e-10).displacement[:, 2]  # the springs alone hold it
    assert np.isfinite(sinking).all() and sinking.mean() < 0.0


@pytest.fixture(scope="module")
def shell_mesh(tmp_path_factory):
    """The octant of the thick sphere 1 <= r <= 2, second-order gmsh elements (edge nodes on the spheres)."""
    pytest.importorskip("gmsh")
    path = tmp_path_factory.mktemp("shell") / "shell.msh"
    benchmark_module("curved_sphere").write_shell_mesh(0.25, str(path))
    return read_mesh(path)


def test_thick_sphere_on_a_winkler_foundation_matches_lame(shell_mesh):
    """Pressure 1 inside r = 1, normal springs k = 10 on r = 2: u_r = A r + B / r^2 with sigma_rr(1) = -1 and
    sigma_rr(2) = -k u_r(2). The mean radial displacement of the outer nodes errs by 4e-3 with the flat
    triangles' normals and areas (too soft), by 3e-4 here."""
    inner, outer, stiffness = 1.0, 2.0, 10.0
    conditions = [[BULK_3, -4 * MU / inner**3], [BULK_3 + stiffness * outer, -4 * MU / outer**3 + stiffness / outer**2]]
    a, b = np.linalg.solve(conditions, [-1.0, 0.0])
    model = Elasticity(shell_mesh, MATERIAL)
    for axis in range(3):
        model.fix(lambda p, axis=axis: np.abs(p[:, axis]) < 1e-9, components="xyz"[axis])
    model.pressure(lambda p: np.linalg.norm(p, axis=1) < inner + 1e-6, 1.0)
    model.elastic_support(lambda p: np.linalg.norm(p, axis=1) > outer - 1e-6, normal=stiffness)
    result = model.solve(rtol=1e-12)
    points = model.numbering.node_points
    radius = np.linalg.norm(points, axis=1)
    on_outer = radius > outer - 1e-6
    radial = np.sum(result.displacement[on_outer] * points[on_outer], axis=1) / outer
    exact = a * outer + b / outer**2
    mean_error = abs(radial.mean() - exact) / exact
    assert mean_error < 1e-3, f"mean radial displacement {radial.mean():.6g} against Lame's {exact:.6g}"
    r2 = x * x + y * y + z * z
    factor = a + b / (r2 * sqrt(r2))
    error = result.l2_error((factor * x, factor * y, factor * z))
    assert error < 2e-3, f"L2 error {error:.3g}"  # the displacement's own discretisation error, 1.1e-3
