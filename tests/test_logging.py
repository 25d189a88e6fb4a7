"""Progress through the package's loggers: every phase at INFO, per-iteration residuals on request."""

from __future__ import annotations

import logging
import re

import numpy as np
import pytest

from quarvex_tools import Elasticity, box_mesh, isotropic

PHASES = [
    ("quarvex_tools.model", r"^numbered \d+ nodes"),  # the P2 numbering of the mesh
    ("quarvex_tools.model", r"^supports checked"),
    ("quarvex_tools.model", r"^numbered \d+ unknowns"),
    ("quarvex_tools.model", r"^assembled \d+ elements"),
    ("quarvex_tools.model", r"^loads and supports set"),
    ("quarvex_tools.solvers", r"^multigrid set up"),
    ("quarvex_tools.solvers", r"^case 'default': solved by amg \(asked for\): \d+ steps, residual"),
    ("quarvex_tools.model", r"^case 'default': displacements and reactions"),
]


def block() -> Elasticity:
    model = Elasticity(box_mesh(12, 3, 3, size=(4.0, 1.0, 1.0)), isotropic(E=1.0, nu=0.3))
    model.fix("xmin")
    model.traction("xmax", (0.0, 0.0, -1.0))
    return model


@pytest.mark.parametrize("logger, pattern", PHASES)
def test_a_clean_run_logs_each_phase_with_its_time_and_warns_of_nothing(caplog, logger, pattern):
    with caplog.at_level(logging.INFO, logger="quarvex_tools"):
        block().solve(method="amg")
    found = [r for r in caplog.records if r.name == logger and re.search(pattern, r.getMessage())]
    assert found, f"no {logger} record {pattern!r} among {[r.getMessage() for r in caplog.records]}"
    assert all(r.levelno == logging.INFO and r.getMessage().endswith(" s") for r in found)
    assert not [r for r in caplog.records if r.levelno >= logging.WARNING]


def test_nothing_is_printed_unless_logging_is_turned_on(capfd):
    block().solve(verbose=True)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("method", ["amg", "auto", "cg"])
def test_the_callback_sees_every_iteration_fall_to_the_tolerance(method):
    seen = []
    result = block().solve(1e-9, method=method, callback=lambda *args: seen.append(args))
    cases, iterations, residuals = zip(*seen, strict=True)
    assert set(cases) == {"default"} and list(iterations) == list(range(result.report.iterations + 1))
    assert residuals[0] == pytest.approx(1.0) and residuals[-1] <= 1e-9
    assert residuals[-1] == pytest.approx(result.report.relative_residual)
    assert np.minimum.accumulate(residuals)[-1] < 1e-6 * residuals[0]


def test_verbose_logs_every_iteration_at_info_of_every_case(caplog):
    model = block()
    with model.load_case("up"):
        model.traction("xmax", (0.0, 0.0, 1.0))
    with caplog.at_level(logging.INFO, logger="quarvex_tools"):
        results = model.solve_cases(verbose=True, method="amg")
    for name, result in results.items():
        lines = [r for r in caplog.records if r.getMessage().startswith(f"case {name!r}, iteration")]
        assert len(lines) == result.report.iterations + 1
        assert all(r.name == "quarvex_tools.solvers" and r.levelno == logging.INFO for r in lines)


def test_iterations_are_not_logged_at_info_without_verbose(caplog):
    with caplog.at_level(logging.INFO, logger="quarvex_tools"):
        result = block().solve()
    assert result.report.history is None
    assert not [r for r in caplog.records if ", iteration " in r.getMessage()]
