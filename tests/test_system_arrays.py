"""Array fast paths: the same model as Nexus(pts, tets) and set_dof, and the same refusals."""

import os
import subprocess
import sys

import numpy as np
import pytest
from helpers import UNIT_PTS, numbered_box, panic_text

import quarvex
from quarvex_tools import system


def as_arrays(ver_dof, edge_dof):
    """The dictionaries of set_dof as the four arrays of set_dof_arrays, in dict order."""
    vertex_ids = np.array(list(ver_dof), dtype=np.int64).reshape(-1)
    vertex_ranges = np.array(list(ver_dof.values()), dtype=np.int64).reshape(-1, 2)
    edge_keys = np.array(list(edge_dof), dtype=np.int64).reshape(-1, 2)
    edge_ranges = np.array(list(edge_dof.values()), dtype=np.int64).reshape(-1, 2)
    return vertex_ids, vertex_ranges, edge_keys, edge_ranges


def clamped_bottom(p):
    return (0.1 * p[0], 0.0, -0.05) if p[2] == 0.0 else None


def fingerprint(model):
    """What a model's elements and numbering decide: the domain edges, the matrix structure,
    and the displaced nodes for a fixed random solution and prescribed values."""
    matrix = system.stiffness_matrix(model)
    rng = np.random.default_rng(11)
    system.set_solution(model, rng.standard_normal(matrix.shape[0]))
    return model.plot_dom(), matrix.indptr.tolist(), matrix.indices.tolist(), model.plot_disp()


def dict_and_array_models(pts, tets, ver_dof, edge_dof, pos_dof, bc, repeat=1):
    by_dict = quarvex.Nexus(pts, tets)
    by_array = system.nexus_from_arrays(
        np.array(pts, dtype=np.float64).reshape(-1, 3), np.array(tets, dtype=np.int64).reshape(-1, 4)
    )
    assert type(by_array) is quarvex.Nexus
    for _ in range(repeat):
        by_dict.set_dof(ver_dof, edge_dof)
        system.set_dof_arrays(by_array, *as_arrays(ver_dof, edge_dof))
    for model in (by_dict, by_array):
        model.set_solver(pos_dof, bc)
    return by_dict, by_array


def box_numbering():
    return numbered_box((3, 2, 2), size=(1.0, 0.7, 0.5), prescribed=clamped_bottom)


