#!/bin/sh
# Builds the static horlet against musl (pkg/musl.cmake), checks that it
# needs no other file, runs the program's tests against it, then runs it
# in an empty root: alone, and with nothing but a zone file beside it.
# usage: static_check.sh TESTS_BUILD_DIR MUSL_BUILD_DIR
set -eu
tests=$(realpath "$1")
build=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
	echo "static: $*"
	exit 1
}

{ cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=pkg/musl.cmake -DCMAKE_BUILD_TYPE=Release &&
	cmake --build "$build" -j"$(nproc)"; } >"$scratch/log" 2>&1 || { cat "$scratch/log"; fail "the build failed"; }
bin=$(realpath "$build/horlet")
readelf -l "$bin" | grep -q INTERP && fail "has a program interpreter: not static"
readelf -d "$bin" 2>/dev/null | grep -q NEEDED && fail "needs shared libraries"

HORLET_BIN=$bin HORLET_LIBC=musl "$tests/tests/horlet_program_tests" --gtest_brief=1 >"$scratch/log" 2>&1 ||
	{ cat "$scratch/log"; fail "the program's tests failed against the static build"; }
grep -E '^\[  (PASSED|SKIPPED) ' "$scratch/log" | sed 's/^/static: /'

# An empty root: the binary alone, then with a zone file.
root=$scratch/root
mkdir -p "$root/etc"
cp "$bin" "$root/horlet"
chroot=$(command -v chroot) && "$chroot" / true 2>/dev/null ||
	{ echo "static: no chroot here (not root): empty root not tried"; exit 0; }
got=$(printf 'a\n' | env -i "$chroot" "$root" /horlet -u -f '%Z ')
[ "$got" = "GMT a" ] || fail "in an empty root, -u gives '$got'"
cp /usr/share/zoneinfo/Asia/Tokyo "$root/etc/localtime"
got=$(printf 'a\n' | env -i "$chroot" "$root" /horlet -f '%Z ')
[ "$got" = "JST a" ] || fail "in an empty root with a zone file, gives '$got'"
echo "static: $(stat -c %s "$bin") bytes, no interpreter, no shared library; runs in an empty root"
