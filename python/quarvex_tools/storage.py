"""Results kept in a file and read back without solving again.

A result file is a NumPy ``.npz`` archive of plain arrays (never pickled objects, so reading one
runs no code from it): the mesh and its groups, the P2 numbering, the material matrix, the
supports, the nodal loads, the displacements and reaction forces (and, when asked for, the
nodal stresses), and one JSON text, "description", with the format's name and version, the
model's description (material, supports and loads as text), the solve report and the units.
"""

from __future__ import annotations

import dataclasses
import json
import os
import zipfile
import zlib
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, Union

import numpy as np

from .materials import Material
from .mesh import Mesh, html_table
from .numbering import Numbering
from .output import replace_atomically
from .units import Units, as_units, format_quantity, prefixed_scale, units_of

if TYPE_CHECKING:
    from .model import Elasticity
    from .results import Result

PathLike = Union[str, "os.PathLike[str]"]

FORMAT = "quarvex_tools result"
VERSION = 1  # raised whenever a reader of the old files could misread the new ones

_NUMBERING_FIELDS = ("edges", "element_nodes", "node_points", "node_rank", "forward", "backward")


def package_version() -> str:
    """The installed quarvex distribution's version, or that of pyproject.toml in a source tree, or "unknown"."""
    from importlib import metadata

    try:
        return metadata.version("quarvex")
    except metadata.PackageNotFoundError:
        pass
    project = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "pyproject.toml")
    try:
        with open(project, encoding="utf-8") as file:
            for line in file:
                key, _, value = line.partition("=")
                if key.strip() == "version":
                    return value.strip().strip("\"'")
    except OSError:
        pass
    return "unknown"


def describe_model(model: Elasticity) -> dict[str, Any]:
    """A description of a model's material, supports, loads and units, as JSON-ready data.

    Parameters
    ----------
    model : Elasticity

    Returns
    -------
    dict
        "material" (its name), "mesh" (counts and group names), "supports" (nodes fixed per
        component, inclined supports and spring sets), "loads" (body forces as expressions, the
        resultant of the surface and point loads) by load case, "units".
    """
    fixed = model.fixed
    cases = getattr(model, "_cases", None) or {"default": model}
    loads = {
        str(name): {
            "body_forces": [
                {
                    "force": [repr(component) for component in components],
                    "elements": "all" if elements is None else int(len(elements)),
                }
                for elements, components in getattr(case, "body_forces", getattr(case, "_body_forces", []))
            ],
            "surface_and_point_force": np.asarray(case.nodal_loads).sum(axis=0).tolist(),
        }
        for name, case in cases.items()
    }
    return {
        "material": model.material.name,
        "mesh": {
            "points": int(len(model.mesh.points)),
            "tetrahedra": int(len(model.mesh.tetrahedra)),
            "element_groups": sorted(model.mesh.element_groups),
            "face_groups": sorted(model.mesh.face_groups),
        },
        "supports": {
            "fixed_nodes": {axis: int(fixed[:, k].sum()) for k, axis in enumerate("xyz")},
            "normal_supports": len(getattr(model, "_normal_supports", [])),
            "elastic_supports": len(getattr(model, "_springs", [])),
        },
        "loads": loads,
        "units": units_of(model).as_dict(),
    }


def _report_data(report: Any) -> tuple[dict[str, Any], np.ndarray | None]:
    """The solve report's scalar fields (JSON-ready) and its residual history, if any."""
    fields = dataclasses.asdict(report) if dataclasses.is_dataclass(report) and not isinstance(report, type) else {}
    history = fields.pop("history", None)
    plain = {
        key: value.item() if isinstance(value, np.generic) else value
        for key, value in fields.items()
        if isinstance(value, (bool, int, float, str, np.generic))
    }
    return plain, None if history is None else np.asarray(history, dtype=np.float64)


