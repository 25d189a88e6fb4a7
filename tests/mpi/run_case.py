"""Solves the test model on every rank of an MPI run and saves what each rank got.

Run by test_distributed.py as
    mpirun -n P python -m mpi4py run_case.py OUT_DIR MESH METHOD
MESH "box" builds each rank's part with box_part, "shuffled" partitions the shuffled mesh
on rank 0 and distributes it. Rank 0 writes OUT_DIR/ranks.npz with every rank's part, its
numbering, its nodes' values and its reports; every rank writes its piece of
OUT_DIR/solution.pvtu.
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
    out_dir, mesh_kind, method = sys.argv[1:4]
    comm = MPI.COMM_WORLD
    if mesh_kind == "box":
        part = distributed.box_part(comm, *model_case.CELLS, size=model_case.SIZE)
    else:
        points, tetrahedra = model_case.mesh(mesh_kind) if comm.rank == 0 else (None, None)
        part = distributed.distribute_mesh(comm, points, tetrahedra)
    numbering = distributed.number_part(comm, part, model_case.fixed)
    model = distributed.assemble_part(numbering, model_case.CMAT, model_case.body_force(), comm=comm)
    assembled = distributed.DistributedSystem(comm, numbering, *distributed.petsc_system(comm, numbering, model))
    matrix_rows = assembled.matrix.getSize()[0]
    report = distributed.solve_system(assembled, method=method, rtol=1e-12, history=True)
    displacement = distributed.displacement(assembled)
    distributed.write_pvtu(comm, os.path.join(out_dir, "solution.pvtu"), numbering, displacement)

    # Two steps of plain CG cannot reach the tolerance: the solve must say so.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        short = distributed.solve_system(assembled, method="cg", rtol=1e-12, maxiter=2)
    unmet = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]

    # The former name of solve_part's method still runs, and says it goes.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, former = distributed.solve_part(
            comm, part, model_case.CMAT, model_case.fixed, model_case.body_force(), "jacobi", rtol=1e-10
        )
    deprecated = [str(w.message) for w in caught if issubclass(w.category, DeprecationWarning)]

    # Refusals reach every rank, so none waits for the others: bad arrays on rank 0, a fixed(x)
    # that ranks answer differently for the nodes they share, and a numbering passed on rank 0.
    refusals = []
    bad = (np.zeros((4, 3)), np.array([[0, 1, 2, 4]])) if comm.rank == 0 else (None, None)
    for attempt in (
        lambda: distributed.distribute_mesh(comm, *bad),
        lambda: distributed.number_part(comm, part, lambda x: (x[:, 1] == 0.0) & (comm.rank == 0)),
        lambda: distributed.solve_system(assembled, numbering.dofs if comm.rank == 0 else None),
    ):
        try:
            attempt()
            refusals.append(None)
        except ValueError as error:
            refusals.append(str(error))
    assembled.destroy()

    record = {
        "points": part.points,
        "tetrahedra": part.tetrahedra,
        "edges": numbering.local.edges,
        "element_nodes": numbering.local.element_nodes,
        "node_points": numbering.local.node_points,
        "node_start": numbering.dofs.node_start,
        "bc": numbering.dofs.bc,
        "node_keys": numbering.node_keys,
        "displacement": displacement,
        "element_ids": part.element_ids,
        "owned": np.array(numbering.owned_range),
        "global_node": numbering.global_node,
        "n_global_nodes": numbering.n_global_nodes,
        "matrix_rows": matrix_rows,
        "report": (
            report.iterations,
            report.converged,
            report.relative_residual,
            report.method,
            report.reason,
        ),
        "history": report.history,
        "residual_norm": report.residual_norm,
        "rhs_norm": report.rhs_norm,
        "short": (short.iterations, short.converged, short.method, short.reason),
        "former": (former.converged, former.report.method),
        "deprecated": deprecated,
        "unmet": unmet,
        "refusals": refusals,
    }
    records = comm.gather(record, root=0)
    if comm.rank == 0:
        arrays = {}
        for rank, item in enumerate(records):
            for name, value in item.items():
                packed = name in ("report", "short", "former", "deprecated", "unmet", "refusals")
                arrays[f"{name}_{rank}"] = np.array(value, dtype=object) if packed else value
        np.savez(os.path.join(out_dir, "ranks.npz"), ranks=len(records), **arrays)


if __name__ == "__main__":
    main()
