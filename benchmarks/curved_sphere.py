"""Curved against straight-sided 10-node tetrahedra on a thick sphere under internal pressure.

The octant of the shell between radii a = 1 and b = 2, on symmetry rollers on x = 0, y = 0, z = 0,
under pressure p = 1 inside (E = 1, nu = 0.3), meshed by gmsh at sizes 0.5, 0.25, 0.125 with
second-order elements (edge nodes on the spheres: curved) and the same meshes with their edge
nodes at the chord midpoints (straight). Lame's solution:
    u_r = p a^3 / (E (b^3 - a^3)) ((1 - 2 nu) r + (1 + nu) b^3 / (2 r^2)),
    sigma_hoop = p a^3 / (b^3 - a^3) (1 + b^3 / (2 r^3)).

Usage:
    python3 benchmarks/curved_sphere.py [--sizes 0.5 0.25 0.125 0.0625]   (needs gmsh: pip install ".[all]")

Per mesh it prints the unknowns, the displacement's L2 error against Lame's and its rate (by the
nominal size h, and by the unknowns N taking h ~ N^(-1/3): gmsh's meshes do not halve their elements'
size exactly, least of all on the coarsest, two elements across the wall); the hoop stress's error at
the element centroids relative to Lame's there: its largest ("hoop max", with its rate by the unknowns),
its RMS over the elements and the share of the elements erring by more than 1 %; the same three for
Lame's displacement interpolated at the nodes ("interp": what the elements can hold at best, no solve
involved); and the pressure's resultant (one component; by symmetry all three are equal). On the exact
sphere that resultant is p a^2 pi / 4 (the quarter disc the inner octant covers in each symmetry plane).
On a mesh it is the area that the mesh's own inner surface covers in the plane: the loaded surface, closed
by the three flat pieces of the symmetry planes, has a vector area of zero. "vs mesh" compares the
resultant with that area, integrated here along the quadratic (curved) or straight edges of the inner arc;
it measures the load integration alone, "vs pi/4" the geometry too. Last, the assembly's speed in
elements per second: the affine kernel against the isoparametric one, both over every element.

The hoop measure: the stress is the element's own, evaluated at the reference centroid (1/4, 1/4, 1/4),
whose image under the element's map (isoparametric on curved elements, affine on straight ones) is the
physical point x_c; the hoop stress is the mean of the normal stresses along the sphere's tangent plane
at x_c, (tr sigma - n . sigma n) / 2 with n = x_c / |x_c|, and Lame's is taken at |x_c|. The stress at
x_c agrees with central differences of the displacement field through `probe` to 1e-10, so the measure
reads what the elements hold.

One run (--sizes 0.5 0.25 0.125 0.0625; errors in % of Lame's at each centroid):

      mesh      h  unknowns   L2 error  rate N^1/3  hoop max N^1/3     rms  > 1 % interp max     rms  > 1 %
  straight  0.500      1782  5.668e-02               12.709%        6.635%  99.3%    13.885%  3.813%  73.5%
  straight  0.250      7827  1.591e-02  1.83  2.58    5.539%  1.68  1.965%  92.3%     6.133%  1.432%  28.0%
  straight  0.125     46311  4.702e-03  1.76  2.06    2.411%  1.40  0.585%   3.5%     2.550%  0.373%   3.5%
  straight  0.062    316500  1.140e-03  2.04  2.21    1.387%  0.86  0.144%   0.0%     0.658%  0.087%   0.0%
    curved  0.500      1782  6.033e-03               10.460%        2.651%  61.5%    13.702%  3.263%  72.1%
    curved  0.250      7827  1.342e-03  2.17  3.05    4.788%  1.58  0.980%  12.6%     6.095%  1.300%  25.9%
    curved  0.125     46311  2.222e-04  2.59  3.03    1.677%  1.77  0.252%   1.6%     2.596%  0.350%   2.9%
    curved  0.062    316500  2.676e-05  3.05  3.30    0.431%  2.12  0.057%   0.0%     0.674%  0.084%   0.0%

The pressure resultant matches the mesh's own enclosed area to 1.5e-15 on every mesh; against pi/4 the
curved meshes err by -3.5e-7 at h = 0.125 (straight -1.9e-3).

What the hoop columns show: at h = 0.125 the largest curved error, 1.68 %, misses 1 %, and Lame's own field
interpolated at the same nodes errs by 2.60 % at the same points: these meshes cannot hold even the exact
field within 1 % at every centroid by interpolation, the solve (1.68 %) already does better than that, and
1 % on the largest error is met from h = 0.0625 on (0.43 %). Of the elements beyond 1 % at h = 0.125 (158 of
9745, 1.6 %) all but one touch the inner surface, where the hoop stress (~ 1/r^3) varies fastest: among the
centroids at r < 1.1 the largest error is 1.68 % and the RMS 0.81 %, among those at r > 1.6 0.41 % and
0.10 %. Over all centroids the RMS is 0.25 % (curved) and 0.59 % (straight) at h = 0.125, within 1 % from
h = 0.25 (curved) and from 0.125 (straight). The curved solution errs less than the interpolant at every
size (its largest error falls at second order by the unknowns, as the stress of quadratic elements should);
the straight elements fall behind by their geometry, 1.39 % at h = 0.0625, twice their interpolant's error.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

import numpy as np

from quarvex_tools import Elasticity, Mesh, _native, isotropic, read_mesh, sqrt, system, x, y, z
from quarvex_tools.numbering import core_arrays, number_dofs, p2_nodes, p2_numbering
from quarvex_tools.p2 import tet_shape_values
from quarvex_tools.results import Result

INNER, OUTER, PRESSURE, E, NU = 1.0, 2.0, 1.0, 1.0, 0.3
SCALE = PRESSURE * INNER**3 / (OUTER**3 - INNER**3)
MATERIAL = isotropic(E=E, nu=NU)


def lame_displacement() -> tuple:
    """Lame's displacement as expressions: u = u_r(r) / r (x, y, z)."""
    r2 = x * x + y * y + z * z
    factor = SCALE / E * ((1 - 2 * NU) + (1 + NU) * OUTER**3 / (2 * r2 * sqrt(r2)))
    return (factor * x, factor * y, factor * z)


