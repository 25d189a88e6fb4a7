"""The exported system against an independent dense assembly, and exported arrays that outlive
what they came from."""

import gc

import numpy as np
import pytest
from helpers import EDGES, isotropic_cmat, numbered

import quarvex
from quarvex_tools import Mesh, box_mesh, system

# Four-point rule of degree 2 on a tetrahedron (barycentric coordinates, weights sum to 1):
# the stiffness integrand of a straight-sided quadratic element is of degree 2.
_A, _B = 0.1381966011250105, 0.5854101966249685
QUAD_POINTS = np.array([[_B if k == q else _A for k in range(4)] for q in range(4)])


def element_stiffness(corners, cmat):
    """30 x 30 stiffness of a 10-node tetrahedron, row 3a + c, column 3b + d, from scratch."""
    jacobian = (corners[1:] - corners[0]).T
    inverse = np.linalg.inv(jacobian)
    bary_grads = np.vstack([-inverse.sum(axis=0), inverse])  # grad lambda_k, rows k = 0..3
    volume = abs(np.linalg.det(jacobian)) / 6.0
    tensor = np.asarray(cmat).reshape(3, 3, 3, 3)  # D[3c + j][3d + l] -> [c, j, d, l]
    stiffness = np.zeros((10, 3, 10, 3))
    for lam in QUAD_POINTS:
        grads = [(4.0 * lam[a] - 1.0) * bary_grads[a] for a in range(4)]
        grads += [4.0 * (lam[i] * bary_grads[j] + lam[j] * bary_grads[i]) for i, j in EDGES]
        grads = np.array(grads)  # (10, 3): shape a, direction j
        stiffness += volume / 4.0 * np.einsum("aj,cjdl,bl->acbd", grads, tensor, grads)
    return stiffness.reshape(30, 30)


def element_dofs(tet, ver_dof, edge_dof):
    """The expanded degree-of-freedom list of an element, local node order."""
    ranges = [ver_dof[v] for v in tet] + [edge_dof[(tet[i], tet[j])] for i, j in EDGES]
    return [start + k if start >= 0 else start - k for start, count in ranges for k in range(count)]


def dense_system(pts, tets, ver_dof, edge_dof, pos_dof, bc, cmat):
    """(K_ff, -K_fc bc) by dense assembly."""
    prescribed = len(bc)
    full = np.zeros((pos_dof + prescribed, pos_dof + prescribed))
    for tet in tets:
        dofs = [d if d >= 0 else pos_dof - d for d in element_dofs(tet, ver_dof, edge_dof)]
        full[np.ix_(dofs, dofs)] += element_stiffness(np.array([pts[v] for v in tet]), cmat)
    values = np.concatenate([np.zeros(pos_dof), bc])
    return full[:pos_dof, :pos_dof], -full[:pos_dof, pos_dof:] @ values[pos_dof:]


