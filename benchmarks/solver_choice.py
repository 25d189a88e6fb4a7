"""The solver choice measured in one run: multigrid ("amg"), the direct solve ("direct") and, where
the package has it, the automatic choice ("auto"), beside NGSolve's sparse Cholesky on every model
and dolfinx + GAMG on the unit cubes.

Usage:
    python3 benchmarks/solver_choice.py [--models plate500 plate50 beam cantilever bracket cube12 cube20 cube32]
                                        [--repeats 3] [--quick] [--timeout 600] [--threads 2] [--ranks 2]
                                        [--anchor PATH] [--memory-limit GiB]

The models (benchmarks/bench_models.py), every one solved to rtol 1e-8 on the true residual:
  - plate500: 1 x 1 x 0.002 m, 40 x 40 x 1 cells, steel, clamped on x = 0, gravity (59 k unknowns),
    its tip deflection (mean w of the vertices on x = 1) beside plate-strip and beam theory;
  - plate50: the same plate 0.02 m thick;
  - beam: 100 x 1 x 1 m, 200 x 2 x 2 cells, steel, clamped on x = 0, gravity (30 k unknowns);
  - cantilever: 10 x 1 x 1 m, 30 x 3 x 3 cells, as examples/cantilever.py (9 k unknowns);
  - bracket: a steel L-bracket of two 60 x 20 x 10 mm arms meshed by gmsh (size 2.5 mm), read back
    with read_mesh, clamped at the vertical arm's end, 1 MPa down on the other arm's end, gravity;
  - cube12, cube20, cube32: the anchor problem, the unit cube of N^3 cells of six tetrahedra,
    lambda = 1.25, mu = 1, clamped on x = 0, body force (0, 0, -1).

Each quarvex method runs in a process of its own from the mesh arrays (`Mesh`, `Elasticity`, supports,
loads, `solve(method=...)`); the library of the direct solve is loaded before the clock starts, as
are the modules. "asm+solve s" is the time of `Elasticity.solve` (supports checked, assembly, solve),
"solve s" the same less its assembly (multigrid set-up or factorisation included), "pipeline s"
from the arrays to the displacements; "peak MB" the process's resident high-water mark. NGSolve runs
in its own process on the same tetrahedra (a netgen mesh built from the arrays, with the clamped and
loaded faces as boundary regions): `VectorH1` of order 2, `sparsecholesky`, then at most two steps of
iterative refinement with the factor while the residual is above 1e-8 of the load; its "solve s" is
factorisation + substitutions, "asm+solve s" adds the space and the assembly. dolfinx + GAMG runs
the anchor script (../shared/anchors/bench_dolfinx_amg.py from the project root, Debian's
python3-dolfinx) on --ranks processes; it times set-up + solve, which "best / dolfinx" compares with
our fastest "solve s". Each figure is the fastest of --repeats processes; a process that takes over
--no-repeat-above seconds is not repeated. The other ratios compare "asm+solve s".

Threads: QUARVEX_NUM_THREADS, MKL_NUM_THREADS, OPENBLAS_NUM_THREADS and OMP_NUM_THREADS are --threads
(2) in the quarvex and NGSolve processes, NGSolve's task manager runs --threads, and each dolfinx rank
one thread. --memory-limit stops a process (with its children) whose resident memory exceeds it, so
that a factorisation too large for a shared machine does not crowd out other work.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # bench_models

from bench_models import STEEL, STEEL_BOXES, Case, build_case, elasticity, load_case, save_case  # noqa: E402

MODELS = ("plate500", "plate50", "beam", "cantilever", "bracket", "cube12", "cube20", "cube32")
QUICK_MODELS = ("cantilever", "beam", "bracket", "cube12")
FAMILIES = (
    ("thin plates", ("plate500", "plate50")),
    ("slender beams", ("beam", "cantilever")),
    ("the L-bracket", ("bracket",)),
    ("the unit cube (anchor problem)", ("cube12", "cube20", "cube32")),
)
RTOL = 1e-8
NGSOLVE_INSTALL = "pip install ngsolve"
DOLFINX_INSTALL = "apt-get install -y python3-dolfinx (Debian's; runs on /usr/bin/python3 under mpirun)"
DEFAULT_ANCHOR = os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared", "anchors", "bench_dolfinx_amg.py")


# ---------------------------------------------------------------------------------------------------------------
# The measuring processes


def _peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def measure_quarvex(case_path: str, method: str, out_path: str) -> dict:
    """One quarvex method on one case, in this process; the vertices' displacements go to out_path."""
    from quarvex_tools import Elasticity, solvers

    case = load_case(case_path)
    if method == "default":
        method = solvers.DEFAULT_METHOD
    load_s = 0.0
    if method in ("direct", "auto"):
        from quarvex_tools import direct

        start = time.perf_counter()
        direct.available()  # MKL loads once per process: not in the solve's time
        load_s = time.perf_counter() - start

    # The solve's own time is that of Elasticity.solve less the assembly it calls (the private step where
    # there is one, which the public assemble also calls: timing both would count it twice).
    assembly_seconds = []
    step = "_assemble" if hasattr(Elasticity, "_assemble") else "assemble"
    assemble = getattr(Elasticity, step)

    def timed_assemble(self, *args, **kwargs):
        start = time.perf_counter()
        try:
            return assemble(self, *args, **kwargs)
        finally:
            assembly_seconds.append(time.perf_counter() - start)

    setattr(Elasticity, step, timed_assemble)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        start = time.perf_counter()
        model = elasticity(case)
        ready = time.perf_counter()
        result = model.solve(rtol=RTOL, method=method)
        done = time.perf_counter()
    report = result.report
    np.save(out_path, result.displacement[: len(case.points)])
    return {
        "unknowns": int(model.dofs.n_free - len(model.constraints.unknowns)),  # the supported ones eliminated
        "load_s": load_s,
        "solve_s": done - ready - sum(assembly_seconds) if assembly_seconds else None,
        "run_s": done - ready,
        "pipeline_s": done - start,
        "its": int(report.iterations),
        "relres": float(report.relative_residual),
        "converged": bool(report.converged),
        "stalled": bool(report.stalled),
        "chose": getattr(report, "method", None) or method,
        "peak_mb": _peak_mb(),
        "warning": " / ".join(str(w.message) for w in caught if issubclass(w.category, RuntimeWarning))[:160],
    }


