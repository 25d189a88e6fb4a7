import os
import sys

# The structured box mesher shared with the example and the benchmarks.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))

import pytest  # noqa: E402

import quarvex  # noqa: E402

UNIT_PTS = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]


@pytest.fixture
def arena():
    """A fresh arena holding the coordinate variables x, y, z as nodes 0, 1, 2."""
    a = quarvex.Arena()
    for _ in range(3):
        a.new_var()
    return a


@pytest.fixture
def model():
    """One unit right tetrahedron, nothing else set."""
    return quarvex.Nexus(UNIT_PTS, [(0, 1, 2, 3)])
