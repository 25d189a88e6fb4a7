import pytest
from helpers import UNIT_PTS

import quarvex


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
