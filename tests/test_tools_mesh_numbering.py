"""Mesh checks and the vectorised P2 numbering, against a slow numbering written element by element; the
numbering in the core's list and dictionary forms."""

import warnings

import numpy as np
import pytest
from tools_meshes import scrambled_box, scrambled_mesh

import quarvex
from quarvex_tools import Mesh, box_mesh, isotropic, number_dofs, p2_numbering, system
from quarvex_tools.core_inputs import build_core_inputs
from quarvex_tools.mesh import signed_volumes
from quarvex_tools.numbering import EDGE_ORDER, core_arrays


def slow_numbering(points, tets):
    """Nodes as Python objects: ('v', i) or ('e', frozenset((i, j))), each element's ten in local order."""
    element_nodes = []
    for tet in tets.tolist():
        nodes = [("v", v) for v in tet] + [("e", frozenset((tet[a], tet[b]))) for a, b in EDGE_ORDER]
        element_nodes.append(nodes)
    return element_nodes


@pytest.mark.parametrize("cells, seed", [((3, 2, 2), 0), ((2, 4, 3), 1), ((5, 1, 2), 2)])
def test_numbering_matches_slow_numbering(cells, seed):
    points, tets, _ = scrambled_box(cells, seed)
    mesh = Mesh(points, tets)
    assert len(mesh.reoriented) > 0, "the scrambled mesh should hold inverted elements"
    assert (signed_volumes(mesh.points, mesh.tetrahedra) > 0).all()
    numbering = p2_numbering(mesh)
    n = numbering.n_vertices

    # Every element's ten nodes are the slow numbering's ten nodes, one to one across the mesh.
    slow = slow_numbering(mesh.points, mesh.tetrahedra)
    name_of = {}
    for fast_row, slow_row in zip(numbering.element_nodes.tolist(), slow, strict=False):
        for fast, key in zip(fast_row, slow_row, strict=False):
            assert name_of.setdefault(fast, key) == key
    assert len(set(name_of.values())) == len(name_of) == numbering.n_nodes
    for node, (kind, what) in name_of.items():
        if kind == "v":
            assert node == what
        else:
            i, j = sorted(what)
            assert node >= n and tuple(numbering.edges[node - n]) == (i, j)
            np.testing.assert_array_equal(numbering.node_points[node], 0.5 * (mesh.points[i] + mesh.points[j]))

    # Some nodes fully fixed, some partly, with values; the numbers then cover 0..n_free-1 once each.
    rng = np.random.default_rng(seed)
    fixed = rng.random((numbering.n_nodes, 3)) < 0.3
    fixed[rng.random(numbering.n_nodes) < 0.3] = True
    values = rng.random((numbering.n_nodes, 3))
    dofs = number_dofs(numbering, fixed, values)
    numbers = dofs.numbers()
    whole = fixed.all(axis=1)
    assert (numbers[whole] < 0).all() and (numbers[~whole] >= 0).all()
    np.testing.assert_array_equal(np.sort(numbers[~whole].ravel()), np.arange(dofs.n_free))
    np.testing.assert_array_equal(dofs.bc[-numbers[whole]], values[whole])
    pinned = fixed & ~whole[:, None]
    np.testing.assert_array_equal(np.sort(numbers[pinned]), dofs.pinned)
    np.testing.assert_array_equal(dofs.pinned_values, values[pinned][np.argsort(numbers[pinned])])

    # The core's arrays: every vertex, and every edge under each key order an element uses.
    vertex_ids, vertex_ranges, edge_keys, edge_ranges = core_arrays(numbering, dofs)
    ranges = {("v", int(v)): tuple(r) for v, r in zip(vertex_ids, vertex_ranges, strict=False)}
    ranges.update({("e", (int(i), int(j))): tuple(r) for (i, j), r in zip(edge_keys, edge_ranges, strict=False)})
    for tet, row in zip(mesh.tetrahedra.tolist(), numbering.element_nodes.tolist(), strict=False):
        keys = [("v", v) for v in tet] + [("e", (tet[a], tet[b])) for a, b in EDGE_ORDER]
        for key, node in zip(keys, row, strict=False):
            assert ranges.pop(key, None) in (None, (numbers[node, 0], 3))
            assert key not in ranges
    assert not ranges, f"keys used by no element: {list(ranges)[:3]}"


