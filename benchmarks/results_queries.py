"""Times the queries on a result at about 10^6 elements: nodal stress recovery (against the element-block
loop it replaced, run here as the reference), stress measures, values at points and along a line, face
resultants, strain energy and the energy-norm error.

    python3 benchmarks/results_queries.py [--n 55] [--points 10000] [--matrix-n 12]

The displacement is a smooth field written on the nodes (no solve is needed to time the queries);
`--matrix-n` sets the box on which 1/2 u . K u (an assembly by the core) is timed beside the integral.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable

import numpy as np

from quarvex_tools import Elasticity, Result, box_mesh, isotropic, sin, x, y, z
from quarvex_tools.p2 import TET_NODES

EXACT = (1e-3 * sin(x) * y, 1e-3 * z * z, 1e-3 * x * y * z)


def smooth_result(n: int) -> Result:
    """A result on the unit cube of n^3 cells whose nodes carry EXACT."""
    model = Elasticity(box_mesh(n, n, n), isotropic(E=210e9, nu=0.3))
    points = model.numbering.node_points
    return Result(model, np.column_stack([c(points) for c in EXACT]), None)


def element_loop_nodal_stress(result: Result, chunk: int = 1 << 16) -> np.ndarray:
    """The recovery as it was: stresses at the nodes of blocks of elements, nine bincounts per block."""
    numbering = result.model.numbering
    total = np.zeros((numbering.n_nodes, 9))
    m = len(result.model.mesh.tetrahedra)
    for start in range(0, m, chunk):
        block = slice(start, min(start + chunk, m))
        stress = result.stress(TET_NODES, block).reshape(-1, 9)
        nodes = numbering.element_nodes[block].ravel()
        for k in range(9):
            total[:, k] += np.bincount(nodes, stress[:, k], numbering.n_nodes)
    count = np.bincount(numbering.element_nodes.ravel(), minlength=numbering.n_nodes)
    return (total / np.maximum(count, 1)[:, None]).reshape(-1, 3, 3)


def timed(call: Callable[[], object]) -> tuple[float, float, object]:
    """(wall seconds, CPU seconds of this process, value) of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    value = call()
    return time.perf_counter() - wall, time.process_time() - cpu, value


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=55)
    parser.add_argument("--points", type=int, default=10_000)
    parser.add_argument("--matrix-n", type=int, default=12)
    args = parser.parse_args()

    result = smooth_result(args.n)
    m, nodes = len(result.model.mesh.tetrahedra), len(result.displacement)
    print(f"box mesh N = {args.n}: {m:,} tetrahedra, {nodes:,} nodes\n")
    rows: list[tuple[str, float, float]] = []

    wall, cpu, reference = timed(lambda: element_loop_nodal_stress(result))
    rows.append(("nodal stress, element-block loop (reference)", wall, cpu))
    wall, cpu, recovered = timed(result.nodal_stress)
    rows.append(("nodal_stress()", wall, cpu))
    difference = float(np.abs(np.asarray(recovered) - np.asarray(reference)).max())
    del reference

    queries: list[tuple[str, Callable[[], object]]] = [
        ("field('von_mises')", lambda: result.field("von_mises")),
        ("field('tresca')", lambda: result.field("tresca")),
        ("principal_stresses() at the nodes", result.principal_stresses),
    ]
    rng = np.random.default_rng(1)
    points = rng.random((args.points, 3))
    queries += [
        (f"at({args.points:,} points), with the element grid", lambda: result.at(points)),
        (f"at({args.points:,} points) again", lambda: result.at(points)),
        (f"at({args.points:,} points, field='von_mises')", lambda: result.at(points, field="von_mises")),
        (
            f"at({args.points:,} points, field='stress', averaged=False)",
            lambda: result.at(points, field="stress", averaged=False),
        ),
        ("along(1,000 samples, 'von_mises')", lambda: result.along((0, 0.5, 0.5), (1, 0.5, 0.5), 1000, "von_mises")),
        ("face_resultant('xmax')", lambda: result.face_resultant("xmax")),
        ("face_mean('xmax', 'stress_xx')", lambda: result.face_mean("xmax", "stress_xx")),
        ("strain_energy()", result.strain_energy),
        ("energy_error(exact)", lambda: result.energy_error(EXACT)),
    ]
    for name, call in queries:
        wall, cpu, _ = timed(call)
        rows.append((name, wall, cpu))

    small = smooth_result(args.matrix_n)
    for name, method in (
        (f"strain_energy(method='integral'), N = {args.matrix_n}", "integral"),
        (f"strain_energy(method='matrix'), N = {args.matrix_n}", "matrix"),
    ):
        wall, cpu, _ = timed(lambda method=method: small.strain_energy(method=method))
        rows.append((name, wall, cpu))

    base = rows[0][2]
    width = max(len(name) for name, _, _ in rows)
    print(f"| {'query':<{width}} | wall s | CPU s | CPU / reference |")
    print(f"|{'-' * (width + 2)}|-------:|------:|----------------:|")
    for name, wall, cpu in rows:
        print(f"| {name:<{width}} | {wall:6.3f} | {cpu:5.2f} | {cpu / base:15.3f} |")
    print(f"\nlargest difference between the two recoveries: {difference:.3g} Pa")


if __name__ == "__main__":
    main()
