"""Plot output, the error measure, reset and solver behaviour at the edges."""

import math
import os
import re
import subprocess
import sys

import pytest
from helpers import EDGES, UNIT_PTS, coordinates, cube_model, isotropic_cmat, numbered_box, panic_text

import quarvex

CMAT = isotropic_cmat(1.0, 0.3)


@pytest.mark.parametrize("verts", [(0, 1, 2, 3), (3, 1, 0, 2)])
def test_plot_dom_keys_follow_the_stored_vertex_order(verts):
    pts = [UNIT_PTS[v] for v in (0, 1, 2, 3)]
    model = quarvex.Nexus(pts, [verts])
    dom = model.plot_dom()
    assert set(dom) == {(verts[a], verts[b]) for a, b in EDGES}
    for (i, j), (start, end) in dom.items():
        assert start == pts[i] and end == pts[j]


def test_shared_edge_in_both_orders():
    pts = UNIT_PTS + [(1.0, 1.0, 1.0)]
    model = quarvex.Nexus(pts, [(0, 1, 2, 3), (2, 1, 4, 3)])
    dom = model.plot_dom()
    assert dom[(1, 2)] == (pts[1], pts[2]) and dom[(2, 1)] == (pts[2], pts[1])
    assert len(dom) == 10  # (1, 3) and (2, 3) appear in the same order in both
    assert dom == model.plot_dom()


def test_plot_disp_before_set_dof_is_the_undeformed_mesh():
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    dom, disp = model.plot_dom(), model.plot_disp()
    assert set(dom) == set(disp)
    for key, (start, end) in dom.items():
        middle = tuple((a + b) * 0.5 for a, b in zip(start, end, strict=False))
        assert disp[key] == (start, middle, end)


def test_plot_disp_needs_the_system():
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    model.set_dof({0: (0, 3)}, {})
    assert panic_text(model.plot_disp) == "index out of bounds: the len is 0 but the index is 0"


def test_empty_model_results():
    model = quarvex.Nexus([], [])
    arena = quarvex.Arena()
    assert model.plot_dom() == {} and model.plot_disp() == {}
    assert model.error(arena, []) == 0.0
    model.set_solver(0, [])
    model.assemble()
    model.solve(1e-8)
    model.nullify()


def volume_model(values):
    """Two cells of the unit cube with every node prescribed to `values`."""
    pts, tets, ver_dof, edge_dof, pos_dof, bc = numbered_box((1, 1, 2), prescribed=lambda p: values)
    model = quarvex.Nexus(pts, tets)
    model.set_dof(ver_dof, edge_dof)
    model.set_solver(pos_dof, bc)
    return model


@pytest.mark.parametrize(
    "discrete, exact, expected",
    [
        ((0.0, 0.0, 0.0), (1.0, 0.0, 0.0), 1.0),
        ((1.0, 0.0, 0.0), (0.0, 0.0, 0.0), 1.0),
        ((1.0, 2.0, 2.0), (0.0, 0.0, 0.0), 3.0),
        ((-3.0, 4.0, 0.0), (-3.0, 4.0, 0.0), 0.0),
        ((2.0, -2.0, 1.0), (0.0, 0.0, 0.0), 3.0),
    ],
)
def test_error_of_constant_fields(discrete, exact, expected):
    model = volume_model(discrete)
    arena = quarvex.Arena()
    coordinates(arena)
    nodes = [arena.new_cst(v) for v in exact]
    assert model.error(arena, nodes) == pytest.approx(expected, abs=1e-12)


def test_error_of_a_linear_field_against_its_interpolant():
    # u = (x, 2y, -z) is interpolated exactly by quadratic elements.
    pts, tets, ver_dof, edge_dof, pos_dof, bc = numbered_box((2, 1, 1), prescribed=lambda p: (p[0], 2 * p[1], -p[2]))
    model = quarvex.Nexus(pts, tets)
    model.set_dof(ver_dof, edge_dof)
    model.set_solver(pos_dof, bc)
    arena = quarvex.Arena()
    x, y, z = coordinates(arena)
    assert model.error(arena, [x.node, (y * 2.0).node, (-z).node]) < 1e-14
    # A quadratic exact field differs from that interpolant: int (x^2 - x)^2 over the box.
    assert model.error(arena, [(x * x).node, (y * 2.0).node, (-z).node]) == pytest.approx(math.sqrt(1 / 30), rel=1e-12)


