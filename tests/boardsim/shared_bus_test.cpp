// One board, one bus: processes that run against one board directory share
// the MCU; an exchange inside another process's transaction is a collision;
// flock() on the device excludes across processes; the records stay whole
// with several writers. The processes are this test binary, started again
// by Board::run with BOARDSIM_BUS_CHILD set.
#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "boardsim/board.h"
#include "logs.h"

using boardsim::Board;
using boardsim::RunResult;
using Bytes = std::vector<uint8_t>;

namespace {

const char DEV[] = "/dev/spidev0.0";

Bytes xfer(int fd, Bytes tx) {
  Bytes rx(tx.size(), 0);
  spi_ioc_transfer x;
  memset(&x, 0, sizeof x);
  x.tx_buf = reinterpret_cast<uintptr_t>(tx.data());
  x.rx_buf = reinterpret_cast<uintptr_t>(rx.data());
  x.len = static_cast<uint32_t>(tx.size());
  ioctl(fd, SPI_IOC_MESSAGE(1), &x);
  return rx;
}

std::string env_or(const char* name, const char* def) {
  const char* v = getenv(name);
  return v ? v : def;
}

// Waits for the test to let every child start at once.
void start_together() {
  std::string dir = env_or("BOARDSIM_DIR", "/tmp");
  close(open((dir + "/ready." + std::to_string(getpid())).c_str(), O_CREAT | O_WRONLY, 0644));
  for (int i = 0; i < 20000 && access((dir + "/go").c_str(), F_OK) != 0; ++i) usleep(1000);
}

void set_value(int line, const char* v) {
  int fd = open(("/sys/class/gpio/gpio" + std::to_string(line) + "/value").c_str(), O_WRONLY);
  if (fd >= 0) {
    (void)!write(fd, v, 1);
    close(fd);
  }
}

// Battery reads as unitctl makes them; returns how many came back wrong.
int battery_reads(int fd, int n, bool lock) {
  int bad = 0;
  for (int i = 0; i < n; ++i) {
    if (lock) flock(fd, LOCK_EX);
    xfer(fd, {0x01, 0x01});
    usleep(5000);
    if (xfer(fd, {0xFF, 0xFF}) != Bytes{0x57, 0xA2}) ++bad;
    if (lock) flock(fd, LOCK_UN);
  }
  return bad;
}

// Pings as mcuflash makes them, for about `ms`; returns how many failed.
int pings(int fd, int ms) {
  int bad = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    xfer(fd, {0x5A, 0xA6});
    Bytes reply;
    for (int i = 0; i < 50 && reply.size() < 10; ++i) {
      uint8_t b = xfer(fd, {0x00})[0];
      if (!reply.empty() || b == 0x5A) reply.push_back(b);
    }
    if (reply.size() < 2 || reply[1] != 0xA7) ++bad;
    usleep(2000);
  }
  return bad;
}

