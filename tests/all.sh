#!/usr/bin/env bash
# The whole test suite, from a bare Debian 12 machine: installs what it
# needs, then runs the tests (with the soak, the memcheck run, the engine's
# tests on emulated older CPUs and the man page check) in a plain build; the
# install, its removal and the Debian package with lintian; the release;
# the static builds against musl for x86_64, aarch64 and armv7, the
# program's tests against each (ARM under qemu) and a run in an empty root;
# the format and static checks; the same tests in a sanitizer build; the
# program built to POSIX.1-2008 alone with g++ and with clang and libc++;
# the engine's tests cross-built for aarch64 and armv7 and run under qemu;
# and the fuzzers (FUZZ_SECONDS each, 60 by default).  Prints one line a
# step with the time it took, and everything a step printed when it fails.
# Its build directories are its own (build-tests, build-asan,
# build-aarch64, build-armv7, build-fuzz), so that it never changes build/
# or build-musl/.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
log=$(mktemp)
scratch=$(mktemp -d)
trap 'rm -rf "$log" "$scratch"' EXIT

# What the tests use, by Debian package.
packages=(g++ clang libclang-rt-14-dev libc++-dev libc++abi-dev cmake make
	libgtest-dev libgmock-dev googletest python3 faketime tzdata util-linux mount
	valgrind strace mandoc man-db locales dpkg-dev file binutils lintian
	clang-format clang-tidy cppcheck g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user
	musl-dev musl-dev:arm64 musl-dev:armhf libgtest-dev:arm64 libgtest-dev:armhf gpg gpg-agent)
missing=()
for p in "${packages[@]}"; do
	dpkg-query -W -f '${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
	if [ "$(id -u)" -ne 0 ]; then
		echo "The tests need these packages; install them (as root, without sudo), then run this again:"
		echo "  sudo dpkg --add-architecture arm64 && sudo dpkg --add-architecture armhf && sudo apt-get update"
		echo "  sudo apt-get install --no-install-recommends ${missing[*]}"
		exit 1
	fi
	echo "installing ${missing[*]} (a few minutes)"
	export DEBIAN_FRONTEND=noninteractive
	# musl for the ARM static binaries comes from those architectures.
	dpkg --add-architecture arm64
	dpkg --add-architecture armhf
	apt-get update -qq >"$log" 2>&1 || { cat "$log"; exit 1; }
	apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1 ||
		{ cat "$log"; exit 1; }
fi

# Runs a step quietly: its output is shown only when it fails.  Its line
# says what it is, how long it took and the CPU time it used; then come the
# lines of its output that match show, its summary.  A step's lines are
# printed together when it ends, since two steps may run at once.
step() {
	local what=$1 show=$2 started=$SECONDS log=$scratch/step.$BASHPID TIMEFORMAT='%U %S'
	shift 2
	if ! { time "$@" >"$log" 2>&1; } 2>"$log.cpu"; then
		{ cat "$log"; echo "FAILED: $what"; } >"$log.out"
		cat "$log.out"
		return 1
	fi
	{
		echo "$what: $((SECONDS - started)) s, CPU $(awk '{ printf "%.0f", $1 + $2 }' "$log.cpu") s"
		[ -z "$show" ] || grep -E "$show" "$log" || true
	} >"$log.out"
	cat "$log.out"
}
# A ctest run, summed up by its closing lines.
tests() {
	step "$1" '% tests passed|^Total Test time|did not run|\(Skipped\)' \
		ctest --test-dir "$2" -j"$jobs" --output-on-failure
}

step "plain build" '' sh -c \
	"cmake -S . -B build-tests -DHORLET_TESTS=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON &&
	cmake --build build-tests -j$jobs"

