#!/bin/sh
# Takes the static binaries of a release (pkg/release.sh) for x86_64,
# aarch64 and armv7 from their archives, as users get them, checks that
# each needs no other file, runs the program's tests against each, the
# three side by side (the ARM ones under qemu-user, the test program
# staying native), then runs the
# x86_64 one in an empty root: alone, with nothing but a zone file beside
# it, and with a summer time given without a rule.
# usage: static_check.sh TESTS_BUILD_DIR RELEASE_DIR
set -eu
tests=$(realpath "$1")
release=$(realpath "$2")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
	echo "static: $*"
	exit 1
}

# One target: its checks and tests, reported on standard output.
check() {
	target=$1
	archive=$(ls "$release"/horlet-*-$target-linux-musl.tar.gz) || fail "no archive for $target"
	tar xzf "$archive" -C "$scratch"
	bin=$(realpath "$scratch/$(basename "$archive" .tar.gz)/horlet")
	readelf -l "$bin" | grep -q INTERP && fail "$target: has a program interpreter: not static"
	readelf -d "$bin" 2>/dev/null | grep -q NEEDED && fail "$target: needs shared libraries"
	# The tests find the program as horlet in its own directory.
	case $target in
	x86_64) run=$bin wrapped= static=1 ;;
	aarch64 | armv7)
		[ $target = aarch64 ] && qemu=qemu-aarch64 || qemu=qemu-arm
		mkdir -p "$scratch/$target"
		printf '#!/bin/sh\nexec %s %s "$@"\n' "$qemu" "$bin" >"$scratch/$target/horlet"
		chmod +x "$scratch/$target/horlet"
		run=$scratch/$target/horlet wrapped=1 static=
		;;
	esac
	HORLET_BIN=$run HORLET_WRAPPED=$wrapped HORLET_STATIC=$static HORLET_LIBC=musl \
		"$tests/tests/horlet_program_tests" --gtest_brief=1 >"$scratch/log.$target" 2>&1 ||
		{ cat "$scratch/log.$target"; fail "the program's tests failed against the static build for $target"; }
	grep -E '^\[  (PASSED|SKIPPED) ' "$scratch/log.$target" | sed "s/^/static: $target: /"
	echo "static: $target: $(stat -c %s "$bin") bytes, $(file -b "$bin" | cut -d, -f1-2)"
}
# The three side by side: the tests spend most of their time waiting on
# the program, and under qemu on its start.
for target in x86_64 aarch64 armv7; do
	(check $target) >"$scratch/report.$target" 2>&1 &
	eval "pid_$target=$!"
done
failed=
for target in x86_64 aarch64 armv7; do
	eval "wait \$pid_$target" || failed=1
	cat "$scratch/report.$target"
done
[ -z "$failed" ] || exit 1

# An empty root: the binary alone, then with a zone file.
bin=$(realpath "$scratch"/horlet-*-x86_64-linux-musl/horlet)
root=$scratch/root
mkdir -p "$root/etc"
cp "$bin" "$root/horlet"
chroot=$(command -v chroot) && "$chroot" / true 2>/dev/null ||
	{ echo "static: no chroot here (not root): empty root not tried"; exit 0; }
got=$(printf 'a\n' | env -i "$chroot" "$root" /horlet -u -f '%Z ')
[ "$got" = "GMT a" ] || fail "in an empty root, -u gives '$got'"
# No rule for the summer time: glibc's, the US one.
got=$(printf 'a\n' | env -i TZ=EST5EDT "$chroot" "$root" /horlet -f '%Z ')
want=$(TZ=EST5EDT date +%Z)
[ "$got" = "$want a" ] || fail "in an empty root, TZ=EST5EDT gives '$got', not '$want a'"
cp /usr/share/zoneinfo/Asia/Tokyo "$root/etc/localtime"
got=$(printf 'a\n' | env -i "$chroot" "$root" /horlet -f '%Z ')
[ "$got" = "JST a" ] || fail "in an empty root with a zone file, gives '$got'"
echo "static: runs in an empty root"
