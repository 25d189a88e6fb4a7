"""Files of the quadratic mesh (VTK's 10-node tetrahedron) with a result's arrays, and the same data for pyvista.

VTK numbers a quadratic tetrahedron's nodes as the core does: vertices 0..3, then the
edges (0,1), (1,2), (2,0), (0,3), (1,3), (2,3), so element nodes pass unchanged. Units
travel in VTK's own place for them, the UNITS_LABEL information key of each array, which
ParaView and pyvista read and other readers skip.
"""

from __future__ import annotations

import importlib
import mmap
import os
import uuid
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Union
from xml.sax.saxutils import escape

import numpy as np

from ._optional import require
from .numbering import Numbering
from .units import Units, units_of

if TYPE_CHECKING:
    from .results import Result

PathLike = Union[str, "os.PathLike[str]"]

# Extensions of the formats that keep quadratic tetrahedra with their node and element arrays.
FORMATS = {".vtu": "vtu", ".vtk": "vtk", ".xdmf": "xdmf"}
_VTK_QUADRATIC_TETRA = 24


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
            f"cannot write {os.fspath(path)!r}: results are written as .vtu or .vtk (VTK's XML and legacy "
            f"formats) or .xdmf (XDMF with HDF5), which keep quadratic tetrahedra and their arrays, "
            f"not {extension or 'a file without extension'}"
        )
    return FORMATS[extension]


def replace_atomically(path: str, write: Any) -> None:
    """Calls write(temporary name) beside `path`, then moves the file over `path`.

    A failure part-way (a full disk, Ctrl-C) leaves an earlier file of that name as it was.
    """
    folder, base = os.path.split(os.path.abspath(path))
    # A name of our own (not mkstemp's, whose file is private to the user) keeps the usual permissions.
    temporary = os.path.join(folder, f".{base}.{uuid.uuid4().hex[:12]}.part{os.path.splitext(path)[1]}")
    try:
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise


def _add_unit_labels(source: str, target: str, units: Mapping[str, str]) -> None:
    """Copies a VTU file, adding a UNITS_LABEL information key to the node arrays named in `units`.

    VTK writes the key after an array's data, inside its DataArray element; meshio reads the
    data before it and ignores the key.
    """
    with open(source, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
        section = data.find(b"<PointData>")
        inserts: list[tuple[int, bytes]] = []
        for name, unit in units.items():
            if not unit or section < 0:
                continue
            opening = data.find(f'Name="{escape(name, {chr(34): "&quot;"})}"'.encode(), section)
            closing = data.find(b"</DataArray>", opening) if opening >= 0 else -1
            if closing < 0:
                raise RuntimeError(f"the VTU writer left out the node array {name!r}")
            label = f'<InformationKey name="UNITS_LABEL" location="vtkDataArray">{escape(unit)}</InformationKey>\n'
            inserts.append((closing, label.encode("utf-8")))
        with open(target, "wb") as out:
            start = 0
            for position, text in sorted(inserts):
                out.write(data[start:position])
                out.write(text)
                start = position
            out.write(data[start:])


def write_quadratic_mesh(
    path: PathLike,
    numbering: Numbering,
    point_data: Mapping[str, np.ndarray] | None = None,
    cell_data: Mapping[str, np.ndarray] | None = None,
    units: Mapping[str, str] | None = None,
) -> None:
    """Writes the P2 mesh of a numbering with node and element arrays.

    The file is written under a temporary name and then renamed, so that a failed write leaves
    an earlier file of that name whole (XDMF with its HDF5 companion is written in place).

    Parameters
    ----------
    path : str or path-like
        File name; the format follows from its extension: ".vtu" (ParaView's XML format),
        ".vtk" (legacy VTK) or ".xdmf" (XDMF, its arrays in a ".h5" file beside it; needs h5py);
        any other raises ValueError before anything is written.
    numbering : Numbering
    point_data : mapping of str to (n_nodes,) or (n_nodes, k) arrays
    cell_data : mapping of str to (m,) or (m, k) arrays
    units : mapping of str to str, optional
        The unit of node arrays by name ("displacement": "mm"); written into ".vtu" files only
        (legacy VTK and XDMF have no place for them).
    """
    file_type = file_format(path)
    meshio = require("meshio")
    mesh = meshio.Mesh(
        numbering.node_points,
        [("tetra10", np.asarray(numbering.element_nodes))],
        point_data={k: np.ascontiguousarray(v) for k, v in (point_data or {}).items()},
        cell_data={k: [np.ascontiguousarray(v)] for k, v in (cell_data or {}).items()},
    )
    name = os.fspath(path)
    if file_type == "xdmf":
        try:
            importlib.import_module("h5py")  # meshio's XDMF writer needs it even for inline data
        except ImportError as exc:
            raise ImportError(
                "h5py is needed for writing XDMF files but is not installed; "
                'install it with: pip install "quarvex[xdmf]"'
            ) from exc
        meshio.xdmf.write(name, mesh, data_format="HDF")
        return
    labels = {key: unit for key, unit in (units or {}).items() if unit and key in mesh.point_data}
    if file_type != "vtu" or not labels:
        replace_atomically(name, lambda temporary: mesh.write(temporary, file_format=file_type))
        return

    def write_labelled(temporary: str) -> None:
        plain = temporary + ".plain"
        try:
            mesh.write(plain, file_format="vtu")
            _add_unit_labels(plain, temporary, labels)
        finally:
            if os.path.exists(plain):
                os.remove(plain)

    replace_atomically(name, write_labelled)


def result_arrays(
    result: Result, fields: Sequence[str] = ("von_mises",), units: Units | None = None
) -> tuple[dict[str, np.ndarray], dict[str, np.ndarray], dict[str, str]]:
    """The node arrays, element arrays and units of a result as `write_vtu` writes them.

    Returns
    -------
    point_data : dict of str to (n_nodes,) or (n_nodes, k) float64
        "displacement" (3), "stress" (9, row-major tensor) and each of `fields`
        ("displacement" asked for as a field goes under "displacement_magnitude").
    cell_data : dict of str to (m,) int32
        "group": the index of the element group holding each element (-1 for none), when the
        mesh has element groups.
    units : dict of str to str
        The unit of each node array that has one.
    """
    chosen = units if units is not None else units_of(result)
    point_data: dict[str, np.ndarray] = {
        "displacement": np.asarray(result.displacement),
        "stress": result.nodal_stress().reshape(-1, 9),
    }
    for name in fields:
        point_data["displacement_magnitude" if name == "displacement" else name] = result.field(name)
    labels = {key: chosen.of_field(key) for key in point_data}
    cell_data = {}
    groups = result.model.mesh.element_groups
    if groups:
        label = np.full(len(result.model.mesh.tetrahedra), -1, dtype=np.int32)
        for index, members in enumerate(groups.values()):
            label[members] = index
        cell_data["group"] = label
    return point_data, cell_data, {key: unit for key, unit in labels.items() if unit}


def write_vtu(
    result: Result, path: PathLike, fields: Sequence[str] = ("von_mises",), units: Units | None = None
) -> None:
    """Writes a result: node arrays "displacement" (3), "stress" (9, row-major tensor) and `fields`.

    Each name of `fields` is written under that name, except "displacement", whose magnitude
    goes under "displacement_magnitude" (the vector keeps its name). Element arrays: "group"
    (the index of the element group holding each element, -1 for none) when the mesh has
    element groups. In a ".vtu" file every array with a unit carries it (VTK's UNITS_LABEL).

    Parameters
    ----------
    result : Result
    path : str or path-like
        ".vtu", ".vtk" or ".xdmf".
    fields : sequence of str
        Names accepted by `Result.field`.
    units : Units, optional
        The units to label the arrays with; by default the model's (`model.units`), if any.
    """
    file_format(path)
    point_data, cell_data, labels = result_arrays(result, fields, units_of(result, units))
    write_quadratic_mesh(path, result.model.numbering, point_data, cell_data, labels)


def to_pyvista(result: Result, fields: Sequence[str] = ("von_mises",), units: Units | None = None) -> Any:
    """The result as a pyvista `UnstructuredGrid` of quadratic tetrahedra (needs pyvista).

    The grid holds the node and element arrays that `write_vtu` writes; arrays with a unit carry
    it as VTK's UNITS_LABEL, and the grid's field data "units" lists them as "name: unit".

    Parameters
    ----------
    result : Result
    fields : sequence of str
        Names accepted by `Result.field`.
    units : Units, optional
        By default the model's.

    Returns
    -------
    pyvista.UnstructuredGrid

    Raises
    ------
    ImportError
        When pyvista is not installed, naming the extra that installs it.
    """
    try:
        pyvista = importlib.import_module("pyvista")
        vtk_core = importlib.import_module("vtkmodules.vtkCommonCore")
    except ImportError as exc:
        raise ImportError(
            'pyvista is needed for to_pyvista but is not installed; install it with: pip install "quarvex[pyvista]"'
        ) from exc
    point_data, cell_data, labels = result_arrays(result, fields, units_of(result, units))
    numbering = result.model.numbering
    nodes = np.asarray(numbering.element_nodes, dtype=np.int64)
    cells = np.column_stack([np.full(len(nodes), 10, dtype=np.int64), nodes]).ravel()
    kinds = np.full(len(nodes), _VTK_QUADRATIC_TETRA, dtype=np.uint8)
    grid = pyvista.UnstructuredGrid(cells, kinds, np.array(numbering.node_points, dtype=np.float64))
    for key, values in point_data.items():
        grid.point_data[key] = np.ascontiguousarray(values)
        if key in labels:
            grid.GetPointData().GetArray(key).GetInformation().Set(vtk_core.vtkDataArray.UNITS_LABEL(), labels[key])
    for key, values in cell_data.items():
        grid.cell_data[key] = values
    if labels:
        grid.field_data["units"] = [f"{key}: {unit}" for key, unit in labels.items()]
    return grid


def read_unit_labels(path: PathLike) -> dict[str, str]:
    """The units of the node arrays of a VTU file written by `write_vtu`, by array name.

    Parameters
    ----------
    path : str or path-like

    Returns
    -------
    dict of str to str : only the arrays that carry a UNITS_LABEL.
    """
    import xml.etree.ElementTree as ElementTree

    labels = {}
    for _, element in ElementTree.iterparse(os.fspath(path)):
        if element.tag == "DataArray":
            key = element.find("InformationKey[@name='UNITS_LABEL']")
            if key is not None and key.text is not None:
                labels[element.attrib["Name"]] = key.text.strip()
            element.clear()  # the arrays' data is not needed
    return labels
