"""Results on curved (isoparametric) 10-node tetrahedra: gradients, stresses, energies and error norms
through the curved map, checked against a field the curved elements hold exactly."""

import numpy as np
import pytest

from quarvex_tools import Elasticity, Mesh, _native, box_mesh, isotropic, system, x, y, z
from quarvex_tools.cases import body_loads
from quarvex_tools.numbering import core_arrays, number_dofs, p2_nodes, p2_numbering
from quarvex_tools.p2 import TET_POINTS, displacement_gradients, element_node_positions, mapped_points
from quarvex_tools.queries import energy_error, gradient_function, l2_error, strain_energy
from quarvex_tools.results import Result

MATERIAL = isotropic(E=1.0, nu=0.3)
A, B, C = 0.15, 0.1, -0.12


def bend(p):
    """A quadratic map of the unit cube with a polynomial inverse (its Jacobian determinant is 1)."""
    return np.column_stack([p[:, 0], p[:, 1] + A * p[:, 0] ** 2, p[:, 2] + B * p[:, 0] * p[:, 1] + C * p[:, 1] ** 2])


# The inverse of `bend` as expressions of the physical coordinates.
X0 = x
X1 = y - A * x**2
X2 = z - B * X0 * X1 - C * X1**2
# A quadratic field of the cube's coordinates: carried by the bent mesh's curved elements exactly,
# since the element map is `bend` of an affine map (quadratic in the reference coordinates) and so is u.
EXACT = (X0**2 + 0.5 * X1 * X2, X2**2 - X0 * X1, 0.3 * X0 * X2 + X1**2 - X1)


def bent_mesh(cells=2):
    box = box_mesh(cells, cells, cells)
    nodes = p2_nodes(box.points, box.tetrahedra)
    return Mesh(bend(nodes.node_points), nodes.element_nodes.copy(), face_groups=box.face_groups)


def exact_values(points):
    return np.column_stack([np.broadcast_to(c(points), (len(points),)) for c in EXACT])


def result_of(mesh, displacement=None):
    """A result holding a displacement (default: EXACT at the nodes) without a solve."""
    model = Elasticity(mesh, MATERIAL)
    if displacement is None:
        displacement = exact_values(model.numbering.node_points)
    return Result(model, displacement, report=None)


def quadrature_points(mesh):
    nodes = element_node_positions(mesh.points, mesh.tetrahedra, mesh.edge_points)
    return mapped_points(nodes, TET_POINTS).reshape(-1, 3)


@pytest.fixture(scope="module")
def bent():
    mesh = bent_mesh()
    assert len(mesh.curved) > len(mesh.tetrahedra) // 2
    return result_of(mesh)


def test_quadratic_field_through_the_curved_map_has_its_exact_stress(bent):
    mesh = bent.model.mesh
    exact_gradient = gradient_function(EXACT)(quadrature_points(mesh)).reshape(-1, 14, 3, 3)
    expected = MATERIAL.stress(exact_gradient)
    error = np.abs(bent.stress() - expected).max()
    assert error < 1e-12, f"largest stress error at the quadrature points {error:.3g}"
    straight = displacement_gradients(
        mesh.points, mesh.tetrahedra, bent.displacement[bent.model.numbering.element_nodes], TET_POINTS
    )
    assert np.abs(MATERIAL.stress(straight) - expected).max() > 1e-3, "the straight elements would have done"
    nodal = bent.nodal_stress()
    node_error = np.abs(nodal - MATERIAL.stress(gradient_function(EXACT)(bent.points))).max()
    assert node_error < 1e-11, f"largest nodal stress error {node_error:.3g}"


@pytest.mark.parametrize(
    "measure",
    [
        lambda r, curved: energy_error(*_arrays(r), MATERIAL.matrix, gradient_function(EXACT), curved),
        lambda r, curved: l2_error(*_arrays(r), exact_values, curved),
    ],
    ids=["energy", "l2"],
)
def test_error_norms_of_a_field_the_curved_elements_hold_vanish(bent, measure):
    from quarvex_tools.queries import curved_elements

    curved = curved_elements(bent.model.mesh)
    assert measure(bent, curved) < 1e-12
    assert measure(bent, None) > 1e-4, "on the straight elements the field is not exact"


def _arrays(result):
    mesh = result.model.mesh
    return mesh.points, mesh.tetrahedra, result.model.numbering.element_nodes, result.displacement


def test_result_error_norms_use_the_curved_geometry(bent):
    assert bent.l2_error(EXACT) < 1e-12
    assert bent.energy_error(EXACT) < 1e-12


def test_package_l2_error_is_the_cores_on_straight_elements():
    model = Elasticity(box_mesh(2, 2, 2), MATERIAL)
    model.fix("zmin")
    model.body_force((0.1, 0.0, -1.0))
    result = model.solve(rtol=1e-10)
    field = (x * y * 0.1, z**2, x + z)
    ours = l2_error(*_arrays(result), lambda p: np.column_stack([np.broadcast_to(c(p), (len(p),)) for c in field]))
    assert ours == pytest.approx(result.l2_error(field), rel=1e-12)


