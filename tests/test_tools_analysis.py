"""Analyses through quarvex_tools whose exact answers the quadratic elements reproduce."""

import sys

import numpy as np
import pytest
from tools_meshes import scrambled_mesh

import quarvex
from quarvex_tools import (
    Elasticity,
    cos,
    exp,
    from_voigt,
    isotropic,
    log,
    orthotropic,
    sin,
    sqrt,
    system,
    to_arena,
    x,
    y,
    z,
)
from quarvex_tools.mesh import signed_volumes
from quarvex_tools.p2 import TET_POINTS, TET_WEIGHTS

SIDES = {"xmax": lambda p: p[:, 0] == 1.0}


@pytest.mark.parametrize(
    "load, where",
    [("traction", "xmax"), ("traction", SIDES["xmax"]), ("pressure", "xmax")],
)
def test_bar_under_uniform_traction_has_the_exact_uniform_stress(load, where):
    """Rollers on three sides and a uniform load on the fourth: sigma_xx = t everywhere, nothing else."""
    young, nu_xy, nu_xz = 70e9, 0.25, 0.3
    material = orthotropic(young, 50e9, 40e9, nu_xy, 0.2, nu_xz, 20e9, 15e9, 18e9)
    mesh = scrambled_mesh((3, 2, 2), seed=4)
    model = Elasticity(mesh, material)
    for side, axis in (("xmin", "x"), ("ymin", "y"), ("zmin", "z")):
        model.fix(side, components=axis)
    t = 2.5e6
    if load == "traction":
        assert model.traction(where, (t, 0.0, 0.0)) == 2 * 2 * 2
    else:
        model.pressure(where, -t)  # a negative pressure pulls
    result = model.solve(rtol=1e-12)

    assert result.report.converged
    expected = np.zeros((3, 3))
    expected[0, 0] = t
    np.testing.assert_allclose(result.stress(), np.broadcast_to(expected, result.stress().shape), atol=1e-7 * t)
    np.testing.assert_allclose(result.nodal_stress()[:, 0, 0], t, rtol=1e-7)
    p = result.points
    exact = np.column_stack([p[:, 0] / young, -nu_xy * p[:, 1] / young, -nu_xz * p[:, 2] / young]) * t
    np.testing.assert_allclose(result.displacement, exact, atol=1e-8 * np.abs(exact).max())


def test_point_loads_at_node_coordinates_act_like_the_traction_they_add_up_to():
    mesh = scrambled_mesh((2, 2, 2), seed=8)
    models = [Elasticity(mesh, isotropic(E=1.0, nu=0.3)) for _ in range(2)]
    for model in models:
        model.fix("xmin")
    models[0].traction("xmax", (0.2, -0.1, 0.3))
    loaded = np.flatnonzero(np.abs(models[0].nodal_loads).sum(axis=1))
    for node in loaded:
        assert models[1].point_load(models[1].numbering.node_points[node], models[0].nodal_loads[node]) == node
    np.testing.assert_allclose(models[0].nodal_loads.sum(axis=0), (0.2, -0.1, 0.3))  # unit face area
    first, second = (model.solve(rtol=1e-10).displacement for model in models)
    np.testing.assert_allclose(second, first, atol=1e-9 * np.abs(first).max())


