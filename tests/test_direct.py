"""The direct solve (quarvex_tools.direct): a dense solve's answer, refinement on the true residual,
an honest report where rounding stops it, refusals that leave the model as it was, the estimate and
its reuse, Ctrl-C inside a factorisation, and the missing extra."""

import signal
import threading
import time
import warnings

import numpy as np
import pytest

from quarvex_tools import Elasticity, SolverError, box_mesh, direct, isotropic, system

needs_mkl = pytest.mark.skipif(not direct.available(), reason='MKL is missing: pip install "quarvex[direct]"')


def clamped(cells=(4, 2, 2), size=(4.0, 1.0, 1.0)):
    model = Elasticity(box_mesh(*cells, size=size), isotropic(E=210e9, nu=0.3))
    model.fix("xmin")
    model.body_force((0.0, 0.0, -7850.0 * 9.81))
    return model


def rollers():
    model = Elasticity(box_mesh(3, 3, 3), isotropic(E=1.0, nu=0.3))
    model.fix("xmin", components="x")
    model.fix("ymin", components="y")
    model.fix("zmin", components="z")
    model.traction("xmax", (1.0, 0.2, -0.5))
    return model


def imposed():
    model = Elasticity(box_mesh(3, 2, 2, size=(3.0, 1.0, 1.0)), isotropic(lam=1.25, mu=1.0))
    model.fix("xmin")
    model.fix("xmax", components="x", value=0.01)
    model.body_force((0.0, 0.0, -1.0))
    return model


def springs():
    model = clamped((3, 2, 2), (3.0, 1.0, 1.0))
    model.elastic_support("xmax", stiffness=(1e9, 1e9, 1e10))
    return model


def assembled(build):
    model = build()
    model.assemble()
    return model.nexus


def dense_solution(nexus):
    return np.linalg.solve(system.stiffness_matrix(nexus).toarray(), system.load_vector(nexus))


def true_residual(nexus):
    return float(np.linalg.norm(system.load_vector(nexus) - system.stiffness_matrix(nexus) @ system.solution(nexus)))


@pytest.fixture
def inexact_factor(monkeypatch):
    """Factorises A + 1% of its diagonal instead of A: the substitution alone misses by about 1e-2."""
    run = direct._interruptible

    def perturbed(factor, phase, rhs=None):
        if phase == direct._FACTORISE:
            factor.values = factor.values.copy()
            factor.values[factor.indptr[:-1]] *= 1.01  # each row of the upper triangle starts at its diagonal
        return run(factor, phase, rhs)

    monkeypatch.setattr(direct, "_interruptible", perturbed)


@needs_mkl
@pytest.mark.parametrize("build", [clamped, rollers, imposed, springs])
def test_the_solution_is_a_dense_solve(build):
    nexus = assembled(build)
    expected = dense_solution(nexus)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a solve that converges says nothing
        result = direct.solve(nexus, rtol=1e-10)
    solution = system.solution(nexus)
    error = np.linalg.norm(solution - expected) / np.linalg.norm(expected)
    assert error < 1e-9, f"relative difference {error:.2e} from the dense solve"
    assert result.converged and not result.stalled
    assert result.residual_norm == pytest.approx(true_residual(nexus), rel=1e-6, abs=1e-300)
    assert result.residual_norm <= 1e-10 * result.rhs_norm


@needs_mkl
def test_refinement_reaches_the_tolerance_from_an_inexact_factor(inexact_factor):
    nexus = assembled(rollers)
    result = direct.solve(nexus, rtol=1e-10, history=True)
    assert result.history[0] > 1e-4 * result.rhs_norm, "the perturbed factor should miss on its own"
    assert result.converged and 1 <= result.iterations <= 15, result
    assert len(result.history) == result.iterations + 1
    assert result.residual_norm == pytest.approx(true_residual(nexus), rel=1e-6)
    expected = dense_solution(nexus)
    assert np.linalg.norm(system.solution(nexus) - expected) <= 1e-8 * np.linalg.norm(expected)


@needs_mkl
def test_maxiter_limits_the_refinement_and_says_so(inexact_factor):
    nexus = assembled(rollers)
    with pytest.warns(RuntimeWarning, match="maxiter = 1"):
        result = direct.solve(nexus, rtol=1e-10, maxiter=1)
    assert result.iterations == 1 and not result.converged and not result.stalled
    assert result.residual_norm == pytest.approx(true_residual(nexus), rel=1e-6)


