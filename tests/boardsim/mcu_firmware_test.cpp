// The MCU firmware model driven frame by frame, as unitctl drives it.
#include "mcu_firmware.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace boardsim {
namespace {

using Bytes = std::vector<uint8_t>;

// Reference CRC-8 (polynomial 0x07, init 0), bit by bit.
uint8_t ref_crc8(const Bytes& data) {
  unsigned crc = 0;
  for (uint8_t b : data)
    for (int bit = 7; bit >= 0; --bit) {
      unsigned top = ((crc >> 7) ^ (b >> bit)) & 1;
      crc = (crc << 1) & 0xFF;
      if (top) crc ^= 0x07;
    }
  return static_cast<uint8_t>(crc);
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes with_crc(Bytes data) {
  data.push_back(ref_crc8(data));
  return data;
}

struct Mcu {
  State state;
  McuFirmware fw{state};

  // One chip-select frame; the receive buffer starts with a marker value so
  // that bytes the model fails to write show up.
  Bytes frame(const Bytes& tx) {
    Bytes rx(tx.size(), 0xEE);
    fw.exchange(tx.data(), rx.data(), tx.size());
    return rx;
  }

  // The host's resynchronisation: up to 20 single zero bytes until 0x69,
  // then up to 20 FF FF frames until FF F3. Returns the frames it took.
  std::pair<int, int> resync() {
    int p1 = 0, p2 = 0;
    while (p1 < 20) {
      ++p1;
      if (frame({0x00}) == Bytes{0x69}) break;
    }
    while (p2 < 20) {
      ++p2;
      if (frame({0xFF, 0xFF}) == Bytes{0xFF, 0xF3}) break;
    }
    return {p1, p2};
  }

  // A read as the host does it when the MCU is ready: command word, data phase.
  Bytes read(uint8_t code, uint8_t arg, size_t len) {
    EXPECT_EQ(frame({code, arg}), (Bytes{0xFF, 0xFF})) << "command word " << int(code);
    return frame(Bytes(len + 1, 0xFF));
  }

  // A write: command word, payload with CRC-8, FF FF; returns the acknowledgement.
  Bytes write(uint8_t code, const Bytes& payload) {
    EXPECT_EQ(frame({code, code}), (Bytes{0xFF, 0xFF}));
    frame(with_crc(payload));
    return frame({0xFF, 0xFF});
  }
};

const Bytes kAck = {0x01, 0x07};

TEST(McuFirmware, BatteryReadOfEightySevenOnTheWire) {
  Mcu m;
  EXPECT_EQ(m.frame({0x01, 0x01}), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0x57, 0xA2}));
  // The link is ready again for the next command.
  EXPECT_EQ(m.frame({0x02, 0x02}), (Bytes{0xFF, 0xFF}));
}

struct ReadCase {
  const char* name;
  uint8_t code;
  std::vector<std::pair<const char*, const char*>> settings;
  Bytes data;  // the len data bytes, before the CRC-8
};

