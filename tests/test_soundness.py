"""No crash and no silent wrong answer: class attributes, breakdowns and stops of the solver,
warnings for inputs the method cannot honour, refusals made before anything changes, and
Ctrl-C during a long solve."""

import math
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest
from helpers import EDGES, UNIT_PTS, cube_model, isotropic_cmat, numbered_box, panic_text

import quarvex
from quarvex_tools import system


def clamped(p):
    return (0.0, 0.0, 0.0) if p[0] == 0.0 else None


def gravity(value=-1.0):
    arena = quarvex.Arena()
    for _ in range(3):
        arena.new_var()
    zero, weight = arena.new_cst(0.0), arena.new_cst(value)
    return arena, [zero, zero, weight]


def displacements(model):
    """Every vertex displacement component that plot_disp shows, flattened."""
    return [c for (_, points) in sorted(model.plot_disp().items()) for p in points for c in p]


@pytest.mark.parametrize(
    "cls, attribute",
    [(quarvex.Nexus, "__new__"), (quarvex.Arena, "__new__"), (quarvex.Nexus, "set_f"), (quarvex.Nexus, "extra")],
)
def test_class_attributes_cannot_be_replaced(cls, attribute):
    with pytest.raises(TypeError):
        setattr(cls, attribute, lambda *args, **kwargs: object.__new__(cls))
    model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])  # the class still builds working models
    model.set_f(0, set(), *gravity())


def nan_cmat():
    cmat = isotropic_cmat(1.0, 0.3)
    cmat[4][4] = math.nan
    return cmat


@pytest.mark.parametrize(
    "cmat, load, text",
    [
        (nan_cmat(), -1.0, "at iteration 0: "),
        (isotropic_cmat(1.0, 0.3), math.nan, "at iteration 0: r.r = nan"),
        ([[v * 1e-310 for v in row] for row in isotropic_cmat(1.0, 0.3)], -1.0, "overflows"),
    ],
    ids=["nan_material", "nan_load", "tiny_stiffness"],
)
def test_breakdown_fails_and_keeps_a_finite_solution(cmat, load, text):
    model, _, _, _ = cube_model(2, cmat, clamped, gravity(load))
    model.assemble()
    message = panic_text(lambda: model.solve(1e-10))
    assert message.startswith("conjugate gradients broke down at iteration "), message
    assert text in message, message
    assert all(math.isfinite(c) for c in displacements(model))
    # The model is not poisoned: a sane material and load solve from the kept solution.
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    model.set_f(0, set(), *gravity())
    model.nullify()
    model.assemble()
    model.solve(1e-10)
    assert all(math.isfinite(c) for c in displacements(model))


@pytest.mark.parametrize("load", [1e160, 1e-200, 2.0**-700])
def test_solve_of_a_far_load_is_that_multiple_of_the_unit_solve(load):
    # Squared norms of such loads leave the range of double: they used to overflow (a breakdown)
    # or underflow (no step at all, the zero answer taken as converged).
    answers = []
    for scale in (1.0, load):
        model, _, _, _ = cube_model(2, isotropic_cmat(1.0, 0.3), clamped, gravity(-scale))
        model.assemble()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            model.solve(1e-10 * scale)
        answers.append(system.solution(model))
    unit, far = answers
    assert np.abs(far / load - unit).max() <= 1e-8 * np.abs(unit).max(), (far / load, unit)


def test_running_out_of_iterations_warns():
    model, _, _, _ = cube_model(1, isotropic_cmat(1.0, 0.3), None, gravity())  # nothing clamped
    model.assemble()
    with pytest.warns(
        RuntimeWarning,
        match=r"stopped after \d+ iterations without meeting the tolerance: "
        r"residual norm .*, tolerance 1e-12",
    ):
        model.solve(1e-12)


def test_converged_solve_is_silent_and_nonsymmetric_material_warns():
    model, _, _, _ = cube_model(2, isotropic_cmat(1.0, 0.3), clamped, gravity())
    model.assemble()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model.solve(1e-10)
    skewed = isotropic_cmat(1.0, 0.3)
    skewed[0][4] += 0.25  # D[0][4] != D[4][0]
    model.set_cmat(skewed)
    with pytest.warns(RuntimeWarning, match="lacks major symmetry"):
        model.solve(1e-10)


