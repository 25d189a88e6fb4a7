"""The four ways of naming a region select the same nodes, on meshes whose points come in any order:
a face group, a predicate on coordinates, point indices and a node mask; and a support given
each way gives the same answer."""

import numpy as np
import pytest
from tools_meshes import scrambled_mesh

from quarvex_tools import Elasticity, isotropic

STEEL = isotropic(E=1.0, nu=0.3)
SIDES = {  # face group -> (axis, coordinate)
    "xmin": (0, 0.0),
    "xmax": (0, 1.0),
    "ymin": (1, 0.0),
    "zmax": (2, 1.0),
}


def ways(model: Elasticity, side: str) -> dict:
    """The side of the unit box named each way a user may name it."""
    axis, value = SIDES[side]
    points = model.mesh.points
    on_side = np.flatnonzero(np.isclose(points[:, axis], value))
    mask = np.zeros(model.numbering.n_nodes, dtype=bool)
    mask[np.isclose(model.numbering.node_points[:, axis], value)] = True
    return {
        "face group": side,
        "predicate": lambda p: np.isclose(p[:, axis], value),
        "point indices": on_side,
        "point indices, shuffled as a list": list(np.random.default_rng(1).permutation(on_side)),
        "node mask": mask,
    }


@pytest.mark.parametrize("seed", [0, 7])
@pytest.mark.parametrize("side", sorted(SIDES))
def test_every_way_of_naming_a_side_selects_its_nodes_and_only_them(seed, side):
    model = Elasticity(scrambled_mesh((3, 2, 2), seed), STEEL)
    axis, value = SIDES[side]
    expected = np.flatnonzero(np.isclose(model.numbering.node_points[:, axis], value))
    for name, where in ways(model, side).items():
        np.testing.assert_array_equal(model.nodes(where), expected, err_msg=f"{side} named by {name}")


def test_a_support_named_each_way_gives_the_same_answer():
    answers = {}
    for name, where in ways(Elasticity(scrambled_mesh((3, 2, 2), 3), STEEL), "xmin").items():
        model = Elasticity(scrambled_mesh((3, 2, 2), 3), STEEL)
        model.fix(where)
        model.traction("xmax", (0.0, 0.0, -1.0))
        answers[name] = model.solve(rtol=1e-12).displacement
    reference = answers.pop("face group")
    for name, displacement in answers.items():
        np.testing.assert_allclose(displacement, reference, rtol=0, atol=1e-9 * np.abs(reference).max(), err_msg=name)
