#!/usr/bin/env bash
# The service's init files: the systemd unit passes systemd-analyze verify,
# the shell scripts pass shellcheck, and the BusyBox/SysV script runs the
# real service against a simulated board: start, datagrams, a failing send
# ends the service and the script's loop starts it again, status, stop, and
# nothing left running. Then, inside a network namespace of the test's own,
# the same with the board in real-send mode: the daemonised service's
# datagrams reach a listener at the configured destination, and a service
# run that is killed is started again.
# Usage: init_test.sh INIT_DIR SERVICE_FILE UNITCTL BOARDSIM
set -u
init=$1 service=$2 unitctl=$3 boardsim=$4
failures=0 skipped=()
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
dir=$(mktemp -d)
cleanup() {
  [ -f "$dir/pid" ] && PIDFILE=$dir/pid PATH="$dir/bin:$PATH" sh "$init/unitctl.sysv" stop >/dev/null
  # A run the script failed to stop is ended here, so a failure leaves nothing behind.
  [ -f "$dir/runs" ] && for p in $(cat "$dir/runs"); do kill "$p" 2>/dev/null; done
  rm -rf "$dir"
}
trap cleanup EXIT

if command -v systemd-analyze >/dev/null; then
  # The installed unit names the installed program; verify a copy that names the built one.
  sed "s|^ExecStart=.*|ExecStart=$unitctl|" "$service" > "$dir/unitctl.service"
  if systemd-analyze verify --man=no "$dir/unitctl.service" > "$dir/verify" 2>&1; then
    check "systemd-analyze verify is silent" test ! -s "$dir/verify"
  else
    cat "$dir/verify"
    check "systemd-analyze verify" false
  fi
else
  skipped+=("systemd-analyze is not installed")
fi
if command -v shellcheck >/dev/null; then
  check "shellcheck" shellcheck "$init/unitctl.sysv" "$init/unitctl.procd"
else
  skipped+=("shellcheck is not installed")
fi

if ! command -v busybox >/dev/null; then
  skipped+=("busybox is not installed")
else
  mkdir "$dir/bin" "$dir/board"
  ln -s "$(command -v busybox)" "$dir/bin/start-stop-daemon"
  # Each service run notes its pid: the launcher becomes the program.
  printf '#!/bin/sh\necho $$ >> "%s"\nexec "%s" --dir "$BOARD" -- "%s" "$@"\n' \
    "$dir/runs" "$boardsim" "$unitctl" > "$dir/bin/unitctl"
  chmod +x "$dir/bin/unitctl"
  echo '<krv><major>1</major><minor>4</minor><patch>2</patch></krv>' > "$dir/board/krv_version.xml"
  # The board's configuration names a destination as admins write it:
  # edited elsewhere (CRLF), comments, an earlier value, export, quotes and
  # a blank at the end; the last line counts.
  { printf '# the site collector\r\n\r\n'
    for i in $(seq 300); do printf 'TELEMETRY_DESTINATION=10.0.%d.1\r\n' "$i"; done
    printf 'export TELEMETRY_DESTINATION="10.9.8.7:5000" \r\n#TELEMETRY_DESTINATION=10.0.0.9\r\n'
  } > "$dir/default"
  export PATH="$dir/bin:$PATH" UNITCTL=$dir/bin/unitctl PIDFILE=$dir/pid LOGFILE=$dir/log RESPAWN_DELAY=1 \
    DEFAULTS=$dir/default BOARD=$dir/board
  rc() { busybox sh "$init/unitctl.sysv" "$@"; }
  count() { [ -f "$dir/board/datagrams" ] && wc -l < "$dir/board/datagrams" || echo 0; }
  wait_for() {  # up to 10 s for a command to succeed
    for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
    return 1
  }
  more_than() { [ "$(count)" -gt "$1" ]; }

  check "start" test "$(rc start)" = "Starting unitctl"
  check "datagrams go out" wait_for more_than 2
  check "status while running" test "$(rc status)" = "unitctl is running (pid $(cat "$dir/pid"))"
  check "a second start leaves it alone" test "$(rc start)" = "unitctl is already running"

  "$boardsim" --dir "$dir/board" --set net.send_fail=1
  check "a failed send ends the service" wait_for grep -q "cannot send data" "$dir/log"
  check "the loop notes the end, with the time" \
    wait_for grep -qE "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} unitctl ended with status 1" "$dir/log"
  failing() { rc status > "$dir/status"; [ $? = 1 ] && grep -q "dead, pid file exists.*status 1.*cannot send data" "$dir/status"; }
  check "status while the service keeps ending: 1, with its reason" wait_for failing
  sent=$(count)
  "$boardsim" --dir "$dir/board" --set net.send_fail=
  check "the service comes back once sends work" wait_for more_than "$sent"

  # Without the configuration file the service runs with the default.
  rm "$dir/default"
  first=$(cat "$dir/pid")
  check "restart" test "$(rc restart)" = "Stopping unitctl
