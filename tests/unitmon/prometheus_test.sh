#!/usr/bin/env bash
# unitmon --metrics scraped by a real Prometheus, inside a network namespace
# made for this run: three simulated units, each in a namespace of its own
# behind a bridge, broadcast their telemetry; Prometheus' HTTP API must
# give each one's battery level, and a stopped unit must show as silent.
# Usage: prometheus_test.sh UNITMON UNITCTL BOARDSIM RULES_DIR
set -u
unitmon=$1 unitctl=$2 boardsim=$3 rules=$4
. "$(dirname "$0")/netns_lib.sh"
enter_netns ip prometheus promtool python3 -- "$@"
if ! { ip link set lo up && ip link add br0 type bridge && ip addr add 192.168.1.1/24 brd + dev br0 &&
       ip link set br0 up; }; then
  echo "SKIP: cannot set up a bridge in the namespace"
  exit 77
fi

# Unit N: its own board and namespace, 192.168.1.1N on a veth to the bridge.
start_unit() {  # N serial battery
  local n=$1
  mkdir -p "$dir/unit$n"
  "$boardsim" --dir "$dir/unit$n" --set net.mode=real --set fw.serial="$2" --set fw.battery="$3"
  unshare --net "$BASH" -c 'for _ in $(seq 100); do ip link show eth0 >/dev/null 2>&1 && break; sleep 0.1; done
    ip link set lo up && ip addr add 192.168.1.1'"$n"'/24 brd + dev eth0 && ip link set eth0 up &&
    exec "$0" --dir "$1" -- "$2"' "$boardsim" "$dir/unit$n" "$unitctl" > /dev/null &
  unit_pid[$n]=$!
  pids+=("$!")
  # Once the child has its own namespace, its end of the link goes there.
  for _ in $(seq 50); do
    [ "$(readlink "/proc/${unit_pid[$n]}/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.1
  done
  ip link add "u$n" type veth peer name eth0 netns "${unit_pid[$n]}" &&
    ip link set "u$n" master br0 up
}

api() {  # PromQL -> "labels value" lines, sorted
  python3 - "$1" <<'PY'
import json, sys, urllib.parse, urllib.request
url = "http://127.0.0.1:9090/api/v1/query?query=" + urllib.parse.quote(sys.argv[1])
try:
    data = json.load(urllib.request.urlopen(url, timeout=2))
except Exception:
    sys.exit(0)
for r in sorted(data["data"]["result"], key=lambda r: str(r["metric"])):
    m = r["metric"]
    print(m.get("serial", m.get("address", m.get("instance"))), r["value"][1])
PY
}
until_api() {  # PromQL, expected output, seconds
  for _ in $(seq "$3"); do
    [ "$(api "$1")" = "$2" ] && return 0
    sleep 1
  done
  echo "  $1 gave: $(api "$1")"
  return 1
}

"$unitmon" --metrics 127.0.0.1:9102 --quiet --state "$dir/state" > "$dir/unitmon.out" 2> "$dir/unitmon.err" &
mon=$!
pids+=("$mon")
start_unit 1 SU01-00011 91
start_unit 2 SU01-00012 42
start_unit 3 SU01-00013 7

# The operators' rules, their waits cut from minutes to seconds.
sed -e 's/> 300$/> 6/' -e 's/for: [0-9]*m$/for: 2s/' "$rules/unitmon-rules.yml" > "$dir/rules.yml"
cat > "$dir/prometheus.yml" <<YML
global: {scrape_interval: 1s, evaluation_interval: 1s}
rule_files: ["$dir/rules.yml"]
scrape_configs:
  - job_name: unitmon
    static_configs: [{targets: ['127.0.0.1:9102']}]
YML
prometheus --config.file="$dir/prometheus.yml" --storage.tsdb.path="$dir/tsdb" \
  --web.listen-address=127.0.0.1:9090 > "$dir/prometheus.log" 2>&1 &
pids+=("$!")

# A serial number with a quote, a backslash, a newline, an escape and bytes
# that are not UTF-8 must still give a scrape that Prometheus takes.
python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.sendto(b"\0\2" + b"\"\\\n\x1b[\xff\xc3(}\x7f\0" + bytes(range(16)), ("127.0.0.1", 2013))'
check "Prometheus gets each unit's battery level" until_api 'unitmon_unit_battery_ratio' \
  "SU01-00011 0.91
SU01-00012 0.42
SU01-00013 0.07" 60
check "the scrape with a hostile serial number passes promtool" \
  bash -c 'python3 -c "import urllib.request; print(urllib.request.urlopen(\"http://127.0.0.1:9102/metrics\").read().decode(), end=\"\")" |
    tee "$0/scrape" | promtool check metrics' "$dir"
check "the hostile serial number is in that scrape" \
  grep -qF 'serial="\"\\\n␛[ÿÃ(}␡"' "$dir/scrape"
check "and Prometheus scrapes it" until_api 'up{job="unitmon"}' "127.0.0.1:9102 1" 5

kill "${unit_pid[2]}"
check "the stopped unit shows as silent in last_seen" \
  until_api 'time() - unitmon_unit_last_seen_timestamp_seconds{serial=~"SU01-.*"} > bool 4' \
  "SU01-00011 0
SU01-00012 1
SU01-00013 0" 30
check "unitmon had nothing to say" test -z "$(said "$dir/unitmon.err")"

# The listener stopped and started again with its state: the dead unit
# alerts throughout, and the listener's absence alerts while it lasts.
firing() { echo "ALERTS{alertname=\"$1\",alertstate=\"firing\"${2:+,$2}}"; }
scrape() { python3 -c 'import urllib.request; print(urllib.request.urlopen("http://127.0.0.1:9102/metrics").read().decode(), end="")'; }
last_seen() { scrape | grep '^unitmon_unit_last_seen_timestamp_seconds{serial="SU01-00012"'; }
silent=$(firing UnitSilent 'serial=~"SU01-.*"')
check "the dead unit alerts as silent" until_api "$silent" "SU01-00012 1" 30
before=$(last_seen)
kill -TERM "$mon"; wait "$mon"
check "the listener-down alert fires while unitmon is stopped" until_api "$(firing UnitmonDown)" "127.0.0.1:9102 1" 30
check "the dead unit still alerts while nothing is scraped" until_api "$silent" "SU01-00012 1" 5
"$unitmon" --metrics 127.0.0.1:9102 --quiet --state "$dir/state" 2> "$dir/unitmon2.err" & mon=$!
pids+=("$mon")
for _ in $(seq 50); do scrape > /dev/null 2>&1 && break; sleep 0.1; done
check "the restarted listener knows the dead unit's last-seen time" test -n "$before" -a "$(last_seen)" = "$before"
check "the listener-down alert resolves" until_api "$(firing UnitmonDown)" "" 30
check "the dead unit still alerts after the restart" until_api "$silent" "SU01-00012 1" 5
check "the restarted unitmon had nothing to say" test -z "$(said "$dir/unitmon2.err")"
finish
