#!/usr/bin/env bash
# The whole test suite: the tests (with the soak, the memcheck run and the
# man page check) in a plain build, the install and the Debian package, the
# format and static checks, the same tests in a sanitizer build, then the
# fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DHORLET_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure
sh tests/package_check.sh build

# Project habits: formatting, and the static checkers on the program.
clang-format --dry-run --Werror src/*.cpp src/*.hpp tests/*.cpp tests/*.hpp fuzz/*.cpp bench/*.cpp
clang-tidy --quiet src/stamp.cpp src/horlet.cpp -- -std=c++20 -Isrc
cppcheck --quiet --std=c++20 --enable=warning,performance,portability --error-exitcode=1 -I src src

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
