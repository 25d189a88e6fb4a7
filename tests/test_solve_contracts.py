"""What every solve path promises, whichever method runs: the stop rule measured against the load
(a warm start is not held to a tighter target), and prescribed displacements lifted into the loads
(the free unknowns feel them)."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

from quarvex_tools import Elasticity, box_mesh, direct, isotropic, solve_system, system

NU = 0.3
STRAIN = 1e-3


def stretched_bar():
    """A 2 x 1 x 1 bar on three symmetry planes, pulled by an imposed u_x = STRAIN * 2 at x = 2.

    The exact answer is the uniform strain field u = STRAIN * (x, -nu y, -nu z), which quadratic
    elements reproduce to rounding: any unknown that missed the imposed value's lifting is off.
    """
    model = Elasticity(box_mesh(4, 2, 2, size=(2.0, 1.0, 1.0)), isotropic(E=1.0, nu=NU))
    model.fix("xmin", components="x")
    model.fix("ymin", components="y")
    model.fix("zmin", components="z")
    model.fix("xmax", components="x", value=STRAIN * 2.0)
    return model


METHODS = ["auto", "amg", "cg"] + (["direct"] if direct.available() else [])


@pytest.mark.parametrize("method", METHODS)
def test_imposed_displacements_reach_every_unknown(method):
    model = stretched_bar()
    result = model.solve(rtol=1e-12, method=method)
    points = model.numbering.node_points
    exact = STRAIN * points * np.array([1.0, -NU, -NU])
    np.testing.assert_allclose(result.displacement, exact, rtol=0, atol=1e-9 * STRAIN)
    # The support at x = 2 pulls with the bar's stress times its section (E = 1, section 1).
    np.testing.assert_allclose(result.reactions("xmax").force, [STRAIN, 0.0, 0.0], atol=1e-9 * STRAIN)


def loaded_block():
    model = Elasticity(box_mesh(4, 3, 3, size=(2.0, 1.0, 1.0)), isotropic(lam=1.25, mu=1.0))
    model.fix("xmin")
    model.traction("xmax", (0.0, 0.0, -1.0))
    return model


def true_residual(nexus):
    return np.linalg.norm(system.load_vector(nexus) - system.stiffness_matrix(nexus) @ system.solution(nexus))


SOLVES = {
    "cg": lambda nexus, model, rtol: system.solve(nexus, rtol=rtol),
    "amg": lambda nexus, model, rtol: system.solve_amg(nexus, rtol=rtol, constraints=model.constraints),
    "auto": lambda nexus, model, rtol: solve_system(nexus, rtol=rtol, constraints=model.constraints),
}


@pytest.mark.parametrize("name", sorted(SOLVES))
def test_a_warm_start_stops_at_the_loads_tolerance_not_its_own(name):
    model = loaded_block()
    nexus = model.assemble()
    solve = SOLVES[name]
    rhs_norm = np.linalg.norm(system.load_vector(nexus))
    cold = solve(nexus, model, 1e-10)
    exact = system.solution(nexus).copy()

    # A start that already meets rtol = 1e-6 (the answer to 1e-10) is the answer: no step is taken.
    system.set_solution(nexus, exact)
    report = solve(nexus, model, 1e-6)
    assert report.converged and report.iterations == 0

    # A start 100 times above the tolerance needs fewer steps than a cold start, and stops as
    # soon as the residual is below rtol * ||b|| (a target relative to the start's residual
    # would ask for 100 times more and take about as many steps as the cold solve).
    system.set_solution(nexus, np.zeros_like(exact))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        rough = solve(nexus, model, 1e-4)
    assert rough.converged and true_residual(nexus) <= 1e-4 * rhs_norm
    report = solve(nexus, model, 1e-6)
    assert report.converged and true_residual(nexus) <= 1e-6 * rhs_norm
    assert report.residual_norm > 1e-9 * rhs_norm, "it went far past the load's tolerance: a start-relative target"
    assert report.iterations < cold.iterations
