"""Curved (isoparametric) 10-node tetrahedra: meshes that keep their edge nodes, the fields the
curved element reproduces, the volume it encloses, and the refusal of folded elements."""

import warnings

import numpy as np
import pytest
from helpers import panic_text

from quarvex_tools import Elasticity, Mesh, _native, box_mesh, isotropic, load_result, read_mesh, system
from quarvex_tools.numbering import check_numbering, core_arrays, number_dofs, p2_nodes, p2_numbering

MATERIAL = isotropic(E=1.0, nu=0.3)
LAMBDA, MU = 0.3 / (1.3 * 0.4), 1.0 / 2.6
# Edge columns of a 10-node tetrahedron when vertices 1 and 2 trade places.
SWAPPED_COLUMNS = [0, 2, 1, 3, 6, 5, 4, 7, 9, 8]


def ten_node(mesh, place):
    """(points, tets10) of a straight mesh whose edge nodes move from the chord midpoints to place(midpoints)."""
    nodes = p2_nodes(mesh.points, mesh.tetrahedra)
    n = len(mesh.points)
    return np.concatenate([mesh.points, place(nodes.node_points[n:])]), nodes.element_nodes.copy()


def mapped_box(cells, mapping):
    """A box mesh sent through a smooth map, vertices and edge nodes alike: its edges curve."""
    box = box_mesh(cells, cells, cells)
    points, tets10 = ten_node(box, mapping)
    points[: len(box.points)] = mapping(box.points)
    return Mesh(points, tets10, face_groups=box.face_groups)


def bent(x):
    """The unit cube bent inside, its sides kept in place."""
    bump = 0.08 * np.sin(np.pi * x[:, 0]) * np.sin(np.pi * x[:, 1]) * np.sin(np.pi * x[:, 2])
    return x + bump[:, None] * np.array([1.0, -0.5, 0.7])


def to_ball(x):
    """The unit cube onto the octant of the unit ball, along rays from the origin."""
    length = np.linalg.norm(x, axis=1)
    scale = np.divide(np.abs(x).max(axis=1), length, out=np.ones_like(length), where=length > 0)
    return x * scale[:, None]


def on_boundary(p):
    return ((p < 1e-9) | (p > 1 - 1e-9)).any(axis=1)


def nodal_error(mesh, exact, force=None):
    """Largest nodal error of the solve with the exact field prescribed on the whole boundary."""
    model = Elasticity(mesh, MATERIAL)
    model.fix(on_boundary, value=exact)
    if force is not None:
        model.body_force(force)
    result = model.solve(rtol=1e-13)
    return np.abs(result.displacement - exact(model.numbering.node_points)).max()


# Meshes ------------------------------------------------------------------------------------


def test_straight_ten_node_mesh_is_the_vertex_mesh():
    box = box_mesh(2, 1, 1)
    points, tets10 = ten_node(box, lambda mid: mid)
    mesh = Mesh(points, tets10, face_groups=box.face_groups)
    assert mesh.edge_points is None and len(mesh.curved) == 0
    np.testing.assert_array_equal(mesh.points, box.points)
    np.testing.assert_array_equal(mesh.tetrahedra, box.tetrahedra)
    for name, faces in box.face_groups.items():
        np.testing.assert_array_equal(mesh.face_groups[name], faces)


def test_curved_mesh_keeps_its_edge_nodes_through_the_numbering():
    mesh = mapped_box(2, bent)
    assert len(mesh.curved) > 0 and mesh.edge_points.shape == (len(mesh.tetrahedra), 6, 3)
    assert len(mesh.points) == 27, "edge nodes must not become vertices"
    numbering = p2_numbering(mesh)
    np.testing.assert_array_equal(numbering.node_points[numbering.element_nodes[:, 4:]], mesh.edge_points)
    check_numbering(numbering, mesh)
    straight = Mesh(mesh.points, mesh.tetrahedra)  # the same vertices, edge nodes at the midpoints
    for wrong, other in ((p2_numbering(straight), mesh), (numbering, straight)):
        with pytest.raises(ValueError, match="not where this mesh puts it"):
            check_numbering(wrong, other)


