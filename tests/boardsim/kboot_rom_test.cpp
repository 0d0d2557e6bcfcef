// The KBoot ROM bootloader model driven exchange by exchange, as mcuflash
// drives it: packets in one exchange each, one-byte polls for the answers.
#include "kboot_rom.h"
#include "kboot_reference.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace boardsim {
namespace {

using Bytes = std::vector<uint8_t>;

using kboot_reference::add_u32;
using kboot_reference::command;
using kboot_reference::framed;
const auto ref_crc16 = kboot_reference::crc16;

uint32_t u32_at(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

const Bytes kErase = {0x5A, 0xA4, 0x04, 0x00, 0xCF, 0x32, 0x0D, 0x00, 0xCC, 0x00};
Bytes write_memory(uint32_t count) { return command(0x04, 0, {0, count}); }
Bytes execute() { return command(0x09, 0, {0x43D, 0, 0x20012000}); }
// As the flasher sends them.
const Bytes kWrite100 = {0x5A, 0xA4, 0x0C, 0x00, 0x24, 0xE2, 0x04, 0x00, 0x00,
                         0x02, 0x00, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00};
const Bytes kExecute = {0x5A, 0xA4, 0x10, 0x00, 0x5D, 0xB2, 0x09, 0x00, 0x00, 0x03, 0x3D,
                        0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x01, 0x20};
Bytes data(const Bytes& chunk) { return framed(0xA5, chunk); }

std::vector<std::string> g_notes;
void collect_note(const std::string& line) { g_notes.push_back(line); }

struct Poll {
  Bytes packet;      // from the 0x5A on
  int zeros = 0;     // zero bytes before it
  int nonzero = 0;   // other bytes before it
  bool zeros_first = true;  // no zero byte came after a non-zero filler byte
};

std::string make_dir() {
  char tmpl[] = "/tmp/kboot_rom_test.XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "/tmp";
}

// Everything public: the table-driven cases below reach in through plain
// function pointers.
struct RomTest;
std::vector<uint32_t> read_response(RomTest& t, uint8_t tag, bool filler);

struct RomTest : public ::testing::Test {
  RomTest() {
    g_notes.clear();
    rom.set_note(collect_note);
  }
  ~RomTest() override {
    unlink(flash.path().c_str());
    rmdir(dir.c_str());
  }

  Bytes xfer(const Bytes& tx) {
    Bytes rx(tx.size(), 0xEE);
    rom.exchange(tx.data(), rx.data(), tx.size());
    return rx;
  }
  uint8_t byte(uint8_t tx = 0x00) { return xfer({tx})[0]; }

  // Sends a packet; the bootloader cannot answer it within the same frame.
  void send(const Bytes& packet) {
    EXPECT_EQ(xfer(packet), Bytes(packet.size(), 0x00)) << "answer inside the packet's own frame";
  }

  // Polls with 0x00 (or, for the ping, echoing the byte received) until
  // 0x5A, then reads the rest of a packet of `size` bytes.
  Poll poll(size_t size, bool echo = false) {
    Poll p;
    uint8_t b = 0x00;
    bool seen_nonzero = false;
    for (int i = 0;; ++i) {
      if (i > 100000) {
        ADD_FAILURE() << "no packet";
        return p;
      }
      b = byte(echo ? b : 0x00);
      if (b == 0x5A) break;
      if (b == 0) {
        ++p.zeros;
        if (seen_nonzero) p.zeros_first = false;
      } else {
        ++p.nonzero;
        seen_nonzero = true;
      }
    }
    p.packet.push_back(0x5A);
    while (p.packet.size() < size) p.packet.push_back(byte());
    return p;
  }

  void expect_ack() { EXPECT_EQ(poll(2).packet, (Bytes{0x5A, 0xA1})); }
  void expect_nak() { EXPECT_EQ(poll(2).packet, (Bytes{0x5A, 0xA2})); }

  // Reads a generic response, checks its frame and CRC, sends the host's
  // ACK and six filler bytes; returns the status.
  uint32_t generic_response(uint32_t tag, bool crc_ok = true) {
    Bytes r = poll(18).packet;
    if (r.size() != 18) return 0xFFFFFFFF;
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 4), (Bytes{0x5A, 0xA4, 0x0C, 0x00}));
    EXPECT_EQ(Bytes(r.begin() + 6, r.begin() + 10), (Bytes{0xA0, 0x00, 0x00, 0x02}));
    EXPECT_EQ(u32_at(r, 14), tag);
    Bytes covered(r.begin(), r.begin() + 4);
    covered.insert(covered.end(), r.begin() + 6, r.end());
    uint16_t got = static_cast<uint16_t>(r[4] | r[5] << 8);
    EXPECT_EQ(ref_crc16(covered) == got, crc_ok);
    host_ack();
    return u32_at(r, 10);
  }
  void host_ack() {
    xfer({0x5A, 0xA1});
    for (int i = 0; i < 6; ++i) byte();
  }

