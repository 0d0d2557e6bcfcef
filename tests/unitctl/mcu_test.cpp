// The MCU command set in process, against the simulated MCU: command words,
// lengths and waits on the bus, reply checks, decoding, and outputs left
// untouched on failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boardsim/board.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "mcu.h"
#include "spi_link.h"

using boardsim::Board;

namespace {

using Bytes = std::vector<uint8_t>;
const uint64_t MS = 1000000;

class Mcu : public testing::Test {
 protected:
  // Applies the settings, attaches and opens the device; logs start empty.
  int open_with(const std::vector<std::pair<std::string, std::string>>& settings) {
    for (const auto& [k, v] : settings) board.set(k, v);
    board.attach();
    spi_link_open(&opened, false);
    board.clear_logs();
    return opened.device.fd;
  }
  void TearDown() override {
    if (opened.device.fd >= 0) close(opened.device.fd);
  }
  Board board;
  spi_link opened{.device = {.fd = -1}};
  spi_link* const fd = &opened;
};

}  // namespace

namespace {

// What each operation puts on the bus when the MCU answers at once.
struct OperationCase {
  const char* name;
  int (*op)(spi_link* link);
  Bytes word;
  size_t data_len;    // bytes of the data phase (len + 1)
  uint64_t wait_ms;   // before the data phase (reads) or the acknowledgement (writes)
  bool write;
};
void PrintTo(const OperationCase& c, std::ostream* os) { *os << c.name; }

uint8_t u8;
version_info vi;
uint8_t uuid[16];
char serial[11];
usbc_state us;
const OperationCase OPERATIONS[] = {
    {"battery", [](spi_link* d) { return mcu_get_battery_level(d, &u8); }, {0x01, 0x01}, 2, 5, false},
    {"charging", [](spi_link* d) { return mcu_get_charging_status(d, &u8); }, {0x02, 0x02}, 2, 5, false},
    {"version", [](spi_link* d) { return mcu_get_firmware_version(d, &vi); }, {0x03, 0x03}, 14, 5, false},
    {"test on", [](spi_link* d) { return mcu_set_test_mode(d, 1); }, {0x04, 0x01}, 2, 5, false},
    {"test off", [](spi_link* d) { return mcu_set_test_mode(d, 0); }, {0x04, 0x00}, 2, 5, false},
    {"reset on", [](spi_link* d) { return mcu_set_reset_mode(d, 1); }, {0x05, 0x01}, 2, 5, false},
    {"led off", [](spi_link* d) { return mcu_set_link_led(d, 0); }, {0x06, 0x00}, 2, 5, false},
    {"led low byte", [](spi_link* d) { return mcu_set_link_led(d, 0x301); }, {0x06, 0x01}, 2, 5, false},
    {"uuid", [](spi_link* d) { return mcu_get_uuid(d, uuid); }, {0x07, 0x07}, 18, 20, false},
    {"serial", [](spi_link* d) { return mcu_get_serial_number(d, serial); }, {0x08, 0x08}, 12, 20, false},
    {"set serial", [](spi_link* d) { return mcu_set_serial_number(d, "SU01-02003"); }, {0x09, 0x09}, 11, 175, true},
    {"usbc", [](spi_link* d) { return mcu_get_usbc_state(d, &us); }, {0x10, 0x10}, 5, 175, false},
    {"usbc mode", [](spi_link* d) { return mcu_set_usbc_mode(d, 3); }, {0x11, 0x11}, 2, 200, true},
    {"usbc current", [](spi_link* d) { return mcu_set_usbc_current_mode(d, 1); }, {0x12, 0x12}, 2, 200, true},
};

class McuOperation : public testing::TestWithParam<OperationCase> {};

TEST_P(McuOperation, SendsItsCommandWordLengthAndWait) {
  const OperationCase& c = GetParam();
  Board b;
  b.attach();
  spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
  b.clear_logs();
  EXPECT_EQ(c.op(d), 0);
  close(d->device.fd);
  const auto log = b.spi_log();
  ASSERT_EQ(log.size(), c.write ? 3u : 2u);
  EXPECT_EQ(log[0].tx, c.word);
  EXPECT_EQ(log[0].rx, Bytes({0xFF, 0xFF}));
  EXPECT_EQ(log[1].tx.size(), c.data_len);
  if (c.write) {
    EXPECT_GE(log[1].t_first_ns - log[0].t_first_ns, 5 * MS);
    EXPECT_GE(log[2].t_first_ns - log[1].t_first_ns, c.wait_ms * MS);
    EXPECT_EQ(log[2].rx, Bytes({0x01, 0x07}));
  } else {
    EXPECT_EQ(log[1].tx, Bytes(c.data_len, 0xFF));
    EXPECT_GE(log[1].t_first_ns - log[0].t_first_ns, c.wait_ms * MS);
  }
}

INSTANTIATE_TEST_SUITE_P(, McuOperation, testing::ValuesIn(OPERATIONS));

}  // namespace

