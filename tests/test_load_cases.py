"""Load cases: each case acts alone, several cases share one assembly and one solver set-up."""

from __future__ import annotations

import numpy as np
import pytest

from quarvex_tools import Elasticity, Mesh, box_mesh, direct, isotropic, solvers, system, x, y
from quarvex_tools.cases import body_loads

needs_direct = pytest.mark.skipif(not direct.available(), reason="the direct extra (MKL) is not installed")
METHODS = ["amg", pytest.param("direct", marks=needs_direct), "auto", "cg"]
RTOL = 1e-11


def turned_block() -> Mesh:
    """A 3 x 1 x 1 block turned by 30 degrees about z, so that its side faces are inclined."""
    box = box_mesh(6, 2, 2, size=(3.0, 1.0, 1.0))
    angle = np.radians(30.0)
    turn = np.array([[np.cos(angle), -np.sin(angle), 0.0], [np.sin(angle), np.cos(angle), 0.0], [0.0, 0.0, 1.0]])
    upper = np.flatnonzero(box.tetrahedra.mean(axis=1) >= 0)  # every element; a group for body forces below
    half = upper[box.points[box.tetrahedra].mean(axis=1)[:, 0] > 1.5]
    return Mesh(box.points @ turn.T, box.tetrahedra, element_groups={"far": half}, face_groups=box.face_groups)


def supported(mesh: Mesh) -> Elasticity:
    """Clamped at one end with an imposed displacement, sliding on an inclined side face (nodes with frames)."""
    model = Elasticity(mesh, isotropic(E=100.0, nu=0.3))
    model.fix("xmin", value=(0.0, 0.0, 1e-3))
    model.frictionless("ymin")
    return model


# Each case as a function giving its loads to a model: the traction acts on the sliding face, so
# that its load meets the nodes turned into frames; the point load and the body forces vary in space.
CASES = {
    "traction": lambda m: m.traction("ymin", (0.3, -0.2, 0.5)),
    "gravity": lambda m: m.body_force((0.0, 0.0, -2.0)),
    "mixed": lambda m: (
        m.body_force((x * y, 0.0, 1.0), elements="far"),
        m.pressure("zmax", 0.4),
        m.point_load(int(np.argmax(10 * m.mesh.points[:, 2] + m.mesh.points[:, 1])), (0.1, 0.2, -0.3)),
    ),
}


def alone(name: str, method: str):
    """The result of a model that holds the supports and this case's loads only."""
    model = supported(turned_block())
    CASES[name](model)
    return model.solve(RTOL, method=method)


@pytest.fixture(scope="module")
def references():
    return {name: alone(name, "amg") for name in CASES}


def with_cases() -> Elasticity:
    model = supported(turned_block())
    CASES["traction"](model)  # the default case
    for name in ("gravity", "mixed"):
        with model.load_case(name):
            CASES[name](model)
    return model


def assert_same(result, reference):
    scale = np.abs(reference.displacement).max()
    np.testing.assert_allclose(result.displacement, reference.displacement, rtol=0, atol=1e-7 * scale)
    forces = np.abs(reference.reaction_forces).max()
    np.testing.assert_allclose(result.reaction_forces, reference.reaction_forces, rtol=0, atol=1e-6 * forces)


@pytest.mark.parametrize("method", METHODS)
def test_each_case_equals_a_solve_of_its_loads_alone(method, references):
    model = with_cases()
    results = model.solve_cases(rtol=RTOL, method=method)
    assert list(results) == ["default", "gravity", "mixed"]
    # The default case holds the loads of "traction".
    for result, reference in zip(results.values(), references.values(), strict=True):
        assert_same(result, reference)
        assert result.report.converged


@pytest.mark.parametrize("method", METHODS)
def test_a_second_case_does_not_keep_the_first_cases_load(method, references):
    model = with_cases()
    assert_same(model.solve(RTOL, method=method, case="gravity"), references["gravity"])
    assert_same(model.solve(RTOL, method=method), references["traction"])  # the default case, as before


def test_cleared_loads_are_gone_and_the_supports_stay(references):
    model = with_cases()
    model.clear_loads()
    assert model.load_cases == [] and not model.nodal_loads.any()
    CASES["gravity"](model)
    assert_same(model.solve(RTOL), references["gravity"])
    with model.load_case("mixed"):
        CASES["mixed"](model)
    model.clear_loads("mixed")
    assert model.load_cases == ["default"]


