// Board::run (streams, status, signals, timeout, environment) and the
// boardsim launcher with unitctl.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "boardsim/board.h"

using boardsim::Board;
using boardsim::RunResult;

namespace {

// The programs of these tests are this test binary itself, started with
// BOARDSIM_RUN_CHILD set, so that they also run where run() goes through
// an emulator (a cross build).
__attribute__((constructor)) void run_child() {
  const char* mode = getenv("BOARDSIM_RUN_CHILD");
  if (!mode) return;
  std::string m = mode;
  if (m == "streams") {
    printf("out\n");
    fprintf(stderr, "err\n");
    exit(3);
  }
  if (m == "big") {
    std::string block(100000, 'o');
    for (int i = 0; i < 3; ++i) fwrite(block.data(), 1, block.size(), stdout);
    fflush(stdout);
    std::string e(200000, 'e');
    fwrite(e.data(), 1, e.size(), stderr);
    for (int i = 0; i < 3; ++i) fwrite(block.data(), 1, block.size(), stdout);
    exit(0);
  }
  if (m == "term") {
    raise(SIGTERM);
    _exit(0);
  }
  if (m == "hang") {
    printf("started\n");
    fflush(stdout);
    for (;;) pause();
  }
  if (m == "env") {
    const char* names[] = {"BOARDSIM_DIR", "LD_PRELOAD", "EXTRA", "BOARDSIM_RUN_TEST_GONE"};
    for (const char* n : names) {
      const char* v = getenv(n);
      printf("%s|", v ? v : "unset");
    }
    printf("\n");
    exit(0);
  }
  if (m == "cat") {  // the version file, as a program would read it
    FILE* f = fopen("/etc/krv_version.xml", "r");
    if (!f) {
      perror("/etc/krv_version.xml");
      exit(1);
    }
    char buf[256];
    size_t n = fread(buf, 1, sizeof buf, f);
    fwrite(buf, 1, n, stdout);
    exit(0);
  }
  if (m == "redirect") {  // what a shell's "echo 22 > /sys/class/gpio/export" does
    auto put = [](const char* path, const char* text) {
      int fd = open(path, O_WRONLY);
      if (fd < 0 || dup2(fd, 10) != 10) exit(2);
      close(fd);
      ssize_t n = write(10, text, strlen(text));
      close(10);
      if (n != static_cast<ssize_t>(strlen(text))) exit(3);
    };
    put("/sys/class/gpio/export", "22\n");
    put("/sys/class/gpio/gpio22/direction", "out\n");
    int fd = open("/sys/class/gpio/gpio22/value", O_RDONLY);  // as cat reads it
    if (fd < 0) exit(4);
    char buf[16];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) fwrite(buf, 1, static_cast<size_t>(n), stdout);
    exit(0);
  }
  _exit(100);
}

std::string self_path() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

RunResult child(const Board& board, const char* mode,
                std::map<std::string, std::string> env = {}, double timeout = 20) {
  env["BOARDSIM_RUN_CHILD"] = mode;
  return board.run({self_path()}, env, timeout);
}

TEST(BoardRun, StreamsAndExitStatus) {
  Board board;
  auto r = child(board, "streams");
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.signal, 0);
  EXPECT_FALSE(r.timed_out);
}

TEST(BoardRun, LargeOutputOnBothStreams) {
  Board board;
  auto r = child(board, "big");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(600000, 'o'));
  EXPECT_EQ(r.err, std::string(200000, 'e'));
}

TEST(BoardRun, Signals) {
  Board board;
  auto r = child(board, "term");
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.signal, SIGTERM);
}

TEST(BoardRun, TimeoutKillsTheProgram) {
  Board board;
  auto r = child(board, "hang", {}, 1.0);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_GE(r.seconds, 1.0);
}

