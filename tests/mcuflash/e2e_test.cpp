// End-to-end tests: the real mcuflash binary against the simulated board.
// Full flashes cost one to two seconds of wake-up each, so only the cases
// that need the bootloader run one.
// 64-bit file sizes on 32-bit targets too: the tests make files past 4 GiB.
#define _FILE_OFFSET_BITS 64

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boardsim/board.h>

#include "kboot_reference.h"
#include "run_lines.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

using boardsim::Board;
using boardsim::RunResult;
using Bytes = std::vector<uint8_t>;
using Writes = std::vector<std::pair<std::string, std::string>>;

constexpr double kTimeout = 60;

const auto ref_crc16 = kboot_reference::crc16;
const auto ref_packet = kboot_reference::framed;

Bytes write_memory_packet(uint32_t size) { return kboot_reference::command(0x04, 0x00, {0, size}); }
Bytes get_property_packet(uint32_t tag) { return kboot_reference::command(0x07, 0x00, {tag, 0}); }

const Bytes kPing = {0x5A, 0xA6};
const Bytes kAck = {0x5A, 0xA1};
const Bytes kErase = {0x5A, 0xA4, 0x04, 0x00, 0xCF, 0x32, 0x0D, 0x00, 0xCC, 0x00};
const Bytes kExecute = {0x5A, 0xA4, 0x10, 0x00, 0x5D, 0xB2, 0x09, 0x00, 0x00, 0x03, 0x3D,
                        0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x01, 0x20};

std::string hex_row(const std::string& label, const Bytes& bytes) {
  std::string row = label + " | ";
  char cell[8];
  for (uint8_t b : bytes) {
    snprintf(cell, sizeof cell, "%02X ", b);
    row += cell;
  }
  return row + " | \n";
}

std::string usage(const std::string& program) {
  return "Usage: " + program +
         " [OPTIONS] binary-file\n"
         "  -h                   Print this help and exit\n"
         "  -V                   Print mcuflash's version and exit\n"
         "  -v                   Enable verbose output\n"
         "  -r                   Reboot MCU\n"
         "  -c                   Read the image back and compare before starting it\n"
         "  -d FILE              Save the MCU's flash to FILE (no image, no -c)\n";
}

std::string spinner(size_t chunks) {
  std::string s = "/";
  for (size_t k = 1; k <= chunks; ++k) {
    s += '\b';
    s += "/-\\|"[k % 4];
  }
  return s + "\b";
}

std::string value_path(int line) {
  return "/sys/class/gpio/gpio" + std::to_string(line) + "/value";
}

Writes first_init() {
  Writes w;
  for (int line : {11, 21, 22}) {
    w.push_back({"/sys/class/gpio/export", std::to_string(line)});
    w.push_back({"/sys/class/gpio/gpio" + std::to_string(line) + "/direction", "out"});
    w.push_back({value_path(line), "1"});
  }
  return w;
}

const Writes kReboot = {{value_path(11), "1"}, {value_path(21), "1"}, {value_path(22), "1"},
                        {value_path(22), "0"}, {value_path(22), "1"}};
const Writes kEnterBootloader = {{value_path(11), "1"}, {value_path(21), "1"},
                                 {value_path(22), "1"}, {value_path(22), "0"},
                                 {value_path(21), "0"}, {value_path(22), "1"}};

