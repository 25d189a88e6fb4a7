"""Model construction, numbering and solver set-up, seen through what Python can observe."""

import pytest
from helpers import EDGES, UNIT_PTS, isotropic_cmat, panic_text

import quarvex

FULL_VERTS = {0: (0, 3), 1: (3, 3), 2: (6, 3), 3: (9, 3)}
FULL_EDGES = {(0, 1): (12, 3), (1, 2): (15, 3), (0, 2): (18, 3), (0, 3): (21, 3), (1, 3): (24, 3), (2, 3): (27, 3)}


@pytest.mark.parametrize(
    "pts, tets, message",
    [
        ([], [(0, 1, 2, 3)], "index out of bounds: the len is 0 but the index is 0"),
        (UNIT_PTS, [(0, 1, 2, 4)], "index out of bounds: the len is 4 but the index is 4"),
        (UNIT_PTS, [(0, 1, -1, 3)], "index out of bounds: the len is 4 but the index is 18446744073709551615"),
        (UNIT_PTS, [(0, 1, 2, 3), (7, 1, 2, 5), (0, 9, 2, 3)], "index out of bounds: the len is 4 but the index is 7"),
        (UNIT_PTS, [(0, 1, 2, 3), (0, 1, 2, 5)], "index out of bounds: the len is 4 but the index is 5"),
    ],
)
def test_constructor_index_failures(pts, tets, message):
    assert panic_text(lambda: quarvex.Nexus(pts, tets)) == message


@pytest.mark.parametrize(
    "pts, tets",
    [
        ([], []),
        (UNIT_PTS, [(0, 0, 1, 2)]),
        (UNIT_PTS + [(5.0, 5.0, 5.0)], [(0, 1, 2, 3)]),
        ([(0, 0, 1)] * 4, [(3, 2, 1, 0)]),
    ],
)
def test_constructor_accepts(pts, tets):
    model = quarvex.Nexus(pts, tets)
    assert len(model.plot_dom()) == (0 if not tets else len({(t[a], t[b]) for t in tets for a, b in EDGES}))


def unit_model(verts=FULL_VERTS, edges=FULL_EDGES):
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    model.set_dof(verts, edges)
    return model


@pytest.mark.parametrize(
    "pos_dof, message",
    [
        (29, "index out of bounds: the len is 29 but the index is 29"),
        (31, "index out of bounds: the len is 0 but the index is 0"),
    ],
)
def test_set_solver_size_failures(pos_dof, message):
    model = unit_model()
    assert panic_text(lambda: model.set_solver(pos_dof, [0.0])) == message


def test_failed_set_solver_keeps_the_previous_system_but_replaces_bc():
    model = unit_model({0: (-1, 3), 1: (0, 3), 2: (3, 3), 3: (6, 3)}, {})
    model.set_solver(9, [0.0, 0.1, 0.2, 0.3])
    assert panic_text(lambda: model.set_solver(5, [0.0, 1.0, 2.0, 3.0])).startswith("index out of bounds")
    # bc was replaced before the pattern failed; the old 9-row system is still in place.
    start = model.plot_disp()[(0, 1)][0]
    assert start == (1.0, 2.0, 3.0)
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    model.assemble()
    model.solve(1e-12)


def test_set_solver_before_set_dof():
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    model.set_solver(0, [])
    assert panic_text(lambda: model.set_solver(1, [])) == "index out of bounds: the len is 0 but the index is 0"


def test_all_constrained_model():
    verts = {v: (-1 - 3 * v, 3) for v in range(4)}
    model = unit_model(verts, {})
    bc = [0.0] + [0.01 * k for k in range(1, 13)]
    model.set_solver(0, bc)
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    model.assemble()
    model.solve(0.0)
    disp = model.plot_disp()
    assert disp[(0, 1)][0] == pytest.approx((0.01, 0.02, 0.03))
    assert disp[(2, 3)][2] == pytest.approx((0.10, 0.11, 1.12))


def test_vertex_values_come_from_bc():
    model = unit_model({0: (-1, 3)}, {})
    model.set_solver(0, [0.0, 0.1, 0.2, 0.3])
    assert model.plot_disp()[(0, 1)][0] == pytest.approx((0.1, 0.2, 0.3))


def test_merged_negative_ranges_read_ascending_bc():
    # (-1, 3) and (-4, 3) merge into (-1, 6): vertex 1 reads bc[4..6].
    model = unit_model({0: (-1, 3), 1: (-4, 3)}, {})
    model.set_solver(0, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0])
    disp = model.plot_disp()
    assert disp[(0, 1)][0] == (1.0, 2.0, 3.0)
    assert disp[(0, 1)][2] == (5.0, 5.0, 6.0)


def test_missing_edge_shifts_later_ranges():
    # Without edge (0, 1) the list expands to 27 numbers: edge (1, 2)'s values pair with the
    # first edge node, and the last edge node keeps no displacement.
    edges = dict(FULL_EDGES)
    del edges[(0, 1)]
    verts = {v: (-1 - 3 * v, 3) for v in range(4)}
    edge_numbers = {key: (-13 - 3 * i, 3) for i, key in enumerate(edges)}
    model = unit_model(verts, edge_numbers)
    bc = [0.0] + [float(k) for k in range(1, 28)]
    model.set_solver(0, bc)
    disp = model.plot_disp()
    assert disp[(0, 1)][1] == (0.5 + 13.0, 14.0, 15.0)  # midpoint of (0, 1) moved by edge (1, 2)'s values
    assert disp[(2, 3)][1] == (0.0, 0.5, 0.5)  # the sixth edge node is not displaced


def test_set_dof_twice_is_refused_by_assemble():
    model = unit_model()
    model.set_dof(FULL_VERTS, FULL_EDGES)
    model.set_solver(30, [0.0])
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    text = panic_text(model.assemble)
    assert "60 degrees of freedom" in text


def test_assemble_after_set_dof_without_set_solver_is_refused():
    model = unit_model()
    model.set_solver(30, [0.0])
    model.set_dof({}, {})
    assert "set_solver" in panic_text(model.assemble)


def test_missing_prescribed_value_is_refused_before_adding():
    model = unit_model({0: (-1, 3), 1: (0, 3), 2: (3, 3), 3: (6, 3)}, {})
    model.set_solver(9, [0.0, 0.0])
    assert panic_text(model.assemble) == "index out of bounds: the len is 2 but the index is 2"
    model.set_solver(9, [0.0, 0.0, 0.0, 0.0])
    model.assemble()


def test_load_groups_and_elements():
    pts = UNIT_PTS + [(1.0, 1.0, 1.0)]
    tets = [(0, 1, 2, 3), (1, 2, 3, 4)]
    model = quarvex.Nexus(pts, tets)
    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()
    # A tuple in another vertex order matches no element; unknown tuples are ignored.
    model.set_f(1, {(3, 2, 1, 0), (9, 9, 9, 9)}, arena, [0, 0, 0])
    model.set_f(2**31 - 1, {(1, 2, 3, 4)}, arena, [0, 0, 0])