NUMBERINGS = {
    "p2 box": box_numbering,
    "vertices only": lambda: (UNIT_PTS, [(0, 1, 2, 3)], {0: (0, 3), 1: (3, 3), 2: (6, 3), 3: (9, 3)}, {}, 12, [0.0]),
    # edge keys are ordered pairs: (1, 0) is not the edge (0, 1) of the element (99 >= 15 would fail)
    "reversed edge": lambda: (
        UNIT_PTS,
        [(0, 1, 2, 3)],
        {0: (0, 3), 1: (3, 3), 2: (6, 3), 3: (9, 3)},
        {(1, 0): (99, 3), (1, 2): (12, 3)},
        15,
        [0.0],
    ),
    "prescribed and gaps": lambda: (
        UNIT_PTS,
        [(0, 1, 2, 3)],
        {0: (-1, 3), 1: (0, 2), 3: (5, 1)},
        {(0, 2): (2, 3), (2, 3): (-4, 3)},
        6,
        [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ),
}


@pytest.mark.parametrize("name", sorted(NUMBERINGS))
def test_array_forms_build_the_same_model(name):
    pts, tets, ver_dof, edge_dof, pos_dof, bc = NUMBERINGS[name]()
    by_dict, by_array = dict_and_array_models(pts, tets, ver_dof, edge_dof, pos_dof, bc)
    assert fingerprint(by_dict) == fingerprint(by_array)


def test_duplicate_rows_of_the_arrays_keep_the_last():
    """Rows go in in order, as into a dict: vertex 0 ends with (0, 3), not the (6, 3) it had first."""
    ids, ranges = np.array([0, 1, 0]), np.array([[6, 3], [3, 3], [0, 3]])
    edges = np.array([[0, 1], [0, 1]]), np.array([[9, 3], [6, 3]])
    by_array = system.nexus_from_arrays(UNIT_PTS, [(0, 1, 2, 3)])
    system.set_dof_arrays(by_array, ids, ranges, *edges)
    by_array.set_solver(9, [])  # with (6, 3) kept for vertex 0, rows 0..2 would be unused
    by_dict = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
    by_dict.set_dof(dict(zip(ids.tolist(), map(tuple, ranges.tolist()), strict=False)), {(0, 1): (6, 3)})
    by_dict.set_solver(9, [])
    assert fingerprint(by_dict) == fingerprint(by_array)


def test_set_dof_arrays_twice_appends_as_set_dof_does():
    pts, tets, ver_dof, edge_dof, pos_dof, bc = box_numbering()
    by_dict, by_array = dict_and_array_models(pts, tets, ver_dof, edge_dof, pos_dof, bc, repeat=2)
    assert fingerprint(by_dict) == fingerprint(by_array)
    for model in (by_dict, by_array):
        assert "more than the 30" in panic_text(model.assemble)


SAME_BITS = """
import sys
sys.path[:0] = {paths!r}
import numpy as np
import quarvex
from quarvex_tools import system
from test_system_arrays import as_arrays, box_numbering
from helpers import isotropic_cmat
pts, tets, ver_dof, edge_dof, pos_dof, bc = box_numbering()
arena = quarvex.Arena()
for _ in range(3):
    arena.new_var()
load = [arena.new_cst(0.3), arena.new_cst(0.0), arena.new_cst(-1.0)]
by_dict = quarvex.Nexus(pts, tets)
by_dict.set_dof(ver_dof, edge_dof)
by_array = system.nexus_from_arrays(np.array(pts), np.array(tets, dtype=np.int32))
system.set_dof_arrays(by_array, *as_arrays(ver_dof, edge_dof))
systems = []
for model in (by_dict, by_array):
    model.set_cmat(isotropic_cmat(1.0, 0.3))
    model.set_f(0, set(), arena, load)
    model.set_solver(pos_dof, bc)
    model.assemble()
    matrix = system.stiffness_matrix(model)
    systems.append((matrix.indptr.tobytes(), matrix.indices.tobytes(), matrix.data.tobytes(),
                    system.load_vector(model).tobytes()))
print(systems[0] == systems[1], len(systems[0][2]))
"""


def test_array_forms_assemble_the_same_system_bits():
    """One worker assembles in a fixed order, so equal models give equal bits."""
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, QUARVEX_NUM_THREADS="1")
    out = subprocess.run(
        [sys.executable, "-c", SAME_BITS.format(paths=[here])], env=env, check=True, capture_output=True, text=True
    ).stdout.split()
    assert out[0] == "True" and int(out[1]) > 0, out


I32_LARGE = "Python int too large to convert to a 32-bit signed integer"
I32_SMALL = "Python int too small to convert to a 32-bit signed integer"
EMPTY = np.zeros((0, 2), dtype=np.int32)

# (name, tets, exception type or "panic", message)
MESH_REFUSALS = [
    ("index past the points", [(0, 1, 2, 4)], "panic", "index out of bounds: the len is 4 but the index is 4"),
    (
        "negative index",
        [(0, 1, -1, 3)],
        "panic",
        "index out of bounds: the len is 4 but the index is 18446744073709551615",
    ),
    (
        "first bad index in element order",
        [(0, 1, 2, 3), (5, 0, -2, 9)],
        "panic",
        "index out of bounds: the len is 4 but the index is 5",
    ),
    ("index above int32", [(0, 1, 2, 2**31)], OverflowError, I32_LARGE),
    ("index below int32", [(0, 1, 2, -(2**31) - 1)], OverflowError, I32_SMALL),
    ("overflow wins over a bad index", [(0, 1, 2, 9), (0, 1, 2, 2**40)], OverflowError, I32_LARGE),
]


