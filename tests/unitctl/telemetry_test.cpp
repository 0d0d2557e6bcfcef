// The telemetry service run through the real program: the bytes of the
// three datagrams, what the start-up reads leave when they fail, the last
// good values kept, and the ways the service ends.
//
// Datagrams are captured by the simulator (nothing leaves the process), and
// the endless loop is ended by net.stop_after (SIGTERM after the N-th
// datagram) or by the run's time limit. The tests at the end send real
// datagrams, but only inside a network namespace that the test makes for
// itself; where that cannot be done they are skipped.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board.h"
#include "logs.h"

namespace {

using boardsim::Board;
using boardsim::RunResult;
using Bytes = std::vector<uint8_t>;

std::string hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (uint8_t x : b) {
    snprintf(buf, sizeof(buf), "%02X ", x);
    s += buf;
  }
  return s;
}

Bytes status_datagram(uint8_t battery, uint8_t charging) { return {0x00, 0x00, battery, charging}; }

Bytes version_datagram(uint8_t major, uint8_t minor, uint16_t patch) {
  return {0x00, 0x01, major, minor, static_cast<uint8_t>(patch >> 8),
          static_cast<uint8_t>(patch & 0xFF)};
}

Bytes identity_datagram(const std::string& serial10, const Bytes& uuid16) {
  Bytes d = {0x00, 0x02};
  for (size_t i = 0; i < 10; ++i) d.push_back(i < serial10.size() ? serial10[i] : 0);
  d.push_back(0x00);
  d.insert(d.end(), uuid16.begin(), uuid16.end());
  return d;
}

const Bytes DEFAULT_UUID = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                            0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
const Bytes ZERO_UUID(16, 0);
const char* const DEFAULT_SERIAL = "SU01-02003";

const char* const VERSION_142 =
    "<?xml version=\"1.0\"?>\n<krv>\n  <major>1</major>\n  <minor>4</minor>\n  <patch>2</patch>\n"
    "  <build>57</build>\n  <commit_id_short>a1b2c3d</commit_id_short>\n</krv>\n";

// Runs the service until `cycles` cycles of three datagrams were captured.
RunResult run_cycles(Board& board, int cycles, bool fast = true) {
  board.set("net.stop_after", 3 * cycles);
  if (fast) board.set("time.fast_sleep", 1);
  return board.run({boardsim::unitctl_path()}, {}, 30);
}

void expect_ended_by_stop(const RunResult& res) {
  EXPECT_FALSE(res.timed_out);
  EXPECT_EQ(res.signal, SIGTERM) << "status " << res.status << ", stderr: " << res.err;
  EXPECT_EQ(res.out, "Broadcasting on UDP:2013\n");
}

// Every cycle must be exactly the three expected datagrams, in order.
void expect_cycles(const std::vector<Bytes>& got, int cycles, const Bytes& status,
                   const Bytes& version, const Bytes& identity) {
  ASSERT_EQ(got.size(), static_cast<size_t>(3 * cycles));
  for (int c = 0; c < cycles; ++c) {
    SCOPED_TRACE("cycle " + std::to_string(c));
    EXPECT_EQ(hex(got[3 * c]), hex(status));
    EXPECT_EQ(hex(got[3 * c + 1]), hex(version));
    EXPECT_EQ(hex(got[3 * c + 2]), hex(identity));
  }
}

// Every captured datagram was addressed to the broadcast address, port 2013.
void expect_broadcast_destination(const Board& board) {
  const auto sent = boardsim::parse_datagrams(boardsim::read_file(board.dir() + "/datagrams"));
  ASSERT_FALSE(sent.empty());
  for (const auto& d : sent) EXPECT_EQ(d.to, "192.168.1.255:2013");
}

uint64_t command_words(const Board& board, uint8_t code) {
  uint64_t n = 0;
  for (const boardsim::Exchange& e : board.spi_log()) {
    if (e.tx == Bytes{code, code}) n += e.count;
  }
  return n;
}

