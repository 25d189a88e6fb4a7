"""Reading tetrahedral meshes from files through meshio, with gmsh physical groups as named groups."""

from __future__ import annotations

import mmap
import os
import warnings
from collections import Counter
from typing import Any, BinaryIO

import numpy as np

from ._optional import require
from .mesh import Mesh, first_copies

_TETRAHEDRA = ("tetra", "tetra10")  # 10-node tetrahedra keep their edge nodes where all tetrahedra have them
_TRIANGLES = ("triangle", "triangle6")
# Integer cell arrays that label regions, by the writer that uses them.
_TAG_ARRAYS = ("gmsh:physical", "CellEntityIds", "medit:ref")
# The fewest bytes a gmsh node or element takes in any encoding: "1 0 0 0\n" (MSH 2 ASCII) or
# "1\n" + "0 0 0\n" (MSH 4 ASCII); an element at least "1 1\n". An entity block header takes 8.
_FEWEST_BYTES = {"Nodes": 8, "Elements": 4}
_BLOCK_BYTES = 8


def read_mesh(path: str | os.PathLike, *, drop_unused: bool = True) -> Mesh:
    """Reads a tetrahedral mesh file (gmsh .msh, VTU, and every format meshio reads).

    Tetrahedra become the mesh. Quadratic ones (gmsh's second-order meshes) keep the positions of
    their edge nodes, so curved edges stay curved (`Mesh.curved`); in a file that mixes them
    with 4-node tetrahedra they are read by their vertices, with a warning. Physical
    groups (gmsh) or region labels become groups named by their physical name, or by their
    number when unnamed: tetrahedron labels give element groups, triangle labels face groups.
    An element listed more than once (MSH 2 files list an element once per physical group) is
    read once, into every group that lists it.

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
    FileNotFoundError
        When the file does not exist (other failures to open it raise their own `OSError`).
    ValueError
        When the file cannot be read ("<file>: cannot read the mesh: ...", chained to the reader's
        error), when a gmsh file is cut short inside its nodes or elements or declares more of
        them than its size can hold, when it holds no tetrahedra or volume cells of another kind
        (hexahedra, wedges, pyramids, higher-order tetrahedra), or when `Mesh` refuses what it holds.
    ImportError
        When meshio is not installed (extra "io"), or a reader needs a package that is not.

    Warns
    -----
    RuntimeWarning
        When the file lists an element twice in the same group (or twice without groups): it is
        read once; when it mixes 4- and 10-node tetrahedra and some of the latter are curved:
        they are read straight.
    """
    meshio = require("meshio")
    name = os.fspath(path)
    with open(name, "rb") as file:  # FileNotFoundError, PermissionError, IsADirectoryError as they are
        file_size = os.fstat(file.fileno()).st_size
        if file_size == 0:
            raise ValueError(f"{name}: cannot read the mesh: the file is empty")
        _check_gmsh_sections(name, file, file_size)
    data = _read_with_meshio(meshio, name)
    points = np.asarray(data.points, dtype=np.float64)
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError(f"{name}: points are not three-dimensional (shape {points.shape})")

    others: Counter[str] = Counter()
    for block in data.cells:
        if getattr(block, "dim", None) == 3 and block.type not in _TETRAHEDRA:
            others[block.type] += len(block.data)
    if others:
        found = ", ".join(f"{count} {kind}" for kind, count in sorted(others.items()))
        raise ValueError(
            f"{name}: the file holds volume cells other than 4- and 10-node tetrahedra ({found}); only those are solved"
        )

    kinds = {block.type for block in data.cells if block.type in _TETRAHEDRA}
    tets = _cells(data, _TETRAHEDRA, 10 if kinds == {"tetra10"} else 4, dim=3)
    if kinds == {"tetra", "tetra10"}:
        _warn_straightened(name, data, points)
    if tets is None:
        types = sorted({block.type for block in data.cells})
        raise ValueError(f"{name}: no tetrahedra in the file (cell types: {types})")
    tetrahedra, element_members = _read_once(name, "tetrahedra", *tets)
    element_groups = {group: np.unique(rows) for group, rows in element_members.items()}
    face_groups = {}
    tris = _cells(data, _TRIANGLES, 3, dim=2)
    if tris is not None:
        triangles, face_members = _read_once(name, "triangles", *tris)
        face_groups = {group: triangles[np.unique(rows)] for group, rows in face_members.items()}
    return Mesh(points, tetrahedra, element_groups, face_groups, drop_unused=drop_unused)


