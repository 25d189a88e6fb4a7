"""Resident memory per unknown of the multigrid pipeline, phase by phase, driven as a user would.

Usage:
    python3 benchmarks/memory_per_unknown.py [--sizes 40] [--no-outputs]

The unit cube of N^3 cells of six tetrahedra (`box_mesh`), `Elasticity` with an isotropic
material, clamped on "zmin" and loaded by gravity, solved by `model.solve()` (multigrid
conjugate gradients); then, measured apart, the nodal stresses, the VTU file and the picture.
Each size runs in a process of its own. Linux only: it reads the resident set from /proc/self.

Inside `model.solve()` a profile hook marks the phases at the calls that make them (the
package's functions and the core's methods), so the table shows the pipeline a user runs,
not a copy of it. At every mark the kernel's high-water mark is reset (/proc/self/clear_refs),
so each row's peak is that phase's own; where the reset is refused the peak is the running one.

Columns, in bytes per unknown: the resident set after the phase (RSS), the phase's growth of
it (kept), the highest resident set during the phase (peak), the highest since the start
(HWM), and what holds the memory.
Then the numpy arrays the model, its numbering, its dofs, its constraints and the result hold
(`.nbytes`, each buffer counted once), and the peak of the whole pipeline against the goal.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass, fields, is_dataclass

import numpy as np

import quarvex_tools
from quarvex_tools import Elasticity, box_mesh, isotropic

_STATUS = "/proc/self/status"
_CLEAR_REFS = "/proc/self/clear_refs"
_GOAL = 1200.0  # bytes per unknown, the whole pipeline's peak

# Calls that end one phase and start the next: the package's Python functions by name (only
# those defined in quarvex_tools), the core's methods by name. A call inside another one
# listed here is part of the outer one's phase.
_PYTHON_PHASES = {
    "supports": "supports: resolve the fixed components",
    "check_fully_supported": "check against rigid-body motion",
    "number_dofs": "number_dofs",
    "nexus_from_arrays": "nexus_from_arrays (points, tets to the core)",
    "core_arrays": "core_arrays (the numbering in the core's form)",
    "set_dof_arrays": "set_dof_arrays",
    "_set_body_forces": "body forces to the core (set_f)",
    "constrain": "constrain (supports in the system)",
    "multigrid": "multigrid set-up (amg_setup)",
    "solution": "solution vector copied out",
    "values": "displacement (Dofs.values)",
    "_reaction_forces": "reaction forces",
}
_CORE_PHASES = {
    "set_cmat": "set_cmat",
    "set_solver": "set_solver (matrix structure, vectors)",
    "assemble": "assemble (matrix values, loads)",
    "amg_solve": "multigrid CG solve",
}

# What holds the memory a phase keeps, as read from the code.
_HOLDERS = {
    "mesh": "points (n, 3) f8, tetrahedra (m, 4) i8, face groups",
    "Elasticity (P2 numbering)": "numbering: edges, element_nodes, node_points, node_rank; loads and fixed masks",
    "fix, body_force": "fixed components and values; the keys of the faces (face-group check)",
    "nexus_from_arrays (points, tets to the core)": "core: the elements' points and vertex numbers",
    "set_solver (matrix structure, vectors)": "core: matrix runs and row starts, zeroed value pages, vectors",
    "assemble (matrix values, loads)": "core: matrix values (8 B per entry) touched",
    "multigrid set-up (amg_setup)": "core: hierarchy (float copy of the fine values, levels, P, R, smoothers)",
    "multigrid CG solve": "core: cycle work vectors, CG vectors",
    "constrain (supports in the system)": "constrained rows kept for the reactions",
    "displacement (Dofs.values)": "result.displacement (n_nodes, 3) f8",
    "reaction forces": "result.reaction_forces (n_nodes, 3) f8",
}


def status_bytes() -> tuple[int, int]:
    """(VmRSS, VmHWM) of this process in bytes."""
    values = {}
    with open(_STATUS) as status:
        for line in status:
            if line.startswith(("VmRSS:", "VmHWM:")):
                key, amount = line.split(":")
                values[key] = int(amount.split()[0]) * 1024
    return values["VmRSS"], values["VmHWM"]


def reset_peak() -> bool:
    """Resets VmHWM to the current resident set; False where the kernel refuses."""
    try:
        with open(_CLEAR_REFS, "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False


@dataclass
class Row:
    phase: str
    rss: int
    kept: int
    peak: int
    seconds: float


class PhaseLog:
    """Rows of (phase, resident set after, growth, peak during), the peak reset at every mark."""

    def __init__(self) -> None:
        self.rows: list[Row] = []
        self.resets = reset_peak()
        self._rss, _ = status_bytes()
        self._time = time.perf_counter()

    def mark(self, phase: str) -> None:
        rss, hwm = status_bytes()
        now = time.perf_counter()
        self.rows.append(Row(phase, rss, rss - self._rss, max(hwm, rss), now - self._time))
        self.resets = reset_peak() and self.resets
        self._rss, self._time = status_bytes()[0], time.perf_counter()


def profiled(log: PhaseLog, action, last_phase: str):
    """Runs action() with the phases of `_PYTHON_PHASES` and `_CORE_PHASES` marked in `log`.

    The time between two listed calls is its own row ("Python between ..."); the rest after
    the last listed call is `last_phase`.
    """
    depth = 0  # listed calls under way
    calls: dict[str, int] = {}  # completed calls of every phase
    previous = "start"
    package = os.path.dirname(quarvex_tools.__file__)

    def listed(frame, event, arg) -> str | None:
        if event in ("call", "return"):
            name = frame.f_code.co_name
            if name in _PYTHON_PHASES and frame.f_code.co_filename.startswith(package):
                return _PYTHON_PHASES[name]
            return None
        name = getattr(arg, "__name__", "")
        owner = getattr(arg, "__self__", None)
        if name in _CORE_PHASES and owner is not None and type(owner).__name__ in ("Nexus", "module"):
            return _CORE_PHASES[name]
        return None

    def hook(frame, event, arg):
        nonlocal depth, previous
        if event not in ("call", "return", "c_call", "c_return", "c_exception"):
            return
        phase = listed(frame, event, arg)
        if phase is None:
            return
        if event in ("call", "c_call"):
            if depth == 0:
                log.mark(f"  Python between {previous} and {phase}")
            depth += 1
        else:
            depth -= 1
            if depth == 0:
                calls[phase] = calls.get(phase, 0) + 1
                log.mark(phase if calls[phase] == 1 else f"{phase} (call {calls[phase]})")
                previous = phase

    sys.setprofile(hook)
    try:
        outcome = action()
    finally:
        sys.setprofile(None)
    log.mark(last_phase)
    return outcome


def _buffer_owner(array: np.ndarray) -> object:
    """The object that owns an array's memory (another array, a bytearray, ...)."""
    owner = array
    while isinstance(owner, np.ndarray) and owner.base is not None:
        owner = owner.base
    return owner


