"""VTU files of the quadratic mesh (VTK's 10-node tetrahedron), written through meshio.

VTK numbers a quadratic tetrahedron's nodes as the core does: vertices 0..3, then the
edges (0,1), (1,2), (2,0), (0,3), (1,3), (2,3), so element nodes pass unchanged.
"""
from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Union

import numpy as np

from ._optional import require
from .numbering import Numbering

if TYPE_CHECKING:
    from .results import Result

PathLike = Union[str, "os.PathLike[str]"]

# Extensions of the formats that keep quadratic tetrahedra with their node and element arrays.
FORMATS = {".vtu": "vtu", ".vtk": "vtk"}


def file_format(path: PathLike) -> str:
    """The meshio format of a file name, from its extension.

    Raises
    ------
    ValueError
        For an extension of a format that would drop the quadratic elements or the arrays, or
        of no known format.
    """
    extension = os.path.splitext(os.fspath(path))[1].lower()
    if extension not in FORMATS:
        raise ValueError(
            f"cannot write {os.fspath(path)!r}: results are written as {' or '.join(FORMATS)} "
            f"(VTK's XML and legacy formats, which keep quadratic tetrahedra and their arrays), "
            f"not {extension or 'a file without extension'}"
        )
    return FORMATS[extension]


def write_quadratic_mesh(
    path: PathLike,
    numbering: Numbering,
    point_data: Mapping[str, np.ndarray] | None = None,
    cell_data: Mapping[str, np.ndarray] | None = None,
) -> None:
    """Writes the P2 mesh of a numbering with node and element arrays.

    Parameters
    ----------
    path : str or path-like
        File name; the format follows from its extension: ".vtu" (ParaView's XML format) or
        ".vtk" (legacy VTK); any other raises ValueError before anything is written.
    numbering : Numbering
    point_data : mapping of str to (n_nodes,) or (n_nodes, k) arrays
    cell_data : mapping of str to (m,) or (m, k) arrays
    """
    file_type = file_format(path)
    meshio = require("meshio")
    mesh = meshio.Mesh(
        numbering.node_points,
        [("tetra10", np.asarray(numbering.element_nodes))],
        point_data={k: np.ascontiguousarray(v) for k, v in (point_data or {}).items()},
        cell_data={k: [np.ascontiguousarray(v)] for k, v in (cell_data or {}).items()},
    )
    mesh.write(os.fspath(path), file_format=file_type)


def write_vtu(result: Result, path: PathLike, fields: Sequence[str] = ("von_mises",)) -> None:
    """Writes a result: node arrays "displacement" (3), "stress" (9, row-major tensor) and `fields`.

    Each name of `fields` is written under that name, except "displacement", whose magnitude
    goes under "displacement_magnitude" (the vector keeps its name). Element arrays: "group"
    (the index of the element group holding each element, -1 for none) when the mesh has
    element groups.
    """
    file_format(path)
    point_data: dict[str, np.ndarray] = {
        "displacement": np.asarray(result.displacement),
        "stress": result.nodal_stress().reshape(-1, 9),
    }
    for name in fields:
        point_data["displacement_magnitude" if name == "displacement" else name] = result.field(name)
    cell_data = {}
    groups = result.model.mesh.element_groups
    if groups:
        label = np.full(len(result.model.mesh.tetrahedra), -1, dtype=np.int32)
        for index, members in enumerate(groups.values()):
            label[members] = index
        cell_data["group"] = label
    write_quadratic_mesh(path, result.model.numbering, point_data, cell_data)
