"""method="auto": multigrid's first steps decide between multigrid and the direct solve."""

from __future__ import annotations

import logging
import math
import warnings

import numpy as np
import pytest

from quarvex_tools import Elasticity, box_mesh, direct, isotropic, solve_system, solvers, system

STEEL = dict(E=210e9, nu=0.3)
needs_direct = pytest.mark.skipif(not direct.available(), reason="the direct extra (MKL) is not installed")


def thin_plate():
    """A 1 x 1 x 0.002 m cantilever plate under gravity, one cell thick: multigrid's weak case."""
    model = Elasticity(box_mesh(8, 8, 1, size=(1.0, 1.0, 0.002)), isotropic(**STEEL))
    model.fix("xmin")
    model.body_force((0.0, 0.0, -9.81 * 7850.0))
    return model


def solid_block():
    model = Elasticity(box_mesh(4, 3, 3, size=(2.0, 1.0, 1.0)), isotropic(lam=1.25, mu=1.0))
    model.fix("xmin")
    model.traction("xmax", (0.0, 0.0, -1.0))
    return model


@pytest.mark.parametrize(
    "norms, tolerance, expected",
    [
        ([1.0, 1e-3], 1e-2, 0.0),  # already there
        (0.5 ** np.arange(11), 0.5**20, 10.0),  # a steady rate
        ([1.0, 100.0, 10.0, 1.0], 1e-3, 3.0),  # the rate counts from the peak on
        ([1.0, 10.0, 100.0], 1e-3, math.inf),  # growing: no rate yet
        ([1.0, 2.0, 2.0], 1e-3, math.inf),  # flat since the peak
        ([1.0], 1e-3, math.inf),  # no step made
        ([1.0, 1e4, 50.0, 20.0], 1e-3, math.inf),  # falling, but still far above the start
        # flat near the load, then falling (the smoothed residual of a slender beam): the last
        # steps' rate, 1/2, counts, not the one since the start (which would predict 160 steps)
        ([1.0] * 8 + [0.5, 0.25, 0.125, 0.0625], 0.0625 * 2.0**-10, 10.0),
        ([1.0, 0.5, 0.5, 0.5, 0.5, 0.5], 1e-3, math.inf),  # no fall over the last steps: no rate
    ],
)
def test_predicted_steps(norms, tolerance, expected):
    assert solvers.predicted_steps(np.asarray(norms, dtype=float), tolerance) == pytest.approx(expected)


def test_a_solid_model_keeps_multigrid_and_loses_nothing_to_the_probe():
    model = solid_block()
    nexus = model.assemble()
    plain = system.solve_amg(nexus, rtol=1e-10, constraints=model.constraints)
    reference = system.solution(nexus).copy()
    system.set_solution(nexus, np.zeros(reference.size))
    auto = solve_system(nexus, rtol=1e-10, history=True, constraints=model.constraints)
    assert (auto.method, auto.converged) == ("amg", True)
    assert "converge" in auto.reason
    # The probe's steps are counted, and the continuation restarts the Krylov space at most once.
    assert plain.iterations <= auto.iterations <= plain.iterations + 3
    assert auto.history is not None and auto.history.size == auto.iterations + 1
    assert auto.history[0] == pytest.approx(auto.rhs_norm) and auto.history[-1] == auto.residual_norm
    np.testing.assert_allclose(system.solution(nexus), reference, rtol=0, atol=1e-8 * np.abs(reference).max())


