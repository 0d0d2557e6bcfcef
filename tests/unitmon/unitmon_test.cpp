// unitmon run on captures made by the test: what each datagram decodes to,
// the capture formats it reads, and how it ends (statuses, a standard output
// that is closed or gone). Listening on the network is tested by
// netns_test.sh, inside a network namespace of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- captures ---------------------------------------------------------------

enum class Link { raw, ethernet, vlan, sll, sll2 };

struct Packet {
  uint32_t source;  // IPv4, a.b.c.d as a << 24 | ...
  Bytes payload;
  uint16_t port = 2013;
  uint8_t protocol = 17;
  uint16_t fragment = 0x4000;  // flags and offset: don't fragment
};

void be16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void be32(Bytes& b, uint32_t v) {
  be16(b, static_cast<uint16_t>(v >> 16));
  be16(b, static_cast<uint16_t>(v));
}
// Capture header fields in the chosen byte order.
void field32(Bytes& b, uint32_t v, bool big) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (big ? 24 - 8 * i : 8 * i)));
}
void field16(Bytes& b, uint16_t v, bool big) {
  b.push_back(static_cast<uint8_t>(big ? v >> 8 : v));
  b.push_back(static_cast<uint8_t>(big ? v : v >> 8));
}

Bytes frame(const Packet& p, Link link) {
  Bytes f;
  if (link == Link::ethernet || link == Link::vlan) {
    f.insert(f.end(), {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0, 0, 0, 0, 1});
    if (link == Link::vlan) {
      be16(f, 0x8100);
      be16(f, 5);
    }
    be16(f, 0x0800);
  } else if (link == Link::sll) {
    f.insert(f.end(), {0, 1, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0});
    be16(f, 0x0800);
  } else if (link == Link::sll2) {
    be16(f, 0x0800);
    f.insert(f.end(), {0, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1});
  }
  be16(f, 0x4500);
  be16(f, static_cast<uint16_t>(28 + p.payload.size()));
  be16(f, 0);
  be16(f, p.fragment);
  f.push_back(64);
  f.push_back(p.protocol);
  be16(f, 0);
  be32(f, p.source);
  be32(f, 0xC0A801FF);
  be16(f, 40000);
  be16(f, p.port);
  be16(f, static_cast<uint16_t>(8 + p.payload.size()));
  be16(f, 0);
  f.insert(f.end(), p.payload.begin(), p.payload.end());
  return f;
}

uint32_t linktype(Link link) {
  switch (link) {
    case Link::raw: return 101;
    case Link::ethernet:
    case Link::vlan: return 1;
    case Link::sll: return 113;
    case Link::sll2: return 276;
  }
  return 0;
}

// Packet i is stamped 1700000000 + i seconds and 250 ms.
Bytes capture(const std::vector<Packet>& packets, Link link = Link::raw, bool big = false,
              bool nano = false) {
  Bytes c;
  field32(c, nano ? 0xA1B23C4D : 0xA1B2C3D4, big);
  field16(c, 2, big);
  field16(c, 4, big);
  field32(c, 0, big);
  field32(c, 0, big);
  field32(c, 65535, big);
  field32(c, linktype(link), big);
  uint32_t i = 0;
  for (const Packet& p : packets) {
    const Bytes f = frame(p, link);
    field32(c, 1700000000 + i++, big);
    field32(c, nano ? 250000000 : 250000, big);
    field32(c, static_cast<uint32_t>(f.size()), big);
    field32(c, static_cast<uint32_t>(f.size()), big);
    c.insert(c.end(), f.begin(), f.end());
  }
  return c;
}

constexpr uint32_t UNIT_A = 0xC0A8010A;  // 192.168.1.10
constexpr uint32_t UNIT_B = 0xC0A8010B;  // 192.168.1.11

