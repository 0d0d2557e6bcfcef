// Test-side handle to one simulated board.
//
// A board lives in a directory of its own (created by Board, removed by its
// destructor). Programs run against it with the preload library, which finds
// the directory through the environment variable BOARDSIM_DIR and keeps the
// board's state in <dir>/board.state, so successive runs see one board.
//
// One board, one bus. Every process that runs against the directory, at the
// same time or one after another, talks to the same MCU: its program, the
// firmware's transaction in progress, the bootloader's protocol state, the
// flash contents and the GPIO levels. The simulator serialises the exchanges
// and GPIO writes of all processes with an internal lock (flock on
// <dir>/board.lock, which also holds the MCU's in-flight state; the device
// file <dir>/spidev0.0 is left to the programs' own locks).
//
// Collisions. A process owns the bus
//   - from a firmware command word to the end of its data phase or
//     acknowledgement (resynchronisation exchanges included), as long as it
//     goes on exchanging: after 1 s without an exchange it owns nothing;
//   - from the GPIO sequence with which it restarted the MCU into the
//     bootloader until the next restart, whatever the pauses.
// An owner that has died owns nothing. An exchange of another process while
// the bus is owned is a collision: a "K" record names both processes
// (Board::collisions()), the MCU takes the intruding bytes, the intruder
// receives what the MCU clocked out inverted (XOR 0xFF), and the owner's
// next exchange reaches the MCU ORed with the intruding bytes and comes
// back inverted too, as the mixed stream on the wire would.
//
// The state is a set of key=value settings. Every key has a default, so a
// fresh board is a healthy unit running its firmware. Keys (values are
// decimal unless said otherwise; "hex" means a string of hex digits, two per
// byte, no separators):
//
//   MCU program
//     mcu.program        firmware | bootloader | off          (firmware)
//                        switched by the reset pulse on GPIO line 22: the
//                        rising edge starts the bootloader when line 21 is
//                        low, the firmware when it is high; "off" while
//                        line 22 is held low (the MCU clocks out zeros)
//     mcu.firmware       erased: set by the bootloader's erase all
//                        unsecure; the MCU then has no firmware and, when
//                        it runs "firmware", clocks out zeros and takes
//                        nothing in. Unset again by an execute command
//                        that follows a write memory whose every announced
//                        byte arrived (a write of zero bytes does not count)
//                                                              (unset)
//
//   Firmware data (what the MCU reports)
//     fw.battery         0..255                                (87)
//     fw.charging        0..255                                (1)
//     fw.major fw.minor  0..255                                (1, 4)
//     fw.patch fw.build  0..65535                              (2, 57)
//     fw.commit          up to 7 characters                    (a1b2c3d)
//     fw.uuid            hex, 16 bytes            (000102030405060708090a0b0c0d0e0f)
//     fw.serial          10 characters                         (SU01-02003)
//     fw.usbc            hex, 3 bytes                          (6ba6d0)
//     fw.status.set      reply byte of test mode/reset/link    (1)
//     fw.status.uuid fw.status.serial fw.status.usbc  status bytes (1)
//     fw.ack_refuse      1: write transactions are answered with a wrong
//                        acknowledgement (the MCU refuses the value)  (0)
//   Firmware records (what the MCU was told; written by the simulator)
//     fw.test_mode fw.reset_mode fw.link_led   last argument byte  (unset)
//     fw.usbc_mode fw.usbc_current             last payload byte   (unset)
//     fw.serial is overwritten by a serial-number write.
//
//   Firmware faults (counts are "the next N occurrences"; -1 means always)
//     fw.not_ready=N       command words answered 00 00 instead of FF FF
//     fw.resync_delay=N    resync phase 1 answers N bytes of 00 before 69
//     fw.no_resync_marker=1  phase 1 never answers 69
//     fw.no_resync_ack=1     phase 2 never answers FF F3
//     fw.bad_crc=N         read data phases carry a wrong CRC-8 byte
//     fw.bad_ack=N         write acknowledgements are 01 00 instead of 01 07
//     fw.silent=1          the MCU clocks out only zero bytes
//
//   SPI device faults and driver behaviour
//     spi.fail_open=1          opening /dev/spidev0.0 fails (ENOENT)
//     spi.no_lock=1            flock() on the device fails with EINVAL (a
//                              device without lock support)
//     spi.lock_errno=N         flock() on the device fails with errno N
//     spi.fail_ioctl=NAME      that configuration ioctl returns -1 (EINVAL);
//                              NAME: wr_mode rd_mode wr_bits rd_bits
//                                    wr_speed rd_speed
//     spi.fail_exchanges=N     SPI_IOC_MESSAGE returns -1 (EIO)
//     spi.readback.speed=HZ    the driver reads back this maximum speed
//                              instead of the value written (likewise
//                              spi.readback.mode, spi.readback.bits)
//
//   KBoot ROM bootloader
//     kb.filler=N          0x00 filler bytes before each packet it sends (2)
//     kb.storm=N           extra non-zero filler bytes (0xFF) before each
//                          packet, after the zero filler                  (0)
//     kb.nak_at=K          the K-th host packet that wants an ACK is
//                          answered 5A A2 (counted from 1 since boot)
//     kb.bad_crc_at=K      the K-th generic response carries a wrong CRC
//     kb.error_at=K        the K-th generic response carries status
//     kb.error_status=S    (default 10000 when kb.error_at is set)
//     kb.error_command=T   the first response to every command with tag T
//                          (decimal: 13 erase, 3 read memory, 7 get
//                          property...) carries status kb.error_status
//     kb.silent=1          the bootloader never answers (zero bytes)
//     kb.flash_start=A     flash start address, get-property 3        (0)
//     kb.flash_size=N      flash size in bytes, get-property 4   (262144)
//                          write memory and read memory outside the
//                          flash are refused with status 10200
//     kb.no_properties=1   every get-property is answered with status
//                          10300 (unknown property)
//     kb.corrupt_at=A      the byte that write memory writes at flash
//                          address A is stored inverted (only a read-back
//                          finds it)
//   At each start the bootloader reads the flash security byte 0x40C:
//   bits 1-0 other than 0b10 secure the MCU: read memory and write memory
//   are refused with status 10001 until an erase all unsecure; with bits
//   5-4 0b10 (mass erase disabled) too, erase all unsecure is refused
//   with status 103. Erased flash reads 0xFF, and 0xFE (unsecured) at
//   0x40C.
//   KBoot records (written by the simulator)
//     kb.erased=1          after an erase all unsecure
//     kb.executed=J,A,S    jump address, argument, stack pointer (hex)
//     kb.violations        count of protocol faults the host committed
//                          (bad CRC, bad length, packet out of order,
//                          missing host ACK); details in the log
//     the bytes written by write memory are kept in <dir>/flash.bin, from
//     address 0 to the last byte written, gaps erased
//
//   GPIO (sysfs under /sys/class/gpio, simulated)
//     gpio.N.exported  0|1,  gpio.N.direction in|out,  gpio.N.value 0|1
//     gpio.fail_in=K   the K-th GPIO write from now fails with EIO and
//                      changes nothing (counted across runs)
//     gpio.delay_ms=N  every GPIO write takes N ms (a slow sysfs)
//
//   Files and network
//     A board directory that a process cannot write (or whose board.lock
//     it cannot open) is said on its standard error; the board's paths
//     and datagrams then fail with that error.
//     The local version file /etc/krv_version.xml is read from
//     <dir>/krv_version.xml (missing when that file is missing).
//     fs.deny=PATH         opening or access() of PATH fails with EACCES
//                          (as root, chmod cannot make a file unreadable)
//     net.mode=capture     (default) every sendto() to a non-loopback IPv4
//                          address is captured into <dir>/datagrams and
//                          reported as sent; nothing leaves the process.
//     net.mode=real        datagrams are really sent; honoured only in a
//                          network namespace other than the machine's,
//                          otherwise captured as above. The machine's
//                          namespace (PID 1's, or where PID 1 is hidden the
//                          outermost visible ancestor's) is decided by the
//                          board's first process and kept in
//                          <dir>/net.reference for every later one, a
//                          re-parented daemon included; where the first
//                          process could not tell ("unknown"), sends fail
//                          with EPERM and a line on standard error.
//     net.send_fail=1      sendto() fails with ENETUNREACH
//     net.resolve_fail=1   gethostbyname() fails
//     net.stop_after=N     after the N-th captured datagram the process
//                          receives SIGTERM (ends the telemetry loop)
//     time.fast_sleep=1    sleep() returns at once (usleep is untouched)
//     time.step_after_ms=M, time.step_s=S
//                          M ms after a process's first SPI exchange with
//                          the bootloader, its calendar clock (time(),
//                          gettimeofday(), clock_gettime(CLOCK_REALTIME))
//                          jumps by S seconds (S may be negative) and stays
//                          so; CLOCK_MONOTONIC is never stepped. Read at
//                          that first exchange.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace boardsim {

