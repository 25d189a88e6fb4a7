#!/usr/bin/env bash
# Installs what the tests need, builds quarvex with warnings as errors, and runs every
# test: the Python suite (pytest), the C++ unit tests (GoogleTest through CTest) and the
# MPI tests (scripts/test_mpi.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian's packages that the tests need.
source scripts/apt_install.sh

# GoogleTest for the C++ unit tests.
apt_install libgtest-dev

python3 -m pip install -q ".[test]" --config-settings=cmake.define.QUARVEX_WERROR=ON

# gmsh's wheel links X11 and OpenGL libraries that a server image may lack.
python3 -c "import gmsh" >/dev/null 2>&1 || apt_install libglu1-mesa libxcursor1 libxft2 libxinerama1

cmake -S . -B build/cpp-tests -DCMAKE_BUILD_TYPE=Release -DQUARVEX_BUILD_MODULE=OFF \
    -DQUARVEX_BUILD_TESTS=ON -DQUARVEX_WERROR=ON >/dev/null
cmake --build build/cpp-tests --parallel 2
ctest --test-dir build/cpp-tests --output-on-failure --parallel 2

python3 -m pytest -q tests --ignore=tests/mpi

# Distributed solves under MPI, with Debian's PETSc (installed by the script when missing).
bash scripts/test_mpi.sh

# The same suites under AddressSanitizer + UndefinedBehaviorSanitizer and ThreadSanitizer.
if [ "${QUARVEX_SKIP_SANITIZERS:-0}" != "1" ]; then
    bash scripts/sanitize.sh
fi
