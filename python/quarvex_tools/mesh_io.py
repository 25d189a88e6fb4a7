"""Reading tetrahedral meshes from files through meshio, with gmsh physical groups as named groups."""
from __future__ import annotations

import os

import numpy as np

from ._optional import require
from .mesh import Mesh

_TETRAHEDRA = ("tetra", "tetra10")  # 10-node tetrahedra are read by their vertices
_TRIANGLES = ("triangle", "triangle6")
# Integer cell arrays that label regions, by the writer that uses them.
_TAG_ARRAYS = ("gmsh:physical", "CellEntityIds", "medit:ref")


def read_mesh(path: str | os.PathLike, *, drop_unused: bool = True) -> Mesh:
    """Reads a tetrahedral mesh file (gmsh .msh, VTU, and every format meshio reads).

    Tetrahedra become the mesh; quadratic ones are read by their four vertices. Physical
    groups (gmsh) or region labels become groups named by their physical name, or by their
    number when unnamed: tetrahedron labels give element groups, triangle labels face groups.

    Parameters
    ----------
    path : str or PathLike
    drop_unused : bool
        Drop points that no tetrahedron uses (files often hold construction points).

    Returns
    -------
    Mesh

    Raises
    ------
    ValueError
        When the file holds no tetrahedra (or when `Mesh` refuses them).
    ImportError
        When meshio is not installed (extra "io").
    """
    meshio = require("meshio")
    data = meshio.read(os.fspath(path))
    points = np.asarray(data.points, dtype=np.float64)
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError(f"{path}: points are not three-dimensional (shape {points.shape})")

    names = {}
    for name, (tag, dim) in ((k, np.asarray(v).ravel()[:2]) for k, v in data.field_data.items()):
        names[(int(tag), int(dim))] = name
    tag_array = next((data.cell_data[k] for k in _TAG_ARRAYS if k in data.cell_data), None)

    tets, tet_tags, tris, tri_tags = [], [], [], []
    for index, block in enumerate(data.cells):
        tags = None if tag_array is None else np.asarray(tag_array[index]).astype(np.int64).ravel()
        if block.type in _TETRAHEDRA:
            tets.append(np.asarray(block.data)[:, :4])
            tet_tags.append(tags)
        elif block.type in _TRIANGLES:
            tris.append(np.asarray(block.data)[:, :3])
            tri_tags.append(tags)
    if not tets:
        types = sorted({block.type for block in data.cells})
        raise ValueError(f"{path}: no tetrahedra in the file (cell types: {types})")
    tetrahedra = np.concatenate(tets).astype(np.int64)

    def groups(blocks: list[np.ndarray], tags: list[np.ndarray | None], dim: int, by_index: bool) -> dict:
        if not blocks or any(t is None for t in tags):
            return {}
        labels = np.concatenate(tags)  # type: ignore[arg-type]
        members = np.concatenate(blocks)
        out = {}
        for tag in np.unique(labels):
            name = names.get((int(tag), dim), str(int(tag)))
            chosen = np.flatnonzero(labels == tag)
            out[name] = chosen if by_index else members[chosen].astype(np.int64)
        return out

    element_groups = groups(tets, tet_tags, 3, by_index=True)
    face_groups = groups(tris, tri_tags, 2, by_index=False)
    return Mesh(points, tetrahedra, element_groups, face_groups, drop_unused=drop_unused)
