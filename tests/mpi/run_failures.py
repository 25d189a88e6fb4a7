"""Runs one failure case on every rank of an MPI run and saves how each rank ended it.

Run by test_distributed_failures.py as
    mpirun -n P python -m mpi4py run_failures.py OUT_DIR CASE [uncaught]
Rank 1 is the odd one out in every case but "indefinite": it passes other settings than the
rest, or fails where the others succeed; in "indefinite" every rank solves a system on which
conjugate gradients break down. Each rank catches what the case raises, then all ranks solve and
write the test model once more, which they can only do if they are still in step. Rank 0
writes OUT_DIR/outcome.json: per rank the exception's type and text, and whether the solve
after it converged. With "uncaught" the case's exception is left to end the job.
"""

import dataclasses
import json
import os
import sys

import numpy as np
from mpi4py import MPI

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import model_case  # noqa: E402

from quarvex_tools import distributed, isotropic  # noqa: E402


def odd(comm, usual, other):
    """`other` on rank 1, `usual` on every other rank."""
    return other if comm.rank == 1 else usual


def assembled_system(comm, part, cmat=model_case.CMAT):
    """The DistributedSystem of the test model (of another material matrix when given)."""
    numbering = distributed.number_part(comm, part, model_case.fixed)
    model = distributed.assemble_part(numbering, cmat, model_case.body_force())
    return distributed.DistributedSystem(comm, numbering, *distributed.petsc_system(comm, numbering, model))


def indefinite_material():
    """lam = -2, mu = 0.3: stiff in shear, a negative bulk modulus; conjugate gradients meet p.Ap of both signs."""
    eye = np.eye(3)
    shear = np.einsum("ik,jl->ijkl", eye, eye) + np.einsum("il,jk->ijkl", eye, eye)
    return (-2.0 * np.einsum("ij,kl->ijkl", eye, eye) + 0.3 * shear).reshape(9, 9).tolist()


def bad_body_force():
    """A body force whose z component names an arena node that does not exist."""
    arena, nodes = model_case.body_force()
    return arena, nodes[:2] + [10**6]


def run_case(comm, part, case, out_dir):
    """Runs `case`; every rank must raise."""
    if case in ("rtol", "atol", "maxiter", "method", "unknown_method"):
        settings = {"rtol": 1e-8, "atol": 0.0, "maxiter": 100, "method": "gamg"}
        odd_one = {"rtol": 1e-6, "atol": 1e-3, "maxiter": None, "method": "hypre", "unknown_method": "direct"}[case]
        name = case.replace("unknown_", "")
        settings[name] = odd(comm, settings[name], odd_one)
        distributed.solve_system(assembled_system(comm, part), **settings)
    elif case == "indefinite":
        distributed.solve_system(assembled_system(comm, part, indefinite_material()), method="cg")
    elif case == "material":
        stiffer = isotropic(E=2.0, nu=0.3).matrix.tolist()
        distributed.solve_part(
            comm, part, odd(comm, model_case.CMAT, stiffer), model_case.fixed, model_case.body_force()
        )
    elif case == "body_force":
        distributed.solve_part(
            comm, part, model_case.CMAT, model_case.fixed, odd(comm, (0.0, 0.0, -1.0), (0.0, 0.0, -2.0))
        )
    elif case == "assembly":
        distributed.solve_part(
            comm, part, model_case.CMAT, model_case.fixed, odd(comm, model_case.body_force(), bad_body_force())
        )
    elif case == "assemble_part":
        numbering = distributed.number_part(comm, part, model_case.fixed)
        distributed.assemble_part(
            numbering, model_case.CMAT, odd(comm, model_case.body_force(), bad_body_force()), comm=comm
        )
    elif case == "petsc_system":
        numbering = distributed.number_part(comm, part, model_case.fixed)
        local = distributed.local_system(distributed.assemble_part(numbering, model_case.CMAT))
        cut = dataclasses.replace(local, rhs=local.rhs[:-3])  # one node's loads short
        distributed.petsc_system(comm, numbering, odd(comm, local, cut))
    elif case == "write":
        numbering, solution = distributed.solve_part(
            comm, part, model_case.CMAT, model_case.fixed, model_case.body_force()
        )
        if comm.rank == 1:
            os.mkdir(os.path.join(out_dir, "solution_0001.vtu"))  # rank 1's piece cannot be written
        comm.Barrier()
        distributed.write_pvtu(comm, os.path.join(out_dir, "solution.pvtu"), numbering, solution.displacement)
    else:
        raise SystemExit(f"unknown case {case!r}")


def main():
    out_dir, case = sys.argv[1:3]
    comm = MPI.COMM_WORLD
    part = distributed.box_part(comm, *model_case.CELLS, size=model_case.SIZE)
    if sys.argv[3:] == ["uncaught"]:
        run_case(comm, part, case, out_dir)
        return
    outcome = {"error": None, "message": None}
    try:
        run_case(comm, part, case, out_dir)
    except BaseException as error:  # noqa: BLE001 - the core's PanicException is no Exception
        outcome = {"error": type(error).__name__, "message": str(error)}

    numbering, solution = distributed.solve_part(
        comm, part, model_case.CMAT, model_case.fixed, model_case.body_force(), rtol=1e-10
    )
    distributed.write_pvtu(comm, os.path.join(out_dir, "after.pvtu"), numbering, solution.displacement)
    outcome["after"] = bool(solution.converged and np.isfinite(solution.displacement).all())
    outcomes = comm.gather(outcome, root=0)
    if comm.rank == 0:
        with open(os.path.join(out_dir, "outcome.json"), "w", encoding="utf-8") as out:
            json.dump(outcomes, out)


if __name__ == "__main__":
    main()