def thin_plate(thickness):
    model = Elasticity(box_mesh(16, 16, 1, size=(1.0, 1.0, thickness)), isotropic(E=210e9, nu=0.3))
    model.fix("xmin")
    model.body_force((0.0, 0.0, -7850.0 * 9.81))
    return model


@needs_mkl
@pytest.mark.parametrize(
    "build",
    [lambda: thin_plate(0.002), lambda: thin_plate(0.01), lambda: clamped((60, 1, 1), (60.0, 1.0, 1.0))],
    ids=["plate 1:500", "plate 1:100", "beam 60:1"],
)
def test_refinement_below_the_rounding_floor_stops_at_once_and_loses_nothing(monkeypatch, build):
    # Below the floor the recomputed residual is rounding: the steps after the first only repeat
    # it or, drifting, grow it; the best residual of a long refinement is the one kept.
    nexus = assembled(build)
    with pytest.warns(RuntimeWarning, match="rounding floor"):
        result = direct.solve(nexus, rtol=1e-14)
    monkeypatch.setattr(direct, "_FLOOR_CUT", float("inf"))
    monkeypatch.setattr(direct, "_STALL_STEPS", 12)
    with pytest.warns(RuntimeWarning):
        long = direct.solve(assembled(build), rtol=1e-14, history=True)
    assert result.stalled and result.iterations <= 2, result
    assert long.iterations > result.iterations
    assert result.residual_norm <= 1.5 * long.history.min(), (result.residual_norm, long.history)  # rounding apart


@needs_mkl
@pytest.mark.parametrize("build", [clamped, rollers])
def test_an_unreachable_tolerance_stops_at_the_rounding_floor_and_says_so(build):
    nexus = assembled(build)
    with pytest.warns(RuntimeWarning, match="rounding floor") as caught:
        result = direct.solve(nexus, rtol=1e-18, history=True)
    assert "did not converge" in str(caught[0].message)
    assert not result.converged and result.stalled
    assert result.iterations < 20, "the solve should stop where the residual no longer falls"
    # The report is the residual of the solution left in the model, which is still the answer.
    assert result.residual_norm == pytest.approx(true_residual(nexus), rel=1e-6)
    assert result.residual_norm == min(result.history)
    expected = dense_solution(nexus)
    assert np.linalg.norm(system.solution(nexus) - expected) <= 1e-9 * np.linalg.norm(expected)


SINGULAR = r"(singular to working precision|not positive definite).*check the supports"


def free_floating():
    model = Elasticity(box_mesh(3, 3, 3), isotropic(E=1.0, nu=0.3))
    model.body_force((0.0, 0.0, -1.0))
    return model


def unstable_load(nexus):
    system.set_load_vector(nexus, np.full(system.load_vector(nexus).size, np.nan))


def no_memory(monkeypatch):
    monkeypatch.setattr(direct, "available_memory", lambda: 4096)


@needs_mkl
@pytest.mark.parametrize(
    "build, spoil, options, error, text",
    [
        # A zero pivot may show in the factorisation or only in the answer, depending on the threads' rounding.
        (free_floating, None, {}, SolverError, SINGULAR),
        (clamped, unstable_load, {}, SolverError, "the load vector holds NaN"),
        (clamped, None, {"rtol": -1.0}, ValueError, "rtol and atol must be >= 0"),
        (clamped, None, {"maxiter": -1}, ValueError, "maxiter must be >= 0"),
        (clamped, "memory", {}, MemoryError, "needs about .* GiB but only 0.00 GiB are available"),
    ],
)
def test_refusals_leave_the_model_unchanged(monkeypatch, build, spoil, options, error, text):
    nexus = assembled(build)
    if spoil == "memory":
        no_memory(monkeypatch)
    elif spoil is not None:
        spoil(nexus)
    start = np.linspace(0.0, 1.0, system.solution(nexus).size)
    system.set_solution(nexus, start)
    with pytest.raises(error, match=text):
        direct.solve(nexus, **options)
    assert np.array_equal(system.solution(nexus), start)


@needs_mkl
def test_a_zero_load_gives_zero_without_factorising(monkeypatch):
    nexus = assembled(clamped)
    system.set_load_vector(nexus, np.zeros(system.load_vector(nexus).size))
    system.set_solution(nexus, np.ones(system.load_vector(nexus).size))
    monkeypatch.setattr(direct, "_take_analysis", lambda *args: pytest.fail("factorised a zero load"))
    result = direct.solve(nexus)
    assert result.converged and result.iterations == 0 and result.residual_norm == 0.0
    assert not system.solution(nexus).any()


