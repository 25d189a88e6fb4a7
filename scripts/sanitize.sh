#!/usr/bin/env bash
# Sanitizer runs: the whole Python suite against an AddressSanitizer + UndefinedBehavior-
# Sanitizer build of the module, and the C++ unit tests (pool, pattern locks, assembly
# row locks among them) under ThreadSanitizer. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=$(python3 -c "import sys; print(sys.executable)")

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARVEX_SANITIZE=address,undefined \
    -DQUARVEX_WERROR=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build/asan --parallel 2 --target quarvex

# The interpreter itself is not instrumented, so the runtime is preloaded (with the C++
# library, whose exception functions it intercepts). Leak detection stays off: on these
# machines LeakSanitizer's exit-time scan crashes once the worker threads exist, and leaks
# are covered by the suite's own reference-count and resident-memory checks.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export QUARVEX_SANITIZED=1
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" PYTHONPATH=$root/build/asan "$python" -m pytest -q -p no:cacheprovider tests \
    --ignore=tests/mpi  # the MPI tests need Debian's Python and run in scripts/test_mpi.sh
unset ASAN_OPTIONS UBSAN_OPTIONS QUARVEX_SANITIZED

cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARVEX_SANITIZE=thread -DQUARVEX_BUILD_MODULE=OFF \
    -DQUARVEX_BUILD_TESTS=ON -DQUARVEX_WERROR=ON >/dev/null
cmake --build build/tsan --parallel 2 --target quarvex_cpp_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 QUARVEX_NUM_THREADS=4 build/tsan/quarvex_cpp_tests --gtest_brief=1