def _boundary_faces(tetrahedra: np.ndarray) -> np.ndarray:
    """(k, 3) the faces that belong to one tetrahedron only."""
    faces = np.concatenate(
        [tetrahedra[:, [1, 2, 3]], tetrahedra[:, [0, 2, 3]], tetrahedra[:, [0, 1, 3]], tetrahedra[:, [0, 1, 2]]]
    )
    unique, counts = np.unique(np.sort(faces, axis=1), axis=0, return_counts=True)
    return unique[counts == 1]


def _face_keys(faces: np.ndarray, n: int) -> np.ndarray:
    ordered = np.sort(faces, axis=1).astype(np.int64)
    return (ordered[:, 0] * n + ordered[:, 1]) * n + ordered[:, 2]


def ngsolve_mesh(case: Case):
    """The netgen mesh of the case's tetrahedra, its boundary faces in the regions named after the
    clamped and loaded face groups ("other" for the rest)."""
    import ngsolve
    from netgen.meshing import FaceDescriptor
    from netgen.meshing import Mesh as NetgenMesh

    netgen_mesh = NetgenMesh(dim=3)
    netgen_mesh.AddPoints(np.ascontiguousarray(case.points, dtype=np.float64))
    netgen_mesh.SetMaterial(1, "solid")
    netgen_mesh.AddElements(dim=3, index=1, data=np.ascontiguousarray(case.tetrahedra, dtype=np.int32), base=0)
    boundary = _boundary_faces(case.tetrahedra)
    keys = _face_keys(boundary, len(case.points))
    regions = [case.clamped] + ([case.traction[0]] if case.traction is not None else [])
    label = np.full(len(boundary), len(regions) + 1)
    for number, name in enumerate(regions, start=1):
        label[np.isin(keys, _face_keys(case.face_groups[name], len(case.points)))] = number
    for number, name in enumerate(regions + ["other"], start=1):
        netgen_mesh.Add(FaceDescriptor(surfnr=number, domin=1, domout=0, bc=number))
        netgen_mesh.SetBCName(number - 1, name)
        faces = np.ascontiguousarray(boundary[label == number], dtype=np.int32)
        if len(faces):
            netgen_mesh.AddElements(dim=2, index=number, data=faces, base=0)
    return ngsolve.Mesh(netgen_mesh)


