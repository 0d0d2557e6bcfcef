// unitmon run on captures made by the test: what each datagram decodes to,
// the capture formats it reads, and how it ends (statuses, a standard output
// that is closed or gone). Listening on the network is tested by
// netns_test.sh, inside a network namespace of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "board_version.h"
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
Result run_unitmon(const std::vector<std::string>& args, Out out = Out::pipe,
                   const std::vector<std::string>& wrapper = {}) {
  std::vector<std::string> argv = wrapper;
  const std::vector<std::string> emulator = boardsim::emulator();
  argv.insert(argv.end(), emulator.begin(), emulator.end());
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
    execvp(cargv[0], cargv.data());
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

// Builds without libpcap have no --read: the tests that read captures skip.
#define NEEDS_CAPTURES() \
  if (!UNITMON_PCAP) GTEST_SKIP() << "this build of unitmon reads no captures"

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
  NEEDS_CAPTURES();
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
                   R"("type":"identity","serial":"\"\\\n␛[2J␡ÿ}","uuid":"000102030405060708090A0B0C0D0E0F"})",
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
  NEEDS_CAPTURES();
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
  NEEDS_CAPTURES();
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

// The --max-units limit keeps the first units, says so once, and later
// ones still reach JSON.
TEST(Units, FullTableKeepsTheFirstUnits) {
  NEEDS_CAPTURES();
  std::vector<Packet> packets;
  for (uint32_t i = 0; i < 5; ++i) packets.push_back({0x0A000000 + i, {0, 0, 50, 1}});
  const Bytes cap = capture(packets);
  const Result rows = read_capture(cap, {"--max-units", "3"});
  const Result json = read_capture(cap, {"--json", "--max-units", "3"});
  EXPECT_EQ(std::count(rows.out.begin(), rows.out.end(), '\n'), 3);
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 5);
  EXPECT_EQ(rows.err, "unitmon: unit table full (3 units): further units are not kept\n");
}

// Units by identity, seen when they fall silent: packet i arrives at second
// i, and a last datagram of another unit moves the clock on.
Bytes identity_of(char which) {
  Bytes d = IDENTITY;
  d[11] = static_cast<uint8_t>(which);  // SU01-0200<which>
  d[28] = static_cast<uint8_t>(which);
  return d;
}

TEST(Units, IdentityAndStaleness) {
  NEEDS_CAPTURES();
  const Bytes s50 = {0, 0, 50, 1}, s60 = {0, 0, 60, 0}, s70 = {0, 0, 70, 1};
  const uint32_t CLOCK = 0x0A000001;
  struct {
    const char* name;
    std::vector<Packet> packets;
    std::vector<std::string> args;
    std::string stale;  // the lines that say so
  } cases[] = {
      {"replaced behind one address",
       {{UNIT_A, s50}, {UNIT_A, identity_of('X')}, {UNIT_A, s70}, {UNIT_A, identity_of('Y')}},
       {"--stale", "5"},
       "192.168.1.10     SU01-0200X  00010203  -         50%      ON        7s stale\n"
       "192.168.1.10     SU01-0200Y  00010203  -         70%      ON        7s stale\n"},
      {"new address, same unit",
       {{UNIT_A, s50}, {UNIT_A, identity_of('X')}, {UNIT_B, s60}, {UNIT_B, identity_of('X')}},
       {"--stale", "5"},
       "192.168.1.11     SU01-0200X  00010203  -         60%      OFF       7s stale\n"},
      {"one falls silent while another talks",
       {{UNIT_A, s50}, {UNIT_A, identity_of('X')}, {UNIT_B, s60}, {UNIT_B, identity_of('Y')},
        {UNIT_B, s60}, {UNIT_B, s60}, {UNIT_B, s60}, {UNIT_B, s60}},
       {"--stale", "5", "--json"},
       "{\"time\":1700000007.250000,\"source\":\"192.168.1.10\",\"type\":\"stale\",\"serial\":\"SU01-0200X\","
       "\"uuid\":\"000102030405060708090A0B0C0D0E58\",\"last_seen\":1700000001.250000}\n"
       "{\"time\":1700000013.250000,\"source\":\"192.168.1.11\",\"type\":\"stale\",\"serial\":\"SU01-0200Y\","
       "\"uuid\":\"000102030405060708090A0B0C0D0E59\",\"last_seen\":1700000007.250000}\n"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.packets.resize(14, {CLOCK, {9}});  // bad datagrams of another unit: the clock moves only
    c.packets.push_back({CLOCK, {0, 0, 1, 1}});
    const Result r = read_capture(capture(c.packets), c.args);
    std::string stale;
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string line = r.out.substr(at, end + 1 - at);
      if (line.find("stale") != std::string::npos && line.find("10.0.0.1") == std::string::npos) stale += line;
    }
    EXPECT_EQ(stale, c.stale);
  }
}

