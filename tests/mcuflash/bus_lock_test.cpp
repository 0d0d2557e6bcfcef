// Taking turns on the SPI bus: both programs lock the device, and a
// process that keeps it makes them give up in time, before they touch the
// MCU; a holder that dies frees it.
#include <fcntl.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boardsim/board.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using boardsim::Board;
using boardsim::RunResult;

// Someone else on the bus: holds the lock on the board's device file.
int hold_bus(const Board& board) {
  const int fd = open((board.dir() + "/spidev0.0").c_str(), O_RDWR | O_CREAT, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  return fd;
}

// The program and its arguments; "IMAGE" stands for a 3-byte image "abc"
// written into the board's directory.
std::vector<std::string> command(bool unitctl, const std::vector<std::string>& args,
                                 const std::string& image) {
  FILE* f = fopen(image.c_str(), "wb");
  fputs("abc", f);
  fclose(f);
  std::vector<std::string> argv = {unitctl ? boardsim::unitctl_path() : boardsim::mcuflash_path()};
  for (const auto& a : args) argv.push_back(a == "IMAGE" ? image : a);
  return argv;
}

struct Blocked {
  std::string name;
  std::vector<std::string> args;  // after the program; "IMAGE" is the image path
  bool unitctl;
  std::string out;
  double wait;  // about how long it waits for the bus
};

void PrintTo(const Blocked& b, std::ostream* os) { *os << b.name; }

class BusHeld : public testing::TestWithParam<Blocked> {};

TEST_P(BusHeld, GivesUpBeforeTouchingTheMcu) {
  const Blocked& c = GetParam();
  Board board;
  const std::string image = board.dir() + "/image.bin";
  const int held = hold_bus(board);
  const std::vector<std::string> argv = command(c.unitctl, c.args, image);
  const RunResult r = board.run(argv, {}, 60);
  close(held);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, "/dev/spidev0.0: SPI device busy (held by process " +
                       std::to_string(getpid()) + ")\n");
  EXPECT_GE(r.seconds, c.wait - 0.5);
  EXPECT_LT(r.seconds, c.wait + 5);
  EXPECT_TRUE(board.spi_log().empty());
  EXPECT_TRUE(board.gpio_log().empty());
  EXPECT_EQ(board.get("mcu.program"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Programs, BusHeld,
    testing::Values(Blocked{"BatteryLevel", {"-b"}, true, "Unable to read battery level\n", 10},
                    Blocked{"Flash", {"IMAGE"}, false, "", 5},
                    Blocked{"RestartOnly", {"-r"}, false, "", 5}),
    [](const auto& info) { return info.param.name; });

// A device that refuses locks, or that cannot be opened for -r, is used
// without the lock, as before there was one.
struct Unlocked {
  std::string name;
  std::string key;
  std::vector<std::string> args;  // as in BusHeld
  bool unitctl;
  std::string out;  // "IMAGE" stands for the image path
};

void PrintTo(const Unlocked& u, std::ostream* os) { *os << u.name; }

class NoLock : public testing::TestWithParam<Unlocked> {};

TEST_P(NoLock, WorksAsWithoutALock) {
  const Unlocked& c = GetParam();
  Board board;
  const std::string image = board.dir() + "/image.bin";
  board.set(c.key, 1);
  const std::vector<std::string> argv = command(c.unitctl, c.args, image);
  const RunResult r = board.run(argv, {}, 60);
  EXPECT_EQ(r.status, 0) << r.err;
  // Said once, however often the bus is taken.
  EXPECT_EQ(r.err, c.key == "spi.no_lock"
                       ? "/dev/spidev0.0: no lock support, using the bus without the lock\n"
                       : "");
  std::string out = c.out;
  for (size_t at; (at = out.find("IMAGE")) != std::string::npos;) out.replace(at, 5, image);
  EXPECT_EQ(r.out, out);
  if (c.args[0] == "IMAGE") {
    EXPECT_EQ(board.flash(), (std::vector<uint8_t>{'a', 'b', 'c'}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, NoLock,
    testing::Values(
        Unlocked{"NoLockBatteryLevel", "spi.no_lock", {"-b"}, true, "Battery level: 87 %\n"},
        Unlocked{"NoLockFlash", "spi.no_lock", {"IMAGE"}, false,
                 "Flashing IMAGE\nFile size IMAGE: 3\n/\b-\bSuccessfully flashed IMAGE.\n"},
        Unlocked{"NoLockRestartOnly", "spi.no_lock", {"-r"}, false, "MCU successfully rebooted\n"},
        Unlocked{"NoDeviceRestartOnly", "spi.fail_open", {"-r"}, false,
                 "MCU successfully rebooted\n"}),
    [](const auto& info) { return info.param.name; });

// A lock that fails for another cause than a holder is said with that
// cause at once, by both programs, and nothing reaches the MCU.
TEST(BusLock, OtherLockErrorsSayTheirCause) {
  const struct {
    std::vector<std::string> args;  // as in BusHeld
    bool unitctl;
  } programs[] = {{{"-b"}, true}, {{"IMAGE"}, false}, {{"-r"}, false}};
  const struct {
    int error;
    const char* text;
  } errors[] = {{ENOLCK, "No locks available"}, {EBADF, "Bad file descriptor"}};
  for (const auto& p : programs) {
    for (const auto& e : errors) {
      SCOPED_TRACE(p.args[0] + " " + e.text);
      Board board;
      board.set("spi.lock_errno", e.error);
      const RunResult r = board.run(command(p.unitctl, p.args, board.dir() + "/image.bin"), {}, 60);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, std::string("can't lock device: ") + e.text + "\n");
      EXPECT_TRUE(board.gpio_log().empty());
      EXPECT_TRUE(board.spi_log().empty());
    }
  }
}

// The telemetry service does not wait long for a held bus: each round
// gives up after about half a second and sends its datagrams all the same.
TEST(BusLock, ServiceKeepsSendingWhileTheBusIsHeld) {
  Board board;
  board.set("net.stop_after", 3 * 3);
  board.set("time.fast_sleep", 1);
  const int held = hold_bus(board);
  const RunResult r = board.run({boardsim::unitctl_path()}, {}, 60);
  close(held);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.err, "");
  const auto datagrams = board.datagrams();
  ASSERT_EQ(datagrams.size(), 9u);
  EXPECT_EQ(datagrams[6], (std::vector<uint8_t>{0, 0, 0, 0}));  // nothing read
  EXPECT_TRUE(board.spi_log().empty());
  EXPECT_TRUE(board.spi_config_log().empty());
  // The start and three rounds, each waiting half a second at most.
  EXPECT_GE(r.seconds, 1.4);
  EXPECT_LT(r.seconds, 3);
}

// A holder killed a second into the wait frees the bus: the option then
// goes through as usual.
TEST(BusLock, KilledHolderFreesTheBus) {
  Board board;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const int fd = open((board.dir() + "/spidev0.0").c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (;;) pause();
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  std::thread killer([holder] {
    sleep(1);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
  });
  const RunResult r = board.run({boardsim::unitctl_path(), "-b"}, {}, 60);
  killer.join();
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Battery level: 87 %\n");
  EXPECT_EQ(r.err, "");
  EXPECT_GE(r.seconds, 0.9);
  EXPECT_LT(r.seconds, 5);
}

}  // namespace
