"""The stress concentration at a circular hole in a plate under tension: curved against straight-sided elements.

A quarter of the plate 2L x 2W = 4 x 2 with a central hole of radius R = 0.25, half of its thickness t = 0.1
(0 <= z <= t / 2), on symmetry rollers on x = 0, y = 0 and the mid-plane z = 0, under the traction S = 1
along x on its end x = L (E = 1, nu = 0.3). gmsh meshes it (OpenCASCADE geometry) with second-order elements,
size h at the hole growing to 4 h at distance 1 from it, so that the hole's edge nodes lie on the circle (the
curved model); the straight model takes the same mesh with its edge nodes at the chords' midpoints.

Four measures, all from the node-averaged stress (`Result.probe`'s default: the values `nodal_stress` gives,
interpolated in the element holding the point), on every mesh and both models alike, against the curved model on
a mesh of size h_min / 2 (`--reference` to choose another size):
- "K at node": K = sigma_xx / S at (0, R, 0), the hole's edge in the symmetry plane x = 0 and the mid-plane (a
  corner of the geometry, so a node of every mesh), with S the nominal (gross-section) stress; its error
  relative to the reference's K.
- Along the hole's edge at the mid-plane, sigma_theta_theta / S at 91 angles theta = 0, 1, ..., 90 degrees
  from the x axis (theta = 90 is the point of K): on the curved model at the points (R cos theta, R sin theta, 0)
  of the true circle, on the straight one where the ray from the hole's centre at theta meets its polygon (the
  chords of the hole faces' sides in the mid-plane); theta_hat = (-sin theta, cos theta, 0) on both. Against the
  reference on the circle: "edge max", the largest |error| over the angles relative to the reference's K
  ("at": its angle), "edge rms" the RMS of the errors relative to K, and "edge peak" the largest value along
  the edge ("peak") relative to the reference's largest.
Per size the table gives the elements, the unknowns (3 per node), and per model K, the peak and the four
errors; then for each measure the coarsest size at which the error stays within 0.5 % (on that size and every
finer one), and the ratio of the two models' sizes (the target: 2).

One run (load average 5.4 to 8.2 on the 2 cores, shared; 100 s, 77 of them the reference):

reference: curved, h = 0.00625, 123347 elements, 593874 unknowns, K = 3.27798; along the edge sigma_tt / S from
-1.21458 at 0 deg to 3.27798 at 90 deg, peak 3.27858 at 89 deg (h = 0.004, 454 180 elements, gives K = 3.27868)

      h    model elements unknowns        K K at node  edge max  at  edge rms     peak edge peak
 0.1000   curved      250     1713  3.07525   -6.185%    6.185%  90    1.850%  3.25669   -0.668%
 0.1000 straight      250     1713  3.15139   -3.862%    3.862%  90    1.199%  3.21183   -2.036%
 0.0500   curved      852     5481  3.23285   -1.377%    1.377%  90    0.484%  3.28027    0.052%
 0.0500 straight      852     5481  3.30056    0.689%    0.919%  78    0.380%  3.30115    0.688%
 0.0250   curved     3386    20970  3.26324   -0.450%    0.450%  90    0.151%  3.28091    0.071%
 0.0250 straight     3386    20970  3.28259    0.141%    0.633%  84    0.183%  3.28604    0.227%
 0.0125   curved    17624    97185  3.27449   -0.106%    0.122%  83    0.056%  3.27971    0.034%
 0.0125 straight    17624    97185  3.27793   -0.001%    0.206%  87    0.042%  3.28048    0.058%
K at node: within 0.5 % curved from h = 0.025, straight from h = 0.025; ratio of the sizes (curved / straight) 1.00
edge max: within 0.5 % curved from h = 0.025, straight from h = 0.0125; ratio of the sizes (curved / straight) 2.00
edge rms: within 0.5 % curved from h = 0.05, straight from h = 0.05; ratio of the sizes (curved / straight) 1.00
edge peak: within 0.5 % curved from h = 0.05, straight from h = 0.025; ratio of the sizes (curved / straight) 2.00

What it shows. At the single node (0, R, 0) both models reach 0.5 % at h = 0.025 (ratio 1), the straight one by
cancellation: that node is a vertex of the polygon that replaces the hole, where the material's boundary turns
by 360 / n degrees into it (a re-entrant corner, where the polygonal hole's own stress is weakly singular), and
that overshoot offsets the discretisation's shortfall; its error changes sign between h = 0.1 and 0.05 and again
at 0.0125, while the curved one falls steadily from below. Along the whole edge the cancellation is gone: the
straight model's largest error leaves the node (to 78 to 87 degrees from h = 0.05 on) and stays above 0.5 % down
to h = 0.025 (0.63 %), where the curved one is within it (0.45 %, at the node), so the curved mesh reaches 0.5 %
everywhere on the edge at twice the straight one's size; the peak value along the edge likewise (curved within
0.5 % from h = 0.05, straight from 0.025). On the coarse curved meshes the node is the least accurate point of
the edge: at h = 0.1 the curved peak along the edge, 3.2567, is 0.67 % low where the node's value is 6.2 % low.
The RMS along the edge is within 0.5 % on both from h = 0.05 (0.48 % curved, 0.38 % straight: ratio 1). The
curved margin is thin at h = 0.025 (0.45 % against 0.5 %). Its largest edge errors sit at the arc's vertices,
where the stress of quadratic elements is least accurate: at h = 0.05 (against the reference h = 0.0125) the
node-averaged hoop stress errs by -1.27 to +1.08 % of K at the vertices and by -0.58 to +1.03 % midway between
them, the node at 90 degrees the worst. That is the elements' discretisation error, not a fault of the
evaluation: on the curved elements by the hole each element's own gradient agrees with central differences of
the probed displacement to 2e-10, and every probed point maps back onto itself through the curved element
holding it to rounding.

Usage:
    python3 benchmarks/plate_hole.py [--sizes 0.1 0.05 0.025 0.0125] [--reference 0.00625] [--quick]
    (--quick: sizes 0.1 0.05 0.025 against the reference 0.0125, under a minute)
    (needs gmsh: pip install ".[all]")
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from dataclasses import dataclass

import numpy as np

from quarvex_tools import Elasticity, Mesh, isotropic, read_mesh
from quarvex_tools.results import Result

LENGTH, WIDTH, RADIUS, HALF_THICKNESS, TRACTION = 2.0, 1.0, 0.25, 0.05, 1.0
MATERIAL = isotropic(E=1.0, nu=0.3)
TARGET = 0.005  # the error both models are asked to stay within, relative to K
ANGLES = np.radians(np.linspace(0.0, 90.0, 91))  # along the hole's edge, from the x axis to the y axis
MEASURES = ("K at node", "edge max", "edge rms", "edge peak")


@dataclass
class EdgeStress:
    """What one model gives at the hole: K at (0, R, 0) and sigma_theta_theta / S along the edge at the mid-plane."""

    concentration: float
    hoop: np.ndarray  # (91,) at ANGLES
    elements: int
    unknowns: int


def plate_mesh(size: float, folder: str) -> Mesh:
    """The quarter plate meshed by gmsh: size `size` at the hole, growing to 4 size at distance 1 from it."""
    path = os.path.join(folder, f"plate_{size}.msh")
    write_plate_mesh(size, path)
    return read_mesh(path)


def write_plate_mesh(size: float, path: str) -> None:
    """Writes the quarter plate's second-order gmsh mesh (edge nodes on the hole's circle) to `path`."""
    import gmsh

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


def solved(mesh: Mesh) -> Result:
    """The quarter plate on its symmetry rollers, pulled by S along x at x = L."""
    model = Elasticity(mesh, MATERIAL)
    for axis, name in enumerate("xyz"):
        model.fix(lambda p, axis=axis: np.abs(p[:, axis]) < 1e-9, components=name)
    model.traction(lambda p: np.abs(p[:, 0] - LENGTH) < 1e-9, (TRACTION, 0.0, 0.0))
    return model.solve(rtol=1e-10)


def polygon_points(mesh: Mesh) -> np.ndarray:
    """(91, 3): where the rays from the hole's centre at ANGLES meet the mesh's straight hole edge at z = 0.

    The edge is the chain of the hole faces' sides that lie in the mid-plane (both ends on the circle there).
    """
    faces = mesh.boundary_faces()[0]
    points = mesh.points
    on_circle = np.abs(np.hypot(points[:, 0], points[:, 1]) - RADIUS) < 1e-7
    faces = faces[on_circle[faces].all(axis=1)]
    sides = np.unique(np.sort(faces[:, [[0, 1], [1, 2], [0, 2]]].reshape(-1, 2), axis=1), axis=0)
    sides = sides[(np.abs(points[sides][:, :, 2]) < 1e-9).all(axis=1)]
    start, end = points[sides[:, 0], :2], points[sides[:, 1], :2]
    direction = np.column_stack([np.cos(ANGLES), np.sin(ANGLES)])
    # s d = a + u (b - a): by Cramer's rule for every (angle, side) pair
    chord = end - start
    det = direction[:, None, 0] * -chord[None, :, 1] + direction[:, None, 1] * chord[None, :, 0]
    with np.errstate(all="ignore"):
        distance = (start[None, :, 0] * -chord[None, :, 1] + start[None, :, 1] * chord[None, :, 0]) / det
        fraction = (direction[:, None, 0] * start[None, :, 1] - direction[:, None, 1] * start[None, :, 0]) / det
    hit = (fraction >= -1e-12) & (fraction <= 1 + 1e-12) & (distance > 0)
    if not hit.any(axis=1).all():
        raise RuntimeError("a ray from the hole's centre misses the mesh's hole edge")
    radius = np.where(hit, distance, np.inf).min(axis=1)
    return np.column_stack([radius[:, None] * direction, np.zeros(len(ANGLES))])


def edge_stress(mesh: Mesh, straight: bool) -> EdgeStress:
    """K and the hoop stress along the hole's edge of one model, from node-averaged stresses (probe's default)."""
    result = solved(mesh)
    corner = result.probe((0.0, RADIUS, 0.0), "stress_xx")
    if straight:
        points = polygon_points(mesh)
    else:
        points = np.column_stack([RADIUS * np.cos(ANGLES), RADIUS * np.sin(ANGLES), np.zeros(len(ANGLES))])
    probe = result.probe(points, "stress")
    if not (corner.inside.all() and probe.inside.all()):
        raise RuntimeError("a point of the hole's edge lies outside the mesh")
    tangent = np.column_stack([-np.sin(ANGLES), np.cos(ANGLES), np.zeros(len(ANGLES))])
    hoop = np.einsum("ki,kij,kj->k", tangent, probe.values, tangent) / TRACTION
    unknowns = 3 * result.model.numbering.n_nodes
    return EdgeStress(float(corner.values[0]) / TRACTION, hoop, len(mesh.tetrahedra), unknowns)


def coarsest_within(sizes: list[float], errors: list[float]) -> float | None:
    """The coarsest size from which on (it and every finer one) the error stays within TARGET."""
    coarsest = None
    for size, error in sorted(zip(sizes, errors, strict=True)):
        if abs(error) > TARGET:
            break
        coarsest = size
    return coarsest


def errors_against(model: EdgeStress, reference: EdgeStress) -> dict[str, float]:
    """The four measures' errors relative to the reference's K (the peak's relative to the reference's peak), and
    the angle in degrees where the edge's error is largest ("at")."""
    scale = reference.concentration
    difference = model.hoop - reference.hoop
    return {
        "at": float(np.degrees(ANGLES[np.argmax(np.abs(difference))])),
        "K at node": model.concentration / scale - 1,
        "edge max": float(np.max(np.abs(difference))) / scale,
        "edge rms": float(np.sqrt(np.mean(difference**2))) / scale,
        "edge peak": float(np.max(model.hoop)) / float(np.max(reference.hoop)) - 1,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=float, nargs="+", default=None, help="default 0.1 0.05 0.025 0.0125")
    parser.add_argument("--reference", type=float, default=None, help="size of the reference mesh (h_min / 2)")
    parser.add_argument("--quick", action="store_true", help="sizes 0.1 0.05 0.025, reference 0.0125 (under a minute)")
    args = parser.parse_args()
    sizes = args.sizes or ([0.1, 0.05, 0.025] if args.quick else [0.1, 0.05, 0.025, 0.0125])
    sizes = sorted(sizes, reverse=True)
    reference_size = args.reference if args.reference is not None else sizes[-1] / 2
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        reference = edge_stress(plate_mesh(reference_size, folder), straight=False)
        peak = int(np.argmax(reference.hoop))
        print(
            f"reference: curved, h = {reference_size:g}, {reference.elements} elements, {reference.unknowns} unknowns, "
            f"K = {reference.concentration:.5f}; along the edge sigma_tt / S from {reference.hoop[0]:.5f} at 0 deg "
            f"to {reference.hoop[-1]:.5f} at 90 deg, peak {reference.hoop[peak]:.5f} at {np.degrees(ANGLES[peak]):g} "
            f"deg ({time.perf_counter() - start:.0f} s)"
        )
        errors: dict[str, dict[str, list[float]]] = {kind: {m: [] for m in MEASURES} for kind in ("curved", "straight")}
        print(
            f"{'h':>7} {'model':>8} {'elements':>8} {'unknowns':>8} {'K':>8} {'K at node':>9} {'edge max':>9} "
            f"{'at':>3} {'edge rms':>9} {'peak':>8} {'edge peak':>9}"
        )
        for size in sizes:
            mesh = plate_mesh(size, folder)
            straight = Mesh(mesh.points, mesh.tetrahedra)
            models = {"curved": edge_stress(mesh, False), "straight": edge_stress(straight, True)}
            for kind, model in models.items():
                measured = errors_against(model, reference)
                for name in MEASURES:
                    errors[kind][name].append(measured[name])
                print(
                    f"{size:7.4f} {kind:>8} {model.elements:8d} {model.unknowns:8d} {model.concentration:8.5f} "
                    f"{100 * measured['K at node']:8.3f}% {100 * measured['edge max']:8.3f}% {measured['at']:3.0f} "
                    f"{100 * measured['edge rms']:8.3f}% {np.max(model.hoop):8.5f} {100 * measured['edge peak']:8.3f}%"
                )
    for name in MEASURES:
        reached = {kind: coarsest_within(sizes, errors[kind][name]) for kind in errors}
        text = ", ".join(f"{kind} from h = {size:g}" if size else f"{kind} never" for kind, size in reached.items())
        ratio = ""
        if reached["curved"] and reached["straight"]:
            ratio = f"; ratio of the sizes (curved / straight) {reached['curved'] / reached['straight']:.2f}"
        print(f"{name}: within {100 * TARGET:g} % {text}{ratio}")


if __name__ == "__main__":
    main()