// One SPI_IOC_MESSAGE(1) exchange as the device saw it. Runs of identical
// consecutive exchanges of one process (same descriptor fields, same tx and
// rx bytes, nothing of another process in between) are one record with
// count > 1; t_first_ns and t_last_ns are CLOCK_MONOTONIC
// times of the start of the first and of the last exchange of the run.
struct Exchange {
  uint64_t t_first_ns = 0;
  uint64_t t_last_ns = 0;
  uint64_t count = 1;
  long pid = 0;  // the process that made the exchanges
  uint32_t speed_hz = 0;
  uint16_t delay_usecs = 0;
  uint8_t bits_per_word = 0;
  uint8_t cs_change = 0;
  uint8_t tx_nbits = 0;
  uint8_t rx_nbits = 0;
  bool has_tx = true;   // tx_buf was not null
  bool has_rx = true;   // rx_buf was not null
  bool failed = false;  // the ioctl returned -1 (an injected fault)
  std::vector<uint8_t> tx;
  std::vector<uint8_t> rx;
};

// A configuration ioctl on the SPI device, in order.
struct SpiConfig {
  std::string name;  // wr_mode rd_mode wr_bits rd_bits wr_speed rd_speed
  uint32_t value;    // value written, or value read back
  bool failed;
  long pid = 0;
};

