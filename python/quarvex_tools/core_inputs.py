"""A mesh and its numbering in the forms the core's own methods take: lists and dictionaries.

`quarvex.Nexus(pts, tets)`, `Nexus.set_dof(ver_dof, edge_dof)` and `Nexus.set_solver(pos_dof,
bc)` take Python lists and dictionaries; `build_core_inputs` makes them from a `Mesh`, its
`p2_numbering` and its `number_dofs`. They hold a Python object per point, element and edge,
which suits small models and checks; large ones go through the array paths
(`system.nexus_from_arrays`, `system.set_dof_arrays` with `numbering.core_arrays`), which set
up the same model.
"""

from __future__ import annotations

from typing import NamedTuple

from .mesh import Mesh
from .numbering import Dofs, Numbering, check_numbering, core_dicts


class CoreInputs(NamedTuple):
    """The arguments of the core's set-up calls, in the order a script passes them.

    ``Nexus(points, tetrahedra)``, ``set_dof(ver_dof, edge_dof)``, ``set_solver(pos_dof, bc)``.

    Attributes
    ----------
    points : list of (x, y, z) float tuples
    tetrahedra : list of (i, j, k, l) int tuples
    ver_dof : dict of int to (start, 3)
        The range of every point.
    edge_dof : dict of (i, j) to (start, 3)
        The range of every edge, under each ordered pair (i, j) that some element lists.
    pos_dof : int
        Number of free unknowns.
    bc : list of float
        Prescribed values: number -k takes bc[k]; entry 0 is unused.
    """

    points: list[tuple[float, float, float]]
    tetrahedra: list[tuple[int, int, int, int]]
    ver_dof: dict[int, tuple[int, int]]
    edge_dof: dict[tuple[int, int], tuple[int, int]]
    pos_dof: int
    bc: list[float]


def build_core_inputs(mesh: Mesh, numbering: Numbering, dofs: Dofs) -> CoreInputs:
    """The core's set-up arguments of a mesh, numbered by `numbering` and `dofs`.

    Parameters
    ----------
    mesh : Mesh
    numbering : Numbering
        Made for `mesh` (`p2_numbering(mesh)`).
    dofs : Dofs
        Made for `numbering` (`number_dofs(numbering, fixed, values)`), each node either free
        or prescribed in all three components, along x, y, z.

    Returns
    -------
    CoreInputs

    Raises
    ------
    TypeError
        When `mesh`, `numbering` or `dofs` is not of its type.
    ValueError
        When `numbering` was made for another mesh, `dofs` for another numbering, or `dofs`
        prescribes single components of a free node (``keep_rows=True``, or a node fixed in
        some components only) or turns nodes into frames of their own: ``set_solver`` takes
        whole prescribed nodes only, and the solve would leave those supports out.
    """
    if not isinstance(mesh, Mesh):
        raise TypeError(f"mesh must be a Mesh, got {type(mesh).__name__}")
    check_numbering(numbering, mesh)
    if not isinstance(dofs, Dofs):
        raise TypeError(f"dofs must be a Dofs (see number_dofs), got {type(dofs).__name__}")
    if dofs.node_start.shape != (numbering.n_nodes,):
        raise ValueError(f"dofs numbers {len(dofs.node_start)} nodes; the numbering has {numbering.n_nodes}")
    if len(dofs.pinned):
        raise ValueError(
            f"dofs prescribes {len(dofs.pinned)} single components of free nodes (the first is free number "
            f"{int(dofs.pinned[0])}), which set_solver cannot express: prescribe whole nodes with keep_rows=False, "
            "or enforce them with system.constrain after assembling"
        )
    if len(dofs.frame_nodes):
        raise ValueError(
            f"dofs turns {len(dofs.frame_nodes)} nodes into frames of their own, which the core's numbering "
            "cannot express: their supports need system.constrain"
        )
    ver_dof, edge_dof = core_dicts(numbering, dofs)
    points = [(x, y, z) for x, y, z in mesh.points.tolist()]
    tetrahedra = [tuple(tet) for tet in mesh.tetrahedra.tolist()]
    return CoreInputs(points, tetrahedra, ver_dof, edge_dof, int(dofs.n_free), dofs.bc.tolist())
