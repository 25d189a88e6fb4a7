"""The native functions of quarvex_tools, loaded from quarvex's own shared object.

Their C++ lives in ``src/python/tools/`` (``module.cpp`` holds the function table; ``solve.cpp``
the solves and the Multigrid class, ``constrain.cpp`` the supports, ``arrays.cpp``,
``system.cpp`` and ``plot.cpp`` the array paths) and is built into the same extension file as
the core module. The extension file that holds ``quarvex`` also exports ``PyInit__native_ext``; loading that
same file under the name ``quarvex_tools._native_ext`` gives a second module that shares
the first one's core: one worker pool per process (sized once, from QUARVEX_NUM_THREADS or
the processor count, by whichever module runs a parallel loop first) and one ``Nexus`` type.
"""

import importlib.machinery
import importlib.util
import sys
from types import ModuleType

import quarvex

_NAME = "quarvex_tools._native_ext"


def _load() -> ModuleType:
    """Returns the module, loading it from quarvex.__file__ on first use."""
    loaded = sys.modules.get(_NAME)
    if loaded is not None:
        return loaded
    loader = importlib.machinery.ExtensionFileLoader(_NAME, quarvex.__file__)
    spec = importlib.util.spec_from_file_location(_NAME, quarvex.__file__, loader=loader)
    if spec is None:
        raise ImportError(f"cannot load {_NAME} from {quarvex.__file__}")
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[_NAME] = module
    return module


_ext = _load()

get_vector = _ext.get_vector
set_vector = _ext.set_vector
matrix_structure = _ext.matrix_structure
matrix_values = _ext.matrix_values
pattern_version = _ext.pattern_version
nexus_from_arrays = _ext.nexus_from_arrays
Multigrid = _ext.Multigrid
amg_setup = _ext.amg_setup
amg_refresh = _ext.amg_refresh
amg_solve = _ext.amg_solve
amg_solve_many = _ext.amg_solve_many
amg_setup_csr = _ext.amg_setup_csr
amg_apply_csr = _ext.amg_apply_csr
assemble_curved = _ext.assemble_curved
set_dof_arrays = _ext.set_dof_arrays
plot_dom_arrays = _ext.plot_dom_arrays
plot_disp_arrays = _ext.plot_disp_arrays
solve = _ext.solve
constrain = _ext.constrain
add_matrix_entries = _ext.add_matrix_entries
worker_count = _ext.worker_count
element_tables = _ext.element_tables