@needs_mkl
def test_the_estimate_grows_with_the_model_and_its_analysis_serves_new_values(monkeypatch):
    small, large = assembled(clamped), assembled(lambda: clamped((12, 3, 3), (12.0, 1.0, 1.0)))
    small_estimate, large_estimate = direct.estimate(small), direct.estimate(large)
    assert 0 < small_estimate.factor_bytes < large_estimate.factor_bytes
    assert 0 < small_estimate.flops < large_estimate.flops
    # The last analysis (of `large`) is kept for the next solve of that structure, even after its
    # values change: stiffer diagonal entries on the first unknowns.
    system.add_matrix_entries(large, np.arange(30), np.arange(30), np.full(30, 1e12))
    analyses = []
    build = direct._new_factor
    monkeypatch.setattr(direct, "_new_factor", lambda *args, **kw: analyses.append(1) or build(*args, **kw))
    expected = dense_solution(large)
    assert direct.solve(large, rtol=1e-8).converged
    assert analyses == [], "the estimate's analysis was not reused"
    assert np.linalg.norm(system.solution(large) - expected) <= 1e-8 * np.linalg.norm(expected)
    direct.solve(large, rtol=1e-8)
    assert analyses == [1], "a solve keeps no analysis: the next one analyses again"


@needs_mkl
def test_ctrl_c_stops_a_long_factorisation():
    model = Elasticity(box_mesh(16, 16, 16), isotropic(lam=1.25, mu=1.0))  # ~10^11 flops: seconds
    model.fix("xmin")
    model.body_force((0.0, 0.0, -1.0))
    nexus = model.assemble()
    direct.estimate(nexus)  # the analysis, which PARDISO cannot interrupt, is done before the alarm
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)  # the handler of Ctrl-C
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    start = time.perf_counter()
    try:
        with pytest.raises(KeyboardInterrupt) as interrupt:
            direct.solve(nexus)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, previous)
    # It arrived while PARDISO ran (the factorisation: the analysis was done before).
    assert any(entry.name == "_interruptible" for entry in interrupt.traceback), interrupt.traceback
    # A liveness bound, far above the latency: the whole factorisation takes many times longer.
    assert time.perf_counter() - start < 3.0
    helpers = [thread for thread in threading.enumerate() if thread.name == "quarvex-pardiso"]
    for helper in helpers:
        helper.join(timeout=5.0)
    assert not any(helper.is_alive() for helper in helpers), "the factorisation went on after Ctrl-C"
    assert not system.solution(nexus).any()


def test_a_missing_mkl_names_the_extra(monkeypatch):
    monkeypatch.setattr(direct, "_library", None)
    monkeypatch.setattr(direct, "_mkl_candidates", lambda: iter(["no-such-folder/libmkl_rt.so.2"]))
    nexus = assembled(clamped)
    assert not direct.available()
    for call in (direct.solve, direct.estimate):
        with pytest.raises(ImportError, match=r'install it with: pip install "quarvex\[direct\]"'):
            call(nexus)


@pytest.mark.skipif(not direct.available(), reason="the direct extra (MKL) is not installed")
def test_elasticity_solves_directly_through_the_common_entry_point():
    model = Elasticity(box_mesh(4, 2, 2, size=(4.0, 1.0, 1.0)), isotropic(E=1.0, nu=0.3))
    model.fix("xmin")
    model.fix("ymin", components="y")
    model.body_force((0.0, 0.0, -1.0))
    iterative = model.solve(rtol=1e-10, method="amg").displacement
    direct_result = model.solve(rtol=1e-10, method="direct")
    assert direct_result.report.converged
    np.testing.assert_allclose(direct_result.displacement, iterative, atol=1e-8 * np.abs(iterative).max())


@pytest.mark.parametrize("where", ["prefix", "base_prefix"])
def test_mkl_is_found_in_the_environment_and_the_one_a_venv_was_made_from(monkeypatch, tmp_path, where):
    # A venv made with --system-site-packages sees the base interpreter's packages, MKL's wheel
    # among them: its library lies under sys.base_prefix, not sys.prefix.
    import ctypes.util
    import sys

    roots = {"prefix": tmp_path / "venv", "base_prefix": tmp_path / "base"}
    for root in roots.values():
        (root / "lib").mkdir(parents=True)
    library = roots[where] / "lib" / "libmkl_rt.so.2"
    library.touch()
    monkeypatch.setattr(ctypes.util, "find_library", lambda name: None)
    monkeypatch.setattr(sys, "prefix", str(roots["prefix"]))
    monkeypatch.setattr(sys, "base_prefix", str(roots["base_prefix"]))
    assert str(library) in list(direct._mkl_candidates())
