"""Results of a solve: displacements at the P2 nodes, strains and stresses, and named node fields."""
from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

import quarvex

from .expressions import ExprLike, to_arena, vector_field
from .p2 import TET_NODES, TET_POINTS, displacement_gradients

if TYPE_CHECKING:
    from .model import Elasticity, Region
    from .system import SolveResult

_CHUNK = 1 << 16  # elements per block of the stress loops

# Names of the node fields that `field` returns, beside "von_mises" and "displacement".
_DISPLACEMENT = {"ux": 0, "uy": 1, "uz": 2}
_STRESS = {f"stress_{a}{b}": (i, j) for a, i in zip("xyz", range(3)) for b, j in zip("xyz", range(3)) if i <= j}


@dataclass(frozen=True)
class Reaction:
    """A support's resultant: `force` (3,) and `moment` (3,) about the point asked for."""

    force: np.ndarray
    moment: np.ndarray


def von_mises(stress: np.ndarray) -> np.ndarray:
    """Von Mises equivalent stress sqrt(3/2 s:s), s the deviator, of stresses (..., 3, 3)."""
    stress = np.asarray(stress)
    mean = np.trace(stress, axis1=-2, axis2=-1) / 3.0
    deviator = stress - mean[..., None, None] * np.eye(3)
    return np.sqrt(1.5 * np.einsum("...ij,...ij->...", deviator, deviator))


