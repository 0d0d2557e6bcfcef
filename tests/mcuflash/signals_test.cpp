// Signals during a flash, once the MCU is erased: a hang-up and a reader
// that went away leave the flash running to its end; an interrupt, a
// termination or a quit stops it with a line saying what it leaves behind,
// ends it by that signal, and the next run flashes the board. Stopped in
// the GPIO sequence, before the bootloader, the line says the MCU was left
// in reset, and mcuflash -r restarts it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boardsim/board.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using boardsim::Board;

const char kStopped[] =
    "mcuflash: stopped: the MCU stays in its bootloader and may hold an incomplete image; "
    "running mcuflash again flashes it\n";
const char kStoppedInReset[] =
    "mcuflash: stopped: the MCU was left in reset; running mcuflash -r restarts it\n";

struct SignalCase {
  const char* name;
  int signal;
  bool survives;
  bool in_gpio_sequence = false;  // else during the download
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class FlashSignals : public testing::TestWithParam<SignalCase> {};

TEST_P(FlashSignals, DuringTheDownload) {
  const SignalCase& c = GetParam();
  Board board;
  const std::string image = board.dir() + "/image.bin";
  std::string bytes(256 * 1024, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  std::ofstream(image, std::ios::binary) << bytes;
  if (c.in_gpio_sequence) board.set("gpio.delay_ms", 100);
  int out[2], err[2];
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(err), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Standard output is a pipe nobody reads any more.
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    const rlimit no_core = {0, 0};  // SIGQUIT would write one
    setrlimit(RLIMIT_CORE, &no_core);
    // In a cross build the launcher runs through the emulator too.
    std::vector<std::string> argv = boardsim::emulator();
    for (const std::string& a : {boardsim::launcher_path(), std::string("--dir"), board.dir(),
                                 std::string("--"), boardsim::mcuflash_path(), image})
      argv.push_back(a);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[0]);
  close(out[1]);
  close(err[1]);
  // Wait until the lines are being set up, or the download has begun.
  auto there = [&] { return c.in_gpio_sequence ? board.gpio_log().size() >= 2 : board.get("kb.erased") == "1"; };
  for (int i = 0; i < 10000 && !there(); ++i) usleep(1000);
  ASSERT_TRUE(there());
  kill(pid, c.signal);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(err[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(err[0]);

  if (c.survives) {
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(text, "");
  } else if (c.in_gpio_sequence) {
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(text.substr(0, sizeof kStoppedInReset - 1), kStoppedInReset);
    board.set("gpio.delay_ms", "");
    EXPECT_EQ(board.run({boardsim::mcuflash_path(), "-r"}, {}, 60).status, 0);
    EXPECT_EQ(board.get("mcu.program"), "firmware");
    EXPECT_EQ(board.run({boardsim::mcuflash_path(), image}, {}, 60).status, 0);
  } else {
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);
    // Under an emulator the emulator may add a line of its own.
    EXPECT_EQ(text.substr(0, sizeof kStopped - 1), kStopped);
    EXPECT_EQ(board.get("mcu.program"), "bootloader");
    EXPECT_EQ(board.get("mcu.firmware"), "erased");
    EXPECT_LT(board.flash().size(), bytes.size());
    // The next run restarts the MCU before it pings: the bootloader, left
    // in the middle of a download, notes no protocol fault.
    board.clear_logs();
    const auto again = board.run({boardsim::mcuflash_path(), image}, {}, 60);
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(board.notes(), std::vector<std::string>{});
  }
  EXPECT_EQ(board.flash(), std::vector<uint8_t>(bytes.begin(), bytes.end()));
  EXPECT_EQ(board.get("mcu.program"), "firmware");
  EXPECT_EQ(board.get("mcu.firmware"), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, FlashSignals,
                         testing::Values(SignalCase{"HangUp", SIGHUP, true},
                                         SignalCase{"BrokenPipe", SIGPIPE, true},
                                         SignalCase{"Interrupt", SIGINT, false},
                                         SignalCase{"Terminate", SIGTERM, false},
                                         SignalCase{"Quit", SIGQUIT, false},
                                         SignalCase{"TerminateBeforeBootloader", SIGTERM, false,
                                                    true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
