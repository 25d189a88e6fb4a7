"""What building for the machine's own processor (-march=native) gains over the portable default
(-march=x86-64-v3): the sparse product, the assembly and the multigrid solve, the two builds
alternating so that the machine's load weighs on both alike.

Usage:
    python3 benchmarks/native_build.py [--n 24] [--repeats 5] [--no-build]

Builds the C++ benchmarks twice (build/bench-portable, build/bench-native; --no-build reuses
them), then runs, `repeats` times for each build in turn, `system_bench N` (assembly, one
product, one CG iteration) and `amg_bench --sizes N --no-cg --no-others --repeats 1` (multigrid
set-up and solve on the clamped cube), and prints the medians with native / portable.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILDS = {"portable": "OFF", "native": "ON"}


def build(name: str, native: str) -> str:
    folder = os.path.join(ROOT, "build", f"bench-{name}")
    subprocess.run(
        [
            "cmake",
            "-S",
            ROOT,
            "-B",
            folder,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DQUARVEX_BUILD_MODULE=OFF",
            "-DQUARVEX_BUILD_BENCHMARKS=ON",
            f"-DQUARVEX_NATIVE={native}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(
        ["cmake", "--build", folder, "--parallel", "2", "--target", "system_bench", "amg_bench"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return folder


def row(output: str, n: int) -> list[float]:
    """The numbers of the table row that starts with size `n`."""
    for line in output.splitlines():
        fields = line.split()
        if fields and fields[0] == str(n):
            return [float(value) for value in fields[:12]]
    raise RuntimeError(f"no row for N = {n} in:\n{output}")


def measure(folder: str, n: int) -> dict[str, float]:
    system = subprocess.run(
        [os.path.join(folder, "system_bench"), str(n)], check=True, capture_output=True, text=True
    ).stdout
    amg = subprocess.run(
        [os.path.join(folder, "amg_bench"), "--sizes", str(n), "--no-cg", "--no-others", "--repeats", "1"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    # Columns: system_bench N, elements, dofs, nnz, assemble, elem/s, mul_vec, GB/s, bound, ratio,
    # cg iter; amg_bench N, unknowns, assemble, CG its, CG time, setup, PCG its, solve.
    product, multigrid = row(system, n), row(amg, n)
    return {
        "assembly s": product[4],
        "product ms": 1e3 * product[6],
        "CG iteration ms": 1e3 * product[10],
        "multigrid set-up s": multigrid[5],
        "multigrid solve s": multigrid[7],
        "multigrid its": multigrid[6],
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=24)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--no-build", action="store_true")
    args = parser.parse_args()
    folders = {
        name: os.path.join(ROOT, "build", f"bench-{name}") if args.no_build else build(name, flag)
        for name, flag in BUILDS.items()
    }
    runs: dict[str, list[dict[str, float]]] = {name: [] for name in BUILDS}
    for _ in range(args.repeats):
        for name, folder in folders.items():
            runs[name].append(measure(folder, args.n))
    print(f"unit cube N = {args.n}, medians of {args.repeats} alternating runs, load average {os.getloadavg()[0]:.1f}")
    print(f"{'':22s} {'x86-64-v3':>10s} {'native':>10s} {'native / v3':>12s}")
    for key in runs["portable"][0]:
        portable = statistics.median(run[key] for run in runs["portable"])
        native = statistics.median(run[key] for run in runs["native"])
        print(f"{key:22s} {portable:10.4g} {native:10.4g} {native / portable:12.3f}")


if __name__ == "__main__":
    sys.exit(main())
