"""Imports of the optional dependencies, each failing with the name of the extra that installs it."""

from __future__ import annotations

import importlib
from types import ModuleType

# Module name -> (pip extra, what the package uses it for).
_EXTRAS = {
    "meshio": ("io", "reading and writing mesh files"),
    "matplotlib": ("plot", "drawing pictures"),
    "gmsh": ("gmsh", "meshing geometries"),
    "scipy": ("sparse", "the exported stiffness matrix and the solve with single fixed components"),
}


def require(name: str) -> ModuleType:
    """Imports the optional module `name`, or raises ImportError naming the extra to install.

    Parameters
    ----------
    name : str
        One of "meshio", "matplotlib", "gmsh", "scipy" (or a submodule such as "scipy.sparse").
    """
    top = name.partition(".")[0]
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        extra, purpose = _EXTRAS.get(top, ("all", "this feature"))
        raise ImportError(
            f"{top} is needed for {purpose} but is not installed; "
            f'install it with: pip install "quarvex[{extra}]" (or "quarvex[all]")'
        ) from exc