def shuffled(ver_dof, edge_dof, pos_dof, seed):
    """The same numbering with the free nodes renumbered in random order (many short runs)."""
    permutation = np.random.default_rng(seed).permutation(pos_dof // 3)

    def moved(value):
        start, count = value
        return (3 * int(permutation[start // 3]), count) if start >= 0 else value

    return {k: moved(v) for k, v in ver_dof.items()}, {k: moved(v) for k, v in edge_dof.items()}


def jittered_box(cells, seed):
    """box_mesh with its inner coordinates moved at random; boundary planes stay planes."""
    box = box_mesh(*cells)
    noise = np.random.default_rng(seed).uniform(-0.15, 0.15, size=box.points.shape) / max(cells)
    noise[(box.points == 0.0) | (box.points == 1.0)] = 0.0
    return Mesh(box.points + noise, box.tetrahedra)


def general_cmat(seed):
    """An isotropic matrix plus a non-symmetric part, so a transposed export would show."""
    return (np.array(isotropic_cmat(2.0, 0.25)) + np.random.default_rng(seed).uniform(0, 0.3, (9, 9))).tolist()


def clamp_left(p):
    return (0.01 * p[1], -0.02 * p[2], 0.03) if p[0] == 0.0 else None


SYSTEMS = {  # cells, prescribed values, shuffled numbering
    "one element, free": ((1, 1, 1), None, False),
    "box, clamped, ordered": ((2, 2, 1), clamp_left, False),
    "box, clamped, shuffled": ((3, 1, 2), clamp_left, True),
}


def build(cells, prescribed, shuffle, cmat, seed=0):
    mesh = jittered_box(cells, seed)
    if cells == (1, 1, 1):
        used, first = np.unique(mesh.tetrahedra[0], return_inverse=True)
        mesh = Mesh(mesh.points[used], first.reshape(1, 4))
    pts, tets, ver_dof, edge_dof, pos_dof, bc = numbered(mesh, prescribed)
    if shuffle:
        ver_dof, edge_dof = shuffled(ver_dof, edge_dof, pos_dof, seed)
    model = quarvex.Nexus(pts, tets)
    model.set_dof(ver_dof, edge_dof)
    model.set_cmat(cmat)
    model.set_solver(pos_dof, bc)
    model.assemble()
    return model, dense_system(pts, tets, ver_dof, edge_dof, pos_dof, bc, cmat), bc


@pytest.mark.parametrize("name", sorted(SYSTEMS))
@pytest.mark.parametrize("symmetric", [True, False])
def test_csr_and_load_match_dense_assembly(name, symmetric):
    cmat = isotropic_cmat(2.0, 0.25) if symmetric else general_cmat(1)
    model, (stiffness, load), bc = build(*SYSTEMS[name], cmat)
    matrix = system.stiffness_matrix(model)
    scale = np.abs(stiffness).max()
    assert matrix.shape == stiffness.shape and matrix.dtype == np.float64
    assert matrix.indices.dtype == np.int32 and matrix.indptr.dtype == np.int32
    assert matrix.has_canonical_format
    worst = np.abs(matrix.toarray() - stiffness).max() / scale
    assert worst < 1e-12, f"exported matrix differs from the dense assembly by {worst:.2e} (relative)"
    # every stored entry belongs to the coupling pattern; the checked format has no duplicates
    rows = np.repeat(np.arange(matrix.shape[0]), np.diff(matrix.indptr))
    assert np.all(np.diff(matrix.indices)[np.diff(rows) == 0] > 0)
    if len(bc) > 1:
        worst_load = np.abs(system.load_vector(model) - load).max() / np.abs(load).max()
        assert worst_load < 1e-12, f"load vector differs by {worst_load:.2e} (relative)"
    assert system.prescribed_values(model).tolist() == bc


def test_empty_system_exports_empty_arrays():
    model = quarvex.Nexus([], [])
    assert system.stiffness_matrix(model).shape == (0, 0)
    model.set_solver(0, [])
    for read in (system.solution, system.load_vector, system.prescribed_values):
        assert read(model).shape == (0,)
    assert system.stiffness_matrix(model).nnz == 0


def cube(n=2):
    model, (stiffness, load), bc = build((n, n, 1), clamp_left, False, isotropic_cmat(1.0, 0.3))
    assert len(bc) > 1 and np.abs(load).max() > 0.0
    return model, stiffness, load


def test_structure_shared_per_set_solver_and_values_per_export():
    model, stiffness, _ = cube()
    first = system.stiffness_matrix(model)
    again = system.stiffness_matrix(model)
    assert np.shares_memory(first.indices, again.indices) and not np.shares_memory(first.data, again.data)
    assert not first.indices.flags.writeable and first.data.flags.writeable
    first.data[:] = 0.0  # a matrix's values are its own
    assert np.array_equal(again.toarray(), system.stiffness_matrix(model).toarray())

    model.set_solver(stiffness.shape[0], system.prescribed_values(model).tolist())  # new structure, zero values
    rebuilt = system.stiffness_matrix(model)
    assert not np.shares_memory(rebuilt.indices, again.indices)
    assert np.array_equal(rebuilt.indices, again.indices) and rebuilt.count_nonzero() == 0
    assert np.abs(again.toarray() - stiffness).max() < 1e-12 * np.abs(stiffness).max()


def test_exported_arrays_outlive_set_solver_and_the_model():
    model, stiffness, load = cube()
    rng = np.random.default_rng(3)
    start = rng.standard_normal(stiffness.shape[0])
    system.set_solution(model, start)
    matrix, sol, rhs, bc = (
        system.stiffness_matrix(model),
        system.solution(model),
        system.load_vector(model),
        system.prescribed_values(model),
    )
    expected = (matrix.toarray().copy(), sol.copy(), rhs.copy(), bc.copy())
    sol[:] = 1.0  # writing a copy does not reach the model
    assert np.array_equal(system.solution(model), start)

    model.set_solver(stiffness.shape[0], [0.0] * len(bc))  # replaces bc, rebuilds mat
    model.nullify()
    del model
    gc.collect()
    churn = [np.full(len(start), 9.0) for _ in range(50)]  # reuse any freed memory
    assert np.array_equal(matrix.toarray(), expected[0])
    assert np.array_equal(rhs, expected[2]) and np.array_equal(bc, expected[3])
    assert np.allclose(matrix @ start, (stiffness @ start))
    del churn


@pytest.mark.parametrize(
    "setter, reader", [(system.set_solution, system.solution), (system.set_load_vector, system.load_vector)]
)
def test_vector_setters_write_exactly_and_check_the_length(setter, reader):
    model, stiffness, _ = cube()
    values = np.random.default_rng(5).standard_normal(stiffness.shape[0])
    setter(model, values.tolist())
    assert np.array_equal(reader(model), values)
    for wrong in (values[:-1], np.append(values, 0.0), values.reshape(-1, 3)):
        with pytest.raises(ValueError):
            setter(model, wrong)
    assert np.array_equal(reader(model), values), "a refused write must leave the vector as it was"


def test_added_point_load_moves_the_solution_as_the_dense_solve():
    model, stiffness, load = cube()
    extra = np.zeros(stiffness.shape[0])
    extra[-3:] = (0.0, 0.0, -0.5)  # a point load on the last free node
    system.set_load_vector(model, system.load_vector(model) + extra)
    result = system.solve(model, rtol=1e-12)
    exact = np.linalg.solve(stiffness, load + extra)
    assert result.converged
    assert np.abs(system.solution(model) - exact).max() < 1e-8 * np.abs(exact).max()
