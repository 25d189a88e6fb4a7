"""Distributed solve through PETSc: time of each phase and memory per rank, beside dolfinx.

The anchor problem (unit cube of N^3 cells, six P2 tetrahedra each, lambda = 1.25, mu = 1,
clamped at x = 0, body force (0, 0, -1), CG to relative residual 1e-8 with GAMG and the
rigid-body modes), solved by quarvex_tools.distributed on 1 and 2 ranks and by dolfinx on 2
ranks, one after the other in this run (never two at once). Each run is its own mpirun.

Phases of quarvex_tools.distributed (each between barriers, the slowest rank's time):
  mesh        rank 0 builds the whole mesh (box_part on one process)
  partition   recursive coordinate bisection on rank 0 and sending the parts (distribute_mesh)
  numbering   number_part: P2 nodes, ownership and global numbers by rendezvous
  assembly    assemble_part: the rank's Nexus, set_dof, set_solver, assemble, and the copy
              of its matrix and load vector out of the model (local_system), which frees it
  insertion   petsc_system: preallocation, adding the rows into the MPIAIJ matrix, load vector
  setup       KSP and GAMG set-up;  solve: CG iterations
dolfinx (Debian's 0.5, ../shared/anchors): numbering = edges + dof map, assembly +
insertion = matrix creation + assembly + load vector (bench_dolfinx.py --no-solve), setup and
solve from bench_dolfinx_amg.py --pcs gamg. Memory: peak resident set of each rank of the
run, after imports in brackets.

Beside them, the same cube solved by a serial script through Elasticity under mpirun (the
"Elasticity 2r" column, --elasticity-ranks): every rank builds the whole mesh and model and
assembles and constrains the whole system (phases model, supports, unknowns, assembly,
constrain), hands PETSc its block of rows (insertion), and receives the whole solution
(gather; results: displacements and reactions). Its memory per rank is that of a serial run
plus its rows in PETSc: the price of running the serial pipeline whole. Measured on this
machine (2 cores shared, load 4; times vary with the load), N = 32, 811 200 unknowns, 2 ranks:
distributed path 2.0 GB per rank, 69 s in all; through Elasticity 3.6 GB per rank, 82 s, of
which assembly 3.9 s, insertion 14 s, set-up 39 s and solve 24 s (39 steps against 34).

Usage (Debian's Python with mpi4py and petsc4py, quarvex installed for it, e.g. the
virtual environment scripts/test_mpi.sh makes):
    build/mpi-venv/bin/python benchmarks/distributed_bench.py [--sizes 24 32] [--ranks 1 2]
        [--anchors ../shared/anchors] [--no-dolfinx] [--elasticity-ranks 2]
"""

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

from mpi_runs import mpirun, run_worker

