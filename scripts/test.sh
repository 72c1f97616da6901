#!/usr/bin/env bash
# Builds everything (libraries, tests, benchmarks) in build/ and runs the
# test suite. Extra arguments go to ctest, e.g. scripts/test.sh -R Sbase64.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK4KIVOSMIME_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" "$@"
