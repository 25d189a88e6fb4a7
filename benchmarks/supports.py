"""Iterations and time to solution of supported models: clamped against rollers, in one run.

Usage:
    python3 benchmarks/supports.py [--sizes 8 12 16 20] [--repeats 3] [--rtol 1e-8] [--method amg]
                                   [--models cube plate sphere le10] [--scale 1.0] [--quick]

Models (benchmarks/support_models.py), each solved from zero with the default method unless
--method says otherwise:
  - the unit cube of N^3 cells (six tetrahedra each) pulled on x = 1 under gravity, clamped on
    x = 0, and on rollers on the planes x = 0, y = 0, z = 0; the roller rows carry the ratios
    of their iterations and times to the clamped cube's of the same N;
  - a plate 200 x 100 x 10 mm with a hole of radius 20 mm, pulled on one end, held by u_x = 0 on
    the other and two corner points, against Heywood's stress concentration factor (gmsh);
  - one eighth of a thick sphere (radii 1 and 2) under internal pressure, on rollers on its
    symmetry planes, against Lame's radial displacement (gmsh);
  - the NAFEMS LE10 thick plate, against its reference sigma_yy = -5.38 MPa at D (gmsh).
Assembly (`model.assemble`) is timed apart from `model.solve`, which assembles again: the set-up
+ solve column is the difference. Best of --repeats, except for a model whose first solve takes
longer than --repeat-below seconds, which is solved once. --scale multiplies the gmsh element
sizes; --quick stands for --sizes 8 --scale 1.6 --repeats 1. Ctrl-C prints what was measured.
Every model is checked to be fully supported and every solve to have converged: a warning row
says otherwise, and the exit status is then 1.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field

# BLAS threads of numpy and scipy busy-wait between calls and take cores from the solver's workers.
for _variable in ("OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import support_models as sm  # noqa: E402
from phases import best_of  # noqa: E402

from quarvex_tools import DEFAULT_METHOD, system  # noqa: E402

MODELS = ("cube", "plate", "sphere", "le10")
QUICK_SCALE = 1.6


@dataclass
class Measurement:
    """What one model's runs gave (times are the best of the runs)."""

    name: str
    points: int
    unknowns: int
    constrained: int
    free_motions: int
    assembly: float = float("inf")
    total: float = float("inf")
    iterations: int = -1
    relative_residual: float = float("nan")
    converged: bool = False
    runs: int = 0
    checks: list[tuple[sm.Check, float]] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    error: str = ""

    @property
    def solve(self) -> float:
        """Set-up + solve: `model.solve` less one assembly."""
        return self.total - self.assembly


def measure(case: sm.SupportedModel, rtol: float, method: str, repeats: int, repeat_below: float) -> Measurement:
    """Assembles and solves `case` up to `repeats` times; evaluates its checks on the last result.

    An exception of the solve is kept in the measurement's `error` (the other models still run).
    """
    model = case.model
    row = Measurement(
        case.name,
        len(model.mesh.points),
        sm.unknowns(model),
        len(model.dofs.pinned) if model.dofs is not None else 0,
        sm.free_rigid_motions(model),
    )
    if row.free_motions:
        return row
    result = None
    for run in range(repeats):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                assembly = best_of(1, model.assemble)
                start = time.perf_counter()
                result = model.solve(rtol=rtol, method=method)
                total = time.perf_counter() - start
            except Exception as error:  # noqa: BLE001 - reported in the table
                row.error = f"{type(error).__name__}: {error}"
                return row
        row.warnings = list(dict.fromkeys([*row.warnings, *(f"{w.category.__name__}: {w.message}" for w in caught)]))
        row.assembly, row.total = min(row.assembly, assembly), min(row.total, total)
        row.runs = run + 1
        if total > repeat_below:
            break
    assert result is not None
    report = result.report
    row.iterations, row.converged = report.iterations, bool(report.converged)
    row.relative_residual = report.residual_norm / report.rhs_norm if report.rhs_norm else float("nan")
    row.checks = [(check, check.measure(result)) for check in case.checks]
    return row


# The table -------------------------------------------------------------------------------------
COLUMNS = (
    "model",
    "points",
    "unknowns",
    "constrained",
    "assembly s",
    "set-up + solve s",
    "model.solve s",
    "its",
    "rel. residual",
    "runs",
    "its / clamped",
    "set-up + solve / clamped",
)


def table_row(cells: list[str]) -> str:
    """A Markdown table row."""
    return "| " + " | ".join(cells) + " |"


def format_row(row: Measurement, clamped: Measurement | None) -> str:
    """The table row of a measurement, with the ratios to `clamped` when given."""
    if row.runs == 0 or row.error:
        sizes = [str(row.points), str(row.unknowns), str(row.constrained)] if row.points else ["-"] * 3
        return table_row([row.name, *sizes] + ["-"] * (len(COLUMNS) - 4))
    ratios = ["", ""]
    if clamped is not None and clamped.runs and clamped.iterations > 0:
        ratios = [f"{row.iterations / clamped.iterations:.1f}", f"{row.solve / clamped.solve:.1f}"]
    return table_row(
        [
            row.name,
            str(row.points),
            str(row.unknowns),
            str(row.constrained),
            f"{row.assembly:.3f}",
            f"{row.solve:.3f}",
            f"{row.total:.3f}",
            str(row.iterations),
            f"{row.relative_residual:.1e}",
            str(row.runs),
            *ratios,
        ]
    )


