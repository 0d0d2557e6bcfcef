#!/usr/bin/env bash
# The bash completions offer the options, the values of an option, and the
# image files for mcuflash.
# Usage: completion_test.sh COMPLETION_DIR
set -u
completion=$(cd "$1" && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/images"
touch "$dir/images/fw-1.bin" "$dir/images/fw-2.bin" "$dir/images/fw.elf" "$dir/images/fw.hex" \
  "$dir/images/fw.srec" "$dir/images/notes.txt" "$dir/images/run.pcap"
cd "$dir/images" || exit 1
# Each row: the command line typed so far ('|' is where the cursor stands),
# then what is offered, sorted, on one line.
cases=(
  'unitctl -|=-M -S -U -V -b -c -f -h -l -m -r -s -t -u -v -w'
  'unitctl -t |=0 1'
  'unitctl -m |=0 1 2 3'
  'unitctl -M 1|=1'
  'unitctl -b -|='
  'mcuflash -|=-V -c -d -h -r -v'
  'mcuflash -d fw.e|=fw.elf'
  'mcuflash -d x |='
  'mcuflash -v |=fw-1.bin fw-2.bin fw.elf fw.hex fw.srec'
  'mcuflash fw-1|=fw-1.bin'
  'mcuflash fw-1.bin |='
  'unitmon --c|=--count'
  'unitmon -r |=run.pcap'
  'unitmon --json --t|=--timeout'
  'unitmon --m|=--max-units --metrics'
  'unitmon --v|=--version'
)
failures=0
for c in "${cases[@]}"; do
  line=${c%%|=*} want=${c#*|=}
  got=$(bash --norc -c '
    shopt -s extglob
    for f in "$0"/*; do source "$f"; done
    read -ra COMP_WORDS <<< "$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))
    $(complete -p "${COMP_WORDS[0]}" | sed -E "s/.*-F ([^ ]+).*/\1/")
    printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd " "' "$completion" "$line")
  if [ "$got" = "$want" ]; then echo "ok: '$line'"; else echo "FAIL: '$line' offers '$got', not '$want'"; failures=$((failures + 1)); fi
done
echo "$failures failed"
[ "$failures" = 0 ]
