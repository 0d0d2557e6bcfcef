// How a run ends, against the simulated board: bootloader statuses named,
// the line saying where the MCU is, the range check's lower bound, the
// read-back's last byte of a packet; -d saving the flash; the bus held
// through the final restart; the progress line on a terminal.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boardsim/board.h>

#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "run_lines.h"

namespace {

using boardsim::Board;
using boardsim::RunResult;
using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t size, uint8_t security) {
  Bytes b(size);
  uint32_t x = 7;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<uint8_t>(x >> 16);
  }
  b[0x40C] = security;
  return b;
}

std::string write_file(const Board& board, const std::string& name, const Bytes& bytes) {
  const std::string path = board.dir() + "/" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

RunResult mcuflash(const Board& board, std::vector<std::string> args) {
  args.insert(args.begin(), boardsim::mcuflash_path());
  return board.run(args, {}, 60);
}

TEST(RunEnds, SayWhatHappenedAndWhereTheMcuIs) {
  const Bytes image = pattern(4096, 0xFE);
  char mismatch[80];
  snprintf(mismatch, sizeof mismatch, "Verify failed at 0x0000003f: wrote 0x%02x, read 0x%02x\n",
           image[63], image[63] ^ 0xFF);
  const struct {
    const char* name;
    std::map<std::string, std::string> keys;
    bool verify;
    int status;
    std::string out;  // found in standard output
    std::string err;  // the whole of standard error, "@" standing for the image path
    const char* program;
    bool erased;
  } cases[] = {
      {"erase refused", {{"kb.error_command", "13"}, {"kb.error_status", "104"}}, false, 1,
       "Generic message error: 104 0x0068\n",
       "mcuflash: bootloader status 104: flash protection violation\nmcuflash: " + kHeld, "bootloader", false},
      {"write refused, unknown status", {{"kb.error_command", "4"}, {"kb.error_status", "7"}},
       false, 1, "Generic message error: 7 0x0007\n",
       "mcuflash: bootloader status 7: unknown status\nmcuflash: " + kErased, "bootloader", true},
      {"secured on read-back", {{"kb.error_command", "3"}, {"kb.error_status", "10001"}}, true, 1,
       "Generic message error: 10001 0x2711\n",
       "mcuflash: bootloader status 10001: security violation (the MCU is secured)\nmcuflash: " +
           kWritten,
       "bootloader", true},
      {"properties refused, said without -v", {{"kb.no_properties", "1"}}, false, 0,
       "Successfully flashed",
       "mcuflash: the flash range could not be checked: property 3 refused with status 10300 "
       "(unknown property)\n",
       "firmware", true},
      {"last byte of a packet corrupted", {{"kb.corrupt_at", "63"}}, true, 1, mismatch, "mcuflash: " + kMismatch,
       "bootloader", true},
      {"flash starting above the image", {{"kb.flash_start", "4096"}}, false, 1, "",
       "@: does not fit the MCU's flash: image 0x00000000-0x00000fff, flash "
       "0x00001000-0x00040fff; nothing was erased\nmcuflash: " + kUnchanged,
       "firmware", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Board board;
    for (const auto& [key, value] : c.keys) board.set(key, value);
    const std::string path = write_file(board, "image.bin", image);
    std::vector<std::string> args = {path};
    if (c.verify) args.insert(args.begin(), "-c");
    const RunResult r = mcuflash(board, args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    std::string err = c.err;
    if (err[0] == '@') err.replace(0, 1, path);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(board.get("mcu.program"), c.program);
    EXPECT_EQ(board.get("kb.erased"), c.erased ? "1" : "");
  }
}

TEST(SaveFlash, WholeFlashOrNothing) {
  const Bytes image = pattern(4096, 0xFE);
  Bytes whole = image;
  whole.resize(256 * 1024, 0xFF);
  const struct {
    const char* name;
    uint8_t security;  // of the image flashed first
    const char* key;
    std::string file;  // under the board's directory
    std::string err;   // "@": FILE
    bool touched;      // the GPIO lines were driven
  } cases[] = {
      {"dump equals what was flashed", 0xFE, nullptr, "saved.bin", "", true},
      {"secured MCU", 0xFF, nullptr, "saved.bin",
       "mcuflash: bootloader status 10001: security violation (the MCU is secured)\nmcuflash: " +
           kUnchanged,
       true},
      {"properties refused", 0xFE, "kb.no_properties", "saved.bin",
       "mcuflash: the flash range could not be checked: property 3 refused with status 10300 "
       "(unknown property)\nmcuflash: " + kUnchanged,
       true},
      {"missing directory", 0xFE, nullptr, "none/saved.bin", "@: No such file or directory\n", false},
      {"a directory", 0xFE, nullptr, ".", "@: not a regular file\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Board board;
    const std::string path = write_file(board, "image.bin", pattern(4096, c.security));
    ASSERT_EQ(mcuflash(board, {path}).status, 0);
    if (c.key) board.set(c.key, 1);
    const std::string file = board.dir() + "/" + c.file;
    if (c.file == "saved.bin") std::ofstream(file) << "old";
    board.clear_logs();
    const RunResult r = mcuflash(board, {"-d", file});
    std::string err = c.err;
    if (!err.empty() && err[0] == '@') err.replace(0, 1, file);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, err.empty() ? 0 : 1);
    if (c.file == "saved.bin") {
      EXPECT_EQ(read_file(file), err.empty() ? std::string(whole.begin(), whole.end()) : "old");
    }
    EXPECT_EQ(board.get("mcu.program"), "firmware");
    EXPECT_EQ(board.get("mcu.firmware"), "");
    EXPECT_EQ(board.gpio_log().empty(), !c.touched);
    DIR* d = opendir(board.dir().c_str());
    for (dirent* e; (e = readdir(d)) != nullptr;)
      EXPECT_NE(std::string(e->d_name).rfind("saved.bin.", 0), 0u) << "left behind: " << e->d_name;
    closedir(d);
    EXPECT_EQ(board.get("kb.violations"), "");
  }
  Board board;
  const RunResult r = mcuflash(board, {"-c", "-d", board.dir() + "/x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "-d saves the flash: it does not go with an image or -c\n");
  EXPECT_TRUE(board.gpio_log().empty());
}

// Another program that wants the bus while the flasher restarts the MCU
// waits until the restart is over: no collision, and it reads the firmware.
TEST(BusLock, HeldThroughTheFinalRestart) {
  Board board;
  const std::string path = write_file(board, "image.bin", pattern(4096, 0xFE));
  board.set("gpio.delay_ms", 100);  // a restart of half a second
  auto flash = std::async(std::launch::async, [&] { return mcuflash(board, {path}); });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (board.get("kb.executed").empty() && std::chrono::steady_clock::now() < end) usleep(1000);
  ASSERT_FALSE(board.get("kb.executed").empty());
  const RunResult reader = board.run({boardsim::unitctl_path(), "-b"}, {}, 60);
  EXPECT_EQ(flash.get().status, 0);
  EXPECT_EQ(reader.status, 0) << reader.out << reader.err;
  EXPECT_NE(reader.out.find("Battery level: 87 %"), std::string::npos) << reader.out;
  EXPECT_TRUE(board.collisions().empty()) << board.collisions().size() << " collisions";
}

// Output read through a pseudo-terminal, as an engineer at the console
// sees it; mcuflash runs in the board's directory.
std::string on_terminal(const Board& board, const std::vector<std::string>& args) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (chdir(board.dir().c_str()) != 0) _exit(127);
    exec_argv(mcuflash_argv(board, args));
  }
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

TEST(Progress, OnATerminalOnly) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> shows;  // in this order
    bool line;                       // any progress line at all
  } cases[] = {
      {{"image.bin"},
       {"\rWaking the bootloader...", "\rErasing...", "\rWriting 4096/4096 bytes 100% ",
        " KiB/s 0:00 left\033[K\r\nSuccessfully flashed image.bin.\r\n"},
       true},
      {{"-c", "image.bin"},
       {"\rWriting 4096/4096 bytes 100%", "\rVerifying 4096/4096 bytes 100%",
        "\033[K\r\nVerified 4096 bytes\r\n"},
       true},
      {{"-d", "saved.bin"}, {"\rReading 262144/262144 bytes 100%", "\r\nSaved 262144 bytes"}, true},
      {{"-v", "image.bin"}, {"Successfully flashed image.bin."}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Board board;
    write_file(board, "image.bin", pattern(4096, 0xFE));
    const std::string text = on_terminal(board, c.args);
    size_t at = 0;
    for (const std::string& s : c.shows) {
      at = text.find(s, at);
      ASSERT_NE(at, std::string::npos) << s << " not in " << testing::PrintToString(text);
    }
    EXPECT_EQ(text.find("bytes 100%") != std::string::npos, c.line);
    EXPECT_EQ(text.find("/-\\|"), std::string::npos) << "no spinner on a terminal";
  }
}

}  // namespace
