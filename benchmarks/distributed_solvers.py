"""The distributed solvers side by side: set-up, steps, solve, total and memory per rank.

The anchor problem (unit cube of N^3 cells, six P2 tetrahedra each, lambda = 1.25, mu = 1,
clamped at x = 0, body force (0, 0, -1)), built by every rank with `distributed.box_part` and
solved by PETSc's conjugate gradients to ||b - A x|| <= 1e-8 ||b|| from zero with

  mg-oK         the package's multigrid on every rank's subdomain (`distributed_pc`): its owned
                rows grown by K layers of overlap, additive Schwarz (K = 0: block Jacobi)
  mg-oKc        the same with the coarse level of the ranks' rigid-body modes (what
                `distributed.solve_system(method="multigrid")` runs with K = 3)
  gamg          PETSc's GAMG as `distributed.solve_system` sets it up (block size 3, the
                rigid-body modes as near null space)
  hypre         hypre's BoomerAMG with nodal coarsening, as `distributed.solve_system` sets it up
  dolfinx       dolfinx + GAMG from the anchor script bench_dolfinx_amg.py (../shared/anchors,
                from the project root), when Debian's dolfinx is installed

Every (solver, repetition) is its own mpirun, so that each rank's peak resident set
(ru_maxrss) is that solver's; the solvers run in turn within each repetition, and the table
keeps each one's best total of the repetitions (the machine is shared: compare only figures of
one run). Times are the slowest rank's; "setup" is the preconditioner's set-up with PETSc's,
"total" setup + solve (what the anchor script times), "pipeline" adds the numbering, the
assembly and the insertion into PETSc. --phases adds, for our solvers, every rank's time in the
set-up's phases (the subdomain's rows grown by the overlap, PETSc's copy of its submatrix and its
CSR arrays, the native hierarchy, the coarse level) and in the solve (the preconditioner's
applications, and the rest: PETSc's products, reductions and vector updates).

Usage (Debian's Python with mpi4py and petsc4py, quarvex installed for it, e.g. the virtual
environment scripts/test_mpi.sh makes):
    build/mpi-venv/bin/python benchmarks/distributed_solvers.py [--sizes 20 32] [--ranks 1 2]
        [--overlaps 3] [--coarse both|on|off] [--reps 3] [--no-hypre] [--no-dolfinx] [--phases]
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


def worker(n, solver):
    """One solve under mpirun; rank 0 prints one JSON line."""
    from mpi4py import MPI

    from quarvex_tools import distributed, distributed_pc, isotropic

    comm = MPI.COMM_WORLD
    comm.Barrier()
    start = time.perf_counter()
    part = distributed.box_part(comm, n, n, n)
    numbering = distributed.number_part(comm, part, lambda x: x[:, 0] == 0.0)
    local = distributed.local_system(distributed.assemble_part(numbering, isotropic(lam=LAM, mu=MU), (0.0, 0.0, -1.0)))
    assembled = distributed.DistributedSystem(comm, numbering, *distributed.petsc_system(comm, numbering, local))
    del local
    comm.Barrier()
    building = comm.allreduce(time.perf_counter() - start, op=MPI.MAX)
    before_solve = peak_mb()
    if solver.startswith("mg-o"):
        overlap, coarse = int(solver[len("mg-o") :].rstrip("c")), solver.endswith("c")
        report = distributed_pc.solve_system(assembled, overlap=overlap, coarse=coarse, rtol=RTOL)
    else:
        report = distributed.solve_system(assembled, method=solver, rtol=RTOL)
    seconds = {name: comm.allreduce(assembled.seconds[name], op=MPI.MAX) for name in ("setup", "solve")}
    record = {
        "solver": solver,
        "ranks": comm.size,
        "N": n,
        "unknowns": 3 * numbering.n_global_nodes,
        "setup": seconds["setup"],
        "solve": seconds["solve"],
        "building": building,
        "iterations": report.iterations,
        "relres": report.relative_residual,
        "peak_mb": comm.gather(peak_mb(), root=0),
        "before_solve_mb": comm.gather(before_solve, root=0),
        "phases": comm.gather(dict(assembled.seconds), root=0),
    }
    assembled.destroy()
    if comm.rank == 0:
        print("RESULT " + json.dumps(record), flush=True)


def run_quarvex(n, ranks, solver):
    return run_worker(__file__, ranks, "--worker", str(n), solver)


def run_dolfinx(n, ranks, anchors):
    """Set-up and solve of dolfinx + GAMG from the anchor script, with each rank's peak resident set."""
    load = os.getloadavg()[0]
    with tempfile.TemporaryDirectory() as scratch:
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
    solved = json.loads(next(line for line in done.stdout.splitlines() if line.startswith("{")))
    return {
        "solver": "dolfinx",
        "ranks": ranks,
        "N": n,
        "unknowns": None,
        "setup": solved["setup_s"],
        "solve": solved["solve_s"],
        "building": None,
        "iterations": solved["its"],
        "relres": solved["true_relres"],
        # The ranks' lines may interleave with the form compiler's log on stderr.
        "peak_mb": [int(kb) / 1024.0 for kb in re.findall(r"PEAK_KB (\d+)", done.stderr)],
        "before_solve_mb": [],
        "load": load,
    }


def best(records):
    """The record of the smallest total (set-up + solve), with the loads of every repetition."""
    kept = dict(min(records, key=lambda record: record["setup"] + record["solve"]))
    kept["loads"] = [record["load"] for record in records]
    kept["totals"] = [record["setup"] + record["solve"] for record in records]
    return kept


