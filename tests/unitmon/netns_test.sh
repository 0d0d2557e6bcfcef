#!/usr/bin/env bash
# unitmon with real sockets against the real telemetry service, inside a
# network namespace made for this run: nothing is sent from the host's own.
# Usage: netns_test.sh UNITMON UNITCTL BOARDSIM
set -u
unitmon=$1 unitctl=$2 boardsim=$3
. "$(dirname "$0")/netns_lib.sh"
enter_netns ip -- "$@"
# A veth pair with 192.168.1.10/24 on one end gives the broadcast a link to
# leave by; listeners on the unit get the host's own copy.
if ! { ip link set lo up && ip link add t0 type veth peer name t1 &&
       ip addr add 192.168.1.10/24 dev t0 && ip link set t0 up && ip link set t1 up; }; then
  echo "SKIP: cannot set up a veth pair in the namespace"
  exit 77
fi

listening() {  # until something listens on UDP port 2013, at most 5 s
  for _ in $(seq 50); do
    ss -Hulnp 'sport = :2013' | grep -q "$1" && return 0
    sleep 0.1
  done
  return 1
}

echo '<krv><major>1</major><minor>4</minor><patch>258</patch></krv>' > "$dir/krv_version.xml"
"$boardsim" --dir "$dir" --set net.mode=real --set fw.battery=60

# Two listeners share the port; both get two whole cycles of the service.
"$unitmon" --json --count 6 --timeout 20 > "$dir/a" 2> "$dir/a.err" & a=$!
"$unitmon" --json --count 6 --timeout 20 > "$dir/b" 2> "$dir/b.err" & b=$!
pids+=("$a" "$b")
listening "pid=$a," && listening "pid=$b,"
"$boardsim" --dir "$dir" -- "$unitctl" > /dev/null & svc=$!
pids+=("$svc")
wait "$a"; sa=$?
wait "$b"; sb=$?
kill "$svc"
check "first listener ends with status 0" test "$sa" = 0
check "second listener ends with status 0" test "$sb" = 0
expected='"source":"192.168.1.10","type":"status","battery":60,"charging":"on"}
"source":"192.168.1.10","type":"version","major":1,"minor":4,"patch":258}
"source":"192.168.1.10","type":"identity","serial":"SU01-02003","uuid":"000102030405060708090A0B0C0D0E0F"}'
for f in a b; do
  got=$(sed 's/^{"time":[0-9.]*,//' "$dir/$f")
  check "listener $f decodes two cycles" test "$got" = "$expected"$'\n'"$expected"
  check "listener $f has nothing to say on standard error" test -z "$(said "$dir/$f.err")"
done

# The service runs on; a listener stopped by SIGTERM or SIGINT ends cleanly,
# with status 0 once it has received something and 1 before.
"$boardsim" --dir "$dir" -- "$unitctl" > /dev/null & svc=$!
pids+=("$svc")
"$unitmon" > "$dir/rows" & m=$!
pids+=("$m")
for _ in $(seq 50); do [ -s "$dir/rows" ] && break; sleep 0.1; done
kill -TERM "$m"; wait "$m"; st=$?
kill "$svc"
check "SIGTERM after a row: status 0" test "$st" = 0
check "rows name the unit" grep -q '^192.168.1.10 .* SU01-02003 ' "$dir/rows"
"$unitmon" > /dev/null & m=$!
pids+=("$m")
listening "pid=$m,"
kill -INT "$m"; wait "$m"; st=$?
check "SIGINT before any datagram: status 1" test "$st" = 1

# Nothing arrives: --timeout ends the run with status 1.
start=$SECONDS
"$unitmon" --timeout 1 > "$dir/none"; st=$?
check "timeout without datagrams: status 1, no output" test "$st" = 1 -a ! -s "$dir/none"
check "timeout ends the run in time" test $((SECONDS - start)) -le 5

# A program holding the port without SO_REUSEADDR.
python3 -c 'import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("", 2013))
time.sleep(20)' & holder=$!
pids+=("$holder")
listening "pid=$holder,"
"$unitmon" --timeout 5 > /dev/null 2> "$dir/taken"; st=$?
check "port taken: status 1" test "$st" = 1
check "port taken: says so" grep -q '^unitmon: cannot listen on UDP port 2013: ' "$dir/taken"

finish