LAM, MU = 1.25, 1.0
RTOL = 1e-8


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def worker(n):
    """One measured solve under mpirun; rank 0 prints one JSON line."""
    from mpi4py import MPI

    from quarvex_tools import distributed, isotropic

    comm = MPI.COMM_WORLD
    baseline = peak_mb()
    seconds = {}

    def timed(name, action):
        comm.Barrier()
        start = time.perf_counter()
        result = action()
        elapsed = time.perf_counter() - start
        comm.Barrier()
        seconds[name] = comm.allreduce(elapsed, op=MPI.MAX)
        return result

    whole = timed("mesh", lambda: distributed.box_part(MPI.COMM_SELF, n, n, n) if comm.rank == 0 else None)
    part = timed(
        "partition",
        lambda: distributed.distribute_mesh(
            comm, *((whole.points, whole.tetrahedra) if whole is not None else (None, None))
        ),
    )
    whole = None  # rank 0 lets the whole mesh go
    numbering = timed("numbering", lambda: distributed.number_part(comm, part, lambda x: x[:, 0] == 0.0))
    local = timed(
        "assembly",
        lambda: distributed.local_system(
            distributed.assemble_part(numbering, isotropic(lam=LAM, mu=MU), (0.0, 0.0, -1.0))
        ),
    )
    assembled = timed(
        "insertion",
        lambda: distributed.DistributedSystem(comm, numbering, *distributed.petsc_system(comm, numbering, local)),
    )
    local = None
    after_insertion = peak_mb()
    comm.Barrier()
    report = distributed.solve_system(assembled, method="gamg", rtol=RTOL)
    for name in ("setup", "solve"):
        seconds[name] = comm.allreduce(assembled.seconds[name], op=MPI.MAX)
    shared = comm.allreduce(int((numbering.global_node >= 0).sum()), op=MPI.SUM) - numbering.n_global_nodes
    record = {
        "ranks": comm.size,
        "N": n,
        "unknowns": 3 * numbering.n_global_nodes,
        "seconds": seconds,
        "iterations": report.iterations,
        "relres": report.relative_residual,
        "peak_mb": comm.gather(peak_mb(), root=0),
        "baseline_mb": comm.gather(baseline, root=0),
        "insertion_mb": comm.gather(after_insertion, root=0),
        "shared_nodes": shared,
    }
    if comm.rank == 0:
        print("RESULT " + json.dumps(record), flush=True)


# The log records of an Elasticity solve that time its phases: (logger, start of the message, phases of its
# times in the order of its arguments that are times, which are the last ones).
_PHASE_RECORDS = [
    ("quarvex_tools.model", "supports checked", ["supports"]),
    ("quarvex_tools.model", "numbered %d unknowns", ["unknowns"]),
    ("quarvex_tools.model", "assembled %d elements", ["assembly"]),
    ("quarvex_tools.model", "loads and supports set", ["constrain"]),
    ("quarvex_tools.parallel", "rows handed to PETSc", ["insertion"]),
    ("quarvex_tools.parallel", "case %r: PETSc set up", ["setup", "solve", "gather"]),
    ("quarvex_tools.model", "case %r: displacements and reactions", ["results"]),
]


def elasticity_worker(n):
    """The same cube solved by a serial script through Elasticity, run alike on every rank; rank 0 prints JSON.

    Every rank builds the whole mesh and model and assembles and constrains the whole system;
    only the solve is shared. Phases (the slowest rank's time): mesh (box_mesh), model
    (Elasticity: the P2 numbering; supports and load), then from the log of solve(): supports,
    unknowns, assembly, constrain, insertion (the rank's rows into PETSc), setup, solve,
    gather (the whole solution to every rank) and results (displacements and reactions).
    """
    import logging

    from mpi4py import MPI

    from quarvex_tools import Elasticity, box_mesh, isotropic

    comm = MPI.COMM_WORLD
    baseline = peak_mb()
    seconds = {}
    marks = {}

    class Phases(logging.Handler):
        def emit(self, record):
            for logger, start, names in _PHASE_RECORDS:
                if record.name == logger and str(record.msg).startswith(start):
                    for name, value in zip(names, record.args[-len(names) :], strict=True):
                        seconds[name] = float(value)
                    marks[names[0]] = peak_mb()

    handler = Phases()
    for logger in {logger for logger, _, _ in _PHASE_RECORDS}:
        logging.getLogger(logger).addHandler(handler)
        logging.getLogger(logger).setLevel(logging.INFO)

    def timed(name, action):
        comm.Barrier()
        start = time.perf_counter()
        result = action()
        seconds[name] = time.perf_counter() - start
        return result

    mesh = timed("mesh", lambda: box_mesh(n, n, n))

    def define():
        model = Elasticity(mesh, isotropic(lam=LAM, mu=MU))
        model.fix("xmin")
        model.body_force((0.0, 0.0, -1.0))
        return model

    model = timed("model", define)
    comm.Barrier()
    result = model.solve(rtol=RTOL)
    seconds = {name: comm.allreduce(value, op=MPI.MAX) for name, value in seconds.items()}
    record = {
        "ranks": comm.size,
        "N": n,
        "unknowns": int(result.displacement.size),
        "seconds": seconds,
        "iterations": result.report.iterations,
        "relres": result.report.relative_residual,
        "peak_mb": comm.gather(peak_mb(), root=0),
        "baseline_mb": comm.gather(baseline, root=0),
        "insertion_mb": comm.gather(marks.get("insertion", 0.0), root=0),
    }
    if comm.rank == 0:
        print("RESULT " + json.dumps(record), flush=True)


