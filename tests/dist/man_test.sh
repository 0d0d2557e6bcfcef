#!/usr/bin/env bash
# The manual pages are clean for mandoc's linter, and every option in a
# program's usage text (its -h output) has an entry in its page.
# Usage: man_test.sh MAN_DIR UNITCTL MCUFLASH UNITMON
set -u
man=$1
command -v mandoc >/dev/null || { echo "SKIP: mandoc is not installed"; exit 77; }
failures=0
# Warnings and errors; the style level only reports this machine's man database.
for page in "$man"/unitctl.8 "$man"/mcuflash.8 "$man"/unitmon.1; do
  out=$(mandoc -T lint -W warning "$page" 2>&1)
  if [ $? != 0 ] || [ -n "$out" ]; then
    echo "FAIL: mandoc -T lint $page"
    echo "$out"
    failures=$((failures + 1))
  fi
done
check_options() {  # program page
  local usage opt entry
  usage=$("$1" -h) || { echo "FAIL: $1 -h"; failures=$((failures + 1)); return; }
  for opt in $(grep -oE '(^|[ ,])--?[A-Za-z][-A-Za-z]*' <<< "$usage" | tr -d ' ,' | sort -u); do
    if [[ $opt == --* ]]; then entry="Fl Fl ${opt#--}"; else entry="^\.It Fl ${opt#-}( |$)"; fi
    if ! grep -qE "$entry" "$2"; then
      echo "FAIL: $(basename "$1") $opt has no entry in $(basename "$2")"
      failures=$((failures + 1))
    fi
  done
}
check_options "$2" "$man/unitctl.8"
check_options "$3" "$man/mcuflash.8"
check_options "$4" "$man/unitmon.1"
echo "$failures failed"
[ "$failures" = 0 ]