def count_calls(monkeypatch, module, name):
    calls = []
    original = getattr(module, name)

    def counted(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(module, name, counted)
    return calls


@pytest.mark.parametrize("method", ["amg", "auto"])
def test_many_cases_assemble_once_and_build_one_hierarchy(monkeypatch, method):
    model = with_cases()
    for k in range(4):
        with model.load_case(f"extra {k}"):
            model.traction("xmax", (0.0, 0.1 * k, -1.0))
    assemblies = count_calls(monkeypatch, system, "nexus_from_arrays")
    hierarchies = count_calls(monkeypatch, system, "multigrid")
    results = model.solve_cases(rtol=1e-8, method=method)
    assert len(results) == 7 and len(assemblies) == 1 and len(hierarchies) == 1
    assert all(0 < result.report.iterations < 60 for result in results.values())


@needs_direct
def test_many_cases_factorise_once(monkeypatch):
    model = with_cases()
    phases = []
    original = direct._interruptible

    def recorded(factor, phase, rhs=None):
        phases.append(phase)
        return original(factor, phase, rhs)

    monkeypatch.setattr(direct, "_interruptible", recorded)
    results = model.solve_cases(rtol=1e-10, method="direct")
    assert phases.count(direct._FACTORISE) == 1 and phases.count(direct._ANALYSE) == 1
    assert [r.report.method for r in results.values()] == ["direct"] * 3


@pytest.mark.parametrize(
    "support",
    [
        lambda m: m.fix("xmax"),
        lambda m: m.frictionless("zmin"),
        lambda m: m.elastic_support("zmax", 1.0),
    ],
)
def test_supports_inside_a_case_are_refused_and_change_nothing(support):
    model = with_cases()
    fixed, springs, sliding = model.fixed, len(model._springs), len(model._normal_supports)
    with model.load_case("wind"), pytest.raises(ValueError, match="supports belong to the model"):
        support(model)
    assert (model.fixed == fixed).all() and len(model._springs) == springs
    assert len(model._normal_supports) == sliding


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda m: m.solve_cases(["gravity", "snow"]), KeyError, "no load case 'snow'"),
        (lambda m: m.solve_cases(["gravity", "gravity"]), ValueError, "named twice"),
        (lambda m: m.solve_cases([]), ValueError, "no load case to solve"),
        (lambda m: m.solve(case="snow"), KeyError, "no load case 'snow'"),
        (lambda m: m.clear_loads("snow"), KeyError, "no load case 'snow'"),
        (lambda m: m.load_case("").__enter__(), ValueError, "non-empty name"),
        (lambda m: m.load_case(3).__enter__(), TypeError, "named by a str"),
    ],
)
def test_unknown_and_malformed_cases_are_refused(call, error, text):
    model = with_cases()
    with pytest.raises(error, match=text):
        call(model)
    assert model.load_cases == ["default", "gravity", "mixed"]


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.load_case("other").__enter__(),
        lambda m: m.solve_cases(),
        lambda m: m.clear_loads(),
    ],
)
def test_blocks_do_not_nest_and_solve_and_clear_wait_for_the_block_to_close(call):
    model = with_cases()
    with model.load_case("wind"):
        with pytest.raises(ValueError, match="load case 'wind'"):
            call(model)
    assert model.load_cases == ["default", "gravity", "mixed"]


def test_solve_without_a_case_refuses_to_solve_an_empty_default_beside_named_cases():
    model = supported(turned_block())
    with model.load_case("gravity"):
        CASES["gravity"](model)
    with pytest.raises(ValueError, match="default load case holds no load"):
        model.solve()
    assert model.solve(case="gravity").report.converged


def test_only_a_single_case_result_holds_the_core_model():
    model = with_cases()
    several = model.solve_cases()
    assert all(result.nexus is None for result in several.values())
    assert model.solve_cases(["mixed"])["mixed"].nexus is model.nexus


@pytest.mark.parametrize(
    "force, elements",
    [
        ((0.0, 0.0, -2.0), None),
        ((x * y, 1.0, y * y), "far"),
    ],
)
def test_body_loads_integrate_as_the_core_does(force, elements):
    model = Elasticity(turned_block(), isotropic(E=100.0, nu=0.3))
    model.body_force(force, elements=elements)
    core = system.load_vector(model.assemble())
    assert model.dofs is not None
    nodal = body_loads(model.mesh, model.numbering, model._body_forces)
    mine = np.bincount(model.dofs.numbers().ravel(), nodal.ravel())
    np.testing.assert_allclose(mine, core, rtol=0, atol=1e-13 * np.abs(core).max())


@pytest.mark.parametrize("method", ["amg", pytest.param("direct", marks=needs_direct)])
def test_ctrl_c_during_the_cases_propagates_and_the_next_solve_works(method, references):
    model = with_cases()

    def interrupt(case, iteration, residual):
        if case == "gravity":
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        model.solve_cases(rtol=RTOL, method=method, callback=interrupt)
    assert_same(model.solve(RTOL, method=method, case="gravity"), references["gravity"])