def load_average():
    return os.getloadavg()[0]


def run_quarvex(n, ranks, worker="--worker"):
    return run_worker(__file__, ranks, worker, str(n))


def run_dolfinx(n, ranks, anchors):
    """Phases from bench_dolfinx.py and time to solution from bench_dolfinx_amg.py, with each rank's peak RSS."""
    load = load_average()
    with tempfile.TemporaryDirectory() as scratch:
        phases_file = os.path.join(scratch, "phases.json")
        subprocess.run(
            mpirun(ranks)
            + [
                "/usr/bin/python3",
                os.path.join(anchors, "bench_dolfinx.py"),
                "--N",
                str(n),
                "--reps",
                "1",
                "--nmult",
                "3",
                "--no-solve",
                "--json",
                phases_file,
            ],
            capture_output=True,
            text=True,
            cwd=scratch,
            check=True,
        )
        with open(phases_file) as handle:
            phases = json.load(handle)["results"][0]
        done = subprocess.run(
            mpirun(ranks)
            + [
                "/usr/bin/time",
                "-f",
                "PEAK_KB %M",
                "/usr/bin/python3",
                os.path.join(anchors, "bench_dolfinx_amg.py"),
                "--N",
                str(n),
                "--pcs",
                "gamg",
            ],
            capture_output=True,
            text=True,
            cwd=scratch,
            check=True,
        )
    solve = json.loads(next(line for line in done.stdout.splitlines() if line.startswith("{")))
    # The ranks' lines may interleave with the compiler's log on stderr.
    peaks = [int(kb) / 1024.0 for kb in re.findall(r"PEAK_KB (\d+)", done.stderr)]
    return {
        "ranks": ranks,
        "N": n,
        "unknowns": phases["dofs"],
        "load": load,
        "seconds": {
            "mesh": phases["mesh"],
            "numbering": phases["a_space"],
            "assembly + insertion": phases["b_matcreate"] + phases["c_assemble"] + phases["d_rhs"],
            "setup": solve["setup_s"],
            "solve": solve["solve_s"],
        },
        "iterations": solve["its"],
        "relres": solve["true_relres"],
        "peak_mb": peaks,
    }


def row_seconds(record, name):
    seconds = record["seconds"]
    if name == "assembly + insertion" and name not in seconds:
        return seconds["assembly"] + seconds.get("constrain", 0.0) + seconds["insertion"]
    return seconds.get(name)


