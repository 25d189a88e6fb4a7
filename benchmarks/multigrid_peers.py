"""Time to solution of the multigrid-preconditioned solve beside the core's conjugate gradients
and the peers, every figure measured in this one run.

Usage:
    python3 benchmarks/multigrid_peers.py [--sizes 8 12 16 20 24 32] [--repeats 3]
                                          [--anchor PATH] [--ranks 2] [--no-cg-above N]

The anchor problem: the unit cube [0, 1]^3 cut into N^3 cells of six tetrahedra, lambda = 1.25,
mu = 1, clamped at x = 0, body force (0, 0, -1), relative tolerance 1e-8 from zero. Per size,
each in its own process (medians of --repeats):
  - ours: `solve` (the core's conjugate gradients) and `multigrid` + `solve_amg`;
  - pyamg's smoothed aggregation on the exported system (3 x 3 blocks, rigid-body modes, CG),
    one thread: export + set-up + solve;
  - dolfinx + PETSc GAMG on --ranks processes: set-up + solve, as the anchor script times them
    (--anchor ../shared/anchors/bench_dolfinx_amg.py, needs Debian's python3-dolfinx).
Assembly is timed apart (numbering, set_solver, assemble) and is not in the solve times.
Then the cantilever (30 x 3 x 3 cells of 10 x 1 x 1, steel, gravity) and a 100 : 1 slender
beam (200 x 2 x 2 cells of 100 x 1 x 1) against scipy's spsolve on the exported system.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

for _variable in ("OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "OMP_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

LAMBDA, MU = 1.25, 1.0


def clamped_box(cells, size, material, load):
    """A box of cells^3 x 6 tetrahedra clamped at x = 0 under a body load, assembled."""
    from quarvex_tools import Elasticity, box_mesh

    model = Elasticity(box_mesh(*cells, size=size), material)
    model.fix("xmin")
    model.body_force(load)
    model.assemble()
    return model


def anchor_model(n):
    """The anchor problem through quarvex_tools: (model, assembly seconds)."""
    from quarvex_tools import isotropic

    start = time.perf_counter()
    model = clamped_box((n, n, n), (1.0, 1.0, 1.0), isotropic(lam=LAMBDA, mu=MU), (0.0, 0.0, -1.0))
    return model, time.perf_counter() - start


def measure_ours(n, with_cg):
    """One process's figures for the anchor problem at size n (run by the child)."""
    from quarvex_tools import system

    model, t_assembly = anchor_model(n)
    nexus = model.nexus
    record = {"unknowns": int(system.load_vector(nexus).size), "assembly": t_assembly}
    if with_cg:
        start = time.perf_counter()
        report = system.solve(nexus, rtol=1e-8)
        record.update(cg_s=time.perf_counter() - start, cg_its=report.iterations)
        cg_solution = system.solution(nexus)
        system.set_solution(nexus, np.zeros(cg_solution.size))
    start = time.perf_counter()
    hierarchy = system.multigrid(nexus)
    record["setup"] = time.perf_counter() - start
    start = time.perf_counter()
    report = system.solve_amg(nexus, rtol=1e-8, hierarchy=hierarchy)
    record.update(solve=time.perf_counter() - start, its=report.iterations, relres=report.relative_residual)
    if with_cg:
        amg_solution = system.solution(nexus)
        record["diff"] = float(np.linalg.norm(amg_solution - cg_solution) / np.linalg.norm(cg_solution))
    return record


def measure_pyamg(n):
    try:
        import pyamg
    except ImportError as error:
        raise SystemExit("pyamg is missing: pip install '.[bench]'") from error
    from quarvex_tools import system

    model, _ = anchor_model(n)
    nexus = model.nexus
    start = time.perf_counter()
    matrix = system.stiffness_matrix(nexus)
    load = system.load_vector(nexus)
    t_export = time.perf_counter() - start
    start = time.perf_counter()
    from system_access import rigid_body_modes

    near_null = rigid_body_modes(free_node_coordinates(model))
    hierarchy = pyamg.smoothed_aggregation_solver(matrix.tobsr(blocksize=(3, 3)), B=near_null, coarse_solver="splu")
    hierarchy.solve(load, maxiter=1)  # the coarse factorisation happens in the first cycle: count it here
    t_setup = time.perf_counter() - start
    residuals = []
    start = time.perf_counter()
    hierarchy.solve(load, tol=1e-8, accel="cg", maxiter=500, residuals=residuals)
    t_solve = time.perf_counter() - start
    return {"export": t_export, "setup": t_setup, "solve": t_solve, "its": len(residuals) - 1}