def test_edge_numbered_only_under_the_reversed_key_warns():
    pts, tets, ver_dof, edge_dof, pos_dof, bc = numbered_box((1, 1, 1), prescribed=clamped)
    # An edge on the clamped face x = 0 (so that no free row goes unused), as an element lists it.
    i, j = next((tet[0], tet[1]) for tet in tets if pts[tet[0]][0] == 0.0 and pts[tet[1]][0] == 0.0)
    forward = [t for t, tet in enumerate(tets) if any((tet[a], tet[b]) == (i, j) for a, b in EDGES)]
    edge_dof.setdefault((j, i), edge_dof.pop((i, j)))
    model = quarvex.Nexus(pts, tets)
    model.set_dof(ver_dof, edge_dof)
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    model.set_solver(pos_dof, bc)
    with pytest.warns(
        RuntimeWarning,
        match=rf"^element {forward[0]} has no degrees of freedom on its edge "
        rf"\({i}, {j}\): edge_dof lists that edge only as \({j}, {i}\)",
    ):
        model.assemble()


FIRST_ELEMENT_SCRIPT = """
import sys
import quarvex
from helpers import isotropic_cmat, numbered_box, panic_text
pts, tets, ver_dof, edge_dof, pos_dof, bc = numbered_box(
    (10, 10, 10), prescribed=lambda p: (0.0, 0.0, 0.0) if p[0] == 0.0 else None)
first_use = {}
for e, tet in enumerate(tets):
    for v in tet:
        first_use.setdefault(v, e)
# Renumbering clamped vertices leaves no row unused. Each of the 8 workers' shares of the
# elements gets a bad prescribed number at its start, except the first, whose is at its end.
fixed = sorted((e, v) for v, e in first_use.items() if pts[v][0] == 0.0)
share = len(tets) // 8
ver_dof[max(ev for ev in fixed if ev[0] < share)[1]] = (-(len(bc) + 100), 3)
for k in range(1, 8):
    ver_dof[min(ev for ev in fixed if ev[0] >= k * share)[1]] = (-(len(bc) + 100 + k), 3)
model = quarvex.Nexus(pts, tets)
model.set_dof(ver_dof, edge_dof)
model.set_cmat(isotropic_cmat(1.0, 0.3))
model.set_solver(pos_dof, bc)
print(len(bc), sorted({panic_text(model.assemble) for _ in range(100)}))
"""


def test_refusal_names_the_first_element_whatever_the_scheduling():
    tests = os.path.dirname(os.path.abspath(__file__))
    env = dict(
        os.environ, QUARVEX_NUM_THREADS="8", PYTHONPATH=os.pathsep.join([tests, os.environ.get("PYTHONPATH", "")])
    )
    result = subprocess.run(
        [sys.executable, "-c", FIRST_ELEMENT_SCRIPT], capture_output=True, text=True, env=env, timeout=300
    )
    length, texts = result.stdout.split(" ", 1)
    assert texts.strip() == str([f"index out of bounds: the len is {length} but the index is {int(length) + 100}"]), (
        result
    )


def displacement_values(model, pts):
    """Vertex displacements u = plot_disp start point - vertex, per edge key."""
    return {
        key: tuple(p - q for p, q in zip(points[0], pts[key[0]], strict=False))
        for key, points in sorted(model.plot_disp().items())
    }


def sliver_model(prescribed, with_flat):
    """Two cells of a cube, with or without a flat element on the face x = 0, numbered alike."""
    pts, tets, ver_dof, edge_dof, pos_dof, bc = numbered_box((2, 1, 1), prescribed=prescribed)
    on_face = [k for k, p in enumerate(pts) if p[0] == 0.0][:3]
    flat = (on_face[0], on_face[1], on_face[2], on_face[0])
    # The package refuses to number a degenerate element, so the flat one's edges that the box
    # lacks get numbers here: a reversed key shares its edge's, a new edge is numbered last.
    for a, b in EDGES:
        key = (flat[a], flat[b])
        if key in edge_dof:
            continue
        if key[::-1] in edge_dof:
            edge_dof[key] = edge_dof[key[::-1]]
            continue
        values = prescribed(tuple(0.5 * (p + q) for p, q in zip(pts[key[0]], pts[key[1]], strict=False)))
        if values is None:
            edge_dof[key] = (pos_dof, 3)
            pos_dof += 3
        else:
            bc.extend(float(v) for v in values)
            edge_dof[key] = (-(len(bc) - 3), 3)
    model = quarvex.Nexus(pts, tets + [flat] if with_flat else tets)
    model.set_dof(ver_dof, edge_dof)
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    model.set_f(0, set(), *gravity())
    model.set_solver(pos_dof, bc)
    return model, pts