def save_result(result: Result, path: PathLike, *, stresses: bool = False, units: Units | None = None) -> None:
    """Writes a result to a ``.npz`` file that `load_result` reads back without solving.

    The file is written under a temporary name and renamed when complete, so that a failure
    leaves an earlier file of that name whole.

    Parameters
    ----------
    result : Result
    path : str or path-like
        The file; its name is used as given (no extension is added).
    stresses : bool
        Also keep the nodal stresses (n_nodes, 3, 3): a larger file, but no stress recovery
        after loading.
    units : Units, optional
        The units to record; by default the model's (`model.units`), if any.
    """
    model = result.model
    numbering = model.numbering
    case = getattr(result, "case", None)
    cases = getattr(model, "_cases", {})
    nodal_loads = cases[case].nodal_loads if case in cases else model.nodal_loads
    report, history = _report_data(result.report)
    element_groups, face_groups = model.mesh.element_groups, model.mesh.face_groups
    description = {
        "format": FORMAT,
        "version": VERSION,
        "written_by": f"quarvex_tools {package_version()}",
        "model": describe_model(model),
        "case": case,
        "report": report,
        "units": units_of(result, units).as_dict(),
        "element_groups": list(element_groups),
        "face_groups": list(face_groups),
        "material_name": model.material.name,
        "n_vertices": int(numbering.n_vertices),
        "curved": bool(len(model.mesh.curved)),
    }
    arrays: dict[str, np.ndarray] = {
        "description": np.array(json.dumps(description)),
        "points": model.mesh.points,
        "tetrahedra": model.mesh.tetrahedra,
        "material": model.material.matrix,
        "displacement": result.displacement,
        "reaction_forces": result.reaction_forces,
        "fixed": model.fixed,
        "fixed_values": np.where(model.fixed, getattr(model, "_fixed_values", 0.0), 0.0),
        "nodal_loads": np.asarray(nodal_loads),
    }
    arrays.update({f"numbering_{name}": np.asarray(getattr(numbering, name)) for name in _NUMBERING_FIELDS})
    arrays.update({f"element_group_{k}": members for k, members in enumerate(element_groups.values())})
    arrays.update({f"face_group_{k}": faces for k, faces in enumerate(face_groups.values())})
    if history is not None:
        arrays["history"] = history
    if stresses:
        arrays["nodal_stress"] = result.nodal_stress()

    def write(temporary: str) -> None:
        with open(temporary, "wb") as file:
            np.savez(file, **arrays)  # type: ignore[arg-type]

    replace_atomically(os.fspath(path), write)


class _Archive:
    """The arrays of an open result file, each read (and its checksum checked) when asked for."""

    def __init__(self, name: str, archive: Mapping[str, np.ndarray]) -> None:
        self.name = name
        self.archive = archive

    def get(self, key: str, dtype_kind: str, shape: tuple[int | None, ...]) -> np.ndarray:
        """The array `key`, checked to be of a dtype kind in `dtype_kind` and of `shape` (None: any length)."""
        if key not in self.archive:
            raise ValueError(f"{self.name}: not a complete result file: the array {key!r} is missing")
        array = self.archive[key]
        if (
            array.dtype.kind not in dtype_kind
            or array.ndim != len(shape)
            or any(want is not None and want != got for want, got in zip(shape, array.shape, strict=True))
        ):
            raise ValueError(
                f"{self.name}: the array {key!r} is {array.dtype} of shape {array.shape}, not what a result file holds"
            )
        return array


def _read(path: PathLike, reader: Callable[[_Archive], Any], damage: tuple[type[Exception], ...]) -> Any:
    """reader(the opened archive), with every sign of a damaged file (and `damage`) turned into one
    ValueError naming the file; a missing or unreadable file keeps its own OSError."""
    name = os.fspath(path)
    damaged: tuple[type[Exception], ...] = (OSError, EOFError, zipfile.BadZipFile, zlib.error, *damage)
    try:
        with np.load(name, allow_pickle=False) as opened:
            return reader(_Archive(name, opened))
    except (FileNotFoundError, IsADirectoryError, PermissionError):
        raise
    except ValueError as exc:
        if str(exc).startswith(name):
            raise
        raise ValueError(f"{name}: cannot read the result: {exc}") from exc
    except damaged as exc:
        raise ValueError(f"{name}: cannot read the result: {exc}") from exc


def read_description(path: PathLike) -> dict[str, Any]:
    """The description of a result file (format, version, model, solve report, units) without its arrays.

    Raises
    ------
    FileNotFoundError
        For a missing file.
    ValueError
        For a file that is not a result file of this format and version, or is damaged.
    """
    return _read(path, _description, (KeyError,))


def _description(archive: _Archive) -> dict[str, Any]:
    text = archive.get("description", "U", ())
    try:
        description = json.loads(str(text))
    except json.JSONDecodeError as exc:
        raise ValueError(f"{archive.name}: the result's description is damaged ({exc})") from None
    if not isinstance(description, dict) or description.get("format") != FORMAT:
        raise ValueError(f"{archive.name}: not a quarvex_tools result file")
    version = description.get("version")
    if version != VERSION:
        raise ValueError(
            f"{archive.name}: a result file of format version {version!r}; this quarvex_tools "
            f"({package_version()}) reads version {VERSION}"
        )
    return description