class Result:
    """The solution of an `Elasticity` model.

    Attributes
    ----------
    model : Elasticity
    displacement : (n_nodes, 3) float64
        Displacement of every P2 node (points first, then edge midpoints; see `points`).
    report : SolveResult
        Iterations, residual norm, load norm and whether the solver converged.
    reaction_forces : (n_nodes, 3) float64
        Force of the supports (K u - f on the constrained components) and of the elastic
        supports (-K_s u) on every node, in x, y, z; zero on nodes without support.
    nexus : quarvex.Nexus or None
        The solved core model.
    """

    def __init__(
        self,
        model: Elasticity,
        displacement: np.ndarray,
        report: SolveResult,
        nexus: quarvex.Nexus | None = None,
        reaction_forces: np.ndarray | None = None,
    ) -> None:
        self.model = model
        self.reaction_forces = (
            np.zeros_like(displacement, dtype=np.float64) if reaction_forces is None
            else np.asarray(reaction_forces, dtype=np.float64)
        )
        self.reaction_forces.setflags(write=False)
        self.nexus = nexus
        self.displacement = np.asarray(displacement, dtype=np.float64)
        self.displacement.setflags(write=False)
        self.report = report
        self._nodal_stress: np.ndarray | None = None

    def __repr__(self) -> str:
        value, node = self.max_displacement
        return f"Result({len(self.displacement)} nodes, max displacement {value:.4g} at node {node}, {self.report})"

    @property
    def points(self) -> np.ndarray:
        """(n_nodes, 3) float64: coordinates of the P2 nodes."""
        return self.model.numbering.node_points

    @property
    def max_displacement(self) -> tuple[float, int]:
        """The largest displacement magnitude and the node where it occurs."""
        magnitude = np.linalg.norm(self.displacement, axis=1)
        node = int(np.argmax(magnitude)) if len(magnitude) else 0
        return (float(magnitude[node]) if len(magnitude) else 0.0), node

    def at(self, point: Sequence[float]) -> np.ndarray:
        """(3,) displacement at the node nearest to `point`."""
        node = int(np.argmin(np.linalg.norm(self.points - np.asarray(point, dtype=np.float64), axis=1)))
        return self.displacement[node].copy()

    def reactions(self, where: Region | None = None, about: Sequence[float] | None = None) -> Reaction:
        """The resultant force and moment that the supports exert on a region.

        Parameters
        ----------
        where : region, optional
            Nodes as for `Elasticity.nodes` (a face group, a predicate, point indices or a
            mask); every node by default. Only supported nodes contribute.
        about : (3,) float, optional
            The point of the moment (default: the origin).

        Returns
        -------
        Reaction
            `force` (3,) and `moment` (3,). Over every node they balance the applied loads:
            force + total applied force = 0, to the solver's tolerance.
        """
        nodes = np.arange(len(self.displacement)) if where is None else self.model.nodes(where)
        forces = self.reaction_forces[nodes]
        centre = np.zeros(3) if about is None else np.asarray(about, dtype=np.float64)
        if centre.shape != (3,):
            raise ValueError(f"about must be a point (x, y, z), got shape {centre.shape}")
        arms = self.points[nodes] - centre
        return Reaction(forces.sum(axis=0), np.cross(arms, forces).sum(axis=0))

    # Element fields ----------------------------------------------------------------------
    def gradients(self, reference: np.ndarray | None = None, elements: slice | np.ndarray = slice(None)) -> np.ndarray:
        """Displacement gradients du_d/dx_l at reference points of the elements.

        Parameters
        ----------
        reference : (q, 3) float, optional
            Points of the reference tetrahedron; default the core's 14 quadrature points.
        elements : slice or index array
            Which elements (default all).

        Returns
        -------
        (m, q, 3, 3) float64
        """
        reference = TET_POINTS if reference is None else np.atleast_2d(reference)
        tets = self.model.mesh.tetrahedra[elements]
        nodal = self.displacement[self.model.numbering.element_nodes[elements]]
        return displacement_gradients(self.model.mesh.points, tets, nodal, reference)

    def strain(self, reference: np.ndarray | None = None, elements: slice | np.ndarray = slice(None)) -> np.ndarray:
        """(m, q, 3, 3) small strain (G + G^T) / 2 at reference points (default quadrature points)."""
        grad = self.gradients(reference, elements)
        return 0.5 * (grad + np.swapaxes(grad, -1, -2))

    def stress(self, reference: np.ndarray | None = None, elements: slice | np.ndarray = slice(None)) -> np.ndarray:
        """(m, q, 3, 3) Cauchy stress at reference points (default quadrature points)."""
        return self.model.material.stress(self.gradients(reference, elements))

    def nodal_stress(self) -> np.ndarray:
        """(n_nodes, 3, 3) stress at every node, averaged over the elements that share it."""
        if self._nodal_stress is None:
            numbering = self.model.numbering
            total = np.zeros((numbering.n_nodes, 9))
            m = len(self.model.mesh.tetrahedra)
            for start in range(0, m, _CHUNK):
                block = slice(start, min(start + _CHUNK, m))
                stress = self.stress(TET_NODES, block).reshape(-1, 9)
                nodes = numbering.element_nodes[block].ravel()
                for k in range(9):
                    total[:, k] += np.bincount(nodes, stress[:, k], numbering.n_nodes)
            count = np.bincount(numbering.element_nodes.ravel(), minlength=numbering.n_nodes)
            self._nodal_stress = (total / np.maximum(count, 1)[:, None]).reshape(-1, 3, 3)
            self._nodal_stress.setflags(write=False)
        return self._nodal_stress

    def field(self, name: str) -> np.ndarray:
        """A named scalar field at the nodes, (n_nodes,) float64.

        Names: "displacement" (magnitude), "ux", "uy", "uz", "von_mises", and the stress
        components "stress_xx", "stress_yy", "stress_zz", "stress_xy", "stress_xz", "stress_yz".
        """
        if name == "displacement":
            return np.linalg.norm(self.displacement, axis=1)
        if name in _DISPLACEMENT:
            return self.displacement[:, _DISPLACEMENT[name]].copy()
        if name == "von_mises":
            return von_mises(self.nodal_stress())
        if name in _STRESS:
            i, j = _STRESS[name]
            return self.nodal_stress()[:, i, j].copy()
        names = ["displacement", *_DISPLACEMENT, "von_mises", *_STRESS]
        raise ValueError(f"unknown field {name!r}; the fields are {names}")

    def l2_error(self, exact: Sequence[ExprLike]) -> float:
        """The L2 norm of the difference from an exact displacement field, measured by the core.

        Parameters
        ----------
        exact : sequence of 3 expressions or numbers
            (ux, uy, uz) written with `x`, `y`, `z`.
        """
        if self.nexus is None:
            raise RuntimeError("this result holds no solved core model")
        arena, nodes = to_arena(vector_field(exact, "exact"))
        return float(self.nexus.error(arena, nodes))

    # Output ---------------------------------------------------------------------------------
    def write(self, path: str, fields: Sequence[str] = ("von_mises",)) -> None:
        """Writes a VTU file of the quadratic mesh with displacement, stress and `fields` (needs meshio).

        Open it in ParaView; "Warp By Vector" on "displacement" shows the deformed shape.
        """
        from .output import write_vtu

        write_vtu(self, path, fields)

    def plot(
        self,
        path: str,
        field: str = "von_mises",
        scale: float | None = None,
        **options: object,
    ) -> float:
        """Draws the deformed boundary coloured by a field into a PNG file (needs matplotlib).

        Parameters
        ----------
        path : str
        field : str
            A name accepted by `field`.
        scale : float, optional
            Displacement magnification (default: the largest displacement drawn as 10% of
            the model's size).
        options
            Passed to `quarvex_tools.plotting.plot_result` (title, view, dpi, ...).

        Returns
        -------
        float : the displacement scale used
        """
        from .plotting import plot_result

        return plot_result(self, path, field=field, scale=scale, **options)  # type: ignore[arg-type]
