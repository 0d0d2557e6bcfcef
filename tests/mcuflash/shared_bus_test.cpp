// Both programs at once on a live unit, as shipped, against one simulated
// board: the telemetry service runs all the time beside hand-run reads and
// flashes, two flashes meet, and the calendar clock steps during a flash.
// Datagrams are captured by the simulator and never leave the machine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <boardsim/board.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using boardsim::Board;
using boardsim::RunResult;
using Bytes = std::vector<uint8_t>;

const Bytes kIdentity = {0x00, 0x02, 'S', 'U', '0', '1', '-', '0', '2', '0', '0', '3', 0x00,
                         0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                         0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
const Bytes kVersion = {0x00, 0x01, 0x00, 0x00, 0x00, 0x00};  // no version file: 0.0.0

// Polls `done` every few milliseconds for at most `seconds`.
bool eventually(const std::function<bool()>& done, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    usleep(5000);
  }
  return true;
}

std::string write_image(const Board& board, size_t size, Bytes* bytes) {
  bytes->resize(size);
  uint32_t x = 12345;
  for (auto& b : *bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  const std::string path = board.dir() + "/image.bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(size));
  return path;
}

std::future<RunResult> start(const Board& board, const std::vector<std::string>& argv) {
  return std::async(std::launch::async, [&board, argv] { return board.run(argv, {}, 120); });
}

// The telemetry service on the board, from its first datagram until stop()
// or the end of the scope sends it SIGTERM.
struct Service {
  const Board& board;
  std::future<RunResult> run;

  explicit Service(const Board& b) : board(b), run(start(b, {boardsim::unitctl_path()})) {
    EXPECT_TRUE(eventually([&] { return !board.datagram_records().empty(); }, 30));
  }
  ~Service() {
    if (run.valid()) stop();
  }
  RunResult stop() {
    const auto d = board.datagram_records();
    if (!d.empty()) kill(static_cast<pid_t>(d[0].pid), SIGTERM);
    return run.get();
  }
};

std::vector<Bytes> status_datagrams(const Board& board) {
  std::vector<Bytes> out;
  for (const auto& d : board.datagram_records())
    if (d.bytes.size() == 4) out.push_back(d.bytes);
  return out;
}

// The service reads the battery before, around and after a flash: the reads
// it cannot make while the flasher holds the bus fail and keep the last
// value, and the first read after it comes from the new firmware.
TEST(LiveUnit, ServiceKeepsItsRhythmThroughAFlash) {
  Board board;
  Bytes image;
  const std::string path = write_image(board, 256 * 1024, &image);
  Service service(board);
  // Start the flash half-way between two rounds, so that the next round
  // falls inside it.
  ASSERT_TRUE(eventually([&] { return status_datagrams(board).size() >= 2; }, 10));
  usleep(500000);
  auto flash = start(board, {boardsim::mcuflash_path(), path});
  ASSERT_TRUE(eventually([&] { return board.get("mcu.program") == "bootloader"; }, 30));
  board.set("fw.battery", 42);  // seen only through the firmware written next
  const RunResult f = flash.get();
  EXPECT_EQ(f.status, 0) << f.out << f.err;
  EXPECT_TRUE(
      eventually([&] { return status_datagrams(board).back() == Bytes({0, 0, 42, 1}); }, 10));
  const RunResult s = service.stop();
  EXPECT_EQ(s.signal, SIGTERM) << s.out << s.err;
  EXPECT_EQ(s.out, "Broadcasting on UDP:2013\n");

  EXPECT_EQ(board.flash(), image);
  EXPECT_TRUE(board.collisions().empty()) << board.collisions().size() << " collisions";
  const auto gpio = board.gpio_log();  // the flasher's alone
  ASSERT_FALSE(gpio.empty());
  const uint64_t flash_start = gpio.front().t_ns, flash_end = gpio.back().t_ns;

  const auto d = board.datagram_records();
  uint64_t last_status = 0;
  size_t during = 0;
  bool renewed = false;
  for (size_t i = 0; i < d.size(); ++i) {
    SCOPED_TRACE("datagram " + std::to_string(i));
    if (i % 3 != 0) {
      EXPECT_EQ(d[i].bytes, i % 3 == 1 ? kVersion : kIdentity);
      continue;
    }
    // One round a second, plus at most half a second of waiting for the bus.
    if (last_status != 0) {
      EXPECT_LT(d[i].t_ns - last_status, 2500000000u);
    }
    last_status = d[i].t_ns;
    during += d[i].t_ns > flash_start && d[i].t_ns < flash_end;
    if (d[i].bytes == Bytes({0, 0, 42, 1}) && d[i].t_ns > flash_end) {
      renewed = true;
    } else {
      EXPECT_EQ(d[i].bytes, Bytes({0, 0, 87, 1}));
      EXPECT_FALSE(renewed) << "an older value came back";
    }
  }
  EXPECT_GE(during, 1u) << "no round fell inside the flash";
  EXPECT_TRUE(renewed);
}

// The process state letter from /proc ('T' when stopped).
char process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t paren = text.rfind(") ");
  return paren == std::string::npos ? '?' : text[paren + 2];
}

