#!/bin/sh
# The Windows release archive as a user meets it: made by CPack, unpacked into an empty folder, its README and
# manual plain text for Notepad, and the unpacked tail.exe run under Wine on a wildcard word, and with German
# messages from its own catalogues, named by NLSPATH and found beside tail.exe without it.
#   archive_test.sh CMAKE CPACK BUILD_DIR WINE_RUN VERSION
set -u
cmake=$1 cpack=$2 build=$3 wine=$4 version=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

"$cpack" --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
archive=$work/package/tail-$version-win64.zip
top=tail-$version-win64

# Exactly the program, the README, the manual and the two catalogues.
"$cmake" -E tar tf "$archive" | grep -v '/$' | LC_ALL=C sort >"$work/names"
printf '%s\n' "$top/README.txt" "$top/nls/de/nvo.cat" "$top/nls/fr/nvo.cat" "$top/tail.exe" "$top/tail.txt" \
  >"$work/expected-names"
cmp -s "$work/names" "$work/expected-names" || { fail "archive contents:"; cat "$work/names"; }

mkdir "$work/unpacked"
cd "$work/unpacked" && "$cmake" -E tar xf "$archive" && cd "$top" || { fail "unpacking $archive"; exit 1; }
for text in README.txt tail.txt; do
  awk '!/\r$/ { bad = 1 } END { exit bad }' "$text" || fail "$text has a line without CR LF"
  tr -d '\r' <"$text" | LC_ALL=C grep -n '[^ -~]' | head -3 | grep . && fail "$text: not plain text (overstrikes, escapes)"
done
grep -q '^ *tail -f server.log' tail.txt || fail "tail.txt: the manual's examples are missing"
printf 'one\ntwo\nthree\n' >data.txt

# run NAME STATUS EXPECTED-OUTPUT COMMAND...: runs the command with the
# unpacked tail.exe, standard error to $work/err, and checks status and output.
run() {
  name=$1 status=$2 expected=$3
  shift 3
  "$@" >"$work/out" 2>"$work/err"
  actual=$?
  [ "$actual" -eq "$status" ] || fail "$name: status $actual, expected $status"
  printf "$expected" | cmp -s - "$work/out" || { fail "$name: output"; od -c "$work/out" | head -5; }
}
run "a wildcard word" 0 'two\r\nthree\r\n' "$wine" tail.exe -n 2 'da*.txt'

# german NAME STATUS EXPECTED-OUTPUT COMMAND...: run, and standard error has the usage error in German from the
# unpacked catalogue, in code page 850 (u umlaut is 0x81).
german() {
  run "$@"
  LC_ALL=C grep -qF "$(printf 'Ung\201ltiges Optionszeichen "x" in "-x"')" "$work/err" ||
    { fail "$1: message"; cat "$work/err"; }
}
nlspath=$(printf 'Z:%s\\nls\\%%l\\%%N.cat' "$(pwd | tr / '\\')")
german "German, NLSPATH naming the catalogues by their Windows path" 2 '' env NLSPATH="$nlspath" LANG=de_DE \
  "$wine" tail.exe -x data.txt
# Without NLSPATH, a language named the Windows way finds the nls folder beside tail.exe.
german "German beside tail.exe" 2 '' env -u NLSPATH -u LC_ALL -u LC_MESSAGES LANG=German_Germany.1252 \
  "$wine" tail.exe -x data.txt

[ "$failures" -eq 0 ] && echo "the unpacked archive works: $archive"
exit "$failures"
