#!/usr/bin/env bash
# No client can stop the scrapes: unitmon --metrics inside a network
# namespace made for this run, against clients that trickle their request a
# byte a second, hold thousands of idle connections, send a 1 MB header,
# never read the answer or close in the middle of it. A scrape from another
# address must still be answered, and a stop signal still end the run.
# Usage: slow_clients_test.sh UNITMON
set -u
unitmon=$1
. "$(dirname "$0")/netns_lib.sh"
enter_netns ip python3 -- "$@"
ip link set lo up || { echo "SKIP: no loopback in the namespace"; exit 77; }

"$unitmon" --metrics 127.0.0.1:9102 --quiet 2> "$dir/err" & mon=$!
pids+=("$mon")
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/9102) 2>/dev/null && break; sleep 0.1; done

# Prints the slowest scrape (seconds) of those made every half second for
# SECONDS while the named crowd of clients is at work.
crowd() {  # trickle | idle | greedy, SECONDS
  python3 - "$1" "$2" <<'PY'
import resource, select, socket, sys, threading, time
kind, seconds = sys.argv[1], float(sys.argv[2])
resource.setrlimit(resource.RLIMIT_NOFILE, (8192, 8192))
stop = time.time() + seconds
def connect(source):
    s = socket.socket()
    s.bind((source, 0))
    s.setblocking(False)
    s.connect_ex(("127.0.0.1", 9102))
    return s
def trickle(source):  # one byte a second, connecting again when ended
    while time.time() < stop:
        s = connect(source)
        for b in b"GET /metrics HTTP/1.1\r\nHost: x\r\n" + b"X-Pad: y\r\n" * 100:
            if time.time() >= stop: break
            try:
                if s.send(bytes([b])) != 1: break
            except OSError:
                break
            time.sleep(1)
        s.close()
def idle():  # 2,000 connections from 250 addresses, holding on
    socks = [connect("127.0.1.%d" % (i % 250 + 1)) for i in range(2000)]
    time.sleep(max(0, stop - time.time()))
def greedy():  # a 1 MB header; a client that never reads; one that leaves mid-answer
    while time.time() < stop:
        try:
            greedy_once()
        except OSError:
            pass  # ended by unitmon: as it may
        time.sleep(0.2)
def greedy_once():
        s = socket.create_connection(("127.0.0.1", 9102), source_address=("127.0.0.9", 0))
        s.settimeout(5)
        try:
            s.sendall(b"GET /metrics HTTP/1.1\r\nX-Big: " + b"a" * (1 << 20) + b"\r\n\r\n")
        except OSError:
            pass  # refused before the end: as it should
        s.close()
        r = socket.create_connection(("127.0.0.1", 9102), source_address=("127.0.0.10", 0))
        r.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
        m = socket.create_connection(("127.0.0.1", 9102), source_address=("127.0.0.11", 0))
        m.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
        m.recv(10)
        m.close()
if kind == "trickle":
    workers = [threading.Thread(target=trickle, args=("127.0.0.%d" % (2 + i // 8),)) for i in range(32)]
else:
    workers = [threading.Thread(target=idle if kind == "idle" else greedy)]
for w in workers: w.daemon = True; w.start()
time.sleep(2)
slowest = 0.0
while time.time() < stop - 1:
    t = time.time()
    try:
        s = socket.create_connection(("127.0.0.1", 9102), timeout=30)
        s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
        got = b""
        while True:
            b = s.recv(65536)
            if not b: break
            got += b
        ok = got.startswith(b"HTTP/1.1 200 ") and b"\nunitmon_units 0\n" in got
    except OSError:
        ok = False
    slowest = max(slowest, time.time() - t if ok else 99)
    time.sleep(0.5)
print("%.2f" % slowest)
PY
}
for kind in trickle idle greedy; do
  slowest=$(crowd $kind 12)
  echo "  slowest scrape among $kind clients: $slowest s"
  check "scrapes answered among $kind clients" awk -v s="$slowest" 'BEGIN { exit !(s < 2) }'
done

# A stop while connections are held ends the run cleanly.
crowd idle 6 > /dev/null & pids+=("$!")
sleep 3
kill -TERM "$mon"
for _ in $(seq 50); do kill -0 "$mon" 2>/dev/null || break; sleep 0.1; done
wait "$mon"; st=$?
check "SIGTERM among held connections ends with status 0" test "$st" = 0
check "unitmon had nothing to say" test -z "$(said "$dir/err")"
finish
