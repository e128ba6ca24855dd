#!/bin/sh
# Installs into a scratch prefix with DESTDIR, builds the Debian package,
# checks its metadata and contents, unpacks it into a scratch root and runs
# the unpacked binary.  usage: package_check.sh BUILD_DIR
set -eu
build=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

DESTDIR=$scratch/destdir cmake --install "$build" --prefix /opt/horlet >/dev/null
test -x "$scratch/destdir/opt/horlet/bin/horlet"
man -l "$scratch/destdir/opt/horlet/share/man/man1/horlet.1" 2>/dev/null | grep -q 'timestamp each line'
printf 'a\n' | "$scratch/destdir/opt/horlet/bin/horlet" -f 'T ' | grep -qx 'T a'

(cd "$build" && cpack -G DEB -B "$scratch/pkg" >/dev/null)
deb=$(ls "$scratch"/pkg/horlet_*.deb)
for field in Package Version Architecture Maintainer Depends Description; do
	value=$(dpkg-deb -f "$deb" "$field")
	[ -n "$value" ] || { echo "package has no $field"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = horlet ]
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ]
dpkg-deb -f "$deb" Depends | grep -q '^libc6'
dpkg-deb -c "$deb" | grep -q ' ./usr/bin/horlet$'
dpkg-deb -c "$deb" | grep -q ' ./usr/share/man/man1/horlet.1'
dpkg-deb -x "$deb" "$scratch/root"
out=$(printf 'x\n' | "$scratch/root/usr/bin/horlet" -u -f '%%@|')
echo "$out" | grep -Eqx '[0-9]{6}\|x'
# Only the C library is linked.
libs=$(objdump -p "$scratch/root/usr/bin/horlet" | awk '/NEEDED/ { print $2 }' | tr '\n' ' ')
[ "$libs" = "libc.so.6 " ] || { echo "links more than libc: $libs"; exit 1; }
echo "package: $(basename "$deb"), Depends: $(dpkg-deb -f "$deb" Depends), links: $libs"
