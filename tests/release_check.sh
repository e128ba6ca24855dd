#!/bin/sh
# Makes the release twice, from clones of this repository's last commit in
# two directories (one under a directory named builds/, with an untracked
# file beside the sources), at different times, and checks that the
# source tarball holds exactly the tracked files under one top directory,
# that the three artifacts and their sums are the same byte for byte, that
# the static binary runs, and that outside a git checkout the release
# fails with a message instead.
# usage: release_check.sh
set -eu
src=$(pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
	echo "release: $*"
	exit 1
}

mkdir -p "$scratch/builds" "$scratch/elsewhere"
git clone -q "$src" "$scratch/builds/horlet"
git clone -q "$src" "$scratch/elsewhere/copy"
echo "not tracked" >"$scratch/builds/horlet/notes.txt"
sh "$scratch/builds/horlet/pkg/release.sh" "$scratch/one" >"$scratch/log" 2>&1 ||
	{ cat "$scratch/log"; fail "making the release failed"; }
sleep 1
sh "$scratch/elsewhere/copy/pkg/release.sh" "$scratch/two" >"$scratch/log" 2>&1 ||
	{ cat "$scratch/log"; fail "making the release again failed"; }

cd "$scratch/one"
tarball=$(ls horlet-*.tar.gz)
top=$(basename "$tarball" .tar.gz)
git -C "$scratch/builds/horlet" ls-files | sed "s|^|$top/|" | sort >"$scratch/tracked"
tar tzf "$tarball" | grep -v '/$' | sort >"$scratch/packed"
diff "$scratch/tracked" "$scratch/packed" >/dev/null ||
	fail "the tarball does not hold exactly the tracked files: $(diff "$scratch/tracked" "$scratch/packed" | head -5)"
(cd "$scratch/one" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match"
for f in *; do
	cmp -s "$f" "$scratch/two/$f" || fail "$f differs when made again"
done
static=$(ls horlet-*-linux-static)
[ "$(printf 'a\n' | "./$static" -f 'T ')" = "T a" ] || fail "the static binary does not run"

# Not a git checkout: a clear failure, never an empty tarball.
mkdir "$scratch/plain"
cp -r "$scratch/elsewhere/copy/CMakeLists.txt" "$scratch/elsewhere/copy/pkg" "$scratch/plain/"
if sh "$scratch/plain/pkg/release.sh" "$scratch/three" >"$scratch/log" 2>&1; then
	fail "made a release outside a git checkout"
fi
grep -q "not a git checkout" "$scratch/log" || fail "no clear message outside a git checkout"

echo "release: $(ls | tr '\n' ' ')the same when made twice; $(wc -l <"$scratch/packed") tracked files"
