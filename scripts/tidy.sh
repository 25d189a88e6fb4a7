#!/usr/bin/env bash
# clang-tidy over src/ with the checks of .clang-tidy, from a compile database of the C++
# layers (build/tidy). Takes minutes: run it on demand, not with every test run.
#   bash scripts/tidy.sh [file.cpp ...]     (default: every source of src/ but the binding)
# clang-tidy comes from PyPI: pip install clang-tidy
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/tidy -DCMAKE_BUILD_TYPE=Release -DQUARVEX_BUILD_MODULE=OFF \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
if [ "$#" -gt 0 ]; then
    files=("$@")
else
    mapfile -t files < <(git ls-files 'src/*.cpp' | grep -v '^src/python/')
fi
clang-tidy -p build/tidy --quiet "${files[@]}"