def lame_hoop(r: np.ndarray) -> np.ndarray:
    return SCALE * (1 + OUTER**3 / (2 * r**3))


def shell_mesh(size: float, folder: str) -> Mesh:
    """The octant shell meshed by gmsh with second-order elements (edge nodes on the spheres)."""
    path = os.path.join(folder, f"shell_{size}.msh")
    write_shell_mesh(size, path)
    return read_mesh(path)


def write_shell_mesh(size: float, path: str) -> None:
    """Writes the octant shell's second-order gmsh mesh of size `size` to `path`."""
    import gmsh

    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("shell")
        outer = gmsh.model.occ.addSphere(0, 0, 0, OUTER, angle1=0, angle2=np.pi / 2, angle3=np.pi / 2)
        inner = gmsh.model.occ.addSphere(0, 0, 0, INNER, angle1=0, angle2=np.pi / 2, angle3=np.pi / 2)
        gmsh.model.occ.cut([(3, outer)], [(3, inner)])
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.option.setNumber("Mesh.MeshSizeMin", size)
        gmsh.model.mesh.generate(3)
        gmsh.model.mesh.setOrder(2)
        gmsh.write(path)
    finally:
        gmsh.finalize()


def on_inner(p: np.ndarray) -> np.ndarray:
    return np.linalg.norm(p, axis=1) < INNER + 1e-6


def model_of(mesh: Mesh) -> Elasticity:
    model = Elasticity(mesh, MATERIAL)
    for axis in range(3):
        model.fix(lambda p, axis=axis: np.abs(p[:, axis]) < 1e-9, components="xyz"[axis])
    model.pressure(on_inner, PRESSURE)
    return model


