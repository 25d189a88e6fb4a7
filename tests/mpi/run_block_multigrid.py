"""Solves the clamped unit cube of n^3 cells on every rank's part with the package's multigrid per
subdomain (distributed_pc) and, on rank 0, the whole cube serially; rank 0 prints one JSON line:
the steps and the largest difference of any node's displacement, relative to the largest displacement."""

import json
import sys

import numpy as np
from mpi4py import MPI

from quarvex_tools import distributed, distributed_pc, isotropic

MATERIAL = isotropic(lam=1.25, mu=1.0)
FORCE = (0.0, 0.0, -1.0)


def clamped(x):
    return x[:, 0] == 0.0


def solve(comm, n, overlap=None):
    """{node key: displacement} of this rank's nodes, and the report."""
    part = distributed.box_part(comm, n, n, n)
    numbering = distributed.number_part(comm, part, clamped)
    local = distributed.local_system(distributed.assemble_part(numbering, MATERIAL, FORCE))
    assembled = distributed.DistributedSystem(comm, numbering, *distributed.petsc_system(comm, numbering, local))
    try:
        if overlap is None:
            report = distributed.solve_system(assembled, method="gamg", rtol=1e-12)
        else:
            report = distributed_pc.solve_system(assembled, overlap=overlap, rtol=1e-10)
        values = distributed.displacement(assembled)
    finally:
        assembled.destroy()
    return dict(zip(numbering.node_keys.tolist(), values, strict=True)), report


def main():
    comm = MPI.COMM_WORLD
    n, overlap = int(sys.argv[1]), int(sys.argv[2])
    values, report = solve(comm, n, overlap)
    gathered = comm.gather(values, root=0)
    if comm.rank == 0:
        reference, _ = solve(MPI.COMM_SELF, n)  # the whole cube on one process, to 1e-12
        scale = max(np.abs(v).max() for v in reference.values())
        error = max(np.abs(value - reference[key]).max() for part in gathered for key, value in part.items())
        line = {"iterations": report.iterations, "converged": report.converged, "error": error / scale}
        line["method"] = report.method
        print("RESULT " + json.dumps(line), flush=True)


main()
