"""Sparse direct solvers on the package's assembled systems: factor and solve time, peak memory,
the residual reached, and what each costs to install; then the package's own direct solve
(quarvex_tools.direct) against multigrid.

Usage:
    python3 benchmarks/direct_solvers.py [--models plate beam cantilever cube12 cube20]
                                         [--solvers pardiso cholmod cholespy qdldl superlu mumps]
                                         [--threads 2] [--repeats 3] [--timeout 600]
                                         [--petsc-python PATH] [--no-package]

The models, each built with `Elasticity`, assembled and exported (`system.stiffness_matrix`, the
supports already eliminated, `system.load_vector`):
  - plate: 1 x 1 x 0.002 m, 40 x 40 x 1 cells, steel, clamped on x = 0, gravity (59 k unknowns);
  - beam: 100 x 1 x 1, 200 x 2 x 2 cells, steel, clamped on x = 0, gravity (30 k unknowns);
  - cantilever: 10 x 1 x 1, 30 x 3 x 3 cells, as examples/cantilever.py (9 k unknowns);
  - cube12, cube20: the unit cube of N^3 cells, lambda = 1.25, mu = 1, clamped on x = 0, a traction
    (0, 0, -1) on x = 1 (47 k and 207 k unknowns).

Table 1, the candidates: every solver runs on every model in processes of its own (the fastest of
--repeats is shown), reading the exported system from a file. "load s" imports the solver and loads
its libraries (paid once per process); "factor s" is ordering, symbolic and numeric factorisation;
"solve s" one forward and back substitution; "peak MB" the growth of the resident set's high-water
mark over the process's size before the factorisation; "direct" is |b - A x| / |b| after the
solve, "refined" after two steps of iterative refinement with the factor (scipy's product). A
solver that is not installed is listed with its install line. MUMPS runs through Debian's petsc4py,
which only Debian's Python can import (it is built against Debian's numpy): pass that Python, with
quarvex installed, as --petsc-python.

Table 2: `direct.estimate` + `direct.solve` to rtol 1e-8 (refinement included, the library's load
not) against `system.solve_amg` (set-up included, at most 3000 iterations), each model in a
process of its own.

BLAS threads: OPENBLAS_NUM_THREADS, MKL_NUM_THREADS and OMP_NUM_THREADS are set to --threads (2,
the machine's cores) unless already set; Debian's CHOLMOD and MUMPS use the BLAS Debian has
selected (the reference BLAS unless libopenblas0-pthread is installed).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # bench_models


def _set_threads(count: int) -> None:
    for variable in ("OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "OMP_NUM_THREADS"):
        os.environ.setdefault(variable, str(count))


# name -> (what it is, licence, install line)
SOLVERS = {
    "pardiso": (
        "MKL PARDISO, Cholesky (quarvex_tools.direct's binding)",
        "Intel Simplified Software Licence",
        'pip install "quarvex[direct]" (the mkl wheel: 308 MB download, 730 MB installed)',
    ),
    "cholmod": (
        "CHOLMOD (scikit-sparse on Debian's SuiteSparse 5.12)",
        "LGPL-2.1+ / GPL-2+ (supernodal), BSD (wrapper)",
        "apt-get install libsuitesparse-dev libopenblas0-pthread (about 8 MB) && "
        "pip install 'scikit-sparse<0.5' (built from source, 30 s)",
    ),
    "cholespy": (
        "CHOLMOD (cholespy, with its own reference BLAS)",
        "BSD-3 (wrapper), LGPL-2.1+ / GPL-2+ (CHOLMOD)",
        "pip install cholespy (5.6 MB wheel)",
    ),
    "qdldl": ("QDLDL (LDL^T, AMD ordering, no supernodes)", "Apache-2.0", "pip install qdldl (1.5 MB wheel)"),
    "superlu": ("SuperLU (scipy splu, MMD on A + A^T)", "BSD-3", "pip install scipy"),
    "mumps": (
        "MUMPS Cholesky through Debian's petsc4py",
        "CeCILL-C (MUMPS), BSD-2 (PETSc)",
        "apt-get install python3-petsc4py (runs on Debian's Python: --petsc-python)",
    ),
}
MODELS = ("plate", "beam", "cantilever", "cube12", "cube20")


def build_model(name: str):
    """The assembled Elasticity model of the named benchmark case (the cubes loaded by a traction on x = 1)."""
    from bench_models import elasticity, steel_box, unit_cube

    case = unit_cube(int(name[4:]), load="traction") if name.startswith("cube") else steel_box(name)
    model = elasticity(case)
    model.assemble()
    return model


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def _reset_peak() -> None:
    """Resets the resident set's high-water mark (VmHWM) to the current size."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def _load(solver: str) -> None:
    """Imports the solver's modules and loads its libraries: a cost paid once per process."""
    if solver == "pardiso":
        import numpy as np
        import scipy.sparse

        from quarvex_tools import direct

        # MKL sets itself up (threads, kernels) in its first call: factorise a 3 x 3 identity
        factor = direct._new_factor(direct._load(), 0, scipy.sparse.identity(3, format="csr"), flops=False)
        factor.values = np.ones(3)
        direct._interruptible(factor, direct._FACTORISE)
        factor.release()
    elif solver == "mumps":
        from petsc4py import PETSc  # noqa: F401
    else:
        import importlib

        importlib.import_module(
            {"cholmod": "sksparse.cholmod", "cholespy": "cholespy", "qdldl": "qdldl", "superlu": "scipy.sparse.linalg"}[
                solver
            ]
        )


