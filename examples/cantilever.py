"""A clamped cantilever beam under its own weight.

The steel beam [0, L] x [0, W] x [0, H] is clamped at x = 0 and loaded by gravity. The
script meshes it, solves, compares the deflection at the free end with Euler-Bernoulli beam
theory, w = q L^4 / (8 E I), and writes cantilever.vtu (open it in ParaView) and
cantilever.png (the deformed beam coloured by von Mises stress).

Usage: python3 examples/cantilever.py [output directory]   (default: the current directory)
"""

import os
import sys
import time

import numpy as np

from quarvex_tools import Elasticity, box_mesh, isotropic

LENGTH, WIDTH, HEIGHT = 10.0, 1.0, 1.0
YOUNG, POISSON = 210e9, 0.3
DENSITY, GRAVITY = 7850.0, 9.81
CELLS = (30, 3, 3)


def main() -> None:
    out_dir = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out_dir, exist_ok=True)
    start = time.perf_counter()

    mesh = box_mesh(*CELLS, size=(LENGTH, WIDTH, HEIGHT))
    model = Elasticity(mesh, isotropic(E=YOUNG, nu=POISSON))
    model.fix("xmin")  # clamped end: every component of every node on x = 0
    model.body_force((0.0, 0.0, -DENSITY * GRAVITY))
    result = model.solve(rtol=1e-8)
    solved = time.perf_counter()

    # Mean vertical displacement of the vertices on the free end, each counted once.
    vertices = np.arange(len(mesh.points))
    tip = vertices[mesh.points[:, 0] == LENGTH]
    deflection = result.displacement[tip, 2].mean()
    inertia = WIDTH * HEIGHT**3 / 12.0
    beam_theory = -DENSITY * GRAVITY * WIDTH * HEIGHT * LENGTH**4 / (8.0 * YOUNG * inertia)

    vtu = os.path.join(out_dir, "cantilever.vtu")
    png = os.path.join(out_dir, "cantilever.png")
    result.write(vtu)
    scale = result.plot(png, field="von_mises", unit="Pa", title="Cantilever under its own weight: von Mises stress")

    report = result.report
    print(f"mesh: {len(mesh.points)} points, {len(mesh.tetrahedra)} tetrahedra, {model.dofs.n_free} unknowns")
    print(
        f"solve: {report.iterations} multigrid CG iterations, residual {report.residual_norm:.2e} "
        f"= {report.residual_norm / report.rhs_norm:.1e} x |load|, converged: {report.converged}, "
        f"{solved - start:.2f} s from mesh to solution"
    )
    print(
        f"tip deflection: {deflection:.6e} m  (beam theory {beam_theory:.6e} m, ratio {deflection / beam_theory:.4f})"
    )
    weight = DENSITY * GRAVITY * LENGTH * WIDTH * HEIGHT
    support = result.reactions("xmin").force[2]
    print(
        f"support reaction: {support:.6e} N upward against the weight {weight:.6e} N "
        f"(balance {abs(support - weight) / weight:.1e})"
    )
    print(f"largest von Mises stress: {result.field('von_mises').max():.4e} Pa")
    print(f"wrote {vtu} (ParaView) and {png} (displacements drawn {scale:g} x)")


if __name__ == "__main__":
    main()