TEST(BoardRun, Environment) {
  Board board;
  setenv("BOARDSIM_RUN_TEST_GONE", "x", 1);
  auto r = child(board, "env", {{"EXTRA", "1"}, {"BOARDSIM_RUN_TEST_GONE", ""}});
  unsetenv("BOARDSIM_RUN_TEST_GONE");
  const std::string preload = "libboardsim_preload.so";
  ASSERT_NE(r.out.find(preload), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(0, board.dir().size() + 1), board.dir() + "|");
  EXPECT_NE(r.out.find(preload + "|1|unset|"), std::string::npos) << r.out;
}

TEST(BoardRun, MissingProgram) {
  Board board;
  auto r = board.run({board.dir() + "/no-such-program"});
  EXPECT_NE(r.status, 0);
  if (boardsim::emulator().empty()) {  // an emulator reports it in its own way
    EXPECT_EQ(r.status, 127);
    EXPECT_NE(r.err.find("no-such-program"), std::string::npos);
  }
}

// Programs started by run() see the board.
TEST(BoardRun, ProgramsSeeTheBoard) {
  Board board;
  board.write_version_file("<version/>\n");
  auto r = child(board, "cat");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "<version/>\n");
  board.set("fs.deny", "/etc/krv_version.xml");
  r = child(board, "cat");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
}

// A shell's redirections move the descriptor it opened; the copy is still
// the simulated file.
TEST(BoardRun, ShellRedirectionsReachTheGpioLines) {
  Board board;
  auto r = child(board, "redirect");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0\n");
  EXPECT_EQ(board.get("gpio.22.direction"), "out");
  EXPECT_EQ(board.get("mcu.program"), "off");  // the reset line went low
  auto log = board.gpio_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].data, "22\n");
  EXPECT_EQ(log[1].path, "/sys/class/gpio/gpio22/direction");
}

TEST(BoardDir, RemovedWithTheBoard) {
  std::string dir;
  {
    Board board;
    dir = board.dir();
    board.set("fw.battery", 5);
    board.write_version_file("<v/>");
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(board.get("fw.battery"), "5");
    board.set("fw.battery", "");
    EXPECT_EQ(board.get("fw.battery"), "");
  }
  struct stat st;
  EXPECT_NE(stat(dir.c_str(), &st), 0);
}

TEST(Launcher, RunsAProgramAgainstABoardDirectory) {
  if (boardsim::unitctl_path().empty()) GTEST_SKIP() << "unitctl is not part of this build";
  Board scratch;  // only for its directory and for running the launcher
  const std::string dir = scratch.dir() + "/board";
  const std::string launcher = boardsim::launcher_path();
  // Without the test kit's environment: the launcher sets it up itself.
  const std::map<std::string, std::string> bare = {{"LD_PRELOAD", ""}, {"BOARDSIM_DIR", ""}};

  auto r = scratch.run({launcher, "--dir", dir, "--", boardsim::unitctl_path(), "-b"}, bare);
  EXPECT_EQ(r.out, "Battery level: 87 %\n") << r.err;
  EXPECT_EQ(r.status, 0);

  r = scratch.run({launcher, "--dir", dir, "--set", "fw.battery=42", "--set", "fw.charging=0",
                   boardsim::unitctl_path(), "-b"},
                  bare);
  EXPECT_EQ(r.out, "Battery level: 42 %\n") << r.err;

  r = scratch.run({launcher, "--dir", dir, "--get", "fw.battery"}, bare);
  EXPECT_EQ(r.out, "42\n");

  r = scratch.run({launcher, "--dir", dir, "--log"}, bare);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("cfg  wr_speed 25000000 ok"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("tx 01 01\n       rx FF FF"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("rx 2A "), std::string::npos) << r.out;  // 42 and its CRC-8

  r = scratch.run({launcher, "--dir", dir, "--clear"}, bare);
  EXPECT_EQ(r.status, 0);
  r = scratch.run({launcher, "--dir", dir, "--log"}, bare);
  EXPECT_EQ(r.out.find("spi "), std::string::npos) << r.out;
  r = scratch.run({launcher, "--dir", dir, "--get", "fw.battery"}, bare);
  EXPECT_EQ(r.out, "42\n");  // the board itself stays

  r = scratch.run({launcher, "--bogus"}, bare);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Usage: boardsim"), std::string::npos);
}

}  // namespace