TEST(Telemetry, OneCycleByteForByte) {
  Board board;
  board.write_version_file(VERSION_142);
  const RunResult res = run_cycles(board, 1);
  expect_ended_by_stop(res);
  const std::vector<Bytes> got = board.datagrams();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(hex(got[0]), "00 00 57 01 ");
  EXPECT_EQ(hex(got[1]), "00 01 01 04 00 02 ");
  EXPECT_EQ(hex(got[2]),
            "00 02 53 55 30 31 2D 30 32 30 30 33 00 "
            "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ");
  expect_broadcast_destination(board);
}

struct CycleCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> state;
  const char* xml;  // nullptr: no version file
  bool deny_version_file;
  Bytes status, version, identity;
  bool fifo_version_file = false;  // a FIFO in the file's place
};

void PrintTo(const CycleCase& c, std::ostream* os) { *os << c.name; }

const Bytes UUID_FF(16, 0xFF);
const CycleCase CYCLE_CASES[] = {
    {"defaults", {}, VERSION_142, false, status_datagram(87, 1), version_datagram(1, 4, 2),
     identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)},
    {"patch 258 goes out as 01 02",
     {},
     "<krv><major>255</major><minor>0</minor><patch>258</patch></krv>",
     false,
     status_datagram(87, 1),
     version_datagram(255, 0, 258),
     identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)},
    {"build and commit id are not sent",
     {},
     "<krv><major>1</major><minor>4</minor><patch>65535</patch><build>999</build>"
     "<commit_id_short>fffffff</commit_id_short></krv>",
     false,
     status_datagram(87, 1),
     version_datagram(1, 4, 65535),
     identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)},
    {"missing version file", {}, nullptr, false, status_datagram(87, 1), version_datagram(0, 0, 0),
     identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)},
    {"unreadable version file", {}, VERSION_142, true, status_datagram(87, 1),
     version_datagram(0, 0, 0), identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)},
    {"version file that is not XML", {}, "1.4.2", false, status_datagram(87, 1),
     version_datagram(0, 0, 0), identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)},
    {"a FIFO in the version file's place", {}, nullptr, false, status_datagram(87, 1),
     version_datagram(0, 0, 0), identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID), true},
    {"serial number read fails at start",
     {{"fw.status.serial", "0"}},
     VERSION_142,
     false,
     status_datagram(87, 1),
     version_datagram(1, 4, 2),
     identity_datagram("", DEFAULT_UUID)},
    {"UUID read fails at start",
     {{"fw.status.uuid", "0"}},
     VERSION_142,
     false,
     status_datagram(87, 1),
     version_datagram(1, 4, 2),
     identity_datagram(DEFAULT_SERIAL, ZERO_UUID)},
    {"other identity",
     {{"fw.serial", "SU99-77123"}, {"fw.uuid", "ffffffffffffffffffffffffffffffff"}},
     VERSION_142,
     false,
     status_datagram(87, 1),
     version_datagram(1, 4, 2),
     identity_datagram("SU99-77123", UUID_FF)},
    {"full battery, charging error",
     {{"fw.battery", "100"}, {"fw.charging", "2"}},
     VERSION_142,
     false,
     status_datagram(100, 2),
     version_datagram(1, 4, 2),
     identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)},
    {"readings out of range never reach the datagram",
     {{"fw.battery", "101"}, {"fw.charging", "3"}},
     VERSION_142,
     false,
     status_datagram(0, 0),
     version_datagram(1, 4, 2),
     identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)},
    {"MCU silent from the start: all three datagrams still go out",
     {{"fw.silent", "1"}},
     VERSION_142,
     false,
     status_datagram(0, 0),
     version_datagram(1, 4, 2),
     identity_datagram("", ZERO_UUID)},
};

class TelemetryCycle : public testing::TestWithParam<CycleCase> {};

TEST_P(TelemetryCycle, DatagramsPerBoard) {
  const CycleCase& c = GetParam();
  Board board;
  for (const auto& [k, v] : c.state) board.set(k, v);
  if (c.xml != nullptr) board.write_version_file(c.xml);
  if (c.deny_version_file) board.set("fs.deny", "/etc/krv_version.xml");
  if (c.fifo_version_file) {
    ASSERT_EQ(mkfifo((board.dir() + "/krv_version.xml").c_str(), 0644), 0);
  }
  const RunResult res = run_cycles(board, 3);
  expect_ended_by_stop(res);
  expect_cycles(board.datagrams(), 3, c.status, c.version, c.identity);
  expect_broadcast_destination(board);
}