def refusal(call):
    """(kind, message) of the failure of call."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        kind = "panic" if type(exc).__name__ == "PanicException" else type(exc)
        return kind, str(exc)
    raise AssertionError("no failure raised")


@pytest.mark.parametrize("name, tets, kind, message", MESH_REFUSALS, ids=[case[0] for case in MESH_REFUSALS])
def test_nexus_from_arrays_refuses_as_the_constructor(name, tets, kind, message):
    assert refusal(lambda: quarvex.Nexus(UNIT_PTS, tets)) == (kind, message)
    dtypes = [np.int64, np.uint64] if kind is OverflowError else [np.int64, np.int32, np.int16]
    if any(v < 0 for tet in tets for v in tet):
        dtypes = [dtype for dtype in dtypes if dtype is not np.uint64]
    for dtype in dtypes:
        array = np.array(tets, dtype=dtype)
        assert refusal(lambda: system.nexus_from_arrays(np.array(UNIT_PTS), array)) == (kind, message), dtype


def dof_call_pair(ver_dof, edge_dof):
    return (
        lambda model: model.set_dof(ver_dof, edge_dof),
        lambda model: system.set_dof_arrays(model, *as_arrays(ver_dof, edge_dof)),
    )


DOF_REFUSALS = [
    ("vertex id", {2**31: (0, 3)}, {}, I32_LARGE),
    ("vertex start", {0: (-(2**31) - 1, 3)}, {}, I32_SMALL),
    ("first in item order", {0: (0, -(2**32)), 2**33: (0, 3)}, {}, I32_SMALL),
    ("edge key after good vertices", {0: (0, 3)}, {(0, 2**31): (3, 3)}, I32_LARGE),
    ("edge count", {}, {(0, 1): (0, 2**31)}, I32_LARGE),
]


@pytest.mark.parametrize("name, ver_dof, edge_dof, message", DOF_REFUSALS, ids=[case[0] for case in DOF_REFUSALS])
def test_set_dof_arrays_refuses_as_set_dof_and_changes_nothing(name, ver_dof, edge_dof, message):
    for call in dof_call_pair(ver_dof, edge_dof):
        model = quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
        assert refusal(lambda: call(model)) == (OverflowError, message)
        model.set_solver(0, [])  # no element got a free degree of freedom


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: system.nexus_from_arrays([[0.0, 0.0]], [(0, 0, 0, 0)]), ValueError, "shape (n, 3)"),
        (lambda: system.nexus_from_arrays(UNIT_PTS, [(0, 1, 2)]), ValueError, "shape (m, 4)"),
        (lambda: system.nexus_from_arrays(UNIT_PTS, [(0.0, 1.0, 2.0, 3.0)]), TypeError, "integer array"),
        (
            lambda: system.set_dof_arrays(quarvex.Nexus([], []), [0], [(0, 3), (3, 3)], EMPTY, EMPTY),
            ValueError,
            "2 ranges for 1 vertices",
        ),
        (
            lambda: system.set_dof_arrays(quarvex.Nexus([], []), [0.0], [(0, 3)], EMPTY, EMPTY),
            TypeError,
            "integer array",
        ),
        (
            lambda: system.set_dof_arrays(quarvex.Nexus([], []), [], [], [(0, 1, 2)], [(0, 3)]),
            ValueError,
            "shape (e, 2)",
        ),
        (
            lambda: system._native.nexus_from_arrays(np.zeros((2, 3), np.float32), np.zeros((0, 4), np.int32)),
            TypeError,
            "argument 'pts': expected an array of float64",
        ),
        (
            lambda: system._native.nexus_from_arrays(np.zeros((2, 3)), np.zeros((1, 4), np.int16)),
            TypeError,
            "argument 'tets': expected an array of int32 or int64",
        ),
        (lambda: system._native.nexus_from_arrays(np.zeros((2, 3)), [(0, 1, 2, 3)]), TypeError, "argument 'tets': "),
        (
            lambda: system._native.nexus_from_arrays(np.zeros((2, 3))[:, :2].copy(), np.zeros((0, 4), np.int32)),
            ValueError,
            "argument 'pts': expected an array of shape (n, 3), got shape (2, 2)",
        ),
        (
            lambda: system._native.set_dof_arrays(
                quarvex.Nexus([], []), np.zeros(1, np.int32), np.zeros((2, 2), np.int32), EMPTY, EMPTY
            ),
            ValueError,
            "2 ranges for 1 vertices",
        ),
    ],
)
def test_array_shapes_and_types_are_checked(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


def test_empty_arrays_make_the_empty_model():
    model = system.nexus_from_arrays(np.zeros((0, 3)), np.zeros((0, 4), np.int32))
    system.set_dof_arrays(model, [], [], [], [])
    assert model.plot_dom() == {}
    model.set_solver(0, [])
    assert (
        panic_text(lambda: system.nexus_from_arrays([], [(0, 1, 2, 3)]))
        == "index out of bounds: the len is 0 but the index is 0"
    )
