"""Runs a serial script's model unchanged on every rank of an MPI run and saves what each rank got.

Run by test_elasticity.py as
    mpirun -n P python run_elasticity.py OUT_DIR MODEL [MESH_FILE]
(without ``-m mpi4py``: the package finds the run's ranks from the launcher's environment; a
curved model reads its mesh from MESH_FILE). Every rank solves every load case of the model as
`elasticity_models.solve` does, writes OUT_DIR/model.vtu, model.npz and model.png through its
result, and saves its displacements, von Mises stresses, reactions, report and curved query
(`elasticity_models.probe`), with what its mesh holds of curved geometry (the curved elements,
the volume), to OUT_DIR/rank_R.npz.
"""

import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import elasticity_models  # noqa: E402


def main():
    out_dir, name = sys.argv[1:3]
    model = elasticity_models.build(name, *sys.argv[3:4])
    results = elasticity_models.solve(model)
    first = results["default"]
    first.write(os.path.join(out_dir, "model.vtu"), fields=("von_mises", "displacement"))
    first.save(os.path.join(out_dir, "model.npz"))
    scale = first.plot(os.path.join(out_dir, "model.png"))

    from mpi4py import MPI  # imported by the package already; the rank names the output

    record = {
        "scale": scale,
        "ranks": MPI.COMM_WORLD.Get_size(),
        "curved": model.mesh.curved,
        "volume": model.mesh.volume(),
        "nodal_loads": model.nodal_loads,
    }
    for case, result in results.items():
        record[f"displacement_{case}"] = result.displacement
        record[f"von_mises_{case}"] = result.field("von_mises")
        record[f"reactions_{case}"] = result.reaction_forces
        record[f"probe_{case}"], record[f"inside_{case}"] = elasticity_models.probe(name, result)
        record[f"report_{case}"] = np.array([result.report.method, result.report.reason, result.report.converged])
        record[f"relative_residual_{case}"] = result.report.relative_residual
    np.savez(os.path.join(out_dir, f"rank_{MPI.COMM_WORLD.Get_rank()}.npz"), **record)


if __name__ == "__main__":
    main()
