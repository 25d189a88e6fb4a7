"""Ten load cases against one: what one assembly and one solver set-up for all cases save.

Usage: python3 benchmarks/load_cases.py [N] [repeats] [--separate]   (default 20 3)

The model: the unit cube of N^3 cells of six tetrahedra, E = 1, nu = 0.3, clamped on "zmin"; the
default case carries the body force (0, 0, -1), nine more cases tractions on the other faces. The
runs of one case (`model.solve`) and of ten cases (`model.solve_cases`) alternate, so that a busy
machine slows both alike; the table gives their medians and the ratio. With --separate it also
times ten separate solves (each assembles and sets up again), once, for comparison.
"""

import statistics
import sys
import time

from quarvex_tools import Elasticity, box_mesh, isotropic

FACES = ("xmin", "xmax", "ymin", "ymax", "zmax")


def cube(n: int, cases: int) -> Elasticity:
    model = Elasticity(box_mesh(n, n, n), isotropic(E=1.0, nu=0.3))
    model.fix("zmin")
    model.body_force((0.0, 0.0, -1.0))
    for k in range(1, cases):
        with model.load_case(f"case {k}"):
            model.traction(FACES[k % len(FACES)], (0.1 * k, -0.05 * k, 1.0))
    return model


def timed(action) -> float:
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def main() -> None:
    numbers = [int(arg) for arg in sys.argv[1:] if not arg.startswith("--")]
    n = numbers[0] if numbers else 20
    repeats = numbers[1] if len(numbers) > 1 else 3
    model = cube(n, 10)
    one, ten = [], []
    for _ in range(repeats):
        one.append(timed(lambda: model.solve(method="amg")))
        ten.append(timed(lambda: model.solve_cases(method="amg")))
    results = model.solve_cases(method="amg")
    steps = [result.report.iterations for result in results.values()]
    print(
        f"unit cube N = {n}, {len(model.numbering.node_points) * 3} unknowns, multigrid, rtol 1e-8; "
        f"median of {repeats} alternating runs"
    )
    print(f"{'run':<32}{'seconds':>10}{'ratio':>8}")
    one_case, ten_cases = statistics.median(one), statistics.median(ten)
    print(f"{'one case (solve)':<32}{one_case:>10.2f}{1.0:>8.2f}")
    print(f"{'ten cases (solve_cases)':<32}{ten_cases:>10.2f}{ten_cases / one_case:>8.2f}")
    if "--separate" in sys.argv:
        separate = timed(lambda: [model.solve(method="amg", case=name) for name in model.load_cases])
        print(f"{'ten separate solves':<32}{separate:>10.2f}{separate / one_case:>8.2f}")
    print(f"iterations per case: {steps}")


if __name__ == "__main__":
    main()
