"""Pictures of a result: the deformed boundary surface coloured by a node field (matplotlib, headless).

Each quadratic boundary triangle is drawn as four flat triangles through its edge nodes, so
bending shows as curvature; faces are shaded by their angle to a light from the viewer.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from ._optional import require
from .p2 import triangle_shape_values
from .units import Units, format_quantity, prefixed_scale, split_prefix, units_of

if TYPE_CHECKING:
    from .results import Result

_POLYGON_BUDGET = 200_000  # flat triangles drawn at most (finer subdivision of fewer faces)


def _lattice(level: int) -> tuple[np.ndarray, np.ndarray]:
    """Barycentric points of a triangle cut into level^2 triangles, and those triangles (point indices)."""
    index: dict[tuple[int, int], int] = {}
    points: list[tuple[int, int, int]] = []
    for i in range(level + 1):
        for j in range(level + 1 - i):
            index[i, j] = len(points)
            points.append((level - i - j, i, j))
    triangles = []
    for i in range(level):
        for j in range(level - i):
            triangles.append((index[i, j], index[i + 1, j], index[i, j + 1]))
            if i + j < level - 1:
                triangles.append((index[i + 1, j], index[i + 1, j + 1], index[i, j + 1]))
    return np.array(points, dtype=np.float64) / level, np.array(triangles)


_LABELS = {
    "von_mises": "von Mises stress",
    "displacement": "displacement magnitude",
    "ux": "displacement x",
    "uy": "displacement y",
    "uz": "displacement z",
}


def default_scale(result: Result) -> float:
    """The magnification that draws the largest displacement as 10% of the model's largest extent."""
    largest, _ = result.max_displacement
    extent = float(np.ptp(result.model.mesh.points, axis=0).max())
    if largest == 0.0:
        return 1.0
    scale = 0.1 * extent / largest
    # Round to 1, 2 or 5 times a power of ten so the stated factor reads well.
    power = 10.0 ** np.floor(np.log10(scale))
    return float(max(m for m in (1.0, 2.0, 5.0, 10.0) if m * power <= scale) * power)


def _clip(triangles: np.ndarray, distance: np.ndarray) -> np.ndarray:
    """The parts of triangles where a linear function is >= 0, as triangles.

    Parameters
    ----------
    triangles : (t, 3, k) float
        Per vertex, k values that vary linearly over the triangle (positions, field values).
    distance : (t, 3) float
        The function at the vertices (a signed distance from a plane, positive on the kept side).

    Returns
    -------
    (s, 3, k) float : whole triangles, one triangle where one vertex is kept, two where two are.
    """
    inside = distance >= 0.0
    count = inside.sum(axis=1)
    pieces = [triangles[count == 3]]
    for kept in (1, 2):
        rows = np.flatnonzero(count == kept)
        if not len(rows):
            continue
        # Turn each triangle cyclically so that vertex 0 is the lone vertex (kept for 1, cut for 2).
        lone = np.argmax(inside[rows] if kept == 1 else ~inside[rows], axis=1)
        order = (lone[:, None] + np.arange(3)) % 3
        corners = np.take_along_axis(triangles[rows], order[:, :, None], axis=1)
        height = np.take_along_axis(distance[rows], order, axis=1)
        # The plane crosses edge (0, j) at the fraction d0 / (d0 - dj) from vertex 0.
        cut = [
            corners[:, 0] + (height[:, 0] / (height[:, 0] - height[:, j]))[:, None] * (corners[:, j] - corners[:, 0])
            for j in (1, 2)
        ]
        if kept == 1:
            pieces.append(np.stack([corners[:, 0], cut[0], cut[1]], axis=1))
        else:
            pieces.append(np.stack([cut[0], corners[:, 1], corners[:, 2]], axis=1))
            pieces.append(np.stack([cut[0], corners[:, 2], cut[1]], axis=1))
    return np.concatenate(pieces)


