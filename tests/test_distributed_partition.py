"""Recursive coordinate bisection of elements (no MPI needed)."""

import numpy as np
import pytest

from quarvex_tools import box_mesh
from quarvex_tools.distributed import partition_elements


@pytest.mark.parametrize("parts", [1, 2, 3, 5, 7, 8])
def test_parts_are_balanced_and_cut_by_planes(parts):
    box = box_mesh(6, 3, 2, size=(3.0, 1.0, 1.0))
    points, tetrahedra = box.points, box.tetrahedra
    rng = np.random.default_rng(parts)
    tetrahedra = tetrahedra[rng.permutation(len(tetrahedra))]
    owner = partition_elements(points, tetrahedra, parts)
    sizes = np.bincount(owner, minlength=parts)
    assert len(sizes) == parts and sizes.sum() == len(tetrahedra)
    # Each cut splits its share exactly; rounding loses at most one element per level.
    assert sizes.max() - sizes.min() <= int(np.ceil(np.log2(parts))), sizes
    if parts == 2:
        # The first cut runs across x, the longest side: one part lies wholly on each side.
        centroid_x = points[tetrahedra].mean(axis=1)[:, 0]
        assert centroid_x[owner == 0].max() <= centroid_x[owner == 1].min()


def test_a_wrong_number_of_parts_is_refused():
    with pytest.raises(ValueError, match="parts must be at least 1"):
        partition_elements(np.zeros((4, 3)), np.array([[0, 1, 2, 3]]), 0)
