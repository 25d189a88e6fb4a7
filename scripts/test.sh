#!/usr/bin/env bash
# Installs what the tests need, builds quarvex with warnings as errors, and runs every
# test: the Python suite (pytest), the C++ unit tests (GoogleTest through CTest), the MPI
# tests (scripts/test_mpi.sh) and the sanitizer runs (scripts/sanitize.sh). This full run is
# what CI runs.
#
#   bash scripts/test.sh            the full run
#   bash scripts/test.sh --quick    day-to-day: scripts/lint.sh, the Python suite against the module as installed
#                                   (pip install -e . rebuilds it) and the C++ tests built in the
#                                   existing build folder; nothing installed, no MPI, no sanitizers
#
# The full run compiles each configuration once: one release build (build/main) makes the
# wheel and the C++ tests from the same objects, the wheel serves this Python and the MPI
# tests' Debian Python alike (where their versions agree), and the sanitizer builds are the
# only others.
#
# QUARVEX_CPP_TEST_BUILD names the quick mode's C++ build folder (default build/cpp-tests).
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
    bash scripts/lint.sh
    cpp_tests
    python3 -m pytest -q tests --ignore=tests/mpi
    exit 0
fi

# Debian's packages that the tests need.
source scripts/apt_install.sh

# GoogleTest for the C++ unit tests.
apt_install libgtest-dev

# One release build: the wheel, and the C++ tests beside it.
rm -rf build/wheel
python3 -m pip wheel -q --no-deps . -w build/wheel --config-settings=build-dir=build/main \
    --config-settings=cmake.define.QUARVEX_WERROR=ON --config-settings=cmake.define.QUARVEX_BUILD_TESTS=ON
wheel=$(ls build/wheel/quarvex-*.whl)
python3 -m pip install -q --no-deps --force-reinstall "$wheel"
python3 -m pip install -q "$wheel[test]"

# gmsh's wheel links X11 and OpenGL libraries that a server image may lack.
python3 -c "import gmsh" >/dev/null 2>&1 || apt_install libglu1-mesa libxcursor1 libxft2 libxinerama1

# Lint, types and C++ layout (seconds), then the tests.
bash scripts/lint.sh

ctest --test-dir build/main --output-on-failure --parallel 2

python3 -m pytest -q tests --ignore=tests/mpi

# Distributed solves under MPI, with Debian's PETSc (installed by the script when missing).
QUARVEX_WHEEL="$wheel" bash scripts/test_mpi.sh

# The same suites under AddressSanitizer + UndefinedBehaviorSanitizer and ThreadSanitizer.
if [ "${QUARVEX_SKIP_SANITIZERS:-0}" != "1" ]; then
    bash scripts/sanitize.sh
fi