def test_orderings_keep_neighbours_close():
    """Both locality orders give the unknowns of an element a far smaller spread than a random
    labelling; the banded order also bounds the widest element, which the space-filling curve
    does not."""
    mesh = scrambled_mesh((8, 8, 8), seed=3)
    median, widest = {}, {}
    for order in ("bandwidth", "morton", "given"):
        numbering = p2_numbering(mesh, order=order)
        np.testing.assert_array_equal(np.sort(numbering.node_rank), np.arange(numbering.n_nodes))
        rank = numbering.node_rank[numbering.element_nodes]
        spread = rank.max(axis=1) - rank.min(axis=1)
        median[order], widest[order] = np.median(spread), spread.max()
    assert median["morton"] < 0.2 * median["given"], median
    assert median["bandwidth"] < 0.2 * median["given"], median
    assert widest["bandwidth"] < 0.25 * widest["morton"], widest


def test_banded_order_numbers_each_part_whole():
    """Two meshes side by side that share no point: each part's nodes get one unbroken range."""
    first = box_mesh(3, 2, 2)
    shifted = first.points + np.array([5.0, 0.0, 0.0])
    mesh = Mesh(np.vstack([first.points, shifted]), np.vstack([first.tetrahedra, first.tetrahedra + len(first.points)]))
    numbering = p2_numbering(mesh)
    rank = numbering.node_rank
    np.testing.assert_array_equal(np.sort(rank), np.arange(numbering.n_nodes))
    part = numbering.node_points[:, 0] > 2.5
    assert {rank[part].max() - rank[part].min(), rank[~part].max() - rank[~part].min()} == {part.sum() - 1}


@pytest.mark.parametrize(
    "points, tets, message",
    [
        (np.eye(4, 3), [(0, 1, 2, 4)], r"tetrahedra 0 refer to points out of range \(the mesh has 4 points\)"),
        (np.eye(4, 3), [(0, 1, 2, -1)], "out of range"),
        (np.eye(5, 3), [(0, 1, 2, 3), (0, 1, 2, 2), (1, 2, 3, 4)], r"tetrahedra 1, 2 are degenerate"),
        (np.eye(5, 3), [(0, 1, 2, 3)], r"points 4 are used by no tetrahedron; pass drop_unused=True"),
        (np.eye(4, 2), [(0, 1, 2, 3)], r"points must have shape \(n, 3\)"),
        (np.eye(4, 3), [(0.0, 1.0, 2.0, 3.0)], "must hold integers"),
    ],
)
def test_mesh_refusals(points, tets, message):
    if len(points) == 5:
        points = np.array(points)
        points[4] = points[1] + points[2] - points[3]  # in the plane of 1, 2, 3: (1, 2, 3, 4) is flat
    with pytest.raises(ValueError, match=message):
        Mesh(points, tets)


def test_inverted_elements_reordered_and_unused_points_dropped():
    points = np.vstack([np.eye(4, 3)[[3, 0, 1, 2]], [(5.0, 5.0, 5.0)], [(0.0, 0.0, -1.0)]])
    # point 4 is unused; tetrahedron 1 is given inverted.
    mesh = Mesh(points, [(0, 1, 2, 3), (1, 2, 0, 5)], face_groups={"bottom": [(1, 2, 5)]}, drop_unused=True)
    assert len(mesh.points) == 5
    np.testing.assert_array_equal(mesh.reoriented, [1])
    np.testing.assert_array_equal(np.sort(mesh.tetrahedra, axis=1), [(0, 1, 2, 3), (0, 1, 2, 4)])
    assert (signed_volumes(mesh.points, mesh.tetrahedra) > 0).all()
    np.testing.assert_array_equal(mesh.face_groups["bottom"], [(1, 2, 4)])
    assert mesh.volume() == pytest.approx(2.0 / 6.0)


def test_box_faces_are_outward_boundary_faces():
    mesh = box_mesh(3, 2, 4, size=(3.0, 2.0, 1.0))
    faces, _ = mesh.boundary_faces()
    assert sum(len(f) for f in mesh.face_groups.values()) == len(faces) == 2 * 2 * (6 + 12 + 8)
    for name, tri in mesh.face_groups.items():
        axis, side = "xyz".index(name[0]), name[1:]
        corners = mesh.points[tri]
        normal = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
        expected = np.zeros(3)
        expected[axis] = 1.0 if side == "max" else -1.0
        np.testing.assert_allclose(
            normal / np.linalg.norm(normal, axis=1)[:, None], np.tile(expected, (len(tri), 1)), atol=1e-12
        )
        assert np.abs(normal).sum(axis=0)[axis] / 2 == pytest.approx(np.prod(np.delete([3.0, 2.0, 1.0], axis)))


def whole_nodes_fixed(numbering, where):
    """(fixed, values) with every component of the nodes `where(node_points)` prescribed to x + 2y - z."""
    fixed = np.repeat(where(numbering.node_points)[:, None], 3, axis=1)
    values = (numbering.node_points @ np.array([1.0, 2.0, -1.0]))[:, None] * np.array([1.0, 0.5, -0.25])
    return fixed, values