def array_holdings(root: object, name: str, depth: int = 3) -> list[tuple[str, np.ndarray]]:
    """(path, array) for every numpy array reachable from `root` through attributes, dataclass
    fields, dicts, lists and tuples, to `depth` levels."""
    found: list[tuple[str, np.ndarray]] = []
    seen: set[int] = set()

    def visit(item: object, path: str, level: int) -> None:
        if isinstance(item, np.ndarray):
            found.append((path, item))
            return
        if level == 0 or id(item) in seen or item is None or isinstance(item, (str, bytes, int, float)):
            return
        seen.add(id(item))
        if isinstance(item, dict):
            children = [(f"{path}[{key!r}]", value) for key, value in item.items()]
        elif isinstance(item, (list, tuple)):
            children = [(f"{path}[{k}]", value) for k, value in enumerate(item)]
        elif is_dataclass(item):
            children = [(f"{path}.{f.name}", getattr(item, f.name)) for f in fields(item)]
        elif hasattr(item, "__dict__") and type(item).__module__.startswith("quarvex_tools"):
            children = [(f"{path}.{key}", value) for key, value in vars(item).items()]
        else:
            return
        for child_path, child in children:
            visit(child, child_path, level - 1)

    visit(root, name, depth)
    return found


def print_holdings(roots: list[tuple[str, object]], unknowns: int) -> None:
    """The arrays held by each root, largest first, every buffer counted once over all roots."""
    counted: set[int] = set()
    print(f"\n{'array':<44} {'dtype':>7} {'shape':>16} {'B/unknown':>10}")
    total = 0
    for name, root in roots:
        rows = []
        for path, array in array_holdings(root, name):
            owner = _buffer_owner(array)
            if id(owner) in counted:
                continue
            counted.add(id(owner))
            size = owner.nbytes if isinstance(owner, np.ndarray) else array.nbytes
            rows.append((size, path, array))
        for size, path, array in sorted(rows, key=lambda row: -row[0]):
            if size >= unknowns:  # at least one byte per unknown; the rest is noise
                print(f"{path:<44} {str(array.dtype):>7} {str(array.shape):>16} {size / unknowns:>10.1f}")
            total += size
    print(f"{'all arrays of the model and the result':<44} {'':>7} {'':>16} {total / unknowns:>10.1f}")


