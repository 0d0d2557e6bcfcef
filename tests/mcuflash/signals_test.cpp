// Stops during a run, by phase: a hang-up and a reader that went away
// leave the flash running to its end; every other signal that ends a
// process stops it with one line saying where the MCU is and what recovers
// it, ends it by that signal, and the command the line names recovers the
// board. A stop during -d removes the temporary file, leaves FILE alone
// and restarts the MCU into its firmware.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boardsim/board.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "run_lines.h"

namespace {

using boardsim::Board;

const std::string kPrefix = "mcuflash: stopped";
const std::string kUntouched = " before the MCU was touched\n";
const std::string kStopHeld = ": " + kHeld, kStopErased = ": " + kErased,
                  kStopWritten = ": " + kWritten, kStopUnchanged = ": " + kUnchanged;

enum class Phase { gpio_set_up, wake_up, download, final_restart, dump };
enum class Recover { none, restart, flash };

struct StopCase {
  const char* name;
  int signal;
  Phase phase;
  const std::string* line;  // null: the run goes on to its end
  Recover recover;
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

// A temporary file of -d beside `file` with bytes in it.
bool dump_under_way(const std::string& dir, const std::string& file) {
  bool found = false;
  DIR* d = opendir(dir.c_str());
  for (dirent* e; d != nullptr && !found && (e = readdir(d)) != nullptr;) {
    const std::string name = e->d_name;
    struct stat st {};
    found = name.rfind(file + ".", 0) == 0 && stat((dir + "/" + name).c_str(), &st) == 0 &&
            st.st_size > 0;
  }
  if (d != nullptr) closedir(d);
  return found;
}

class Stops : public testing::TestWithParam<StopCase> {};

TEST_P(Stops, SayWhereTheMcuIs) {
  const StopCase& c = GetParam();
  Board board;
  const std::string image = board.dir() + "/image.bin";
  std::string bytes(256 * 1024, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  bytes[0x40C] = static_cast<char>(0xFE);
  std::ofstream(image, std::ios::binary) << bytes;
  const std::string saved = board.dir() + "/saved.bin";
  std::vector<std::string> args = {image};
  if (c.phase == Phase::dump) {
    ASSERT_EQ(board.run({boardsim::mcuflash_path(), image}, {}, 60).status, 0);
    std::ofstream(saved) << "old";
    args = {"-d", saved};
  }
  if (c.phase == Phase::gpio_set_up || c.phase == Phase::final_restart)
    board.set("gpio.delay_ms", 50);
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Standard output is a pipe nobody reads any more.
    int out[2];
    if (pipe(out) != 0) _exit(127);
    close(out[0]);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(err[0]);
    const rlimit no_core = {0, 0};  // SIGQUIT would write one
    setrlimit(RLIMIT_CORE, &no_core);
    exec_argv(mcuflash_argv(board, args));
  }
  close(err[1]);
  const std::function<bool()> there[] = {
      [&] { return board.gpio_log().size() >= 2; },
      [&] { return board.get("mcu.program") == "bootloader"; },
      [&] { return board.get("kb.erased") == "1"; },
      [&] { return !board.get("kb.executed").empty(); },
      [&] { return dump_under_way(board.dir(), "saved.bin"); },
  };
  const auto& reached = there[static_cast<int>(c.phase)];
  for (int i = 0; i < 20000 && !reached(); ++i) usleep(1000);
  ASSERT_TRUE(reached());
  kill(pid, c.signal);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  close(err[0]);
  board.set("gpio.delay_ms", "");

  if (c.line == nullptr) {
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(text, "");
  } else {
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);
    // Under an emulator the emulator may add a line of its own.
    EXPECT_EQ(text.substr(0, kPrefix.size() + c.line->size()), kPrefix + *c.line);
  }
  if (c.phase == Phase::dump) {
    std::ifstream in(saved);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "old");
    EXPECT_FALSE(dump_under_way(board.dir(), "saved.bin"));
    EXPECT_EQ(board.get("mcu.program"), "firmware");
  }
  if (c.recover != Recover::none) {
    board.clear_logs();
    const auto again = board.run(
        {boardsim::mcuflash_path(), c.recover == Recover::restart ? "-r" : image}, {}, 60);
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    // The bootloader, left in the middle of a download, notes no fault.
    EXPECT_EQ(board.notes(), std::vector<std::string>{});
  }
  EXPECT_EQ(board.flash(), std::vector<uint8_t>(bytes.begin(), bytes.end()));
  EXPECT_EQ(board.get("mcu.program"), "firmware");
  EXPECT_EQ(board.get("mcu.firmware"), "");
}

INSTANTIATE_TEST_SUITE_P(
    ByPhase, Stops,
    testing::Values(StopCase{"HangUp", SIGHUP, Phase::download, nullptr, Recover::none},
                    StopCase{"BrokenPipe", SIGPIPE, Phase::download, nullptr, Recover::none},
                    StopCase{"InterruptInGpioSetUp", SIGINT, Phase::gpio_set_up, &kUntouched,
                             Recover::flash},
                    StopCase{"AlarmInWakeUp", SIGALRM, Phase::wake_up, &kStopHeld, Recover::flash},
                    StopCase{"TerminateInDownload", SIGTERM, Phase::download, &kStopErased,
                             Recover::flash},
                    StopCase{"User1InDownload", SIGUSR1, Phase::download, &kStopErased,
                             Recover::flash},
                    StopCase{"QuitInFinalRestart", SIGQUIT, Phase::final_restart, &kStopWritten,
                             Recover::restart},
                    StopCase{"TerminateInDump", SIGTERM, Phase::dump, &kStopUnchanged,
                             Recover::none}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
