"""The package's multigrid per rank inside PETSc's conjugate gradients (quarvex_tools.distributed_pc).

One, two and three ranks solve the unit cube with additive Schwarz on the ranks' subdomains, with
and without the coarse level of the ranks' rigid-body modes; the displacements must match a tight
serial solve of the same cube, and the steps must stay bounded when the mesh is refined (a
preconditioner that is not a fixed symmetric positive definite operator, a subdomain that misses
couplings or a wrong coarse level shows as a wrong answer, a breakdown or steps that explode).
"""

import json

import numpy as np
import pytest


def run(mpirun, ranks, n, overlap=3, coarse=True, clamp="face", entry="pc"):
    done = mpirun(ranks, "run_block_multigrid.py", n, overlap, int(coarse), clamp, entry, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    line = next(line for line in done.stdout.splitlines() if line.startswith("RESULT "))
    return json.loads(line[len("RESULT ") :])


def check_answer(result):
    assert result["converged"] and result["method"] == "multigrid", result
    assert result["error"] < 1e-8, f"relative difference from the serial solve {result['error']:.2e}"


@pytest.mark.parametrize("ranks", [1, 2, 3])
@pytest.mark.parametrize("coarse", [True, False])
def test_matches_serial(mpirun, ranks, coarse):
    check_answer(run(mpirun, ranks, 5, overlap=1, coarse=coarse))


# Bounds about 15 % above the steps measured with the subdomains' degree-1 smoothers
# (distributed_pc.SMOOTHER_DEGREE): 53 / 87, 45 / 55, 34 / 62, 43 / 54.
@pytest.mark.parametrize(
    "overlap, coarse, steps_at_4, steps_at_8",
    [(0, False, 65, 95), (3, False, 52, 63), (0, True, 40, 70), (3, True, 50, 62)],
)
def test_steps_stay_bounded(mpirun, overlap, coarse, steps_at_4, steps_at_8):
    coarse_mesh, fine_mesh = run(mpirun, 2, 4, overlap, coarse), run(mpirun, 2, 8, overlap, coarse)
    for result in (coarse_mesh, fine_mesh):
        check_answer(result)
    assert coarse_mesh["iterations"] <= steps_at_4, coarse_mesh
    assert fine_mesh["iterations"] <= steps_at_8, (
        f"steps {coarse_mesh['iterations']} at N = 4, {fine_mesh['iterations']} at N = 8"
    )


def test_coarse_level_saves_steps(mpirun):
    # Three subdomains, two of them cut off from the supports: their rigid-body motions are what
    # the coarse level brings in.
    one_level, two_level = run(mpirun, 3, 8, 1, False), run(mpirun, 3, 8, 1, True)
    check_answer(two_level)
    assert two_level["iterations"] <= 0.85 * one_level["iterations"], (one_level, two_level)


@pytest.mark.parametrize("ranks, overlap, coarse", [(2, 0, True), (2, 0, False), (2, 2, True), (3, 0, True)])
def test_rank_without_free_rows(mpirun, ranks, overlap, coarse):
    # Every node with x <= 1/2 fixed: rank 0's part is all support, so it owns no row, and with
    # no overlap its subdomain is empty.
    result = run(mpirun, ranks, 4, overlap, coarse, clamp="half")
    assert result["owned_rows"][0] == 0, result
    check_answer(result)


def test_solve_system_method_multigrid(mpirun):
    result = run(mpirun, 2, 4, entry="method")
    check_answer(result)


@pytest.mark.parametrize(
    "points, columns",
    [
        ([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0], [1.0, 1.0, 1.0]], 6),
        ([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 2.0, 0.0]], 6),  # three points in a plane fix all six
        ([[0.0, 0.0, 0.0], [1.0, 1.0, 1.0], [2.0, 2.0, 2.0]], 5),  # a line: the turn about it moves nothing
        ([[5.0, -1.0, 2.0]], 3),  # one point only moves
        (np.zeros((0, 3)), 0),
    ],
)
def test_coarse_basis_spans_the_rigid_motions(points, columns):
    from quarvex_tools.distributed_pc import coarse_basis

    points = np.asarray(points, dtype=np.float64) * 1e3 + 7.0  # far from the origin, large
    basis = coarse_basis(points)
    assert basis.shape == (3 * len(points), columns)
    assert np.allclose(basis.T @ basis, np.eye(columns), atol=1e-10)
    # Every rigid motion u = t + w x p of the points lies in the basis's span.
    rng = np.random.default_rng(1)
    shift, turn = rng.normal(size=3), rng.normal(size=3)
    motion = (shift + np.cross(turn, points)).ravel()
    residue = motion - basis @ (basis.T @ motion)
    assert np.linalg.norm(residue) <= 1e-9 * max(np.linalg.norm(motion), 1.0), np.linalg.norm(residue)


def test_settings_refused_on_every_rank(mpirun):
    # Ranks that pass different overlaps would grow different subdomains and wait for each other
    # in PETSc's collective calls: every rank must raise instead, and the solve after must work.
    result = run(mpirun, 3, 4, entry="refuse")
    check_answer(result)
    for rank, refusals in enumerate(result["refusals"]):
        differ, negative, fraction, coarse = refusals
        assert differ.startswith("ValueError: ranks disagree on overlap: rank 0 passes 1, rank 1 2"), (rank, differ)
        assert "overlap must be >= 0, got -1" in negative, (rank, negative)
        shown = "TypeError: " if rank == 1 else "ValueError: rank 1 failed: TypeError: "
        assert fraction == shown + "overlap must be an int, got float", (rank, fraction)
        assert coarse.startswith("ValueError: ranks disagree on coarse"), (rank, coarse)