def test_the_choice_of_auto_is_made_once_and_named_for_the_later_cases():
    results = with_cases().solve_cases(rtol=1e-8, method="auto")
    first, *rest = results.values()
    assert first.report.method == "amg" and "multigrid" in first.report.reason
    assert all(r.report.method == "amg" and r.report.reason.startswith("chosen on case 'default'") for r in rest)


def test_solve_each_refuses_an_unknown_method():
    with pytest.raises(ValueError, match="method must be one of"):
        next(solvers.solve_each(None, [], method="lu"))  # type: ignore[arg-type]


@needs_direct
def test_auto_that_goes_direct_factorises_once_for_every_case(monkeypatch, references):
    monkeypatch.setattr(solvers, "DIRECT_CONSIDERED_STEPS", 0)  # weigh the direct solve on any model
    monkeypatch.setattr(solvers, "_DIRECT_FLOPS_PER_SECOND", 1e30)  # and find it faster
    monkeypatch.setattr(solvers, "_DIRECT_SECONDS_PER_UNKNOWN", 0.0)
    monkeypatch.setattr(solvers, "PROBE_STEPS", 0)  # a probe that cannot converge on this small model
    factorisations = []
    original = direct._interruptible

    def recorded(factor, phase, rhs=None):
        factorisations.extend([phase] if phase == direct._FACTORISE else [])
        return original(factor, phase, rhs)

    monkeypatch.setattr(direct, "_interruptible", recorded)
    results = with_cases().solve_cases(rtol=RTOL, method="auto")
    assert [r.report.method for r in results.values()] == ["direct"] * 3, results["default"].report.reason
    assert len(factorisations) == 1
    for result, reference in zip(results.values(), references.values(), strict=True):
        assert_same(result, reference)


@pytest.mark.parametrize(("method", "single_solves"), [("amg", 0), ("auto", 1)])
def test_multigrid_solves_the_later_cases_together(monkeypatch, method, single_solves, references):
    """amg solves every case in one native call; auto solves the first alone (its probe converges), the rest
    together."""
    singles = count_calls(monkeypatch, system, "solve_amg")
    together = count_calls(monkeypatch, system, "solve_amg_many")
    results = with_cases().solve_cases(rtol=RTOL, method=method)
    assert len(singles) == single_solves and len(together) == 1
    assert len(together[0][1]) == (3 if method == "amg" else 2)
    for result, reference in zip(results.values(), references.values(), strict=True):
        assert_same(result, reference)
        assert result.report.method == "amg" and result.report.converged


def test_loads_solved_together_keep_the_model_and_warn_each():
    model = Elasticity(box_mesh(6, 6, 6), isotropic(E=1.0, nu=0.3))
    model.fix("zmin")
    model.body_force((0.0, 1.0, -1.0))
    nexus = model.solve(RTOL, method="amg").nexus
    load = system.load_vector(nexus)
    system.set_solution(nexus, np.zeros_like(load))
    loads = np.stack([load, -2.0 * load, np.zeros_like(load)])
    with pytest.warns(RuntimeWarning, match="reached maxiter = 2") as caught:
        solutions, results = system.solve_amg_many(nexus, loads, rtol=1e-12, maxiter=2, constraints=model.constraints)
    assert len(caught) == 2  # the zero load is met by the zero start
    assert [(r.iterations, r.converged) for r in results] == [(2, False), (2, False), (0, True)]
    np.testing.assert_allclose(solutions[1], -2.0 * solutions[0], rtol=0, atol=1e-12 * np.abs(solutions[0]).max())
    assert not solutions[2].any()
    np.testing.assert_array_equal(system.load_vector(nexus), load)  # the model's vectors stay
    assert not system.solution(nexus).any()
    with pytest.raises(ValueError, match=r"loads must have shape \(k, "):
        system.solve_amg_many(nexus, load)


@pytest.mark.parametrize(
    ("unknowns", "available", "expected"),
    [
        (1_000, None, solvers.MAX_BATCH),  # memory unknown
        (1_000, 10**12, solvers.MAX_BATCH),  # plenty: the native batch's width
        (10**6, 4 * 14 * 8 * 10**6, 2),  # half of the room holds two loads' vectors
        (10**6, 10**6, 1),  # no room: one at a time
    ],
)
def test_the_loads_solved_together_fit_in_memory(unknowns, available, expected):
    assert solvers.loads_per_batch(unknowns, available) == expected


def test_loads_beyond_a_batch_are_solved_in_several(monkeypatch, references):
    monkeypatch.setattr(solvers, "loads_per_batch", lambda unknowns: 2)
    together = count_calls(monkeypatch, system, "solve_amg_many")
    results = with_cases().solve_cases(rtol=RTOL, method="amg")
    assert [len(call[1]) for call in together] == [2, 1]
    for result, reference in zip(results.values(), references.values(), strict=True):
        assert_same(result, reference)