TEST(McuFirmware, ReadRepliesCarryStateAndCrc) {
  Bytes uuid(16);
  for (int i = 0; i < 16; ++i) uuid[i] = static_cast<uint8_t>(i);
  Bytes uuid_ok = uuid;
  uuid_ok.push_back(1);
  Bytes serial = text("SU01-02003");
  serial.push_back(1);
  Bytes version = {1, 4, 0, 2, 0, 57};
  for (char c : std::string("a1b2c3d")) version.push_back(static_cast<uint8_t>(c));
  Bytes version2 = {1, 2, 0, 3, 1, 0};
  for (char c : std::string("0123abc")) version2.push_back(static_cast<uint8_t>(c));
  Bytes version_short = {0, 0, 0x12, 0x34, 0xAB, 0xCD, 'x', 'y', 0, 0, 0, 0, 0};
  Bytes uuid_set = {0xde, 0xad, 0xbe, 0xef, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0};

  const std::vector<ReadCase> cases = {
      {"battery default", 0x01, {}, {0x57}},
      {"battery 100", 0x01, {{"fw.battery", "100"}}, {100}},
      {"battery 101", 0x01, {{"fw.battery", "101"}}, {101}},
      {"charging default", 0x02, {}, {0x01}},
      {"charging 3", 0x02, {{"fw.charging", "3"}}, {3}},
      {"version default", 0x03, {}, version},
      {"version 1.2.3 build 256",
       0x03,
       {{"fw.major", "1"}, {"fw.minor", "2"}, {"fw.patch", "3"}, {"fw.build", "256"},
        {"fw.commit", "0123abc"}},
       version2},
      {"version wide fields, short commit",
       0x03,
       {{"fw.major", "0"}, {"fw.minor", "0"}, {"fw.patch", "4660"}, {"fw.build", "43981"},
        {"fw.commit", "xy"}},
       version_short},
      {"uuid default", 0x07, {}, uuid_ok},
      {"uuid set, status 0",
       0x07,
       {{"fw.uuid", "deadbeef000000000000000000001234"}, {"fw.status.uuid", "0"}},
       uuid_set},
      {"serial default", 0x08, {}, serial},
      {"usbc default", 0x10, {}, {0x6B, 0xA6, 0xD0, 0x01}},
      {"usbc set, status 2", 0x10, {{"fw.usbc", "00ff1f"}, {"fw.status.usbc", "2"}},
       {0x00, 0xFF, 0x1F, 0x02}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Mcu m;
    for (const auto& [k, v] : c.settings) m.state.set(k, v);
    EXPECT_EQ(m.read(c.code, c.code, c.data.size()), with_crc(c.data));
  }
}

TEST(McuFirmware, UsbcReplyIs6bA6D0WithStatus) {
  Mcu m;
  EXPECT_EQ(m.frame({0x10, 0x10}), (Bytes{0xFF, 0xFF}));
  Bytes rx = m.frame(Bytes(5, 0xFF));
  EXPECT_EQ(rx, (Bytes{0x6B, 0xA6, 0xD0, 0x01, ref_crc8({0x6B, 0xA6, 0xD0, 0x01})}));
}

TEST(McuFirmware, SetCommandsRecordTheirArgumentAndReplyStatus) {
  struct Case {
    uint8_t code;
    const char* key;
  };
  for (const Case& c : {Case{0x04, "fw.test_mode"}, Case{0x05, "fw.reset_mode"},
                        Case{0x06, "fw.link_led"}}) {
    SCOPED_TRACE(c.key);
    Mcu m;
    EXPECT_EQ(m.read(c.code, 1, 1), (Bytes{0x01, 0x07}));
    EXPECT_EQ(m.state.get(c.key), "1");
    EXPECT_EQ(m.read(c.code, 0, 1), (Bytes{0x01, 0x07}));
    EXPECT_EQ(m.state.get(c.key), "0");
    // The MCU refuses: status byte 0, with its valid CRC-8.
    m.state.set("fw.status.set", "0");
    EXPECT_EQ(m.read(c.code, 0xA5, 1), (Bytes{0x00, 0x00}));
    EXPECT_EQ(m.state.get(c.key), "165");
  }
}

TEST(McuFirmware, SerialWriteThenReadBack) {
  Mcu m;
  EXPECT_EQ(m.write(0x09, text("AB12-98765")), kAck);
  EXPECT_EQ(m.state.get("fw.serial"), "AB12-98765");
  Bytes expect = text("AB12-98765");
  expect.push_back(1);
  EXPECT_EQ(m.read(0x08, 0x08, 11), with_crc(expect));
}

TEST(McuFirmware, UsbcWritesRecordPayloadByte) {
  Mcu m;
  EXPECT_EQ(m.write(0x11, {0x02}), kAck);
  EXPECT_EQ(m.write(0x12, {0x07}), kAck);
  EXPECT_EQ(m.state.get("fw.usbc_mode"), "2");
  EXPECT_EQ(m.state.get("fw.usbc_current"), "7");
}

TEST(McuFirmware, WriteFaultsGiveWrongAcknowledgement) {
  struct Case {
    const char* name;
    const char* key;
    const char* value;
    bool corrupt_crc;    // the host's payload CRC-8 is wrong
    bool short_payload;  // the data phase is one byte short
    bool stored;         // the serial number is taken
  };
  const Case cases[] = {
      {"payload CRC wrong", nullptr, nullptr, true, false, false},
      {"payload short", nullptr, nullptr, false, true, false},
      {"ack_refuse", "fw.ack_refuse", "1", false, false, false},
      {"bad_ack", "fw.bad_ack", "1", false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mcu m;
    if (c.key) m.state.set(c.key, c.value);
    EXPECT_EQ(m.frame({0x09, 0x09}), (Bytes{0xFF, 0xFF}));
    Bytes payload = with_crc(text("ZZ99-00000"));
    if (c.corrupt_crc) payload.back() ^= 0x01;
    if (c.short_payload) payload.pop_back();
    m.frame(payload);
    Bytes ack = m.frame({0xFF, 0xFF});
    EXPECT_NE(ack, kAck);
    EXPECT_EQ(m.state.get("fw.serial") == "ZZ99-00000", c.stored);
  }
}

TEST(McuFirmware, BadAckCountsDown) {
  Mcu m;
  m.state.set("fw.bad_ack", "2");
  EXPECT_EQ(m.write(0x11, {1}), (Bytes{0x01, 0x00}));
  EXPECT_EQ(m.write(0x11, {1}), (Bytes{0x01, 0x00}));
  EXPECT_EQ(m.write(0x11, {1}), kAck);
  EXPECT_FALSE(m.state.has("fw.bad_ack"));
}

TEST(McuFirmware, BadCrcCountsDownAndAlways) {
  Mcu m;
  m.state.set("fw.bad_crc", "1");
  Bytes first = m.read(0x01, 0x01, 1);
  EXPECT_EQ(first[0], 0x57);
  EXPECT_NE(first[1], 0xA2);
  EXPECT_EQ(m.read(0x01, 0x01, 1), (Bytes{0x57, 0xA2}));

  m.state.set("fw.bad_crc", "-1");
  for (int i = 0; i < 3; ++i) {
    Bytes rx = m.read(0x07, 0x07, 17);
    EXPECT_NE(rx[17], ref_crc8(Bytes(rx.begin(), rx.begin() + 17)));
  }
  EXPECT_EQ(m.state.get("fw.bad_crc"), "-1");
}

TEST(McuFirmware, ResyncMarkersAndDelays) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> settings;
    int phase1_frames;  // frames the host needs in phase 1 (20: never saw 0x69)
    int phase2_frames;  // frames in phase 2 (20: never saw FF F3)
  };
  const std::vector<Case> cases = {
      {"immediate", {}, 1, 1},
      {"delay 3", {{"fw.resync_delay", "3"}}, 4, 1},
      {"delay 19", {{"fw.resync_delay", "19"}}, 20, 1},
      {"delay 25", {{"fw.resync_delay", "25"}}, 20, 1},
      {"no marker", {{"fw.no_resync_marker", "1"}}, 20, 1},
      {"no ack", {{"fw.no_resync_ack", "1"}}, 1, 20},
      {"neither", {{"fw.no_resync_marker", "1"}, {"fw.no_resync_ack", "1"}}, 20, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Mcu m;
    for (const auto& [k, v] : c.settings) m.state.set(k, v);
    // Twice: every resynchronisation gets the same delay.
    for (int round = 0; round < 2; ++round) {
      auto [p1, p2] = m.resync();
      EXPECT_EQ(p1, c.phase1_frames);
      EXPECT_EQ(p2, c.phase2_frames);
      // After resync the command word is taken and answered in its data phase.
      m.frame({0x01, 0x01});
      EXPECT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0x57, 0xA2}));
    }
  }
}