def print_rows(title: str, rows: list[Row], unknowns: int, resets: bool) -> None:
    print(f"\n{title}" + ("" if resets else " (the peak is the running one: the reset was refused)"))
    print(f"{'phase':<66} {'s':>6} {'RSS':>7} {'kept':>7} {'peak':>7} {'HWM':>7}  holds")
    high_water = 0
    for row in rows:
        high_water = max(high_water, row.peak)
        if (
            row.phase.startswith("  Python between")
            and abs(row.kept) < 2 * unknowns
            and row.peak - (row.rss - row.kept) < 2 * unknowns
        ):
            continue  # glue that neither keeps nor peaks: left out of the table
        holder = _HOLDERS.get(row.phase.split(" (call")[0].strip(), "")
        print(
            f"{row.phase:<66} {row.seconds:>6.2f} {row.rss / unknowns:>7.0f} {row.kept / unknowns:>7.0f} "
            f"{row.peak / unknowns:>7.0f} {high_water / unknowns:>7.0f}  {holder}"
        )


def run(n: int, outputs: bool) -> None:
    log = PhaseLog()
    log.rows.clear()
    log.mark("start: Python, numpy, quarvex imported")
    mesh = box_mesh(n, n, n)
    log.mark("mesh")
    model = Elasticity(mesh, isotropic(E=1.0, nu=0.3))
    log.mark("Elasticity (P2 numbering)")
    unknowns = 3 * model.numbering.n_nodes
    model.fix("zmin")
    model.body_force((0.0, 0.0, -1.0))
    log.mark("fix, body_force")
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)  # a solve that did not converge is no measurement
        result = profiled(log, lambda: model.solve(rtol=1e-8), "Result")
    pipeline = list(log.rows)
    resets = log.resets
    print(
        f"unit cube N = {n}: {len(mesh.tetrahedra)} elements, {model.numbering.n_nodes} nodes, {unknowns} "
        f"unknowns, {quarvex_tools.system.worker_count()} workers, {result.report.iterations} CG iterations"
    )
    print_rows("the pipeline (bytes per unknown)", pipeline, unknowns, resets)
    pipeline_peak = max(row.peak for row in pipeline)
    worst = max(pipeline, key=lambda row: row.peak)
    print(
        f"\npeak of the pipeline {pipeline_peak / unknowns:.0f} B per unknown ({pipeline_peak / 2**30:.2f} GiB), "
        f"in '{worst.phase.strip()}'; goal {_GOAL:.0f}"
    )
    print_holdings([("mesh", mesh), ("model", model), ("result", result)], unknowns)

    if outputs:
        log.rows.clear()
        log.mark("before the outputs")
        result.nodal_stress()
        log.mark("nodal_stress")
        result.field("von_mises")
        log.mark("field('von_mises')")
        with tempfile.TemporaryDirectory() as scratch:
            result.write(os.path.join(scratch, "cube.vtu"))
            log.mark("write VTU")
            result.plot(os.path.join(scratch, "cube.png"))
            log.mark("plot PNG")
        print_rows("the outputs, measured apart (bytes per unknown)", log.rows, unknowns, log.resets)

    # The fine matrix, exported once at the end (outside every measured phase): its entries.
    entries = quarvex_tools.system.stiffness_matrix(result.nexus).nnz
    print(
        f"\nfine matrix: {entries} entries, {entries / unknowns:.1f} per row, values {8 * entries / unknowns:.0f} "
        "B per unknown (the core's runs and row starts come on top)"
    )
    setup = [row for row in pipeline if row.phase == _PYTHON_PHASES["multigrid"]]
    if setup:
        print(
            f"multigrid hierarchy: the set-up kept {setup[0].kept / unknowns:.0f} B per unknown "
            f"({setup[0].kept / (8 * entries):.2f} x the fine values) and peaked "
            f"{(setup[0].peak - setup[0].rss + setup[0].kept) / unknowns:.0f} above its start; its levels, "
            "operator complexity and bytes are not exposed to Python (build/bench/amg_bench prints them)"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[40], help="cells per side (default 40)")
    parser.add_argument("--no-outputs", action="store_true", help="skip the stress, VTU and picture steps")
    parser.add_argument("--here", action="store_true", help="run the one size in this process")
    args = parser.parse_args()
    if args.here:
        run(args.sizes[0], not args.no_outputs)
        return
    for n in args.sizes:
        command = [sys.executable, os.path.abspath(__file__), "--here", "--sizes", str(n)]
        subprocess.run(command + (["--no-outputs"] if args.no_outputs else []), check=True)


if __name__ == "__main__":
    main()