INSTANTIATE_TEST_SUITE_P(, TelemetryCycle, testing::ValuesIn(CYCLE_CASES));

// The board changes while the service runs (the simulator picks up the new
// state at its next datagram or sleep). With the real one-second sleep, a
// change made once the first cycle's datagrams are out is in force from the
// third cycle on; cycles 4 and 5 are checked, leaving a second to spare for a
// slow machine.
struct MidRunCase {
  std::vector<std::pair<std::string, std::string>> before, after;
  Bytes first_status, late_status, identity;
  Bytes late_identity = {};  // empty: `identity` all along
};

void run_mid_run_case(const MidRunCase& c) {
  Board board;
  board.write_version_file(VERSION_142);
  for (const auto& [k, v] : c.before) board.set(k, v);
  board.set("net.stop_after", 15);
  RunResult res;
  std::thread service([&] { res = board.run({boardsim::unitctl_path()}, {}, 30); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (board.datagrams().size() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (const auto& [k, v] : c.after) board.set(k, v);
  service.join();
  expect_ended_by_stop(res);

  const std::vector<Bytes> got = board.datagrams();
  ASSERT_EQ(got.size(), 15u);
  const Bytes version = version_datagram(1, 4, 2);
  for (size_t cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle + 1));
    if (cycle == 0) {
      EXPECT_EQ(hex(got[0]), hex(c.first_status));
    }
    const bool late = cycle >= 3;
    if (late) {
      EXPECT_EQ(hex(got[3 * cycle]), hex(c.late_status));
    }
    EXPECT_EQ(got[3 * cycle].size(), 4u);
    EXPECT_EQ(hex(got[3 * cycle + 1]), hex(version));
    if (cycle == 0 || late) {
      EXPECT_EQ(hex(got[3 * cycle + 2]),
                hex(late && !c.late_identity.empty() ? c.late_identity : c.identity));
    }
  }
}

TEST(Telemetry, FailingBatteryReadKeepsTheLastGoodValue) {
  run_mid_run_case({{{"fw.battery", "60"}, {"fw.charging", "1"}},
                    {{"fw.battery", "101"}, {"fw.charging", "2"}},  // 101 is refused
                    status_datagram(60, 1),
                    status_datagram(60, 2),
                    identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)});
}

TEST(Telemetry, McuSilentAfterStartKeepsEveryDatagramGoing) {
  run_mid_run_case({{},
                    {{"fw.silent", "1"}, {"fw.battery", "10"}, {"fw.charging", "0"}},
                    status_datagram(87, 1),
                    status_datagram(87, 1),
                    identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)});
}

// Zeros until a read succeeds; the serial number and UUID that failed at
// start are asked for again and reach the identity datagram.
TEST(Telemetry, McuSilentAtStartAnsweringLater) {
  run_mid_run_case({{{"fw.silent", "1"}},
                    {{"fw.silent", "0"}},
                    status_datagram(0, 0),
                    status_datagram(87, 1),
                    identity_datagram("", ZERO_UUID),
                    identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)});
}

// Serial number and UUID are read once at start; battery and charging once
// per cycle, in that order.
TEST(Telemetry, ReadsIdentityOnceAndStatusEachCycle) {
  Board board;
  board.write_version_file(VERSION_142);
  const RunResult res = run_cycles(board, 4);
  expect_ended_by_stop(res);
  EXPECT_EQ(command_words(board, 0x08), 1u);
  EXPECT_EQ(command_words(board, 0x07), 1u);
  EXPECT_EQ(command_words(board, 0x01), 4u);
  EXPECT_EQ(command_words(board, 0x02), 4u);
  EXPECT_EQ(command_words(board, 0x03), 0u);  // the MCU's own version is not used

  // Order of the command words on the bus.
  std::vector<uint8_t> order;
  for (const boardsim::Exchange& e : board.spi_log()) {
    if (e.tx.size() == 2 && e.tx[0] == e.tx[1] && e.tx[0] != 0xFF) order.push_back(e.tx[0]);
  }
  const std::vector<uint8_t> expected = {0x08, 0x07, 0x01, 0x02, 0x01, 0x02,
                                         0x01, 0x02, 0x01, 0x02};
  EXPECT_EQ(order, expected);
}

