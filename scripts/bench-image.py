#!/usr/bin/env python3
"""What the image formats and the read-back cost mcuflash.

  scripts/bench-image.py [build-dir]

On the simulated board: bus exchanges per 32-byte chunk of the download
without -c and the read-back's share with -c (the difference between a
256 KiB and a 32-byte flash, wake-up bytes left out), with the bootloader
sending no filler and its default two filler bytes before each packet; and
the wall time of a 256 KiB flash with and without -c; the same exchanges
per 32 bytes read by saving the flash (-d), and the wall time of saving
256 KiB (median of 5). Then the time and
peak resident set of mcuflash reading a 1 MiB image as raw, Intel HEX,
S-record and ELF (made by the ARM toolchain) up to the point where it opens
the SPI device, which on this host does not exist.
"""
import os, re, statistics, subprocess, sys, tempfile, time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
sim = os.path.join(build, "boardsim", "boardsim")
mcuflash = os.path.join(build, "mcuflash", "mcuflash")
peak_rss = os.path.join(build, "tests", "unitctl", "peak_rss")
FLASH_START = 0.1  # seconds into a second: the wake-up ends on a whole second


def image(path, size):
    data = bytearray(os.urandom(size))
    if size > 0x40C:
        data[0x40C] = 0xFE  # unsecured: random bytes could lock the MCU out
    with open(path, "wb") as f:
        f.write(data)


def exchanges(board):
    log = subprocess.run([sim, "--dir", board, "--log"], capture_output=True,
                         text=True, errors="replace").stdout.splitlines()
    n = 0
    for i, line in enumerate(log):
        m = re.search(r"\] spi +\d+ B @\d+ Hz(?: x(\d+))?$", line)
        if m and not log[i + 1].strip() == "tx FF":
            n += int(m.group(1) or 1)
    return n


def flash(size, filler, verify):
    with tempfile.TemporaryDirectory() as board:
        path = os.path.join(board, "image.bin")
        image(path, size)
        subprocess.run([sim, "--dir", board, "--set", "kb.filler=%d" % filler, "--", "true"],
                       check=True)
        now = time.monotonic()
        time.sleep(int(now) + 1 + FLASH_START - now)
        t0 = time.monotonic()
        r = subprocess.run([sim, "--dir", board, "--", mcuflash] + (["-c"] if verify else []) +
                           [path], capture_output=True)
        t = time.monotonic() - t0
        if r.returncode != 0:
            sys.exit("mcuflash failed: %r" % r.stdout[-300:])
        return exchanges(board), t


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
    plain = (flash(big, filler, False)[0] - flash(small, filler, False)[0]) / chunks
    checked = (flash(big, filler, True)[0] - flash(small, filler, True)[0]) / chunks
    print("filler %d: %.2f exchanges per 32-byte chunk without -c; with -c %.2f, the read-back %.2f"
          % (filler, plain, checked, checked - plain))
t_plain = flash(big, 2, False)[1]
t_checked = flash(big, 2, True)[1]
print("256 KiB flash on the simulator: %.2f s, with -c %.2f s" % (t_plain, t_checked))
for filler in (0, 2):
    print("filler %d: %.2f exchanges per 32 bytes read by -d"
          % (filler, (dump(big, filler)[0] - dump(small, filler)[0]) / chunks))
times = [dump(big, 2)[1] for _ in range(5)]
print("saving a 256 KiB flash (-d) on the simulator: median %.2f s, slowest %.2f s"
      % (statistics.median(times), max(times)))

with tempfile.TemporaryDirectory() as d:
    raw = os.path.join(d, "image.bin")
    image(raw, 1 << 20)
    objcopy = ["arm-none-eabi-objcopy", "-I", "binary"]
    subprocess.run(objcopy + ["-O", "ihex", raw, os.path.join(d, "image.hex")], check=True)
    subprocess.run(objcopy + ["-O", "srec", raw, os.path.join(d, "image.srec")], check=True)
    with open(os.path.join(d, "image.s"), "w") as f:
        f.write('.section .text, "ax"\n.incbin "%s"\n' % raw)
    subprocess.run(["arm-none-eabi-as", os.path.join(d, "image.s"), "-o", os.path.join(d, "image.o")],
                   check=True)
    subprocess.run(["arm-none-eabi-ld", "-Ttext=0", "-e", "0", os.path.join(d, "image.o"), "-o",
                    os.path.join(d, "image.elf")], check=True)
    for name in ("image.bin", "image.hex", "image.srec", "image.elf"):
        path = os.path.join(d, name)
        report = os.path.join(d, "rss")
        best = None
        for _ in range(5):
            t0 = time.monotonic()
            r = subprocess.run([peak_rss, report, mcuflash, path], capture_output=True)
            t = time.monotonic() - t0
            if b"can't open device" not in r.stderr:
                sys.exit("%s: %r" % (name, r.stderr[-300:]))
            best = t if best is None else min(best, t)
        with open(report) as f:
            rss = int(f.read())
        print("1 MiB image as %-10s (%8d bytes): read in %.1f ms, peak RSS %d kB"
              % (name, os.path.getsize(path), best * 1e3, rss))
