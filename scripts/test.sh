#!/usr/bin/env bash
# Installs what the tests need, builds quarvex with warnings as errors, and runs every
# test: the Python suite (pytest), the C++ unit tests (GoogleTest through CTest), the MPI
# tests (scripts/test_mpi.sh) and the sanitizer runs (scripts/sanitize.sh). This full run is
# what CI runs.
#
#   bash scripts/test.sh            the full run
#   bash scripts/test.sh --quick    day-to-day: the Python suite against the module as installed
#                                   (pip install -e . rebuilds it) and the C++ tests built in the
#                                   existing build folder; nothing installed, no MPI, no sanitizers
#
# QUARVEX_CPP_TEST_BUILD names the C++ tests' build folder (default build/cpp-tests).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
case "${1:-}" in
    --quick) quick=1 ;;
    "") ;;
    *) echo "usage: bash scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
cpp_build=${QUARVEX_CPP_TEST_BUILD:-build/cpp-tests}

# The C++ unit tests, configured once and built incrementally.
cpp_tests() {
    if [ ! -f "$cpp_build/CMakeCache.txt" ] || [ "$quick" = 0 ]; then
        cmake -S . -B "$cpp_build" -DCMAKE_BUILD_TYPE=Release -DQUARVEX_BUILD_MODULE=OFF \
            -DQUARVEX_BUILD_TESTS=ON -DQUARVEX_WERROR=ON >/dev/null
    fi
    cmake --build "$cpp_build" --parallel 2
    ctest --test-dir "$cpp_build" --output-on-failure --parallel 2
}

if [ "$quick" = 1 ]; then
    cpp_tests
    python3 -m pytest -q tests --ignore=tests/mpi
    exit 0
fi

# Debian's packages that the tests need.
source scripts/apt_install.sh

# GoogleTest for the C++ unit tests.
apt_install libgtest-dev

python3 -m pip install -q ".[test]" --config-settings=cmake.define.QUARVEX_WERROR=ON

# gmsh's wheel links X11 and OpenGL libraries that a server image may lack.
python3 -c "import gmsh" >/dev/null 2>&1 || apt_install libglu1-mesa libxcursor1 libxft2 libxinerama1

cpp_tests

python3 -m pytest -q tests --ignore=tests/mpi

# Distributed solves under MPI, with Debian's PETSc (installed by the script when missing).
bash scripts/test_mpi.sh

# The same suites under AddressSanitizer + UndefinedBehaviorSanitizer and ThreadSanitizer.
if [ "${QUARVEX_SKIP_SANITIZERS:-0}" != "1" ]; then
    bash scripts/sanitize.sh
fi
