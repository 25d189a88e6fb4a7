"""Runs one failure case of a serial script under mpirun and saves how each rank ended it.

Run by test_elasticity.py as
    mpirun -n P python run_elasticity_failures.py OUT_DIR CASE [uncaught]
Rank 1 is the odd one out (rank 0 in "write", whose file rank 0 alone writes; every rank in
"direct"): it passes other arguments than the rest, or its model differs. Each rank catches
what the case raises, then all ranks solve the octant once more, which they can only do if
they are still in step. Rank 0 writes OUT_DIR/outcome.json: per rank the exception's type and
text, and whether the solve after it converged. With "uncaught" the case's exception is left
to end the job.
"""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import elasticity_models  # noqa: E402

from quarvex_tools import Elasticity  # noqa: E402


def run_case(rank, case, out_dir):
    """Runs `case`; every rank must raise."""
    odd = rank == 1
    model = elasticity_models.octant()
    if case == "rtol":
        model.solve(rtol=1e-6 if odd else 1e-8)
    elif case == "method":
        model.solve(method="bogus" if odd else "auto")
    elif case == "direct":
        model.solve(method="direct")
    elif case == "case":
        model.solve(case="missing" if odd else None)
    elif case == "unsupported":
        cube = elasticity_models.cube(2)
        if odd:  # the same cube without its support
            cube = Elasticity(cube.mesh, elasticity_models.MATERIAL)
            cube.body_force((0.0, 0.0, -1.0))
        cube.solve()
    elif case == "size":
        elasticity_models.cube(3 if odd else 2).solve()
    elif case == "turned":  # sliding on the curved side turns its nodes' frames
        model.frictionless("xmax")
        model.solve(method="multigrid")
    elif case == "write":
        model.solve().write(os.path.join(out_dir, "missing", "model.vtu"))
    else:
        raise SystemExit(f"unknown case {case}")


def main():
    out_dir, case = sys.argv[1:3]
    from mpi4py import MPI

    comm = MPI.COMM_WORLD
    if sys.argv[3:] == ["uncaught"]:
        run_case(comm.rank, case, out_dir)
    outcome = {"error": None, "message": ""}
    try:
        run_case(comm.rank, case, out_dir)
    except Exception as error:  # noqa: BLE001 - what every rank raised is the outcome
        outcome = {"error": type(error).__name__, "message": str(error)}
    outcome["after"] = bool(elasticity_models.octant().solve().report.converged)
    outcomes = comm.gather(outcome, root=0)
    if comm.rank == 0:
        with open(os.path.join(out_dir, "outcome.json"), "w") as out:
            json.dump(outcomes, out)


if __name__ == "__main__":
    main()
