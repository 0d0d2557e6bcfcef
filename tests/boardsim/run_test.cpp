// Board::run (streams, status, signals, timeout, environment) and the
// boardsim launcher, with the shell and unitctl as the programs.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "boardsim/board.h"

using boardsim::Board;
using boardsim::RunResult;

namespace {

RunResult sh(const Board& board, const std::string& script,
             const std::map<std::string, std::string>& env = {}, double timeout = 20) {
  return board.run({"/bin/sh", "-c", script}, env, timeout);
}

TEST(BoardRun, StreamsAndExitStatus) {
  Board board;
  auto r = sh(board, "echo out; echo err >&2; exit 3");
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.signal, 0);
  EXPECT_FALSE(r.timed_out);
}

TEST(BoardRun, LargeOutputOnBothStreams) {
  Board board;
  auto r = sh(board, "head -c 300000 /dev/zero; head -c 200000 /dev/zero >&2; "
                     "head -c 300000 /dev/zero");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 600000u);
  EXPECT_EQ(r.err.size(), 200000u);
}

TEST(BoardRun, Signals) {
  Board board;
  auto r = sh(board, "kill -TERM $$");
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.signal, SIGTERM);
}

TEST(BoardRun, TimeoutKillsTheProgram) {
  Board board;
  auto r = sh(board, "echo started; exec sleep 60", {}, 0.5);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_GE(r.seconds, 0.5);
}

TEST(BoardRun, Environment) {
  Board board;
  setenv("BOARDSIM_RUN_TEST_GONE", "x", 1);
  auto r = sh(board, "echo \"$BOARDSIM_DIR|${LD_PRELOAD##*/}|$EXTRA|${BOARDSIM_RUN_TEST_GONE-unset}\"",
              {{"EXTRA", "1"}, {"BOARDSIM_RUN_TEST_GONE", ""}});
  unsetenv("BOARDSIM_RUN_TEST_GONE");
  EXPECT_EQ(r.out, board.dir() + "|libboardsim_preload.so|1|unset\n");
}

TEST(BoardRun, MissingProgram) {
  Board board;
  auto r = board.run({board.dir() + "/no-such-program"});
  EXPECT_EQ(r.status, 127);
  EXPECT_NE(r.err.find("no-such-program"), std::string::npos);
}

// Programs started by run() see the board: cat reads the version file.
TEST(BoardRun, ProgramsSeeTheBoard) {
  Board board;
  board.write_version_file("<version/>\n");
  auto r = board.run({"/bin/cat", "/etc/krv_version.xml"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "<version/>\n");
  board.set("fs.deny", "/etc/krv_version.xml");
  r = board.run({"/bin/cat", "/etc/krv_version.xml"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
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

  r = scratch.run({launcher, "--bogus"}, bare);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Usage: boardsim"), std::string::npos);
}

}  // namespace
