"""Supports as constraints on node components: axis components, normal directions, springs.

A support is a set of linear conditions c . u = g on a node's displacement. Conditions along
the x, y and z axes pin those components. Any other direction (a frictionless support on an
inclined or curved face) turns the node into a frame of its own whose first axes span the
constrained directions, so that each condition again pins one component: the system stays
symmetric, and the solver sees a constraint like any other.

Supports that leave a rigid-body motion free (none at all, or fixed points on one line that
the model may turn about) make the stiffness matrix singular: `check_fully_supported` refuses
them before anything is assembled, naming the free motions.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass

import numpy as np

_DEPENDENT_BELOW = 1e-3  # singular value, relative to the largest, below which a direction repeats another
_AXIS_ALIGNED = 1e-12  # an axis this close to a coordinate axis is that axis
_CONSISTENT = 1e-9  # conditions that disagree by more than this (relative) are refused


@dataclass(frozen=True)
class ResolvedSupports:
    """Every node's constraints along its own axes.

    Attributes
    ----------
    fixed : (n_nodes, 3) bool
        Constrained components, along the node's frame where it has one.
    values : (n_nodes, 3) float64
        Their values.
    frame_nodes : (f,) int64
        Nodes turned into a frame of their own.
    frames : (f, 3, 3) float64
        Their axes, one per row, the constrained ones first.
    """

    fixed: np.ndarray
    values: np.ndarray
    frame_nodes: np.ndarray
    frames: np.ndarray


def vertex_normals(
    face_nodes: np.ndarray, face_normals: np.ndarray, face_areas: np.ndarray, n_nodes: int
) -> tuple[np.ndarray, np.ndarray]:
    """Area-weighted mean unit normals at the nodes of faces.

    Parameters
    ----------
    face_nodes : (k, m) int
        The nodes of every face.
    face_normals : (k, 3) or (k, m, 3) float
        Unit normals of the faces, or of every face at each of its nodes (curved faces).
    face_areas : (k,) float
    n_nodes : int

    Returns
    -------
    nodes : (j,) int64
        The nodes the faces hold.
    normals : (j, 3) float64
        Their unit normals.
    """
    summed = np.zeros((n_nodes, 3))
    if face_normals.ndim == 3:  # a normal at every node of every face
        weighted_at_nodes = (face_normals * face_areas[:, None, None]).reshape(-1, 3)
        for c in range(3):
            summed[:, c] = np.bincount(face_nodes.ravel(), weighted_at_nodes[:, c], n_nodes)
    else:
        weighted = face_normals * face_areas[:, None]
        for c in range(3):
            summed[:, c] = np.bincount(face_nodes.ravel(), np.repeat(weighted[:, c], face_nodes.shape[1]), n_nodes)
    nodes = np.unique(face_nodes)
    length = np.linalg.norm(summed[nodes], axis=1)
    if np.any(length <= 1e-12 * max(float(face_areas.max(initial=0.0)), 1e-300)):
        bad = int(nodes[np.argmin(length)])
        raise ValueError(f"the faces around node {bad} have no mean normal (they fold onto each other)")
    return nodes, summed[nodes] / length[:, None]


def resolve(
    fixed: np.ndarray, values: np.ndarray, normal_nodes: np.ndarray, normals: np.ndarray, normal_values: np.ndarray
) -> ResolvedSupports:
    """Combines axis constraints with conditions n . u = g along other directions.

    A node whose conditions span three directions is fixed wholly (along x, y, z, with the
    displacement they determine); a node whose conditions span one or two directions that are
    coordinate axes stays unturned; any other node gets a frame from the singular value
    decomposition of its conditions C = U S V^T: the rows of V^T are its axes, and the first
    rank of them take the values S^-1 U^T g.

    Parameters
    ----------
    fixed, values : (n_nodes, 3)
        Axis constraints and their values.
    normal_nodes : (q,) int
        Node of each further condition (a node may appear more than once).
    normals : (q, 3) float
        Unit directions n.
    normal_values : (q,) float
        Values g.

    Returns
    -------
    ResolvedSupports

    Raises
    ------
    ValueError
        When a node's conditions contradict each other.
    """
    fixed = np.array(fixed, dtype=bool)
    values = np.where(fixed, np.asarray(values, dtype=np.float64), 0.0)
    if len(normal_nodes) == 0:
        return ResolvedSupports(fixed, values, np.zeros(0, dtype=np.int64), np.zeros((0, 3, 3)))
    nodes, slot = np.unique(normal_nodes, return_inverse=True)
    # Conditions per node: the three axes (a zero row where free), then its normals.
    order = np.argsort(slot, kind="stable")
    rank_in_node = np.arange(len(slot)) - np.searchsorted(slot[order], slot[order])
    width = 3 + int(rank_in_node.max()) + 1
    rows = np.zeros((len(nodes), width, 3))
    targets = np.zeros((len(nodes), width))
    rows[:, :3, :] = np.eye(3) * fixed[nodes][:, :, None]
    targets[:, :3] = values[nodes]
    rows[slot[order], 3 + rank_in_node, :] = normals[order]
    targets[slot[order], 3 + rank_in_node] = normal_values[order]
    left, singular, axes = np.linalg.svd(rows)  # rows = U S V^T; axes holds V^T
    rank = (singular > _DEPENDENT_BELOW * singular[:, :1]).sum(axis=1)
    # Values along the first `rank` axes: w = S^-1 U^T g; beyond the rank, none.
    projected = np.einsum("kji,kj->ki", left[:, :, :3], targets)
    local = np.where(np.arange(3) < rank[:, None], projected / np.where(singular > 0, singular, 1.0), 0.0)
    displacement = np.einsum("kji,kj->ki", axes, local)  # the conditions' least-squares solution
    scale = max(float(np.abs(targets).max()), 1e-300)
    mismatch = np.abs(np.einsum("kqc,kc->kq", rows, displacement) - targets).max(axis=1)
    if np.any(mismatch > _CONSISTENT * scale):
        bad = int(nodes[np.argmax(mismatch)])
        raise ValueError(
            f"the supports of node {bad} contradict each other (conditions differ by {mismatch.max():.3g})"
        )

    whole = rank == 3
    fixed[nodes[whole]] = True
    values[nodes[whole]] = displacement[whole]
    # Constrained axes that are coordinate axes pin those components; the rest need a frame.
    constrained_axes = np.arange(3) < rank[:, None]
    aligned = (np.abs(np.abs(axes) - 1.0) <= _AXIS_ALIGNED).any(axis=2) | ~constrained_axes
    turned = ~whole & ~aligned.all(axis=1)
    plain = ~whole & ~turned
    for k in np.flatnonzero(plain):
        node = nodes[k]
        for a in range(int(rank[k])):
            component = int(np.argmax(np.abs(axes[k, a])))
            fixed[node, component] = True
            values[node, component] = float(np.sign(axes[k, a, component]) * local[k, a])
    frame_nodes = nodes[turned]
    fixed[frame_nodes] = constrained_axes[turned]
    values[frame_nodes] = local[turned]
    return ResolvedSupports(fixed, values, frame_nodes.astype(np.int64), axes[turned])


def face_mass(shapes: np.ndarray, weights: np.ndarray, areas: np.ndarray) -> np.ndarray:
    """Integrals of N_a N_b over faces: (k, m, m) on flat faces, (k, q, m, m) per quadrature point on curved ones.

    Flat: area * sum_q w_q N_a(q) N_b(q). Curved (areas given per point, the area element dA/dA_ref of
    each point times the reference area): the terms w_q areas[k, q] N_a(q) N_b(q) of that sum, kept apart
    so that a stiffness varying from point to point (a normal that turns) can multiply each.

    Parameters
    ----------
    shapes : (q, m) shape values at the quadrature points
    weights : (q,) weights summing to 1
    areas : (k,) face areas, or (k, q) the faces' areas at their points (as above)
    """
    if areas.ndim == 2:
        return np.einsum("q,qa,qb,kq->kqab", weights, shapes, shapes, areas)
    return np.einsum("q,qa,qb,k->kab", weights, shapes, shapes, areas)


def spring_blocks(mass: np.ndarray, per_area: np.ndarray) -> np.ndarray:
    """(k, m, 3, m, 3) spring stiffness of faces: K[(a, i), (b, j)] = integral of N_a N_b S_ij.

    Parameters
    ----------
    mass : (k, m, m) or (k, q, m, m)
        `face_mass` of flat faces, or of curved ones per quadrature point.
    per_area : (k, 3, 3) or (k, q, 3, 3)
        Stiffness S per unit area, of each face or at each of its points (the same layout as `mass`).
    """
    if mass.ndim == 4:
        return np.einsum("kqab,kqij->kaibj", mass, per_area)
    return np.einsum("kab,kij->kaibj", mass, per_area)


def spring_face_forces(mass: np.ndarray, per_area: np.ndarray, displacement: np.ndarray) -> np.ndarray:
    """(k, m, 3) forces -K u of face springs (see `spring_blocks`) on the faces' nodes, at displacements (k, m, 3)."""
    if mass.ndim == 4:
        return -np.einsum("kqab,kqij,kbj->kai", mass, per_area, displacement)
    return -np.einsum("kab,kij,kbj->kai", mass, per_area, displacement)


