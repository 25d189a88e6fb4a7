"""Set-up and output of a large model, driven from Python: every phase, its share of the
total, and the ratios against references measured in the same run.

Usage:
    python3 benchmarks/large_model.py [--n 55] [--small 20] [--anchor PATH/bench_dolfinx.py]

Part 1, the unit cube of N^3 cells of six tetrahedra (N = 55: about 10^6 elements, 4 * 10^6
unknowns), clamped at z = 0 and loaded by gravity, built from arrays: each phase with its
share of the pipeline's total; set_solver against assemble; plot_dom and plot_disp as dicts
against the same data as arrays (the arrays are the core's part; the rest of a dict's time is
making Python objects); peak memory per unknown.

Part 2 (run first, in a process that has not yet made the large model), N = 20: set_dof (from
dicts, as Nexus.set_dof takes them, and from arrays) plus set_solver, each on a new model,
against dolfinx's dof map and matrix creation on one process. The dolfinx figures come from
its anchor script, run with Debian's Python between two rounds of ours (--anchor; without it
part 2 prints ours alone). Medians of the repetitions.
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import tempfile
import time

from phases import MATERIAL, clamped_cube, set_gravity

import quarvex
from quarvex_tools import system
from quarvex_tools.core_inputs import build_core_inputs
from quarvex_tools.numbering import core_arrays


def timed(action):
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def load_text():
    return "load average " + " ".join(f"{value:.2f}" for value in os.getloadavg())


def large_model(n):
    mesh, numbering, dofs = clamped_cube(n)
    tets = mesh.tetrahedra
    pos_dof, bc = dofs.n_free, dofs.bc.tolist()
    phases = []  # (name, seconds, in the pipeline's total)

    t, model = timed(lambda: system.nexus_from_arrays(mesh.points, tets))
    phases.append(("Nexus (nexus_from_arrays)", t, True))
    t, _ = timed(lambda: system.set_dof_arrays(model, *core_arrays(numbering, dofs)))
    phases.append(("set_dof (set_dof_arrays)", t, True))
    model.set_cmat(MATERIAL)
    set_gravity(model)
    t_solver, _ = timed(lambda: model.set_solver(pos_dof, bc))
    phases.append(("set_solver", t_solver, True))
    t_assemble, _ = timed(model.assemble)
    phases.append(("assemble", t_assemble, True))
    t_again, _ = timed(lambda: model.set_solver(pos_dof, bc))
    phases.append(("set_solver again, same numbering", t_again, False))
    model.assemble()
    system.set_solution(model, system.load_vector(model))  # some displacement to show; no solve at this size
    plots = {}
    for name, call in (
        ("plot_dom", model.plot_dom),
        ("plot_dom_arrays", lambda: system.plot_dom_arrays(model)),
        ("plot_disp", model.plot_disp),
        ("plot_disp_arrays", lambda: system.plot_disp_arrays(model)),
    ):
        plots[name], result = timed(call)
        edges = len(result) if isinstance(result, dict) else len(result[0])
        del result
        phases.append((name if name.endswith("arrays") else name + " (dict)", plots[name], not name.endswith("arrays")))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024.0

    total = sum(t for _, t, counted in phases if counted)
    print(
        f"\nPart 1: unit cube N = {n}: {tets.shape[0]} elements, {pos_dof} unknowns, {edges} edges, "
        f"{system.worker_count()} workers"
    )
    print(f"{'phase':<34} {'seconds':>8} {'share':>7}")
    for name, t, counted in phases:
        share = f"{100 * t / total:6.1f}%" if counted else "      -"
        print(f"{name:<34} {t:>8.3f} {share:>7}")
    print(f"{'total (rows with a share)':<34} {total:>8.3f}")
    print(f"set_solver / assemble              {t_solver / t_assemble:8.2f}   (goal <= 1.5)")
    print(f"set_solver again / assemble        {t_again / t_assemble:8.2f}")
    for name in ("plot_dom", "plot_disp"):
        ours, whole = plots[name + "_arrays"], plots[name]
        print(
            f"{name}: dict {whole:.3f} s = the core's part (as arrays) {ours:.3f} s "
            f"+ Python objects {whole - ours:.3f} s; dict / arrays {whole / ours:.1f}"
        )
    print(f"peak resident memory {peak / 2**30:.2f} GiB, {peak / pos_dof:.0f} bytes per unknown")


def our_setup(n, repeats):
    """Medians of set_dof (dicts), set_dof_arrays and set_solver, each on a new model."""
    mesh, numbering, dofs = clamped_cube(n, axis=0)
    pts, tets, ver_dof, edge_dof, pos_dof, bc = build_core_inputs(mesh, numbering, dofs)
    arrays = core_arrays(numbering, dofs)
    times = {"set_dof": [], "set_solver": [], "set_dof_arrays": [], "set_solver (arrays)": []}
    for _ in range(repeats):
        _time_core_setup(quarvex.Nexus(pts, tets), times, "", lambda m: m.set_dof(ver_dof, edge_dof), pos_dof, bc)
        _time_core_setup(
            system.nexus_from_arrays(mesh.points, mesh.tetrahedra),
            times,
            " (arrays)",
            lambda m: system.set_dof_arrays(m, *arrays),
            pos_dof,
            bc,
        )
    return times


def _time_core_setup(model, times, label, set_dof, pos_dof, bc):
    """Times set_dof (as `set_dof(model)`) and set_solver on a new model; the model is freed after."""
    times["set_dof_arrays" if label else "set_dof"].append(timed(lambda: set_dof(model))[0])
    times["set_solver" + label].append(timed(lambda: model.set_solver(pos_dof, bc))[0])


def dolfinx_setup(anchor, n, repeats):
    """dolfinx's dof map (edges + space) and matrix creation on one process, from its anchor script."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "dolfinx.json")
        environment = dict(os.environ, OMP_NUM_THREADS="1")
        subprocess.run(
            [
                "/usr/bin/python3",
                anchor,
                "--N",
                str(n),
                "--reps",
                str(repeats),
                "--no-solve",
                "--nmult",
                "3",
                "--json",
                out,
            ],
            cwd=scratch,
            env=environment,
            check=True,
            stdout=subprocess.DEVNULL,
        )
        with open(out) as handle:
            result = json.load(handle)["results"][0]
    return result["a_space"], result["b_matcreate"]