TEST(McuFirmware, ResyncDropsACommandInProgress) {
  Mcu m;
  EXPECT_EQ(m.frame({0x03, 0x03}), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(m.frame({0x00}), (Bytes{0x69}));
  EXPECT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0xFF, 0xF3}));
  EXPECT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0xFF, 0xF3}));
  // The resent word (its answer is not examined by the host) starts afresh.
  m.frame({0x02, 0x02});
  EXPECT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0x01, ref_crc8({0x01})}));
}

TEST(McuFirmware, NotReadyDropsTheWordUntilResync) {
  Mcu m;
  m.state.set("fw.not_ready", "1");
  EXPECT_EQ(m.frame({0x01, 0x01}), (Bytes{0x00, 0x00}));
  EXPECT_EQ(m.resync(), std::make_pair(1, 1));
  m.frame({0x01, 0x01});
  EXPECT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0x57, 0xA2}));
  EXPECT_FALSE(m.state.has("fw.not_ready"));
  EXPECT_EQ(m.frame({0x01, 0x01}), (Bytes{0xFF, 0xFF}));
}

TEST(McuFirmware, NotReadyAlwaysAnswersZerosToEveryWord) {
  Mcu m;
  m.state.set("fw.not_ready", "-1");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m.frame({0x01, 0x01}), (Bytes{0x00, 0x00}));
    // Not taken: a following data-phase frame carries no reply.
    EXPECT_EQ(m.frame(Bytes(14, 0xFF)), Bytes(14, 0x00));
  }
  EXPECT_EQ(m.state.get("fw.not_ready"), "-1");
}