def print_table(n, columns):
    names = [name for name, _ in columns]
    print(
        f"\nunit cube N = {n}: {columns[0][1]['unknowns']} unknowns "
        f"(1-minute load at the start of each run: "
        + ", ".join(f"{name} {record['load']:.1f}" for name, record in columns)
        + ")"
    )
    header = f"{'phase (s)':<22}" + "".join(f"{name:>16}" for name in names)
    ours = [record for name, record in columns if name.startswith("quarvex") and "Elasticity" not in name]
    others = [record for name, record in columns if name.startswith("dolfinx")]
    if len(ours) == 2:
        header += f"{'1 rank/2 ranks':>16}"
    if ours and others:
        header += f"{'ours/dolfinx 2r':>16}"
    print(header)
    phases = [
        "mesh",
        "partition",
        "model",
        "numbering",
        "supports",
        "unknowns",
        "assembly",
        "constrain",
        "insertion",
        "assembly + insertion",
        "setup",
        "solve",
        "gather",
        "results",
        "total",
    ]
    for phase in phases:
        values = []
        for _, record in columns:
            if phase == "total":
                keys = [k for k in record["seconds"] if k != "mesh"]
                values.append(sum(record["seconds"][k] for k in keys))
            else:
                values.append(row_seconds(record, phase))
        line = f"{phase:<22}" + "".join(f"{value:>16.3f}" if value is not None else f"{'-':>16}" for value in values)
        quarvex_values = [
            v
            for (name, _), v in zip(columns, values, strict=False)
            if name.startswith("quarvex") and "Elasticity" not in name
        ]
        dolfinx_values = [v for (name, _), v in zip(columns, values, strict=False) if name.startswith("dolfinx")]
        if len(quarvex_values) == 2:
            a, b = quarvex_values
            line += f"{a / b:>16.2f}" if a is not None and b else f"{'-':>16}"
        if quarvex_values and dolfinx_values:
            a, b = quarvex_values[-1], dolfinx_values[0]
            line += f"{a / b:>16.2f}" if a is not None and b else f"{'-':>16}"
        print(line)
    print(f"{'CG iterations':<22}" + "".join(f"{record['iterations']:>16d}" for _, record in columns))
    print(f"{'true rel. residual':<22}" + "".join(f"{record['relres']:>16.1e}" for _, record in columns))
    print(
        f"{'s per iteration':<22}"
        + "".join(f"{record['seconds']['solve'] / max(record['iterations'], 1):>16.4f}" for _, record in columns)
    )
    print(
        f"{'peak MB per rank':<22}"
        + "".join(f"{'/'.join(f'{mb:.0f}' for mb in record['peak_mb']):>16}" for _, record in columns)
    )
    print(
        f"{'  up to insertion':<22}"
        + "".join(
            f"{'/'.join(f'{mb:.0f}' for mb in record.get('insertion_mb', [])) or '-':>16}" for _, record in columns
        )
    )
    print(
        f"{'  after imports':<22}"
        + "".join(
            f"{'/'.join(f'{mb:.0f}' for mb in record.get('baseline_mb', [])) or '-':>16}" for _, record in columns
        )
    )
    print(f"{'nodes on 2+ ranks':<22}" + "".join(f"{record.get('shared_nodes', '-'):>16}" for _, record in columns))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--elasticity-worker", type=int, help=argparse.SUPPRESS)
    parser.add_argument(
        "--elasticity-ranks",
        type=int,
        nargs="*",
        default=[2],
        help="ranks of the runs of the serial script through Elasticity (none: skip them)",
    )
    parser.add_argument("--sizes", type=int, nargs="+", default=[24, 32])
    parser.add_argument("--ranks", type=int, nargs="+", default=[1, 2])
    # The shared folder lies beside the project root: ../shared/anchors from there.
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--anchors", default=os.path.join(os.path.dirname(root), "shared", "anchors"))
    parser.add_argument("--no-dolfinx", action="store_true")
    args = parser.parse_args()
    if args.worker is not None:
        worker(args.worker)
        return
    if args.elasticity_worker is not None:
        elasticity_worker(args.elasticity_worker)
        return
    uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(f"machine: {os.cpu_count()} logical processors; uptime: {uptime}")
    for n in args.sizes:
        columns = [(f"quarvex {ranks}r", run_quarvex(n, ranks)) for ranks in args.ranks]
        columns += [
            (f"Elasticity {ranks}r", run_quarvex(n, ranks, "--elasticity-worker")) for ranks in args.elasticity_ranks
        ]
        if not args.no_dolfinx:
            columns.append(("dolfinx 2r", run_dolfinx(n, 2, args.anchors)))
        print_table(n, columns)
        sys.stdout.flush()
    print(f"\nuptime at the end: {subprocess.run(['uptime'], capture_output=True, text=True).stdout.strip()}")


if __name__ == "__main__":
    main()