def measure_ngsolve(case_path: str, out_path: str, threads: int) -> dict:
    """NGSolve's sparse Cholesky (and up to two refinement steps) on one case, in this process."""
    import ngsolve

    ngsolve.SetNumThreads(threads)
    case = load_case(case_path)
    start = time.perf_counter()
    mesh = ngsolve_mesh(case)
    ready = time.perf_counter()
    vertices = np.array([vertex.point for vertex in mesh.vertices])
    if vertices.shape != case.points.shape or not np.array_equal(vertices, case.points):
        raise RuntimeError("NGSolve numbered the vertices otherwise than the mesh arrays")
    lam, mu = case.lame()
    with ngsolve.TaskManager():
        space = ngsolve.VectorH1(mesh, order=2, dirichlet=case.clamped)
        trial, test = space.TnT()
        strain_u, strain_v = ngsolve.Sym(ngsolve.Grad(trial)), ngsolve.Sym(ngsolve.Grad(test))
        stiffness = ngsolve.BilinearForm(space, symmetric=True)
        stiffness += (
            2 * mu * ngsolve.InnerProduct(strain_u, strain_v) + lam * ngsolve.div(trial) * ngsolve.div(test)
        ) * ngsolve.dx
        load = ngsolve.LinearForm(space)
        if case.body_force is not None:
            load += ngsolve.CF(tuple(case.body_force)) * test * ngsolve.dx
        if case.traction is not None:
            load += ngsolve.CF(tuple(case.traction[1])) * test * ngsolve.ds(case.traction[0])
        stiffness.Assemble()
        load.Assemble()
        assembled = time.perf_counter()
        inverse = stiffness.mat.Inverse(space.FreeDofs(), inverse="sparsecholesky")
        displacement = ngsolve.GridFunction(space)
        displacement.vec.data = inverse * load.vec
        free = ngsolve.Projector(space.FreeDofs(), True)
        rhs = load.vec.CreateVector()
        rhs.data = free * load.vec
        rhs_norm = ngsolve.Norm(rhs)
        residual = load.vec.CreateVector()

        def relative_residual() -> float:
            residual.data = load.vec - stiffness.mat * displacement.vec
            residual.data = free * residual
            return ngsolve.Norm(residual) / rhs_norm

        steps, reached = 0, relative_residual()
        while reached > RTOL and steps < 2:
            displacement.vec.data += inverse * residual  # x += A^-1 (b - A x)
            steps, reached = steps + 1, relative_residual()
        done = time.perf_counter()
    vertex_values = [displacement.components[i].vec.FV().NumPy()[: mesh.nv] for i in range(3)]
    np.save(out_path, np.column_stack(vertex_values))
    return {
        "unknowns": int(sum(space.FreeDofs())),
        "solve_s": done - assembled,
        "run_s": done - ready,
        "pipeline_s": done - start,
        "its": steps,
        "relres": reached,
        "converged": reached <= RTOL,
        "chose": "sparsecholesky",
        "peak_mb": _peak_mb(),
        "warning": "",
    }


def child_main(args: argparse.Namespace) -> None:
    if args.child == "ngsolve":
        record = measure_ngsolve(args.case, args.out, args.threads)
    else:
        record = measure_quarvex(args.case, args.child, args.out)
    print(json.dumps(record), flush=True)


# ---------------------------------------------------------------------------------------------------------------
# Running the processes


def _session_resident_gb(session: int) -> float:
    """Resident memory of every process of the session (mpirun's ranks included), in GiB."""
    total_kb = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            if int(fields[3]) != session:  # the fields after the name: state, ppid, pgrp, session
                continue
            with open(f"/proc/{entry}/status") as status:
                total_kb += next((int(line.split()[1]) for line in status if line.startswith("VmRSS:")), 0)
        except (OSError, ValueError, IndexError):
            continue  # the process ended meanwhile
    return total_kb / 2**20


