"""A plate with a central circular hole under tension: the stress concentration factor.

A plate of length L, width W and thickness T with a hole of diameter d through its
thickness at the centre is pulled by a uniform traction S on its ends. By symmetry one
eighth of it is modelled: x, y, z >= 0 from the hole's centre, meshed with gmsh (finer near
the hole), with rollers on the three symmetry planes and the traction on the end x = L/2.
The largest sigma_xx on the hole's surface, divided by the net-section
stress S W / (W - d), is the net stress concentration factor. The script prints it beside
Heywood's formula for a finite-width plate,

    Kt_net = 2 + (1 - d/W)^3     (R. B. Heywood, Designing by Photoelasticity, 1952)

which gives 2.512 for d/W = 0.2 and agrees with Howland's (1930) series solution as charted
in Peterson's Stress Concentration Factors (chart 4.1: 2.51 at d/W = 0.2). On the gross
stress S this is Kt = 3.14; an infinite plate gives 3. The plate is thin (T = d/5), so the
through-thickness variation of the factor is small.

Needs gmsh, meshio and matplotlib: pip install ".[all]".
Usage: python3 examples/plate_with_hole.py [element size at the hole]   (default d/16)
Writes plate_with_hole.msh, plate_with_hole.vtu and plate_with_hole.png in the current directory.
"""

import sys
import time

from quarvex_tools import Elasticity, isotropic, read_mesh
from quarvex_tools.units import Units

LENGTH, WIDTH, THICKNESS, DIAMETER = 200.0, 50.0, 2.0, 10.0  # mm
STRESS = 100.0  # MPa, traction on the end x = L
FAR_SIZE = 4.0  # mm, element size far from the hole
YOUNG, POISSON = 210e3, 0.3  # MPa


def mesh_plate(path: str, size_at_hole: float) -> None:
    """Meshes one eighth of the plate with gmsh: x, y, z >= 0 around the hole's centre at the origin.

    Elements have size_at_hole on the hole and grow to FAR_SIZE away from it.
    """
    import gmsh

    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("plate_with_hole")
        plate = gmsh.model.occ.addBox(0, 0, 0, LENGTH / 2, WIDTH / 2, THICKNESS / 2)
        hole = gmsh.model.occ.addCylinder(0, 0, 0, 0, 0, THICKNESS / 2, DIAMETER / 2)
        gmsh.model.occ.cut([(3, plate)], [(3, hole)])
        gmsh.model.occ.synchronize()

        def faces_where(test):
            """Faces by their bounding box (low x, y, z, high x, y, z)."""
            return [tag for _, tag in gmsh.model.getEntities(2) if test(gmsh.model.getBoundingBox(2, tag))]

        hole_faces = faces_where(
            lambda box: box[3] < DIAMETER / 2 + 1e-6 and box[4] < DIAMETER / 2 + 1e-6 and box[5] - box[2] > 1e-6
        )
        gmsh.model.addPhysicalGroup(3, [t for _, t in gmsh.model.getEntities(3)], name="plate")
        gmsh.model.addPhysicalGroup(2, faces_where(lambda box: box[3] < 1e-6), name="symmetry_x")
        gmsh.model.addPhysicalGroup(2, faces_where(lambda box: box[4] < 1e-6), name="symmetry_y")
        gmsh.model.addPhysicalGroup(2, faces_where(lambda box: box[5] < 1e-6), name="symmetry_z")
        gmsh.model.addPhysicalGroup(2, faces_where(lambda box: box[0] > LENGTH / 2 - 1e-6), name="end")
        gmsh.model.addPhysicalGroup(2, hole_faces, name="hole")

        distance = gmsh.model.mesh.field.add("Distance")
        gmsh.model.mesh.field.setNumbers(distance, "SurfacesList", hole_faces)
        grading = gmsh.model.mesh.field.add("Threshold")
        gmsh.model.mesh.field.setNumber(grading, "InField", distance)
        gmsh.model.mesh.field.setNumber(grading, "SizeMin", size_at_hole)
        gmsh.model.mesh.field.setNumber(grading, "SizeMax", FAR_SIZE)
        gmsh.model.mesh.field.setNumber(grading, "DistMin", 0.1 * DIAMETER)
        gmsh.model.mesh.field.setNumber(grading, "DistMax", 3.0 * DIAMETER)
        gmsh.model.mesh.field.setAsBackgroundMesh(grading)
        gmsh.option.setNumber("Mesh.MeshSizeFromPoints", 0)
        gmsh.option.setNumber("Mesh.MeshSizeFromCurvature", 0)
        gmsh.option.setNumber("Mesh.MeshSizeExtendFromBoundary", 0)
        gmsh.model.mesh.generate(3)
        gmsh.write(path)
    finally:
        gmsh.finalize()


def main() -> None:
    size_at_hole = float(sys.argv[1]) if len(sys.argv) > 1 else DIAMETER / 16
    start = time.perf_counter()
    mesh_plate("plate_with_hole.msh", size_at_hole)
    meshed = time.perf_counter()

    mesh = read_mesh("plate_with_hole.msh")
    model = Elasticity(
        mesh, isotropic(E=YOUNG, nu=POISSON), units=Units(length="mm", force="N")
    )  # labels pictures and files: stresses in MPa
    for axis in "xyz":  # symmetry planes: rollers that keep the normal component at zero
        model.fix(f"symmetry_{axis}", components=axis)
    model.traction("end", (STRESS, 0.0, 0.0))
    result = model.solve(rtol=1e-8)
    solved = time.perf_counter()

    hole_nodes = model.nodes("hole")
    sigma_xx = result.nodal_stress()[:, 0, 0]
    peak = sigma_xx[hole_nodes].max()
    net_stress = STRESS * WIDTH / (WIDTH - DIAMETER)
    ratio = DIAMETER / WIDTH
    measured, classical = peak / net_stress, 2.0 + (1.0 - ratio) ** 3

    result.write("plate_with_hole.vtu", fields=("von_mises", "stress_xx"))
    # The box keeps the part near the hole, cut straight at x = 3 d.
    result.plot(
        "plate_with_hole.png",
        field="stress_xx",
        elev=50.0,
        azim=-115.0,
        box=((0.0, 0.0, 0.0), (3 * DIAMETER, WIDTH, THICKNESS)),
        title=f"Plate with a hole under {STRESS:g} MPa tension: sigma_xx near the hole (one eighth)",
    )

    report = result.report
    print(
        f"mesh: {len(mesh.points)} points, {len(mesh.tetrahedra)} tetrahedra (gmsh {meshed - start:.1f} s), "
        f"{model.dofs.n_free} unknowns"
    )
    print(f"solve: {report.iterations} multigrid CG iterations, converged: {report.converged}, {solved - meshed:.1f} s")
    print(f"largest sigma_xx at the hole: {peak:.2f} MPa; net-section stress {net_stress:.2f} MPa")
    print(
        f"stress concentration factor (net, d/W = {ratio:g}): measured {measured:.3f}, "
        f"Heywood 2 + (1 - d/W)^3 = {classical:.3f} ({100 * (measured / classical - 1):+.1f}%)"
    )
    print(f"on the gross stress: measured {peak / STRESS:.3f}, classical {classical / (1 - ratio):.3f}")
    print("wrote plate_with_hole.msh, plate_with_hole.vtu and plate_with_hole.png")


if __name__ == "__main__":
    main()
