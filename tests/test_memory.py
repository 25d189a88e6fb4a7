"""What the package keeps in memory beside the core: no copy of the core's system, and per-node
tables only for what the user gave."""

import warnings

import numpy as np
import pytest

from quarvex_tools import Elasticity, box_mesh, isotropic, system
from quarvex_tools.mesh import OUTWARD_FACES


def held_arrays(root, depth=3):
    """Every numpy array reachable from `root` through the package's objects, dataclass fields,
    lists, tuples and dicts, each buffer once."""
    found, seen = {}, set()

    def visit(item, level):
        if isinstance(item, np.ndarray):
            owner = item
            while isinstance(owner, np.ndarray) and owner.base is not None:
                owner = owner.base
            found.setdefault(id(owner), item)
            return
        if level == 0 or id(item) in seen:
            return
        seen.add(id(item))
        if isinstance(item, dict):
            children = item.values()
        elif isinstance(item, (list, tuple)):
            children = item
        elif type(item).__module__.startswith("quarvex_tools") and hasattr(item, "__dict__"):
            children = vars(item).values()
        else:
            return
        for child in children:
            visit(child, level - 1)

    visit(root, depth)
    return list(found.values())


def clamped_cube(n):
    model = Elasticity(box_mesh(n, n, n), isotropic(E=1.0, nu=0.3))
    model.fix("zmin")
    return model


SET_UPS = {
    "gravity": lambda model: model.body_force((0.0, 0.0, -1.0)),
    "traction on a face group": lambda model: model.traction("zmax", (0.1, 0.0, -1.0)),
    "rollers by a predicate": lambda model: (
        model.fix(lambda p: p[:, 0] == 0.0, components="x"),
        model.pressure("xmax", 2.0),
    ),
    "frictionless side": lambda model: (model.frictionless("ymin"), model.body_force((0.0, 1.0, 0.0))),
    "springs": lambda model: (model.elastic_support("zmax", stiffness=10.0), model.body_force((1.0, 0.0, 0.0))),
    "point load": lambda model: model.point_load(model.numbering.n_vertices - 1, (0.0, 0.0, -1.0)),
}


@pytest.mark.parametrize("n", [3, 5])
@pytest.mark.parametrize("set_up", list(SET_UPS))
def test_the_model_and_its_result_hold_no_copy_of_the_core_system(set_up, n):
    """The matrix and the vectors live in the core; Python keeps per-node and per-element arrays,
    and the rows of the supported unknowns only."""
    model = clamped_cube(n)
    SET_UPS[set_up](model)
    result = model.solve(rtol=1e-10)
    entries = system.stiffness_matrix(model.nexus).nnz
    unknowns = model.dofs.n_free
    for array in held_arrays(model) + held_arrays(result):
        assert array.size < entries // 4, f"an array of {array.shape} {array.dtype} beside {entries} matrix entries"
        assert not (array.ndim == 1 and array.size == unknowns and array.dtype == np.float64), (
            f"a vector of the {unknowns} unknowns ({array.shape}) is kept beside the core's"
        )


@pytest.mark.parametrize("n", [2, 4, 7])
@pytest.mark.parametrize("point_loads", [0, 2])
def test_the_model_keeps_per_node_tables_only_for_what_it_was_given(n, point_loads):
    """Loads, fixed components and their values per node, a point-load table only once a point
    load is given, and the faces' keys (for checking face groups) once per face."""
    model = clamped_cube(n)
    model.traction("zmax", (0.0, 0.0, -1.0))
    for node in range(point_loads):
        model.point_load(model.numbering.n_vertices - 1 - node, (1.0, 0.0, 0.0))
    model.solve(rtol=1e-10)
    own = {
        id(array)
        for part in (model.mesh, model.numbering, model.dofs, model.constraints)
        for array in held_arrays(part)
    }
    kept = sum(array.nbytes for array in held_arrays(model) if id(array) not in own)
    n_nodes = model.numbering.n_nodes
    faces = np.unique(np.sort(model.mesh.tetrahedra[:, OUTWARD_FACES].reshape(-1, 3), axis=1), axis=0)
    boundary = len(model.mesh.boundary_faces()[0])
    tables = 2 + (point_loads > 0)  # nodal loads, fixed values, point loads: (n_nodes, 3) float64 each
    # ... and the fixed flags, a key per face, the boundary faces with their elements, the material
    allowed = tables * 24 * n_nodes + 3 * n_nodes + 8 * len(faces) + 32 * boundary + 1024
    assert kept <= allowed, f"the model keeps {kept} bytes of its own arrays for {n_nodes} nodes; at most {allowed}"


@pytest.mark.parametrize(
    "load, absorbed",
    [
        ("point load on the clamped face", 3),
        ("point load inside", 0),
        ("traction on the clamped face's neighbour", 0),
    ],
)
def test_a_point_load_on_a_support_is_reported(load, absorbed):
    model = clamped_cube(2)
    if load == "point load on the clamped face":
        model.point_load((0.5, 0.5, 0.0), (1.0, 2.0, 3.0))
    elif load == "point load inside":
        model.point_load((0.5, 0.5, 0.5), (1.0, 2.0, 3.0))
    else:
        model.traction("xmin", (1.0, 0.0, 0.0))  # its edge nodes on z = 0 are clamped
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model.assemble()
    texts = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
    expected = [f"{absorbed} point-loaded components are prescribed displacements; their loads go into the supports"]
    assert texts == (expected if absorbed else []), texts