def print_table(n, ranks, columns, reference):
    """One table of a size and a rank count; ratios of totals against the column `reference`."""
    unknowns = next(record["unknowns"] for record in columns.values() if record["unknowns"])
    print(f"\nunit cube N = {n}, {ranks} rank(s): {unknowns} unknowns, rtol {RTOL:g} on the true residual")
    names = list(columns)
    print(f"{'':<26}" + "".join(f"{name:>15}" for name in names))

    def row(label, values):
        print(f"{label:<26}" + "".join(f"{value:>15}" for value in values))

    records = [columns[name] for name in names]
    row("CG steps", [record["iterations"] for record in records])
    row("true rel. residual", [f"{record['relres']:.1e}" for record in records])
    row("setup (s)", [f"{record['setup']:.2f}" for record in records])
    row("solve (s)", [f"{record['solve']:.2f}" for record in records])
    row("s per step", [f"{record['solve'] / max(record['iterations'], 1):.3f}" for record in records])
    row("total (s), best", [f"{record['setup'] + record['solve']:.2f}" for record in records])
    row("  of the repetitions", ["/".join(f"{total:.1f}" for total in record["totals"]) for record in records])
    if reference in columns:
        base = columns[reference]["setup"] + columns[reference]["solve"]
        row(f"total / {reference}", [f"{(record['setup'] + record['solve']) / base:.2f}" for record in records])
    row(
        "pipeline (s)",
        [
            f"{record['building'] + record['setup'] + record['solve']:.2f}" if record["building"] else "-"
            for record in records
        ],
    )
    row("peak MB per rank", ["/".join(f"{mb:.0f}" for mb in record["peak_mb"]) for record in records])
    row("  before the solve", ["/".join(f"{mb:.0f}" for mb in record["before_solve_mb"]) or "-" for record in records])
    row("1-min load at the starts", ["/".join(f"{load:.1f}" for load in record["loads"]) for record in records])


PHASE_ROWS = (
    ("subdomain: overlap", "subdomain"),
    ("submatrix + CSR copy", "submatrix"),
    ("native hierarchy", "hierarchy"),
    ("coarse level", "coarse"),
    ("setup, the rest", None),
    ("applications (s)", "apply"),
    ("  count", "applies"),
    ("  ms each", None),
    ("solve, the rest", None),
)


def print_phases(columns):
    """Every rank's seconds in each phase of our solvers' set-up and solve (the records' "phases")."""
    ours = {name: record for name, record in columns.items() if name.startswith("mg-o")}
    if not ours:
        return
    print("  phases, rank by rank (s)")
    for label, key in PHASE_ROWS:
        cells = []
        for record in ours.values():
            values = []
            for seconds in record["phases"]:
                if key is not None:
                    value = seconds.get(key, 0.0)
                elif label.startswith("setup"):
                    value = seconds["setup"] - sum(seconds.get(name, 0.0) for name in ("subdomain", "submatrix"))
                    value -= seconds.get("hierarchy", 0.0) + seconds.get("coarse", 0.0)
                elif label.startswith("  ms"):
                    value = 1e3 * seconds.get("apply", 0.0) / max(seconds.get("applies", 0), 1)
                else:
                    value = seconds["solve"] - seconds.get("apply", 0.0)
                values.append(f"{value:.0f}" if key == "applies" else f"{value:.2f}")
            cells.append("/".join(values))
        print(
            f"{'  ' + label:<26}"
            + "".join(f"{cell:>15}" for cell in cells)
            + "".join(f"{'':>15}" for _ in range(len(columns) - len(ours)))
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--sizes", type=int, nargs="+", default=[20, 32])
    parser.add_argument("--ranks", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--overlaps", type=int, nargs="+", default=[3])
    parser.add_argument(
        "--coarse",
        choices=("both", "on", "off"),
        default="both",
        help="our solvers with the coarse level, without, or both",
    )
    parser.add_argument("--phases", action="store_true", help="every rank's time in our solvers' phases")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--no-hypre", action="store_true")
    parser.add_argument("--no-dolfinx", action="store_true")
    # The shared folder lies beside the project root: ../shared/anchors from there.
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--anchors", default=os.path.join(os.path.dirname(root), "shared", "anchors"))
    args = parser.parse_args()
    if args.worker is not None:
        worker(int(args.worker[0]), args.worker[1])
        return
    uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(f"machine: {os.cpu_count()} logical processors; uptime: {uptime}")
    dolfinx = not args.no_dolfinx and os.path.exists(os.path.join(args.anchors, "bench_dolfinx_amg.py"))
    for n in args.sizes:
        for ranks in args.ranks:
            suffixes = {"both": ["", "c"], "on": ["c"], "off": [""]}[args.coarse]
            solvers = [f"mg-o{overlap}{suffix}" for overlap in args.overlaps for suffix in suffixes] + ["gamg"]
            if not args.no_hypre:
                solvers.append("hypre")
            runs = {solver: [] for solver in solvers}
            if dolfinx:
                runs["dolfinx"] = []
            for _ in range(args.reps):  # the solvers in turn, so that the machine's load falls on all alike
                for solver in solvers:
                    runs[solver].append(run_quarvex(n, ranks, solver))
                if dolfinx:
                    runs["dolfinx"].append(run_dolfinx(n, ranks, args.anchors))
            columns = {name: best(records) for name, records in runs.items()}
            print_table(n, ranks, columns, "dolfinx" if dolfinx else "gamg")
            if args.phases:
                print_phases(columns)
            sys.stdout.flush()
    print(f"\nuptime at the end: {subprocess.run(['uptime'], capture_output=True, text=True).stdout.strip()}")


if __name__ == "__main__":
    main()