def load_result(path: PathLike) -> Result:
    """Reads a result written by `save_result`: the model (mesh, groups, numbering, material, fixed
    supports, nodal loads, units) and the solution, without solving.

    The result answers `field`, `nodal_stress`, `reactions`, `at`, `write` and `plot` as the
    saved one did; it holds no core model (`nexus` is None), so `l2_error` is not available.
    Inclined and elastic supports and body forces are kept as text in its description only
    (`read_description`).

    Parameters
    ----------
    path : str or path-like

    Returns
    -------
    Result

    Raises
    ------
    FileNotFoundError
        For a missing file.
    ValueError
        For a file of another format or version, or a damaged one (a checksum, a missing array,
        an array of the wrong type or shape, or data that does not make a valid mesh), with
        the file's name.
    """
    return _read(path, _load, (KeyError, TypeError))


def _given(values: np.ndarray) -> Callable[[np.ndarray], np.ndarray]:
    """A value for `Elasticity.fix` that gives back `values` (k, 3) for the k nodes of its region."""
    return lambda points: values


def _load(archive: _Archive) -> Result:
    from .model import Elasticity
    from .results import Result
    from .system import SolveResult

    description = _description(archive)
    points = archive.get("points", "f", (None, 3))
    tetrahedra = archive.get("tetrahedra", "iu", (None, 4))
    element_groups = {
        str(key): archive.get(f"element_group_{k}", "iu", (None,))
        for k, key in enumerate(description.get("element_groups", []))
    }
    face_groups = {
        str(key): archive.get(f"face_group_{k}", "iu", (None, 3))
        for k, key in enumerate(description.get("face_groups", []))
    }
    edges = archive.get("numbering_edges", "iu", (None, 2))
    n_nodes = len(points) + len(edges)
    element_nodes = archive.get("numbering_element_nodes", "iu", (len(tetrahedra), 10)).astype(np.int64)
    node_points = archive.get("numbering_node_points", "f", (n_nodes, 3)).astype(np.float64)
    if description.get("curved"):
        # A curved mesh is given again by its 10-node tetrahedra, the edge nodes where the numbering has them.
        mesh = Mesh(node_points, element_nodes, element_groups, face_groups)
    else:
        mesh = Mesh(points, tetrahedra, element_groups, face_groups)
    if len(mesh.reoriented):
        raise ValueError(f"{archive.name}: the saved tetrahedra are not positively oriented")
    numbering = Numbering(
        int(description.get("n_vertices", -1)),
        edges.astype(np.int64),
        element_nodes,
        node_points,
        archive.get("numbering_node_rank", "iu", (n_nodes,)).astype(np.int64),
        archive.get("numbering_forward", "b", (len(edges),)),
        archive.get("numbering_backward", "b", (len(edges),)),
    )
    material = Material(archive.get("material", "f", (9, 9)), str(description.get("material_name", "material")))
    model = Elasticity(mesh, material, numbering)  # checks that the numbering belongs to the mesh
    units = as_units(description.get("units") or None)
    if units:
        model.units = units
    fixed = archive.get("fixed", "b", (n_nodes, 3))
    fixed_values = archive.get("fixed_values", "f", (n_nodes, 3))
    for axis in range(3):
        if fixed[:, axis].any():
            model.fix(fixed[:, axis], components=axis, value=_given(fixed_values[fixed[:, axis]]))
    model.nodal_loads[...] = archive.get("nodal_loads", "f", (n_nodes, 3))
    report_fields = {field.name for field in dataclasses.fields(SolveResult)}
    report_data = {key: value for key, value in description.get("report", {}).items() if key in report_fields}
    if "history" in archive.archive:
        report_data["history"] = archive.get("history", "f", (None,))
    try:
        report = SolveResult(**report_data)
    except TypeError as exc:
        raise ValueError(f"{archive.name}: the saved solve report is incomplete ({exc})") from None
    result = Result(
        model,
        archive.get("displacement", "f", (n_nodes, 3)),
        report,
        None,
        archive.get("reaction_forces", "f", (n_nodes, 3)),
    )
    if "nodal_stress" in archive.archive and hasattr(result, "_nodal_stress"):
        stress = np.array(archive.get("nodal_stress", "f", (n_nodes, 3, 3)), dtype=np.float64)
        stress.setflags(write=False)
        result._nodal_stress = stress  # the recovery was saved: no need to repeat it
    return result


