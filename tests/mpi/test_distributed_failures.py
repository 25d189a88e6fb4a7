"""A failure or a disagreement on one rank ends the step on every rank, and no rank waits.

Each case starts `mpirun -n 3 python -m mpi4py run_failures.py` (rank 1 the odd one out) with
a time limit, so a rank left waiting fails the test instead of hanging the suite. Every rank
must raise: the same ValueError when the ranks' settings differ; when one rank fails, that
rank its own error and the others one naming it. Afterwards all ranks must still solve
together.
"""

import json

import pytest

RANKS = 3
SAME_ON_EVERY_RANK = "every rank must pass the same"

# (case, rank 1's own exception or None when all raise alike, every rank's exception, text on every rank)
CASES = [
    ("rtol", None, "ValueError", "ranks disagree on rtol: rank 0 passes 1e-08, rank 1 1e-06; " + SAME_ON_EVERY_RANK),
    ("atol", None, "ValueError", "ranks disagree on atol: rank 0 passes 0.0, rank 1 0.001"),
    ("maxiter", None, "ValueError", "ranks disagree on maxiter: rank 0 passes 100, rank 1 None"),
    ("method", None, "ValueError", "ranks disagree on method: rank 0 passes 'gamg', rank 1 'hypre'"),
    ("material", None, "ValueError", "ranks disagree on the material matrix: rank 1's differs from rank 0's"),
    (
        "body_force",
        None,
        "ValueError",
        "ranks disagree on the body force: rank 0 passes (0.0, 0.0, -1.0), rank 1 (0.0, 0.0, -2.0)",
    ),
    (
        "unknown_method",
        "ValueError",
        "ValueError",
        "method must be one of ('auto', 'amg', 'cg', 'gamg', 'hypre', 'jacobi', 'multigrid', 'none') "
        "for a distributed system, got 'direct'",
    ),
    # PETSc stops alike on every rank: each raises the same error, with what to do.
    (
        "indefinite",
        None,
        "SolverError",
        "the matrix is not positive definite: check the supports (every rigid-body motion stopped) and the "
        "material (PETSc's conjugate gradients stopped after 2 steps: DIVERGED_INDEFINITE_MAT)",
    ),
    ("assembly", "PanicException", "RuntimeError", "index out of bounds"),
    ("assemble_part", "PanicException", "RuntimeError", "index out of bounds"),
    ("petsc_system", "ValueError", "ValueError", "loads, but the numbering has"),
    ("write", "IsADirectoryError", "RuntimeError", "solution_0001.vtu"),
]


@pytest.mark.parametrize("case, own_error, error, text", CASES)
def test_every_rank_raises_and_the_ranks_stay_in_step(mpirun, tmp_path, case, own_error, error, text):
    run = mpirun(RANKS, "run_failures.py", tmp_path, case)
    assert run.returncode == 0, run.stdout + run.stderr
    outcomes = json.loads((tmp_path / "outcome.json").read_text())
    for rank, outcome in enumerate(outcomes):
        expected = own_error if own_error is not None and rank == 1 else error
        assert outcome["error"] == expected and text in outcome["message"], f"rank {rank}: {outcome}"
        if own_error is not None and rank != 1:
            assert outcome["message"].startswith(f"rank 1 failed: {own_error}: "), f"rank {rank}: {outcome}"
        assert outcome["after"], f"rank {rank} could not solve after the failure: {outcome}"
    if own_error is None:
        assert len({outcome["message"] for outcome in outcomes}) == 1, outcomes
    if case == "write":
        assert not (tmp_path / "solution.pvtu").exists(), "a PVTU that lists a missing piece"
        assert (tmp_path / "solution_0000.vtu").is_file() and (tmp_path / "solution_0002.vtu").is_file()


def test_an_uncaught_failure_on_one_rank_ends_the_job(mpirun, tmp_path):
    run = mpirun(RANKS, "run_failures.py", tmp_path, "write", "uncaught", timeout=60)
    assert run.returncode != 0, run.stdout + run.stderr
    assert "IsADirectoryError" in run.stderr, run.stderr
