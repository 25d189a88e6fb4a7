"""Solves the unit cube of n^3 cells on every rank's part with the package's multigrid per
subdomain (distributed_pc) and, on rank 0, the whole cube serially; rank 0 prints one JSON line:
the steps, every rank's owned rows, and the largest difference of any node's displacement,
relative to the largest displacement.

    mpirun -n P python -m mpi4py run_block_multigrid.py N OVERLAP COARSE CLAMP ENTRY

COARSE 1 or 0 (the coarse level of the ranks' rigid-body modes or not); CLAMP "face" fixes the
face x = 0, "half" every node with x <= 1/2, which leaves rank 0 of a bisected cube no free row;
ENTRY "pc" calls distributed_pc.solve_system, "method" distributed.solve_system(method="multigrid"),
"refuse" first passes settings that some rank refuses or that ranks pass differently, and prints
what every rank raised.
"""

import json
import sys

import numpy as np
from mpi4py import MPI

from quarvex_tools import distributed, distributed_pc, isotropic

MATERIAL = isotropic(lam=1.25, mu=1.0)
FORCE = (0.0, 0.0, -1.0)
CLAMPS = {"face": lambda x: x[:, 0] == 0.0, "half": lambda x: x[:, 0] <= 0.5 + 1e-12}


def solve(comm, n, clamp, run):
    """{node key: displacement} of this rank's nodes, the report and the rank's owned rows."""
    part = distributed.box_part(comm, n, n, n)
    numbering = distributed.number_part(comm, part, CLAMPS[clamp])
    local = distributed.local_system(distributed.assemble_part(numbering, MATERIAL, FORCE))
    assembled = distributed.DistributedSystem(comm, numbering, *distributed.petsc_system(comm, numbering, local))
    try:
        report = run(assembled)
        values = distributed.displacement(assembled)
        owned_rows = assembled.matrix.getLocalSize()[0]
    finally:
        assembled.destroy()
    return dict(zip(numbering.node_keys.tolist(), values, strict=True)), report, owned_rows


def main():
    comm = MPI.COMM_WORLD
    n, overlap, coarse, clamp, entry = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "1", *sys.argv[4:6]
    refusals = []
    if entry == "refuse":

        def attempts(assembled):
            for overlap_of_rank in ([1, 2, 1], [1, -1, 1], [1, 1.5, 1]):
                try:
                    distributed_pc.solve_system(assembled, overlap=overlap_of_rank[comm.rank % 3])
                    refusals.append("solved")
                except (TypeError, ValueError) as error:
                    refusals.append(f"{type(error).__name__}: {error}")
            try:
                distributed_pc.solve_system(assembled, coarse=comm.rank == 0)
                refusals.append("solved")
            except ValueError as error:
                refusals.append(f"{type(error).__name__}: {error}")
            return distributed_pc.solve_system(assembled, overlap=overlap, coarse=coarse, rtol=1e-10)

        values, report, owned_rows = solve(comm, n, clamp, attempts)
    elif entry == "pc":
        values, report, owned_rows = solve(
            comm, n, clamp, lambda s: distributed_pc.solve_system(s, overlap=overlap, coarse=coarse, rtol=1e-10)
        )
    else:
        values, report, owned_rows = solve(
            comm, n, clamp, lambda s: distributed.solve_system(s, method="multigrid", rtol=1e-10)
        )
    gathered = comm.gather(values, root=0)
    owned = comm.gather(owned_rows, root=0)
    every_refusal = comm.gather(refusals, root=0)
    if comm.rank == 0:
        # The whole cube on one process, to 1e-12.
        reference, _, _ = solve(
            MPI.COMM_SELF, n, clamp, lambda s: distributed.solve_system(s, method="gamg", rtol=1e-12)
        )
        scale = max(np.abs(v).max() for v in reference.values())
        error = max(np.abs(value - reference[key]).max() for part in gathered for key, value in part.items())
        line = {"iterations": report.iterations, "converged": report.converged, "error": error / scale}
        line.update(method=report.method, owned_rows=owned)
        line["refusals"] = every_refusal
        print("RESULT " + json.dumps(line), flush=True)


main()
