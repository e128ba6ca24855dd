#!/bin/sh
# The README's static build, as it stands there: the musl tool chain file
# with no target named configures for x86_64.
# usage: musl_default.sh SOURCE_DIR
set -eu
src=$1
[ "$(uname -m)" = x86_64 ] || { echo "not an x86_64 host"; exit 77; }
[ -f /usr/lib/x86_64-linux-musl/libc.a ] || { echo "musl-dev is not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cmake -S "$src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$src/pkg/musl.cmake" >"$dir/log" 2>&1 ||
	{ cat "$dir/log"; echo "the musl tool chain file does not configure without a target"; exit 1; }
[ -f "$dir/musl-x86_64.specs" ] || { echo "configured, but not for x86_64"; exit 1; }
echo "musl tool chain: x86_64 by default"
