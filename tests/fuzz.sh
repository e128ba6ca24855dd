#!/bin/sh
# Both fuzzers at once, one a core, from the seed corpus in the repository
# into a scratch corpus, each for SECONDS; each prints its own summary.
# usage: fuzz.sh SCRATCH_DIR SECONDS
set -eu
scratch=$1 seconds=$2
rm -rf "$scratch"
mkdir -p "$scratch"
fuzz() {
	target=$1
	corpus=$scratch/$target
	mkdir "$corpus"
	build-fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
		-artifact_prefix="$corpus/" "$corpus" "fuzz/corpus/${target%_fuzz}" \
		>"$scratch/$target.log" 2>&1 || { cat "$scratch/$target.log"; return 1; }
	sed -n "s/^stat::number_of_executed_units: */$target: executed units: /p" "$scratch/$target.log"
}
fuzz stream_fuzz &
stream=$!
fuzz stamp_fuzz || { wait $stream; exit 1; }
wait $stream
