"""Supports as constraints on node components: axis components, normal directions, springs.

A support is a set of linear conditions c . u = g on a node's displacement. Conditions along
the x, y and z axes pin those components. Any other direction (a frictionless support on an
inclined or curved face) turns the node into a frame of its own whose first axes span the
constrained directions, so that each condition again pins one component: the system stays
symmetric, and the solver sees a constraint like any other.
"""
from __future__ import annotations

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


def vertex_normals(face_nodes: np.ndarray, face_normals: np.ndarray, face_areas: np.ndarray, n_nodes: int) -> tuple[
        np.ndarray, np.ndarray]:
    """Area-weighted mean unit normals at the nodes of faces.

    Parameters
    ----------
    face_nodes : (k, m) int
        The nodes of every face.
    face_normals : (k, 3) float
        Unit normals of the faces.
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
        raise ValueError(f"the supports of node {bad} contradict each other (conditions differ by {mismatch.max():.3g})")

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
    """(k, m, m) integrals of N_a N_b over each face: area * sum_q w_q N_a(q) N_b(q).

    Parameters
    ----------
    shapes : (q, m) shape values at the quadrature points
    weights : (q,) weights summing to 1
    areas : (k,) face areas
    """
    return np.einsum("q,qa,qb,k->kab", weights, shapes, shapes, areas)