@needs_direct
@pytest.mark.parametrize(
    "entry, why",
    [
        ("model", "a thin wall"),  # Elasticity passes its node points: no multigrid is set up
        ("nexus", "multigrid predicted slow"),  # solve_system without points: multigrid's probe decides
    ],
)
def test_a_thin_plate_goes_to_the_direct_solve_and_says_why(monkeypatch, caplog, entry, why):
    model = thin_plate()
    set_ups = []
    monkeypatch.setattr(solvers, "_set_up_multigrid", lambda *args: set_ups.append(1) or system.multigrid(*args))
    with caplog.at_level(logging.INFO, logger="quarvex_tools"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the rounding floor of a thin plate lies above 1e-8
        if entry == "model":
            result = model.solve()
            report, displacement = result.report, result.displacement
        else:
            nexus = model.assemble()
            report = solve_system(nexus, constraints=model.constraints)
            displacement = model.dofs.values(system.solution(nexus))
    assert report.method == "direct"
    assert why in report.reason and "GFlop" in report.reason
    assert len(set_ups) == (0 if entry == "model" else 1)
    assert report.relative_residual <= 1e-4
    assert any("direct" in record.getMessage() for record in caplog.records)
    # Between plate-strip and beam theory for a uniformly loaded cantilever strip, q L^4 / (8 D).
    q = 9.81 * 7850.0 * 0.002
    beam = q / (8 * STEEL["E"] * 0.002**3 / 12)
    tip = -displacement[np.isclose(model.numbering.node_points[:, 0], 1.0), 2].mean()
    assert beam * (1 - STEEL["nu"] ** 2) * 0.95 <= tip <= beam * 1.05


@pytest.mark.parametrize(
    "make, low, high",
    [
        (lambda: box_mesh(2, 2, 2).points, 0.9, 1.0),
        (lambda: box_mesh(4, 4, 1, size=(1.0, 1.0, 0.002)).points, 0.001, 0.003),
        (lambda: rotated(box_mesh(4, 4, 1, size=(1.0, 1.0, 0.002)).points), 0.001, 0.003),
        (lambda: box_mesh(20, 1, 1, size=(100.0, 1.0, 1.0)).points, 0.9, 1.0),  # a beam is no wall
    ],
)
def test_wall_thinness_is_the_smallest_over_the_middle_extent_at_any_orientation(make, low, high):
    assert low <= solvers.wall_thinness(make()) <= high


def rotated(points):
    angle_a, angle_b = 0.7, 0.4
    turn_z = np.array([[np.cos(angle_a), -np.sin(angle_a), 0], [np.sin(angle_a), np.cos(angle_a), 0], [0, 0, 1]])
    turn_x = np.array([[1, 0, 0], [0, np.cos(angle_b), -np.sin(angle_b)], [0, np.sin(angle_b), np.cos(angle_b)]])
    return points @ (turn_x @ turn_z).T


def refuse_direct_for(reason):
    if reason == "not installed":
        return {"available": lambda: False}
    return {"available_memory": lambda: 1}


@pytest.mark.parametrize("refusal, text", [("not installed", "not installed"), ("no memory", "GiB available")])
def test_multigrid_stays_when_the_direct_solve_cannot_serve(monkeypatch, caplog, refusal, text):
    for name, replacement in refuse_direct_for(refusal).items():
        monkeypatch.setattr(direct, name, replacement)
    model = thin_plate()
    with caplog.at_level(logging.INFO, logger="quarvex_tools"), pytest.warns(RuntimeWarning, match="maxiter = 40"):
        result = model.solve(maxiter=40)
    assert result.report.method == "amg" and text in result.report.reason
    assert result.report.iterations == 40
    if refusal == "not installed":
        assert any(
            record.levelno == logging.WARNING and "quarvex[direct]" in record.getMessage() for record in caplog.records
        )


def test_a_small_maxiter_leaves_no_room_for_the_probe():
    model = solid_block()
    with pytest.warns(RuntimeWarning, match="maxiter = 3"):
        result = model.solve(maxiter=3)
    assert (result.report.method, result.report.iterations) == ("amg", 3)
    assert "leaves no room" in result.report.reason


@pytest.mark.parametrize("method", solvers.METHODS)
def test_every_method_says_what_ran_and_warns_at_the_callers_line(method):
    if method == "direct" and not direct.available():
        pytest.skip("the direct extra (MKL) is not installed")
    model = solid_block()
    with pytest.warns(RuntimeWarning) as caught:
        result = model.solve(rtol=1e-30, maxiter=200 if method != "direct" else 3, method=method)
    assert {record.filename for record in caught} == {__file__}
    assert result.report.method == (method if method != "auto" else "amg")
    assert (result.report.reason == "asked for") == (method != "auto")
    assert not result.report.converged
