// End-to-end: the real mcuflash flashes the test firmware that the ARM
// toolchain made, in every format, onto the simulated board; refuses
// damaged and locking images before touching anything; checks the flash
// range before the erase and, with -c, reads every byte back.
#include <gtest/gtest.h>

#include <boardsim/board.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "firmware_files.h"

namespace {

using boardsim::Board;
using boardsim::RunResult;
using Bytes = std::vector<uint8_t>;

constexpr double kTimeout = 60;

RunResult flash(const Board& board, std::vector<std::string> args) {
  args.insert(args.begin(), boardsim::mcuflash_path());
  return board.run(args, {}, kTimeout);
}

std::string copy_to(const Board& board, const std::string& name, const Bytes& bytes) {
  const std::string path = board.dir() + "/" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

void expect_untouched(const Board& board) {
  EXPECT_TRUE(board.gpio_log().empty());
  EXPECT_TRUE(board.spi_log().empty());
  EXPECT_EQ(board.get("mcu.program"), "");
}

TEST(McuflashImages, EveryFormatLeavesTheSameFlash) {
  SKIP_WITHOUT_FIRMWARE();
  const Bytes bin = firmware_bytes("plain.bin");
  for (const char* file : {"plain.bin", "plain.elf", "plain.hex", "plain.srec"}) {
    SCOPED_TRACE(file);
    Board board;
    const std::string path = firmware_path(file);
    const RunResult r = flash(board, {path});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(board.flash(), bin);
    EXPECT_EQ(board.get("kb.violations"), "");
    // The raw image keeps its file size line; the others say where each
    // of their two runs goes.
    const bool raw = std::string(file) == "plain.bin";
    const std::regex runs("Writing [0-9]+ bytes at 0x[0-9a-f]{8}\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), runs),
                            std::sregex_iterator()),
              raw ? 0 : 2)
        << r.out;
    EXPECT_EQ(r.out.find("File size " + path + ": " + std::to_string(bin.size()) + "\n") !=
                  std::string::npos,
              raw);
  }
}

TEST(McuflashImages, DamagedImagesAreRefusedBeforeAnythingIsTouched) {
  SKIP_WITHOUT_FIRMWARE();
  const Bytes hex = firmware_bytes("plain.hex");
  const Bytes srec_bytes = firmware_bytes("plain.srec");
  const std::string srec(srec_bytes.begin(), srec_bytes.end());
  const Bytes elf = firmware_bytes("plain.elf");
  const size_t ph = elf[28] | elf[29] << 8;
  const struct {
    const char* name;
    Bytes bytes;
    std::string why;
  } cases[] = {
      {"fw.hex", firmware_bytes("plain.bin"), "line 1: not a well-formed record"},
      // Cut at a line end half-way.
      {"bad.hex",
       Bytes(hex.begin(),
             std::find(hex.begin() + static_cast<long>(hex.size() / 2), hex.end(), '\n') + 1),
       "no end-of-file record (01)"},
      {"bad.srec",
       [&] {
         std::string s = srec;
         s.insert(s.find('\n') + 1, "S1" + std::string(100000, '0') + "\r\n");
         return Bytes(s.begin(), s.end());
       }(),
       "line 2: not a well-formed record"},
      {"bad.elf",
       [&] {
         Bytes b = elf;
         b[ph + 7] = 0x7F;  // the first segment's offset far past the end
         return b;
       }(),
       "ELF segment 1: outside the file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Board board;
    const std::string path = copy_to(board, c.name, c.bytes);
    const RunResult r = flash(board, {path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, path + ": " + c.why + "\n");
    expect_untouched(board);
  }
}

TEST(McuflashImages, FlashRangeAndReadBack) {
  SKIP_WITHOUT_FIRMWARE();
  const Bytes bin = firmware_bytes("plain.bin");
  const std::string hex = firmware_path("plain.hex");
  const std::string raw = firmware_path("plain.bin");
  const struct {
    const char* name;
    const char* key;
    const char* value;
    std::vector<std::string> args;
    int status;
    std::string says;      // in standard output, or standard error when refused
    const char* program;   // what the MCU runs afterwards
    bool erased;
    bool flashed;          // written whole and started
  } cases[] = {
      {"image past the flash", "kb.flash_size", "4096", {hex}, 1,
       hex + ": does not fit the MCU's flash: image 0x00000000-0x000020df, flash "
             "0x00000000-0x00000fff; nothing was erased\n",
       "firmware", false, false},
      {"properties refused", "kb.no_properties", "1", {"-v", raw}, 0,
       "Flash range not checked: property 3 refused with status 10300\n", "firmware", true, true},
      {"byte corrupted in flash", "kb.corrupt_at", "0x2003", {"-c", hex}, 1,
       "Verify failed at 0x00002003: wrote 0x01, read 0xfe\n", "bootloader", true, false},
      {"read back whole", nullptr, nullptr, {"-c", raw}, 0,
       "\bVerified " + std::to_string(bin.size()) + " bytes\nSuccessfully flashed " + raw + ".\n",
       "firmware", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Board board;
    if (c.key) board.set(c.key, c.value);
    const RunResult r = flash(board, c.args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    const std::string text = r.out + r.err;
    EXPECT_NE(text.find(c.says), std::string::npos) << r.out << r.err;
    EXPECT_EQ(board.get("mcu.program"), c.program);
    EXPECT_EQ(board.get("kb.erased"), c.erased ? "1" : "");
    if (c.flashed) {
      EXPECT_EQ(board.flash(), bin);
    }
    EXPECT_EQ(board.get("kb.executed").empty(), !c.flashed);
  }
}

// The guard against images that lock the unit out of its updates, and what
// happens to a unit that such an image reached without it.
TEST(McuflashImages, NoImageLocksTheUnitOut) {
  SKIP_WITHOUT_FIRMWARE();
  for (const char* file : {"locked.hex", "locked.srec", "locked.elf", "locked.bin"}) {
    SCOPED_TRACE(file);
    Board board;
    const RunResult r = flash(board, {firmware_path(file)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, firmware_path(file) +
                         ": byte 0x40C is 0xef: it secures the MCU with mass erase disabled, so "
                         "the MCU could never be erased or flashed again\n");
    expect_untouched(board);
  }
  // Secured with mass erase enabled: flashed, and the next flash's erase
  // clears the security.
  Board board;
  EXPECT_EQ(flash(board, {firmware_path("secured.hex")}).status, 0);
  const RunResult again = flash(board, {"-c", firmware_path("plain.hex")});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(board.flash(), firmware_bytes("plain.bin"));

  // A unit whose flash holds the locked image (put there without the
  // guard): after its restart no flash can erase it.
  Board locked;
  copy_to(locked, "flash.bin", firmware_bytes("locked.bin"));
  const RunResult r = flash(locked, {firmware_path("plain.hex")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Generic message error: 103 0x0067\n"), std::string::npos) << r.out;
  EXPECT_EQ(locked.flash(), firmware_bytes("locked.bin"));
}

// A second writer rewrites a raw image with a locking byte at 0x40C once
// the MCU is being restarted: the flash (and -c) get the bytes first read.
TEST(McuflashImages, ARawImageRewrittenDuringTheFlashIsFlashedAsFirstRead) {
  SKIP_WITHOUT_FIRMWARE();
  Board board;
  const std::string path = copy_to(board, "fw.bin", firmware_bytes("plain.bin"));
  RunResult r;
  std::thread run([&] { r = flash(board, {"-c", path}); });
  struct stat gpio {};
  for (int waited = 0; waited < 3000; ++waited) {
    if (stat((board.dir() + "/gpio.log").c_str(), &gpio) == 0 && gpio.st_size > 0) break;
    usleep(10000);
  }
  EXPECT_GT(gpio.st_size, 0);
  copy_to(board, "fw.bin", firmware_bytes("locked.bin"));
  run.join();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(board.flash(), firmware_bytes("plain.bin"));
}

}  // namespace
