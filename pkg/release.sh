#!/bin/sh
# Makes the release into one folder (release/ by default): the source
# tarball of the commit checked out, made from git's own list of tracked
# files; the Debian package and the static binary, both built from that
# tarball; and SHA256SUMS of the three.  Each is the same byte for byte
# when made again from the same commit, wherever the checkout sits: times
# come from the commit, names are sorted, the owner is fixed, and gzip
# keeps no name or time.
# usage: sh pkg/release.sh [DIR]
set -eu
fail() {
	echo "release: $*" >&2
	exit 1
}
src=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-release}
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

# The package and the static binary, built from the tarball alone.
log=$scratch/build.log
{ cmake -S "$scratch/$name" -B "$scratch/deb" -DCMAKE_BUILD_TYPE=Release &&
	cmake --build "$scratch/deb" -j"$(nproc)" &&
	(cd "$scratch/deb" && cpack -G DEB); } >"$log" 2>&1 || { cat "$log"; fail "the Debian package failed"; }
static=$name-$(uname -m)-linux-static
{ cmake -S "$scratch/$name" -B "$scratch/musl" -DCMAKE_TOOLCHAIN_FILE=pkg/musl.cmake \
	-DCMAKE_BUILD_TYPE=Release && cmake --build "$scratch/musl" -j"$(nproc)" &&
	strip -o "$scratch/$static" "$scratch/musl/horlet"; } >"$log" 2>&1 ||
	{ cat "$log"; fail "the static binary failed"; }
touch -d "@$SOURCE_DATE_EPOCH" "$scratch/$static"

cd "$out"
rm -f SHA256SUMS
cp "$scratch/$name.tar.gz" "$scratch"/deb/horlet_*.deb "$scratch/$static" .
sha256sum "$name.tar.gz" "$(basename "$scratch"/deb/horlet_*.deb)" "$static" >SHA256SUMS
echo "release: $out"
sed 's/^/  /' SHA256SUMS
