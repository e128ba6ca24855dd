#!/bin/sh
# Builds the program with the GNU extensions off, to the POSIX.1-2008
# interfaces alone, with g++ and libstdc++ and with clang and libc++ (the
# closest this machine has to the macOS tool chain), warnings as errors,
# and runs each build on a sample.
# usage: strict_build.sh SCRATCH_DIR
set -eu
out=$1
mkdir -p "$out"
flags="-std=c++20 -U_GNU_SOURCE -D_POSIX_C_SOURCE=200809L -O2 -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Werror -Isrc"
for cxx in "g++" "clang++ -stdlib=libc++"; do
	name=$(echo "$cxx" | cut -d' ' -f1)
	# shellcheck disable=SC2086
	$cxx $flags src/*.cpp -o "$out/horlet-$name"
	got=$(printf 'a\n\nb' | "$out/horlet-$name" -f 'T ')
	[ "$got" = "$(printf 'T a\n\nT b')" ] || { echo "$cxx: the strict build stamps wrongly"; exit 1; }
	echo "strict POSIX.1-2008 build: $cxx"
done
