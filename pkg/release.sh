#!/bin/sh
# Makes the release into one folder (release/ by default): the source
# tarball of the commit checked out, made from git's own list of tracked
# files; the Debian package and one archive per architecture (x86_64,
# aarch64, armv7) of the static binary with its man page, README, licence
# and changelog, all built from that tarball; SHA256SUMS of them all; and,
# with HORLET_SIGN_KEY=KEYID, SHA256SUMS.asc, a detached signature of it
# made with gpg.  Each file is the same byte for byte when made again from
# the same commit, wherever the checkout sits and whoever makes it: times
# come from the commit, names are sorted, owners and modes are fixed
# whatever the maker's umask, TZ or locale, and gzip keeps no name or
# time.
# usage: [HORLET_SIGN_KEY=KEYID] sh pkg/release.sh [DIR]
set -eu
umask 022
TZ=UTC0 LC_ALL=C
export TZ LC_ALL
fail() {
	echo "release: $*" >&2
	exit 1
}
# The physical directory, as git names its top level, so that a checkout
# reached through a symbolic link releases too.
src=$(cd "$(dirname "$0")/.." && pwd -P)
out=${1:-release}
command -v git >/dev/null || fail "git is not installed: the release is made from git's tracked files (apt-get install git)"
[ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ] &&
	git -C "$src" rev-parse --verify -q HEAD >/dev/null ||
	fail "$src is not a git checkout with a commit: the release is made from git's tracked files"
version=$(sed -n 's/^project(horlet VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || fail "no version in CMakeLists.txt"
name=horlet-$version
if [ -n "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
	echo "release: the work tree has changes that are not committed; the release is of $(git -C "$src" rev-parse --short HEAD) without them" >&2
fi
SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
export SOURCE_DATE_EPOCH

mkdir -p "$out"
out=$(cd "$out" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The source: git archive writes the commit's tree, sorted, owned by root,
# with the commit's time.
git -C "$src" archive --format=tar --prefix="$name/" HEAD | gzip -9n >"$scratch/$name.tar.gz"
tar tzf "$scratch/$name.tar.gz" | grep -qx "$name/CMakeLists.txt" ||
	fail "the source tarball holds no $name/CMakeLists.txt"
tar xzf "$scratch/$name.tar.gz" -C "$scratch"

# The package and the static binaries, built from the tarball alone.
log=$scratch/build.log
{ cmake -S "$scratch/$name" -B "$scratch/deb" -DCMAKE_BUILD_TYPE=Release &&
	cmake --build "$scratch/deb" -j"$(nproc)" &&
	(cd "$scratch/deb" && cpack -G DEB); } >"$log" 2>&1 || { cat "$log"; fail "the Debian package failed"; }
# One archive per target: the static binary, stripped, and what a user
# needs beside it, under one top directory.
archives=
for target in x86_64 aarch64 armv7; do
	case $target in
	x86_64) strip=strip ;;
	aarch64) strip=aarch64-linux-gnu-strip ;;
	armv7) strip=arm-linux-gnueabihf-strip ;;
	esac
	dir=$name-$target-linux-musl
	{ cmake -S "$scratch/$name" -B "$scratch/musl-$target" -DCMAKE_TOOLCHAIN_FILE=pkg/musl.cmake \
		-DHORLET_TARGET=$target -DCMAKE_BUILD_TYPE=Release &&
		cmake --build "$scratch/musl-$target" -j"$(nproc)" &&
		mkdir "$scratch/$dir" &&
		$strip -o "$scratch/$dir/horlet" "$scratch/musl-$target/horlet"; } >"$log" 2>&1 ||
		{ cat "$log"; fail "the static binary for $target failed"; }
	cp "$scratch/$name/horlet.1" "$scratch/$name/README.md" "$scratch/$name/LICENSE" \
		"$scratch/$name/pkg/changelog" "$scratch/$dir/"
	chmod 755 "$scratch/$dir" "$scratch/$dir/horlet"
	chmod 644 "$scratch/$dir/horlet.1" "$scratch/$dir/README.md" "$scratch/$dir/LICENSE" \
		"$scratch/$dir/changelog"
	(cd "$scratch" && find "$dir" -print0 | LC_ALL=C sort -z |
		tar --null --no-recursion -T - --format=ustar --owner=0 --group=0 --numeric-owner \
			--mtime="@$SOURCE_DATE_EPOCH" -cf - | gzip -9n >"$dir.tar.gz")
	archives="$archives $dir.tar.gz"
done

cd "$out"
rm -f SHA256SUMS SHA256SUMS.asc
deb=$(basename "$scratch"/deb/horlet_*.deb)
cp "$scratch/$name.tar.gz" "$scratch/deb/$deb" .
for a in $archives; do
	cp "$scratch/$a" .
done
sha256sum "$name.tar.gz" "$deb" $archives >SHA256SUMS
if [ -n "${HORLET_SIGN_KEY:-}" ]; then
	gpg --batch --yes --local-user "$HORLET_SIGN_KEY" --armor --detach-sign \
		--output SHA256SUMS.asc SHA256SUMS || fail "signing SHA256SUMS with $HORLET_SIGN_KEY failed"
fi
echo "release: $out"
sed 's/^/  /' SHA256SUMS
[ ! -f SHA256SUMS.asc ] || echo "  SHA256SUMS.asc: signed by $HORLET_SIGN_KEY"
