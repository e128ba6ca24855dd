#!/bin/sh
# Which way of scanning a horlet binary runs, as the code that ran tells
# it: the copy loop's entries that valgrind's callgrind saw called, for an
# input of short and long blocks, must all be those of the path named.
# usage: path_check.sh BINARY PATH
set -eu
bin=$1
want=$2
command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
seq 1 20000 >"$dir/in"
valgrind --tool=callgrind --callgrind-out-file="$dir/cg" "$bin" -f 'T ' <"$dir/in" >/dev/null 2>"$dir/log" ||
	{ cat "$dir/log"; exit 1; }
ran=$(callgrind_annotate --auto=no --threshold=100 "$dir/cg" | grep -o 'scan_[a-z0-9]*_\(few\|many\)' | sort -u | tr '\n' ' ')
case $ran in
"") echo "no scan entry seen: $bin has no symbols?"; exit 1 ;;
*)
	for entry in $ran; do
		case $entry in
		scan_${want}_few | scan_${want}_many) ;;
		*) echo "$bin ran $ran, not the $want path alone"; exit 1 ;;
		esac
	done
	;;
esac
echo "$bin: $ran"
