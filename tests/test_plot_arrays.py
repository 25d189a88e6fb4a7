"""plot_dom and plot_disp, as dicts and as arrays, against a reference written from their definition."""

import numpy as np
import pytest
from helpers import EDGES, UNIT_PTS, numbered_box, panic_text

import quarvex
from quarvex_tools import system


def numbers(dof_range):
    start, count = dof_range
    return [start + k if start >= 0 else start - k for k in range(count)]


def reference_plot(pts, tets, ver_dof, edge_dof, sol, bc, displaced):
    """Element by element, each edge under (verts[a], verts[b]); a later element replaces an earlier one."""
    edges = {}
    for tet in tets:
        corners = [list(pts[v]) for v in tet]
        nodes = corners + [[(pts[tet[a]][c] + pts[tet[b]][c]) * 0.5 for c in range(3)] for a, b in EDGES]
        dofs = [d for v in tet if v in ver_dof for d in numbers(ver_dof[v])]
        dofs += [d for a, b in EDGES if (tet[a], tet[b]) in edge_dof for d in numbers(edge_dof[(tet[a], tet[b])])]
        for local, d in enumerate(dofs[:30]):
            nodes[local // 3][local % 3] += sol[d] if d >= 0 else bc[-d]
        for k, (a, b) in enumerate(EDGES):
            if displaced:
                edges[(tet[a], tet[b])] = (tuple(nodes[a]), tuple(nodes[4 + k]), tuple(nodes[b]))
            else:
                edges[(tet[a], tet[b])] = (tuple(pts[tet[a]]), tuple(pts[tet[b]]))
    return edges


def cube():
    return numbered_box((2, 2, 1), prescribed=lambda p: (0.1, -0.2, 0.3) if p[2] == 0.0 else None)


def shifted_ranges():
    # Vertex 4 has no numbers, so the second element's ranges move one node down and its copy
    # of the shared edge (1, 2) differs from the first element's; the later one is listed.
    pts = UNIT_PTS + [(0.9, 0.8, 0.7)]
    tets = [(0, 1, 2, 3), (4, 1, 2, 3)]
    ver_dof = {v: (3 * v, 3) for v in range(4)}
    edge_dof = {(tets[0][a], tets[0][b]): (12 + 3 * k, 3) for k, (a, b) in enumerate(EDGES)}
    return pts, tets, ver_dof, edge_dof, 30, [0.0]


def reversed_and_repeated():
    # Keys in both orders, and an element with a repeated vertex (its edge (0, 0) and two slots of (0, 1)).
    pts = UNIT_PTS + [(1.0, 1.0, 1.0)]
    tets = [(0, 1, 2, 3), (2, 1, 4, 3), (0, 0, 1, 2)]
    ver_dof = {0: (-1, 3), 1: (0, 3), 2: (3, 3), 3: (6, 3), 4: (9, 3)}
    edge_dof = {(1, 2): (12, 3), (2, 1): (15, 3), (0, 1): (-4, 3)}
    return pts, tets, ver_dof, edge_dof, 18, [0.0, 0.5, -0.5, 0.25, 1.0, 2.0, 3.0]


def unnumbered():
    return UNIT_PTS, [(3, 1, 0, 2)], {}, {}, 0, []


@pytest.mark.parametrize("build", [cube, shifted_ranges, reversed_and_repeated, unnumbered])
@pytest.mark.parametrize("displaced", [False, True], ids=["plot_dom", "plot_disp"])
def test_plot_matches_the_reference_as_dict_and_arrays(build, displaced):
    pts, tets, ver_dof, edge_dof, free, bc = build()
    model = quarvex.Nexus(pts, tets)
    model.set_dof(ver_dof, edge_dof)
    model.set_solver(free, bc)
    sol = np.random.default_rng(len(tets)).uniform(-1.0, 1.0, free)
    system.set_solution(model, sol)
    expected = reference_plot(pts, tets, ver_dof, edge_dof, sol.tolist(), bc, displaced)

    got = model.plot_disp() if displaced else model.plot_dom()
    assert got == expected
    assert list(got) == sorted(expected), "entries in (i, j) order"
    keys, points = system.plot_disp_arrays(model) if displaced else system.plot_dom_arrays(model)
    assert keys.dtype == np.int32 and points.dtype == np.float64
    assert points.shape == (len(expected), 3 if displaced else 2, 3)
    assert [tuple(key) for key in keys.tolist()] == list(got)
    assert [tuple(map(tuple, rows)) for rows in points.tolist()] == list(got.values())


def two_elements_failing():
    # Both elements get numbers beyond sol after set_solver; the first element's is reported.
    pts = UNIT_PTS + [(0.9, 0.8, 0.7)]
    model = quarvex.Nexus(pts, [(0, 1, 2, 3), (4, 1, 2, 3)])
    model.set_dof({v: (3 * v, 3) for v in range(5)}, {})
    model.set_solver(15, [0.0])
    model.set_dof({4: (40, 3), 0: (70, 3)}, {})
    return model


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda: unset_system(), "index out of bounds: the len is 0 but the index is 0"),
        (two_elements_failing, "index out of bounds: the len is 15 but the index is 70"),
    ],
    ids=["no_set_solver", "first_element_in_order"],
)
@pytest.mark.parametrize("call", [lambda m: m.plot_disp(), system.plot_disp_arrays], ids=["dict", "arrays"])
def test_plot_disp_failures(build, message, call):
    model = build()
    for _ in range(3):  # the same element, whatever the workers do
        assert panic_text(lambda: call(model)) == message
    model.plot_dom()  # reads no values


def unset_system():
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    model.set_dof({0: (0, 3)}, {})
    return model


@pytest.mark.parametrize("call", [system.plot_dom_arrays, system.plot_disp_arrays])
def test_plot_arrays_of_an_empty_model_and_a_wrong_argument(call):
    keys, points = call(quarvex.Nexus([], []))
    assert keys.shape == (0, 2) and points.shape[0] == 0
    with pytest.raises(TypeError, match="argument 'model'"):
        call([])