Writes operator+(Writes a, const Writes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Writes gpio_writes(const Board& board) {
  Writes w;
  for (const auto& g : board.gpio_log()) w.push_back({g.path, g.data});
  return w;
}

// One exchange of the log; runs of identical exchanges are expanded unless
// they are long (the wake-up bytes), which stay one entry with their count.
struct Flat {
  Bytes tx, rx;
  uint64_t count;
};

std::vector<Flat> flat_log(const Board& board) {
  std::vector<Flat> out;
  for (const auto& e : board.spi_log()) {
    if (e.count > 1000) {
      out.push_back({e.tx, e.rx, e.count});
    } else {
      for (uint64_t i = 0; i < e.count; ++i) out.push_back({e.tx, e.rx, 1});
    }
  }
  return out;
}

// The host's packets: every exchange longer than one byte.
std::vector<Bytes> host_packets(const Board& board) {
  std::vector<Bytes> out;
  for (const auto& e : board.spi_log())
    for (uint64_t i = 0; i < e.count && e.tx.size() > 1; ++i) out.push_back(e.tx);
  return out;
}

Bytes pattern(size_t size, unsigned seed) {
  Bytes b(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

// A set-up failure: `message` alone on standard error and status 1, no
// signal (and so no core).
void expect_set_up_failure(const RunResult& r, const std::string& message) {
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, message);
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Mcuflash : public testing::Test {
 protected:
  std::string image(const Bytes& bytes, const std::string& name = "image.bin") {
    const std::string path = board_.dir() + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  RunResult run(std::vector<std::string> args) {
    args.insert(args.begin(), boardsim::mcuflash_path());
    return board_.run(args, {}, kTimeout);
  }
  void expect_untouched() {
    EXPECT_TRUE(board_.gpio_log().empty());
    EXPECT_TRUE(board_.spi_log().empty());
    EXPECT_TRUE(board_.spi_config_log().empty());
    EXPECT_EQ(board_.get("mcu.program"), "");
  }
  // What a completed non-verbose run of `size` bytes prints.
  static std::string quiet_run_output(const std::string& path, size_t size) {
    return "Flashing " + path + "\nFile size " + path + ": " + std::to_string(size) + "\n" +
           spinner((size + 31) / 32) + "Successfully flashed " + path + ".\n";
  }
  Board board_;
};

// ---------------------------------------------------------------------------
// Command line: nothing reaches the MCU.

TEST_F(Mcuflash, UsagePathsAndTheirStatuses) {
  const std::string img = image({1, 2, 3});
  const std::string prog = boardsim::mcuflash_path();
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // exact standard error; "?" for the option parser's own
  } cases[] = {
      {{}, 1, "Please supply a file to flash\n"},
      {{"-v"}, 1, "Please supply a file to flash\n"},
      {{"-h"}, 0, ""},
      {{"-h", img}, 0, ""},
      {{"-vh", img}, 0, ""},
      {{"-x", img}, 1, "?"},
      {{"-v", "-q", img}, 1, "?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const RunResult r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, usage(prog));
    if (c.err == "?") {
      EXPECT_FALSE(r.err.empty());  // the option parser's own words
    } else {
      EXPECT_EQ(r.err, c.err);
    }
    expect_untouched();
  }
}

TEST_F(Mcuflash, MissingImageEndsWithItsPathBeforeAnythingIsTouched) {
  const std::string missing = board_.dir() + "/no-such-image.bin";
  const RunResult r = run({"-v", missing});
  expect_set_up_failure(r, missing + ": No such file or directory\n");
  EXPECT_EQ(r.out, "");
  expect_untouched();
}

TEST_F(Mcuflash, UnusableImagesEndWithStatusOneBeforeAnythingIsTouched) {
  const std::string denied = image({1, 2, 3}, "denied.bin");
  const std::string empty = image({}, "empty.bin");
  const std::string huge = image({1}, "huge.bin");
  ASSERT_EQ(truncate(huge.c_str(), 0x100000000LL), 0);
  const std::string dir = board_.dir() + "/somedir";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  board_.set("fs.deny", denied);
  struct Case {
    std::string path;
    std::string why;
  } cases[] = {
      {denied, ": Permission denied\n"},
      {empty, "empty"},
      {huge, "too large"},
      {dir, "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const RunResult r = run({c.path});
    if (c.path == denied) {
      // The simulator denies access() as well as open(), so the existence
      // check already fails, as for a missing path.
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(c.path + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    expect_untouched();
  }
}

TEST_F(Mcuflash, SpiSetUpFailuresEndWithTheirMessageAndStatus1) {
  const std::string img = image({1, 2, 3});
  struct Case {
    std::string key, value, err;
  } cases[] = {
      {"spi.fail_open", "1", "can't open device: No such file or directory\n"},
      {"spi.fail_ioctl", "wr_mode", "can't set spi mode: Invalid argument\n"},
      {"spi.fail_ioctl", "rd_mode", "can't get spi mode: Invalid argument\n"},
      {"spi.fail_ioctl", "wr_bits", "can't set bits per word: Invalid argument\n"},
      {"spi.fail_ioctl", "rd_bits", "can't get bits per word: Invalid argument\n"},
      {"spi.fail_ioctl", "wr_speed", "can't set max speed hz: Invalid argument\n"},
      {"spi.fail_ioctl", "rd_speed", "can't get max speed hz: Invalid argument\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Board board;
    board.set(c.key, c.value);
    const std::string path = board.dir() + "/image.bin";
    std::ofstream(path) << "abc";
    const RunResult r = board.run({boardsim::mcuflash_path(), path}, {}, kTimeout);
    expect_set_up_failure(r, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(board.gpio_log().empty());
    EXPECT_TRUE(board.spi_log().empty());
  }
}

TEST_F(Mcuflash, FailedExchangeEndsWithStatus1AfterFlushingOutput) {
  const std::string img = image({1, 2, 3});
  board_.set("spi.fail_exchanges", 1);
  const RunResult r = run({img});
  expect_set_up_failure(r, "can't send spi message: Input/output error\n"
                           "mcuflash: the MCU is held in reset or in its bootloader, its flash "
                           "unchanged; mcuflash -r starts the unchanged firmware\n");
  EXPECT_EQ(r.out, "Flashing " + img + "\n");  // not lost in the pipe's buffer
  EXPECT_EQ(gpio_writes(board_), first_init() + kReboot + kEnterBootloader);
}

// ---------------------------------------------------------------------------
// -r: restart only.

TEST_F(Mcuflash, RestartOnlyExportsOnceAndNeverTouchesImageOrSpi) {
  const std::string missing = board_.dir() + "/not-there.bin";
  board_.set("mcu.program", "bootloader");

  RunResult r = run({"-r", missing});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "MCU successfully rebooted\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(gpio_writes(board_), first_init() + kReboot);
  EXPECT_TRUE(board_.spi_log().empty());
  EXPECT_TRUE(board_.spi_config_log().empty());
  EXPECT_EQ(board_.get("mcu.program"), "firmware");
  for (int line : {11, 21, 22}) {
    EXPECT_EQ(board_.get("gpio." + std::to_string(line) + ".direction"), "out");
    EXPECT_EQ(board_.get("gpio." + std::to_string(line) + ".value"), "1");
  }

  // Options act when met: -v before -r makes the restart verbose, -v after
  // it is never seen, nor is -h.
  board_.clear_logs();
  r = run({"-v", "-r", missing});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Initializing GPIOs\n"
            "Pin 11: Already initialized\n"
            "Pin 21: Already initialized\n"
            "Pin 22: Already initialized\n"
            "Rebooting MCU...\n"
            "MCU successfully rebooted\n");
  EXPECT_EQ(gpio_writes(board_), kReboot);

  for (const auto& args : {std::vector<std::string>{"-r", "-v"}, {"-r", "-h"}, {"-rv", missing}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    board_.clear_logs();
    r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "MCU successfully rebooted\n");
    EXPECT_EQ(gpio_writes(board_), kReboot);
    EXPECT_TRUE(board_.spi_log().empty());
  }
}

TEST_F(Mcuflash, FirstVerboseRestartReportsInitialisation) {
  const RunResult r = run({"-vr"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Initializing GPIOs\n"
            "Pin 11: Initializing\n"
            "Pin 21: Initializing\n"
            "Pin 22: Initializing\n"
            "Rebooting MCU...\n"
            "MCU successfully rebooted\n");
  EXPECT_EQ(gpio_writes(board_), first_init() + kReboot);
}

// ---------------------------------------------------------------------------
// A GPIO file that cannot be opened or written ends the run with its name
// and the system error, status 1, after the sequence in progress has made
// its remaining writes; nothing goes on the bus after a failed restart into
// the bootloader.

Writes init_of(int line) {
  const std::string l = std::to_string(line);
  return {{"/sys/class/gpio/export", l}, {"/sys/class/gpio/gpio" + l + "/direction", "out"},
          {value_path(line), "1"}};
}

struct GpioFault {
  std::string name;
  bool flash;  // a flash run, else -r
  std::map<std::string, std::string> keys;
  std::string path;  // the file named in the message
  int error;
  Writes writes;  // every GPIO write of the run, in order
};

void PrintTo(const GpioFault& f, std::ostream* os) { *os << f.name; }

class GpioFaults : public Mcuflash, public testing::WithParamInterface<GpioFault> {};

const std::map<std::string, std::string> kExportedOutputs = {
    {"gpio.11.exported", "1"}, {"gpio.11.direction", "out"}, {"gpio.11.value", "1"},
    {"gpio.21.exported", "1"}, {"gpio.21.direction", "out"}, {"gpio.21.value", "1"},
    {"gpio.22.exported", "1"}, {"gpio.22.direction", "out"}, {"gpio.22.value", "1"}};

std::map<std::string, std::string> with(std::map<std::string, std::string> keys,
                                        const std::string& key, const std::string& value) {
  keys[key] = value;
  return keys;
}

// Writes on a fresh board: nine of initialisation, five of the restart, six
// into the bootloader, five of the final restart.
const GpioFault kGpioFaults[] = {
    {"InitExport", true, {{"gpio.fail_in", "4"}}, "/sys/class/gpio/export", EIO,
     init_of(11) + Writes{{"/sys/class/gpio/export", "21"}} + init_of(22)},
    {"InitDirection", false, {{"gpio.fail_in", "2"}}, "/sys/class/gpio/gpio11/direction", EIO,
     first_init()},
    {"InitValue", true, {{"gpio.fail_in", "9"}}, value_path(22), EIO, first_init()},
    {"RestartBeforeBootloader", true, {{"gpio.fail_in", "10"}}, value_path(11), EIO,
     first_init() + kReboot},
    {"EnterBootloader", true, {{"gpio.fail_in", "19"}}, value_path(21), EIO,
     first_init() + kReboot + kEnterBootloader},
    {"FinalRestart", true, {{"gpio.fail_in", "24"}}, value_path(22), EIO,
     first_init() + kReboot + kEnterBootloader + kReboot},
    {"RestartOnly", false, {{"gpio.fail_in", "12"}}, value_path(22), EIO, first_init() + kReboot},
    {"BootSelectDenied", true, with(kExportedOutputs, "fs.deny", value_path(21)), value_path(21),
     EACCES, {{value_path(11), "1"}, {value_path(22), "1"}, {value_path(22), "0"},
              {value_path(22), "1"}}},
};

TEST_P(GpioFaults, EndTheRunWithTheFileAndStatusOne) {
  const GpioFault& f = GetParam();
  for (const auto& [key, value] : f.keys) board_.set(key, value);
  const Bytes bytes = pattern(40, 5);
  const std::string img = image(bytes);
  const RunResult r = f.flash ? run({img}) : run({"-r"});
  EXPECT_EQ(r.status, 1);
  const bool written = f.name == "FinalRestart";
  std::string err = f.path + ": " + strerror(f.error) + "\n";
  if (written) err += img + " was written, but the MCU could not be restarted\n";
  // Once the MCU was touched, where it was left.
  if (std::string(f.name).rfind("Init", 0) != 0) err += "mcuflash: " + (written ? kWritten : kHeld);
  EXPECT_EQ(r.err, err);
  if (!f.flash) {
    EXPECT_EQ(r.out, "");
  } else if (written) {
    EXPECT_EQ(r.out, "Flashing " + img + "\nFile size " + img + ": 40\n" + spinner(2));
    EXPECT_EQ(board_.flash(), bytes);
    EXPECT_EQ(board_.get("mcu.program"), "bootloader");
  } else {
    EXPECT_EQ(r.out, "Flashing " + img + "\n");
    EXPECT_TRUE(board_.spi_log().empty());
  }
  EXPECT_EQ(gpio_writes(board_), f.writes);
}

INSTANTIATE_TEST_SUITE_P(Points, GpioFaults, testing::ValuesIn(kGpioFaults),
                         [](const auto& info) { return info.param.name; });

// A line that a failed direction write left as an input is set up again,
// with the line of a line it initialises: the rerun flashes.
TEST_F(Mcuflash, RerunAfterAFailedDirectionWriteFlashes) {
  board_.set("gpio.fail_in", 2);  // line 11's direction
  ASSERT_EQ(run({"-r"}).status, 1);
  board_.clear_logs();
  const Bytes bytes = pattern(40, 6);
  const RunResult r = run({"-v", image(bytes)});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Pin 11: Initializing\nPin 21: Already initialized\n"), std::string::npos);
  EXPECT_EQ(board_.flash(), bytes);
  const Writes again = {{"/sys/class/gpio/gpio11/direction", "out"}, {value_path(11), "1"}};
  EXPECT_EQ(gpio_writes(board_), again + kReboot + kEnterBootloader + kReboot);
}

// ---------------------------------------------------------------------------
// Full flashes.

class FlashSizes : public Mcuflash, public testing::WithParamInterface<size_t> {};

TEST_P(FlashSizes, ImageArrivesWholeInThirtyTwoBytePackets) {
  const size_t size = GetParam();
  const Bytes bytes = pattern(size, static_cast<unsigned>(size));
  const std::string img = image(bytes);
  // An option after the image path is an operand: the run stays quiet.
  const RunResult r = run({img, "-v"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, quiet_run_output(img, size));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(board_.flash(), bytes);
  EXPECT_EQ(board_.get("kb.violations"), "");
  EXPECT_EQ(board_.get("kb.erased"), "1");
  EXPECT_EQ(board_.get("kb.executed"), "43d,0,20012000");
  EXPECT_EQ(board_.get("mcu.program"), "firmware");

  // The host's packets in order, each data packet built from its chunk.
  // The flash range: each property's response is read as its header and
  // its payload, one exchange each.
  std::vector<Bytes> want = {kPing};
  for (uint32_t property : {3, 4})
    want.insert(want.end(), {get_property_packet(property), Bytes(5, 0), Bytes(12, 0), kAck});
  want.insert(want.end(), {kErase, kAck, write_memory_packet(static_cast<uint32_t>(size)), kAck});
  for (size_t at = 0; at < size; at += 32) {
    const size_t n = std::min<size_t>(32, size - at);
    want.push_back(ref_packet(0xA5, Bytes(bytes.begin() + at, bytes.begin() + at + n)));
  }
  want.insert(want.end(), {kAck, kExecute, kAck});
  EXPECT_EQ(host_packets(board_), want);

  // Each host ACK is followed by six 0x00 bytes.
  const std::vector<Flat> flat = flat_log(board_);
  size_t acks = 0;
  for (size_t i = 0; i < flat.size(); ++i) {
    if (flat[i].tx != kAck) continue;
    ++acks;
    ASSERT_LT(i + 6, flat.size() + 1);
    for (size_t j = 1; j <= 6; ++j) EXPECT_EQ(flat[i + j].tx, Bytes{0x00});
  }
  EXPECT_EQ(acks, 6u);

  // Restart into the bootloader, then into the new firmware after the last
  // exchange.
  const auto gpio = board_.gpio_log();
  EXPECT_EQ(gpio_writes(board_), first_init() + kReboot + kEnterBootloader + kReboot);
  const auto spi = board_.spi_log();
  ASSERT_FALSE(spi.empty());
  ASSERT_GE(gpio.size(), 5u);
  EXPECT_GT(gpio[gpio.size() - 5].t_ns, spi.back().t_last_ns);
  EXPECT_LT(gpio[gpio.size() - 6].t_ns, spi.front().t_first_ns);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FlashSizes, testing::Values(1, 32, 33, 64, 100, 160, 5000));

TEST_F(Mcuflash, WakeUpStopsByTheClockAndFiveChunksSpinInTurn) {
  const Bytes bytes = pattern(150, 7);
  const std::string img = image(bytes);
  const RunResult r = run({img});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "Flashing " + img + "\nFile size " + img + ": 150\n" +
                       "/\b-\b\\\b|\b/\b-\b" + "Successfully flashed " + img + ".\n");

  // The wake-up: single 0xFF bytes up to the ping, for one to two seconds.
  const auto spi = board_.spi_log();
  uint64_t wake_bytes = 0;
  uint64_t first = 0, last = 0;
  size_t i = 0;
  for (; i < spi.size() && spi[i].tx == Bytes{0xFF}; ++i) {
    if (i == 0) first = spi[i].t_first_ns;
    last = spi[i].t_last_ns;
    wake_bytes += spi[i].count;
  }
  ASSERT_LT(i, spi.size());
  EXPECT_EQ(spi[i].tx, kPing);
  EXPECT_GT(wake_bytes, 1000u);
  const double seconds = static_cast<double>(last - first) / 1e9;
  EXPECT_GE(seconds, 0.95);
  EXPECT_LE(seconds, 3.0);
}

TEST_F(Mcuflash, VerboseRunIsByteExact) {
  board_.set("kb.filler", 0);
  const Bytes bytes = pattern(33, 3);
  const std::string img = image(bytes);
  const RunResult r = run({"-v", img});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  // The bootloader's own answers are checked for shape only.
  std::string out;
  const std::regex row(
      "^(Ping response|Generic response|Get property response) \\| ((?:[0-9A-F]{2} )+) \\| $");
  size_t start = 0;
  while (start < r.out.size()) {
    size_t end = r.out.find('\n', start);
    if (end == std::string::npos) end = r.out.size();
    const std::string line = r.out.substr(start, end - start);
    std::smatch m;
    if (std::regex_match(line, m, row)) {
      out += m[1].str() + " | " + std::to_string(m[2].length() / 3) + " cells\n";
    } else {
      out += line + (end < r.out.size() ? "\n" : "");
    }
    start = end + 1;
  }
  const std::string response = "Got magic packet\nGeneric response | 18 cells\nSend ack\n";
  const std::string want =
      "spi mode: 0x0\nbits per word: 8\nmax speed: 400000 Hz (400 KHz)\n"
      "Flashing " + img + "\n"
      "Pin 11: Initializing\nPin 21: Initializing\nPin 22: Initializing\n"
      "Entering kboot\nEstablishing communication with KBoot\n"
      "Got magic packet\nPing response | 10 cells\n" +
      hex_row("get property", get_property_packet(3)) + "Got ack\n" +
      "Got magic packet\nGet property response | 18 cells\nSend ack\n" +
      hex_row("get property", get_property_packet(4)) + "Got ack\n" +
      "Got magic packet\nGet property response | 18 cells\nSend ack\n" +
      hex_row("erase all unsecure", kErase) + "Got ack\n" + response +
      "File size " + img + ": 33\n" + hex_row("write memory", write_memory_packet(33)) +
      "Got ack\n" + response + "/" +
      "Flashing 1 of 2 " + hex_row("data", ref_packet(0xA5, Bytes(bytes.begin(), bytes.begin() + 32))) +
      "Got ack\n" +
      "Flashing 2 of 2 " + hex_row("data", ref_packet(0xA5, Bytes(bytes.begin() + 32, bytes.end()))) +
      "Got ack\n\b" + response + hex_row("execute", kExecute) + "Got ack\n" + response +
      "Successfully flashed " + img + ".\n";
  EXPECT_EQ(out, want);
  EXPECT_EQ(board_.flash(), bytes);
}

TEST_F(Mcuflash, FillerBeforePacketsIsSkippedAndReported) {
  board_.set("kb.filler", 3);
  board_.set("kb.storm", 2);
  const Bytes bytes = pattern(1, 1);
  const std::string img = image(bytes);
  const RunResult r = run({"-v", img});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(board_.flash(), bytes);
  // Zero filler is reported only before the four generic and two
  // get-property responses; every one of the thirteen packets the
  // bootloader sends carries two storm bytes.
  EXPECT_EQ(count_of(r.out, "Skipping 0x00 packet\n"), 6u * 3u);
  EXPECT_EQ(count_of(r.out, "Skipping non-zero packet to sync\n"), 13u * 2u);
  // The ping's poll sends back the byte it received last, starting with the
  // first byte received while the ping went out; every other poll sends 0x00.
  const std::vector<Flat> flat = flat_log(board_);
  size_t ping = 0;
  while (ping < flat.size() && flat[ping].tx != kPing) ++ping;
  ASSERT_LT(ping, flat.size());
  size_t j = ping + 1;
  for (; j < flat.size() && flat[j - 1].rx.at(0) != 0x5A; ++j) {
    ASSERT_EQ(flat[j].tx.size(), 1u);
    EXPECT_EQ(flat[j].tx[0], flat[j - 1].rx[0]) << j - ping;
  }
  EXPECT_EQ(j - ping - 1, 3u + 2u + 1u);  // three zero bytes, two storm bytes, 0x5A
  EXPECT_EQ(flat[j - 1].tx, Bytes{0xFF});
  for (++j; j < flat.size(); ++j) {
    if (flat[j].tx.size() == 1) {
      EXPECT_EQ(flat[j].tx[0], 0x00) << j;
    }
  }
  // Without -v none of this shows.
  Board quiet;
  quiet.set("kb.filler", 3);
  quiet.set("kb.storm", 2);
  const std::string path = quiet.dir() + "/one.bin";
  std::ofstream(path, std::ios::binary).put(static_cast<char>(bytes[0]));
  const RunResult q = quiet.run({boardsim::mcuflash_path(), path}, {}, kTimeout);
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.out, quiet_run_output(path, 1));
}

// ---------------------------------------------------------------------------
// Protocol failures end with status 1 and leave the MCU in its bootloader.

TEST_F(Mcuflash, NakOnCommandStopsTheRunAndLeavesTheBootloader) {
  board_.set("kb.nak_at", 1);
  board_.set("spi.readback.speed", 1000000);
  const std::string img = image(pattern(100, 1));
  const RunResult r = run({"-v", img});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("spi mode: 0x0\nbits per word: 8\nmax speed: 1000000 Hz (1000 KHz)\n", 0), 0u)
      << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 20), "No ack received: a2\n");
  EXPECT_EQ(r.out.find("Successfully"), std::string::npos);
  EXPECT_EQ(board_.get("mcu.program"), "bootloader");
  EXPECT_EQ(gpio_writes(board_), first_init() + kReboot + kEnterBootloader);

  // The driver's settings as read back, in every descriptor.
  const auto config = board_.spi_config_log();
  ASSERT_EQ(config.size(), 6u);
  const char* names[] = {"wr_mode", "rd_mode", "wr_bits", "rd_bits", "wr_speed", "rd_speed"};
  const uint32_t values[] = {0, 0, 8, 8, 400000, 1000000};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(config[i].name, names[i]);
    EXPECT_EQ(config[i].value, values[i]) << names[i];
  }
  for (const auto& e : board_.spi_log()) {
    EXPECT_EQ(e.speed_hz, 1000000u);
    EXPECT_EQ(e.bits_per_word, 8);
    EXPECT_EQ(e.delay_usecs, 0);
    EXPECT_EQ(e.cs_change, 0);
    EXPECT_EQ(e.tx_nbits, 0);
    EXPECT_EQ(e.rx_nbits, 0);
    EXPECT_TRUE(e.has_tx);
    EXPECT_TRUE(e.has_rx);
    EXPECT_EQ(e.tx.size(), e.rx.size());
  }

  // The unit control tool gets no answer from a board in its bootloader;
  // mcuflash -r brings the firmware back.
  const RunResult u1 = board_.run({boardsim::unitctl_path(), "-b"}, {}, kTimeout);
  EXPECT_NE(u1.status, 0);
  EXPECT_EQ(run({"-r"}).status, 0);
  const RunResult u2 = board_.run({boardsim::unitctl_path(), "-b"}, {}, kTimeout);
  EXPECT_EQ(u2.status, 0);
  EXPECT_EQ(u2.out, "Battery level: 87 %\n");
}

TEST_F(Mcuflash, NakOnDataPacketStopsTheDownload) {
  board_.set("kb.nak_at", 6);  // 2 get-property, erase, write memory, data 1, data 2
  const std::string img = image(pattern(100, 2));
  const RunResult r = run({img});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Flashing " + img + "\nFile size " + img + ": 100\n/\b-No ack received: a2\n");
  EXPECT_EQ(board_.get("mcu.program"), "bootloader");
  // Nothing went out after the refused packet.
  const auto packets = host_packets(board_);
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.back()[1], 0xA5);
  EXPECT_EQ(packets.back()[2], 32);
}

// The 18 bytes of the last generic response, read back from the log.
Bytes last_generic_response(const std::vector<Flat>& flat, size_t* ack_at) {
  size_t i = flat.size();
  while (i > 0 && flat[i - 1].tx != kAck) --i;
  if (i == 0 || i < 19) return {};
  *ack_at = i - 1;
  Bytes response;
  for (size_t j = i - 1 - 18; j < i - 1; ++j) response.push_back(flat[j].rx.at(0));
  return response;
}

TEST_F(Mcuflash, BadGenericResponsesAreAcknowledgedThenEndTheRun) {
  struct Case {
    std::string key;
    long long at;
    long long status;  // kb.error_status, or -1 for the default
    std::string tail;  // end of standard output; "crc" for the checksum text
    bool data_phase;   // the download ran before the failure
  } cases[] = {
      // Responses: 2 get-property, erase, write memory, end of data, execute.
      {"kb.bad_crc_at", 4, -1, "crc", false},
      {"kb.error_at", 3, 1, "Generic message error: 1 0x0001\n", false},
      {"kb.error_at", 5, -1, "Generic message error: 10000 0x2710\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + "=" + std::to_string(c.at));
    Board board;
    board.set(c.key, c.at);
    if (c.status >= 0) board.set("kb.error_status", c.status);
    const std::string img = board.dir() + "/image.bin";
    const Bytes bytes = pattern(40, 9);
    std::ofstream(img, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    const RunResult r = board.run({boardsim::mcuflash_path(), img}, {}, kTimeout);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(board.get("mcu.program"), "bootloader");
    EXPECT_EQ(r.out.find("Successfully"), std::string::npos);

    // The response was acknowledged (ACK and six zero bytes) and nothing
    // followed.
    const std::vector<Flat> flat = flat_log(board);
    size_t ack_at = 0;
    const Bytes response = last_generic_response(flat, &ack_at);
    ASSERT_EQ(response.size(), 18u);
    EXPECT_EQ(response[0], 0x5A);
    ASSERT_EQ(flat.size(), ack_at + 7);
    for (size_t j = ack_at + 1; j < flat.size(); ++j) EXPECT_EQ(flat[j].tx, Bytes{0x00});

    if (c.tail == "crc") {
      Bytes covered(response.begin(), response.begin() + 4);
      covered.insert(covered.end(), response.begin() + 6, response.end());
      const unsigned calc = ref_crc16(covered);
      const unsigned recv = static_cast<unsigned>(response[4] | response[5] << 8);
      ASSERT_NE(calc, recv);
      char want[128];
      snprintf(want, sizeof want, "Wrong crc checksum:\ncrc calc: %u 0x%04x\ncrc recv: %u 0x%04x\n",
               calc, calc, recv, recv);
      EXPECT_EQ(r.out, "Flashing " + img + "\nFile size " + img + ": 40\n" + want);
    } else {
      const std::string head = "Flashing " + img + "\n" +
                               (c.data_phase ? "File size " + img + ": 40\n" + spinner(2) : "");
      EXPECT_EQ(r.out, head + c.tail);
    }
  }
}

TEST_F(Mcuflash, SilentBootloaderEndsTheRunAfterTheBound) {
  board_.set("kb.silent", 1);
  const std::string img = image(pattern(10, 4));
  const RunResult r = run({img});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Flashing " + img + "\nNo answer from KBoot while waiting for ping response\n");
  EXPECT_GE(r.seconds, 10.0);  // wake-up plus the ten-second bound
  EXPECT_EQ(board_.get("mcu.program"), "bootloader");
  EXPECT_EQ(board_.get("kb.erased"), "");
}

}  // namespace