// Without the shortened sleep, a cycle starts at least one second after the
// one before.
TEST(Telemetry, SleepsASecondBetweenCycles) {
  Board board;
  board.write_version_file(VERSION_142);
  const RunResult res = run_cycles(board, 2, /*fast=*/false);
  expect_ended_by_stop(res);
  std::vector<uint64_t> battery_reads;
  for (const boardsim::Exchange& e : board.spi_log()) {
    if (e.tx == Bytes{0x01, 0x01}) battery_reads.push_back(e.t_first_ns);
  }
  ASSERT_EQ(battery_reads.size(), 2u);
  EXPECT_GE(battery_reads[1] - battery_reads[0], 1000000000ull);
}

TEST(Telemetry, FailedSendEndsTheService) {
  Board board;
  board.write_version_file(VERSION_142);
  board.set("net.send_fail", 1);
  board.set("time.fast_sleep", 1);
  const RunResult res = board.run({boardsim::unitctl_path()}, {}, 20);
  EXPECT_FALSE(res.timed_out);
  EXPECT_EQ(res.signal, 0);
  EXPECT_EQ(res.status, 1);
  EXPECT_EQ(res.out, "Broadcasting on UDP:2013\n");
  EXPECT_EQ(res.err.rfind("cannot send data: ", 0), 0u) << res.err;
  EXPECT_TRUE(board.datagrams().empty());
  // It ended in the first cycle.
  EXPECT_EQ(command_words(board, 0x01), 1u);
}

// The broadcast address is numeric: it never asks the resolver, which may
// not work at boot.
TEST(Telemetry, NumericAddressNeedsNoResolver) {
  Board board;
  board.write_version_file(VERSION_142);
  board.set("net.resolve_fail", 1);
  const RunResult res = run_cycles(board, 1);
  expect_ended_by_stop(res);
  EXPECT_EQ(board.datagrams().size(), 3u);
  expect_broadcast_destination(board);
}

// TELEMETRY_DESTINATION: where the datagrams go (localhost: really sent,
// not captured, until the run is ended), or the line naming the value that
// ends the service before the first datagram. An empty value cannot be
// passed through the test kit; it is the unset row.
struct DestinationCase {
  const char* value;  // nullptr: unset
  const char* to;     // where the datagrams go; nullptr: refused with `why`
  std::string why;
};
void PrintTo(const DestinationCase& c, std::ostream* os) { *os << (c.value ? c.value : "unset"); }

const char BAD_PORT[] = "port must be 1 to 65535";
const char NO_IPV6[] = "IPv6 is not supported";
const char NOT_IPV4[] = "not an IPv4 address";
const char NOT_A_NAME[] = "not a host name";
const std::string LONG_VALUE(300, 'a');
class TelemetryDestination : public testing::TestWithParam<DestinationCase> {};

TEST_P(TelemetryDestination, SendsThereOrEndsNamingTheValue) {
  const DestinationCase& c = GetParam();
  Board board;
  board.set("net.stop_after", 3);
  board.set("time.fast_sleep", 1);
  board.set("net.resolve_fail", c.value && std::string(c.value) == "collector.site" ? "1" : "");
  const RunResult res = board.run({boardsim::unitctl_path()},
                                  {{"TELEMETRY_DESTINATION", c.value ? c.value : ""}}, 2);
  const auto sent = boardsim::parse_datagrams(boardsim::read_file(board.dir() + "/datagrams"));
  if (c.to == nullptr) {
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.out, "");
    EXPECT_EQ(res.err, "TELEMETRY_DESTINATION \"" + std::string(c.value) + "\": " + c.why + "\n");
  } else {
    const std::string to = c.to;
    EXPECT_EQ(res.out, c.value ? "Sending to " + to + "\n" : "Broadcasting on UDP:2013\n") << res.err;
    for (const auto& d : sent) EXPECT_EQ(d.to, to);
    EXPECT_EQ(sent.size(), to.rfind("127.", 0) == 0 ? 0u : 3u);
  }
}

