#!/bin/sh
# One step of the whole test suite, as ctest runs it: runs the command
# with its output kept in LOGS/NAME.log, and writes LOGS/NAME.summary: the
# CPU time the step took, and the lines of its output that match SHOW (an
# extended regular expression; - for none).  A step that fails shows
# all it printed.
# usage: step.sh LOGS NAME SHOW COMMAND...
set -u
logs=$1 name=$2 show=$3
shift 3
mkdir -p "$logs"
log=$logs/$name.log
rm -f "$logs/$name.summary"
if ! "$@" >"$log" 2>&1; then
	cat "$log"
	echo "FAILED: $name"
	exit 1
fi
# The CPU time of the command and all it started: the shell's times, from
# the shell itself (a subshell would count its own).
times >"$log.times"
{
	echo "$name: CPU $(awk 'NR == 2 { split($1, u, /m/); split($2, s, /m/)
		printf "%.0f", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$log.times") s"
	[ "$show" = - ] || grep -E "$show" "$log" || true
} >"$logs/$name.summary"
