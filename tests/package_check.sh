#!/bin/sh
# Installs and uninstalls (the uninstall target) with DESTDIR, twice into
# one prefix with a space and an apostrophe in its path, beside another
# file, and a staging install over a real one; builds the Debian package,
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

uninstall() {
	cmake --build "$build" --target uninstall >/dev/null
}
DESTDIR=$scratch/destdir cmake --install "$build" --prefix /opt/horlet >/dev/null
test -x "$scratch/destdir/opt/horlet/bin/horlet" || fail "no binary installed"
man -l "$scratch/destdir/opt/horlet/share/man/man1/horlet.1.gz" 2>/dev/null | grep -q 'timestamp each line' ||
	fail "the installed man page does not render"
[ "$(printf 'a\n' | "$scratch/destdir/opt/horlet/bin/horlet" -f 'T ')" = "T a" ] ||
	fail "the installed binary does not run"
# The uninstall target takes the files, then the directories the install
# created, from the DESTDIR root down.
uninstall
[ ! -e "$scratch/destdir" ] || fail "uninstall leaves $(find "$scratch/destdir" | tr '\n' ' ')"
# Installed twice into one prefix (a rebuild), with a space and an
# apostrophe in its path: the uninstall still takes it all, the prefix
# the install created included, and leaves what was there before.
mkdir "$scratch/My Tools"
touch "$scratch/My Tools/mine"
prefix="$scratch/My Tools/it's"
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake --install "$build" --prefix "$prefix" >/dev/null
uninstall
[ ! -e "$prefix" ] || fail "uninstall after two installs leaves $(find "$prefix" | tr '\n' ' ')"
[ -f "$scratch/My Tools/mine" ] || fail "uninstall took what was there before"
# A directory the install created that now holds something else stays,
# with what it holds.
cmake --install "$build" --prefix "$prefix" >/dev/null
touch "$prefix/bin/other"
uninstall
[ "$(find "$prefix" -type f)" = "$prefix/bin/other" ] ||
	fail "uninstall with another file in bin/ leaves $(find "$prefix" -type f | tr '\n' ' ')"
rm -r "$prefix"
# An install into a prefix whose directories exist, then a staging install
# of the same prefix: the uninstall takes the staged files alone, and
# leaves the first install and every directory that was there before.
prefix=$scratch/usr-local
mkdir -p "$prefix/bin" "$prefix/share/man"
cmake --install "$build" --prefix "$prefix" >/dev/null
DESTDIR=$scratch/stage cmake --install "$build" --prefix "$prefix" >/dev/null
uninstall
[ ! -e "$scratch/stage" ] || fail "uninstall after a staging install leaves $(find "$scratch/stage" | tr '\n' ' ')"
[ -x "$prefix/bin/horlet" ] && [ -f "$prefix/share/man/man1/horlet.1.gz" ] ||
	fail "uninstall after a staging install removed the install before it"
# That first install, installed again and uninstalled: its files go, and
# the directories that existed before it stay.
cmake --install "$build" --prefix "$prefix" >/dev/null
uninstall
[ -z "$(find "$prefix" -type f)" ] || fail "uninstall leaves $(find "$prefix" -type f)"
[ -d "$prefix/bin" ] && [ -d "$prefix/share/man" ] || fail "uninstall took a directory that was there before"
[ ! -e "$prefix/share/doc" ] || fail "uninstall leaves $prefix/share/doc"

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
