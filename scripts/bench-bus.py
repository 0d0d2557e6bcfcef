#!/usr/bin/env python3
"""Wall time of the tools sharing one simulated board with the telemetry service.

  scripts/bench-bus.py [build-dir] [--runs N] [--flash-runs M]

Measures `unitctl -b` (median and 99th percentile over N runs) alone and
while the telemetry service runs on the same board, then a 256 KiB flash
(median and slowest of M runs) alone and with the service. Datagrams are
captured by the simulator. A run beside the service fails when the board
recorded a collision or the service stopped sending.

The flasher's wake-up phase ends on a whole second of the monotonic clock,
so it lasts anything from one to two seconds; every flash is started at the
same point of a second, which makes the runs comparable.
"""
import os, statistics, subprocess, sys, tempfile, time

build = "build"
runs = 200
flash_runs = 5
args = sys.argv[1:]
while args:
    a = args.pop(0)
    if a == "--runs":
        runs = int(args.pop(0))
    elif a == "--flash-runs":
        flash_runs = int(args.pop(0))
    else:
        build = a
sim = os.path.join(build, "boardsim", "boardsim")
unitctl = os.path.join(build, "unitctl", "unitctl")
mcuflash = os.path.join(build, "mcuflash", "mcuflash")
FLASH_START = 0.1  # seconds into a second of the monotonic clock


def timed(board, *cmd):
    t0 = time.monotonic()
    r = subprocess.run([sim, "--dir", board, "--", *cmd], capture_output=True)
    return time.monotonic() - t0, r


def reads(board):
    ts = []
    for _ in range(runs):
        t, r = timed(board, unitctl, "-b")
        if r.returncode != 0 or b"Battery level: 87 %" not in r.stdout:
            sys.exit("unitctl -b failed: %r %r" % (r.stdout, r.stderr))
        ts.append(t)
    ts.sort()
    return statistics.median(ts), ts[min(len(ts) - 1, int(0.99 * len(ts)))]


def flashes(board):
    image = os.path.join(board, "image.bin")
    ts = []
    for _ in range(flash_runs):
        with open(image, "wb") as f:
            data = bytearray(os.urandom(256 * 1024))
            data[0x40C] = 0xFE  # unsecured: random bytes could lock the MCU out
            f.write(data)
        now = time.monotonic()
        time.sleep(int(now) + 1 + FLASH_START - now)
        t, r = timed(board, mcuflash, image)
        if r.returncode != 0:
            sys.exit("mcuflash failed: %r" % r.stderr[-500:])
        with open(os.path.join(board, "flash.bin"), "rb") as a, open(image, "rb") as b:
            if a.read() != b.read():
                sys.exit("flashed bytes differ from the image")
        ts.append(t)
    return statistics.median(ts), max(ts)


def collisions(board):
    log = subprocess.run([sim, "--dir", board, "--log"], capture_output=True,
                         text=True, errors="replace").stdout
    return [line for line in log.splitlines() if "COLLISION" in line]


def datagrams(board):
    try:
        with open(os.path.join(board, "datagrams"), "rb") as f:
            return f.read().count(b"\n")
    except FileNotFoundError:
        return 0


def with_service(board, job):
    svc = subprocess.Popen([sim, "--dir", board, "--", unitctl],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.5)
    try:
        before = datagrams(board)
        started = time.monotonic()
        result = job(board)
        if svc.poll() is not None:
            sys.exit("the telemetry service ended (status %s)" % svc.returncode)
        # Three datagrams a round, a round at least every second and a half.
        due = 3 * int((time.monotonic() - started) / 1.5)
        sent = datagrams(board) - before
        if sent < due:
            sys.exit("the telemetry service sent %d datagrams, %d due" % (sent, due))
        hits = collisions(board)
        if hits:
            sys.exit("%d collisions on the bus, the first: %s" % (len(hits), hits[0]))
        return result
    finally:
        svc.terminate()
        svc.wait()


for name, job in (("unitctl -b", reads), ("256 KiB flash", flashes)):
    with tempfile.TemporaryDirectory() as alone, tempfile.TemporaryDirectory() as shared:
        a = job(alone)
        s = with_service(shared, job)
        if name == "unitctl -b":
            print("%s, %d runs: alone median %.1f ms p99 %.1f ms; with the service median %.1f ms p99 %.1f ms"
                  % (name, runs, a[0] * 1e3, a[1] * 1e3, s[0] * 1e3, s[1] * 1e3))
        else:
            print("%s, %d runs: alone median %.2f s slowest %.2f s; with the service median %.2f s slowest %.2f s"
                  % (name, flash_runs, a[0], a[1], s[0], s[1]))
