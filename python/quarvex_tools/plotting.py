"""Pictures of a result: the deformed boundary surface coloured by a node field (matplotlib, headless).

Each quadratic boundary triangle is drawn as four flat triangles through its edge nodes, so
bending shows as curvature; faces are shaded by their angle to a light from the viewer.
"""
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from ._optional import require

if TYPE_CHECKING:
    from .results import Result

# The four sub-triangles of a six-node triangle (vertices 0..2, edges (0,1)=3, (1,2)=4, (0,2)=5).
_SUBTRIANGLES = np.array([(0, 3, 5), (3, 1, 4), (5, 4, 2), (3, 4, 5)])
_MAX_SUBDIVIDED = 60_000  # above this many boundary faces each is drawn flat

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
    elev: float = 25.0,
    azim: float = -60.0,
    cmap: str = "viridis",
    dpi: int = 150,
    size: tuple[float, float] = (10.0, 6.0),
    unit: str = "",
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

    Returns
    -------
    float : the displacement scale used
    """
    matplotlib = require("matplotlib")
    matplotlib.use("Agg")  # headless: no display is needed
    pyplot = require("matplotlib.pyplot")
    art3d = require("mpl_toolkits.mplot3d.art3d")

    model = result.model
    scale = default_scale(result) if scale is None else float(scale)
    values = result.field(field)
    faces, _ = model.mesh.boundary_faces()
    nodes = model._face_nodes(faces)  # (k, 6)
    if len(faces) <= _MAX_SUBDIVIDED:
        triangles = nodes[:, _SUBTRIANGLES].reshape(-1, 3)
    else:
        triangles = nodes[:, :3]
    deformed = model.numbering.node_points + scale * result.displacement
    corners = deformed[triangles]  # (t, 3, 3)
    face_values = values[triangles].mean(axis=1)

    normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    normals /= np.maximum(np.linalg.norm(normals, axis=1, keepdims=True), 1e-300)
    e, a = np.radians(elev), np.radians(azim)
    towards_viewer = np.array([np.cos(e) * np.cos(a), np.cos(e) * np.sin(a), np.sin(e)])
    light = 0.45 + 0.55 * np.abs(normals @ towards_viewer)

    low, high = float(values.min()), float(values.max())
    if high <= low:
        high = low + 1.0
    norm = matplotlib.colors.Normalize(low, high)
    colour_map = matplotlib.colormaps[cmap]
    colours = colour_map(norm(face_values))
    colours[:, :3] *= light[:, None]

    figure = pyplot.figure(figsize=size, dpi=dpi)
    axes = figure.add_subplot(projection="3d")
    collection = art3d.Poly3DCollection(corners, facecolors=colours, edgecolors="none", linewidths=0.0)
    axes.add_collection3d(collection)
    low_corner, high_corner = deformed.min(axis=0), deformed.max(axis=0)
    axes.set_xlim(low_corner[0], high_corner[0])
    axes.set_ylim(low_corner[1], high_corner[1])
    axes.set_zlim(low_corner[2], high_corner[2])
    axes.set_box_aspect(np.maximum(high_corner - low_corner, 1e-3 * (high_corner - low_corner).max()))
    axes.view_init(elev=elev, azim=azim)
    axes.set_xlabel("x")
    axes.set_ylabel("y")
    axes.set_zlabel("z")

    mappable = matplotlib.cm.ScalarMappable(norm=norm, cmap=colour_map)
    label = _LABELS.get(field, field.replace("_", " "))
    bar = figure.colorbar(mappable, ax=axes, shrink=0.7, pad=0.08)
    bar.set_label(f"{label} [{unit}]" if unit else label)
    largest, _ = result.max_displacement
    figure.suptitle(title if title is not None else f"{label} on the deformed shape")
    axes.set_title(f"displacements drawn {scale:.3g} x true size (max |u| = {largest:.3g})", fontsize=10)
    figure.savefig(path, dpi=dpi, bbox_inches="tight")
    pyplot.close(figure)
    return scale
