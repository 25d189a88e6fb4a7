#!/usr/bin/env bash
# The tidiness checks, in seconds: ruff's lint rules and formatting over the Python code, mypy
# over quarvex_tools, and clang-format's layout over the C++ (src/, tests/cpp, benchmarks).
# Nothing is rewritten; `ruff check --fix .`, `ruff format .` and
# `clang-format -i $(git ls-files '*.cpp' '*.hpp')` apply what this reports.
# The tools come with the test extras (pip install ".[lint]" for them alone).
set -euo pipefail
cd "$(dirname "$0")/.."

ruff check --quiet .
ruff format --check --quiet .
mypy --no-error-summary
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror
echo "lint.sh: ruff, mypy and clang-format found nothing"