def run_process(
    command: list[str],
    timeout: float,
    env: dict | None = None,
    cwd: str | None = None,
    memory_limit: float | None = None,
) -> dict:
    """The JSON record on the last line of the command's output, or {"failed": why}. The command runs in
    a session of its own, which a timeout, a resident size over memory_limit (GiB) or Ctrl-C ends whole
    (mpirun's ranks included)."""
    process = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, cwd=cwd, start_new_session=True
    )
    deadline = time.monotonic() + timeout
    failed = None
    try:
        while True:
            try:
                out, err = process.communicate(timeout=0.2)
                break
            except subprocess.TimeoutExpired:  # retrying loses no output
                if time.monotonic() > deadline:
                    failed = f"over {timeout:.0f} s"
                elif memory_limit and _session_resident_gb(process.pid) > memory_limit:
                    failed = f"over the memory limit of {memory_limit:g} GiB"
                if failed:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.communicate()
                    return {"failed": failed}
    except KeyboardInterrupt:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    if process.returncode != 0:
        lines = [line for line in err.strip().splitlines() if line.strip()]
        return {"failed": (lines[-1] if lines else f"exit status {process.returncode}")[:100]}
    lines = [line for line in out.strip().splitlines() if line.startswith("{")]
    if not lines:
        return {"failed": "no record in the output"}
    return json.loads(lines[-1])


def fastest(repeats: int, no_repeat_above: float, run, key: str) -> dict:
    """The run with the least `key` of up to `repeats` runs (others' load only ever adds time); a failed
    run, or one over `no_repeat_above` seconds, ends the series."""
    runs = []
    for _ in range(repeats):
        record = run()
        if "failed" in record:
            return record if not runs else min(runs, key=lambda r: r[key])
        runs.append(record)
        if record[key] > no_repeat_above:
            break
    return min(runs, key=lambda r: r[key])


def child_env(threads: int) -> dict:
    env = dict(os.environ)
    for variable in ("QUARVEX_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"):
        env[variable] = str(threads)
    return env


def ngsolve_installed() -> bool:
    return subprocess.run([sys.executable, "-c", "import ngsolve"], capture_output=True).returncode == 0


def dolfinx_missing(anchor: str) -> str | None:
    """Why dolfinx cannot run here, or None."""
    if not os.path.isfile(anchor):
        return f"the anchor script {os.path.basename(anchor)} is not there: pass --anchor"
    if not os.path.isfile("/usr/bin/python3") or shutil.which("mpirun") is None:
        return DOLFINX_INSTALL
    check = subprocess.run(["/usr/bin/python3", "-c", "import dolfinx, petsc4py, mpi4py"], capture_output=True)
    return None if check.returncode == 0 else DOLFINX_INSTALL


def run_dolfinx(anchor: str, n: int, ranks: int, timeout: float) -> dict:
    command = [
        "mpirun",
        "--allow-run-as-root",
        "-n",
        str(ranks),
        "-x",
        "OMP_NUM_THREADS=1",
        "/usr/bin/python3",
        anchor,
        "--N",
        str(n),
        "--pcs",
        "gamg",
        "--rtol",
        str(RTOL),
    ]
    with tempfile.TemporaryDirectory() as scratch:
        record = run_process(command, timeout, cwd=scratch)
    if "failed" not in record:
        record.update(
            solve_s=record["total_s"],
            its=record["its"],
            relres=record["true_relres"],
            converged=record["reason"] > 0,
            chose="GAMG",
            warning="",
        )
    return record


# ---------------------------------------------------------------------------------------------------------------
# The tables


def _seconds(value: float | None) -> str:
    return "-" if value is None else f"{value:.3f}" if value < 10 else f"{value:.1f}"


def _ratio(numerator: dict | None, denominator: dict | None, key: str) -> str:
    if not numerator or not denominator or "failed" in numerator or "failed" in denominator:
        return "-"
    return f"{numerator[key] / denominator[key]:.2f}"


def tip_deflection(case: Case, vertex_displacement: np.ndarray) -> float:
    """The mean vertical displacement of the vertices of the case's tip face group."""
    return float(vertex_displacement[np.unique(case.face_groups[case.tip]), 2].mean())


def strip_theory(name: str) -> tuple[float, float]:
    """Tip deflections of a uniformly loaded cantilever strip, q L^4 / (8 D), with the plate-strip
    rigidity D = E t^3 / (12 (1 - nu^2)) and the beam's E t^3 / 12 (per unit width): (strip, beam)."""
    _, (length, _, thickness) = STEEL_BOXES[name]
    load = -7850.0 * 9.81 * thickness  # per unit area
    beam_rigidity = STEEL["E"] * thickness**3 / 12.0
    strip_rigidity = beam_rigidity / (1.0 - STEEL["nu"] ** 2)
    return load * length**4 / (8 * strip_rigidity), load * length**4 / (8 * beam_rigidity)