def enclosed_area(mesh: Mesh) -> float:
    """The area that the inner surface's faces cover in the plane x = 0: (1/2) |integral of y dz - z dy| along
    the edges of those faces that lie in the plane (the axes add nothing), by the 2-point Gauss rule, exact for
    the quadratic edges."""
    nodes = p2_nodes(mesh.points, mesh.tetrahedra, mesh.edge_points)  # node n + k is edge k
    faces = mesh.boundary_faces()[0]
    faces = faces[on_inner(mesh.points)[faces].all(axis=1)]
    pairs = np.unique(np.sort(faces[:, [[0, 1], [1, 2], [0, 2]]].reshape(-1, 2), axis=1), axis=0)
    pairs = pairs[(np.abs(mesh.points[pairs][:, :, 0]) < 1e-9).all(axis=1)]
    edge = np.searchsorted(
        nodes.edges[:, 0] * len(mesh.points) + nodes.edges[:, 1], pairs[:, 0] * len(mesh.points) + pairs[:, 1]
    )
    start, end = mesh.points[pairs[:, 0]], mesh.points[pairs[:, 1]]
    middle = nodes.node_points[len(mesh.points) + edge]
    backwards = np.arctan2(start[:, 2], start[:, 1]) > np.arctan2(end[:, 2], end[:, 1])
    start[backwards], end[backwards] = end[backwards], start[backwards].copy()
    total = 0.0
    for t in (0.5 - 0.5 / np.sqrt(3), 0.5 + 0.5 / np.sqrt(3)):
        # x(t) = start (1 - t)(1 - 2t) + end t (2t - 1) + middle 4 t (1 - t)
        point = start * (1 - t) * (1 - 2 * t) + end * t * (2 * t - 1) + middle * 4 * t * (1 - t)
        tangent = start * (4 * t - 3) + end * (4 * t - 1) + middle * (4 - 8 * t)
        total += 0.5 * float(np.sum(point[:, 1] * tangent[:, 2] - point[:, 2] * tangent[:, 1]))
    return 0.5 * abs(total)


def interpolated(model: Elasticity) -> Result:
    """Lame's displacement at the model's nodes (edge nodes where the mesh puts them), as a result without a solve."""
    nodes = model.numbering.node_points
    radius = np.linalg.norm(nodes, axis=1)
    factor = SCALE / E * ((1 - 2 * NU) + (1 + NU) * OUTER**3 / (2 * radius**3))
    return Result(model, factor[:, None] * nodes, report=None)


def centroid_hoop_errors(result: Result) -> np.ndarray:
    """(m,) |hoop stress - Lame's| / Lame's at each element's centroid: the map's image of the reference centroid,
    where the stress is evaluated, with the hoop stress the mean of the normal stresses along the sphere there
    (Lame's is the same along every tangent)."""
    centre = np.full((1, 3), 0.25)
    stress = result.stress(centre)[:, 0]
    numbering = result.model.numbering
    point = tet_shape_values(centre)[0] @ numbering.node_points[numbering.element_nodes]  # (m, 3)
    radius = np.linalg.norm(point, axis=1)
    radial = point / radius[:, None]
    hoop = 0.5 * (np.trace(stress, axis1=1, axis2=2) - np.einsum("ei,eij,ej->e", radial, stress, radial))
    exact = lame_hoop(radius)
    return np.abs(hoop - exact) / exact


def share_text(errors: np.ndarray) -> str:
    """The RMS of relative errors and the share of them above 1 %, as table columns."""
    return f"{100 * np.sqrt(np.mean(errors**2)):6.3f}% {100 * np.mean(errors > 0.01):5.1f}%"


