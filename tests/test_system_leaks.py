"""Repeated quarvex_tools calls, succeeding and failing, neither leak references nor grow memory."""

import os

import numpy as np
import pytest
from helpers import assert_no_leak

import quarvex
from quarvex_tools import _native, system

pytestmark = pytest.mark.skipif(bool(os.environ.get("QUARVEX_SANITIZED")), reason="resident memory under a sanitizer")

CALLS = 20_000
PTS = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]
PTS_ARRAY = np.array(PTS)
TETS_ARRAY = np.array([(0, 1, 2, 3)], dtype=np.int32)
BAD_TETS = np.array([(0, 1, 2, 9)], dtype=np.int64)
IDS = np.arange(4, dtype=np.int32)
RANGES = np.array([(3 * v, 3) for v in range(4)], dtype=np.int32)
EMPTY = np.zeros((0, 2), dtype=np.int32)
VALUES = np.ones(12)
SHORT = np.ones(11)


def make_model():
    model = quarvex.Nexus(PTS, [(0, 1, 2, 3)])
    model.set_dof({v: (3 * v, 3) for v in range(4)}, {})
    model.set_cmat([[float(i == j) for j in range(9)] for i in range(9)])
    model.set_solver(12, [0.0])
    model.assemble()
    return model


MODEL = make_model()
FRESH = quarvex.Nexus(PTS, [(0, 1, 2, 3)])
UNSET = quarvex.Nexus(PTS, [(0, 1, 2, 3)])
UNSET.set_dof({0: (0, 3)}, {})  # numbers but no set_solver: plot_disp fails

CASES = {
    "get_vector": lambda: _native.get_vector(MODEL, "sol"),
    "get_vector_bad_name": lambda: _native.get_vector(MODEL, "mat"),
    "set_vector": lambda: _native.set_vector(MODEL, "rhs", VALUES),
    "set_vector_short": lambda: _native.set_vector(MODEL, "rhs", SHORT),
    "set_vector_not_a_buffer": lambda: _native.set_vector(MODEL, "rhs", [1.0]),
    "matrix_structure": lambda: _native.matrix_structure(MODEL),
    "matrix_values": lambda: _native.matrix_values(MODEL),
    "stiffness_matrix": lambda: system.stiffness_matrix(MODEL),
    "nexus_from_arrays": lambda: _native.nexus_from_arrays(PTS_ARRAY, TETS_ARRAY),
    "nexus_from_arrays_bad_index": lambda: _native.nexus_from_arrays(PTS_ARRAY, BAD_TETS),
    "set_dof_arrays": lambda: _native.set_dof_arrays(FRESH, IDS, RANGES, EMPTY, EMPTY),
    "set_dof_arrays_bad_shape": lambda: _native.set_dof_arrays(FRESH, IDS, RANGES[:2], EMPTY, EMPTY),
    "solve_history": lambda: _native.solve(MODEL, 1e-8, 0.0, 5, True),
    "solve_bad_rtol": lambda: _native.solve(MODEL, -1.0, 0.0, 5, True),
    "not_a_model": lambda: _native.pattern_version(PTS),
    "plot_dom_arrays": lambda: _native.plot_dom_arrays(MODEL),
    "plot_disp_arrays": lambda: _native.plot_disp_arrays(MODEL),
    "plot_disp_arrays_unset_system": lambda: _native.plot_disp_arrays(UNSET),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name):
    watched = [MODEL, FRESH, UNSET, PTS, PTS_ARRAY, TETS_ARRAY, BAD_TETS, IDS, RANGES, EMPTY, VALUES, SHORT]
    assert_no_leak(name, CASES[name], watched, 500, CALLS)
