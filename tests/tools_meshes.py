"""Random meshes for the package tests: a jittered box mesh with relabelled points and shuffled vertex orders."""

import numpy as np

from quarvex_tools import Mesh, box_mesh


def scrambled_box(cells, seed, jitter=0.15):
    """Points, tetrahedra (mixed orientations, random labels) and the box's face groups."""
    rng = np.random.default_rng(seed)
    box = box_mesh(*cells)
    points = box.points.copy()
    inner = ((points > 0) & (points < 1)).all(axis=1)
    h = 1.0 / max(cells)
    points[inner] += rng.uniform(-jitter * h, jitter * h, size=(inner.sum(), 3))
    relabel = rng.permutation(len(points))  # old index -> new index
    new_points = np.empty_like(points)
    new_points[relabel] = points
    tets = relabel[box.tetrahedra]
    tets = np.take_along_axis(tets, np.argsort(rng.random(tets.shape), axis=1), axis=1)
    tets = tets[rng.permutation(len(tets))]
    faces = {name: relabel[tri] for name, tri in box.face_groups.items()}
    return new_points, tets, faces


def scrambled_mesh(cells, seed):
    points, tets, faces = scrambled_box(cells, seed)
    return Mesh(points, tets, face_groups=faces)