def _factorise(solver: str, matrix, rhs):
    """(solve function, factor entries or None) after factorising `matrix` with `solver`."""
    import numpy as np

    if solver == "pardiso":
        from quarvex_tools import direct  # the package's binding: ordering, factorisation, substitution

        factor = direct._new_factor(direct._load(), 0, matrix, flops=False)
        factor.values = matrix.data[factor.upper]
        direct._interruptible(factor, direct._FACTORISE)
        return (lambda b: direct._interruptible(factor, direct._SUBSTITUTE, b)), int(
            factor.iparm[direct._FACTOR_ENTRIES]
        )
    if solver == "cholmod":
        from sksparse.cholmod import cholesky

        factor = cholesky(matrix.tocsc())
        return factor.solve_A, int(factor.L().nnz)
    if solver == "cholespy":
        from cholespy import CholeskySolverD, MatrixType

        chol = CholeskySolverD(
            matrix.shape[0],
            matrix.indptr.astype(np.int32),
            matrix.indices.astype(np.int32),
            matrix.data,
            MatrixType.CSR,
        )

        def solve(b):
            x = np.zeros_like(b)
            chol.solve(np.ascontiguousarray(b), x)
            return x

        return solve, None
    if solver == "qdldl":
        import qdldl
        import scipy.sparse

        ldl = qdldl.Solver(scipy.sparse.triu(matrix, format="csc"))
        return ldl.solve, None
    if solver == "superlu":
        import scipy.sparse.linalg

        lu = scipy.sparse.linalg.splu(matrix.tocsc(), permc_spec="MMD_AT_PLUS_A")
        return lu.solve, int(lu.L.nnz + lu.U.nnz)
    if solver == "mumps":
        from petsc4py import PETSc

        petsc_matrix = PETSc.Mat().createAIJ(size=matrix.shape, csr=(matrix.indptr, matrix.indices, matrix.data))
        petsc_matrix.setOption(PETSc.Mat.Option.SPD, True)
        ksp = PETSc.KSP().create()
        ksp.setOperators(petsc_matrix)
        ksp.setType("preonly")
        pc = ksp.getPC()
        pc.setType("cholesky")
        pc.setFactorSolverType("mumps")
        ksp.setUp()
        b_vec, x_vec = petsc_matrix.createVecs()

        def solve(b):
            b_vec.setArray(b)
            ksp.solve(b_vec, x_vec)
            return x_vec.getArray().copy()

        return solve, None
    raise ValueError(solver)


def save_system(model_name: str, path: str) -> int:
    """Builds the model and writes its exported system (CSR arrays and load) to `path` (.npz)."""
    import numpy as np

    from quarvex_tools import system

    model = build_model(model_name)
    matrix = system.stiffness_matrix(model.nexus)
    np.savez(path, indptr=matrix.indptr, indices=matrix.indices, data=matrix.data, rhs=system.load_vector(model.nexus))
    return int(matrix.shape[0])