def warning_rows(row: Measurement, rtol: float) -> list[str]:
    """Rows that flag a model that is not fully supported or a solve that stopped short."""
    blank = [""] * (len(COLUMNS) - 2)
    if row.error:
        text = f"{row.name} failed: {row.error}"
    elif row.free_motions:
        text = f"{row.name}: {row.free_motions} rigid-body motions left free, not solved"
    elif not row.converged:
        text = (
            f"{row.name} did not converge: relative residual {row.relative_residual:.1e} after "
            f"{row.iterations} iterations, asked {rtol:g}"
        )
    else:
        return []
    return [table_row(["**WARNING**", text.replace("|", "\\|"), *blank])]


def check_rows(rows: list[Measurement]) -> list[str]:
    """The checks table: computed values beside their references."""
    lines = [table_row(["model", "quantity", "computed", "reference", "difference"]), table_row(["---"] * 5)]
    for row in rows:
        for check, value in row.checks:
            if check.relative:
                lines.append(table_row([row.name, check.label, f"{100 * value:.2f} %", "0", ""]))
            else:
                difference = 100 * (value / check.reference - 1) if check.reference else float("nan")
                lines.append(
                    table_row([row.name, check.label, f"{value:.4g}", f"{check.reference:.4g}", f"{difference:+.1f} %"])
                )
    return lines


Case = tuple[str, Callable[[], sm.SupportedModel], str]


def cases(models: list[str], sizes: list[int], scale: float) -> Iterator[Case]:
    """The chosen models: (name, builder, name of the clamped model it is compared with or '')."""
    if "plate" in models:
        yield "plate with hole", lambda: sm.plate_with_hole(sm.PLATE_SIZE * scale), ""
    if "sphere" in models:
        yield "sphere octant", lambda: sm.sphere_octant(sm.SPHERE_SIZE * scale), ""
    if "le10" in models:
        yield "NAFEMS LE10", lambda: sm.le10(sm.LE10_SIZE * scale), ""
    if "cube" in models:
        for n in sizes:
            clamped = sm.cube_name(n, "clamped")
            yield clamped, lambda n=n: sm.cube(n, "clamped"), ""
            yield sm.cube_name(n, "symmetry"), lambda n=n: sm.cube(n, "symmetry"), clamped


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=None, help="cube cells per side (default 8 12 16 20)")
    parser.add_argument("--repeats", type=int, default=None, help="runs per model, best taken (default 3)")
    parser.add_argument(
        "--repeat-below",
        type=float,
        default=10.0,
        help="solve a model again only when its first model.solve took fewer seconds (default 10)",
    )
    parser.add_argument("--rtol", type=float, default=1e-8)
    parser.add_argument("--method", default=DEFAULT_METHOD, help=f"solver method (default {DEFAULT_METHOD!r})")
    parser.add_argument("--models", nargs="+", choices=MODELS, default=list(MODELS))
    parser.add_argument("--scale", type=float, default=None, help="factor on the gmsh element sizes (default 1)")
    parser.add_argument("--quick", action="store_true", help="--sizes 8 --scale 1.6 --repeats 1 unless given")
    args = parser.parse_args()
    sizes = args.sizes or ([8] if args.quick else [8, 12, 16, 20])
    repeats = args.repeats or (1 if args.quick else 3)
    scale = args.scale or (QUICK_SCALE if args.quick else 1.0)

    print(
        f"method {args.method!r}, rtol {args.rtol:g}; workers {system.worker_count()}; load average at the start "
        f"{os.getloadavg()[0]:.2f}; best of {repeats} runs (1 above {args.repeat_below:g} s); times in seconds;"
    )
    print(
        "constrained = prescribed components, eliminated inside the system; ratios are the "
        "roller cube's over the clamped cube's of the same N"
    )
    print()
    print(table_row(list(COLUMNS)))
    print(table_row(["---"] + ["---:"] * (len(COLUMNS) - 1)))
    done: dict[str, Measurement] = {}
    notes: list[str] = []
    try:
        for name, build, reference in cases(args.models, sizes, scale):
            try:
                case = build()
                if case.mesh_seconds:
                    notes.append(f"{name}: meshed by gmsh in {case.mesh_seconds:.2f} s")
                row = measure(case, args.rtol, args.method, repeats, args.repeat_below)
                del case
            except Exception as error:  # noqa: BLE001 - a model that cannot be built is reported, the rest run
                row = Measurement(name, 0, 0, 0, 0, error=f"{type(error).__name__}: {error}")
            done[name] = row
            print(format_row(row, done.get(reference)), flush=True)
            for line in warning_rows(row, args.rtol):
                print(line, flush=True)
            notes.extend(f"{row.name}: {text}" for text in row.warnings)
    except KeyboardInterrupt:
        print("\n(interrupted: the results so far)")

    rows = [row for row in done.values() if row.checks]
    if rows:
        print()
        print("\n".join(check_rows(rows)))
    if notes:
        print()
        print("\n".join(f"- {note}" for note in notes))
    if any(row.error or row.free_motions or not row.converged for row in done.values()):
        sys.exit(1)


if __name__ == "__main__":
    main()