@pytest.mark.parametrize(
    "forces",
    [
        [((1.0, -2.0, 3.0), None)],
        [((0.0, 0.0, -5.0), "left"), ((2.0, 0.0, 0.0), None)],
        [((sin(x) * y + 2, 0.0, x * z), "left"), ((0.0, exp(y), 1.0), "right"), ((z**2, 1.0, 0.0), None)],
    ],
)
def test_body_forces_on_element_groups_add_up(forces):
    """Without supports every unknown is free and the load vector sums to the integral of the force."""
    mesh = scrambled_mesh((3, 2, 2), seed=9)
    centroids = mesh.points[mesh.tetrahedra].mean(axis=1)
    groups = {"left": np.flatnonzero(centroids[:, 0] < 0.6), "right": np.flatnonzero(centroids[:, 0] > 0.4)}
    mesh = type(mesh)(mesh.points, mesh.tetrahedra, element_groups=groups)
    model = Elasticity(mesh, isotropic(E=1.0, nu=0.3))
    for force, group in forces:
        model.body_force(force, elements=group)
    load = system.load_vector(model.assemble())

    numbers = model.dofs.numbers()
    totals = [load[numbers[:, c]].sum() for c in range(3)]
    barycentric = np.column_stack([1 - TET_POINTS.sum(axis=1), TET_POINTS])
    volumes = np.abs(signed_volumes(mesh.points, mesh.tetrahedra)) / 6.0
    expected = np.zeros(3)
    for force, group in forces:
        members = np.arange(len(mesh.tetrahedra)) if group is None else groups[group]
        quad = np.einsum("qk,ekc->eqc", barycentric, mesh.points[mesh.tetrahedra[members]]).reshape(-1, 3)
        for c, component in enumerate(force):
            values = np.broadcast_to(component(quad) if callable(component) else component, len(quad))
            expected[c] += (6.0 * volumes[members, None] * TET_WEIGHTS * values.reshape(len(members), -1)).sum()
    np.testing.assert_allclose(totals, expected, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("given_as", ["expressions", "function"])
def test_manufactured_quadratic_field_is_reproduced(given_as):
    """u = 1/2 x.H_d.x + g_d.x with a general anisotropic material: body force -C:grad grad u, u on the boundary."""
    rng = np.random.default_rng(7)
    root = rng.normal(size=(6, 6))
    material = from_voigt(root @ root.T + 6 * np.eye(6))
    hessians = [0.5 * (h + h.T) for h in rng.normal(size=(3, 3, 3))]
    slopes = rng.normal(size=(3, 3))
    coords = (x, y, z)
    exact = [
        sum(0.5 * hessians[d][j, k] * coords[j] * coords[k] for j in range(3) for k in range(3))
        + sum(slopes[d][j] * coords[j] for j in range(3))
        for d in range(3)
    ]
    second = np.array(hessians)  # [d, j, l]
    force = -np.einsum("cjdl,djl->c", material.matrix.reshape(3, 3, 3, 3), second)

    mesh = scrambled_mesh((3, 3, 2), seed=5)
    model = Elasticity(mesh, material)
    value = exact if given_as == "expressions" else (lambda p: np.column_stack([e(p) for e in exact]))
    for side in mesh.face_groups:
        model.fix(side, value=value)
    model.body_force(tuple(force))
    result = model.solve(rtol=1e-12)

    p = result.points
    u = np.column_stack([e(p) for e in exact])
    np.testing.assert_allclose(result.displacement, u, atol=1e-9 * np.abs(u).max())
    assert result.l2_error(exact) < 1e-9 * np.abs(u).max()
    gradient = np.einsum("djl,nl->ndj", second, p) + slopes  # du_d/dx_j at the nodes
    np.testing.assert_allclose(
        result.nodal_stress(), material.stress(gradient), atol=1e-8 * np.abs(material.matrix).max()
    )


@pytest.mark.parametrize(
    "expression, numpy_form",
    [
        (sin(x) * y + 2, lambda x, y, z: np.sin(x) * y + 2),
        (2 - x / (1 + y) + 3 / (2 + z), lambda x, y, z: 2 - x / (1 + y) + 3 / (2 + z)),
        (x**3 - 2 * y**-2 + z**0, lambda x, y, z: x**3 - 2 * y**-2 + 1),
        (
            exp(-x) * cos(3 * z) + log(1 + y) - sqrt(x + z),
            lambda x, y, z: np.exp(-x) * np.cos(3 * z) + np.log(1 + y) - np.sqrt(x + z),
        ),
        (-(x * y * z) / 4 + (y - 0.5) ** 2, lambda x, y, z: -(x * y * z) / 4 + (y - 0.5) ** 2),
    ],
)
def test_expressions_evaluate_alike_in_numpy_and_in_the_arena(expression, numpy_form):
    """The core's L2 norm of (f, 0, 0) against a zero field equals the same quadrature done with numpy."""
    mesh = scrambled_mesh((2, 2, 2), seed=6)
    points = mesh.points + np.array([0.5, 0.5, 0.5])  # keep y away from 0 for y**-2
    tets = mesh.tetrahedra
    nexus = quarvex.Nexus([tuple(q) for q in points.tolist()], [tuple(t) for t in tets.tolist()])
    arena, nodes = to_arena([expression, 0.0, 0.0])
    measured = nexus.error(arena, nodes)

    barycentric = np.column_stack([1 - TET_POINTS.sum(axis=1), TET_POINTS])
    quad = np.einsum("qk,ekc->eqc", barycentric, points[tets]).reshape(-1, 3)
    values = expression(quad).reshape(len(tets), -1)
    np.testing.assert_allclose(values.ravel(), numpy_form(*quad.T), rtol=1e-13)
    expected = np.sqrt((np.abs(signed_volumes(points, tets))[:, None] * TET_WEIGHTS * values**2).sum())
    assert measured == pytest.approx(expected, rel=1e-12)


def test_materials_agree():
    E, nu = 210e9, 0.3
    lam, mu = E * nu / ((1 + nu) * (1 - 2 * nu)), E / (2 * (1 + nu))
    iso = isotropic(E=E, nu=nu)
    # D[3c + j][3d + l] = lam delta_cj delta_dl + mu (delta_cd delta_jl + delta_cl delta_jd)
    delta = np.eye(3)
    lame = lam * np.einsum("cj,dl->cjdl", delta, delta)
    lame += mu * (np.einsum("cd,jl->cjdl", delta, delta) + np.einsum("cl,jd->cjdl", delta, delta))
    np.testing.assert_allclose(iso.matrix, lame.reshape(9, 9), rtol=1e-14)
    np.testing.assert_allclose(isotropic(lam=lam, mu=mu).matrix, iso.matrix, rtol=1e-14)
    G = E / (2 * (1 + nu))
    np.testing.assert_allclose(orthotropic(E, E, E, nu, nu, nu, G, G, G).matrix, iso.matrix, rtol=1e-12)
    np.testing.assert_allclose(from_voigt(iso.voigt()).matrix, iso.matrix)
    rng = np.random.default_rng(0)
    root = rng.normal(size=(6, 6))
    voigt = root @ root.T + 6 * np.eye(6)  # symmetric positive definite, as a stiffness must be
    np.testing.assert_array_equal(from_voigt(voigt).voigt(), voigt)


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: isotropic(E=1.0), "either E and nu"),
        (lambda: isotropic(E=1.0, nu=0.5), "nu < 0.5"),
        (lambda: orthotropic(1, 1, 1, 0.9, 0.9, 0.9, 1, 1, 1), "positive definite"),
        (lambda: from_voigt(np.eye(5)), "6 x 6"),
    ],
)
def test_material_refusals(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_region_mistakes_are_refused():
    model = Elasticity(scrambled_mesh((2, 2, 2), seed=1), isotropic(E=1.0, nu=0.25))
    with pytest.raises(ValueError, match="holds no node"):
        model.fix(lambda p: p[:, 0] > 2.0)
    with pytest.raises(KeyError, match="no face group 'top'"):
        model.fix("top")
    with pytest.raises(ValueError, match="bool array of shape"):
        model.fix(lambda p: p[:, 0])
    with pytest.raises(ValueError, match="three components"):
        model.body_force(1.0)
    with pytest.raises(ValueError, match="no node at"):
        model.point_load((0.3, 0.3, 0.3), (1.0, 0.0, 0.0))


if __name__ == "__main__":
    sys.exit(pytest.main([__file__]))