const Bytes IDENTITY = {0, 2, 'S', 'U', '0', '1', '-', '0', '2', '0', '0', '3', 0,
                        0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// ---- running unitmon ----------------------------------------------------------

enum class Out { pipe, closed, reader_gone };

struct Result {
  std::string out, err;
  int status = -1;
  int signal = 0;
};

std::string write_temp(const Bytes& data) {
  char path[] = "/tmp/unitmon_test_XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
  return path;
}

std::string slurp(int fd) {
  std::string s;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

// Runs unitmon with args; standard error is always read, standard output as
// `out` says. Standard output is never a terminal here: rows come one per
// update.
Result run_unitmon(const std::vector<std::string>& args, Out out = Out::pipe) {
  std::vector<std::string> argv = boardsim::emulator();
  argv.push_back(UNITMON_PATH);
  argv.insert(argv.end(), args.begin(), args.end());
  int o[2], e[2];
  EXPECT_EQ(pipe(o), 0);
  EXPECT_EQ(pipe(e), 0);
  if (out == Out::reader_gone) close(o[0]);
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    if (out == Out::closed) {
      close(STDOUT_FILENO);
    } else {
      dup2(o[1], STDOUT_FILENO);
    }
    dup2(e[1], STDERR_FILENO);
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  close(o[1]);
  close(e[1]);
  Result r;
  if (out != Out::reader_gone) r.out = slurp(o[0]);
  r.err = slurp(e[0]);
  if (out != Out::reader_gone) close(o[0]);
  close(e[0]);
  int ws = 0;
  waitpid(pid, &ws, 0);
  if (WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
  if (WIFSIGNALED(ws)) r.signal = WTERMSIG(ws);
  return r;
}

Result read_capture(const Bytes& cap, std::vector<std::string> args, Out out = Out::pipe) {
  const std::string path = write_temp(cap);
  args.push_back("--read");
  args.push_back(path);
  Result r = run_unitmon(args, out);
  unlink(path.c_str());
  for (size_t at; (at = r.err.find(path)) != std::string::npos;) r.err.replace(at, path.size(), "CAPTURE");
  return r;
}

// ---- decoding ---------------------------------------------------------------------

struct DecodeCase {
  const char* name;
  Bytes datagram;
  const char* json;  // what follows "source":"192.168.1.10", (nullptr: no output)
  std::string row;   // line of the table from the serial column on ("": none)
  const char* err;   // first line on standard error ("" none)
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class Decode : public testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, JsonRowAndStatus) {
  const DecodeCase& c = GetParam();
  const Bytes cap = capture({{UNIT_A, c.datagram}});
  const Result json = read_capture(cap, {"--json"});
  const Result rows = read_capture(cap, {});
  const std::string head = "{\"time\":1700000000.250000,\"source\":\"192.168.1.10\",";
  EXPECT_EQ(json.out, c.json ? head + c.json + "\n" : "");
  EXPECT_EQ(rows.out, c.row.empty() ? "" : "192.168.1.10     " + c.row + "\n");
  EXPECT_EQ(json.err.substr(0, json.err.find('\n') + 1), c.err);
  EXPECT_EQ(json.status, c.json ? 0 : 1);
  EXPECT_EQ(rows.status, json.status);
}

const char* const NO_ID = "-           -         ";
const char* const ID = "SU01-02003  00010203  ";

Bytes identity_with_serial(const Bytes& serial) {
  Bytes d = IDENTITY;
  std::copy(serial.begin(), serial.end(), d.begin() + 2);
  return d;
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, Decode,
    testing::Values(
        DecodeCase{"status", {0, 0, 87, 1}, R"("type":"status","battery":87,"charging":"on"})",
                   (std::string(NO_ID) + "-         87%      ON        0s"), ""},
        DecodeCase{"status_full_error", {0, 0, 100, 2},
                   R"("type":"status","battery":100,"charging":"error"})",
                   std::string(NO_ID) + "-         100%     ERROR     0s", ""},
        DecodeCase{"status_empty_off", {0, 0, 0, 0},
                   R"("type":"status","battery":0,"charging":"off"})",
                   std::string(NO_ID) + "-         0%       OFF       0s", ""},
        DecodeCase{"status_out_of_range", {0, 0, 101, 3},
                   R"("type":"status","battery":null,"battery_invalid":101,"charging":null,"charging_invalid":3})",
                   std::string(NO_ID) + "-         invalid  invalid   0s", ""},
        DecodeCase{"version", {0, 1, 1, 4, 1, 2},
                   R"("type":"version","major":1,"minor":4,"patch":258})",
                   (std::string(NO_ID) + "1.4.258   -        -         -"), ""},
        DecodeCase{"identity", IDENTITY,
                   R"("type":"identity","serial":"SU01-02003","uuid":"000102030405060708090A0B0C0D0E0F"})",
                   (std::string(ID) + "-         -        -         -"), ""},
        DecodeCase{"identity_short_serial", identity_with_serial({'S', 'U', 0, 'X'}),
                   R"("type":"identity","serial":"SU","uuid":"000102030405060708090A0B0C0D0E0F"})",
                   "SU          00010203  -         -        -         -", ""},
        DecodeCase{"identity_hostile_serial",
                   identity_with_serial({'"', '\\', '\n', 0x1B, '[', '2', 'J', 0x7F, 0xFF, '}'}),
                   R"("type":"identity","serial":"\"\\\n\u001b[2J\u007f\u00ff}","uuid":"000102030405060708090A0B0C0D0E0F"})",
                   R"("\x5C\x0A\x1B[2J\x7F\xFF}  00010203  -         -        -         -)",
                   ""},
        DecodeCase{"status_too_long", {0, 0, 87, 1, 0}, nullptr, "",
                   "unitmon: 192.168.1.10: ignored a datagram of type 0 with 5 bytes (expected 4)\n"},
        DecodeCase{"version_too_short", {0, 1, 1, 4, 0}, nullptr, "",
                   "unitmon: 192.168.1.10: ignored a datagram of type 1 with 5 bytes (expected 6)\n"},
        DecodeCase{"identity_too_short", Bytes(IDENTITY.begin(), IDENTITY.end() - 1), nullptr, "",
                   "unitmon: 192.168.1.10: ignored a datagram of type 2 with 28 bytes (expected 29)\n"},
        DecodeCase{"unknown_type", {1, 0, 87, 1}, nullptr, "",
                   "unitmon: 192.168.1.10: ignored a datagram of unknown type 256 (4 bytes)\n"},
        DecodeCase{"one_byte", {0}, nullptr, "",
                   "unitmon: 192.168.1.10: ignored a datagram of 1 bytes (too short for a type)\n"},
        DecodeCase{"empty", {}, nullptr, "",
                   "unitmon: 192.168.1.10: ignored a datagram of 0 bytes (too short for a type)\n"}),
    [](const testing::TestParamInfo<DecodeCase>& i) { return std::string(i.param.name); });