@pytest.mark.parametrize(
    "nodes, message",
    [
        ([3, 3], "index out of bounds: the len is 2 but the index is 2"),
        ([3, 3, 4], "index out of bounds: the len is 4 but the index is 4"),
    ],
)
def test_error_failures(nodes, message):
    model = volume_model((0.0, 0.0, 0.0))
    arena = quarvex.Arena()
    coordinates(arena)
    arena.new_cst(1.0)
    assert panic_text(lambda: model.error(arena, nodes)) == message


def test_error_with_too_small_arena():
    model = volume_model((0.0, 0.0, 0.0))
    arena = quarvex.Arena()
    arena.new_var()
    arena.new_var()
    assert panic_text(lambda: model.error(arena, [0, 0, 0])) == "index out of bounds: the len is 2 but the index is 2"


def test_vertices_only_elements():
    pts, tets, *_ = numbered_box((1, 1, 1))
    ver_dof = {}
    bc = [0.0]
    free = 0
    for v, p in enumerate(pts):
        if p[2] == 0.0:
            bc.extend((0.0, 0.0, 0.0))
            ver_dof[v] = (-(len(bc) - 3), 3)
        else:
            ver_dof[v] = (free, 3)
            free += 3
    model = quarvex.Nexus(pts, tets)
    model.set_dof(ver_dof, {})
    model.set_cmat(CMAT)
    arena = quarvex.Arena()
    coordinates(arena)
    model.set_f(0, set(), arena, [arena.new_cst(0.0), arena.new_cst(0.0), arena.new_cst(-1.0)])
    model.set_solver(free, bc)
    model.assemble()
    model.solve(1e-12)
    disp = model.plot_disp()
    dom = model.plot_dom()
    top = [key for key in disp if pts[key[0]][2] == 1.0]
    # Only the vertex functions of the quadratic element are used; their integrals are
    # negative, so the downward load lifts the free vertices.
    assert all(disp[key][0][2] > 1.0 for key in top), "free vertices are displaced"
    for key, (start, end) in dom.items():
        assert disp[key][1] == tuple((a + b) * 0.5 for a, b in zip(start, end, strict=False)), "midpoints stay put"


def loaded_cube():
    arena = quarvex.Arena()
    coordinates(arena)
    load = [arena.new_cst(0.3), arena.new_cst(0.0), arena.new_cst(-1.0)]
    return cube_model(2, CMAT, lambda p: (0.0, 0.0, 0.0) if p[2] == 0.0 else None, (arena, load))[0]


def test_converged_start_vector_is_left_unchanged():
    model = loaded_cube()
    model.assemble()
    model.solve(1e-10)
    first = model.plot_disp()
    model.solve(1e-10)
    assert model.plot_disp() == first


def test_assemble_nullify_cycle_and_zero_tolerance_after_reset():
    model = loaded_cube()
    model.assemble()
    model.solve(1e-12)
    reference = model.plot_disp()
    model.nullify()
    model.assemble()
    model.assemble()  # doubled matrix and load: the same solution
    model.solve(1e-12)
    doubled = model.plot_disp()
    worst = max(
        abs(a - b)
        for k in reference
        for p, q in zip(reference[k], doubled[k], strict=False)
        for a, b in zip(p, q, strict=False)
    )
    assert worst < 1e-9
    model.nullify()
    model.solve(0.0)  # zero system: the residual is exactly 0 and sol stays as it was
    assert model.plot_disp() == doubled


def test_nullify_on_a_fresh_model():
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    assert model.nullify() is None


def test_set_f_copies_the_arena():
    arena = quarvex.Arena()
    coordinates(arena)
    load = [arena.new_cst(0.0), arena.new_cst(0.0), arena.new_cst(-1.0)]
    model = cube_model(1, CMAT, lambda p: (0.0, 0.0, 0.0) if p[2] == 0.0 else None, (arena, load))[0]
    for _ in range(5):
        arena.new_cst(100.0)  # later nodes do not reach the model
    model.assemble()
    model.solve(1e-12)
    assert all(points[2][2] <= 1.0 + 1e-15 for points in model.plot_disp().values())


def test_cantilever_example_matches_beam_theory(tmp_path):
    example = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "cantilever.py")
    out = subprocess.run([sys.executable, example, str(tmp_path)], check=True, capture_output=True, text=True).stdout
    ratio = float(re.search(r"ratio ([0-9.]+)\)", out).group(1))
    assert 0.95 < ratio < 1.1, out
    assert "converged: True" in out, out
    assert (tmp_path / "cantilever.png").stat().st_size > 10_000
    assert (tmp_path / "cantilever.vtu").stat().st_size > 10_000