class _Csr:
    """The exported matrix as arrays, with scipy's product where scipy is installed (Debian's Python for
    MUMPS may lack it, and uses PETSc's)."""

    def __init__(self, indptr, indices, data):
        self.indptr, self.indices, self.data = indptr, indices, data
        self.shape = (indptr.size - 1, indptr.size - 1)
        self.nnz = data.size
        try:
            import scipy.sparse
        except ImportError:
            self.scipy = None
        else:
            self.scipy = scipy.sparse.csr_matrix((data, indices, indptr), shape=self.shape)

    def __matmul__(self, vector):
        if self.scipy is not None:
            return self.scipy @ vector
        from petsc4py import PETSc

        product = PETSc.Mat().createAIJ(size=self.shape, csr=(self.indptr, self.indices, self.data))
        x_vec, y_vec = product.createVecs()
        x_vec.setArray(vector)
        product.mult(x_vec, y_vec)
        return y_vec.getArray().copy()


def measure(path: str, solver: str) -> dict:
    """One solver on one exported system, in this process."""
    import numpy as np

    arrays = np.load(path)
    matrix = _Csr(arrays["indptr"], arrays["indices"], arrays["data"])
    rhs = arrays["rhs"]
    start = time.perf_counter()
    _load(solver)
    load_s = time.perf_counter() - start
    _reset_peak()
    base_kb = _status_kb("VmRSS")
    start = time.perf_counter()
    solve, factor_entries = _factorise(solver, matrix.scipy if matrix.scipy is not None else matrix, rhs)
    factor_s = time.perf_counter() - start
    start = time.perf_counter()
    x = solve(rhs)
    solve_s = time.perf_counter() - start
    rhs_norm = float(np.linalg.norm(rhs))
    direct = float(np.linalg.norm(rhs - matrix @ x)) / rhs_norm
    for _ in range(2):
        x = x + solve(rhs - matrix @ x)
    refined = float(np.linalg.norm(rhs - matrix @ x)) / rhs_norm
    return {
        "unknowns": int(rhs.size),
        "stored": int(matrix.nnz),
        "load_s": load_s,
        "factor_s": factor_s,
        "solve_s": solve_s,
        "peak_mb": (_status_kb("VmHWM") - base_kb) / 1024.0,
        "direct": direct,
        "refined": refined,
        "factor_entries": factor_entries,
    }


def installed(solver: str, petsc_python: str | None) -> bool:
    if solver == "pardiso":
        check = subprocess.run(
            [sys.executable, "-c", "from quarvex_tools import direct; assert direct.available()"], capture_output=True
        )
        return check.returncode == 0
    module = {
        "cholmod": "sksparse.cholmod",
        "cholespy": "cholespy",
        "qdldl": "qdldl",
        "superlu": "scipy.sparse.linalg",
        "mumps": "petsc4py",
    }[solver]
    python = petsc_python if solver == "mumps" else sys.executable
    if python is None:
        return False
    check = subprocess.run([python, "-c", f"import {module}"], capture_output=True)
    return check.returncode == 0


def measure_package(model_name: str) -> dict:
    """`direct.estimate` + `direct.solve` (rtol 1e-8) against `system.solve_amg` on one model, in this process."""
    import warnings

    import numpy as np

    from quarvex_tools import direct, system

    model = build_model(model_name)
    direct.available()  # the library's load is paid once per process: not timed
    record = {"unknowns": int(system.load_vector(model.nexus).size)}
    for method in ("direct", "amg"):
        system.set_solution(model.nexus, np.zeros(record["unknowns"]))
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # the table says what did not converge
            if method == "direct":
                estimate = direct.estimate(model.nexus)
                record.update(estimate_mb=estimate.factor_bytes / 2**20, gflop=estimate.flops / 1e9)
                report = direct.solve(model.nexus, rtol=1e-8)
            else:
                report = system.solve_amg(model.nexus, rtol=1e-8, maxiter=3000)
        record[method] = {
            "s": time.perf_counter() - start,
            "its": report.iterations,
            "relres": report.relative_residual,
            "converged": report.converged,
        }
    return record


