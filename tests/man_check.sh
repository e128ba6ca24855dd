#!/bin/sh
# Every option of the usage text has an entry in the man page, and mandoc
# finds nothing to warn about in it.  usage: man_check.sh HORLET PAGE
set -eu
horlet=$1 page=$2
status=0
opts=$("$horlet" -? | sed -n 's/^  -\(.\).*/\1/p')
for o in $opts '?'; do
	pattern=".It Fl $o"
	[ "$o" = '?' ] && pattern='.It Fl \&?'
	if ! grep -qF -- "$pattern" "$page"; then
		echo "option -$o is missing from $page"
		status=1
	fi
done
if command -v mandoc >/dev/null; then
	mandoc -T lint -W warning "$page" || status=1
fi
[ $status -eq 0 ] && echo "man page: options $(echo $opts | tr -d ' ')? documented, lint clean"
exit $status