// ---- capture formats ----------------------------------------------------------

struct FormatCase {
  const char* name;
  Bytes capture;
  const char* out;  // JSON lines
  const char* err;
  int status;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class Format : public testing::TestWithParam<FormatCase> {};

TEST_P(Format, Reads) {
  const FormatCase& c = GetParam();
  const Result r = read_capture(c.capture, {"--json"});
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status);
}

const Packet STATUS_A = {UNIT_A, {0, 0, 87, 1}};
const char* const STATUS_A_JSON =
    "{\"time\":1700000000.250000,\"source\":\"192.168.1.10\",\"type\":\"status\",\"battery\":87,"
    "\"charging\":\"on\"}\n";

Bytes cut(Bytes b, size_t n) {
  b.resize(b.size() - n);
  return b;
}

// The second record's captured length, little-endian capture of STATUS_A.
Bytes with_record_length(Bytes b, uint32_t len) {
  const size_t at = 24 + 16 + 32 + 8;
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(len >> (8 * i));
  return b;
}

Bytes with_linktype(Bytes b, uint8_t type) {
  b[20] = type;  // little-endian capture
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Captures, Format,
    testing::Values(
        FormatCase{"raw_little_endian", capture({STATUS_A}), STATUS_A_JSON, "", 0},
        FormatCase{"raw_big_endian", capture({STATUS_A}, Link::raw, true), STATUS_A_JSON, "", 0},
        FormatCase{"nanoseconds", capture({STATUS_A}, Link::raw, true, true), STATUS_A_JSON, "", 0},
        FormatCase{"ethernet", capture({STATUS_A}, Link::ethernet), STATUS_A_JSON, "", 0},
        FormatCase{"ethernet_vlan", capture({STATUS_A}, Link::vlan, true), STATUS_A_JSON, "", 0},
        FormatCase{"linux_cooked", capture({STATUS_A}, Link::sll), STATUS_A_JSON, "", 0},
        FormatCase{"linux_cooked_v2", capture({STATUS_A}, Link::sll2), STATUS_A_JSON, "", 0},
        // Other traffic is passed over: another port, TCP, a fragment.
        FormatCase{"other_packets_skipped",
                   capture({{UNIT_B, {0, 0, 1, 1}, 2014},
                            {UNIT_B, {0, 0, 1, 1}, 2013, 6},
                            {UNIT_B, {0, 0, 1, 1}, 2013, 17, 0x2000},
                            STATUS_A}),
                   "{\"time\":1700000003.250000,\"source\":\"192.168.1.10\",\"type\":\"status\","
                   "\"battery\":87,\"charging\":\"on\"}\n",
                   "", 0},
        FormatCase{"no_datagram", capture({}), "", "", 1},
        FormatCase{"ends_inside_a_record", cut(capture({STATUS_A, STATUS_A}), 3), STATUS_A_JSON,
                   "unitmon: CAPTURE: truncated dump file; tried to read 32 captured bytes, only got 29\n", 1},
        // A record claiming 2^31 bytes once made the reader seek back onto
        // its own header forever on the 32-bit board.
        FormatCase{"impossible_record", with_record_length(capture({STATUS_A, STATUS_A}), 0x80000000u),
                   STATUS_A_JSON,
                   "unitmon: CAPTURE: invalid packet capture length 2147483648, bigger than snaplen of 65535\n", 1},
        FormatCase{"not_a_capture", Bytes(100, 'x'), "", "unitmon: CAPTURE: unknown file format\n", 1},
        FormatCase{"unknown_link_type", with_linktype(capture({STATUS_A}), 105), "",
                   "unitmon: CAPTURE: link type 105 is not Ethernet, raw IPv4 or Linux cooked\n", 1}),
    [](const testing::TestParamInfo<FormatCase>& i) { return std::string(i.param.name); });

