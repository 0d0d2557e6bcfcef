#!/usr/bin/env bash
# unitmon under the load of a large fleet, inside a network namespace of its
# own: bench/telemetry_flood.c sends the telemetry of UNITS units at RATE
# datagrams/s for SECONDS to `unitmon --metrics --quiet`, while curl scrapes
# /metrics 20 times. Reports datagrams lost (the kernel's receive-queue
# drops and unitmon's own counters against what was sent), unitmon's CPU
# share and peak RSS, and the scrape times.
# Usage: scripts/bench-unitmon.sh [UNITMON] [SECONDS] [UNITS] [RATE]
set -euo pipefail
unitmon=$(realpath "${1:-build/unitmon/unitmon}")
seconds=${2:-60} units=${3:-10000} rate=${4:-30000}
if [ "${BENCH_IN_NETNS:-}" != 1 ]; then
  BENCH_IN_NETNS=1 exec unshare --net "$BASH" "$0" "$unitmon" "$seconds" "$units" "$rate"
fi
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$dir"' EXIT
ip link set lo up
ip addr add 10.1.0.1/16 dev lo   # the units' addresses are all local
cc -O2 -o "$dir/flood" "$here/bench/telemetry_flood.c"

"$unitmon" --metrics 127.0.0.1:9102 --quiet --max-units "$units" & pid=$!
for _ in $(seq 50); do curl -sf -o /dev/null http://127.0.0.1:9102/metrics && break; sleep 0.1; done
udp_errors() { awk '/^Udp:/ { if (++n == 1) { for (i = 2; i <= NF; i++) if ($i == "RcvbufErrors") c = i } else print $c }' /proc/net/snmp; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
drops0=$(udp_errors) ticks0=$(cpu_ticks) t0=$(date +%s.%N)

"$dir/flood" "$units" "$rate" "$seconds" > "$dir/sent" & flood=$!
sleep $(( seconds > 20 ? 5 : 2 ))
gap=$(awk -v s="$seconds" 'BEGIN { g = (s - (s > 20 ? 10 : 4)) / 20; print (g > 0.1 ? g : 0.1) }')
for _ in $(seq 20); do
  curl -s -o "$dir/scrape" -w '%{time_total}\n' http://127.0.0.1:9102/metrics >> "$dir/times"
  sleep "$gap"
done
wait "$flood" || true
t1=$(date +%s.%N) ticks1=$(cpu_ticks)
sleep 1
drops1=$(udp_errors)
curl -s http://127.0.0.1:9102/metrics > "$dir/final"
sent=$(awk '{ print $2 }' "$dir/sent")
got=$(awk '/^unitmon_datagrams_received_total/ { s += $2 } END { print s }' "$dir/final")
malformed=$(awk '/^unitmon_datagrams_malformed_total/ { print $2 }' "$dir/final")
dropped=$(awk '/^unitmon_datagrams_dropped_total/ { print $2 }' "$dir/final")
known=$(awk '/^unitmon_units / { print $2 }' "$dir/final")
hz=$(getconf CLK_TCK)
echo "sender: $(cat "$dir/sent")"
echo "unitmon: received $got, lost $((sent - got)), kernel receive-queue drops $((drops1 - drops0)), malformed $malformed, dropped at the limit $dropped, units $known"
awk -v a="$ticks0" -v b="$ticks1" -v t0="$t0" -v t1="$t1" -v hz="$hz" \
  'BEGIN { printf "unitmon CPU: %.1f %% of one core\n", 100 * (b - a) / hz / (t1 - t0) }'
echo "unitmon peak RSS: $(awk '/^VmHWM/ { print $2, $3 }' "/proc/$pid/status")"
echo "scrape of $known units, $(wc -c < "$dir/scrape") bytes: median $(sort -n "$dir/times" | awk '{ a[NR] = $1 } END { printf "%.1f ms (min %.1f, max %.1f)", 500 * (a[10] + a[11]), 1000 * a[1], 1000 * a[NR] }')"