def print_family(
    title: str, names: list[str], cases: dict, rows: dict, methods: list[str], default_method: str
) -> None:
    print(f"\n== {title} ==")
    print(
        f"{'model':<10} {'solver':<14} {'unknowns':>9} {'its':>5} {'reached':>8} {'solve s':>8} "
        f"{'asm+solve s':>11} {'pipeline s':>10} {'peak MB':>8} {'tip w':>12} {'vs NGSolve':>10}  note"
    )
    for name in names:
        case, results = cases[name], rows[name]
        reference = results.get("ngsolve")
        for solver in [*methods, "ngsolve", "dolfinx"]:
            record = results.get(solver)
            if record is None:
                continue
            label = {"ngsolve": "NGSolve chol", "dolfinx": "dolfinx GAMG"}.get(solver, solver)
            if "failed" in record:
                print(f"{name:<10} {label:<14} failed: {record['failed']}")
                continue
            tip = difference = "-"
            if "u" in record:
                tip = f"{tip_deflection(case, record['u']):.5e}"
                if reference and "u" in reference and solver != "ngsolve":
                    scale = np.abs(reference["u"]).max()
                    difference = f"{np.abs(record['u'] - reference['u']).max() / scale:.1e}"
            note = [f"chose {record['chose']}"] if solver == "auto" else []
            if not record["converged"]:
                note.append("stalled at the rounding floor" if record.get("stalled") else "short of 1e-8")
            unknowns = record.get("unknowns", "-")
            peak = f"{record['peak_mb']:.0f}" if "peak_mb" in record else "-"
            print(
                f"{name:<10} {label:<14} {unknowns:>9} {record['its']:>5} {record['relres']:>8.1e} "
                f"{_seconds(record['solve_s']):>8} {_seconds(record.get('run_s')):>11} "
                f"{_seconds(record.get('pipeline_s')):>10} {peak:>8} {tip:>12} "
                f"{difference:>10}  {'; '.join(note)}"
            )
        quick = [results.get(m) for m in ("amg", "direct") if results.get(m) and "failed" not in results[m]]
        best_two = min(quick, key=lambda r: r["run_s"]) if quick else None
        ours = [results[m] for m in methods if results.get(m) and "failed" not in results[m]]
        timed = [record for record in ours if record["solve_s"] is not None]
        best_ours = min(timed, key=lambda r: r["solve_s"]) if timed else None
        print(
            f"{'':<10} ratios: auto / min(amg, direct) {_ratio(results.get('auto'), best_two, 'run_s')}, "
            f"default ({default_method}) / NGSolve {_ratio(results.get(default_method), reference, 'run_s')}, "
            f"best solve / dolfinx {_ratio(best_ours, results.get('dolfinx'), 'solve_s')}"
        )
        if name.startswith("plate"):
            strip, beam = strip_theory(name)
            print(f"{'':<10} tip deflection theory: plate strip {strip:.5e}, beam {beam:.5e}")


def print_targets(cases: dict, rows: dict, default_method: str, has_auto: bool) -> None:
    print("\n== the issue's targets ==")
    plate = rows.get("plate500")
    if plate:
        default, reference = plate.get(default_method), plate.get("ngsolve")
        if default and "failed" not in default:
            strip, beam = strip_theory("plate500")
            tip = tip_deflection(cases["plate500"], default["u"])
            between = min(strip, beam) <= tip <= max(strip, beam)
            versus = _ratio(default, reference, "run_s")
            print(
                f"(a) plate500, default ({default_method}): {default['run_s']:.2f} s, {versus} of NGSolve's time; "
                f"residual {default['relres']:.1e} of |b| ({'<=' if default['relres'] <= 1e-4 else '>'} 1e-4); "
                f"tip {tip:.5e} {'within' if between else 'outside'} [{strip:.5e}, {beam:.5e}]"
            )
        else:
            print(f"(a) plate500, default ({default_method}): failed")
    if not has_auto:
        print("(b) auto: not in quarvex_tools.solvers.METHODS yet")
        return
    worst = None
    for name, results in rows.items():
        quick = [results.get(m) for m in ("amg", "direct") if results.get(m) and "failed" not in results[m]]
        auto = results.get("auto")
        if quick and auto and "failed" not in auto:
            ratio = auto["run_s"] / min(r["run_s"] for r in quick)
            if worst is None or ratio > worst[0]:
                worst = (ratio, name)
    if worst:
        print(f"(b) auto / min(amg, direct): at most {worst[0]:.2f} (on {worst[1]}); target 1.3")


