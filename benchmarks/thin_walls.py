"""Multigrid on thin walls against solid models: iterations, set-up and solve time, operator
complexity and the largest residual met, for the plates 1:50 and 1:500 (1 x 1 x t m, 40 x 40 x 1
cells, steel, clamped on x = 0, gravity), the beam and the unit cubes N = 12, 20 of
benchmarks/direct_solvers.py.

Usage:
    python3 benchmarks/thin_walls.py [--models plate50 plate500 beam cube12 cube20] [--maxiter 600]
                                     [--baseline-python PATH]

Each model runs `system.multigrid` then `system.solve_amg` to rtol 1e-8 in a process of its own.
"its" counts the steps taken (a stop at the rounding floor included), "to 1e-4" the steps until
the residual first fell to 1e-4 ||b||, "max r" the largest ||b - A x|| / ||b|| along the way.
--baseline-python runs the same cases with another interpreter (another build of the package,
e.g. the one before a change) and prints its figures in a second column in the same run.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
MODELS = ("plate50", "plate500", "beam", "cube12", "cube20")


def build(name: str):
    """The assembled Elasticity model of the named case."""
    sys.path.insert(0, HERE)
    from bench_models import GRAVITY, STEEL
    from direct_solvers import build_model

    from quarvex_tools import Elasticity, box_mesh, isotropic

    if not name.startswith("plate"):
        return build_model(name)
    thickness = 1.0 / int(name[len("plate") :])
    model = Elasticity(box_mesh(40, 40, 1, size=(1.0, 1.0, thickness)), isotropic(**STEEL))
    model.fix("xmin")
    model.body_force(GRAVITY)
    model.assemble()
    return model


def measure(name: str, maxiter: int) -> dict:
    """Set-up and solve of one model in this process."""
    import numpy as np

    from quarvex_tools import system

    model = build(name)
    start = time.perf_counter()
    hierarchy = system.multigrid(model.nexus, model.constraints)
    setup = time.perf_counter() - start
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        start = time.perf_counter()
        result = system.solve_amg(model.nexus, rtol=1e-8, maxiter=maxiter, history=True, hierarchy=hierarchy)
        solve = time.perf_counter() - start
    relative = result.history / result.rhs_norm
    below = np.flatnonzero(relative <= 1e-4)
    stats = getattr(system, "multigrid_stats", None)
    return {
        "its": int(result.iterations),
        "reached": float(result.relative_residual),
        "converged": bool(result.converged),
        "to_1e-4": int(below[0]) if below.size else None,
        "max_r": float(relative.max()),
        "setup": setup,
        "solve": solve,
        "complexity": stats(hierarchy)["operator_complexity"] if stats else None,
    }


def run(python: str, name: str, maxiter: int) -> dict:
    out = subprocess.run(
        [python, os.path.abspath(__file__), "--one", name, "--maxiter", str(maxiter)],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def text(row: dict) -> str:
    complexity = "-" if row["complexity"] is None else f"{row['complexity']:.2f}"
    to4 = "-" if row["to_1e-4"] is None else str(row["to_1e-4"])
    return (
        f"{row['its']:>5} {row['reached']:>8.1e} {to4:>7} {row['max_r']:>8.1e} {row['setup']:>6.2f} "
        f"{row['solve']:>6.2f} {complexity:>5}"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--models", nargs="+", default=list(MODELS), choices=MODELS)
    parser.add_argument("--maxiter", type=int, default=600)
    parser.add_argument("--baseline-python", default=None)
    parser.add_argument("--one", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure(args.one, args.maxiter)))
        return
    header = f"{'its':>5} {'reached':>8} {'to 1e-4':>7} {'max r':>8} {'set-up':>6} {'solve':>6} {'op c':>5}"
    columns = [("this build", sys.executable)]
    if args.baseline_python:
        columns.insert(0, ("baseline", args.baseline_python))
    print(f"{'model':<9} " + " | ".join(f"{label:<{len(header)}}" for label, _ in columns))
    print(f"{'':<9} " + " | ".join(header for _ in columns))
    for name in args.models:
        rows = [run(python, name, args.maxiter) for _, python in columns]
        print(f"{name:<9} " + " | ".join(text(row) for row in rows), flush=True)


if __name__ == "__main__":
    main()