def test_inverted_ten_node_tetrahedra_take_their_edge_nodes_along():
    points, tets10 = ten_node(box_mesh(2, 2, 2), lambda mid: bent(mid))
    upright = Mesh(points, tets10)
    flipped = tets10.copy()
    flipped[::3] = flipped[::3][:, SWAPPED_COLUMNS]
    mesh = Mesh(points, flipped)
    np.testing.assert_array_equal(mesh.reoriented, np.arange(0, len(tets10), 3))
    np.testing.assert_array_equal(mesh.tetrahedra, upright.tetrahedra)
    np.testing.assert_array_equal(mesh.edge_points, upright.edge_points)
    assert mesh.volume() == pytest.approx(upright.volume(), rel=1e-14)


def _two_curved():
    """Two tetrahedra sharing the face (1, 2, 3), one edge of each bowed; points, then tets10."""
    vertices = np.array([(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1), (0.9, 0.8, 0.7)], dtype=float)
    tets = np.array([(0, 1, 2, 3), (1, 2, 3, 4)])
    mesh = Mesh(vertices, tets)
    points, tets10 = ten_node(mesh, lambda mid: mid)
    points[len(vertices)] += (0.0, -0.05, 0.0)  # the node of edge (0, 1), below the chord
    return points, tets10


def _edit(change):
    points, tets10 = _two_curved()
    change(points, tets10)
    return points, tets10


def _second_node_on_shared_edge():
    """Element 1 given a node of its own (point 14) on the edge (2, 3) that it shares with element 0."""
    points, tets10 = _two_curved()
    points = np.concatenate([points, points[tets10[1, 5:6]]])
    tets10[1, 5] = len(points) - 1
    return points, tets10


@pytest.mark.parametrize(
    "points_tets, faces, message",
    [
        (_edit(lambda p, t: t.__setitem__((1, 4), 0)), None, r"tetrahedra 1 have edge nodes that are vertices"),
        (
            _edit(lambda p, t: t.__setitem__((0, 4), t[0, 5])),
            None,
            r"point 8 is the node of two edges of the 10-node tetrahedra, \(0, 1\) and \(1, 2\)",
        ),
        (_second_node_on_shared_edge(), None, r"edge \(2, 3\) of the 10-node tetrahedra has two nodes, 11 and 14"),
        (_edit(lambda p, t: p.__setitem__(t[1, 7], p[1])), None, r"tetrahedra 1 are folded .* \(1, 2, 3, 4\)"),
        (_two_curved(), {"top": [(1, 2, 5)]}, r"face group 'top' use edge nodes"),
        ((_two_curved()[0], _two_curved()[1][:, :9]), None, r"shape \(m, 4\) or \(m, 10\)"),
    ],
)
def test_ten_node_input_is_checked(points_tets, faces, message):
    points, tets10 = points_tets
    with pytest.raises(ValueError, match=message):
        Mesh(points, tets10, face_groups=faces)


# What the curved element reproduces -------------------------------------------------------


@pytest.mark.parametrize("seed", [1, 2])
def test_linear_field_is_exact_on_curved_interior_edges(seed):
    """The patch test: edge nodes inside the cube moved at random, u = A x + t on the boundary."""
    rng = np.random.default_rng(seed)

    def jiggle(mid):
        moved = mid.copy()
        inner = ~on_boundary(mid)
        moved[inner] += rng.uniform(-0.02, 0.02, size=(int(inner.sum()), 3))
        return moved

    points, tets10 = ten_node(box_mesh(3, 3, 3), jiggle)
    mesh = Mesh(points, tets10)
    assert len(mesh.curved) > 50
    gradient, shift = rng.uniform(-0.3, 0.3, size=(3, 3)), rng.uniform(-0.3, 0.3, size=3)
    error = nodal_error(mesh, lambda p: p @ gradient.T + shift)
    assert error < 1e-11, f"largest nodal error {error:.3g} of a linear field"


