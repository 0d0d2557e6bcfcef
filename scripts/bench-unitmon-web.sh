#!/usr/bin/env bash
# unitmon's web side at fleet size, inside a network namespace of its own:
# UNITS units sent by bench/telemetry_flood.c, then the fleet page and the
# scrape with and without gzip, over plain HTTP and over TLS with a
# password (sizes, median time of 20, unitmon's CPU per answer), and last
# the datagrams lost at RATE/s while a TLS client scrapes with gzip every 5 s.
# Usage: scripts/bench-unitmon-web.sh [UNITMON] [UNITS] [RATE] [SECONDS]
set -euo pipefail
unitmon=$(realpath "${1:-build/unitmon/unitmon}")
units=${2:-10000} rate=${3:-30000} seconds=${4:-30}
if [ "${BENCH_IN_NETNS:-}" != 1 ]; then
  BENCH_IN_NETNS=1 exec unshare --net "$BASH" "$0" "$unitmon" "$units" "$rate" "$seconds"
fi
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$dir"' EXIT
cd "$dir"
ip link set lo up
ip addr add 10.1.0.1/16 dev lo   # the units' addresses are all local
cc -O2 -o flood "$here/bench/telemetry_flood.c"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=unitmon \
  -addext subjectAltName=IP:127.0.0.1 -keyout key.pem -out cert.pem 2>/dev/null
hash=$(perl -e 'print crypt("s3cret", "\$2b\$10\$abcdefghijklmnopqrstuu")')
printf 'tls_server_config: {cert_file: cert.pem, key_file: key.pem}\nbasic_auth_users: {prometheus: "%s"}\n' \
  "$hash" > web.yml
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
measure() {  # pid label curl-arguments...: 20 answers, size, median time, CPU each
  local pid=$1 label=$2
  shift 2
  local t0
  t0=$(cpu_ticks "$pid")
  : > times
  for _ in $(seq 20); do curl -s -o body -w '%{time_total}\n' "$@" >> times; done
  local t1
  t1=$(cpu_ticks "$pid")
  printf '%-28s %9d bytes, median %6.1f ms, unitmon CPU %5.1f ms each\n' "$label" "$(stat -c %s body)" \
    "$(sort -n times | awk '{ a[NR] = $1 } END { print 500 * (a[10] + a[11]) }')" \
    "$(awk -v a="$t0" -v b="$t1" -v hz="$hz" 'BEGIN { print 1000 * (b - a) / hz / 20 }')"
}
fill() {  # every unit's three datagrams, then quiet
  ./flood "$units" "$rate" $(( 3 * units / rate + 2 )) > /dev/null
  sleep 1
}

for mode in plain tls; do
  if [ $mode = plain ]; then
    "$unitmon" --metrics 127.0.0.1:9102 --quiet --max-units "$units" & pid=$!
    url=http://127.0.0.1:9102 auth=()
  else
    "$unitmon" --metrics 127.0.0.1:9102 --quiet --max-units "$units" --web-config web.yml & pid=$!
    url=https://127.0.0.1:9102 auth=(--cacert cert.pem -u prometheus:s3cret)
  fi
  for _ in $(seq 50); do curl -s -o /dev/null "${auth[@]}" "$url/metrics" && break; sleep 0.1; done
  fill
  echo "$mode, $(curl -s "${auth[@]}" "$url/metrics" | awk '/^unitmon_units / { print $2 }') units:"
  measure $pid "  page" "${auth[@]}" "$url/"
  measure $pid "  page, gzip" "${auth[@]}" -H 'Accept-Encoding: gzip' "$url/"
  measure $pid "  scrape" "${auth[@]}" "$url/metrics"
  measure $pid "  scrape, gzip" "${auth[@]}" -H 'Accept-Encoding: gzip' "$url/metrics"
  [ $mode = tls ] || { kill $pid; wait $pid || true; }
done

udp_errors() { awk '/^Udp:/ { if (++n == 1) { for (i = 2; i <= NF; i++) if ($i == "RcvbufErrors") c = i } else print $c }' /proc/net/snmp; }
received() { curl -s "${auth[@]}" "$url/metrics" | awk '/^unitmon_datagrams_received_total/ { s += $2 } END { print s }'; }
got0=$(received) drops0=$(udp_errors)
./flood "$units" "$rate" "$seconds" > sent & flood=$!
while kill -0 $flood 2>/dev/null; do
  curl -s -o /dev/null "${auth[@]}" -H 'Accept-Encoding: gzip' "$url/metrics"
  sleep 5
done
wait $flood || true
sleep 1
sent=$(awk '{ print $2 }' sent)
got=$(( $(received) - got0 ))
echo "flood over TLS+gzip scrapes every 5 s: $(cat sent); received $got, lost $((sent - got)), kernel drops $(( $(udp_errors) - drops0 ))"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