TEST_F(Mcu, RangedQueriesAcceptUpToTheirLimit) {
  struct Case {
    const char* key;
    int value;
    bool ok;
  } cases[] = {
      {"fw.battery", 0, true},   {"fw.battery", 100, true}, {"fw.battery", 101, false},
      {"fw.battery", 255, false}, {"fw.charging", 0, true}, {"fw.charging", 2, true},
      {"fw.charging", 3, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + std::to_string(c.value));
    Board b;
    b.set(c.key, c.value);
    b.attach();
    spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
    uint8_t out = 0xEE;
    const int r = std::string(c.key) == "fw.battery" ? mcu_get_battery_level(d, &out)
                                                      : mcu_get_charging_status(d, &out);
    close(d->device.fd);
    EXPECT_EQ(r, c.ok ? 0 : 1);
    EXPECT_EQ(out, c.ok ? c.value : 0xEE);
    // A valid frame out of range is not repeated.
    size_t words = 0;
    for (const auto& e : b.spi_log()) words += e.tx.size() == 2 && e.tx[0] == e.tx[1] && e.tx[0] <= 2;
    EXPECT_EQ(words, 1u);
  }
}

TEST_F(Mcu, SetCommandsNeedTheMcuToConfirm) {
  const std::function<int(spi_link*, int)> ops[] = {mcu_set_test_mode, mcu_set_reset_mode, mcu_set_link_led};
  const char* records[] = {"fw.test_mode", "fw.reset_mode", "fw.link_led"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(records[i]);
    for (const char* status : {"1", "0", "2"}) {
      Board b;
      b.set("fw.status.set", status);
      b.attach();
      spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
      EXPECT_EQ(ops[i](d, 1), std::string(status) == "1" ? 0 : 1) << status;
      close(d->device.fd);
      EXPECT_EQ(b.get(records[i]), "1");  // the MCU was told, whatever it answered
    }
  }
}

TEST_F(Mcu, FirmwareVersionIsDecodedBigEndian) {
  struct Case {
    int major, minor, patch, build;
    const char* commit;
  } cases[] = {{1, 2, 3, 256, "abcdefg"}, {255, 0, 0xABCD, 0x1234, "0000000"}, {0, 255, 65535, 1, "x"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.commit);
    Board b;
    b.set("fw.major", c.major);
    b.set("fw.minor", c.minor);
    b.set("fw.patch", c.patch);
    b.set("fw.build", c.build);
    b.set("fw.commit", c.commit);
    b.attach();
    spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
    version_info v;
    memset(&v, 0xAA, sizeof v);
    ASSERT_EQ(mcu_get_firmware_version(d, &v), 0);
    close(d->device.fd);
    EXPECT_EQ(v.major, c.major);
    EXPECT_EQ(v.minor, c.minor);
    EXPECT_EQ(v.patch, c.patch);
    EXPECT_EQ(v.build, c.build);
    EXPECT_EQ(v.commit_id_short[7], '\0');
    EXPECT_EQ(std::string(v.commit_id_short).substr(0, strlen(c.commit)), c.commit);
    // The data phase carries patch and build most significant byte first.
    const auto log = b.spi_log();
    const Bytes& rx = log.back().rx;
    ASSERT_EQ(rx.size(), 14u);
    EXPECT_EQ(rx[2], c.patch >> 8);
    EXPECT_EQ(rx[5], c.build & 0xFF);
  }
}

TEST_F(Mcu, UuidAndSerialNumber) {
  open_with({{"fw.uuid", "00112233445566778899aabbccddeeff"}, {"fw.serial", "SU07-11042"}});
  uint8_t uuid[16];
  ASSERT_EQ(mcu_get_uuid(fd, uuid), 0);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(uuid[i], i * 0x11) << i;
  char serial[12];
  memset(serial, 'Z', sizeof serial);
  ASSERT_EQ(mcu_get_serial_number(fd, serial), 0);
  EXPECT_STREQ(serial, "SU07-11042");
  EXPECT_EQ(serial[11], 'Z');  // nothing written past the terminator
}

