"""VTU files of the quadratic mesh (VTK's 10-node tetrahedron), written through meshio.

VTK numbers a quadratic tetrahedron's nodes as the core does: vertices 0..3, then the
edges (0,1), (1,2), (2,0), (0,3), (1,3), (2,3), so element nodes pass unchanged.
"""
from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING

import numpy as np

from ._optional import require
from .numbering import Numbering

if TYPE_CHECKING:
    from .results import Result


def write_quadratic_mesh(
    path: str,
    numbering: Numbering,
    point_data: Mapping[str, np.ndarray] | None = None,
    cell_data: Mapping[str, np.ndarray] | None = None,
) -> None:
    """Writes the P2 mesh of a numbering with node and element arrays.

    Parameters
    ----------
    path : str
        File name; the format follows from its extension (".vtu" for ParaView).
    numbering : Numbering
    point_data : mapping of str to (n_nodes,) or (n_nodes, k) arrays
    cell_data : mapping of str to (m,) or (m, k) arrays
    """
    meshio = require("meshio")
    mesh = meshio.Mesh(
        numbering.node_points,
        [("tetra10", np.asarray(numbering.element_nodes))],
        point_data={k: np.ascontiguousarray(v) for k, v in (point_data or {}).items()},
        cell_data={k: [np.ascontiguousarray(v)] for k, v in (cell_data or {}).items()},
    )
    mesh.write(path)


def write_vtu(result: Result, path: str, fields: Sequence[str] = ("von_mises",)) -> None:
    """Writes a result: node arrays "displacement" (3), "stress" (9, row-major tensor) and `fields`.

    Element arrays: "group" (the index of the element group holding each element, -1 for
    none) when the mesh has element groups.
    """
    point_data: dict[str, np.ndarray] = {
        "displacement": np.asarray(result.displacement),
        "stress": result.nodal_stress().reshape(-1, 9),
    }
    for name in fields:
        point_data[name] = result.field(name)
    cell_data = {}
    groups = result.model.mesh.element_groups
    if groups:
        label = np.full(len(result.model.mesh.tetrahedra), -1, dtype=np.int32)
        for index, members in enumerate(groups.values()):
            label[members] = index
        cell_data["group"] = label
    write_quadratic_mesh(path, result.model.numbering, point_data, cell_data)
