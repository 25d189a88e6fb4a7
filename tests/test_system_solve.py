"""The reporting solve: what it reaches, what it says when it does not, and Ctrl-C."""

import math
import signal
import warnings

import numpy as np
import pytest
from helpers import UNIT_PTS, cube_model, isotropic_cmat

import quarvex
from quarvex_tools import SolverError, system


def clamped_cube(n=2):
    """A cube clamped at z = 0 with prescribed values at the bottom, so the load is not zero."""
    model, *_ = cube_model(n, isotropic_cmat(1.0, 0.3), lambda p: (0.01 * p[0], 0.0, -0.02) if p[2] == 0.0 else None)
    model.assemble()
    return model


def test_solution_matches_a_direct_solve_and_the_report_is_true():
    model = clamped_cube()
    matrix, load = system.stiffness_matrix(model), system.load_vector(model)
    start = np.random.default_rng(2).standard_normal(load.size) * 1e-3
    system.set_solution(model, start)
    result = system.solve(model, rtol=1e-10, history=True)
    solution = system.solution(model)
    exact = np.linalg.solve(matrix.toarray(), load)
    residual = np.linalg.norm(load - matrix @ solution)
    assert result.converged and 0 < result.iterations <= 10 * load.size
    assert math.isclose(result.rhs_norm, np.linalg.norm(load), rel_tol=1e-12)
    assert math.isclose(result.residual_norm, residual, rel_tol=1e-6, abs_tol=1e-13 * result.rhs_norm)
    assert result.residual_norm <= 1e-10 * result.rhs_norm
    assert np.abs(solution - exact).max() < 1e-7 * np.abs(exact).max()
    assert result.history.shape == (result.iterations + 1,)
    assert math.isclose(result.history[0], np.linalg.norm(load - matrix @ start), rel_tol=1e-12)
    assert result.history[-1] == result.residual_norm


def test_a_solved_system_takes_no_step_and_keeps_sol_bit_for_bit():
    model = clamped_cube()
    system.solve(model, rtol=1e-10)
    before = system.solution(model)
    result = system.solve(model, rtol=1e-9)
    assert result.iterations == 0 and result.converged
    assert system.solution(model).tobytes() == before.tobytes()


def tiny_model():
    """One element numbered at its vertices only: 12 unknowns, an SPD matrix (no vertex-only
    combination of quadratic shape functions is a rigid motion), loaded through the load vector."""
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    model.set_dof({v: (3 * v, 3) for v in range(4)}, {})
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    model.set_solver(12, [0.0])
    model.assemble()
    system.set_load_vector(model, np.arange(12.0) - 5.5)
    return model


def skewed_tiny_model():
    """tiny_model with a strong skew-symmetric part added to its matrix: conjugate gradients (which
    need symmetry) neither converge nor settle at a rounding floor, so only the step limit stops them."""
    model = tiny_model()
    scale = system.stiffness_matrix(model).diagonal().max()
    rows = np.arange(0, 12, 2)
    system.add_matrix_entries(
        model, np.r_[rows, rows + 1], np.r_[rows + 1, rows], np.r_[np.full(6, 2.0 * scale), np.full(6, -2.0 * scale)]
    )
    return model


STALLED = "stopped where the residual no longer falls"

# (name, model builder, solve keywords, converged, iterations (None: fewer than the limit), warning text or None)
LIMITS = [
    ("maxiter stops", clamped_cube, {"rtol": 1e-12, "maxiter": 3}, False, 3, "reached maxiter = 3"),
    ("atol is a floor", clamped_cube, {"rtol": 0.0, "atol": 1e30}, True, 0, None),
    ("zero load, zero start", lambda: zero_load(clamped_cube()), {"rtol": 1e-8}, True, 0, None),
    ("default limit is 10 n", skewed_tiny_model, {"rtol": 0.0}, False, 120, "default limit of 10 steps per unknown"),
    ("below the rounding floor", lambda: clamped_cube(3), {"rtol": 1e-18}, False, None, STALLED),
    ("tolerance zero", tiny_model, {"rtol": 0.0}, False, None, STALLED),
]


def zero_load(model):
    system.set_load_vector(model, np.zeros(system.load_vector(model).size))
    return model


def zero_matrix(model):
    model.nullify()  # the values, not the load
    system.set_load_vector(model, np.ones(12))
    return model


@pytest.mark.parametrize(
    "name, build, options, converged, iterations, warning", LIMITS, ids=[case[0] for case in LIMITS]
)
def test_limits_and_warnings(name, build, options, converged, iterations, warning):
    model = build()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = system.solve(model, **options)
    assert result.converged is converged
    if iterations is None:
        assert 0 < result.iterations < 10 * system.load_vector(model).size, result
    else:
        assert result.iterations == iterations, result
    assert result.stalled is (warning == STALLED)
    assert result.history is None
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    if warning is None:
        assert messages == []
    else:
        assert len(messages) == 1 and warning in messages[0], messages
        assert np.all(np.isfinite(system.solution(model)))


def test_breakdown_fails_and_keeps_the_start():
    model = zero_matrix(tiny_model())
    start = system.solution(model)
    with pytest.raises(
        SolverError,
        match=r"not positive definite: .*\(conjugate gradients broke down at "
        r"iteration 0: p.Ap = 0\)",
    ) as failure:
        system.solve(model)
    assert type(failure.value.__cause__).__name__ == "PanicException"
    assert np.array_equal(system.solution(model), start)


@pytest.mark.parametrize(
    "options, error, text",
    [
        ({"rtol": -1e-8}, ValueError, "argument 'rtol': expected a finite number >= 0"),
        ({"rtol": float("nan")}, ValueError, "argument 'rtol'"),
        ({"atol": float("inf")}, ValueError, "argument 'atol'"),
        ({"maxiter": -1}, OverflowError, "negative"),
        ({"maxiter": 2.5}, TypeError, "argument 'maxiter': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_bad_limits_are_refused_before_any_step(options, error, text):
    model = clamped_cube()
    with pytest.raises(error, match=text.replace("(", r"\(")):
        system.solve(model, **options)
    assert not system.solution(model).any()


def test_ctrl_c_raises_keyboard_interrupt_and_keeps_the_last_iterate():
    # To its rounding floor this solve takes about a thousand steps (a second on two cores): the
    # signal, 0.02 s in, finds it running on any machine.
    model = clamped_cube(12)
    matrix, load = system.stiffness_matrix(model), system.load_vector(model)
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)  # the handler of Ctrl-C
    signal.setitimer(signal.ITIMER_REAL, 0.02)
    try:
        with pytest.raises(KeyboardInterrupt) as interrupt:
            system.solve(model, rtol=0.0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, previous)
    # It arrived during the native solve, not after it.
    assert "_native.solve(" in str(interrupt.traceback[-1].statement), interrupt.traceback[-1]
    interrupted = system.solution(model)
    assert np.all(np.isfinite(interrupted))
    # Conjugate gradients lower the energy 1/2 x.Ax - b.x at every step, from 0 at the zero start.
    energy = 0.5 * interrupted @ (matrix @ interrupted) - load @ interrupted
    assert energy <= 0.0, f"the interrupted iterate has the energy {energy:.3e} > 0 of the start"
    result = system.solve(model, rtol=1e-10)  # the borrow is free again and sol is a valid start
    assert result.converged
