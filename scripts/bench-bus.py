#!/usr/bin/env python3
"""Wall time of the tools sharing one simulated board with the telemetry service.

  scripts/bench-bus.py [build-dir] [--runs N]

Measures `unitctl -b` (median and 99th percentile over N runs) alone and
while the telemetry service runs on the same board, then a 256 KiB flash
alone and with the service. Datagrams are captured by the simulator.
"""
import os, statistics, subprocess, sys, tempfile, time

build = "build"
runs = 200
args = sys.argv[1:]
while args:
    a = args.pop(0)
    if a == "--runs":
        runs = int(args.pop(0))
    else:
        build = a
sim = os.path.join(build, "boardsim", "boardsim")
unitctl = os.path.join(build, "unitctl", "unitctl")
mcuflash = os.path.join(build, "mcuflash", "mcuflash")


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


def flash(board):
    image = os.path.join(board, "image.bin")
    with open(image, "wb") as f:
        f.write(os.urandom(256 * 1024))
    t, r = timed(board, mcuflash, image)
    if r.returncode != 0:
        sys.exit("mcuflash failed: %r" % r.stderr[-500:])
    with open(os.path.join(board, "flash.bin"), "rb") as a, open(image, "rb") as b:
        if a.read() != b.read():
            sys.exit("flashed bytes differ from the image")
    return t


def with_service(board, job):
    svc = subprocess.Popen([sim, "--dir", board, "--", unitctl],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.5)
    try:
        return job(board)
    finally:
        svc.terminate()
        svc.wait()


for name, job in (("unitctl -b", reads), ("256 KiB flash", flash)):
    with tempfile.TemporaryDirectory() as alone, tempfile.TemporaryDirectory() as shared:
        a = job(alone)
        s = with_service(shared, job)
        if name == "unitctl -b":
            print("%s, %d runs: alone median %.1f ms p99 %.1f ms; with the service median %.1f ms p99 %.1f ms"
                  % (name, runs, a[0] * 1e3, a[1] * 1e3, s[0] * 1e3, s[1] * 1e3))
        else:
            print("%s: alone %.2f s; with the service %.2f s" % (name, a, s))
