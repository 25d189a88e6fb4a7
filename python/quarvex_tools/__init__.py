"""quarvex_tools: from a mesh to a picture with the quarvex elasticity core.

A typical script::

    from quarvex_tools import Elasticity, box_mesh, isotropic

    model = Elasticity(box_mesh(30, 3, 3, size=(10, 1, 1)), isotropic(E=210e9, nu=0.3))
    model.fix("xmin")                                   # a face group, a predicate or point indices
    model.body_force((0.0, 0.0, -7850 * 9.81))
    result = model.solve(rtol=1e-8)
    result.write("beam.vtu")                            # ParaView
    result.plot("beam.png", field="von_mises")

The layers below stay reachable: `Mesh`, `p2_numbering` and `number_dofs` give the arrays
that `system.set_dof_arrays` takes, `model.assemble()` returns the core's `quarvex.Nexus`,
`quarvex_tools.system` exports its vectors and matrix, and `core_inputs.build_core_inputs`
gives the lists and dicts of the core's own calls.

The package's native half is the module ``quarvex_tools._native_ext`` (C++ in
``src/python/tools/``), built into quarvex's own shared object and loaded by ``_native.py``, so
that both modules share one core, one worker pool and one ``Nexus`` type.
"""

from __future__ import annotations

import logging

from .core_inputs import CoreInputs, build_core_inputs
from .curving import curve_boundary
from .expressions import Expr, constant, cos, exp, log, sin, sqrt, to_arena, x, y, z
from .materials import Material, from_voigt, isotropic, orthotropic
from .mesh import Mesh, box_mesh
from .mesh_io import read_mesh
from .model import Elasticity
from .numbering import Dofs, Numbering, number_dofs, p2_numbering
from .results import Result, von_mises
from .solvers import DEFAULT_METHOD, solve_system
from .storage import load_result, package_version
from .system import SolverError
from .units import Units

__version__ = package_version()

# Quiet unless the application configures logging (the package logs its phases at INFO).
logging.getLogger(__name__).addHandler(logging.NullHandler())

__all__ = [
    "CoreInputs",
    "DEFAULT_METHOD",
    "Dofs",
    "Elasticity",
    "Expr",
    "Material",
    "Mesh",
    "Numbering",
    "Result",
    "SolverError",
    "Units",
    "__version__",
    "box_mesh",
    "build_core_inputs",
    "constant",
    "cos",
    "exp",
    "from_voigt",
    "isotropic",
    "load_result",
    "log",
    "number_dofs",
    "orthotropic",
    "p2_numbering",
    "read_mesh",
    "sin",
    "solve_system",
    "sqrt",
    "to_arena",
    "von_mises",
    "x",
    "y",
    "z",
    "curve_boundary",
]