// ---- units, counts and endings ------------------------------------------------

// One row per update, each showing all that is known of its unit; bad
// datagrams are reported once per unit and counted.
TEST(Units, RowPerUpdateAndBadDatagramsOncePerUnit) {
  const Result r = read_capture(capture({{UNIT_A, {0, 0, 87, 1}},
                                      {UNIT_A, {0, 9}},
                                      {UNIT_B, {0, 1, 2, 0, 0, 7}},
                                      {UNIT_A, {0, 0, 50}},
                                      {UNIT_A, IDENTITY},
                                      {UNIT_B, {0, 0, 1}},
                                      {UNIT_A, {0, 0, 60, 0}}}),
                             {});
  EXPECT_EQ(r.out,
            "192.168.1.10     -           -         -         87%      ON        0s\n"
            "192.168.1.11     -           -         2.0.7     -        -         -\n"
            "192.168.1.10     SU01-02003  00010203  -         87%      ON        4s\n"
            "192.168.1.10     SU01-02003  00010203  -         60%      OFF       0s\n");
  EXPECT_EQ(r.err,
            "unitmon: 192.168.1.10: ignored a datagram of unknown type 9 (2 bytes)\n"
            "unitmon: 192.168.1.11: ignored a datagram of type 0 with 3 bytes (expected 4)\n"
            "unitmon: 3 malformed datagrams ignored\n");
  EXPECT_EQ(r.status, 0);
}

