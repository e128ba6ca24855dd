#!/usr/bin/env bash
# The whole test suite, from a bare Debian 12 machine: installs what it
# needs, then has ctest run its steps (tests/suite/CMakeLists.txt): the
# plain build and its tests (with the soak, memcheck, the emulated CPUs,
# every scan path and the man page check); the install, its removal and
# the Debian package with lintian; the release, and its static binaries
# for x86_64, aarch64 and armv7 with the program's tests against each (ARM
# under qemu) and a run in an empty root; the same tests in a sanitizer
# build; the engine's tests cross-built for aarch64 and armv7 under qemu;
# the format and static checks and the POSIX.1-2008 builds; and the
# fuzzers (FUZZ_SECONDS each, 60 by default).  Prints one line a step with
# the time it took, everything a step printed when it fails, and at the
# end each step's CPU time and summary.  Its build directories are its own
# (build-suite, build-tests, build-asan, build-aarch64, build-armv7,
# build-fuzz), so that it never changes build/ or build-musl/.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

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

# The steps, in the order ctest chooses from what each needs and uses.
# A step's PROCESSORS count against -j, which is twice the cores: the
# tests spend most of their time waiting on the program.
cmake -S tests/suite -B build-suite -DJOBS="$jobs" -DFUZZ_SECONDS="${FUZZ_SECONDS:-60}" \
	>"$log" 2>&1 || { cat "$log"; exit 1; }
status=0
ctest --test-dir build-suite -j"$((jobs * 2))" --output-on-failure || status=$?
for summary in build-suite/logs/*.summary; do
	[ -e "$summary" ] && cat "$summary"
done
[ $status -eq 0 ] || exit $status
echo "all passed"