INSTANTIATE_TEST_SUITE_P(, TelemetryDestination, testing::ValuesIn(std::vector<DestinationCase>{
    {nullptr, "192.168.1.255:2013", ""},          {"10.20.30.40", "10.20.30.40:2013", ""},
    {"10.20.30.255:5000", "10.20.30.255:5000", ""}, {"localhost:5000", "127.0.0.1:5000", ""},
    {"10.0.0.1:0", nullptr, BAD_PORT},            {"10.0.0.1:65536", nullptr, BAD_PORT},
    {"10.0.0.1:20x3", nullptr, BAD_PORT},         {":2013", nullptr, "no host"},
    {"::1", nullptr, NO_IPV6},                    {"[2001:db8::1]:2013", nullptr, NO_IPV6},
    {"collector.site", nullptr, hstrerror(HOST_NOT_FOUND)},
    // Written exactly, or refused: nothing is guessed.
    {"010.1.1.1", nullptr, NOT_IPV4},             {"1.2.3", nullptr, NOT_IPV4},
    {"0x0a.1.1.1", nullptr, NOT_IPV4},            {"256.1.1.1", nullptr, NOT_IPV4},
    {"0.0.0.0", nullptr, "0.0.0.0 is no destination"},
    {"10.77.0.2:2013:1", nullptr, BAD_PORT},      {"10.0.0.1:080", nullptr, BAD_PORT},
    {" 10.0.0.1", nullptr, NOT_A_NAME},           {"10.0.0.1\r", nullptr, NOT_A_NAME},
    {"10.0.0.1 # site collector", nullptr, NOT_A_NAME},
    {LONG_VALUE.c_str(), nullptr, "host name too long"},
    {"192.168.1.255", "192.168.1.255:2013", ""},
}));

// ---- Real sockets, inside a network namespace made by the test -------------

std::string find_ip_command() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return "";
}

// A network namespace of the test's own, deleted when it goes out of scope
// (also when an assertion ends the test early).
class NetNamespace {
 public:
  explicit NetNamespace(std::string ip) : ip_(std::move(ip)) {
    static std::atomic<int> counter{0};
    name_ = "unitctl_t" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    created_ = sh(ip_ + " netns add " + name_);
  }
  ~NetNamespace() {
    if (created_) sh(ip_ + " netns delete " + name_);
  }
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  bool created() const { return created_; }
  const std::string& name() const { return name_; }
  // Runs `ip -n NAME args`; true on success.
  bool ip(const std::string& args) const { return sh(ip_ + " -n " + name_ + " " + args); }

 private:
  static bool sh(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }
  std::string ip_;
  std::string name_;
  bool created_ = false;
};

// Runs fn with this thread inside the namespace, then returns to the
// original one. Sockets made by fn stay in the namespace.
template <typename Fn>
bool in_namespace(const NetNamespace& ns, Fn fn) {
  const int original = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int target = open(("/run/netns/" + ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
  if (original < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
    if (original >= 0) close(original);
    if (target >= 0) close(target);
    return false;
  }
  fn();
  // Failing to come back would leave the test runner in the wrong place.
  if (setns(original, CLONE_NEWNET) != 0) abort();
  close(original);
  close(target);
  return true;
}

struct Received {
  Bytes data;
  in_addr destination;  // the address the datagram was sent to
  uint16_t port;        // the port it arrived at
};

// A UDP socket bound to port 2013 in the namespace, reporting the destination
// address of each datagram.
class Listener {
 public:
  explicit Listener(const NetNamespace& ns) {
    in_namespace(ns, [&] {
      fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (fd_ < 0) return;
      int one = 1;
      setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one));
      sockaddr_in addr = {};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(2013);
      addr.sin_addr.s_addr = htonl(INADDR_ANY);
      if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd_);
        fd_ = -1;
      }
    });
  }
  ~Listener() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // Everything that has arrived, without waiting.
  std::vector<Received> drain() {
    std::vector<Received> out;
    for (;;) {
      uint8_t buf[256];
      char control[256];
      iovec iov = {buf, sizeof(buf)};
      msghdr msg = {};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
      const ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
      if (n < 0) break;
      Received r{Bytes(buf, buf + n), {}, 2013};
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
          in_pktinfo info;
          memcpy(&info, CMSG_DATA(c), sizeof(info));
          r.destination = info.ipi_addr;
        }
      }
      out.push_back(r);
    }
    return out;
  }

 private:
  int fd_ = -1;
};