Starting unitctl"
  check "restart starts a new loop" test "$(cat "$dir/pid")" != "$first" -a ! -d "/proc/$first"
  sent=$(count)
  check "datagrams go out after restart" wait_for more_than "$sent"
  loop=$(cat "$dir/pid")
  check "stop" test "$(rc stop)" = "Stopping unitctl"
  rc status > "$dir/status"
  check "status after stop: 3" test $? = 3
  check "status after stop says so" test "$(cat "$dir/status")" = "unitctl is not running"
  check "the loop is gone" test ! -d "/proc/$loop"
  alive() { for p in $(cat "$dir/runs"); do [ -d "/proc/$p" ] && echo "$p"; done; }
  check "the service ran three times" test "$(wc -l < "$dir/runs")" = 3
  # The simulator captured each datagram with its destination.
  check "the destination from the configuration, then the default" \
    test "$(cut -d' ' -f4 "$dir/board/datagrams" | uniq | tr '\n' ' ')" = "10.9.8.7:5000 192.168.1.255:2013 "
  check "no service run is left" test -z "$(alive)"
  check "pid file removed" test ! -e "$dir/pid"
  check "usage for an unknown action" test "$(rc reload 2>&1; echo "status $?")" = "Usage: $init/unitctl.sysv {start|stop|restart|status}
status 1"

  # A service that cannot start: status says so and why, and so does the
  # system log (a logger in PATH stands in for BusyBox's).
  printf '#!/bin/sh\necho "$*" >> "%s"\n' "$dir/syslog" > "$dir/bin/logger"
  chmod +x "$dir/bin/logger"
  echo "TELEMETRY_DESTINATION=10.77.0.2:0" > "$dir/default"
  (unset LOGFILE; rc start >/dev/null)
  rc status > "$dir/status"
  check "a refused destination: status 1" test $? = 1
  check "a refused destination: status says why" \
    grep -q '^unitctl is dead, pid file exists.*: TELEMETRY_DESTINATION "10.77.0.2:0": port must be 1 to 65535$' "$dir/status"
  check "a refused destination: in the system log" \
    grep -qx -- '-t unitctl -- TELEMETRY_DESTINATION "10.77.0.2:0": port must be 1 to 65535' "$dir/syslog"
  rc stop >/dev/null
  check "a configuration that is a directory is said, and the default used" \
    test "$(DEFAULTS=$dir rc start 2>&1 >/dev/null)" = "unitctl: cannot read $dir: the default destination is used"
  rc stop >/dev/null

  # Real sends, from a network namespace of the test's own only.
  ns=unitctl_init_$$
  python=$(command -v python3)
  if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null || [ -z "$python" ] || ! ip netns add "$ns" 2>/dev/null; then
    skipped+=("real sends need root, ip, python3 and a network namespace")
  else
    trap 'ip netns exec "$ns" sh "$init/unitctl.sysv" stop >/dev/null 2>&1; ip netns delete "$ns"; cleanup' EXIT
    ip -n "$ns" link set lo up && ip -n "$ns" link add t0 type veth peer name t1 &&
      ip -n "$ns" addr add 10.77.0.1/24 dev t0 && ip -n "$ns" link set t0 up && ip -n "$ns" link set t1 up
    export BOARD=$dir/real PIDFILE=$dir/real.pid
    : > "$dir/runs"
    # The launcher, run here, is the board's first process: it notes the
    # machine's namespace, which the daemon, re-parented, could not see.
    "$boardsim" --dir "$BOARD" --set net.mode=real && cp "$dir/board/krv_version.xml" "$BOARD/"
    echo TELEMETRY_DESTINATION=10.77.0.1:5001 > "$dir/default"
    # The collector, for 60 s at most: one line per datagram.
    ip netns exec "$ns" "$python" -c 'import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("10.77.0.1", 5001)); s.settimeout(60)
with open(sys.argv[1], "a") as out:
    while True: out.write(s.recv(64).hex() + "\n"); out.flush()' "$dir/received" 2>/dev/null &
    listener=$!
    sleep 0.5
    received() { [ "$(cat "$dir/received" 2>/dev/null | wc -l)" -gt "$1" ]; }
    runs_more_than() { [ "$(wc -l < "$dir/runs")" -gt "$1" ]; }
    check "real: start" test "$(ip netns exec "$ns" sh "$init/unitctl.sysv" start)" = "Starting unitctl"
    sent_not_captured() { received 2 && [ ! -s "$BOARD/datagrams" ]; }
    check "real: datagrams arrive, none captured" wait_for sent_not_captured
    kill "$(head -n1 "$dir/runs")"
    check "real: a killed run is started again" wait_for runs_more_than 1
    sent=$(wc -l < "$dir/received")
    check "real: its datagrams arrive" wait_for received "$sent"
    check "real: stop" test "$(ip netns exec "$ns" sh "$init/unitctl.sysv" stop)" = "Stopping unitctl"
    check "real: no service run is left" test -z "$(alive)"
    kill "$listener" 2>/dev/null
    ip netns delete "$ns"
    trap cleanup EXIT
  fi
fi

for s in "${skipped[@]}"; do echo "skipped: $s"; done
echo "$failures failed"
[ "$failures" = 0 ] || exit 1
[ "${#skipped[@]}" = 0 ] || exit 77
