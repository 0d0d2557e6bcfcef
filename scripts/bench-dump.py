#!/usr/bin/env python3
"""What saving the flash (mcuflash -d) costs.

  scripts/bench-dump.py [build-dir]

On the simulated board: bus exchanges per 32 bytes read (the difference
between saving a 256 KiB and a 32-byte flash, wake-up bytes left out), with
the bootloader sending no filler and its default two filler bytes before
each packet; and the wall time of saving a 256 KiB flash (median of 5).
"""
import os, re, statistics, subprocess, sys, tempfile, time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
sim = os.path.join(build, "boardsim", "boardsim")
mcuflash = os.path.join(build, "mcuflash", "mcuflash")
FLASH_START = 0.1  # seconds into a second: the wake-up ends on a whole second


def exchanges(board):
    log = subprocess.run([sim, "--dir", board, "--log"], capture_output=True,
                         text=True, errors="replace").stdout.splitlines()
    n = 0
    for i, line in enumerate(log):
        m = re.search(r"\] spi +\d+ B @\d+ Hz(?: x(\d+))?$", line)
        if m and not log[i + 1].strip() == "tx FF":
            n += int(m.group(1) or 1)
    return n


def dump(size, filler):
    with tempfile.TemporaryDirectory() as board:
        subprocess.run([sim, "--dir", board, "--set", "kb.filler=%d" % filler,
                        "--set", "kb.flash_size=%d" % size, "--", "true"], check=True)
        now = time.monotonic()
        time.sleep(int(now) + 1 + FLASH_START - now)
        out = os.path.join(board, "saved.bin")
        t0 = time.monotonic()
        r = subprocess.run([sim, "--dir", board, "--", mcuflash, "-d", out], capture_output=True)
        t = time.monotonic() - t0
        if r.returncode != 0 or os.path.getsize(out) != size:
            sys.exit("mcuflash -d failed: %r %r" % (r.stdout[-300:], r.stderr[-300:]))
        return exchanges(board), t


big, small = 256 * 1024, 32
chunks = big // 32 - small // 32
for filler in (0, 2):
    print("filler %d: %.2f exchanges per 32 bytes read by -d"
          % (filler, (dump(big, filler)[0] - dump(small, filler)[0]) / chunks))
times = [dump(big, 2)[1] for _ in range(5)]
print("saving a 256 KiB flash on the simulator: median %.2f s, slowest %.2f s"
      % (statistics.median(times), max(times)))
