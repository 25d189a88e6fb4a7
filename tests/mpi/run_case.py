"""Solves the test model on every rank of an MPI run and saves what each rank got.

Run by test_distributed.py as
    mpirun -n P python -m mpi4py run_case.py OUT_DIR MESH PRECONDITIONER
MESH "box" builds each rank's part with box_part, "shuffled" partitions the shuffled mesh
on rank 0 and distributes it. Rank 0 writes OUT_DIR/ranks.npz with every rank's nodes and
report; every rank writes its piece of OUT_DIR/solution.pvtu.
"""

import os
import sys
import warnings

import numpy as np
from mpi4py import MPI

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import model_case  # noqa: E402

from quarvex_tools import distributed  # noqa: E402


def main():
    out_dir, mesh_kind, preconditioner = sys.argv[1:4]
    comm = MPI.COMM_WORLD
    if mesh_kind == "box":
        part = distributed.box_part(comm, *model_case.CELLS, size=model_case.SIZE)
    else:
        points, tetrahedra = model_case.mesh(mesh_kind) if comm.rank == 0 else (None, None)
        part = distributed.distribute_mesh(comm, points, tetrahedra)
    numbering = distributed.number_part(comm, part, model_case.fixed)
    model = distributed.assemble_part(numbering, model_case.CMAT, model_case.body_force(), comm=comm)
    matrix, load = distributed.petsc_system(comm, numbering, model)
    solution = distributed.solve_system(comm, numbering, matrix, load, preconditioner, rtol=1e-12)
    distributed.write_pvtu(comm, os.path.join(out_dir, "solution.pvtu"), numbering, solution.displacement)

    # Two steps of plain CG cannot reach the tolerance: the solve must say so.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        distributed.solve_system(comm, numbering, matrix, load, "none", rtol=1e-12, maxiter=2)
    unmet = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]

    # Refusals reach every rank, so none waits for the others: bad arrays on rank 0, and a
    # fixed(x) that ranks answer differently for the nodes they share.
    refusals = []
    bad = (np.zeros((4, 3)), np.array([[0, 1, 2, 4]])) if comm.rank == 0 else (None, None)
    for attempt in (
        lambda: distributed.distribute_mesh(comm, *bad),
        lambda: distributed.number_part(comm, part, lambda x: (x[:, 1] == 0.0) & (comm.rank == 0)),
    ):
        try:
            attempt()
            refusals.append(None)
        except ValueError as error:
            refusals.append(str(error))

    record = {
        "node_keys": numbering.node_keys,
        "displacement": solution.displacement,
        "element_ids": part.element_ids,
        "owned": np.array(numbering.owned_range),
        "global_node": numbering.global_node,
        "n_global_nodes": numbering.n_global_nodes,
        "matrix_rows": matrix.getSize()[0],
        "report": (
            solution.iterations,
            solution.converged,
            solution.residual_norm / solution.rhs_norm,
            solution.reason,
        ),
        "unmet": unmet,
        "refusals": refusals,
    }
    records = comm.gather(record, root=0)
    if comm.rank == 0:
        arrays = {}
        for rank, item in enumerate(records):
            for name, value in item.items():
                packed = name in ("report", "unmet", "refusals")
                arrays[f"{name}_{rank}"] = np.array(value, dtype=object) if packed else value
        np.savez(os.path.join(out_dir, "ranks.npz"), ranks=len(records), **arrays)


if __name__ == "__main__":
    main()