def free_node_coordinates(model):
    """Coordinates of the node behind free unknowns 3i .. 3i + 2 of the package's numbering."""
    starts = model.dofs.node_start
    free = np.flatnonzero(starts >= 0)
    coords = np.empty((model.dofs.n_free // 3, 3))
    coords[starts[free] // 3] = model.numbering.node_points[free]
    return coords


def measure_beams():
    """Multigrid against spsolve on the cantilever and the slender beam."""
    import scipy.sparse.linalg

    from quarvex_tools import isotropic, system

    rows = []
    gravity = (0.0, 0.0, -7850.0 * 9.81)
    # The slender beam's rounding floor |b - A x| / |b| lies near 1e-6 (the direct solve stops
    # there too), so it is also solved to 1e-5.
    cases = [
        ("cantilever 30x3x3 cells, 10x1x1", (30, 3, 3), (10.0, 1.0, 1.0), 1e-8),
        ("slender beam 200x2x2 cells, 100x1x1", (200, 2, 2), (100.0, 1.0, 1.0), 1e-8),
        ("the same beam to rtol 1e-5", (200, 2, 2), (100.0, 1.0, 1.0), 1e-5),
    ]
    for name, cells, size, rtol in cases:
        model = clamped_box(cells, size, isotropic(E=210e9, nu=0.3), gravity)
        nexus = model.nexus
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # the table says what did not converge
            report = system.solve_amg(nexus, rtol=rtol)
        t_amg = time.perf_counter() - start
        # spsolve's default column ordering (COLAMD) and the one for a symmetric structure, the
        # faster of the two by far on these matrices; each timed with the export.
        t_direct = {}
        for ordering in ("COLAMD", "MMD_AT_PLUS_A"):
            start = time.perf_counter()
            matrix = system.stiffness_matrix(nexus).tocsc()
            rhs = system.load_vector(nexus)
            direct = scipy.sparse.linalg.spsolve(matrix, rhs, permc_spec=ordering)
            t_direct[ordering] = time.perf_counter() - start
        direct_relres = float(np.linalg.norm(rhs - matrix @ direct) / np.linalg.norm(rhs))
        rows.append(
            {
                "name": name,
                "unknowns": int(rhs.size),
                "its": report.iterations,
                "amg_s": t_amg,
                "relres": report.relative_residual,
                "converged": report.converged,
                "colamd_s": t_direct["COLAMD"],
                "direct_s": t_direct["MMD_AT_PLUS_A"],
                "direct_relres": direct_relres,
            }
        )
    return rows


def run_child(kind, n, with_cg):
    """Runs one measurement in a fresh process and returns its record."""
    command = [sys.executable, os.path.abspath(__file__), "--child", kind, "--n", str(n)]
    if with_cg:
        command.append("--with-cg")
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def run_dolfinx(anchor, n, ranks):
    """dolfinx + GAMG through the anchor script on `ranks` processes, from a scratch directory."""
    mpirun = shutil.which("mpirun")
    command = ["/usr/bin/python3", anchor, "--N", str(n), "--pcs", "gamg"]
    if ranks > 1:
        command = [mpirun, "--allow-run-as-root", "-n", str(ranks), "-x", "OMP_NUM_THREADS=1"] + command
    with tempfile.TemporaryDirectory() as scratch:
        output = subprocess.run(command, check=True, capture_output=True, text=True, cwd=scratch).stdout
    return json.loads(output.strip().splitlines()[-1])


def median(records, key):
    return statistics.median(r[key] for r in records)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[8, 12, 16, 20, 24, 32])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--anchor", default=None)
    parser.add_argument("--ranks", type=int, default=2)
    parser.add_argument(
        "--no-cg-above", type=int, default=24, help="above this N, one CG run and one run of each peer (not --repeats)"
    )
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--child", choices=["ours", "pyamg", "beams"], help=argparse.SUPPRESS)
    parser.add_argument("--n", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--with-cg", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child == "ours":
        print(json.dumps(measure_ours(args.n, args.with_cg)))
        return
    if args.child == "pyamg":
        print(json.dumps(measure_pyamg(args.n)))
        return
    if args.child == "beams":
        print(json.dumps(measure_beams()))
        return

    from quarvex_tools import system

    print(
        f"workers {system.worker_count()}; load average at the start {os.getloadavg()[0]:.2f}; "
        f"medians of {args.repeats} processes; times in seconds"
    )
    print(
        "ours = multigrid set-up + solve; CG = the core's unpreconditioned solve; pyamg = export + set-up + solve "
        "on one thread;"
    )
    print(f"dolfinx = GAMG set-up + solve on {args.ranks} ranks; ratios are the other's time over ours")
    header = (
        f"{'N':>3} {'unknowns':>8} {'assembly':>8} {'CG its':>6} {'CG':>7} {'setup':>6} {'its':>3} "
        f"{'solve':>6} {'ours':>6} {'CG/ours':>7} {'pyamg its':>9} {'pyamg':>6} {'py/ours':>7} "
        f"{'dfx its':>7} {'dolfinx':>7} {'dfx/ours':>8}"
    )
    print(header)
    for n in args.sizes:
        ours = []
        cg_runs = 0
        for repeat in range(args.repeats):
            with_cg = repeat == 0 or n <= args.no_cg_above
            cg_runs += with_cg
            ours.append(run_child("ours", n, with_cg))
        with_cg_records = [r for r in ours if "cg_s" in r]
        t_ours = median(ours, "setup") + median(ours, "solve")
        t_cg = median(with_cg_records, "cg_s")
        line = (
            f"{n:>3} {ours[0]['unknowns']:>8} {median(ours, 'assembly'):>8.2f} {with_cg_records[0]['cg_its']:>6} "
            f"{t_cg:>7.2f} {median(ours, 'setup'):>6.2f} {ours[0]['its']:>3} {median(ours, 'solve'):>6.2f} "
            f"{t_ours:>6.2f} {t_cg / t_ours:>7.1f}"
        )
        if args.no_peers:
            print(line, flush=True)
            continue
        peer_repeats = args.repeats if n <= args.no_cg_above else 1
        py = [run_child("pyamg", n, False) for _ in range(peer_repeats)]
        t_py = median(py, "export") + median(py, "setup") + median(py, "solve")
        line += f" {py[0]['its']:>9} {t_py:>6.2f} {t_py / t_ours:>7.1f}"
        if args.anchor:
            dfx = [run_dolfinx(args.anchor, n, args.ranks) for _ in range(peer_repeats)]
            t_dfx = median(dfx, "total_s")
            line += f" {dfx[0]['its']:>7} {t_dfx:>7.2f} {t_dfx / t_ours:>8.1f}"
        print(line, flush=True)
        print(
            f"    ours: relative residual {ours[0]['relres']:.1e}, |x_amg - x_cg| / |x_cg| "
            f"{with_cg_records[0].get('diff', float('nan')):.1e}",
            flush=True,
        )

    print()
    print(
        "multigrid against a sparse direct solve (scipy spsolve on the exported matrix, export included), "
        "rtol 1e-8 unless the row says otherwise"
    )
    print("(spsolve with its default ordering COLAMD, and with MMD_AT_PLUS_A; the ratio is against the faster)")
    print(
        f"{'model':<38} {'unknowns':>8} {'its':>4} {'multigrid':>9} {'relres':>8} {'COLAMD':>7} {'MMD A+At':>8} "
        f"{'relres':>8} {'direct/ours':>11}"
    )
    beams = [run_child("beams", 0, False) for _ in range(args.repeats)]
    for k, row in enumerate(beams[0]):
        t_amg = statistics.median(b[k]["amg_s"] for b in beams)
        t_colamd = statistics.median(b[k]["colamd_s"] for b in beams)
        t_direct = statistics.median(b[k]["direct_s"] for b in beams)
        flag = "" if row["converged"] else "  NOT CONVERGED"
        ratio = min(t_direct, t_colamd) / t_amg
        print(
            f"{row['name']:<38} {row['unknowns']:>8} {row['its']:>4} {t_amg:>9.3f} {row['relres']:>8.1e} "
            f"{t_colamd:>7.3f} {t_direct:>8.3f} {row['direct_relres']:>8.1e} {ratio:>11.1f}{flag}"
        )


if __name__ == "__main__":
    main()
