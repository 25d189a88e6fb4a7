"""Curving a straight mesh onto a surface: the edge nodes of its boundary faces moved onto it."""

import numpy as np
import pytest

from quarvex_tools import Mesh, box_mesh
from quarvex_tools.curving import curve_boundary


def to_ball(p):
    """The unit cube onto the octant of the unit ball, along rays from the origin."""
    length = np.linalg.norm(p, axis=1)
    scale = np.divide(np.abs(p).max(axis=1), length, out=np.ones_like(length), where=length > 0)
    return p * scale[:, None]


def onto_sphere(p):
    return p / np.linalg.norm(p, axis=1, keepdims=True)


def on_sphere(p):
    return np.abs(np.linalg.norm(p, axis=1) - 1.0) < 1e-9


def ball_octant(cells):
    """A straight mesh of the unit ball's octant, its vertices on the sphere where the box's far sides were."""
    box = box_mesh(cells, cells, cells)
    return Mesh(to_ball(box.points), box.tetrahedra, face_groups=box.face_groups)


@pytest.mark.parametrize("faces", [on_sphere, "xmax"])
def test_curving_onto_the_sphere_raises_the_volume_to_the_geometry_order(faces):
    curved, straight = [], []
    for cells in (4, 8):
        mesh = ball_octant(cells)
        straight.append(abs(mesh.volume() - np.pi / 6))
        if faces == "xmax":  # the three far sides, one after the other
            for side in ("xmax", "ymax", "zmax"):
                mesh = curve_boundary(mesh, onto_sphere, side)
        else:
            mesh = curve_boundary(mesh, onto_sphere, faces)
        assert len(mesh.curved) > 0
        curved.append(abs(mesh.volume() - np.pi / 6))
    rate, straight_rate = np.log2(curved[0] / curved[1]), np.log2(straight[0] / straight[1])
    assert rate > 3.5, f"curved volume rate {rate:.3f} (errors {curved})"
    assert straight_rate < 2.2, f"straight volume rate {straight_rate:.3f} (errors {straight})"


def test_curved_mesh_keeps_its_points_groups_and_other_edges():
    mesh = ball_octant(3)
    curved = curve_boundary(mesh, onto_sphere, on_sphere)
    np.testing.assert_array_equal(curved.points, mesh.points)
    np.testing.assert_array_equal(curved.tetrahedra, mesh.tetrahedra)
    assert curved.face_groups.keys() == mesh.face_groups.keys()
    ends = mesh.points[mesh.tetrahedra[:, [[0, 1], [1, 2], [0, 2], [0, 3], [1, 3], [2, 3]]]]
    midpoints = ends.mean(axis=2)
    on_surface = on_sphere(ends.reshape(-1, 3)).reshape(ends.shape[:3]).all(axis=2)
    np.testing.assert_allclose(np.linalg.norm(curved.edge_points[on_surface], axis=1), 1.0, atol=1e-14)
    np.testing.assert_array_equal(curved.edge_points[~on_surface], midpoints[~on_surface])
    unmoved = curve_boundary(mesh, lambda p: p)  # every boundary face, each node left at its midpoint
    assert unmoved.edge_points is None and len(unmoved.curved) == 0


@pytest.mark.parametrize(
    "project, faces, error, message",
    [
        (lambda p: p + (0.0, 0.0, 2.0), on_sphere, ValueError, r"curving the boundary folds \d+ tetrahedra \(\d+"),
        (lambda p: p[:, :2], None, ValueError, r"finite points of shape \(\d+, 3\)"),
        (lambda p: np.full_like(p, np.nan), None, ValueError, "not finite"),
        (onto_sphere, "nowhere", KeyError, "no face group 'nowhere'"),
        (onto_sphere, lambda p: (p[:, 0] > 0.5)[:3], ValueError, r"bools for the points, got bool \(3,\)"),
    ],
)
def test_bad_curving_is_refused(project, faces, error, message):
    with pytest.raises(error, match=message):
        curve_boundary(ball_octant(2), project, faces)