def test_quadratic_field_converges_at_third_order_on_a_bent_mesh():
    """u = (x^2, 0, 0) under its body force; straight-element geometry would converge at second order."""
    errors = [
        nodal_error(
            mapped_box(cells, bent),
            lambda p: np.column_stack([p[:, 0] ** 2, np.zeros(len(p)), np.zeros(len(p))]),
            (-2.0 * (LAMBDA + 2.0 * MU), 0.0, 0.0),
        )
        for cells in (4, 8)
    ]
    rate = np.log2(errors[0] / errors[1])
    assert rate > 2.8, f"observed nodal rate {rate:.3f} (errors {errors})"


def test_volume_of_a_curved_ball_octant_converges_at_the_geometry_order():
    curved, straight = [], []
    for cells in (4, 8):
        mesh = mapped_box(cells, to_ball)
        curved.append(abs(mesh.volume() - np.pi / 6))
        straight.append(abs(Mesh(mesh.points, mesh.tetrahedra).volume() - np.pi / 6))
    curved_rate, straight_rate = np.log2(curved[0] / curved[1]), np.log2(straight[0] / straight[1])
    assert curved_rate > 3.5, f"curved volume rate {curved_rate:.3f} (errors {curved})"
    assert straight_rate < 2.2, f"straight volume rate {straight_rate:.3f}"
    assert curved[1] < 1e-5


# Files -------------------------------------------------------------------------------------


def test_second_order_gmsh_file_keeps_its_curved_edges(tmp_path):
    gmsh = pytest.importorskip("gmsh")
    path = tmp_path / "shell.msh"
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("shell")
        outer = gmsh.model.occ.addSphere(0, 0, 0, 2.0, angle1=0, angle2=np.pi / 2, angle3=np.pi / 2)
        inner = gmsh.model.occ.addSphere(0, 0, 0, 1.0, angle1=0, angle2=np.pi / 2, angle3=np.pi / 2)
        gmsh.model.occ.cut([(3, outer)], [(3, inner)])
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", 0.5)
        gmsh.model.mesh.generate(3)
        gmsh.model.mesh.setOrder(2)
        gmsh.write(str(path))
    finally:
        gmsh.finalize()
    mesh = read_mesh(path)
    assert len(mesh.curved) > 0
    # The file's edge columns in the local edge order: every node near its own chord's midpoint.
    ends = mesh.points[mesh.tetrahedra[:, [[0, 1], [1, 2], [0, 2], [0, 3], [1, 3], [2, 3]]]]
    offset = np.linalg.norm(mesh.edge_points - ends.mean(axis=2), axis=2)
    assert (offset < 0.2 * np.linalg.norm(ends[:, :, 1] - ends[:, :, 0], axis=2)).all()
    on_inner = (np.abs(np.linalg.norm(ends, axis=3) - 1.0) < 1e-9).all(axis=2)
    assert on_inner.any()
    np.testing.assert_allclose(np.linalg.norm(mesh.edge_points[on_inner], axis=1), 1.0, atol=1e-12)
    exact = 7.0 / 6.0 * np.pi
    assert abs(mesh.volume() - exact) < 1e-2 * abs(Mesh(mesh.points, mesh.tetrahedra).volume() - exact)


def test_mixed_file_is_read_straight_with_a_warning(tmp_path):
    meshio = pytest.importorskip("meshio")
    points, tets10 = _two_curved()
    path = tmp_path / "mixed.vtu"
    meshio.write(path, meshio.Mesh(points, [("tetra", tets10[1:, :4]), ("tetra10", tets10[:1])]))
    with pytest.warns(RuntimeWarning, match="mixes 4- and 10-node tetrahedra; 1 curved"):
        mesh = read_mesh(path)
    assert mesh.edge_points is None and len(mesh.tetrahedra) == 2


# The native assembly ---------------------------------------------------------------------


def _bare_system(mesh):
    """The core model of a mesh, numbered and sized, not yet assembled."""
    numbering = p2_numbering(mesh)
    free = np.zeros((numbering.n_nodes, 3), dtype=bool)
    dofs = number_dofs(numbering, free, np.zeros((numbering.n_nodes, 3)), keep_rows=True)
    nexus = system.nexus_from_arrays(mesh.points, mesh.tetrahedra)
    system.set_dof_arrays(nexus, *core_arrays(numbering, dofs))
    nexus.set_cmat(MATERIAL.matrix.tolist())
    nexus.set_solver(dofs.n_free, dofs.bc.tolist())
    return nexus