def small_model(n, anchor, repeats):
    times = our_setup(n, repeats)
    peer = dolfinx_setup(anchor, n, repeats) if anchor else None
    for name, values in our_setup(n, repeats).items():
        times[name] += values
    median = {name: statistics.median(values) for name, values in times.items()}
    ours_dicts = median["set_dof"] + median["set_solver"]
    ours_arrays = median["set_dof_arrays"] + median["set_solver (arrays)"]
    print(
        f"Part 2: unit cube N = {n}, set-up on a new model, medians of {2 * repeats} "
        f"(dolfinx: of {repeats}), {system.worker_count()} workers"
    )
    print(f"{'':<28} {'set_dof':>8} {'set_solver':>10} {'sum':>8} {'/ dolfinx':>9}")
    for label, dof, solver, total in (
        ("ours, set_dof from dicts", median["set_dof"], median["set_solver"], ours_dicts),
        ("ours, set_dof_arrays", median["set_dof_arrays"], median["set_solver (arrays)"], ours_arrays),
    ):
        ratio = f"{total / sum(peer):9.2f}" if peer else "        -"
        print(f"{label:<28} {dof:>8.4f} {solver:>10.4f} {total:>8.4f} {ratio}")
    if peer:
        print(
            f"{'dolfinx, 1 process':<28} {peer[0]:>8.4f} {peer[1]:>10.4f} {sum(peer):>8.4f} {1.0:9.2f}"
            "   (dof map: edges + space; matrix: create_matrix)"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=55, help="cells per side of the large model (0: skip part 1)")
    parser.add_argument("--small", type=int, default=20, help="cells per side of part 2 (0: skip it)")
    parser.add_argument("--anchor", default=None, help="dolfinx's anchor script bench_dolfinx.py")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print(load_text())
    # The small model first: after the large one, the allocator may hand it memory already
    # mapped, which a new process does not have.
    if args.small > 0:
        small_model(args.small, args.anchor, args.repeats)
    if args.n > 0:
        large_model(args.n)
    print(load_text())


if __name__ == "__main__":
    main()
