#!/usr/bin/env bash
# The MPI tests: installs Debian's Open MPI, PETSc and their Python bindings when missing,
# builds quarvex for Debian's Python (which those bindings are built for) in a virtual
# environment that sees the system's packages, and runs tests/mpi, whose tests start
# mpirun themselves.
set -euo pipefail
cd "$(dirname "$0")/.."

SYSTEM_PYTHON=/usr/bin/python3
VENV=build/mpi-venv

missing=()
for package in openmpi-bin python3-mpi4py python3-petsc4py python3-venv; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: ${missing[*]}; install them (as root) and run again" >&2
        exit 1
    fi
    apt-get update -qq
    # Recommends would add documentation and compilers nobody here uses.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
fi

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
# dependencies; pytest is the only package taken from PyPI.
"$PYTHON" -c "import pytest" 2>/dev/null || "$PYTHON" -m pip install -q pytest
"$PYTHON" -m pip install -q --no-deps . --config-settings=cmake.define.QUARVEX_WERROR=ON \
    --config-settings=build-dir=build/mpi-{wheel_tag}

QUARVEX_REQUIRE_MPI=1 "$PYTHON" -m pytest -q tests/mpi