def test_curved_assembly_of_straight_elements_is_the_affine_assembly():
    mesh = box_mesh(2, 2, 2)
    affine, curved = _bare_system(mesh), _bare_system(mesh)
    affine.assemble()
    every = np.arange(len(mesh.tetrahedra), dtype=np.int64)
    edge_points = p2_numbering(mesh).node_points[p2_numbering(mesh).element_nodes[:, 4:]]
    _native._ext.assemble_curved(curved, every, edge_points.reshape(-1, 18))
    expected, actual = system.stiffness_matrix(affine), system.stiffness_matrix(curved)
    assert abs(expected - actual).max() < 1e-14 * abs(expected).max()


def test_folded_element_is_refused_by_the_native_assembly():
    mesh = mapped_box(2, bent)
    nexus = _bare_system(mesh)
    edge_points = np.array(mesh.edge_points[mesh.curved])
    edge_points[3, 0] = mesh.points[mesh.tetrahedra[mesh.curved[3], 0]]  # onto its vertex: det J <= 0 nearby
    text = panic_text(lambda: _native._ext.assemble_curved(nexus, mesh.curved, edge_points.reshape(-1, 18)))
    assert text.startswith(f"element {mesh.curved[3]} is folded: its isoparametric map has det J = "), text
    assert not system.stiffness_matrix(nexus).count_nonzero() and not system.load_vector(nexus).any()


@pytest.mark.parametrize(
    "elements, edge_points, error, message",
    [
        (np.array([0, 1]), np.zeros((1, 18)), ValueError, "1 rows for 2 elements"),
        (np.array([48]), np.zeros((1, 18)), ValueError, r"element 48 does not exist \(the model has 48"),
        (np.array([-1]), np.zeros((1, 18)), ValueError, "element -1 does not exist"),
        (np.array([0]), np.zeros((1, 9)), ValueError, r"\(c, 18\)"),
        (np.array([0.0]), np.zeros((1, 18)), TypeError, "argument 'elements'"),
    ],
)
def test_curved_assembly_arguments_are_checked(elements, edge_points, error, message):
    nexus = _bare_system(box_mesh(2, 2, 2))
    with pytest.raises(error, match=message):
        _native._ext.assemble_curved(nexus, elements, edge_points)
    assert not system.stiffness_matrix(nexus).count_nonzero()


def test_element_listed_twice_is_refused():
    nexus = _bare_system(box_mesh(1, 1, 1))
    assert "listed twice" in panic_text(
        lambda: _native._ext.assemble_curved(nexus, np.array([2, 2]), np.zeros((2, 18)))
    )


# Surface loads on curved faces -------------------------------------------------------------

SPHERE = ("xmax", "ymax", "zmax")  # the box's far sides, sent onto the sphere by to_ball


def _resultant(mesh, load):
    """The sum of the nodal forces that load(model) adds."""
    model = Elasticity(mesh, MATERIAL)
    load(model)
    return model.nodal_loads.sum(axis=0)


def test_pressure_on_a_closed_curved_surface_balances():
    """The normals of the quadratic faces close up: the resultant over the whole boundary vanishes,
    so the pressure on the sphere is carried by the flat sides to rounding."""
    mesh = mapped_box(4, to_ball)
    sphere = _resultant(mesh, lambda model: [model.pressure(side, 2.0) for side in SPHERE])
    sides = _resultant(mesh, lambda model: [model.pressure(side, 2.0) for side in ("xmin", "ymin", "zmin")])
    np.testing.assert_allclose(sphere + sides, 0.0, atol=1e-12)
    np.testing.assert_allclose(sphere, -2.0 * np.pi / 4, rtol=1e-3)  # the quarter discs that the sphere faces


