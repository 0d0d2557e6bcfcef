#!/usr/bin/env bash
# unitmon under the load of a large fleet, inside a network namespace of its
# own: bench/telemetry_flood.cpp sends the telemetry of UNITS units at RATE
# datagrams/s for SECONDS to `unitmon --metrics --quiet --state`, while
# CLIENTS clients scrape /metrics in a loop and, with GAP, one more client
# every GAP seconds. Reports datagrams lost (what was sent against unitmon's
# counters, the kernel's receive-queue drops, unitmon_receive_drops_total),
# unitmon's CPU share and peak RSS, the scrape times (median, p99), and the
# state file: its size, the time to write it (at the stop) and to load it
# (a second start until the first scrape shows every unit).
# With RMEM_MAX=BYTES in the environment, unitmon's receive buffer is what
# a host with that net.core.rmem_max would grant (Debian's stock: 212992):
# a preloaded shim caps the request, as that host's kernel would, since the
# limit itself cannot be set inside a network namespace.
# Usage: scripts/bench-unitmon.sh [UNITMON] [SECONDS] [UNITS] [RATE] [CLIENTS] [GAP]
set -euo pipefail
unitmon=$(realpath "${1:-build/unitmon/unitmon}")
seconds=${2:-60} units=${3:-10000} rate=${4:-30000} clients=${5:-1} gap=${6:-0}
if [ "${BENCH_IN_NETNS:-}" != 1 ]; then
  BENCH_IN_NETNS=1 exec unshare --net "$BASH" "$0" "$unitmon" "$seconds" "$units" "$rate" "$clients" "$gap"
fi
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$dir"' EXIT
ip link set lo up
ip addr add 10.0.0.1/8 dev lo   # the units' addresses are all local
c++ -std=c++20 -O2 -I"$here/common" -o "$dir/flood" "$here/bench/telemetry_flood.cpp"
if [ -n "${RMEM_MAX:-}" ]; then
  cat > "$dir/rmem.c" <<C
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/socket.h>
int setsockopt(int fd, int level, int name, const void *value, socklen_t len) {
  static int (*real)(int, int, int, const void *, socklen_t);
  if (!real) real = dlsym(RTLD_NEXT, "setsockopt");
  int capped = $RMEM_MAX;
  if (level == SOL_SOCKET && name == SO_RCVBUF && *(const int *)value > capped) value = &capped;
  return real(fd, level, name, value, len);
}
C
  cc -shared -fPIC -O2 -o "$dir/rmem.so" "$dir/rmem.c" -ldl
  preload=$dir/rmem.so
fi
url=http://127.0.0.1:9102/metrics
metric() { awk -v m="$1" '$1 == m { print $2 }' "$2"; }

LD_PRELOAD=${preload:-} "$unitmon" --metrics 127.0.0.1:9102 --quiet --max-units "$units" --state "$dir/state" 2> "$dir/err" & pid=$!
for _ in $(seq 50); do curl -sf -o /dev/null "$url" && break; sleep 0.1; done
udp_errors() { awk '/^Udp:/ { if (++n == 1) { for (i = 2; i <= NF; i++) if ($i == "RcvbufErrors") c = i } else print $c }' /proc/net/snmp; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
drops0=$(udp_errors) ticks0=$(cpu_ticks) t0=$(date +%s.%N)

"$dir/flood" "$units" "$rate" "$seconds" > "$dir/sent" & flood=$!
scrapers=()
if [ "$gap" != 0 ]; then
  (while kill -0 "$flood" 2>/dev/null; do
     curl -s -o /dev/null -w '%{time_total}\n' "$url" >> "$dir/times"; sleep "$gap"
   done) & scrapers+=("$!")
fi
for c in $(seq "$clients"); do
  (while kill -0 "$flood" 2>/dev/null; do
     curl -s -o /dev/null -w '%{time_total}\n' "$url" >> "$dir/times.$c"
   done) & scrapers+=("$!")
done
wait "$flood" || true
t1=$(date +%s.%N) ticks1=$(cpu_ticks)
[ ${#scrapers[@]} = 0 ] || wait "${scrapers[@]}" 2>/dev/null || true
sleep 1.5   # past the shared exposition's second
drops1=$(udp_errors)
curl -s "$url" > "$dir/final"
cat "$dir"/times* > "$dir/all-times" 2>/dev/null || true
load=$(cut -d' ' -f1-3 /proc/loadavg)
sent=$(awk '{ print $2 }' "$dir/sent")
got=$(awk '/^unitmon_datagrams_received_total/ { s += $2 } END { print s }' "$dir/final")
known=$(metric unitmon_units "$dir/final")
hz=$(getconf CLK_TCK)
echo "load average at the end of the flood: $load"
echo "sender: $(cat "$dir/sent")"
echo "unitmon: received $got, lost $((sent - got)), kernel receive-queue drops $((drops1 - drops0)), unitmon_receive_drops_total $(metric unitmon_receive_drops_total "$dir/final"), malformed $(metric unitmon_datagrams_malformed_total "$dir/final"), dropped at the limit $(metric unitmon_datagrams_dropped_total "$dir/final"), units $known, receive buffer $(metric unitmon_receive_buffer_bytes "$dir/final")"
awk -v a="$ticks0" -v b="$ticks1" -v t0="$t0" -v t1="$t1" -v hz="$hz" \
  'BEGIN { printf "unitmon CPU: %.1f %% of one core\n", 100 * (b - a) / hz / (t1 - t0) }'
echo "unitmon peak RSS: $(awk '/^VmHWM/ { print $2, $3 }' "/proc/$pid/status")"
echo "scrapes ($clients in a loop, gap $gap; $(wc -l < "$dir/all-times") of $known units, $(wc -c < "$dir/final") bytes): $(sort -n "$dir/all-times" | awk '{ a[NR] = $1 } END { m = int((NR + 1) / 2); p = int(NR * 0.99); if (p < 1) p = 1; if (NR) printf "median %.1f ms, p99 %.1f ms, max %.1f ms", 1000 * a[m], 1000 * a[p], 1000 * a[NR] }')"
# One more datagram, so that the stop has a table to write.
printf '\0\0\62\1' > /dev/udp/127.0.0.1/2013
sleep 0.2
s0=$(date +%s.%N)
kill -TERM "$pid"; wait "$pid" || true
s1=$(date +%s.%N)
LD_PRELOAD=${preload:-} "$unitmon" --metrics 127.0.0.1:9102 --quiet --max-units "$units" --state "$dir/state" 2>> "$dir/err" & pid=$!
until [ "$(curl -sf "$url" | awk '$1 == "unitmon_units" { print $2 }')" = "$known" ]; do sleep 0.05; done
s2=$(date +%s.%N)
kill -TERM "$pid"; wait "$pid" || true
awk -v s0="$s0" -v s1="$s1" -v s2="$s2" -v size="$(stat -c %s "$dir/state")" \
  'BEGIN { printf "state file: %d bytes; a stop with its last write %.0f ms; a start until the first scrape shows every unit %.0f ms\n", size, 1000 * (s1 - s0), 1000 * (s2 - s1) }'
echo "unitmon said: $(sort -u "$dir/err" | tr '\n' ' ')"