// A hung MCU, and one whose firmware the bootloader erased: zeros out,
// nothing taken in, until the fault or the erase is over.
TEST(McuFirmware, SilentClocksOutZerosAndTakesNothing) {
  const std::pair<const char*, const char*> silencers[] = {{"fw.silent", "1"},
                                                           {"mcu.firmware", "erased"}};
  for (const auto& [key, value] : silencers) {
    SCOPED_TRACE(key);
    Mcu m;
    m.state.set(key, value);
    EXPECT_EQ(m.frame({0x01, 0x01}), (Bytes{0, 0}));
    EXPECT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0, 0}));
    EXPECT_EQ(m.frame({0x00}), (Bytes{0}));
    EXPECT_EQ(m.frame(with_crc(text("QQ00-11111"))), Bytes(11, 0));
    m.state.erase(key);
    EXPECT_EQ(m.read(0x01, 0x01, 1), (Bytes{0x57, 0xA2}));
  }
}

TEST(McuFirmware, WordsThatAreNotCommandsAreNotTaken) {
  const std::vector<Bytes> words = {{0x0A, 0x0A}, {0x00, 0x00}, {0x13, 0x13},
                                     {0x01, 0x02}, {0x09, 0x08}, {0xFF, 0xFF}};
  for (const Bytes& w : words) {
    SCOPED_TRACE(::testing::PrintToString(w));
    Mcu m;
    EXPECT_EQ(m.frame(w), (Bytes{0xFF, 0xFF}));
    // Still ready: a data-phase frame gets the ready answer, no reply data.
    EXPECT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(m.frame(Bytes(18, 0xFF)), Bytes(18, 0x00));
  }
}

TEST(McuFirmware, DataPhaseOfUnexpectedLength) {
  Mcu m;
  // Shorter than the reply: the first bytes of it.
  m.frame({0x03, 0x03});
  EXPECT_EQ(m.frame({0xFF, 0xFF, 0xFF}), (Bytes{1, 4, 0}));
  // Longer: reply, CRC, then zeros.
  m.frame({0x01, 0x01});
  EXPECT_EQ(m.frame(Bytes(5, 0xFF)), (Bytes{0x57, 0xA2, 0, 0, 0}));
  // Back to ready either way.
  EXPECT_EQ(m.frame({0x02, 0x02}), (Bytes{0xFF, 0xFF}));
}

TEST(McuFirmware, ResetForgetsTheCommandInProgress) {
  Mcu m;
  m.frame({0x01, 0x01});
  m.fw.reset();
  EXPECT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(m.read(0x01, 0x01, 1), (Bytes{0x57, 0xA2}));
}

TEST(McuFirmware, NullBuffersAreZeros) {
  Mcu m;
  uint8_t rx[2] = {0xEE, 0xEE};
  m.fw.exchange(nullptr, rx, 2);  // a word of 00 00: not a command
  EXPECT_EQ(rx[0], 0xFF);
  const uint8_t word[2] = {0x01, 0x01};
  m.fw.exchange(word, nullptr, 2);
  EXPECT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0x57, 0xA2}));
}

TEST(McuFirmware, AnyByteSequenceThenResyncRecovers) {
  std::mt19937 rng(12345);
  Mcu m;
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 100; ++i) {
      size_t len = rng() % 40;
      Bytes tx(len);
      for (auto& b : tx) {
        // Mostly bytes that mean something to the MCU.
        static const uint8_t pick[] = {0x00, 0x01, 0x03, 0x04, 0x07, 0x08, 0x09,
                                       0x10, 0x11, 0x12, 0x0B, 0xFF};
        b = (rng() % 4) ? pick[rng() % sizeof pick] : static_cast<uint8_t>(rng());
      }
      if (len == 0) {
        m.fw.exchange(nullptr, nullptr, 0);
      } else {
        m.frame(tx);
      }
    }
    auto [p1, p2] = m.resync();
    ASSERT_EQ(p1, 1);
    ASSERT_EQ(p2, 1);
    m.frame({0x01, 0x01});
    ASSERT_EQ(m.frame({0xFF, 0xFF}), (Bytes{0x57, 0xA2})) << "round " << round;
  }
}

}  // namespace
}  // namespace boardsim