def test_clamped_degenerate_element_adds_nothing():
    solutions = []
    for with_flat in (False, True):
        model, pts = sliver_model(clamped, with_flat)
        model.assemble()
        model.solve(1e-8)  # both answers to well within the comparison's 1e-6 (the sums' order varies)
        solutions.append(displacement_values(model, pts))
    assert solutions[0].keys() <= solutions[1].keys()
    for key, u in solutions[0].items():
        assert u == pytest.approx(solutions[1][key], rel=1e-6, abs=1e-9)


def test_free_degenerate_element_is_refused_before_anything_is_added():
    model, pts = sliver_model(lambda p: None, True)
    assert panic_text(model.assemble).startswith("degenerate element with vertices ")
    model.solve(0.0)  # a system still all zero leaves the zero solution
    assert all(c == 0.0 for u in displacement_values(model, pts).values() for c in u)


def test_set_subclass_is_read_through_its_own_entries():
    pts, tets, *_ = numbered_box((1, 1, 1))

    class Hiding(set):
        def __iter__(self):
            return iter(())

        def __len__(self):
            return 0

    results = []
    for chosen in (set(tets), Hiding(tets)):
        model, _, _, _ = cube_model(1, isotropic_cmat(1.0, 0.3), clamped)
        model.set_f(3, chosen, *gravity())
        model.assemble()
        model.solve(1e-6)
        results.append(displacement_values(model, pts))
    assert results[0].keys() == results[1].keys()
    for key, u in results[0].items():  # the same system, assembled in a scheduling-dependent order
        assert u == pytest.approx(results[1][key], rel=1e-6, abs=1e-9)
    assert any(abs(c) > 1e-6 for u in results[0].values() for c in u)


@pytest.mark.skipif(os.environ.get("QUARVEX_SANITIZED") == "1", reason="address limits do not fit a sanitizer build")
def test_refused_set_solver_costs_memory_of_the_ranges_not_of_pos_dof():
    # A free range at the very top of the 32-bit numbers: the rows below it are unused. With
    # the address space capped at 1 GiB, building per-row tables would end in MemoryError.
    script = (
        "import resource, quarvex\n"
        "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
        "m = quarvex.Nexus([(0,0,0),(1,0,0),(0,1,0),(0,0,1)], [(0,1,2,3)])\n"
        "m.set_dof({0: (2**31 - 3, 3)}, {})\n"
        "try:\n    m.set_solver(2**31, [0.0])\n"
        "except BaseException as e:\n    print(type(e).__name__, e)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "PanicException index out of bounds: the len is 0 but the index is 0", result


def test_ctrl_c_stops_a_long_solve_and_keeps_a_usable_solution():
    import time

    # Tolerance 0 runs every one of the ~26,000 iterations (tens of seconds) unless stopped.
    model, _, _, _ = cube_model(10, isotropic_cmat(1.0, 0.3), clamped, gravity())
    model.assemble()
    # A real SIGINT from another process: the solve holds the interpreter lock throughout, so
    # no Python thread of this process could run meanwhile.
    start = time.perf_counter()
    sender = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
    try:
        with pytest.raises(KeyboardInterrupt):
            model.solve(0.0)
    finally:
        sender.wait()
    # A liveness bound, far above the latency the benchmark measures: a solve that ran to its
    # end before raising would take several times longer.
    assert time.perf_counter() - start < 5.0
    assert all(math.isfinite(c) for c in displacements(model))
    model.solve(1e-8)  # the kept iterate is a valid start