// What enters the table: only a unit that sent a good datagram; a known
// identity from a new address moves, even with the table full; a forgotten
// unit that talks again is a new entry (a forgotten unit left in an index
// is a use after free under ASan). Packet i arrives at second i.
TEST(Units, WhatEntersTheTable) {
  NEEDS_CAPTURES();
  const Bytes s50 = {0, 0, 50, 1}, s60 = {0, 0, 60, 0};
  const uint32_t CLOCK = 0x0A000001;
  struct {
    const char* name;
    std::vector<Packet> packets;
    std::vector<std::string> args;
    std::string out, err;
  } cases[] = {
      {"a malformed datagram from a new address makes no unit",
       {{UNIT_B, {0, 0, 1}}, {UNIT_A, s50}},
       {"--max-units", "1"},
       "192.168.1.10     -           -         -         50%      ON        0s\n",
       "unitmon: 192.168.1.11: ignored a datagram of type 0 with 3 bytes (expected 4)\n"
       "unitmon: 1 malformed datagrams ignored\n"},
      {"a known identity moves to a new address at the limit",
       {{UNIT_A, s50}, {UNIT_A, identity_of('X')}, {UNIT_B, identity_of('X')}, {UNIT_B, s60}},
       {"--max-units", "1"},
       "192.168.1.10     -           -         -         50%      ON        0s\n"
       "192.168.1.10     SU01-0200X  00010203  -         50%      ON        1s\n"
       "192.168.1.11     SU01-0200X  00010203  -         50%      ON        2s\n"
       "192.168.1.11     SU01-0200X  00010203  -         60%      OFF       0s\n",
       ""},
      {"forgotten, then the same unit again",
       {{UNIT_A, s50}, {UNIT_A, identity_of('X')}, {CLOCK, s60}, {CLOCK, s60}, {CLOCK, s60},
        {CLOCK, s60}, {CLOCK, s60}, {CLOCK, s60}, {UNIT_A, identity_of('X')}, {UNIT_A, s60}},
       {"--forget", "3", "--stale", "100"},
       "192.168.1.10     -           -         -         50%      ON        0s\n"
       "192.168.1.10     SU01-0200X  00010203  -         50%      ON        1s\n"
       "10.0.0.1         -           -         -         60%      OFF       0s\n"
       "10.0.0.1         -           -         -         60%      OFF       0s\n"
       "10.0.0.1         -           -         -         60%      OFF       0s\n"
       "10.0.0.1         -           -         -         60%      OFF       0s\n"
       "10.0.0.1         -           -         -         60%      OFF       0s\n"
       "10.0.0.1         -           -         -         60%      OFF       0s\n"
       "192.168.1.10     SU01-0200X  00010203  -         -        -         -\n"
       "192.168.1.10     SU01-0200X  00010203  -         60%      OFF       0s\n",
       ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = read_capture(capture(c.packets), c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

// The simulator's capture of several services at once on one board: one
// header, whole records, every datagram decoded.
TEST(Units, SimulatorCaptureOfConcurrentServices) {
  NEEDS_CAPTURES();
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
  NEEDS_CAPTURES();
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
  NEEDS_CAPTURES();
  std::vector<Packet> many(2000, STATUS_A);
  const Bytes cap = capture(many);
  for (Out out : {Out::closed, Out::reader_gone}) {
    const Result r = read_capture(cap, {"--json"}, out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("unitmon: cannot write to standard output: ", 0), 0u) << r.err;
  }
}

// What tshark writes by default (pcapng) reads like the pcap it came from.
TEST(Units, PcapngReadsLikeItsPcapTwin) {
  NEEDS_CAPTURES();
  if (system("command -v tshark >/dev/null") != 0) GTEST_SKIP() << "no tshark";
  boardsim::Board board;
  board.set("net.stop_after", 6);
  board.set("time.fast_sleep", 1);
  board.run({boardsim::unitctl_path()}, {}, 30);
  const std::string pcap = board.dir() + "/datagrams.pcap", pcapng = board.dir() + "/datagrams.pcapng";
  ASSERT_EQ(system(("tshark -r " + pcap + " -w " + pcapng + " -F pcapng 2>/dev/null").c_str()), 0);
  const Result a = run_unitmon({"--json", "--read", pcap});
  const Result b = run_unitmon({"--json", "--read", pcapng});
  EXPECT_EQ(std::count(a.out.begin(), a.out.end(), '\n'), 6);
  EXPECT_EQ(b.out, a.out);
  EXPECT_EQ(b.err + a.err, "");
}

// A FIFO that gives a capture header and then nothing: --timeout ends the
// read (once it blocked for good).
TEST(Units, TimeoutEndsABlockedRead) {
  NEEDS_CAPTURES();
  char dir[] = "/tmp/unitmon_fifo_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/capture";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const pid_t writer = fork();
  if (writer == 0) {
    const int fd = open(fifo.c_str(), O_WRONLY);
    const Bytes header = capture({});
    if (write(fd, header.data(), header.size()) < 0) _exit(1);
    sleep(30);
    _exit(0);
  }
  const Result r = run_unitmon({"--read", fifo, "--timeout", "1"}, Out::pipe, {"timeout", "-s", "KILL", "15"});
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  unlink(fifo.c_str());
  rmdir(dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
}

// Options that make no sense together, or that this build lacks: a message
// and status 1.
TEST(Units, RefusedOptions) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--metrics", "9102", "--read", "x"}, UNITMON_METRICS && UNITMON_PCAP
          ? "unitmon: --metrics and --read do not go together\n"
          : UNITMON_METRICS ? "unitmon: this build reads no captures (--read)\n"
                            : "unitmon: this build has no Prometheus exporter (--metrics, --quiet, --state, --web-config)\n"},
      {{"--metrics", "300.1.1.1:9102"}, UNITMON_METRICS
          ? "unitmon: --metrics wants [ADDR]:PORT, ADDR an IPv4 address or an IPv6 address in brackets, "
            "not '300.1.1.1:9102'\n"
          : "unitmon: this build has no Prometheus exporter (--metrics, --quiet, --state, --web-config)\n"},
      {{"--metrics", "[fe80::zz]:9102"}, UNITMON_METRICS
          ? "unitmon: --metrics wants [ADDR]:PORT, ADDR an IPv4 address or an IPv6 address in brackets, "
            "not '[fe80::zz]:9102'\n"
          : "unitmon: this build has no Prometheus exporter (--metrics, --quiet, --state, --web-config)\n"},
      {{"--metrics", "65536"}, UNITMON_METRICS
          ? "unitmon: --metrics wants [ADDR]:PORT, ADDR an IPv4 address or an IPv6 address in brackets, "
            "not '65536'\n"
          : "unitmon: this build has no Prometheus exporter (--metrics, --quiet, --state, --web-config)\n"},
      {{"--quiet", "--timeout", "1"}, UNITMON_METRICS ? "unitmon: --quiet only goes with --metrics\n"
          : "unitmon: this build has no Prometheus exporter (--metrics, --quiet, --state, --web-config)\n"},
      {{"--max-units", "0"}, "unitmon: --max-units wants a whole number from 1 to 1000000, not '0'\n"},
      {{"--stale", "x"}, "unitmon: --stale wants whole seconds from 1 up, not 'x'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Result r = run_unitmon(c.args);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.status, 1);
  }
}

// Each program names itself and the build's version, the same for all
// three (with the commit when built from a git checkout), and ends there:
// no device is opened (it cannot be here), nothing else runs. The commit
// itself is not compared with this test's own copy of the header, which a
// partial rebuild may leave behind.
TEST(Units, EveryProgramSaysItsVersion) {
  const std::regex line("([a-z]+) (1\\.0\\.0( \\(commit [0-9a-f]{12}(-dirty)?\\))?)\n");
  const struct {
    std::string path, option, name;
  } cases[] = {{boardsim::unitctl_path(), "-V", "unitctl"},
               {boardsim::mcuflash_path(), "-V", "mcuflash"},
               {UNITMON_PATH, "--version", "unitmon"},
               {UNITMON_PATH, "-V", "unitmon"}};
  std::string version;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + c.option);
    boardsim::Board board;
    board.set("spi.fail_open", 1);
    const boardsim::RunResult r = board.run({c.path, c.option, "/tmp/none.bin"}, {}, 20);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, line)) << r.out;
    EXPECT_EQ(m[1], c.name);
    EXPECT_EQ(m[3].matched, BOARD_REVISION[0] != '\0');
    if (version.empty()) version = m[2];
    EXPECT_EQ(m[2], version);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(board.spi_config_log().empty());
  }
}

TEST(Units, LinksOnlyTheCLibrary) { test_support::expect_c_runtime_only(UNITMON_PATH, {"libpcap.so", "libmicrohttpd.so", "libyaml-0.so", "libgnutls.so", "libcrypt.so", "libz.so"}); }

}  // namespace
