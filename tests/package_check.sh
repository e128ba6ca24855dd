#!/bin/sh
# Installs into a scratch prefix with DESTDIR and removes it, then installs
# into a prefix and stages an install of it and removes that, builds the
# Debian package,
# checks its metadata, contents and hardening, has lintian check it, then
# unpacks it into a scratch root and runs the unpacked binary.
# usage: package_check.sh BUILD_DIR
set -eu
build=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
	echo "package: $*"
	exit 1
}

DESTDIR=$scratch/destdir cmake --install "$build" --prefix /opt/horlet >/dev/null
test -x "$scratch/destdir/opt/horlet/bin/horlet" || fail "no binary installed"
man -l "$scratch/destdir/opt/horlet/share/man/man1/horlet.1.gz" 2>/dev/null | grep -q 'timestamp each line' ||
	fail "the installed man page does not render"
[ "$(printf 'a\n' | "$scratch/destdir/opt/horlet/bin/horlet" -f 'T ')" = "T a" ] ||
	fail "the installed binary does not run"
# Removed as the README says: the files, then the directories it made.
remove() {
	xargs rm < "$build/install_files.txt" && xargs -r rmdir < "$build/install_dirs.txt"
}
remove
[ -z "$(ls -A "$scratch/destdir/opt/horlet")" ] || fail "removal leaves $(ls -A "$scratch/destdir/opt/horlet")"
# An install into a prefix whose directories exist, then a staging install
# of the same prefix: the removal takes the staged files alone, and leaves
# the first install and every directory that was there before.
prefix=$scratch/usr-local
mkdir -p "$prefix/bin" "$prefix/share/man"
cmake --install "$build" --prefix "$prefix" >/dev/null
DESTDIR=$scratch/stage cmake --install "$build" --prefix "$prefix" >/dev/null
remove
[ -z "$(find "$scratch/stage" -type f)" ] || fail "removal after a staging install leaves $(find "$scratch/stage" -type f)"
[ -x "$prefix/bin/horlet" ] && [ -f "$prefix/share/man/man1/horlet.1.gz" ] ||
	fail "removal after a staging install removed the install before it"
# Removing that first install, installed again, takes its files and leaves
# the directories that existed before it.
cmake --install "$build" --prefix "$prefix" >/dev/null
remove
[ -z "$(find "$prefix" -type f)" ] || fail "removal leaves $(find "$prefix" -type f)"
[ -d "$prefix/bin" ] && [ -d "$prefix/share/man" ] || fail "removal took a directory that was there before"

(cd "$build" && cpack -G DEB -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1) ||
	{ cat "$scratch/cpack.log"; fail "cpack failed"; }
deb=$(ls "$scratch"/pkg/horlet_*.deb)
for field in Package Version Architecture Maintainer Depends Description; do
	[ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field"
done
[ "$(dpkg-deb -f "$deb" Package)" = horlet ] || fail "wrong name"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "wrong architecture"
case $(dpkg-deb -f "$deb" Depends) in libc6*) ;; *) fail "does not depend on libc6" ;; esac
contents=$(dpkg-deb -c "$deb")
for file in usr/bin/horlet usr/share/man/man1/horlet.1.gz usr/share/doc/horlet/copyright \
	usr/share/doc/horlet/changelog.gz; do
	case $contents in *" ./$file"*) ;; *) fail "$file is missing" ;; esac
done

# Debian's checker, pedantic, with its notes: no error and no warning.  It
# says that running as root is not recommended; that line is dropped.
lint=$(lintian --pedantic --display-info "$deb" 2>&1 | grep -v 'running with root privileges') || true
if printf '%s\n' "$lint" | grep -q '^[EW]:'; then
	printf '%s\n' "$lint"
	fail "lintian reports errors or warnings"
fi

dpkg-deb -x "$deb" "$scratch/root"
bin=$scratch/root/usr/bin/horlet
printf 'x\n' | "$bin" -u -f '%%@|' | grep -Eqx '[0-9]{6}\|x' || fail "the packaged binary does not run"
# Only the C library is linked.
libs=$(objdump -p "$bin" | awk '/NEEDED/ { print $2 }' | tr '\n' ' ')
[ "$libs" = "libc.so.6 " ] || fail "links more than libc: $libs"

# The hardening, read off the binary: a position-independent executable,
# full RELRO with immediate binding, the stack protector, and no .comment.
readelf -h "$bin" | grep -q 'Type: *DYN' || fail "not position-independent"
readelf -d "$bin" | grep -q 'FLAGS_1.*PIE' || fail "not a PIE"
readelf -d "$bin" | grep -q 'BIND_NOW' || fail "no BIND_NOW"
readelf -l "$bin" | grep -q 'GNU_RELRO' || fail "no RELRO"
readelf -W --dyn-syms "$bin" | grep -q '__stack_chk_fail' || fail "no stack protector"
if readelf -S "$bin" | grep -q '\.comment'; then fail "has a .comment section"; fi

tags=$(printf '%s\n' "$lint" | grep -E '^[IP]:' | awk '{ print $3 }' | sort -u | tr '\n' ' ')
echo "package: $(basename "$deb"), Depends: $(dpkg-deb -f "$deb" Depends), links: $libs"
echo "package: PIE, RELRO, BIND_NOW, stack protector, no .comment; lintian notes: ${tags:-none}"
