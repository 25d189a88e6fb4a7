"""The stress concentration at a circular hole in a plate under tension: curved against straight-sided elements.

A quarter of the plate 2L x 2W = 4 x 2 with a central hole of radius R = 0.25, half of its thickness t = 0.1
(0 <= z <= t / 2), on symmetry rollers on x = 0, y = 0 and the mid-plane z = 0, under the traction S = 1
along x on its end x = L (E = 1, nu = 0.3). gmsh meshes it (OpenCASCADE geometry) with second-order elements,
size h at the hole growing to 4 h at distance 1 from it, so that the hole's edge nodes lie on the circle (the
curved model); the straight model takes the same mesh with its edge nodes at the chords' midpoints.

The measure: K = sigma_xx / S at the hole's edge in the symmetry plane x = 0 and the mid-plane, the point
(0, R, 0) (a corner of the geometry, so a node of every mesh), with S the nominal (gross-section) stress;
sigma_xx is the node-averaged stress there (`Result.probe(..., averaged=True)`, the values `nodal_stress`
gives), the same on every mesh. The reference is the curved model on a mesh of size h_min / 2 (`--reference`
to choose another size). Per size the table gives the elements, the unknowns (3 per node), K of the curved and
of the straight model and their errors against the reference; then the coarsest size at which each error stays
within 0.5 % (on that size and every finer one), and the ratio of those sizes.

What it shows (one run, reference h = 0.00625, K = 3.27798; h = 0.004 gives 3.27868): curved K errs by -6.2,
-1.38, -0.45 and -0.11 % at h = 0.1, 0.05, 0.025, 0.0125, from below and falling steadily; straight K by -3.9,
+0.69, +0.14 and -0.001 %. Both stay within 0.5 % from h = 0.025 on: the ratio of sizes is 1, not 2. The
straight model is not more accurate but lucky: the measured node is a vertex of the polygon that replaces the
hole, where the material's boundary turns by 360 / n degrees into it (a re-entrant corner, where the polygonal
hole's own stress is weakly singular), and that overshoot cancels the discretisation's shortfall.
Its error changes sign between h = 0.1 and 0.05 and again at 0.0125; the curved one converges from one side.

Usage:
    python3 benchmarks/plate_hole.py [--sizes 0.1 0.05 0.025 0.0125] [--reference 0.00625]
    (needs gmsh: pip install ".[all]")
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import tempfile
import time

import numpy as np

from quarvex_tools import Elasticity, Mesh, isotropic, read_mesh

LENGTH, WIDTH, RADIUS, HALF_THICKNESS, TRACTION = 2.0, 1.0, 0.25, 0.05, 1.0
MATERIAL = isotropic(E=1.0, nu=0.3)
TARGET = 0.005  # the error in K both models are asked to stay within


def plate_mesh(size: float, folder: str) -> Mesh:
    """The quarter plate meshed by gmsh: size `size` at the hole, growing to 4 size at distance 1 from it."""
    import gmsh

    path = os.path.join(folder, f"plate_{size}.msh")
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("plate")
        box = gmsh.model.occ.addBox(0, 0, 0, LENGTH, WIDTH, HALF_THICKNESS)
        hole = gmsh.model.occ.addCylinder(0, 0, 0, 0, 0, HALF_THICKNESS, RADIUS)
        gmsh.model.occ.cut([(3, box)], [(3, hole)])
        gmsh.model.occ.synchronize()
        cylinder = [tag for dim, tag in gmsh.model.getEntities(2) if gmsh.model.getType(dim, tag) == "Cylinder"]
        distance = gmsh.model.mesh.field.add("Distance")
        gmsh.model.mesh.field.setNumbers(distance, "SurfacesList", cylinder)
        threshold = gmsh.model.mesh.field.add("Threshold")
        gmsh.model.mesh.field.setNumber(threshold, "InField", distance)
        gmsh.model.mesh.field.setNumber(threshold, "SizeMin", size)
        gmsh.model.mesh.field.setNumber(threshold, "SizeMax", 4 * size)
        gmsh.model.mesh.field.setNumber(threshold, "DistMin", 0.0)
        gmsh.model.mesh.field.setNumber(threshold, "DistMax", 1.0)
        gmsh.model.mesh.field.setAsBackgroundMesh(threshold)
        for option in ("Mesh.MeshSizeFromPoints", "Mesh.MeshSizeFromCurvature", "Mesh.MeshSizeExtendFromBoundary"):
            gmsh.option.setNumber(option, 0)
        gmsh.model.mesh.generate(3)
        gmsh.model.mesh.setOrder(2)
        gmsh.write(path)
    finally:
        gmsh.finalize()
    with contextlib.redirect_stdout(io.StringIO()):  # meshio's gmsh reader prints an empty line
        return read_mesh(path)


def concentration(mesh: Mesh) -> tuple[float, int]:
    """K = sigma_xx / S at (0, R, 0), node-averaged, and the unknowns of the model."""
    model = Elasticity(mesh, MATERIAL)
    for axis, name in enumerate("xyz"):
        model.fix(lambda p, axis=axis: np.abs(p[:, axis]) < 1e-9, components=name)
    model.traction(lambda p: np.abs(p[:, 0] - LENGTH) < 1e-9, (TRACTION, 0.0, 0.0))
    result = model.solve(rtol=1e-10)
    probe = result.probe((0.0, RADIUS, 0.0), "stress_xx", averaged=True)
    if not probe.inside.all():
        raise RuntimeError("the hole's edge point lies outside the mesh")
    return float(probe.values[0]) / TRACTION, 3 * model.numbering.n_nodes


def coarsest_within(sizes: list[float], errors: list[float]) -> float | None:
    """The coarsest size from which on (it and every finer one) the error stays within TARGET."""
    coarsest = None
    for size, error in sorted(zip(sizes, errors, strict=True)):
        if abs(error) > TARGET:
            break
        coarsest = size
    return coarsest


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=float, nargs="+", default=[0.1, 0.05, 0.025, 0.0125])
    parser.add_argument("--reference", type=float, default=None, help="size of the reference mesh (h_min / 2)")
    args = parser.parse_args()
    sizes = sorted(args.sizes, reverse=True)
    reference_size = args.reference if args.reference is not None else sizes[-1] / 2
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        reference_mesh = plate_mesh(reference_size, folder)
        reference, reference_unknowns = concentration(reference_mesh)
        print(
            f"reference: curved, h = {reference_size:g}, {len(reference_mesh.tetrahedra)} elements, "
            f"{reference_unknowns} unknowns, K = {reference:.5f} ({time.perf_counter() - start:.0f} s)"
        )
        del reference_mesh
        print(f"{'h':>8} {'elements':>9} {'unknowns':>9} {'K curved':>9} {'error':>8} {'K straight':>10} {'error':>8}")
        errors: dict[str, list[float]] = {"curved": [], "straight": []}
        for size in sizes:
            mesh = plate_mesh(size, folder)
            curved, unknowns = concentration(mesh)
            straight, _ = concentration(Mesh(mesh.points, mesh.tetrahedra))
            errors["curved"].append(curved / reference - 1)
            errors["straight"].append(straight / reference - 1)
            print(
                f"{size:8.4f} {len(mesh.tetrahedra):9d} {unknowns:9d} {curved:9.5f} "
                f"{100 * errors['curved'][-1]:7.3f}% {straight:10.5f} {100 * errors['straight'][-1]:7.3f}%"
            )
    reached = {kind: coarsest_within(sizes, errors[kind]) for kind in errors}
    for kind, size in reached.items():
        print(f"{kind}: within {100 * TARGET:g} % from h = {size:g} on" if size else f"{kind}: never within")
    if reached["curved"] and reached["straight"]:
        print(f"ratio of the sizes (curved / straight): {reached['curved'] / reached['straight']:.2f} (target >= 2)")


if __name__ == "__main__":
    main()