// The reasons a namespace test cannot run here, or "" when it can.
std::string namespace_unavailable(const std::string& ip) {
  if (geteuid() != 0) return "network namespaces need root";
  if (ip.empty()) return "no ip command";
  return "";
}

// Runs the real program from inside the namespace: Board::run forks from
// this thread, so the program (and an emulator in front of it, in a cross
// build) starts in the namespace. Nothing runs when the thread cannot enter
// it. net.mode=real is honoured only outside PID 1's namespace, so even a
// mistake here would be captured, not sent.
bool run_in_namespace(Board& board, const NetNamespace& ns, double timeout_s, RunResult* res) {
  board.set("net.mode", "real");
  return in_namespace(ns, [&] { *res = board.run({boardsim::unitctl_path()}, {}, timeout_s); });
}

TEST(TelemetryNetns, BroadcastReachesAListenerOnPort2013) {
  const std::string ip = find_ip_command();
  const std::string why = namespace_unavailable(ip);
  if (!why.empty()) GTEST_SKIP() << why;
  NetNamespace ns(ip);
  if (!ns.created()) GTEST_SKIP() << "cannot create a network namespace (ip netns add failed)";
  // One end of a veth pair holds 192.168.1.10/24; the other end is up without
  // an address, so the broadcast has a link to leave by and the listener gets
  // the host's own copy of it, once.
  if (!ns.ip("link set lo up") || !ns.ip("link add t0 type veth peer name t1") ||
      !ns.ip("addr add 192.168.1.10/24 dev t0") || !ns.ip("link set t0 up") ||
      !ns.ip("link set t1 up")) {
    GTEST_SKIP() << "cannot set up a veth pair with 192.168.1.10/24 in the namespace";
  }
  Listener listener(ns);
  ASSERT_TRUE(listener.ok()) << "cannot bind UDP port 2013 in the namespace";

  Board board;
  board.write_version_file("<krv><major>1</major><minor>4</minor><patch>258</patch></krv>");
  board.set("fw.battery", 60);
  // The real one-second sleep: three or four cycles, then the run is killed.
  RunResult res;
  ASSERT_TRUE(run_in_namespace(board, ns, 3.5, &res)) << "cannot enter the namespace";
  EXPECT_TRUE(res.timed_out) << "status " << res.status << " stderr: " << res.err;
  EXPECT_EQ(res.out, "Broadcasting on UDP:2013\n");
  EXPECT_TRUE(board.datagrams().empty()) << "datagrams were captured instead of sent";

  const std::vector<Received> got = listener.drain();
  ASSERT_GE(got.size(), 6u) << "fewer than two cycles arrived";
  const Bytes expected[3] = {status_datagram(60, 1), version_datagram(1, 4, 258),
                             identity_datagram(DEFAULT_SERIAL, DEFAULT_UUID)};
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("datagram " + std::to_string(i));
    EXPECT_EQ(hex(got[i].data), hex(expected[i % 3]));
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &got[i].destination, addr, sizeof(addr));
    EXPECT_STREQ(addr, "192.168.1.255");
  }
}

TEST(TelemetryNetns, NoRouteEndsWithCannotSendData) {
  const std::string ip = find_ip_command();
  const std::string why = namespace_unavailable(ip);
  if (!why.empty()) GTEST_SKIP() << why;
  NetNamespace ns(ip);
  if (!ns.created()) GTEST_SKIP() << "cannot create a network namespace (ip netns add failed)";
  if (!ns.ip("link set lo up")) GTEST_SKIP() << "cannot bring up lo in the namespace";

  Board board;
  board.write_version_file("<krv><major>1</major></krv>");
  RunResult res;
  ASSERT_TRUE(run_in_namespace(board, ns, 10, &res)) << "cannot enter the namespace";
  EXPECT_FALSE(res.timed_out);
  EXPECT_EQ(res.signal, 0);
  EXPECT_EQ(res.status, 1);
  EXPECT_EQ(res.out, "Broadcasting on UDP:2013\n");
  EXPECT_EQ(res.err, std::string("cannot send data: ") + strerror(ENETUNREACH) + "\n");
  EXPECT_TRUE(board.datagrams().empty());
}

}  // namespace
