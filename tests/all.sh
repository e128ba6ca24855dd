#!/usr/bin/env bash
# The whole test suite: the tests (with the soak and the memcheck run) in a
# plain build, the same tests in a sanitizer build, then the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DHORLET_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

cmake -S . -B build-asan -DHORLET_TESTS=ON -DHORLET_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan -j"$jobs" --output-on-failure

# Fuzzing, a minute for each target, from the seed corpus in the repository.
CXX=clang++ cmake -S . -B build-fuzz -DHORLET_FUZZ=ON -DHORLET_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs"
for target in stream_fuzz stamp_fuzz; do
	corpus=$(mktemp -d)
	build-fuzz/$target -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
		"$corpus" "fuzz/corpus/${target%_fuzz}" 2>&1 | grep -E '^(stat::number_of_executed_units|Done)'
	rm -rf "$corpus"
done
