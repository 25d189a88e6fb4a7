#!/usr/bin/env bash
# The MPI tests: installs Debian's Open MPI, PETSc and their Python bindings when missing,
# installs quarvex for Debian's Python (which those bindings are built for) in a virtual
# environment that sees the system's packages (the wheel given as QUARVEX_WHEEL, or a build), and runs tests/mpi, whose tests start
# mpirun themselves.
set -euo pipefail
cd "$(dirname "$0")/.."

SYSTEM_PYTHON=/usr/bin/python3
VENV=build/mpi-venv

source scripts/apt_install.sh
apt_install openmpi-bin python3-mpi4py python3-petsc4py python3-venv

if [ ! -x "$VENV/bin/python" ]; then
    "$SYSTEM_PYTHON" -m venv --system-site-packages "$VENV"
fi
PYTHON="$VENV/bin/python"

# petsc4py looks for PETSc under /usr/lib/petsc, a link that only Debian's PETSc development
# package sets up; without it, point the environment at the installed build.
if ! "$PYTHON" -c "import petsc4py" 2>/dev/null; then
    petsc_python=$(ls -d /usr/lib/petscdir/petsc*/*-real/lib/python3/dist-packages | sort -V | tail -n 1)
    site=$("$PYTHON" -c "import sysconfig; print(sysconfig.get_paths()['purelib'])")
    echo "$petsc_python" > "$site/debian_petsc4py.pth"
fi

# numpy comes from Debian (petsc4py is built against it), so quarvex installs without
# dependencies; pytest, meshio and matplotlib (the files and pictures the serial script writes
# under mpirun) and gmsh (the curved models' second-order meshes) come from PyPI, held to
# Debian's numpy.
"$PYTHON" -c "import pytest" 2>/dev/null || "$PYTHON" -m pip install -q pytest
if ! "$PYTHON" -c "import meshio, matplotlib, gmsh" 2>/dev/null; then
    "$PYTHON" -m pip install -q meshio matplotlib gmsh -c <(echo "numpy==$("$PYTHON" -c 'import numpy; print(numpy.__version__)')")
fi
# gmsh's wheel links X11 and OpenGL libraries that a server image may lack.
"$PYTHON" -c "import gmsh" >/dev/null 2>&1 || apt_install libglu1-mesa libxcursor1 libxft2 libxinerama1
# QUARVEX_WHEEL, a wheel built already (scripts/test.sh passes its own), serves where this
# Python's version takes it; otherwise quarvex is built for this Python.
if [ -n "${QUARVEX_WHEEL:-}" ] && "$PYTHON" -m pip install -q --no-deps --force-reinstall "$QUARVEX_WHEEL" 2>/dev/null; then
    echo "test_mpi.sh: installed $QUARVEX_WHEEL"
else
    "$PYTHON" -m pip install -q --no-deps . --config-settings=cmake.define.QUARVEX_WERROR=ON \
        --config-settings=build-dir=build/mpi-{wheel_tag}
fi

QUARVEX_REQUIRE_MPI=1 "$PYTHON" -m pytest -q tests/mpi
