#!/usr/bin/env bash
# The whole test suite: the tests in a plain build and in a sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DHORLET_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

cmake -S . -B build-asan -DHORLET_TESTS=ON -DHORLET_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan -j"$jobs" --output-on-failure