__attribute__((constructor)) void bus_child() {
  const char* mode_env = getenv("BOARDSIM_BUS_CHILD");
  if (!mode_env) return;
  const std::string mode = mode_env;
  const bool lock = env_or("BOARDSIM_BUS_LOCK", "0") == "1";
  int fd = open(DEV, O_RDWR);
  if (fd < 0) _exit(3);
  int bad = 0;
  if (mode == "word") {  // one exchange, then away
    std::vector<uint8_t> tx;
    boardsim::from_hex(env_or("BOARDSIM_BUS_BYTES", ""), &tx);
    xfer(fd, tx);
    int stay_ms = atoi(env_or("BOARDSIM_BUS_STAY_MS", "0").c_str());
    if (stay_ms > 0) {  // alive, but idle
      std::string dir = env_or("BOARDSIM_DIR", "/tmp");
      close(open((dir + "/sent").c_str(), O_CREAT | O_WRONLY, 0644));
      usleep(static_cast<useconds_t>(stay_ms) * 1000u);
    }
  } else if (mode == "txn") {
    start_together();
    bad = battery_reads(fd, 60, lock);
  } else if (mode == "boot") {  // as the flasher: restart, pings, restart

    start_together();
    if (lock) flock(fd, LOCK_EX);
    for (const char* step : {"22=0", "21=0", "22=1"}) set_value(atoi(step), step + 3);
    bad = pings(fd, 400);
    for (const char* step : {"21=1", "22=0", "22=1"}) set_value(atoi(step), step + 3);
  } else if (mode == "hold") {
    flock(fd, LOCK_EX);
    std::string held = env_or("BOARDSIM_DIR", "/tmp") + "/held";
    FILE* f = fopen((held + ".tmp").c_str(), "w");
    fprintf(f, "%d\n", getpid());
    fclose(f);
    rename((held + ".tmp").c_str(), held.c_str());
    for (;;) pause();
  } else if (mode == "writers") {
    const uint8_t me = static_cast<uint8_t>(atoi(env_or("BOARDSIM_BUS_INDEX", "0").c_str()));
    bool net = unshare(CLONE_NEWNET) == 0;  // a datagram that escaped could not leave
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(2013);
    inet_pton(AF_INET, "192.168.1.255", &to.sin_addr);
    start_together();
    for (int round = 0; round < 50; ++round) {
      for (int i = 0; i < 20; ++i) xfer(fd, {me});
      set_value(11, round % 2 ? "1" : "0");
      if (net) sendto(s, &me, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    if (!net) bad = 1;
  } else {
    _exit(100);
  }
  printf("%d %d\n", getpid(), bad);
  exit(0);
}

std::string self_path() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

struct ChildResult {
  long pid = 0;
  int bad = -1;
  RunResult run;
};

// Runs the children at once (each with its own environment), lets them
// start together, and returns what each reported.
std::vector<ChildResult> run_together(const Board& board,
                                      const std::vector<std::map<std::string, std::string>>& envs) {
  std::vector<ChildResult> out(envs.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < envs.size(); ++i)
    threads.emplace_back([&, i] { out[i].run = board.run({self_path()}, envs[i], 60); });
  for (int i = 0; i < 20000; ++i) {
    size_t ready = 0;
    for (const auto& e : std::filesystem::directory_iterator(board.dir()))
      ready += e.path().filename().string().rfind("ready.", 0) == 0;
    if (ready == envs.size()) break;
    usleep(1000);
  }
  close(open((board.dir() + "/go").c_str(), O_CREAT | O_WRONLY, 0644));
  for (auto& t : threads) t.join();
  for (auto& c : out) sscanf(c.run.out.c_str(), "%ld %d", &c.pid, &c.bad);
  return out;
}

void export_lines(Board& board) {
  for (int line : {11, 21, 22}) {
    std::string k = "gpio." + std::to_string(line) + ".";
    board.set(k + "exported", 1);
    board.set(k + "direction", "out");
    board.set(k + "value", 1);
  }
}

struct CollisionCase {
  const char* name;
  const char* owner_mode;  // the first child: "txn" or "boot"
  bool lock;               // every child holds flock() on the device around its transactions
};

struct Collisions : ::testing::TestWithParam<CollisionCase> {};

// Two processes on one bus without a lock collide: both ids are recorded
// and both see garbled bytes. With the device locked they never collide.
TEST_P(Collisions, OnlyWithoutTheLock) {
  const CollisionCase& c = GetParam();
  Board board;
  export_lines(board);
  const std::string lock = c.lock ? "1" : "0";
  auto kids = run_together(board, {{{"BOARDSIM_BUS_CHILD", c.owner_mode}, {"BOARDSIM_BUS_LOCK", lock}},
                                   {{"BOARDSIM_BUS_CHILD", "txn"}, {"BOARDSIM_BUS_LOCK", lock}}});
  for (const auto& k : kids) ASSERT_GT(k.pid, 0) << k.run.out << k.run.err;
  const std::set<long> pids = {kids[0].pid, kids[1].pid};
  auto collisions = board.collisions();
  if (c.lock) {
    EXPECT_TRUE(collisions.empty()) << collisions.size() << " collisions";
    EXPECT_EQ(kids[0].bad + kids[1].bad, 0);
    return;
  }
  ASSERT_FALSE(collisions.empty());
  const std::string program = std::string(c.owner_mode) == "boot" ? "bootloader" : "firmware";
  for (const auto& k : collisions) {
    EXPECT_EQ((std::set<long>{k.pid, k.owner}), pids);
    EXPECT_EQ(k.program, program);
  }
  EXPECT_GT(kids[0].bad, 0) << "the owner saw clean bytes";
  EXPECT_GT(kids[1].bad, 0) << "the intruder saw clean bytes";
}

INSTANTIATE_TEST_SUITE_P(
    Bus, Collisions,
    ::testing::Values(CollisionCase{"firmware_unlocked", "txn", false},
                      CollisionCase{"firmware_locked", "txn", true},
                      CollisionCase{"bootloader_unlocked", "boot", false},
                      CollisionCase{"bootloader_locked", "boot", true}),
    [](const auto& info) { return std::string(info.param.name); });

// The MCU outlives the process that talked to it: the next process goes on
// where the last one stopped (a command word, a ping).
TEST(SharedBus, TheMcuOutlivesTheProcess) {
  struct Case {
    const char* program;
    const char* first;  // what a process sends before it ends
    Bytes next;         // what the next process sends
    Bytes answer;       // and receives
  };
  const Case cases[] = {
      {"firmware", "0101", {0xFF, 0xFF}, {0x57, 0xA2}},
      {"bootloader", "5aa6", {0x00, 0x00, 0x00}, {0x00, 0x00, 0x5A}},  // two filler bytes first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    Board board;
    board.set("mcu.program", c.program);
    auto r = board.run({self_path()}, {{"BOARDSIM_BUS_CHILD", "word"}, {"BOARDSIM_BUS_BYTES", c.first}});
    ASSERT_EQ(r.status, 0) << r.err;
    board.attach();
    int fd = open(DEV, O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(xfer(fd, c.next), c.answer);
    close(fd);
    EXPECT_TRUE(board.collisions().empty());
  }
}

// An owner that stays idle for more than a second owns nothing any more.
TEST(SharedBus, AnIdleOwnerLosesTheTransaction) {
  Board board;
  RunResult owner;
  std::thread t([&] {
    owner = board.run({self_path()}, {{"BOARDSIM_BUS_CHILD", "word"},
                                      {"BOARDSIM_BUS_BYTES", "0101"},
                                      {"BOARDSIM_BUS_STAY_MS", "2500"}});
  });
  for (int i = 0; i < 20000 && access((board.dir() + "/sent").c_str(), F_OK) != 0; ++i) usleep(1000);
  board.attach();
  int fd = open(DEV, O_RDWR);
  ASSERT_GE(fd, 0);
  xfer(fd, {0xFF, 0xFF});  // inside the owner's open command
  EXPECT_EQ(board.collisions().size(), 1u);
  usleep(1200000);
  xfer(fd, {0x01, 0x01});
  EXPECT_EQ(board.collisions().size(), 1u);
  close(fd);
  t.join();
  EXPECT_EQ(owner.status, 0) << owner.err;
}

// flock() on the simulated device excludes another process, and is free
// once the holder is gone.
TEST(SharedBus, DeviceLockExcludesOtherProcesses) {
  Board board;
  RunResult holder;
  std::thread t([&] { holder = board.run({self_path()}, {{"BOARDSIM_BUS_CHILD", "hold"}}, 30); });
  const std::string held = board.dir() + "/held";
  for (int i = 0; i < 20000 && access(held.c_str(), F_OK) != 0; ++i) usleep(1000);
  board.attach();
  int fd = open(DEV, O_RDWR);
  ASSERT_GE(fd, 0);
  errno = 0;
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  FILE* f = fopen(held.c_str(), "r");
  long pid = 0;
  if (f) {
    EXPECT_EQ(fscanf(f, "%ld", &pid), 1);
    fclose(f);
  }
  if (pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
  t.join();
  EXPECT_EQ(holder.signal, SIGKILL);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << strerror(errno);
  close(fd);
}

// Several processes writing every record file at once: nothing lost, nothing
// torn, each record names its process, and a run of identical exchanges is
// never extended across another process's record.
TEST(SharedBus, SeveralWritersKeepEveryRecord) {
  Board board;
  export_lines(board);
  board.set("mcu.program", "off");
  std::vector<std::map<std::string, std::string>> envs;
  for (int i = 1; i <= 4; ++i)
    envs.push_back({{"BOARDSIM_BUS_CHILD", "writers"}, {"BOARDSIM_BUS_INDEX", std::to_string(i)}});
  auto kids = run_together(board, envs);
  std::map<long, uint8_t> index;
  for (size_t i = 0; i < kids.size(); ++i) {
    ASSERT_GT(kids[i].pid, 0) << kids[i].run.err;
    index[kids[i].pid] = static_cast<uint8_t>(i + 1);
  }

  auto lines = [&](const char* name) {
    std::string text = boardsim::read_file(board.dir() + "/" + name);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  };
  std::map<long, uint64_t> exchanges, gpio, datagrams;
  auto spi = board.spi_log();
  EXPECT_EQ(spi.size(), lines("spi.log"));  // every line a whole record
  for (size_t i = 1; i < spi.size(); ++i)  // no run reaches over a later record
    EXPECT_LE(spi[i - 1].t_last_ns, spi[i].t_first_ns) << "record " << i - 1;
  for (const auto& e : spi) {
    ASSERT_TRUE(index.count(e.pid)) << e.pid;
    EXPECT_EQ(e.tx, Bytes{index[e.pid]});
    exchanges[e.pid] += e.count;
  }
  auto g = board.gpio_log();
  EXPECT_EQ(g.size(), lines("gpio.log"));
  for (const auto& w : g) ++gpio[w.pid];
  auto d = board.datagram_records();
  EXPECT_EQ(d.size(), lines("datagrams"));
  for (const auto& w : d) {
    EXPECT_EQ(w.bytes, Bytes{index[w.pid]});
    ++datagrams[w.pid];
  }
  bool net = true;
  for (const auto& k : kids) {
    EXPECT_EQ(exchanges[k.pid], 1000u);
    EXPECT_EQ(gpio[k.pid], 50u);
    if (k.bad == 0) {
      EXPECT_EQ(datagrams[k.pid], 50u);
    }
    net &= k.bad == 0;
  }
  if (!net) GTEST_SKIP() << "datagrams not checked: no network namespace of its own (needs root)";
}

}  // namespace

namespace {

// A process stopped (SIGTSTP) inside a simulated GPIO write stops once the
// write is done, as after a real transfer: the board's others go on.
TEST(SharedBoard, AStoppedProcessDoesNotHoldUpTheOthers) {
  if (boardsim::unitctl_path().empty() || boardsim::mcuflash_path().empty())
    GTEST_SKIP() << "unitctl or mcuflash is not part of this build";
  Board board;
  board.set("gpio.delay_ms", 300);
  RunResult restart;
  std::thread flasher([&] { restart = board.run({boardsim::mcuflash_path(), "-r"}, {}, 60); });
  std::vector<boardsim::GpioWrite> writes;
  for (int i = 0; i < 10000 && writes.empty(); ++i, usleep(1000)) writes = board.gpio_log();
  ASSERT_FALSE(writes.empty());
  kill(static_cast<pid_t>(writes[0].pid), SIGTSTP);
  EXPECT_FALSE(board.run({boardsim::unitctl_path(), "-v"}, {}, 10).timed_out);
  kill(static_cast<pid_t>(writes[0].pid), SIGCONT);
  flasher.join();
  EXPECT_EQ(restart.status, 0) << restart.err;
}

// A board directory the process cannot write: said, and no device.
TEST(SharedBoard, UnwritableDirectoryIsSaid) {
  if (geteuid() != 0 || !boardsim::emulator().empty() || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root, setpriv and a native build to run as another user";
  Board board;  // mode 0700, the test's
  const RunResult r = board.run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                 "--clear-groups", boardsim::unitctl_path(), "-b"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "boardsim: cannot use the board directory " + board.dir() + ": " +
                       strerror(EACCES) + "\ncan't open device: " + strerror(EACCES) + "\n");
}

}  // namespace
