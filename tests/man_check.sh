#!/bin/sh
# Every option of the usage text has an entry in the man page, and mandoc
# finds nothing to warn about in it.  Without mandoc the check cannot be
# made, and says so with status 77, which ctest shows as skipped.
# usage: man_check.sh HORLET PAGE
set -eu
horlet=$1 page=$2
if ! command -v mandoc >/dev/null; then
	echo "mandoc is not installed: the man page was not checked"
	exit 77
fi
status=0
opts=$("$horlet" -? | sed -n 's/^  -\(.\).*/\1/p')
for o in $opts '?'; do
	# An entry is ".B \-x" alone on its line, or ".BI \-x" and a value.
	if ! grep -qFx -- ".B \\-$o" "$page" && ! grep -qF -- ".BI \\-$o \"" "$page"; then
		echo "option -$o is missing from $page"
		status=1
	fi
done
mandoc -T lint -W warning "$page" || status=1
[ $status -eq 0 ] && echo "man page: options $(echo $opts | tr -d ' ')? documented, lint clean"
exit $status