def _curved_stiffness_energy(mesh, displacement, numbering):
    """1/2 u . K u with K assembled here by the native curved kernel, every node free."""
    free = np.zeros((numbering.n_nodes, 3), dtype=bool)
    dofs = number_dofs(numbering, free, np.zeros((numbering.n_nodes, 3)), keep_rows=True)
    nexus = system.nexus_from_arrays(mesh.points, mesh.tetrahedra)
    system.set_dof_arrays(nexus, *core_arrays(numbering, dofs))
    nexus.set_cmat(MATERIAL.matrix.tolist())
    nexus.set_solver(dofs.n_free, dofs.bc.tolist())
    every = np.arange(len(mesh.tetrahedra), dtype=np.int64)
    _native.assemble_curved(nexus, every, np.ascontiguousarray(mesh.edge_points.reshape(-1, 18)))
    vector = np.zeros(dofs.n_free)
    vector[dofs.numbers()] = displacement
    return 0.5 * float(vector @ (system.stiffness_matrix(nexus) @ vector))


def test_strain_energy_of_a_curved_model_is_that_of_its_curved_stiffness():
    model = Elasticity(bent_mesh(3), MATERIAL)
    model.fix("zmin")
    model.body_force((0.2, 0.0, -1.0))
    model.traction("xmax", (0.0, 0.5, 0.0))
    result = model.solve(rtol=1e-12)
    expected = _curved_stiffness_energy(model.mesh, result.displacement, model.numbering)
    assert result.strain_energy() == pytest.approx(expected, rel=1e-11)
    assert result.strain_energy(method="matrix") == pytest.approx(expected, rel=1e-11)
    halves = result.strain_energy(np.arange(0, len(model.mesh.tetrahedra), 2))
    halves += result.strain_energy(np.arange(1, len(model.mesh.tetrahedra), 2))
    assert halves == pytest.approx(expected, rel=1e-11)


def test_straight_elements_keep_their_affine_arithmetic(bent):
    """On a mesh with curved elements the straight ones' gradients are bit for bit the affine ones."""
    box = box_mesh(3, 3, 3)
    nodes = p2_nodes(box.points, box.tetrahedra)
    moved = nodes.node_points.copy()
    moved[nodes.element_nodes[40, 9]] += (0.01, -0.02, 0.015)  # one edge node: the elements around it curve
    mesh = Mesh(moved, nodes.element_nodes.copy())
    assert 0 < len(mesh.curved) < len(mesh.tetrahedra)
    result = result_of(mesh, exact_values(p2_numbering(mesh).node_points))
    straight = np.setdiff1d(np.arange(len(mesh.tetrahedra)), mesh.curved)
    affine = displacement_gradients(
        mesh.points,
        mesh.tetrahedra[straight],
        result.displacement[result.model.numbering.element_nodes[straight]],
        TET_POINTS,
    )
    np.testing.assert_array_equal(result.gradients()[straight], affine)
    np.testing.assert_array_equal(result.gradients(elements=straight), affine)
    whole = strain_energy(*_arrays(result), MATERIAL.matrix, straight)
    assert result.strain_energy(straight) == whole


def test_body_loads_of_a_curved_mesh_are_the_native_ones():
    """What load cases integrate in numpy equals what the native curved kernel assembles."""
    model = Elasticity(bent_mesh(2), MATERIAL)
    model.body_force((x * y + 1.0, z**2, -2.0))
    model.body_force((0.0, 0.0, 3.0), elements=np.arange(0, 48, 3))
    numpy_side = body_loads(model.mesh, model.numbering, model._body_forces)
    nexus = model.assemble()
    native = system.load_vector(nexus)[model.dofs.numbers()]
    np.testing.assert_allclose(numpy_side, native, rtol=0, atol=1e-14 * np.abs(native).max())
    straight = Mesh(model.mesh.points, model.mesh.tetrahedra)
    assert np.abs(body_loads(straight, p2_numbering(straight), model._body_forces) - native).max() > 1e-4


def test_cases_with_different_body_forces_solve_together_on_a_curved_mesh():
    model = Elasticity(bent_mesh(2), MATERIAL)
    for axis, side in enumerate(("xmin", "ymin", "zmin")):
        model.fix(side, components="xyz"[axis])
    model.body_force((0.0, 0.0, -1.0))
    with model.load_case("side"):
        model.body_force((1.0, x, 0.0))
    together = model.solve_cases(rtol=1e-12)
    alone = model.solve(case="side", rtol=1e-12)
    np.testing.assert_allclose(together["side"].displacement, alone.displacement, atol=1e-9)
