"""A clamped cantilever beam under its own weight.

The beam [0, L] x [0, W] x [0, H] is clamped at x = 0 and loaded by gravity. The script
meshes it, numbers the quadratic nodes, assembles, solves, and compares the deflection at
the free end with Euler-Bernoulli beam theory, w = q L^4 / (8 E I).
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import quarvex  # noqa: E402
from box_mesh import box_mesh, isotropic_cmat, p2_numbering  # noqa: E402

LENGTH, WIDTH, HEIGHT = 10.0, 1.0, 1.0
YOUNG, POISSON = 210e9, 0.3
DENSITY, GRAVITY = 7850.0, 9.81
CELLS = (30, 3, 3)


def timed(label, timings, action):
    start = time.perf_counter()
    result = action()
    timings.append((label, time.perf_counter() - start))
    return result


def main():
    timings = []
    pts, tets = timed("mesh", timings, lambda: box_mesh(*CELLS, LENGTH, WIDTH, HEIGHT))
    clamped = lambda p: (0.0, 0.0, 0.0) if p[0] == 0.0 else None  # noqa: E731
    ver_dof, edge_dof, pos_dof, bc = timed("numbering", timings, lambda: p2_numbering(pts, tets, clamped))

    load = quarvex.Arena()
    for _ in range(3):
        load.new_var()  # x, y, z
    zero = load.new_cst(0.0)
    weight = load.new_cst(-DENSITY * GRAVITY)

    model = timed("Nexus", timings, lambda: quarvex.Nexus(pts, tets))
    timed("set_dof", timings, lambda: model.set_dof(ver_dof, edge_dof))
    model.set_cmat(isotropic_cmat(YOUNG, POISSON))
    model.set_f(0, set(), load, [zero, zero, weight])
    timed("set_solver", timings, lambda: model.set_solver(pos_dof, bc))
    timed("assemble", timings, model.assemble)
    timed("solve", timings, lambda: model.solve(1e-9))
    edges = timed("plot_disp", timings, model.plot_disp)

    # Mean vertical displacement of the vertices on the free end.
    tip = [points[0][2] - pts[i][2] for (i, _), points in edges.items() if pts[i][0] == LENGTH]
    deflection = sum(tip) / len(tip)
    inertia = WIDTH * HEIGHT**3 / 12.0
    beam_theory = -DENSITY * GRAVITY * WIDTH * HEIGHT * LENGTH**4 / (8.0 * YOUNG * inertia)

    print(f"mesh: {len(pts)} vertices, {len(tets)} tetrahedra, {pos_dof} free degrees of freedom")
    for label, seconds in timings:
        print(f"  {label:<11} {seconds:8.3f} s")
    print(f"tip deflection: {deflection:.6e} m  (beam theory {beam_theory:.6e} m, ratio {deflection / beam_theory:.4f})")


if __name__ == "__main__":
    main()