# Descriptions for repr ------------------------------------------------------------------------
def _vector_text(vector: np.ndarray, unit: str) -> str:
    """ "(1.5 kN, 0 kN, -2 kN)": a vector in engineering notation with one prefix for all components."""
    values = np.asarray(vector, dtype=np.float64)
    largest = float(np.abs(values).max(initial=0.0))
    values = np.where(np.abs(values) < 1e-9 * largest, 0.0, values)  # rounding noise beside the largest
    factor, shown = prefixed_scale(largest, unit)
    return "(" + ", ".join(f"{value * factor:.4g}" for value in values) + ")" + (f" {shown}" if shown else "")


def model_summary(model: Elasticity) -> list[tuple[str, str]]:
    """(name, value) rows describing a model: mesh, material, units, supports, loads and state.

    Works on a model in any state (nothing assembled or solved yet included); computes nothing
    costly.
    """
    description = describe_model(model)
    units = units_of(model)
    supports = description["supports"]
    fixed = ", ".join(f"{count:,} in {axis}" for axis, count in supports["fixed_nodes"].items() if count) or "none"
    load_rows = []
    for name, loads in description["loads"].items():
        body_forces = (
            "; ".join(
                f"({', '.join(entry['force'])})"
                + ("" if entry["elements"] == "all" else f" on {entry['elements']:,} elements")
                for entry in loads["body_forces"]
            )
            or "none"
        )
        surface = _vector_text(np.array(loads["surface_and_point_force"]), units.force)
        load_rows.append(
            (
                f"loads ({name})" if len(description["loads"]) > 1 else "loads",
                f"body forces {body_forces}; surface and point loads {surface}",
            )
        )
    dofs = getattr(model, "dofs", None)
    state = "not assembled" if getattr(model, "nexus", None) is None else "assembled"
    if dofs is not None and hasattr(dofs, "n_free"):
        state += f", {dofs.n_free:,} unknowns"
    return [
        (
            "mesh",
            f"{description['mesh']['points']:,} points, {description['mesh']['tetrahedra']:,} tetrahedra, "
            f"{model.numbering.n_nodes:,} P2 nodes",
        ),
        ("material", description["material"]),
        ("units", ", ".join(f"{name} {unit}" for name, unit in units.as_dict().items() if unit) or "not given"),
        ("fixed nodes", fixed),
        (
            "inclined and elastic supports",
            f"{supports['normal_supports']} inclined, {supports['elastic_supports']} elastic",
        ),
        *load_rows,
        ("state", state),
    ]


def model_repr(model: Elasticity) -> str:
    """One line describing a model (for `Elasticity.__repr__`)."""
    rows = dict(model_summary(model))
    loads = "; ".join(f"{name}: {value}" for name, value in rows.items() if name.startswith("loads"))
    return (
        f"Elasticity({rows['mesh']}; {rows['material']}; fixed nodes: {rows['fixed nodes']}; {loads}; {rows['state']})"
    )


def result_summary(result: Result) -> list[tuple[str, str]]:
    """(name, value) rows describing a result: its largest displacement, the solve and the support reactions.

    Computes nothing costly: stresses appear only once they have been recovered.
    """
    units = units_of(result)
    largest, node = result.max_displacement
    report = result.report
    rows = [
        ("nodes", f"{len(result.displacement):,}"),
        (
            "max |u|",
            f"{format_quantity(largest, units.length, 4)} at node {node:,} "
            f"{tuple(float(f'{v:.6g}') for v in result.points[node])}",
        ),
    ]
    stress = getattr(result, "_nodal_stress", None)
    if stress is not None:
        from .results import von_mises

        rows.append(("max von Mises (nodal)", format_quantity(float(von_mises(stress).max()), units.stress, 4)))
    relative = getattr(report, "relative_residual", float("nan"))
    reached = "converged" if getattr(report, "converged", False) else "NOT converged"
    solve = (
        f"{getattr(report, 'method', '') or 'solve'}: {getattr(report, 'iterations', '?')} iterations, "
        f"residual {relative:.2e} of the load, {reached}"
    )
    rows.append(("solve", solve))
    rows.append(("support reaction", _vector_text(np.asarray(result.reaction_forces).sum(axis=0), units.force)))
    return rows


def result_repr_html(result: Result) -> str:
    """An HTML table of `result_summary` and the model's `model_summary` (for `Result._repr_html_`)."""
    return html_table("Result", result_summary(result)) + html_table("of the model", model_summary(result.model))


def model_repr_html(model: Elasticity) -> str:
    """An HTML table of `model_summary` (for `Elasticity._repr_html_`)."""
    return html_table("Elasticity", model_summary(model))
