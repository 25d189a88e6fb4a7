"""An L-bracket: from a gmsh geometry to von Mises stresses, a VTU file and a picture.

Two 60 x 20 x 10 mm steel arms meet at a right angle: one lies along x, the other stands along z.
The standing arm is clamped at its top end (z = 60 mm); the lying arm carries a downward
traction of 1 MPa on its end (x = 60 mm, 200 mm², so 200 N) and the bracket its own weight.
Units: mm, N, MPa (and tonnes for the density).

Needs gmsh, meshio and matplotlib: pip install ".[all]".
Usage: python3 examples/bracket.py
Writes bracket.msh, bracket.vtu (open it in ParaView) and bracket.png in the current directory.
"""

from quarvex_tools import Elasticity, isotropic, read_mesh
from quarvex_tools.units import Units, format_quantity

ARM, WIDTH, THICKNESS = 60.0, 20.0, 10.0  # mm
DENSITY, GRAVITY = 7.85e-9, 9810.0  # t/mm³ and mm/s²: their product is a force per volume in N/mm³


def mesh_bracket(path: str, size: float = 2.5) -> None:
    """Meshes the bracket with gmsh: groups "bracket" (the volume), "clamp" (z = ARM) and "load" (x = ARM)."""
    import gmsh

    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        lying = gmsh.model.occ.addBox(0, 0, 0, ARM, WIDTH, THICKNESS)
        standing = gmsh.model.occ.addBox(0, 0, 0, THICKNESS, WIDTH, ARM)
        gmsh.model.occ.fuse([(3, lying)], [(3, standing)])
        gmsh.model.occ.synchronize()

        def face_at(axis: int, level: float) -> list[int]:
            """Faces lying in the plane coordinate[axis] = level."""
            return [
                tag
                for _, tag in gmsh.model.getEntities(2)
                if abs(gmsh.model.getBoundingBox(2, tag)[axis] - level) < 1e-6
                and abs(gmsh.model.getBoundingBox(2, tag)[axis + 3] - level) < 1e-6
            ]

        gmsh.model.addPhysicalGroup(3, [tag for _, tag in gmsh.model.getEntities(3)], name="bracket")
        gmsh.model.addPhysicalGroup(2, face_at(2, ARM), name="clamp")
        gmsh.model.addPhysicalGroup(2, face_at(0, ARM), name="load")
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.model.mesh.generate(3)
        gmsh.write(path)
    finally:
        gmsh.finalize()


def main() -> None:
    mesh_bracket("bracket.msh")
    mesh = read_mesh("bracket.msh")  # groups: bracket, clamp, load
    model = Elasticity(
        mesh,
        isotropic(E=210e3, nu=0.3),  # steel, E in MPa
        units=Units(length="mm", force="N"),
    )  # labels: stresses in MPa, energies in mJ
    model.fix("clamp")  # the standing arm's top end, clamped
    model.traction("load", (0.0, 0.0, -1.0))  # 1 MPa downward on the lying arm's end
    model.body_force((0.0, 0.0, -DENSITY * GRAVITY))  # its own weight
    result = model.solve(rtol=1e-8)

    von_mises = result.field("von_mises")
    largest, _ = result.max_displacement
    print(f"mesh: {len(mesh.points)} points, {len(mesh.tetrahedra)} tetrahedra")
    print(f"solve: {result.report.iterations} iterations, converged: {result.report.converged}")
    print(
        f"largest displacement {format_quantity(largest, 'mm')}, "
        f"largest von Mises stress {format_quantity(von_mises.max(), 'MPa')}"
    )
    weight = DENSITY * GRAVITY * mesh.volume()
    print(
        f"clamp reaction: {format_quantity(result.reactions('clamp').force[2], 'N', 5)} upward, against the "
        f"200 N load and the weight {format_quantity(weight, 'N')}"
    )
    result.write("bracket.vtu", fields=("von_mises", "displacement"))
    result.plot(
        "bracket.png",
        field="von_mises",
        elev=25.0,
        azim=-60.0,
        title="L-bracket: von Mises stress under a 200 N end load and its own weight",
    )
    print("wrote bracket.msh, bracket.vtu and bracket.png")


if __name__ == "__main__":
    main()
