"""The package's multigrid per rank inside PETSc's conjugate gradients (quarvex_tools.distributed_pc).

Two ranks solve the clamped unit cube with block Jacobi (overlap 0) and additive Schwarz
(overlap 3); the displacements must match a tight serial solve of the same cube, and the steps
must stay bounded when the mesh is refined (a preconditioner that is not a fixed symmetric
operator, or a subdomain block that misses couplings, shows as a wrong answer or as steps that
explode).
"""

import json

import pytest


def run(mpirun, n, overlap):
    done = mpirun(2, "run_block_multigrid.py", n, overlap, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    line = next(line for line in done.stdout.splitlines() if line.startswith("RESULT "))
    return json.loads(line[len("RESULT ") :])


@pytest.mark.parametrize("overlap, steps_at_4, steps_at_8", [(0, 65, 95), (3, 40, 50)])
def test_matches_serial_and_steps_stay_bounded(mpirun, overlap, steps_at_4, steps_at_8):
    coarse, fine = run(mpirun, 4, overlap), run(mpirun, 8, overlap)
    for result in (coarse, fine):
        assert result["converged"] and result["method"] == "multigrid", result
        assert result["error"] < 1e-8, f"relative difference from the serial solve {result['error']:.2e}"
    assert coarse["iterations"] <= steps_at_4, coarse
    assert fine["iterations"] <= steps_at_8, f"steps {coarse['iterations']} at N = 4, {fine['iterations']} at N = 8"