  void ping() {
    send({0x5A, 0xA6});
    ping_response = poll(10, true).packet;
  }
  // Command, ACK, generic response; returns the status.
  uint32_t run_command(const Bytes& packet) {
    send(packet);
    expect_ack();
    return generic_response(packet[6]);
  }

  long long violations() const { return state.get_int("kb.violations"); }
  Bytes flash_bytes() const {
    std::ifstream in(flash.path(), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  void fill_flash(const Bytes& b) {
    std::ofstream out(flash.path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }

  std::string dir = make_dir();
  State state;
  Flash flash{dir + "/flash.bin"};
  KbootRom rom{state, flash};
  Bytes ping_response;
};

TEST_F(RomTest, PingResponse) {
  // Wake-up bytes first: ignored, answered with zeros.
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(byte(0xFF), 0x00);
  ping();
  Bytes head = {0x5A, 0xA7, 0x00, 0x02, 0x01, 0x50, 0x00, 0x00};
  uint16_t crc = ref_crc16(head);
  head.push_back(static_cast<uint8_t>(crc));
  head.push_back(static_cast<uint8_t>(crc >> 8));
  EXPECT_EQ(ping_response, head);
  // Nothing further is sent.
  for (int i = 0; i < 20; ++i) EXPECT_EQ(byte(), 0x00);
  EXPECT_EQ(violations(), 0);
}

TEST_F(RomTest, EraseIsAckedAndAnswered) {
  fill_flash(Bytes(64, 0xAB));
  ping();
  EXPECT_EQ(run_command(kErase), 0u);
  EXPECT_EQ(state.get("kb.erased"), "1");
  EXPECT_TRUE(flash_bytes().empty());
  EXPECT_EQ(violations(), 0);
  EXPECT_TRUE(g_notes.empty());
}

TEST_F(RomTest, WriteMemoryOfHundredBytesLandsInFlash) {
  Bytes image(100);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  ping();
  EXPECT_EQ(run_command(kErase), 0u);
  EXPECT_EQ(run_command(kWrite100), 0u);
  size_t sizes[] = {32, 32, 32, 4};
  size_t at = 0;
  for (size_t n : sizes) {
    send(data(Bytes(image.begin() + at, image.begin() + at + n)));
    expect_ack();
    at += n;
  }
  // The closing response of the data phase.
  EXPECT_EQ(generic_response(0x04), 0u);
  EXPECT_EQ(flash_bytes(), image);
  EXPECT_EQ(run_command(kExecute), 0u);
  EXPECT_EQ(state.get("kb.executed"), "43d,0,20012000");
  EXPECT_EQ(violations(), 0);
  EXPECT_TRUE(g_notes.empty()) << g_notes.front();
}

// From an erase the MCU has no firmware until a write memory has received
// every announced byte and execute follows.
TEST_F(RomTest, FirmwareIsGoneUntilACompleteDownloadIsExecuted) {
  struct Case {
    const char* name;
    int announced;  // bytes of the write memory; -1: no write
    int packets;    // 32-byte data packets sent
    bool execute;
    const char* firmware;  // mcu.firmware afterwards
  };
  const Case cases[] = {
      {"erase alone", -1, 0, true, "erased"},
      {"partial write", 64, 1, true, "erased"},
      {"complete write, no execute", 64, 2, false, "erased"},
      {"complete write and execute", 64, 2, true, ""},
      {"zero-byte write", 0, 0, true, "erased"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rom.reset();
    ping();
    EXPECT_EQ(run_command(kErase), 0u);
    EXPECT_EQ(state.get("mcu.firmware"), "erased");
    if (c.announced >= 0) {
      EXPECT_EQ(run_command(write_memory(static_cast<uint32_t>(c.announced))), 0u);
      for (int k = 0; k < c.packets; ++k) {
        send(data(Bytes(32, static_cast<uint8_t>(k))));
        expect_ack();
      }
      if (c.packets * 32 == c.announced) {
        EXPECT_EQ(generic_response(0x04), 0u);
      }
    }
    if (c.execute) {
      EXPECT_EQ(run_command(execute()), 0u);
    }
    EXPECT_EQ(state.get("mcu.firmware"), c.firmware);
  }
}

TEST_F(RomTest, WriteMemoryOfZeroBytesClosesAtOnce) {
  ping();
  EXPECT_EQ(run_command(write_memory(0)), 0u);
  EXPECT_EQ(generic_response(0x04), 0u);
  EXPECT_EQ(run_command(execute()), 0u);
  EXPECT_EQ(violations(), 0);
}

TEST_F(RomTest, NakAtTheKthPacketWantingAnAck) {
  // Packets wanting an ACK: 1 erase, 2 write memory, 3.. data packets.
  for (int k : {1, 2, 3, 4}) {
    SCOPED_TRACE(k);
    rom.reset();
    fill_flash({});
    state.set_int("kb.nak_at", k);
    ping();
    auto step = [&](int n, const Bytes& packet) {
      send(packet);
      if (n == k) {
        expect_nak();
        return false;
      }
      expect_ack();
      if (n <= 2) {
        EXPECT_EQ(generic_response(packet[6]), 0u);
      }
      return true;
    };
    if (!step(1, kErase)) continue;
    if (!step(2, write_memory(40))) continue;
    if (!step(3, data(Bytes(32, 0x11)))) {
      EXPECT_TRUE(flash_bytes().empty());
      continue;
    }
    EXPECT_FALSE(step(4, data(Bytes(8, 0x22))));
    EXPECT_EQ(flash_bytes(), Bytes(32, 0x11));  // the NAKed packet was not written
  }
  EXPECT_EQ(violations(), 0);
}

TEST_F(RomTest, NakCountRestartsAtBoot) {
  state.set_int("kb.nak_at", 1);
  ping();
  send(kErase);
  expect_nak();
  send(kErase);
  expect_ack();
  EXPECT_EQ(generic_response(0x0D), 0u);
  rom.reset();
  ping();
  send(kErase);
  expect_nak();
}

TEST_F(RomTest, ErrorStatusAtTheKthResponse) {
  struct Case {
    const char* name;
    long long at;
    const char* status;  // kb.error_status, or nullptr for the default
    uint32_t erase, write, closing, exec;
  };
  const Case cases[] = {
      {"first, default status", 1, nullptr, 10000, 0, 0, 0},
      {"second, status 105", 2, "105", 0, 105, 0, 0},
      {"closing response", 3, "1", 0, 0, 1, 0},
      {"execute", 4, "7", 0, 0, 0, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rom.reset();
    state.erase("kb.erased");
    state.erase("kb.executed");
    state.set_int("kb.error_at", c.at);
    if (c.status)
      state.set("kb.error_status", c.status);
    else
      state.erase("kb.error_status");
    ping();
    EXPECT_EQ(run_command(kErase), c.erase);
    EXPECT_EQ(state.has("kb.erased"), c.erase == 0);
    uint32_t w = run_command(write_memory(3));
    EXPECT_EQ(w, c.write);
    if (w == 0) {
      send(data({1, 2, 3}));
      expect_ack();
      EXPECT_EQ(generic_response(0x04), c.closing);
    }
    EXPECT_EQ(run_command(execute()), c.exec);
    EXPECT_EQ(state.has("kb.executed"), c.exec == 0);
  }
  EXPECT_EQ(violations(), 0);
}

TEST_F(RomTest, BadCrcAtTheKthResponse) {
  state.set_int("kb.bad_crc_at", 2);
  ping();
  send(kErase);
  expect_ack();
  EXPECT_EQ(generic_response(0x0D, true), 0u);
  send(execute());
  expect_ack();
  EXPECT_EQ(generic_response(0x09, false), 0u);
  send(execute());
  expect_ack();
  EXPECT_EQ(generic_response(0x09, true), 0u);
}

TEST_F(RomTest, FillerBeforeEveryPacket) {
  struct Case {
    const char* filler;  // nullptr: default
    const char* storm;
    int zeros, nonzero;
  };
  const Case cases[] = {{nullptr, nullptr, 2, 0}, {"0", nullptr, 0, 0}, {"5", nullptr, 5, 0},
                        {"0", "3", 0, 3},         {"4", "7", 4, 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.filler ? c.filler : "-") + "/" + (c.storm ? c.storm : "-"));
    rom.reset();
    state.erase("kb.filler");
    state.erase("kb.storm");
    if (c.filler) state.set("kb.filler", c.filler);
    if (c.storm) state.set("kb.storm", c.storm);
    send({0x5A, 0xA6});
    Poll p = poll(10, true);
    EXPECT_EQ(p.packet[1], 0xA7);
    EXPECT_EQ(p.zeros, c.zeros);
    EXPECT_EQ(p.nonzero, c.nonzero);
    EXPECT_TRUE(p.zeros_first);
    send(kErase);
    p = poll(2);
    EXPECT_EQ(p.packet, (Bytes{0x5A, 0xA1}));
    EXPECT_EQ(p.zeros, c.zeros);
    EXPECT_EQ(p.nonzero, c.nonzero);
    p = poll(18);
    EXPECT_EQ(p.packet[1], 0xA4);
    EXPECT_EQ(p.zeros, c.zeros);
    EXPECT_EQ(p.nonzero, c.nonzero);
    host_ack();
  }
  EXPECT_EQ(violations(), 0);
}

// Host mistakes: each is counted, described, and the packet is refused
// where it wants an ACK.
TEST_F(RomTest, HostViolationsAreCounted) {
  struct Case {
    const char* name;
    void (*run)(RomTest&);
  };
  const Case cases[] = {
      {"bad CRC in a command packet",
       [](RomTest& t) {
         Bytes p = kErase;
         p[4] ^= 0x01;
         t.send(p);
         t.expect_nak();
         EXPECT_FALSE(t.state.has("kb.erased"));
       }},
      {"bad CRC in a data packet",
       [](RomTest& t) {
         EXPECT_EQ(t.run_command(write_memory(4)), 0u);
         Bytes p = data({1, 2, 3, 4});
         p.back() ^= 0x80;
         t.send(p);
         t.expect_nak();
         EXPECT_TRUE(t.flash_bytes().empty());
       }},
      {"parameter count against the length",
       [](RomTest& t) {
         Bytes p = command(0x04, 0, {0, 4});
         p[9] = 3;  // says three parameters, carries two
         Bytes covered(p.begin(), p.begin() + 4);
         covered.insert(covered.end(), p.begin() + 6, p.end());
         uint16_t crc = ref_crc16(covered);
         p[4] = static_cast<uint8_t>(crc);
         p[5] = static_cast<uint8_t>(crc >> 8);
         t.send(p);
         t.expect_nak();
       }},
      {"data beyond the announced count",
       [](RomTest& t) {
         EXPECT_EQ(t.run_command(write_memory(4)), 0u);
         t.send(data({1, 2, 3, 4, 5}));
         t.expect_nak();
       }},
      {"data after the data phase",
       [](RomTest& t) {
         EXPECT_EQ(t.run_command(write_memory(2)), 0u);
         t.send(data({1, 2}));
         t.expect_ack();
         EXPECT_EQ(t.generic_response(0x04), 0u);
         t.send(data({3}));
         t.expect_nak();
         EXPECT_EQ(t.flash_bytes(), (Bytes{1, 2}));
       }},
      {"data without write memory",
       [](RomTest& t) {
         t.send(data({1}));
         t.expect_nak();
       }},
      {"no ACK after a generic response",
       [](RomTest& t) {
         t.send(kErase);
         t.expect_ack();
         t.poll(18);
         t.send(execute());  // the host skipped its ACK
         t.expect_ack();
       }},
      {"ACK where none is due",
       [](RomTest& t) { t.host_ack(); }},
      {"packet split over two exchanges",
       [](RomTest& t) {
         t.xfer(Bytes(kErase.begin(), kErase.begin() + 4));
         t.xfer(Bytes(kErase.begin() + 4, kErase.end()));
         EXPECT_FALSE(t.state.has("kb.erased"));
       }},
      {"packet before the answer was read",
       [](RomTest& t) {
         t.send(kErase);
         t.xfer(execute());  // the ACK and the response are still unread
         EXPECT_TRUE(t.state.has("kb.erased"));
       }},
      {"unknown command",
       [](RomTest& t) {
         t.send(command(0x05, 0, {0, 16, 0}));
         t.expect_ack();
         EXPECT_NE(t.generic_response(0x05), 0u);
       }},
      {"unknown packet type",
       [](RomTest& t) { t.xfer({0x5A, 0xB3, 0x01, 0x02}); }},
      {"data packet length 0",
       [](RomTest& t) {
         EXPECT_EQ(t.run_command(write_memory(4)), 0u);
         t.send(framed(0xA5, {}));
         t.expect_nak();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rom.reset();
    fill_flash({});
    state.erase("kb.violations");
    state.erase("kb.erased");
    g_notes.clear();
    ping();
    c.run(*this);
    EXPECT_EQ(violations(), 1);
    ASSERT_EQ(g_notes.size(), 1u);
    EXPECT_FALSE(g_notes[0].empty());
    EXPECT_EQ(g_notes[0].find('\n'), std::string::npos);
  }
}

TEST_F(RomTest, RecoversAfterAViolation) {
  ping();
  Bytes p = kErase;
  p[5] ^= 0xFF;
  send(p);
  expect_nak();
  EXPECT_EQ(run_command(kErase), 0u);
  EXPECT_EQ(run_command(write_memory(1)), 0u);
  send(data({0x42}));
  expect_ack();
  EXPECT_EQ(generic_response(0x04), 0u);
  EXPECT_EQ(flash_bytes(), Bytes{0x42});
  EXPECT_EQ(violations(), 1);
}

// A response packet of any length: checks its frame and CRC, ACKs it
// (followed by polls at once when more is to come) and returns its
// parameters.
std::vector<uint32_t> read_response(RomTest& t, uint8_t tag, bool filler = true) {
  Bytes r = t.poll(6).packet;
  const size_t length = r[2] | r[3] << 8;
  while (r.size() < 6 + length) r.push_back(t.byte());
  EXPECT_EQ(r[1], 0xA4);
  EXPECT_EQ(r[6], tag);
  Bytes covered(r.begin(), r.begin() + 4);
  covered.insert(covered.end(), r.begin() + 6, r.end());
  EXPECT_EQ(ref_crc16(covered), r[4] | r[5] << 8);
  if (filler)
    t.host_ack();
  else
    t.xfer({0x5A, 0xA1});
  std::vector<uint32_t> params;
  for (size_t at = 10; at + 4 <= r.size(); at += 4) params.push_back(u32_at(r, at));
  return params;
}

TEST_F(RomTest, GetPropertyAnswersTheFlashRange) {
  const struct {
    const char* key;
    const char* value;
    uint32_t property;
    std::vector<uint32_t> answer;  // status, then the value on success
  } cases[] = {
      {nullptr, nullptr, 3, {0, 0}},
      {nullptr, nullptr, 4, {0, 256 * 1024}},
      {"kb.flash_start", "0x1000", 3, {0, 0x1000}},
      {"kb.flash_size", "1048576", 4, {0, 1 << 20}},
      {nullptr, nullptr, 1, {10300}},
      {"kb.no_properties", "1", 4, {10300}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.property);
    rom.reset();
    for (const char* key : {"kb.flash_start", "kb.flash_size", "kb.no_properties"}) state.erase(key);
    if (c.key) state.set(c.key, c.value);
    ping();
    send(command(0x07, 0, {c.property, 0}));
    expect_ack();
    EXPECT_EQ(read_response(*this, 0xA7), c.answer);
  }
  EXPECT_EQ(violations(), 0);
}

TEST_F(RomTest, ReadMemorySendsTheFlashInDataPackets) {
  Bytes image(100);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 3 + 1);
  fill_flash(image);
  Bytes want(image.begin() + 10, image.end());
  want.insert(want.end(), 18, 0xFF);  // past the written flash: erased
  ping();
  send(command(0x03, 0, {10, static_cast<uint32_t>(want.size())}));
  expect_ack();
  EXPECT_EQ(read_response(*this, 0xA3, false), (std::vector<uint32_t>{0, 108}));
  Bytes got;
  while (got.size() < want.size()) {
    Bytes p = poll(6).packet;
    ASSERT_EQ(p[1], 0xA5);
    ASSERT_EQ(p[2] | p[3] << 8, std::min<int>(32, static_cast<int>(want.size() - got.size())));
    while (p.size() < 6u + p[2]) p.push_back(byte());
    Bytes covered(p.begin(), p.begin() + 4);
    covered.insert(covered.end(), p.begin() + 6, p.end());
    EXPECT_EQ(ref_crc16(covered), p[4] | p[5] << 8);
    got.insert(got.end(), p.begin() + 6, p.end());
    xfer({0x5A, 0xA1});
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(generic_response(0x03), 0u);
  // Outside the flash: refused, nothing follows.
  send(command(0x03, 0, {256 * 1024 - 4, 8}));
  expect_ack();
  EXPECT_EQ(read_response(*this, 0xA3), (std::vector<uint32_t>{10200, 0}));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(byte(), 0x00);
  EXPECT_EQ(violations(), 0);
}

// The security byte the flash holds when the MCU starts decides what the
// bootloader allows.
TEST_F(RomTest, FlashSecurityIsHonouredFromTheNextStart) {
  const struct {
    uint8_t fsec;
    uint32_t read, write, erase;
  } cases[] = {
      {0xFE, 0, 0, 0},              // unsecured
      {0xEE, 0, 0, 0},              // unsecured, mass erase disabled
      {0xFF, 10001, 10001, 0},      // secured: an erase clears it
      {0xEF, 10001, 10001, 103},    // secured, mass erase disabled
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fsec);
    Bytes flash(0x410, 0xFF);
    flash[0x40C] = c.fsec;
    fill_flash(flash);
    rom.reset();
    ping();
    send(command(0x03, 0, {0, 4}));
    expect_ack();
    const uint32_t read = read_response(*this, 0xA3, c.read != 0)[0];
    EXPECT_EQ(read, c.read);
    if (read == 0) {
      for (int k = 0; k < 2; ++k) {  // the data packet, then the closing response
        poll(k == 0 ? 10 : 18);
        k == 0 ? (void)xfer({0x5A, 0xA1}) : host_ack();
      }
    }
    EXPECT_EQ(run_command(command(0x04, 0, {0, 4})), c.write);
    if (c.write == 0) {
      send(data({1, 2, 3, 4}));
      expect_ack();
      EXPECT_EQ(generic_response(0x04), 0u);
    }
    EXPECT_EQ(run_command(kErase), c.erase);
    EXPECT_EQ(run_command(command(0x04, 0, {0, 4})), c.erase == 0 ? 0u : 10001u);
  }
}

TEST_F(RomTest, SilentAnswersNothing) {
  state.set("kb.silent", "1");
  send({0x5A, 0xA6});
  for (int i = 0; i < 50; ++i) EXPECT_EQ(byte(), 0x00);
  send(kErase);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(byte(), 0x00);
  EXPECT_FALSE(state.has("kb.erased"));
  EXPECT_EQ(violations(), 0);
}

TEST_F(RomTest, WholePacketsInOneExchangeWithPollBytesAround) {
  // Wake-up bytes, then the ping with zero bytes after it in the same
  // exchange: stream bytes outside packets are ignored.
  xfer(Bytes(300, 0xFF));
  Bytes tx = {0xFF, 0x00, 0x5A, 0xA6, 0x00, 0x00};
  xfer(tx);
  Poll p = poll(10);
  EXPECT_EQ(p.packet[1], 0xA7);
  EXPECT_EQ(violations(), 0);
}

TEST_F(RomTest, AnyByteSequenceThenPingRecovers) {
  std::mt19937 rng(2024);
  const Bytes pieces[] = {kErase, write_memory(40), execute(), data(Bytes(32, 0x33)),
                          data({1, 2, 3}), {0x5A, 0xA1}, {0x5A, 0xA6}, {0x5A, 0xA4, 0xFF, 0xFF}};
  for (int round = 0; round < 100; ++round) {
    for (int i = 0; i < 50; ++i) {
      Bytes tx;
      size_t parts = rng() % 3;
      for (size_t k = 0; k < parts; ++k) {
        const Bytes& p = pieces[rng() % std::size(pieces)];
        // Whole, cut short, or with a byte flipped.
        size_t len = (rng() % 3 == 0) ? rng() % (p.size() + 1) : p.size();
        tx.insert(tx.end(), p.begin(), p.begin() + len);
        if (!tx.empty() && rng() % 4 == 0) tx[rng() % tx.size()] ^= static_cast<uint8_t>(rng());
      }
      for (size_t k = rng() % 4; k > 0; --k) tx.push_back(static_cast<uint8_t>(rng()));
      if (tx.empty())
        rom.exchange(nullptr, nullptr, 0);
      else if (rng() % 8 == 0)
        rom.exchange(tx.data(), nullptr, tx.size());
      else
        xfer(tx);
    }
    // Drain whatever is queued, then start over as the host would.
    for (int i = 0; i < 5000; ++i) byte();
    ping();
    ASSERT_EQ(ping_response.size(), 10u);
    ASSERT_EQ(ping_response[1], 0xA7) << "round " << round;
    ASSERT_EQ(run_command(kErase), 0u) << "round " << round;
  }
  EXPECT_GT(violations(), 0);
}

}  // namespace
}  // namespace boardsim