// The table keeps 1024 units; later ones are said once and still reach JSON.
TEST(Units, FullTableKeepsTheFirstUnits) {
  std::vector<Packet> packets;
  for (uint32_t i = 0; i < 1030; ++i) packets.push_back({0x0A000000 + i, {0, 0, 50, 1}});
  const Bytes cap = capture(packets);
  const Result rows = read_capture(cap, {});
  const Result json = read_capture(cap, {"--json"});
  EXPECT_EQ(std::count(rows.out.begin(), rows.out.end(), '\n'), 1024);
  EXPECT_EQ(rows.out.find("10.0.4.0 "), std::string::npos);  // the 1025th
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1030);
  EXPECT_EQ(rows.err, "unitmon: unit table full (1024 units): further units are not kept\n");
}

// The simulator's capture of several services at once on one board: one
// header, whole records, every datagram decoded.
TEST(Units, SimulatorCaptureOfConcurrentServices) {
  boardsim::Board board;
  board.write_version_file("<krv><major>3</major><minor>1</minor><patch>4</patch></krv>");
  board.set("net.stop_after", 30);
  board.set("time.fast_sleep", 1);
  std::vector<std::thread> services;
  for (int i = 0; i < 4; ++i) {
    services.emplace_back([&] { board.run({boardsim::unitctl_path()}, {}, 30); });
  }
  for (auto& t : services) t.join();
  const Result r = run_unitmon({"--json", "--read", board.dir() + "/datagrams.pcap"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  // What the MCU answered two services at once is not the point here.
  const char* const kinds[] = {R"("source":"127.0.0.1","type":"status",)",
                               R"("source":"127.0.0.1","type":"version","major":3,"minor":1,"patch":4})",
                               R"("source":"127.0.0.1","type":"identity",)"};
  for (const char* k : kinds) {
    SCOPED_TRACE(k);
    size_t n = 0;
    for (size_t at = 0; (at = r.out.find(k, at)) != std::string::npos; ++at) ++n;
    EXPECT_EQ(n, 40u);
  }
}

struct CountCase {
  std::vector<std::string> args;
  size_t lines;
  int status;
};

TEST(Units, CountEndsTheRunAndDecidesTheStatus) {
  const Bytes three = capture({STATUS_A, STATUS_A, {UNIT_A, {7}}, STATUS_A});
  const CountCase cases[] = {
      {{"--json"}, 3, 0},
      {{"--json", "--count", "2"}, 2, 0},
      {{"-j", "-n", "3"}, 3, 0},
      {{"--json", "--count", "4"}, 3, 1},
      {{"--count", "0"}, 0, 1},
      {{"--count", "x"}, 0, 1},
      {{"--timeout", "-1"}, 0, 1},
      {{"--unknown"}, 0, 1},
  };
  for (const CountCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Result r = read_capture(three, c.args);
    EXPECT_EQ(static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n')), c.lines);
    EXPECT_EQ(r.status, c.status);
  }
}

// Standard output closed, or its reader gone: a message and status 1, no
// death by SIGPIPE.
TEST(Units, LostStandardOutputEndsCleanly) {
  std::vector<Packet> many(2000, STATUS_A);
  const Bytes cap = capture(many);
  for (Out out : {Out::closed, Out::reader_gone}) {
    const Result r = read_capture(cap, {"--json"}, out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("unitmon: cannot write to standard output: ", 0), 0u) << r.err;
  }
}

TEST(Units, LinksOnlyTheCLibrary) { test_support::expect_c_runtime_only(UNITMON_PATH, {"libpcap.so", "libmicrohttpd.so"}); }

}  // namespace