# The builds and the checks run beside the tests, at the lowest priority,
# so that they take the CPU time the tests leave and the tests' timing is
# as it would be alone: in two lanes of about the same CPU time, so that
# what is left of them when the tests wait on a build has both cores.
# Each build leaves a mark that the tests that need it wait for.
builds() {
	step "sanitizer build" '' sh -c \
		"cmake -S . -B build-asan -DHORLET_TESTS=ON -DHORLET_SANITIZE=ON && cmake --build build-asan -j$jobs"
	touch "$scratch/built-asan"
	cross_build aarch64
	step "fuzzer build" '' sh -c \
		"CXX=clang++ cmake -S . -B build-fuzz -DHORLET_FUZZ=ON -DHORLET_TESTS=OFF && cmake --build build-fuzz -j$jobs"
}
checks() {
	cross_build armv7
	# Project habits: formatting, and the static checkers on the program.
	step "clang-format" '' clang-format --dry-run --Werror src/*.cpp src/*.hpp tests/*.cpp \
		tests/*.hpp fuzz/*.cpp bench/*.cpp bench/*.hpp
	step "cppcheck" '' cppcheck --quiet --std=c++20 --enable=warning,performance,portability \
		--error-exitcode=1 -I src src
	# Other POSIX systems than Linux.
	step "POSIX.1-2008 builds with g++ and clang/libc++" '^strict' sh tests/strict_build.sh "$scratch/strict"
	# clang-tidy reads the plain build's flags, less the one of g++'s
	# link-time optimisation that clang does not know.
	step "clang-tidy" '' clang-tidy -p build-tests --quiet \
		--extra-arg=-Wno-ignored-optimization-argument src/*.cpp
}
# Where its users are: ARM.
cross_build() {
	step "$1 cross build" '' sh -c \
		"cmake -S . -B build-$1 -DCMAKE_TOOLCHAIN_FILE=tests/cross.cmake -DHORLET_TARGET=$1 \
		-DHORLET_TESTS=ON && cmake --build build-$1 -j$jobs --target horlet_engine_tests"
	touch "$scratch/built-$1"
}
# Each lane in a process group of its own, so that a failed step of the
# tests ends it and all it started.  setsid makes it a session of its own
# too, which Linux schedules as a group beside the tests' (autogroup):
# that group's own nice value is what keeps it behind them.
lane() {
	setsid nice -n 19 bash -c "set -euo pipefail; $(declare -p scratch jobs); $(declare -f step cross_build "$1")
		echo 19 2>/dev/null >/proc/self/autogroup || true
		trap '[ \$? -eq 0 ] || touch \"\$scratch/failed\"' EXIT
		$1" &
}
lane builds
building=$!
lane checks
checking=$!
# Under set -e a failed command in this trap would become the script's
# status: the lanes' groups are normally gone by the end, so kill fails.
trap 'kill -- -$building -$checking 2>/dev/null || true; rm -rf "$log" "$scratch"' EXIT
# Waits for a build's mark; fails if a lane failed.
await() {
	until [ -e "$scratch/built-$1" ]; do
		[ ! -e "$scratch/failed" ] || exit 1
		sleep 1
	done
}

tests "tests, soak, memcheck, older CPUs and man page" build-tests
step "install and Debian package" '^package:' sh tests/package_check.sh build-tests
step "release, made twice from clones of the last commit" '^release:' \
	sh tests/release_check.sh "$scratch/release"
step "the release's static binaries for x86_64, aarch64 and armv7: their tests and an empty root" \
	'^static:' sh tests/static_check.sh build-tests "$scratch/release"
await asan
tests "tests under AddressSanitizer and UndefinedBehaviorSanitizer" build-asan
for target in aarch64 armv7; do
	await $target
	tests "engine tests on $target under qemu" build-$target
done
# The fuzzers take both cores: the lanes end first.
wait $building || exit 1
wait $checking || exit 1

# Fuzzing from the seed corpus in the repository, into a scratch corpus.
seconds=${FUZZ_SECONDS:-60}
# Both fuzzers at once, one a core; each prints its own summary.
fuzz() {
	local target=$1 corpus=$scratch/$1
	mkdir "$corpus"
	build-fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
		-artifact_prefix="$corpus/" "$corpus" "fuzz/corpus/${target%_fuzz}" \
		>"$scratch/$target.log" 2>&1 || { cat "$scratch/$target.log"; return 1; }
	sed -n "s/^stat::number_of_executed_units: */$target: executed units: /p" "$scratch/$target.log"
}
both_fuzzers() {
	fuzz stream_fuzz &
	local stream=$!
	fuzz stamp_fuzz || { wait $stream; return 1; }
	wait $stream
}
step "fuzzing stream_fuzz and stamp_fuzz for $seconds s each, side by side" 'executed units' both_fuzzers
echo "all passed"