def surface_triangles(
    result: Result,
    values: np.ndarray,
    scale: float,
    box: tuple[Sequence[float], Sequence[float]] | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """The boundary of a result as flat triangles at displaced positions, with a node field on them.

    Each quadratic boundary face is cut into a lattice of flat triangles through points of its
    quadratic interpolation. With a box, the triangles are cut along the box's planes in the
    undeformed mesh, so that the part drawn ends in straight edges.

    Parameters
    ----------
    result : Result
    values : (n_nodes,) float
        The field at the nodes.
    scale : float
        Displacement magnification (0 for the undeformed shape).
    box : ((3,) float, (3,) float), optional
        Lowest and highest corner of the part to keep, in undeformed coordinates; an infinite
        coordinate leaves that side open.

    Returns
    -------
    corners : (t, 3, 3) float64
        The triangles' corners at the displaced positions.
    corner_values : (t, 3) float64
        The field at the corners.

    Raises
    ------
    ValueError
        When no boundary face meets the box.
    """
    model = result.model
    faces, _ = model.mesh.boundary_faces()
    if box is not None:
        corners = np.asarray(box, dtype=np.float64) if np.shape(box) == (2, 3) else None
        if corners is None or np.isnan(corners).any():
            raise ValueError(f"box must be two points (lowest, highest corner; infinite for no bound), got {box!r}")
        low_box, high_box = corners
        face_points = model.mesh.points[faces]  # (k, 3, 3)
        meets = np.all((face_points.max(axis=1) >= low_box) & (face_points.min(axis=1) <= high_box), axis=1)
        faces = faces[meets]
        if len(faces) == 0:
            raise ValueError(f"no boundary face lies in the box {box}")
    nodes = model.face_nodes(faces)  # (k, 6): vertices, then edges (0,1), (1,2), (0,2)
    level = int(max(1, min(4, np.sqrt(_POLYGON_BUDGET / max(len(faces), 1)))))
    lattice, cuts = _lattice(level)
    shapes = triangle_shape_values(lattice)  # (p, 6): the quadratic interpolation on each face
    points = model.numbering.node_points
    deformed = points + scale * result.displacement if scale else points
    lattice_points = np.einsum("pa,kac->kpc", shapes, deformed[nodes])
    lattice_values = values[nodes] @ shapes.T  # (k, p)
    if box is None:
        return lattice_points[:, cuts].reshape(-1, 3, 3), lattice_values[:, cuts].reshape(-1, 3)
    undeformed = np.einsum("pa,kac->kpc", shapes, points[nodes]) if scale else lattice_points
    # Per lattice corner: undeformed position (3), displaced position (3), value (1).
    triangles = np.concatenate([undeformed, lattice_points, lattice_values[..., None]], axis=2)[:, cuts]
    triangles = triangles.reshape(-1, 3, 7)
    for axis in range(3):
        for bound, sign in ((low_box[axis], 1.0), (high_box[axis], -1.0)):
            if np.isfinite(bound) and len(triangles):
                triangles = _clip(triangles, sign * (triangles[:, :, axis] - bound))
    if not len(triangles):
        raise ValueError(f"no boundary face lies in the box {box}")
    return triangles[:, :, 3:6], triangles[:, :, 6]


def _colour_scale(low: float, high: float, unit: str) -> tuple[float, str]:
    """The factor for the colour bar's ticks and its unit text, in engineering notation.

    An SI unit takes a prefix (7e5 Pa reads 700 on a bar in kPa); another unit, or none, takes
    a power of ten that is a multiple of three ("×10³ psi") for numbers beyond 0.001 to 10,000.
    """
    largest = max(abs(low), abs(high))
    factor, shown = prefixed_scale(largest, unit)
    if split_prefix(unit) is not None or not 0.0 < largest < np.inf or 1e-3 <= largest < 1e4:
        return factor, shown
    engineering = 3 * int(np.floor(np.log10(largest) / 3))
    if engineering == 0:
        return 1.0, unit
    return 10.0**-engineering, f"×10$^{{{engineering}}}$ {unit}".rstrip()


def plot_result(
    result: Result,
    path: str,
    field: str = "von_mises",
    scale: float | None = None,
    *,
    title: str | None = None,
    elev: float = 22.0,
    azim: float = -58.0,
    cmap: str = "turbo",
    dpi: int = 150,
    size: tuple[float, float] | None = None,
    unit: str | None = None,
    units: Units | None = None,
    box: tuple[Sequence[float], Sequence[float]] | None = None,
    undeformed: bool = False,
) -> float:
    """Draws the deformed boundary of a result coloured by a node field and saves it (PNG).

    Parameters
    ----------
    result : Result
    path : str
        Output file; the format follows from the extension.
    field : str
        A field name of `Result.field`.
    scale : float, optional
        Displacement magnification; default from `default_scale`.
    title : str, optional
    elev, azim : float
        View angles in degrees (matplotlib's 3D view).
    cmap : str
        Colour map name.
    dpi : int
    size : (float, float), optional
        Figure size in inches; default (10, 5.5), or (15, 5.5) with `undeformed`.
    unit : str, optional
        Unit of the field for the colour bar, e.g. "Pa"; by default the one `units` gives the field.
    units : Units, optional
        The model's units (by default `model.units`, if any): they label the colour bar and the
        largest displacement. Numbers are shown in engineering notation ("700 kPa").
    box : ((3,) float, (3,) float), optional
        Draw only the part of the boundary inside this box (lowest, highest corner) of the
        undeformed mesh, cut along the box's planes, to look closely at a part; the colour
        range follows that part.
    undeformed : bool
        Draw the field over the undeformed shape too, on the left, beside the deformed one,
        with one colour bar for both.

    Returns
    -------
    float : the displacement scale used
    """
    matplotlib = require("matplotlib")
    # A Figure of its own draws without pyplot: the caller's backend (inline in Jupyter, a window)
    # stays as it was, and no display is needed.
    figure_module = require("matplotlib.figure")
    art3d = require("mpl_toolkits.mplot3d.art3d")
    ticker = require("matplotlib.ticker")

    chosen_units = units_of(result, units)
    field_unit = chosen_units.of_field(field) if unit is None else unit
    scale = default_scale(result) if scale is None else float(scale)
    values = result.field(field)
    shapes = [(0.0, "undeformed"), (scale, "deformed")] if undeformed else [(scale, "deformed")]
    drawn = [surface_triangles(result, values, shape_scale, box) for shape_scale, _ in shapes]

    low = min(float(corner_values.min()) for _, corner_values in drawn)
    high = max(float(corner_values.max()) for _, corner_values in drawn)
    if high <= low:
        high = low + (abs(low) if low else 1.0)
    norm = matplotlib.colors.Normalize(low, high)
    colour_map = matplotlib.colormaps[cmap]
    e, a = np.radians(elev + 20.0), np.radians(azim - 30.0)  # light from above the viewer's left
    towards_light = np.array([np.cos(e) * np.cos(a), np.cos(e) * np.sin(a), np.sin(e)])

    figure = figure_module.Figure(figsize=size or ((15.0, 5.5) if undeformed else (10.0, 5.5)), dpi=dpi)
    all_axes = []
    for panel, ((_, shape_name), (corners, corner_values)) in enumerate(zip(shapes, drawn, strict=True)):
        normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
        normals /= np.maximum(np.linalg.norm(normals, axis=1, keepdims=True), 1e-300)
        light = 0.55 + 0.45 * np.abs(normals @ towards_light)
        colours = colour_map(norm(corner_values.mean(axis=1)))
        colours[:, :3] *= light[:, None]
        axes = figure.add_subplot(1, len(shapes), panel + 1, projection="3d")
        # Edges in the face colour close the hairline seams that antialiasing leaves between faces.
        collection = art3d.Poly3DCollection(corners, facecolors=colours, edgecolors=colours, linewidths=0.3)
        axes.add_collection3d(collection)
        points = corners.reshape(-1, 3)
        low_corner, high_corner = points.min(axis=0), points.max(axis=0)
        extent = np.maximum(high_corner - low_corner, 1e-3 * (high_corner - low_corner).max())
        axes.set_xlim(low_corner[0], low_corner[0] + extent[0])
        axes.set_ylim(low_corner[1], low_corner[1] + extent[1])
        axes.set_zlim(low_corner[2], low_corner[2] + extent[2])
        axes.set_box_aspect(extent, zoom=1.1)
        axes.view_init(elev=elev, azim=azim)
        axes.set_axis_off()
        all_axes.append((axes, low_corner, high_corner, shape_name))

    mappable = matplotlib.cm.ScalarMappable(norm=norm, cmap=colour_map)
    label = _LABELS.get(field, field.replace("_", " "))
    bar = figure.colorbar(mappable, ax=[axes for axes, *_ in all_axes], shrink=0.7, pad=0.08 / len(shapes))
    factor, bar_unit = _colour_scale(low, high, field_unit)
    bar.formatter = ticker.FuncFormatter(lambda value, _: f"{value * factor:.4g}")
    bar.update_ticks()
    bar.set_label(f"{label} [{bar_unit}]" if bar_unit else label)
    largest, _ = result.max_displacement
    largest_text = format_quantity(largest, chosen_units.length)
    figure.suptitle(
        title if title is not None else f"{label} on the {'undeformed and ' if undeformed else ''}deformed shape"
    )
    for axes, _, _, shape_name in all_axes:
        if shape_name == "deformed":
            axes.set_title(f"displacements drawn {scale:.3g} × true size (max |u| = {largest_text})", fontsize=10)
        else:
            axes.set_title("undeformed", fontsize=10)
    first_axes, first_low, first_high, _ = all_axes[0]
    _draw_triad(figure, first_axes, first_low, first_high)
    figure.savefig(path, dpi=dpi, bbox_inches="tight")
    return scale


def _draw_triad(figure: object, axes: object, low: np.ndarray, high: np.ndarray) -> None:
    """An x, y, z triad along the view's projections of the axes, below left of the drawn body."""
    proj3d = require("mpl_toolkits.mplot3d.proj3d")
    figure.canvas.draw()  # type: ignore[attr-defined]  # the projection is final once drawn
    projection = axes.get_proj()  # type: ignore[attr-defined]

    def on_screen(point: np.ndarray) -> np.ndarray:
        flat = proj3d.proj_transform(*point, projection)[:2]
        return axes.transData.transform(flat)  # type: ignore[attr-defined]

    corners = np.array([on_screen(np.where([i, j, k], high, low)) for i in (0, 1) for j in (0, 1) for k in (0, 1)])
    to_figure = figure.transFigure.inverted().transform  # type: ignore[attr-defined]
    (left, bottom), _ = to_figure(corners.min(axis=0)), to_figure(corners.max(axis=0))
    width = 0.07
    height = width * figure.get_figwidth() / figure.get_figheight()  # type: ignore[attr-defined]
    inset = figure.add_axes([max(left - width, 0.0), max(bottom - height, 0.0), width, height])  # type: ignore[attr-defined]
    inset.set_xlim(-1.6, 1.6)
    inset.set_ylim(-1.6, 1.6)
    inset.set_aspect("equal")
    inset.set_axis_off()
    centre = 0.5 * (low + high)
    origin = on_screen(centre)
    for axis, label in enumerate("xyz"):
        tip = centre.copy()
        tip[axis] += 0.1 * (high - low).max()
        direction = on_screen(tip) - origin
        size = np.linalg.norm(direction)
        if size < 1e-9:  # seen end-on
            continue
        direction /= size
        inset.annotate("", xy=direction, xytext=(0, 0), arrowprops={"arrowstyle": "->", "color": "0.25", "lw": 1.2})
        inset.text(*(1.35 * direction), label, color="0.25", fontsize=9, ha="center", va="center")