def _warn_straightened(name: str, data: Any, points: np.ndarray) -> None:
    """Warns when the 10-node tetrahedra of a file that mixes them with 4-node ones have curved edges.

    Such a mesh is read by its vertices: an edge of a 4-node element has no node of its own to
    share with a 10-node neighbour.
    """
    from .mesh import _curved_elements

    tets10 = np.concatenate([np.asarray(b.data, dtype=np.int64) for b in data.cells if b.type == "tetra10"])
    curved = _curved_elements(points, tets10[:, :4], points[tets10[:, 4:]])
    if len(curved):
        warnings.warn(
            f"{name}: the file mixes 4- and 10-node tetrahedra; {len(curved)} curved 10-node tetrahedra "
            "are read by their vertices, with straight edges",
            RuntimeWarning,
            stacklevel=3,
        )


def _read_with_meshio(meshio: Any, name: str) -> Any:
    """meshio.read, with every failure to make sense of the file turned into one ValueError."""
    try:
        if os.path.splitext(name)[1].lower() == ".msh":
            # meshio tries the ANSYS reader on .msh first and prints its refusal to stdout; gmsh
            # files, by far the common kind, go straight to the gmsh reader, the others on to meshio.
            try:
                return meshio.read(name, file_format="gmsh")
            except (ImportError, MemoryError):
                raise
            except (Exception, SystemExit):
                pass
        return meshio.read(name)
    except (ImportError, MemoryError):
        raise
    except SystemExit as exc:  # meshio exits when no reader of the file's suffix accepts it
        suffix = os.path.splitext(name)[1].lower()
        formats = ", ".join(meshio.extension_to_filetypes.get(suffix, [])) or "any format"
        raise ValueError(f"{name}: cannot read the mesh: it is not a valid {formats} file") from exc
    except Exception as exc:
        raise ValueError(f"{name}: cannot read the mesh: {type(exc).__name__}: {exc}") from exc


def _check_gmsh_sections(name: str, file: BinaryIO, file_size: int) -> None:
    """Refuses a gmsh file cut short or whose $Nodes or $Elements header declares more than the file can hold.

    The reader sizes its arrays by these headers, so a small damaged file could otherwise take
    gigabytes and minutes before failing; and it reads an unclosed section up to wherever the
    file ends, taking the last numbers of a cut line for its nodes. Other files pass untouched.
    """
    with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
        if not data[:64].lstrip().startswith((b"$MeshFormat", b"$Comments")):
            return
        start = data.find(b"$MeshFormat")
        fields = data[start : start + 200].split(b"\n")[1].split() if start >= 0 else []
        if len(fields) < 3 or fields[1] not in (b"0", b"1") or not fields[2].isdigit():
            return  # the reader reports a broken format line
        blocked = not fields[0].startswith(b"2")  # MSH 4: the entity blocks, then the entries
        for section, fewest in _FEWEST_BYTES.items():
            at = _section_start(data, section)
            if at < 0:
                continue
            if data.find(b"$End" + section.encode(), at) < 0:
                raise ValueError(f"{name}: cannot read the mesh: the file ends inside ${section} (no $End{section})")
            counts = _section_counts(data, at, blocked and fields[1] == b"1", int(fields[2]))
            if not counts:
                continue
            blocks, entries = (counts[0], counts[1]) if blocked and len(counts) > 1 else (0, counts[0])
            if entries * fewest + blocks * _BLOCK_BYTES > file_size:
                noun = "nodes" if section == "Nodes" else "elements"
                declared = f"{entries} {noun} in {blocks} blocks" if blocked else f"{entries} {noun}"
                raise ValueError(
                    f"{name}: cannot read the mesh: ${section} declares {declared}, "
                    f"more than the file's {file_size} bytes can hold"
                )


def _section_start(data: mmap.mmap, section: str) -> int:
    """Where the line "$<section>" ends (its newline), or -1."""
    tag = b"\n$" + section.encode()
    at = data.find(tag)
    while at >= 0 and data[at + len(tag) : at + len(tag) + 1] not in (b"\n", b"\r", b" ", b"\t"):
        at = data.find(tag, at + 1)
    return at if at < 0 else data.find(b"\n", at + 1)