// One write() to a sysfs GPIO file, in order.
struct GpioWrite {
  uint64_t t_ns;
  long pid = 0;
  std::string path;  // e.g. "/sys/class/gpio/gpio22/value"
  std::string data;  // exactly the bytes written, e.g. "1", "out", "22"
};

// A protocol fault of the host that the bootloader noted, in order.
struct Note {
  uint64_t t_ns = 0;
  long pid = 0;
  std::string text;
};

// A captured datagram.
struct Datagram {
  uint64_t t_ns = 0;
  long pid = 0;
  std::string to;  // "192.168.1.255:2013"
  std::vector<uint8_t> bytes;
};

// An exchange of process `pid` inside the open transaction of process
// `owner` (see "One board, one bus" above).
struct Collision {
  uint64_t t_ns = 0;
  long pid = 0;          // the intruder
  long owner = 0;        // the process whose transaction was open
  std::string program;   // "firmware" or "bootloader": what the MCU ran
};

struct RunResult {
  std::string out;      // standard output
  std::string err;      // standard error
  int status = -1;      // exit status, or -1 when ended by a signal
  int signal = 0;       // terminating signal, 0 when it exited
  bool timed_out = false;
  double seconds = 0;   // wall time
};

class Board {
 public:
  Board();  // a fresh board with every key at its default
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  const std::string& dir() const { return dir_; }

  void set(const std::string& key, const std::string& value);  // "" unsets
  void set(const std::string& key, long long value);
  std::string get(const std::string& key) const;  // "" when unset

  void write_version_file(const std::string& xml);
  void remove_version_file();

  // Records; in-process use sees everything exchanged so far. They live in
  // <dir>/spi.log, <dir>/gpio.log and <dir>/datagrams (formats and parsers:
  // boardsim/src/logs.h; `boardsim --dir DIR --log` prints them). Every
  // record names the process that made it.
  std::vector<Exchange> spi_log() const;
  std::vector<SpiConfig> spi_config_log() const;
  std::vector<GpioWrite> gpio_log() const;
  std::vector<std::vector<uint8_t>> datagrams() const;  // the bytes alone
  std::vector<Datagram> datagram_records() const;
  std::vector<uint8_t> flash() const;  // bytes written by the bootloader
  // Protocol faults the bootloader noted about the host, in order.
  std::vector<std::string> notes() const;  // the texts alone
  std::vector<Note> note_records() const;
  std::vector<Collision> collisions() const;
  void clear_logs();                   // forget all records so far

  // Runs argv[0] (a path) with the preload library and BOARDSIM_DIR set,
  // through the cross-compiling emulator when there is one. The child is
  // killed after timeout_s. `env` adds or overrides variables ("" value
  // removes it).
  RunResult run(const std::vector<std::string>& argv,
                const std::map<std::string, std::string>& env = {},
                double timeout_s = 20) const;

  // Points this process's own SPI/GPIO/file calls at this board (sets
  // BOARDSIM_DIR), for in-process tests that link the preload library.
  void attach() const;

 private:
  std::string dir_;
};

// Paths of the built programs, for end-to-end tests.
std::string unitctl_path();
std::string mcuflash_path();
// The emulator command that run() puts before every program (empty unless
// the build is a cross build).
std::vector<std::string> emulator();
// The boardsim launcher (boardsim [--dir DIR] [--set k=v]... [--] program...).
std::string launcher_path();

}  // namespace boardsim