def spring_directions(groups: Iterable[tuple[np.ndarray, np.ndarray]]) -> tuple[np.ndarray, np.ndarray]:
    """The directions that elastic supports resist, node by node.

    Parameters
    ----------
    groups : iterable of (face_nodes, per_area)
        The nodes of every supported face, (k, m) int, and its spring stiffness per unit area,
        (k, 3, 3) float, symmetric and not negative; or (k, q, 3, 3), at each of the face's points
        (a curved face), of which the sum is taken: it resists every direction any point resists.

    Returns
    -------
    nodes : (s,) int64
    directions : (s, 3) float64
        Unit directions: the eigenvectors of each face's stiffness with a positive eigenvalue,
        once for each of the face's nodes.
    """
    node_parts, direction_parts = [np.zeros(0, dtype=np.int64)], [np.zeros((0, 3))]
    for face_nodes, per_area in groups:
        face_nodes = np.asarray(face_nodes, dtype=np.int64)
        per_area = np.asarray(per_area, dtype=np.float64)
        if per_area.ndim == 4:
            per_area = per_area.sum(axis=1)
        eigenvalues, eigenvectors = np.linalg.eigh(per_area)
        resisting = eigenvalues > _DEPENDENT_BELOW * eigenvalues.max(axis=1, initial=0.0)[:, None]
        face, axis = np.nonzero(resisting)
        directions = eigenvectors[face, :, axis]  # (j, 3): column `axis` of face `face`
        node_parts.append(face_nodes[face].ravel())
        direction_parts.append(np.repeat(directions, face_nodes.shape[1], axis=0))
    return np.concatenate(node_parts), np.concatenate(direction_parts)