def test_traction_integrates_over_the_curved_area():
    """A unit traction over the octant of the unit sphere adds up to its area, pi / 2, at fourth order."""
    errors = [
        abs(
            _resultant(mapped_box(cells, to_ball), lambda m: [m.traction(s, (0.0, 0.0, 1.0)) for s in SPHERE])[2]
            - np.pi / 2
        )
        for cells in (4, 8)
    ]
    rate = np.log2(errors[0] / errors[1])
    assert rate > 3.5, f"area rate {rate:.3f} (errors {errors})"


def test_ball_under_pressure_takes_the_exact_hydrostatic_state():
    """Pressure p all round a ball (here an octant on symmetry rollers) gives u = -p (1 - 2 nu) / E x exactly:
    the curved stiffness and the pressure on the curved faces must agree for the nodes to reach it."""
    mesh = mapped_box(3, to_ball)
    model = Elasticity(mesh, MATERIAL)
    for axis, side in enumerate(("xmin", "ymin", "zmin")):
        model.fix(side, components="xyz"[axis])
    for side in SPHERE:
        model.pressure(side, 1.5)
    result = model.solve(rtol=1e-12)
    exact = -1.5 * (1 - 2 * 0.3) * model.numbering.node_points
    error = np.abs(result.displacement - exact).max()
    assert error < 1e-9, f"largest nodal error {error:.3g} of the hydrostatic state"


def test_results_of_a_curved_model_keep_and_say_what_is_straight(tmp_path):
    """A saved curved result loads back with its curved mesh; its results take the curved geometry without warning."""
    model = Elasticity(mapped_box(3, bent), isotropic(E=1.0, nu=0.3))
    model.fix("zmin")
    model.body_force((0.0, 0.0, -1.0))
    result = model.solve(1e-10)
    path = tmp_path / "curved.npz"
    result.save(str(path))
    loaded = load_result(str(path))
    np.testing.assert_array_equal(loaded.displacement, result.displacement)
    np.testing.assert_array_equal(loaded.model.mesh.curved, result.model.mesh.curved)
    np.testing.assert_allclose(loaded.model.mesh.edge_points, result.model.mesh.edge_points, rtol=0, atol=0)
    with warnings.catch_warnings():  # these take the curved geometry
        warnings.simplefilter("error")
        for compute in (
            result.nodal_stress,
            result.stress,
            result.strain_energy,
            lambda: result.l2_error((0, 0, 0)),
            lambda: result.probe(result.model.mesh.points[:2], "stress", averaged=False),
            lambda: result.face_resultant("zmin"),
            lambda: result.face_mean("zmin"),
        ):
            compute()
    straight = Elasticity(box_mesh(2, 2, 2), isotropic(E=1.0, nu=0.3))
    straight.fix("zmin")
    straight.body_force((0.0, 0.0, -1.0))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        straight.solve(1e-10).nodal_stress()


@pytest.mark.parametrize("face", ["xmax", "xmin"])
def test_elastic_supports_on_curved_faces_take_the_curved_geometry_without_warning(face):
    """On the ball octant the outer faces curve, and the symmetry planes' edges curve within their planes."""
    model = Elasticity(mapped_box(2, to_ball), MATERIAL)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model.elastic_support(face, 1.0, normal=2.0)
    _, mass, per_area = model._springs[-1]
    assert mass.shape[1:] == (7, 6, 6) and per_area.shape[1:] == (7, 3, 3)  # per quadrature point


def test_frictionless_takes_the_normals_of_the_curved_faces():
    """On the sphere patch of a ball octant the nodes' normals approach the radial direction at second order
    (the flat triangles' normals, averaged, at first order) and nothing warns."""
    errors = []
    for cells in (4, 8):
        model = Elasticity(mapped_box(cells, to_ball), MATERIAL)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            model.frictionless("xmax")
        nodes, normals, _ = model._normal_supports[-1]
        points = model.numbering.node_points[nodes]
        radial = points / np.linalg.norm(points, axis=1, keepdims=True)
        errors.append(np.arccos(np.clip(np.abs(np.sum(normals * radial, axis=1)), 0.0, 1.0)).max())
    assert errors[1] < np.radians(0.5)  # flat normals: 5 degrees
    assert errors[0] / errors[1] > 3.0  # flat normals: 1.9
