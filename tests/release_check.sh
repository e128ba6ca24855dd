#!/bin/sh
# Makes the release twice, side by side, from clones of this repository's
# last commit in two directories: one under a directory named builds/, with an untracked
# file beside the sources, under umask 022; the other reached through a
# symbolic link, later, under umask 0000, another TZ and another locale,
# and signed with a throwaway key.  Checks that the source tarball holds
# exactly the tracked files under one top directory, that each static
# archive holds its binary, man page, README, licence and changelog under
# one top directory, that every file is the same byte for byte both times
# and covered by SHA256SUMS, that the signature verifies, that the x86_64
# binary runs, and that outside a git checkout, or in a copy of the
# sources inside another git repository, the release fails with a message.
# The first release is left in DIR, for the static check.
# usage: release_check.sh DIR
set -eu
src=$(pwd)
keep=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
	echo "release: $*"
	exit 1
}

mkdir -p "$scratch/builds" "$scratch/elsewhere"
git clone -q "$src" "$scratch/builds/horlet"
git clone -q "$src" "$scratch/elsewhere/copy"
ln -s "$scratch/elsewhere/copy" "$scratch/link"
echo "not tracked" >"$scratch/builds/horlet/notes.txt"
# The two are made side by side, the second started a second or more
# after the first: most of a release's time is cmake's set-up of a build,
# which uses one core.
(umask 022 && sh "$scratch/builds/horlet/pkg/release.sh" "$scratch/one") >"$scratch/log.one" 2>&1 &
first=$!

# A throwaway signing key, in a keyring of its own.
GNUPGHOME=$scratch/gnupg
export GNUPGHOME
mkdir -m 700 "$GNUPGHOME"
gpg --batch --passphrase '' --quick-gen-key 'horlet release check <check@example.org>' \
	ed25519 sign never >"$scratch/log" 2>&1 || { cat "$scratch/log"; fail "no signing key could be made"; }
key=$(gpg --batch --with-colons --list-secret-keys | sed -n 's/^fpr:*\([0-9A-F]*\):.*/\1/p' | head -n 1)
sleep 1
(cd "$scratch/link" && umask 0000 && TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 HORLET_SIGN_KEY=$key \
	sh pkg/release.sh "$scratch/two") >"$scratch/log" 2>&1 ||
	{ cat "$scratch/log"; wait $first; fail "making the release again (umask 0000, another TZ and locale, through a link) failed"; }
wait $first || { cat "$scratch/log.one"; fail "making the release failed"; }

cd "$scratch/one"
tarball=$(ls horlet-[0-9]*.tar.gz | grep -v linux-musl)
top=$(basename "$tarball" .tar.gz)
git -C "$scratch/builds/horlet" ls-files | sed "s|^|$top/|" | sort >"$scratch/tracked"
tar tzf "$tarball" | grep -v '/$' | sort >"$scratch/packed"
diff "$scratch/tracked" "$scratch/packed" >/dev/null ||
	fail "the tarball does not hold exactly the tracked files: $(diff "$scratch/tracked" "$scratch/packed" | head -5)"
for target in x86_64 aarch64 armv7; do
	archive=$top-$target-linux-musl.tar.gz
	[ -f "$archive" ] || fail "no $archive"
	want=$(for f in '' LICENSE README.md changelog horlet horlet.1; do echo "$top-$target-linux-musl/$f"; done)
	[ "$(tar tzf "$archive")" = "$want" ] || fail "$archive holds: $(tar tzf "$archive" | tr '\n' ' ')"
done
ls | grep -vx SHA256SUMS | sort >"$scratch/files"
awk '{print $2}' SHA256SUMS | sort | diff - "$scratch/files" >/dev/null || fail "SHA256SUMS does not cover every file"
sha256sum -c --quiet SHA256SUMS || fail "SHA256SUMS does not match"
for f in *; do
	cmp -s "$f" "$scratch/two/$f" || fail "$f differs when made again"
done
[ "$(ls "$scratch/two" | grep -vx SHA256SUMS.asc)" = "$(ls)" ] || fail "the second release holds other files"
gpg --batch --verify "$scratch/two/SHA256SUMS.asc" "$scratch/two/SHA256SUMS" 2>"$scratch/log" ||
	{ cat "$scratch/log"; fail "the signature of SHA256SUMS does not verify"; }
tar xzf "$top-x86_64-linux-musl.tar.gz" -C "$scratch"
[ "$(printf 'a\n' | "$scratch/$top-x86_64-linux-musl/horlet" -f 'T ')" = "T a" ] ||
	fail "the static binary does not run"

# Not a git checkout, or a copy of the sources inside another repository:
# a clear failure, never an empty tarball or the other repository's files.
mkdir "$scratch/plain"
cp -r "$scratch/elsewhere/copy/CMakeLists.txt" "$scratch/elsewhere/copy/pkg" "$scratch/plain/"
git init -q "$scratch/outer"
git -C "$scratch/outer" -c user.name=t -c user.email=t@example.org commit -q --allow-empty -m outer
cp -r "$scratch/plain" "$scratch/outer/horlet"
for dir in plain outer/horlet; do
	if sh "$scratch/$dir/pkg/release.sh" "$scratch/three" >"$scratch/log" 2>&1; then
		fail "made a release in $dir, which is not a git checkout of horlet"
	fi
	grep -q "not a git checkout" "$scratch/log" || fail "no clear message in $dir"
done

rm -rf "$keep"
cp -r "$scratch/one" "$keep"
echo "release: $(ls | tr '\n' ' ')the same when made twice (umask 022 and 0000, TZ and locale, through a link), signature verified; $(wc -l <"$scratch/packed") tracked files"