def _section_counts(data: mmap.mmap, line_end: int, binary_header: bool, size_t: int) -> list[int] | None:
    """The numbers that open a gmsh section (after its "$Nodes" line), or None when unreadable."""
    if line_end < 0:
        return None
    if binary_header:  # MSH 4 binary: numEntityBlocks and the entry count as size_t
        if size_t not in (4, 8):
            return None
        raw = data[line_end + 1 : line_end + 1 + 2 * size_t]
        if len(raw) < 2 * size_t:
            return None
        return [int(v) for v in np.frombuffer(raw, dtype=np.uint32 if size_t == 4 else np.uint64)]
    next_end = data.find(b"\n", line_end + 1)
    line = data[line_end + 1 : next_end if next_end >= 0 else len(data)]
    try:
        return [int(v) for v in line.split()[:2]] or None
    except ValueError:
        return None


def _physical_names(field_data: dict) -> dict[str, tuple[int, int]]:
    """Physical group names and their (tag, dimension); other field data (a time value, say) is passed over."""
    out = {}
    for name, value in field_data.items():
        numbers = np.asarray(value).ravel()[:2]
        if len(numbers) == 2 and numbers.dtype.kind in "iuf" and (numbers == np.round(numbers)).all():
            out[str(name)] = (int(numbers[0]), int(numbers[1]))
    return out


def _cells(data: Any, kinds: tuple[str, ...], corners: int, dim: int) -> tuple | None:
    """Cells of the given kinds by their corners, the group names of each row, and their labels.

    Returns None when the file has none; else (cells (r, corners) int64, members: group name ->
    rows, labels (r,) int64 or None).
    """
    physical = _physical_names(data.field_data)
    names = {tag_dim: name for name, tag_dim in physical.items()}
    tag_array = next((data.cell_data[k] for k in _TAG_ARRAYS if k in data.cell_data), None)
    # meshio's MSH 4 reader names every physical group of an entity in cell_sets; its tags give only the first.
    named_sets = {
        k: v for k, v in data.cell_sets.items() if k in physical and physical[k][1] == dim and len(v) == len(data.cells)
    }

    blocks: list[np.ndarray] = []
    labels: list[np.ndarray | None] = []
    members: dict[str, list[np.ndarray]] = {}
    offset = 0
    for index, block in enumerate(data.cells):
        if block.type not in kinds:
            continue
        rows = np.asarray(block.data)[:, :corners].astype(np.int64)
        blocks.append(rows)
        tags = None if tag_array is None else np.asarray(tag_array[index]).astype(np.int64).ravel()
        labels.append(tags)
        if tags is not None:
            for tag in np.unique(tags):
                group = names.get((int(tag), dim), str(int(tag)))
                members.setdefault(group, []).append(offset + np.flatnonzero(tags == tag))
        for group, per_block in named_sets.items():
            chosen = per_block[index]
            if chosen is not None and len(chosen):
                members.setdefault(group, []).append(offset + np.asarray(chosen, dtype=np.int64))
        offset += len(rows)
    if not blocks:
        return None
    known = [t for t in labels if t is not None]
    all_labels = np.concatenate(known) if len(known) == len(labels) else None
    return np.concatenate(blocks), {k: np.concatenate(v) for k, v in members.items()}, all_labels


def _read_once(
    name: str, noun: str, cells: np.ndarray, members: dict[str, np.ndarray], labels: np.ndarray | None
) -> tuple[np.ndarray, dict[str, np.ndarray]]:
    """Keeps the first copy of every cell listed more than once, its groups following it.

    Copies carrying different labels are how MSH 2 lists an element in several groups; copies
    with the same label (or without labels) are repeats, read once with a warning. Triangles in
    no group are not used, so only tetrahedra are checked then.
    """
    first = first_copies(cells[:, :4])  # a 10-node tetrahedron is the same element as its vertices
    kept = first == np.arange(len(cells))
    new_index = np.cumsum(kept) - 1
    if not kept.all() and (members or noun == "tetrahedra"):
        if labels is None:
            repeated = np.flatnonzero(~kept)
        else:
            _, label_rank = np.unique(labels, return_inverse=True)
            pairs = first * (int(label_rank.max()) + 1) + label_rank.ravel()
            _, first_of_pair = np.unique(pairs, return_index=True)
            repeated = np.setdiff1d(np.arange(len(cells)), first_of_pair)
        if len(repeated):
            later = int(repeated[0])
            where = "" if labels is None else " in the same group"
            warnings.warn(
                f"{name}: {len(repeated)} {noun} repeat earlier ones{where} (the first: number {later} repeats "
                f"number {int(first[later])}, counting from 0 in the order read); each is read once",
                RuntimeWarning,
                stacklevel=3,
            )
    return cells[kept], {group: new_index[first[rows]] for group, rows in members.items()}