def assembly_rate(mesh: Mesh, curved: bool, repeats: int = 3) -> float:
    """Elements per second of the affine or the isoparametric kernel over every element (best of `repeats`)."""
    numbering = p2_numbering(mesh)
    free = np.zeros((numbering.n_nodes, 3), dtype=bool)
    dofs = number_dofs(numbering, free, np.zeros((numbering.n_nodes, 3)), keep_rows=True)
    every = np.arange(len(mesh.tetrahedra), dtype=np.int64)
    edge_points = np.ascontiguousarray(numbering.node_points[numbering.element_nodes[:, 4:]].reshape(-1, 18))
    best = np.inf
    for _ in range(repeats):
        nexus = system.nexus_from_arrays(mesh.points, mesh.tetrahedra)
        system.set_dof_arrays(nexus, *core_arrays(numbering, dofs))
        nexus.set_cmat(MATERIAL.matrix.tolist())
        nexus.set_solver(dofs.n_free, dofs.bc.tolist())
        start = time.perf_counter()
        if curved:
            _native.assemble_curved(nexus, every, edge_points)
        else:
            nexus.assemble()
        best = min(best, time.perf_counter() - start)
        del nexus
    return len(mesh.tetrahedra) / best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=float, nargs="+", default=[0.5, 0.25, 0.125])
    args = parser.parse_args()
    exact = lame_displacement()
    quarter = PRESSURE * INNER**2 * np.pi / 4
    print(
        f"{'mesh':>9} {'h':>6} {'unknowns':>9} {'L2 error':>10} {'rate':>5} {'N^1/3':>5} {'hoop max':>9} {'N^1/3':>5} "
        f"{'rms':>7} {'> 1 %':>6} {'interp max':>10} {'rms':>7} {'> 1 %':>6} "
        f"{'resultant':>11} {'vs pi/4':>9} {'vs mesh':>9}"
    )
    speeds = []
    with tempfile.TemporaryDirectory() as folder:
        meshes = [(size, shell_mesh(size, folder)) for size in args.sizes]
        for kind in ("straight", "curved"):
            previous = None
            for size, curved_mesh in meshes:
                mesh = curved_mesh if kind == "curved" else Mesh(curved_mesh.points, curved_mesh.tetrahedra)
                model = model_of(mesh)
                resultant = float(model.nodal_loads.sum(axis=0)[0])
                result = model.solve(rtol=1e-11)
                error = result.l2_error(exact)
                unknowns = 3 * model.numbering.n_nodes
                hoop = centroid_hoop_errors(result)
                best = centroid_hoop_errors(interpolated(model))
                rate = by_unknowns = hoop_rate = ""
                if previous is not None:
                    rate = f"{np.log(previous[1] / error) / np.log(previous[0] / size):5.2f}"
                    by_unknowns = f"{3 * np.log(previous[1] / error) / np.log(unknowns / previous[2]):5.2f}"
                    hoop_rate = f"{3 * np.log(previous[3] / hoop.max()) / np.log(unknowns / previous[2]):5.2f}"
                previous = (size, error, unknowns, hoop.max())
                hoop_columns = f"{100 * hoop.max():8.3f}% {hoop_rate:>5} {share_text(hoop)}"
                print(
                    f"{kind:>9} {size:6.3f} {unknowns:9d} {error:10.3e} {rate:>5} {by_unknowns:>5} "
                    f"{hoop_columns} {100 * best.max():9.3f}% {share_text(best)} "
                    f"{resultant:11.8f} {resultant - quarter:9.2e} {resultant - enclosed_area(mesh):9.2e}"
                )
        size, mesh = meshes[-1]
        affine, isoparametric = assembly_rate(mesh, False), assembly_rate(mesh, True)
        speeds.append((size, len(mesh.tetrahedra), affine, isoparametric))
    for size, elements, affine, isoparametric in speeds:
        print(
            f"assembly at h = {size}: {elements} elements, affine {affine:,.0f} /s, isoparametric "
            f"{isoparametric:,.0f} /s ({isoparametric / affine:.2f} of affine)"
        )


if __name__ == "__main__":
    main()
