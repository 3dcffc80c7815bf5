#!/bin/sh
# `cmake --install` into an empty prefix: the program, its manual page, the catalogues and the README where the
# README says, and the installed program finding its German messages the way the README shows.
#   install_test.sh CMAKE BUILD_DIR
set -u
cmake=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

"$cmake" --install "$build" --prefix "$prefix" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
(cd "$prefix" && find . -type f | LC_ALL=C sort) >"$work/installed"
printf '%s\n' ./bin/tail ./share/doc/tail/README ./share/man/man1/tail.1 \
  ./share/tail/nls/de/nvo.cat ./share/tail/nls/fr/nvo.cat | cmp -s - "$work/installed" ||
  { fail "installed files:"; cat "$work/installed"; }

NLSPATH="$prefix/share/tail/nls/%l/%N.cat" LANG=de_DE "$prefix/bin/tail" "$prefix/missing" >/dev/null 2>"$work/err"
status=$?
[ "$status" -eq 1 ] || fail "installed tail on a missing file: status $status"
grep -qF "tail: Eingabedatei \"$prefix/missing\"" "$work/err" || { fail "German message"; cat "$work/err"; }

[ "$failures" -eq 0 ] && echo "installed as the README says"
exit "$failures"