@pytest.mark.parametrize("order", ["bandwidth", "given"])
def test_core_inputs_set_up_the_model_of_the_array_path(order):
    mesh = scrambled_mesh((3, 2, 2), seed=4)
    numbering = p2_numbering(mesh, order=order)
    dofs = number_dofs(numbering, *whole_nodes_fixed(numbering, lambda x: x[:, 0] < 0.3))
    inputs = build_core_inputs(mesh, numbering, dofs)
    assert inputs.points == [tuple(p) for p in mesh.points.tolist()]
    assert inputs.tetrahedra == [tuple(t) for t in mesh.tetrahedra.tolist()]
    assert inputs.pos_dof == dofs.n_free and inputs.bc == dofs.bc.tolist() and len(inputs.bc) > 1
    by_dict = quarvex.Nexus(inputs.points, inputs.tetrahedra)
    by_dict.set_dof(inputs.ver_dof, inputs.edge_dof)
    by_array = system.nexus_from_arrays(mesh.points, mesh.tetrahedra)
    system.set_dof_arrays(by_array, *core_arrays(numbering, dofs))
    systems = []
    for model in (by_dict, by_array):
        model.set_cmat(isotropic(E=1.0, nu=0.3).matrix.tolist())
        model.set_solver(inputs.pos_dof, inputs.bc)
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # an element missing an edge's range would warn
            model.assemble()
        systems.append((system.stiffness_matrix(model), system.load_vector(model), model.plot_dom()))
    (matrix, load, dom), (matrix_again, load_again, dom_again) = systems
    assert dom == dom_again and np.abs(load).max() > 0.0
    np.testing.assert_array_equal(matrix.indptr, matrix_again.indptr)
    np.testing.assert_array_equal(matrix.indices, matrix_again.indices)
    np.testing.assert_allclose(matrix.data, matrix_again.data, rtol=1e-12, atol=1e-14 * np.abs(matrix.data).max())
    np.testing.assert_allclose(load, load_again, rtol=1e-12, atol=1e-14 * np.abs(load).max())


def _core_inputs_case(case):
    mesh = box_mesh(2, 1, 1)
    numbering = p2_numbering(mesh)
    fixed, values = whole_nodes_fixed(numbering, lambda x: x[:, 0] == 0.0)
    if case == "kept rows":
        return mesh, numbering, number_dofs(numbering, fixed, values, keep_rows=True)
    if case == "roller":
        fixed[:, 1:] = False
        return mesh, numbering, number_dofs(numbering, fixed, values)
    if case == "frames":
        nodes = np.flatnonzero(numbering.node_points[:, 0] == 1.0)
        axes = np.tile(np.eye(3)[[1, 2, 0]], (len(nodes), 1, 1))
        free = np.zeros_like(fixed)
        return mesh, numbering, number_dofs(numbering, free, values, keep_rows=True, frames=(nodes, axes))
    if case == "other mesh":
        return box_mesh(1, 1, 2), numbering, number_dofs(numbering, fixed, values)
    if case == "other numbering":
        other = p2_numbering(box_mesh(1, 1, 1))
        return mesh, numbering, number_dofs(other, *whole_nodes_fixed(other, lambda x: x[:, 0] == 0.0))
    if case == "not a mesh":
        return (mesh.points, mesh.tetrahedra), numbering, number_dofs(numbering, fixed, values)
    return mesh, numbering, (fixed, values)  # "not dofs"


CORE_INPUT_REFUSALS = [
    ("kept rows", ValueError, r"prescribes 27 single components of free nodes .* set_solver cannot express"),
    ("roller", ValueError, r"prescribes 9 single components"),
    ("frames", ValueError, r"turns 9 nodes into frames of their own"),
    ("other mesh", ValueError, r"element 0 has points \(0, 1, 3, 7\) in the mesh but \(0, 1, 4, 10\) in the numbering"),
    ("other numbering", ValueError, r"dofs numbers 27 nodes; the numbering has 45"),
    ("not a mesh", TypeError, r"mesh must be a Mesh, got tuple"),
    ("not dofs", TypeError, r"dofs must be a Dofs \(see number_dofs\), got tuple"),
]


@pytest.mark.parametrize("case, error, message", CORE_INPUT_REFUSALS, ids=[case[0] for case in CORE_INPUT_REFUSALS])
def test_core_inputs_refuse_what_the_core_numbering_cannot_hold(case, error, message):
    """Single prescribed components and frames would reach set_solver as free unknowns: the support lost."""
    with pytest.raises(error, match=message):
        build_core_inputs(*_core_inputs_case(case))
