"""Recursive coordinate bisection of elements, and the keys of the parts' nodes (no MPI needed)."""

import contextlib

import numpy as np
import pytest

from quarvex_tools import box_mesh, p2_numbering
from quarvex_tools.distributed import partition_elements
from quarvex_tools.numbering import node_keys, ordered_numbering, p2_nodes


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


@pytest.mark.parametrize("parts", [2, 3])
def test_every_part_gives_a_node_the_same_key_and_nodes_differ_in_key(parts):
    box = box_mesh(4, 3, 2, size=(2.0, 1.0, 1.0))
    rng = np.random.default_rng(parts)
    tetrahedra = box.tetrahedra[rng.permutation(len(box.tetrahedra))]
    owner = partition_elements(box.points, tetrahedra, parts)
    keys_at = {}  # node position -> the keys the parts give it
    for part in range(parts):
        vertex_ids, local = np.unique(tetrahedra[owner == part], return_inverse=True)
        nodes = p2_nodes(box.points[vertex_ids], local.reshape(-1, 4))
        for key, point in zip(node_keys(vertex_ids, nodes.edges, len(box.points)), nodes.node_points, strict=True):
            keys_at.setdefault(tuple(np.round(point, 12)), set()).add(int(key))
    assert len(keys_at) == p2_numbering(box).n_nodes
    assert all(len(keys) == 1 for keys in keys_at.values()), "a node shared by parts with several keys"
    assert len(set().union(*keys_at.values())) == len(keys_at), "two nodes with one key"


@pytest.mark.parametrize(
    "node_rank, error, message",
    [
        (np.array([0, 1, 2, 3, 4, 5, 6, 7, 8, 8]), ValueError, "a permutation of the numbering's 10 nodes"),
        (np.arange(9), ValueError, "a permutation of the numbering's 10 nodes"),
        (np.arange(10) - 1, ValueError, "a permutation"),
        (np.arange(10) + 0.5, TypeError, "node_rank must hold integers"),
    ],
)
def test_a_node_order_that_is_no_permutation_is_refused(node_rank, error, message):
    nodes = p2_nodes(np.array([(0.0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)]), np.array([[0, 1, 2, 3]]))
    with pytest.raises(error, match=message):
        ordered_numbering(nodes, node_rank)


class _OneRank:
    """What the choice of "auto" asks of a communicator, for a job of `size` ranks seen from one."""

    def __init__(self, size: int = 1) -> None:
        self.size = size

    def Get_size(self) -> int:  # noqa: N802 - mpi4py's name
        return self.size

    def allreduce(self, value, op=None):
        return value


def _box_points(sides, seed=0):
    """Points filling the box 0 <= x < sides, turned by a random rotation."""
    rng = np.random.default_rng(seed)
    rotation, _ = np.linalg.qr(rng.normal(size=(3, 3)))
    return (rng.random((4000, 3)) * np.asarray(sides)) @ rotation.T


@pytest.mark.parametrize(
    "sides, ranks, row_points, chosen",
    [
        ((1.0, 1.0, 1.0), 2, True, "multigrid"),  # the cube
        ((2.0, 2.0, 1.0), 1, True, "multigrid"),  # a bracket's bounding box
        ((1.0, 1.0, 1.0), 3, True, "gamg"),  # more ranks than the multigrid wins on
        ((100.0, 1.0, 1.0), 2, True, "gamg"),  # the slender beam
        ((1.0, 1.0, 0.02), 2, True, "gamg"),  # the 1:50 plate
        ((1.0, 1.0, 1.0), 2, False, "gamg"),  # a replicated model with turned frames
    ],
)
def test_auto_takes_the_per_rank_multigrid_for_compact_bodies_on_few_ranks(sides, ranks, row_points, chosen):
    from quarvex_tools import distributed

    points = _box_points(sides)
    extents = distributed.principal_extents(_OneRank(), points)
    np.testing.assert_allclose(extents, np.sort(sides) / np.sqrt(12.0), rtol=0.05)
    assembled = distributed.DistributedSystem(
        _OneRank(ranks), None, None, None, row_points=points if row_points else None
    )
    assert distributed._preconditioner("auto", assembled) == chosen
    assert distributed._preconditioner("amg", assembled) == "gamg"


@pytest.mark.parametrize("raises", [False, True])
def test_the_subdomain_copy_leaves_numpys_huge_page_advice_as_it_was(raises):
    from numpy._core.multiarray import _set_madvise_hugepage as advise

    from quarvex_tools.distributed_pc import _small_pages

    original = advise(True)
    try:
        with pytest.raises(RuntimeError) if raises else contextlib.nullcontext():
            with _small_pages():
                assert advise(False) is False  # off inside
                if raises:
                    raise RuntimeError("a failed copy")
        assert advise(True) is True  # restored, whether the copy failed or not
    finally:
        advise(original)