# ---------------------------------------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--models", nargs="+", choices=MODELS, default=None)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="one run of each, small models only")
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds per process")
    parser.add_argument("--no-repeat-above", type=float, default=60.0, help="seconds; longer runs are not repeated")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--ranks", type=int, default=2)
    parser.add_argument("--anchor", default=DEFAULT_ANCHOR)
    parser.add_argument(
        "--memory-limit", type=float, default=None, help="GiB of resident memory per process (with its children)"
    )
    parser.add_argument("--child", choices=["amg", "direct", "auto", "default", "ngsolve"], help=argparse.SUPPRESS)
    parser.add_argument("--case", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(args)
        return

    from quarvex_tools import solvers

    models = args.models or (QUICK_MODELS if args.quick else MODELS)
    repeats = 1 if args.quick else args.repeats
    has_auto = "auto" in solvers.METHODS
    methods = ["amg", "direct"] + (["auto"] if has_auto else [])
    default_method = solvers.DEFAULT_METHOD
    env = child_env(args.threads)
    print(
        f"load average at the start: {' '.join(f'{v:.2f}' for v in os.getloadavg())}; {args.threads} workers, "
        f"dolfinx on {args.ranks} ranks; fastest of {repeats}; default method {default_method!r}",
        flush=True,
    )
    with_ngsolve = ngsolve_installed()
    if not with_ngsolve:
        print(f"NGSolve is not installed: {NGSOLVE_INSTALL}")
    dolfinx_why = dolfinx_missing(args.anchor) if any(m.startswith("cube") for m in models) else None
    if dolfinx_why:
        print(f"dolfinx cannot run: {dolfinx_why}")

    cases: dict = {}
    rows: dict = {}
    try:
        measure_all(args, models, methods, repeats, env, with_ngsolve, dolfinx_why, cases, rows)
    except KeyboardInterrupt:  # the tables of what was measured, then the interrupt
        print("\ninterrupted: the tables hold what was measured before")
        print_tables(cases, rows, methods, default_method, has_auto)
        raise
    print_tables(cases, rows, methods, default_method, has_auto)


def measure_all(
    args: argparse.Namespace,
    models,
    methods: list[str],
    repeats: int,
    env: dict,
    with_ngsolve: bool,
    dolfinx_why: str | None,
    cases: dict,
    rows: dict,
) -> None:
    """Measures every model with every solver, filling `cases` and `rows` as it goes."""
    with tempfile.TemporaryDirectory(prefix="solver_choice_") as scratch:
        for name in models:
            case = build_case(name, scratch)
            case_path = os.path.join(scratch, name + ".npz")
            save_case(case, case_path)
            cases[name], rows[name] = case, {}
            children = methods + (["ngsolve"] if with_ngsolve else [])
            for solver in children:
                out_path = os.path.join(scratch, f"{name}_{solver}.npy")
                command = [
                    sys.executable,
                    os.path.abspath(__file__),
                    "--child",
                    solver,
                    "--case",
                    case_path,
                    "--out",
                    out_path,
                    "--threads",
                    str(args.threads),
                ]
                record = fastest(
                    repeats,
                    args.no_repeat_above,
                    lambda: run_process(command, args.timeout, env=env, memory_limit=args.memory_limit),
                    "run_s",
                )
                if "failed" not in record:
                    record["u"] = np.load(out_path)
                rows[name][solver] = record
                shown = record.get("failed") or f"{record['run_s']:.2f} s, {record['its']} its, {record['relres']:.1e}"
                print(f"  {name} {solver}: {shown}", flush=True)
            if name.startswith("cube") and not dolfinx_why:
                record = fastest(
                    repeats,
                    args.no_repeat_above,
                    lambda: run_dolfinx(args.anchor, int(name[4:]), args.ranks, args.timeout),
                    "total_s",
                )
                rows[name]["dolfinx"] = record
                print(
                    f"  {name} dolfinx: {record.get('failed') or str(round(record['total_s'], 2)) + ' s'}", flush=True
                )


def print_tables(cases: dict, rows: dict, methods: list[str], default_method: str, has_auto: bool) -> None:
    """One table per model family, then the issue's targets."""
    for title, names in FAMILIES:
        present = [name for name in names if rows.get(name)]
        if present:
            print_family(title, present, cases, rows, methods, default_method)
    print_targets(cases, rows, default_method, has_auto)
    print(f"\nload average at the end: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
