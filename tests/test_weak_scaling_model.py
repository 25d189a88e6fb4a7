"""The halo counts of benchmarks/weak_scaling.py against a count on the mesh that box_part builds.

The benchmark counts a block partition's halo from the grid of P2 nodes and the coupling
offsets of one cell's six tetrahedra, without a mesh; here every part's elements are built
by `distributed.box_part` (each rank's part, with a stand-in communicator), numbered by
`numbering.p2_nodes`, and the couplings are read off the elements themselves.
"""

import numpy as np
import pytest
import scipy.sparse
from helpers import benchmark_module

from quarvex_tools import distributed, numbering

weak_scaling = benchmark_module("weak_scaling")


class _Rank:
    """What box_part asks of a communicator: its size and this rank."""

    def __init__(self, size: int, rank: int) -> None:
        self.size, self.rank = size, rank

    def Get_size(self) -> int:  # noqa: N802 - mpi4py's name
        return self.size

    def Get_rank(self) -> int:  # noqa: N802 - mpi4py's name
        return self.rank


def _mesh_halos(n: int, parts: int, layers: int) -> tuple[list[dict[str, int]], np.ndarray]:
    """Every part's halo counted on the elements, and the owner of every grid node (-1: prescribed)."""
    side = 2 * n + 1
    owner = np.full(side**3, parts, dtype=np.int64)
    element_nodes = []
    for rank in range(parts):
        part = distributed.box_part(_Rank(parts, rank), n, n, n)
        nodes = numbering.p2_nodes(part.points, part.tetrahedra)
        doubled = np.rint(nodes.node_points * 2 * n).astype(np.int64)
        grid_id = doubled[:, 0] + side * (doubled[:, 1] + side * doubled[:, 2])
        on_elements = grid_id[nodes.element_nodes]
        np.minimum.at(owner, on_elements.ravel(), rank)  # the lowest rank that touches a node owns it
        element_nodes.append(on_elements)
    owner[np.arange(side**3) % side == 0] = -1  # clamped at x = 0: no unknowns
    elements = np.concatenate(element_nodes)
    first = np.repeat(elements, 10, axis=1).ravel()
    second = np.tile(elements, (1, 10)).ravel()
    usable = (owner[first] >= 0) & (owner[second] >= 0)
    first, second = first[usable], second[usable]
    coupling = scipy.sparse.csr_matrix((np.ones(len(first)), (first, second)), shape=(side**3, side**3))

    halos = []
    for rank in range(parts):
        owned = owner == rank
        crossing = (owner[first] == rank) & (owner[second] != rank)
        ghosts = np.unique(second[crossing])
        sends = np.unique(first[crossing] * parts + owner[second[crossing]])
        reached = owned.astype(np.float64)
        for _ in range(layers):
            reached = np.minimum(reached + coupling @ reached, 1.0)
        overlap = (reached > 0) & ~owned
        halos.append(
            {
                "owned": int(owned.sum()),
                "ghosts": len(ghosts),
                "sends": len(sends),
                "neighbours": len(np.union1d(owner[ghosts], sends % parts)),
                "overlap": int(overlap.sum()),
                "overlap_neighbours": len(np.unique(owner[overlap])),
            }
        )
    return halos, owner


@pytest.mark.parametrize(
    "n, parts, layers",
    [(3, 1, 1), (4, 2, 1), (5, 3, 3), (4, 8, 2), (6, 8, 3), (5, 6, 3), (6, 27, 1)],
)
def test_halo_counted_from_the_grid_matches_the_elements(n, parts, layers):
    expected, _ = _mesh_halos(n, parts, layers)
    blocks, stencils = weak_scaling.box_blocks(n, parts), weak_scaling.coupling_stencils()
    counted = [weak_scaling.part_halo(n, blocks, index, stencils, layers) for index in range(parts)]
    for index, (seen, wanted) in enumerate(zip(counted, expected, strict=True)):
        assert seen == wanted, (
            f"part {index} of {parts} (n = {n}, {layers} layers): counted {seen}, on the mesh {wanted}"
        )
    assert sum(record["owned"] for record in counted) == (2 * n + 1) ** 2 * 2 * n  # every free node owned once


@pytest.mark.parametrize("n, parts", [(4, 2), (5, 3), (6, 8), (5, 7)])
def test_node_owners_are_the_lowest_touching_part(n, parts):
    _, owner = _mesh_halos(n, parts, 1)
    side = 2 * n + 1
    grid = np.arange(side**3)
    doubled = np.stack([grid % side, (grid // side) % side, grid // side**2], axis=1)
    found = weak_scaling.node_owners(doubled, weak_scaling.box_blocks(n, parts))
    free = owner >= 0
    assert np.array_equal(found[free], owner[free])


@pytest.mark.parametrize("n", [1, 2, 3])
def test_stencils_give_every_coupling_of_the_mesh(n):
    part = distributed.box_part(_Rank(1, 0), n, n, n)
    nodes = numbering.p2_nodes(part.points, part.tetrahedra)
    doubled = np.rint(nodes.node_points * 2 * n).astype(np.int64)
    side = 2 * n + 1
    grid_id = (doubled[:, 0] + side * (doubled[:, 1] + side * doubled[:, 2]))[nodes.element_nodes]
    on_mesh = np.unique(np.repeat(grid_id, 10, axis=1).ravel() * side**3 + np.tile(grid_id, (1, 10)).ravel())

    stencils = weak_scaling.coupling_stencils()
    counted = []
    for node in doubled:
        reached = node + stencils[tuple(int(c) for c in node % 2)]
        reached = reached[np.all((reached >= 0) & (reached < side), axis=1)]
        node_id = node[0] + side * (node[1] + side * node[2])
        counted.append(node_id * side**3 + reached[:, 0] + side * (reached[:, 1] + side * reached[:, 2]))
    assert np.array_equal(np.unique(np.concatenate(counted)), on_mesh)
