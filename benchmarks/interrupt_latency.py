"""Ctrl-C latency of the long calls, and the cost of checking for it.

A helper process sends SIGINT to this process `delay` seconds into a call and records the
moment it sent it; the latency is the time from that moment to the KeyboardInterrupt.
The check itself (the interpreter's signal check, once per solver iteration) is timed
through ctypes, which only adds to its cost, and set beside one CG iteration.

    python3 benchmarks/interrupt_latency.py [N_solve] [N_setup] [N_multigrid]

The multigrid rows (set-up, refresh, the solve of one load and of ten together) signal at a
fifth, half and four fifths of the call's own time.
"""

import ctypes
import os
import subprocess
import sys
import time
import warnings

import numpy as np
from phases import MATERIAL, clamped_cube, set_gravity

import quarvex
import quarvex_tools
from quarvex_tools import system
from quarvex_tools.core_inputs import build_core_inputs

SENDER = (
    "import os, signal, sys, time; time.sleep(float(sys.argv[2])); print(time.monotonic(), flush=True); "
    "os.kill(int(sys.argv[1]), signal.SIGINT)"
)


def build(n, solver=True):
    """The cube of phases.py clamped at x = 0, through the core's own calls."""
    pts, tets, ver_dof, edge_dof, pos_dof, bc = build_core_inputs(*clamped_cube(n, axis=0))
    model = quarvex.Nexus(pts, tets)
    model.set_dof(ver_dof, edge_dof)
    model.set_cmat(MATERIAL)
    set_gravity(model)
    if solver:
        model.set_solver(pos_dof, bc)
    return model, pos_dof, bc


def latency(call, delay):
    """Seconds from the signal to the KeyboardInterrupt, or None when the call ended first."""
    sender = subprocess.Popen(
        [sys.executable, "-c", SENDER, str(os.getpid()), str(delay)], stdout=subprocess.PIPE, text=True
    )
    caught = None
    try:
        call()
        sender.kill()  # the call ended first: the signal must not reach what follows
    except KeyboardInterrupt:
        caught = time.monotonic()
    try:
        sent = sender.stdout.read()
    except KeyboardInterrupt:  # sent just as the call ended, before the kill
        sent = sender.stdout.read()
    sender.wait()
    return None if caught is None or not sent else caught - float(sent)


def main():
    n_solve = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    n_setup = int(sys.argv[2]) if len(sys.argv) > 2 else 40
    warnings.simplefilter("ignore", RuntimeWarning)
    rows = []

    model, pos_dof, _ = build(n_solve)
    model.assemble()
    small, small_dof, _ = build(max(2, n_solve // 2))
    small.assemble()
    start = time.perf_counter()
    small.solve(0.0)
    per_iteration = (time.perf_counter() - start) / small_dof
    rows.append(("solve", n_solve, [latency(lambda: model.solve(0.0), 1.0) for _ in range(3)]))

    big, big_dof, big_bc = build(n_setup, solver=False)
    rows.append(("set_solver", n_setup, [latency(lambda: big.set_solver(big_dof, big_bc), 0.05) for _ in range(3)]))
    big.set_solver(big_dof, big_bc)
    rows.append(("assemble", n_setup, [latency(big.assemble, 0.1) for _ in range(3)]))

    n_multigrid = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    cube = quarvex_tools.Elasticity(
        quarvex_tools.box_mesh(n_multigrid, n_multigrid, n_multigrid), quarvex_tools.isotropic(E=1.0, nu=0.3)
    )
    cube.fix("xmin")
    cube.body_force((0.0, 0.0, -1.0))
    nexus = cube.assemble()
    hierarchy = system.multigrid(nexus, cube.constraints)  # the first set-up also pays for fresh memory
    start = time.perf_counter()
    hierarchy = system.multigrid(nexus, cube.constraints)
    set_up = time.perf_counter() - start
    start = time.perf_counter()
    system.refresh_multigrid(nexus, hierarchy)
    refresh = time.perf_counter() - start
    rows.append(
        (
            "multigrid",
            n_multigrid,
            [latency(lambda: system.multigrid(nexus, cube.constraints), f * set_up) for f in (0.2, 0.5, 0.8)],
        )
    )
    rows.append(
        (
            "refresh",
            n_multigrid,
            [latency(lambda: system.refresh_multigrid(nexus, hierarchy), f * refresh) for f in (0.2, 0.5, 0.8)],
        )
    )

    # The multigrid solve of one load and of ten together (one step of ten loads on a large model
    # takes a good part of a second: the cycle checks at every level and between its products).
    system.refresh_multigrid(nexus, hierarchy)  # the interrupted refreshes above left it refused
    zero = np.zeros(len(system.load_vector(nexus)))
    loads = np.stack([system.load_vector(nexus) * (1.0 + k) for k in range(10)])
    for name, solve in (
        ("amg solve", lambda: system.solve_amg(nexus, rtol=1e-14, maxiter=60, hierarchy=hierarchy)),
        ("amg 10 loads", lambda: system.solve_amg_many(nexus, loads, rtol=1e-14, maxiter=60, hierarchy=hierarchy)),
    ):
        system.set_solution(nexus, zero)
        start = time.perf_counter()
        solve()
        seconds = time.perf_counter() - start
        rows.append((name, n_multigrid, [latency(solve, f * seconds) for f in (0.2, 0.5, 0.8)]))

    check = ctypes.pythonapi.PyErr_CheckSignals
    calls = 200_000
    start = time.perf_counter()
    for _ in range(calls):
        check()
    per_check = (time.perf_counter() - start) / calls

    print(f"{'call':<11} {'N':>3} {'latency, 3 runs (s)':>28}")
    for name, n, values in rows:
        text = ", ".join("ended first" if v is None else f"{v:.3f}" for v in values)
        print(f"{name:<11} {n:>3} {text:>28}")
    print(
        f"signal check {per_check * 1e9:.0f} ns (through ctypes) per CG iteration of "
        f"{per_iteration * 1e3:.3f} ms at N = {max(2, n_solve // 2)}: ratio {per_check / per_iteration:.2e}"
    )


if __name__ == "__main__":
    main()
