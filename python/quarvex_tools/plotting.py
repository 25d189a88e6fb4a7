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
    size: tuple[float, float] = (10.0, 5.5),
    unit: str = "",
    box: tuple[Sequence[float], Sequence[float]] | None = None,
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
    size : (float, float)
        Figure size in inches.
    unit : str
        Unit of the field for the colour bar label, e.g. "Pa".
    box : ((3,) float, (3,) float), optional
        Draw only the boundary faces whose points lie in this box (lowest, highest corner) of
        the undeformed mesh, to look closely at a part; the colour range follows that part.

    Returns
    -------
    float : the displacement scale used
    """
    matplotlib = require("matplotlib")
    # A Figure of its own draws without pyplot: the caller's backend (inline in Jupyter, a window)
    # stays as it was, and no display is needed.
    figure_module = require("matplotlib.figure")
    art3d = require("mpl_toolkits.mplot3d.art3d")

    model = result.model
    scale = default_scale(result) if scale is None else float(scale)
    values = result.field(field)
    faces, _ = model.mesh.boundary_faces()
    if box is not None:
        low_box, high_box = (np.asarray(corner, dtype=np.float64) for corner in box)
        corners_in = np.all((model.mesh.points >= low_box) & (model.mesh.points <= high_box), axis=1)
        faces = faces[corners_in[faces].all(axis=1)]
        if len(faces) == 0:
            raise ValueError(f"no boundary face lies in the box {box}")
    nodes = model.face_nodes(faces)  # (k, 6): vertices, then edges (0,1), (1,2), (0,2)
    level = int(max(1, min(4, np.sqrt(_POLYGON_BUDGET / max(len(faces), 1)))))
    lattice, cuts = _lattice(level)
    shapes = triangle_shape_values(lattice)  # (p, 6): the quadratic interpolation on each face
    deformed = model.numbering.node_points + scale * result.displacement
    lattice_points = np.einsum("pa,kac->kpc", shapes, deformed[nodes])
    lattice_values = values[nodes] @ shapes.T  # (k, p)
    corners = lattice_points[:, cuts].reshape(-1, 3, 3)  # (t, 3, 3)
    face_values = lattice_values[:, cuts].mean(axis=2).ravel()

    normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    normals /= np.maximum(np.linalg.norm(normals, axis=1, keepdims=True), 1e-300)
    e, a = np.radians(elev + 20.0), np.radians(azim - 30.0)  # light from above the viewer's left
    towards_light = np.array([np.cos(e) * np.cos(a), np.cos(e) * np.sin(a), np.sin(e)])
    light = 0.55 + 0.45 * np.abs(normals @ towards_light)

    low, high = float(lattice_values.min()), float(lattice_values.max())
    if high <= low:
        high = low + 1.0
    norm = matplotlib.colors.Normalize(low, high)
    colour_map = matplotlib.colormaps[cmap]
    colours = colour_map(norm(face_values))
    colours[:, :3] *= light[:, None]

    figure = figure_module.Figure(figsize=size, dpi=dpi)
    axes = figure.add_subplot(projection="3d")
    # Edges in the face colour close the hairline seams that antialiasing leaves between faces.
    collection = art3d.Poly3DCollection(corners, facecolors=colours, edgecolors=colours, linewidths=0.3)
    axes.add_collection3d(collection)
    drawn = lattice_points.reshape(-1, 3)
    low_corner, high_corner = drawn.min(axis=0), drawn.max(axis=0)
    extent = np.maximum(high_corner - low_corner, 1e-3 * (high_corner - low_corner).max())
    axes.set_xlim(low_corner[0], low_corner[0] + extent[0])
    axes.set_ylim(low_corner[1], low_corner[1] + extent[1])
    axes.set_zlim(low_corner[2], low_corner[2] + extent[2])
    axes.set_box_aspect(extent, zoom=1.1)
    axes.view_init(elev=elev, azim=azim)
    axes.set_axis_off()

    mappable = matplotlib.cm.ScalarMappable(norm=norm, cmap=colour_map)
    label = _LABELS.get(field, field.replace("_", " "))
    bar = figure.colorbar(mappable, ax=axes, shrink=0.7, pad=0.08)
    bar.set_label(f"{label} [{unit}]" if unit else label)
    largest, _ = result.max_displacement
    figure.suptitle(title if title is not None else f"{label} on the deformed shape")
    axes.set_title(f"displacements drawn {scale:.3g} x true size (max |u| = {largest:.3g})", fontsize=10)
    _draw_triad(figure, axes, low_corner, high_corner)
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