# An eigenvalue of the normalised 6 x 6 Gram matrix of the supports below this leaves a motion free:
# rounding leaves ~1e-16 on a free motion, a support 10^5 times smaller than the model still counts.
_FREE_BELOW = 1e-10
_ROTATION_BELOW = 1e-8  # |omega| of a free motion (orthonormal basis) below which it is a translation
_CHUNK = 1 << 18  # constraint rows per block of the Gram matrix


def _constraint_rows(
    resolved: ResolvedSupports, spring_nodes: np.ndarray, spring_directions: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """(nodes (c,), unit directions (c, 3)) of every condition d . u(node) = g the supports impose."""
    plain = resolved.fixed.copy()
    plain[resolved.frame_nodes] = False
    plain_nodes, components = np.nonzero(plain)
    frame_index, axis = np.nonzero(resolved.fixed[resolved.frame_nodes])
    nodes = np.concatenate([plain_nodes, resolved.frame_nodes[frame_index], spring_nodes]).astype(np.int64)
    directions = np.concatenate([np.eye(3)[components], resolved.frames[frame_index, axis], spring_directions])
    return nodes, directions


def _readable_basis(basis: np.ndarray) -> np.ndarray:
    """(k, 3) orthonormal rows spanning the columns of `basis` (3, k), coordinate axes where the span holds them."""
    chosen: list[np.ndarray] = []
    projector = basis @ np.linalg.pinv(basis)
    for _ in range(basis.shape[1]):
        candidates = projector @ np.eye(3)
        for vector in chosen:
            candidates -= np.outer(vector, vector @ candidates)
        best = int(np.argmax(np.linalg.norm(candidates, axis=0)))
        vector = candidates[:, best] / np.linalg.norm(candidates[:, best])
        chosen.append(vector * (1.0 if vector[np.argmax(np.abs(vector) > 1e-9)] > 0 else -1.0))
    return np.array(chosen).reshape(-1, 3)


def _vector_text(vector: np.ndarray, scale: float) -> str:
    """'(1, 0, 0.5)': components below 1e-9 scale written as 0."""
    cleaned = np.where(np.abs(vector) <= 1e-9 * scale, 0.0, vector) + 0.0  # + 0.0 turns -0 into 0
    return "(" + ", ".join(f"{value:.4g}" for value in cleaned) + ")"


def free_rigid_motions(
    points: np.ndarray,
    resolved: ResolvedSupports,
    spring_nodes: np.ndarray | None = None,
    spring_directions: np.ndarray | None = None,
) -> list[str]:
    """The rigid-body motions that the supports leave free, described for a reader.

    A rigid motion u(p) = t + w x (p - c) meets a condition d . u(p) = 0 at a node p when
    [d, (p - c) x d] . [t, w] = 0. The conditions' 6 x 6 Gram matrix, with the rotations taken
    in units of the model's size and its diagonal scaled to 1 (so that neither the number of
    supported nodes nor the units matter), is singular exactly when a motion is free.

    Parameters
    ----------
    points : (n_nodes, 3) float
        Node coordinates.
    resolved : ResolvedSupports
        The supports (axis components, and the constrained axes of frame nodes).
    spring_nodes : (s,) int, optional
        Nodes held by elastic supports ...
    spring_directions : (s, 3) float, optional
        ... and the directions they resist (`spring_directions`).

    Returns
    -------
    list of str
        One entry per free motion ("translation along (0, 0, 1)", "rotation about an axis along
        (1, 0, 0) through (0, 0.5, 0.5)"); empty when every rigid-body motion is stopped.
    """
    points = np.asarray(points, dtype=np.float64)
    spring_nodes = np.zeros(0, dtype=np.int64) if spring_nodes is None else np.asarray(spring_nodes, dtype=np.int64)
    spring_directions = np.zeros((0, 3)) if spring_directions is None else np.asarray(spring_directions, float)
    center = 0.5 * (points.min(axis=0) + points.max(axis=0))
    size = float(np.linalg.norm(np.ptp(points, axis=0))) or 1.0
    nodes, directions = _constraint_rows(resolved, spring_nodes, spring_directions)
    gram = np.zeros((6, 6))
    for start in range(0, len(nodes), _CHUNK):
        block = directions[start : start + _CHUNK]
        arms = (points[nodes[start : start + _CHUNK]] - center) / size
        rows = np.hstack([block, np.cross(arms, block)])
        gram += rows.T @ rows
    diagonal = np.diag(gram)
    scaling = np.where(diagonal > 0.0, 1.0 / np.sqrt(np.where(diagonal > 0.0, diagonal, 1.0)), 1.0)
    eigenvalues, eigenvectors = np.linalg.eigh(gram * scaling[:, None] * scaling[None, :])
    free = eigenvalues <= _FREE_BELOW * max(float(eigenvalues.max()), 1.0)
    if not free.any():
        return []
    motions, _ = np.linalg.qr(eigenvectors[:, free] * scaling[:, None])  # (6, k): [t; w size] per column
    # Split the free motions into translations (w = 0) and the rest, one rotation axis each.
    left, singular, right = np.linalg.svd(motions[3:], full_matrices=True)
    rank = int((np.pad(singular, (0, motions.shape[1] - len(singular))) > _ROTATION_BELOW).sum())
    translations = (motions @ right.T)[:3, rank:]
    texts = [f"translation along {_vector_text(vector, 1.0)}" for vector in _readable_basis(translations)]
    along = translations @ np.linalg.pinv(translations) if translations.shape[1] else np.zeros((3, 3))
    for axis in _readable_basis(left[:, :rank]):
        combination = np.linalg.pinv(motions[3:]) @ axis  # the free motion with w = axis / size
        shift = motions[:3] @ combination
        shift = shift - along @ shift  # free translations do not move the axis
        rate = axis / size
        through = center + np.cross(rate, shift) / (rate @ rate)  # where t + w x (p - c) is along w
        through = through - (through @ axis) * axis  # the axis's point nearest the origin
        slide = float(shift @ axis) / float(np.linalg.norm(rate))  # per radian
        text = f"rotation about an axis along {_vector_text(axis, 1.0)} through {_vector_text(through, size)}"
        if abs(slide) > 1e-9 * size:
            text = text.replace("rotation", "screw motion", 1) + f" (sliding {slide:.4g} along it per radian)"
        texts.append(text)
    return texts


def check_fully_supported(
    points: np.ndarray,
    resolved: ResolvedSupports,
    spring_nodes: np.ndarray | None = None,
    spring_directions: np.ndarray | None = None,
) -> None:
    """Refuses supports that leave a rigid-body motion free (see `free_rigid_motions`).

    Raises
    ------
    ValueError
        Naming the free motions: without supports that stop them the stiffness matrix is
        singular and no solver can give a meaningful displacement.
    """
    free = free_rigid_motions(points, resolved, spring_nodes, spring_directions)
    if free:
        count = "one rigid-body motion" if len(free) == 1 else f"{len(free)} rigid-body motions"
        raise ValueError(
            f"the model is not fully supported: its supports leave {count} free ({'; '.join(free)}); "
            "add supports (fix, frictionless, elastic_support) that stop them"
        )