def run_child(arguments: list[str], timeout: float, python: str | None = None) -> dict:
    command = [python or sys.executable, os.path.abspath(__file__), "--child", *arguments]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"failed": f"over {timeout:.0f} s"}
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["exit " + str(done.returncode)])[-1]
        return {"failed": last[:60]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def best_of(repeats: int, arguments: list[str], timeout: float, python: str | None, key) -> dict:
    """The run with the least time of `repeats` processes (the others' load only ever adds time)."""
    runs = []
    for _ in range(repeats):
        run = run_child(arguments, timeout, python)
        if "failed" in run:
            return run
        runs.append(run)
    return min(runs, key=key)


def candidates_table(args: argparse.Namespace) -> None:
    print(
        f"{'model':<11} {'solver':<9} {'unknowns':>9} {'load s':>7} {'factor s':>9} {'solve s':>8} {'peak MB':>8} "
        f"{'L entries':>10} {'direct':>8} {'refined':>8}"
    )
    missing = [solver for solver in args.solvers if not installed(solver, args.petsc_python)]
    scratch = tempfile.mkdtemp(prefix="direct_solvers_")
    try:
        for model_name in args.models:
            path = os.path.join(scratch, model_name + ".npz")
            save_system(model_name, path)
            for solver in args.solvers:
                if solver in missing:
                    continue
                python = args.petsc_python if solver == "mumps" else None
                row = best_of(
                    args.repeats,
                    ["system", path, solver],
                    args.timeout,
                    python,
                    key=lambda run: run["factor_s"] + run["solve_s"],
                )
                if "failed" in row:
                    print(f"{model_name:<11} {solver:<9} failed: {row['failed']}", flush=True)
                    continue
                entries = "-" if row["factor_entries"] is None else f"{row['factor_entries'] / 1e6:.1f} M"
                print(
                    f"{model_name:<11} {solver:<9} {row['unknowns']:>9,} {row['load_s']:>7.3f} "
                    f"{row['factor_s']:>9.3f} {row['solve_s']:>8.3f} {row['peak_mb']:>8.0f} {entries:>10} "
                    f"{row['direct']:>8.1e} {row['refined']:>8.1e}",
                    flush=True,
                )
            os.remove(path)
    finally:
        os.rmdir(scratch)
    print()
    for solver in args.solvers:
        what, licence, install = SOLVERS[solver]
        state = "NOT INSTALLED: " + install if solver in missing else install
        print(f"{solver:<9} {what}; licence {licence}; {state}")


def package_table(args: argparse.Namespace) -> None:
    print("\nquarvex_tools.direct (estimate + solve, rtol 1e-8) against multigrid (solve_amg, set-up included):")
    print(
        f"{'model':<11} {'unknowns':>9} {'est. MB':>8} {'GFlop':>8} {'direct s':>9} {'steps':>6} {'reached':>8} "
        f"{'amg s':>7} {'its':>5} {'reached':>8} {'direct / amg':>12}"
    )
    for model_name in args.models:
        row = best_of(args.repeats, ["package", model_name], args.timeout, None, key=lambda run: run["direct"]["s"])
        if "failed" in row:
            print(f"{model_name:<11} failed: {row['failed']}", flush=True)
            continue
        direct, amg = row["direct"], row["amg"]

        def reached(run: dict) -> str:
            return f"{run['relres']:.1e}" + ("" if run["converged"] else "*")

        print(
            f"{model_name:<11} {row['unknowns']:>9,} {row['estimate_mb']:>8.0f} {row['gflop']:>8.1f} "
            f"{direct['s']:>9.2f} {direct['its']:>6} {reached(direct):>8} {amg['s']:>7.2f} {amg['its']:>5} "
            f"{reached(amg):>8} {direct['s'] / amg['s']:>12.2f}",
            flush=True,
        )
    print("* not converged: the solve warned (the rounding floor, or the iteration limit of 3000)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--models", nargs="+", default=list(MODELS), choices=MODELS)
    parser.add_argument("--solvers", nargs="+", default=list(SOLVERS), choices=list(SOLVERS))
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3, help="processes per measurement; the fastest is shown")
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds per solver, model and repeat")
    parser.add_argument(
        "--petsc-python", default=None, help="a Python with Debian's petsc4py and quarvex installed, for MUMPS"
    )
    parser.add_argument("--no-package", action="store_true", help="skip the table of quarvex_tools.direct")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    _set_threads(args.threads)
    if args.child:
        kind, *rest = args.child
        print(json.dumps(measure(*rest) if kind == "system" else measure_package(*rest)))
        return
    print(
        f"threads: OPENBLAS/MKL/OMP_NUM_THREADS = {os.environ['OMP_NUM_THREADS']}, "
        f"QUARVEX_NUM_THREADS = {os.environ.get('QUARVEX_NUM_THREADS', 'unset')}; "
        f"load average at the start {os.getloadavg()[0]:.1f}; best of {args.repeats} processes"
    )
    candidates_table(args)
    if not args.no_package and installed("pardiso", None):
        package_table(args)


if __name__ == "__main__":
    main()
