#!/usr/bin/env bash
# The Wireshark dissector names every field of the three datagrams in a
# capture that the simulated board wrote while the telemetry service ran.
# Usage: dissector_test.sh DISSECTOR UNITCTL BOARDSIM
set -u
lua=$1 unitctl=$2 boardsim=$3
command -v tshark >/dev/null || { echo "SKIP: tshark is not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
echo '<krv><major>2</major><minor>7</minor><patch>300</patch></krv>' > "$dir/krv_version.xml"
"$boardsim" --dir "$dir" --set net.stop_after=3 --set time.fast_sleep=1 \
  --set fw.battery=42 --set fw.charging=2 --set fw.serial=SU07-11042 \
  --set fw.uuid=00112233445566778899aabbccddeeff -- "$unitctl" > /dev/null
fields=(unitboard.type unitboard.battery unitboard.charging unitboard.version.major
        unitboard.version.minor unitboard.version.patch unitboard.serial unitboard.uuid)
got=$(tshark -n -r "$dir/datagrams.pcap" -X "lua_script:$lua" -T fields -E separator=, \
        "${fields[@]/#/-e}" 2> "$dir/err")
expected='0,42,2,,,,,
1,,,2,7,300,,
2,,,,,,SU07-11042,00112233445566778899aabbccddeeff'
info=$(tshark -n -r "$dir/datagrams.pcap" -X "lua_script:$lua" -T fields -e _ws.col.Info 2>/dev/null)
expected_info='Status: battery 42 %, charging Error
Version 2.7.300
Identity SU07-11042'
failures=0
[ "$got" = "$expected" ] || { echo "FAIL: fields"; echo "$got"; cat "$dir/err"; failures=1; }
[ "$info" = "$expected_info" ] || { echo "FAIL: info column"; echo "$info"; failures=1; }
[ "$failures" = 0 ] && echo "ok: every field of the three datagrams"
exit "$failures"