TEST_F(Mcu, UsbcStateIsDecodedBitByBit) {
  struct Case {
    const char* bytes;
    usbc_state want;
  } cases[] = {
      {"6ba6d0", {1, 2, 5, 1, 2, 1, 3, 3, 1}},
      {"000000", {0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"ffffff", {3, 3, 7, 1, 3, 1, 3, 3, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    Board b;
    b.set("fw.usbc", c.bytes);
    b.attach();
    spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
    usbc_state s;
    memset(&s, 0x5A, sizeof s);
    ASSERT_EQ(mcu_get_usbc_state(d, &s), 0);
    close(d->device.fd);
    EXPECT_EQ(s.current_mode_advertised, c.want.current_mode_advertised);
    EXPECT_EQ(s.current_mode_detected, c.want.current_mode_detected);
    EXPECT_EQ(s.attached_accessory, c.want.attached_accessory);
    EXPECT_EQ(s.active_cable, c.want.active_cable);
    EXPECT_EQ(s.attached_state, c.want.attached_state);
    EXPECT_EQ(s.cable_orientation, c.want.cable_orientation);
    EXPECT_EQ(s.drp_duty_cycle, c.want.drp_duty_cycle);
    EXPECT_EQ(s.cc_debounce, c.want.cc_debounce);
    EXPECT_EQ(s.mode_select, c.want.mode_select);
  }
}

TEST_F(Mcu, StatusByteOtherThanOneLeavesTheOutputUntouched) {
  for (const char* key : {"fw.status.uuid", "fw.status.serial", "fw.status.usbc"}) {
    for (const char* status : {"0", "2"}) {
      SCOPED_TRACE(std::string(key) + "=" + status);
      Board b;
      b.set(key, status);
      b.attach();
      spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
      uint8_t buf[64];
      memset(buf, 0xC3, sizeof buf);
      int r = -1;
      if (std::string(key) == "fw.status.uuid") r = mcu_get_uuid(d, buf);
      if (std::string(key) == "fw.status.serial") r = mcu_get_serial_number(d, (char*)buf);
      if (std::string(key) == "fw.status.usbc") r = mcu_get_usbc_state(d, (usbc_state*)buf);
      close(d->device.fd);
      EXPECT_EQ(r, 1);
      for (uint8_t x : buf) ASSERT_EQ(x, 0xC3);
      size_t words = 0;
      for (const auto& e : b.spi_log()) words += e.tx.size() == 2 && e.tx[0] == e.tx[1] && e.tx[0] != 0xFF;
      EXPECT_EQ(words, 1u);  // a valid frame is not repeated
    }
  }
}

TEST_F(Mcu, FailedReadsLeaveEveryOutputUntouched) {
  open_with({{"fw.bad_crc", "-1"}});
  uint8_t level = 0xEE, status = 0xEE;
  version_info v;
  memset(&v, 0xAA, sizeof v);
  const version_info before = v;
  EXPECT_EQ(mcu_get_battery_level(fd, &level), 1);
  EXPECT_EQ(mcu_get_charging_status(fd, &status), 1);
  EXPECT_EQ(mcu_get_firmware_version(fd, &v), 1);
  EXPECT_EQ(level, 0xEE);
  EXPECT_EQ(status, 0xEE);
  EXPECT_EQ(memcmp(&v, &before, sizeof v), 0);
  EXPECT_EQ(mcu_set_link_led(fd, 1), 1);
}

TEST_F(Mcu, SerialNumberWriteSendsExactlyTenCharacters) {
  open_with({});
  ASSERT_EQ(mcu_set_serial_number(fd, "SU99-12345EXTRA"), 0);
  const auto log = board.spi_log();
  ASSERT_EQ(log.size(), 3u);
  const Bytes want = {'S', 'U', '9', '9', '-', '1', '2', '3', '4', '5'};
  ASSERT_EQ(log[1].tx.size(), 11u);
  EXPECT_EQ(Bytes(log[1].tx.begin(), log[1].tx.begin() + 10), want);
  EXPECT_EQ(log[1].tx[10], crc8(want.data(), 10));
  EXPECT_EQ(board.get("fw.serial"), "SU99-12345");
  char serial[11];
  ASSERT_EQ(mcu_get_serial_number(fd, serial), 0);
  EXPECT_STREQ(serial, "SU99-12345");
}

TEST_F(Mcu, ModeArgumentsTravelAsTheirLowByte) {
  struct Case {
    int mode;
    const char* sent;
  } cases[] = {{0, "0"}, {3, "3"}, {7, "7"}, {0x107, "7"}, {-1, "255"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    Board b;
    b.attach();
    spi_link opened_d{};
    spi_link_open(&opened_d, false);
    spi_link* const d = &opened_d;
    EXPECT_EQ(mcu_set_usbc_mode(d, c.mode), 0);
    EXPECT_EQ(mcu_set_usbc_current_mode(d, c.mode), 0);
    close(d->device.fd);
    EXPECT_EQ(b.get("fw.usbc_mode"), c.sent);
    EXPECT_EQ(b.get("fw.usbc_current"), c.sent);
  }
}

TEST_F(Mcu, RefusedWritesFail) {
  open_with({{"fw.ack_refuse", "1"}});
  EXPECT_EQ(mcu_set_usbc_mode(fd, 1), 1);
  EXPECT_EQ(mcu_set_usbc_current_mode(fd, 1), 1);
  EXPECT_EQ(mcu_set_serial_number(fd, "SU00-00000"), 1);
  size_t words = 0;
  for (const auto& e : board.spi_log()) words += e.tx == Bytes({0x11, 0x11});
  EXPECT_EQ(words, 3u);  // each write is tried three times
}