// Stops the process where it does not hold the simulator's board lock, which
// every other process needs to open the device.
void stop_outside_board_lock(const Board& board, pid_t pid) {
  const int lock = open((board.dir() + "/board.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  for (int tries = 0; tries < 1000; ++tries) {
    kill(pid, SIGSTOP);
    for (int i = 0; i < 1000 && process_state(pid) != 'T'; ++i) usleep(100);
    if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
      flock(lock, LOCK_UN);
      break;
    }
    kill(pid, SIGCONT);
    usleep(1000);
  }
  close(lock);
}

// Two flashes started at once: the one that has the bus flashes, the other
// gives up without a GPIO write or exchange of its own. The simulated flash
// is far quicker than the five seconds the other waits, so the first is
// held up meanwhile, as a slow bus would.
TEST(LiveUnit, SecondFlashGivesUpBeforeTouchingTheBoard) {
  Board board;
  Bytes image;
  const std::string path = write_image(board, 1000, &image);
  std::future<RunResult> runs[2] = {start(board, {boardsim::mcuflash_path(), path}),
                                    start(board, {boardsim::mcuflash_path(), path})};
  ASSERT_TRUE(eventually([&] { return !board.gpio_log().empty(); }, 30));
  const long owner = board.gpio_log().front().pid;
  stop_outside_board_lock(board, static_cast<pid_t>(owner));
  EXPECT_TRUE(eventually(
      [&] {
        for (auto& r : runs)
          if (r.wait_for(std::chrono::seconds(0)) == std::future_status::ready) return true;
        return false;
      },
      60));
  kill(static_cast<pid_t>(owner), SIGCONT);
  RunResult r[2] = {runs[0].get(), runs[1].get()};
  const int winner = r[0].status == 0 ? 0 : 1;
  const RunResult& won = r[winner];
  const RunResult& lost = r[1 - winner];

  EXPECT_EQ(won.status, 0) << won.out << won.err;
  EXPECT_EQ(won.out.substr(0, 9), "Flashing ");
  EXPECT_EQ(board.flash(), image);
  EXPECT_EQ(lost.status, 1);
  EXPECT_EQ(lost.out, "");
  EXPECT_EQ(lost.err, "/dev/spidev0.0: SPI device busy (held by process " +
                          std::to_string(owner) + ")\n");
  for (const auto& g : board.gpio_log()) EXPECT_EQ(g.pid, owner) << g.path;
  for (const auto& c : board.spi_config_log()) EXPECT_EQ(c.pid, owner) << c.name;
  for (const auto& e : board.spi_log()) ASSERT_EQ(e.pid, owner);
}

// Hand-run reads beside the service, two loops at once: every read comes
// back right and no exchange lands inside another's transaction.
TEST(LiveUnit, HandRunReadsBesideTheService) {
  Board board;
  Service service(board);
  auto loop = [&board] {
    std::vector<RunResult> results;
    for (int i = 0; i < 50; ++i) results.push_back(board.run({boardsim::unitctl_path(), "-b"}));
    return results;
  };
  auto other = std::async(std::launch::async, loop);
  std::vector<RunResult> results = loop();
  for (const RunResult& r : other.get()) results.push_back(r);
  const RunResult s = service.stop();
  EXPECT_EQ(s.signal, SIGTERM) << s.err;

  int wrong = 0;
  for (const RunResult& r : results)
    wrong += r.status != 0 || r.out != "Battery level: 87 %\n" || !r.err.empty();
  EXPECT_EQ(wrong, 0) << "of " << results.size();
  EXPECT_TRUE(board.collisions().empty()) << board.collisions().size() << " collisions";
}

// An hour's step of the calendar clock, forward or back, half a second into
// the wake-up phase: the phase still lasts one to two seconds.
class ClockStep : public testing::TestWithParam<int> {};

TEST_P(ClockStep, WakeUpLastsOneToTwoSeconds) {
  Board board;
  board.set("time.step_after_ms", 500);
  board.set("time.step_s", GetParam());
  Bytes image;
  const RunResult r =
      board.run({boardsim::mcuflash_path(), write_image(board, 100, &image)}, {}, 30);
  ASSERT_EQ(r.status, 0) << r.out << r.err << (r.timed_out ? "timed out" : "");

  // The wake-up: 0xFF exchanges from the restart into the bootloader (its
  // last GPIO write is the twentieth, after the lines' set-up and a restart)
  // to the ping.
  const auto gpio = board.gpio_log();
  ASSERT_GE(gpio.size(), 20u);
  const uint64_t entered = gpio[19].t_ns;
  uint64_t first = 0, last = 0;
  for (const auto& e : board.spi_log()) {
    if (e.t_first_ns < entered) continue;
    if (e.tx == Bytes{0x5A, 0xA6}) break;
    ASSERT_EQ(e.tx, Bytes{0xFF});
    if (first == 0) first = e.t_first_ns;
    last = e.t_last_ns;
  }
  const double seconds = static_cast<double>(last - first) / 1e9;
  EXPECT_GE(seconds, 0.95);
  EXPECT_LE(seconds, 2.05);
}

INSTANTIATE_TEST_SUITE_P(LiveUnit, ClockStep, testing::Values(3600, -3600),
                         [](const auto& info) {
                           return std::string(info.param > 0 ? "Forward" : "Back");
                         });

}  // namespace
