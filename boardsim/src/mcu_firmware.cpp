#include "mcu_firmware.h"

#include <cstring>
#include <string>
#include <vector>

#include "snapshot.h"

namespace boardsim {

namespace {

// Command codes, byte 0 of a command word.
enum : uint8_t {
  CMD_BATTERY_LEVEL = 0x01,
  CMD_CHARGING_STATUS = 0x02,
  CMD_FIRMWARE_VERSION = 0x03,
  CMD_TEST_MODE = 0x04,
  CMD_RESET_MODE = 0x05,
  CMD_LINK_LED = 0x06,
  CMD_UUID = 0x07,
  CMD_SERIAL_NUMBER = 0x08,
  CMD_SET_SERIAL_NUMBER = 0x09,
  CMD_USBC_STATE = 0x10,
  CMD_USBC_MODE = 0x11,
  CMD_USBC_CURRENT_MODE = 0x12,
};

constexpr uint8_t kReady[2] = {0xFF, 0xFF};
constexpr uint8_t kResyncMarker = 0x69;
constexpr uint8_t kResyncAck[2] = {0xFF, 0xF3};
constexpr uint8_t kAckGood[2] = {0x01, 0x07};    // status 1 and its CRC-8
constexpr uint8_t kAckBroken[2] = {0x01, 0x00};  // status 1, CRC-8 damaged
constexpr uint8_t kAckRefused[2] = {0x00, 0x00}; // status 0 and its CRC-8

// CRC-8, polynomial 0x07, initial value 0, no reflection, no final XOR.
uint8_t crc8(const uint8_t* data, size_t len) {
  uint8_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Fills out[0..n) from a string of hex digit pairs; missing or malformed
// pairs give zero bytes.
void parse_hex(const std::string& text, uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    out[i] = 0;
    if (2 * i + 1 >= text.size()) continue;
    int hi = hex_digit(text[2 * i]);
    int lo = hex_digit(text[2 * i + 1]);
    if (hi >= 0 && lo >= 0) out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
}

// Fills out[0..n) with the characters of text, zero bytes after its end.
void copy_text(const std::string& text, uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i)
    out[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}

bool is_ff_ff(const uint8_t* tx) { return tx[0] == 0xFF && tx[1] == 0xFF; }

}  // namespace

void McuFirmware::reset() {
  phase_ = Phase::ready;
  last_was_resync_byte_ = false;
  marker_delay_ = 0;
  command_ = 0;
  reply_len_ = 0;
  write_len_ = 0;
  write_ok_ = false;
  word_refused_ = false;
}

void McuFirmware::save(std::string* out) const {
  SnapshotWriter w(out);
  w.u8(static_cast<uint8_t>(phase_));
  w.u8(last_was_resync_byte_);
  w.u64(static_cast<uint64_t>(marker_delay_));
  w.u8(command_);
  w.bytes(reply_, reply_len_);
  w.u32(static_cast<uint32_t>(write_len_));
  w.u8(write_ok_);
  w.u8(word_refused_);
}

bool McuFirmware::restore(const std::string& in) {
  SnapshotReader r(in);
  uint8_t phase = r.u8();
  last_was_resync_byte_ = r.u8() != 0;
  marker_delay_ = static_cast<long long>(r.u64());
  command_ = r.u8();
  reply_len_ = r.bytes(reply_, sizeof reply_);
  write_len_ = r.u32();
  write_ok_ = r.u8() != 0;
  word_refused_ = r.u8() != 0;
  phase_ = static_cast<Phase>(phase);
  if (!r.ok() || phase > static_cast<uint8_t>(Phase::write_ack) || write_len_ > 10) {
    reset();
    return false;
  }
  return true;
}

void McuFirmware::exchange(const uint8_t* tx, uint8_t* rx, size_t len) {
  if (len == 0) return;
  // A transmit-only or receive-only transfer: the missing side is zeros.
  std::vector<uint8_t> tx_zeros, rx_scratch;
  if (!tx) {
    tx_zeros.assign(len, 0);
    tx = tx_zeros.data();
  }
  if (!rx) {
    rx_scratch.resize(len);
    rx = rx_scratch.data();
  }
  std::memset(rx, 0, len);
  if (state_.get_int("fw.silent") != 0 || state_.get("mcu.firmware") == "erased") {
    // A hung MCU, or one without a complete firmware: it clocks out zeros
    // and takes nothing in.
    phase_ = Phase::ready;
    last_was_resync_byte_ = false;
    word_refused_ = false;
    return;
  }
  word_refused_ = false;
  frame(tx, rx, len);
  last_was_resync_byte_ = len == 1;
}

void McuFirmware::frame(const uint8_t* tx, uint8_t* rx, size_t len) {
  if (len == 1) {
    // Resynchronisation, phase 1: whatever the MCU was doing is dropped.
    if (!last_was_resync_byte_) marker_delay_ = state_.get_int("fw.resync_delay");
    phase_ = Phase::resync;
    if (state_.get_int("fw.no_resync_marker") != 0) return;
    if (marker_delay_ != 0) {
      if (marker_delay_ > 0) --marker_delay_;
      return;
    }
    rx[0] = kResyncMarker;
    return;
  }

  switch (phase_) {
    case Phase::ready:
      if (len != 2) return;  // not a command word: zeros
      if (is_ff_ff(tx)) {
        // No command in it; the MCU shows whether it is ready all the same.
        if (state_.get_int("fw.not_ready") == 0) std::memcpy(rx, kReady, 2);
        return;
      }
      if (state_.take("fw.not_ready")) {  // 00 00, the word is dropped
        word_refused_ = true;
        return;
      }
      std::memcpy(rx, kReady, 2);
      command_word(tx[0], tx[1]);
      return;

    case Phase::resync:
      if (len != 2) {
        phase_ = Phase::ready;
        return;
      }
      if (state_.get_int("fw.no_resync_ack") == 0) std::memcpy(rx, kResyncAck, 2);
      if (is_ff_ff(tx)) return;  // phase 2 goes on
      // The resent command word: the MCU has just resynchronised and takes it.
      phase_ = Phase::ready;
      command_word(tx[0], tx[1]);
      return;

    case Phase::read_data: {
      uint8_t out[sizeof reply_ + 1];
      std::memcpy(out, reply_, reply_len_);
      out[reply_len_] = crc8(reply_, reply_len_);
      if (state_.take("fw.bad_crc")) out[reply_len_] ^= 0xFF;
      std::memcpy(rx, out, len < reply_len_ + 1 ? len : reply_len_ + 1);
      phase_ = Phase::ready;
      return;
    }

    case Phase::write_data:
      write_payload(tx, len);
      phase_ = Phase::write_ack;
      return;

    case Phase::write_ack:
      if (!write_ok_)
        std::memcpy(rx, kAckRefused, 2);
      else if (state_.take("fw.bad_ack"))
        std::memcpy(rx, kAckBroken, 2);
      else
        std::memcpy(rx, kAckGood, 2);
      phase_ = Phase::ready;
      return;
  }
}

void McuFirmware::command_word(uint8_t code, uint8_t arg) {
  command_ = code;
  phase_ = Phase::ready;
  const char* set_key = nullptr;
  switch (code) {
    case CMD_TEST_MODE: set_key = "fw.test_mode"; break;
    case CMD_RESET_MODE: set_key = "fw.reset_mode"; break;
    case CMD_LINK_LED: set_key = "fw.link_led"; break;
    default: break;
  }
  if (set_key) {
    // Set commands carry their argument in byte 1 and answer one status byte.
    state_.set_int(set_key, arg);
    reply_[0] = static_cast<uint8_t>(state_.get_int("fw.status.set", 1));
    reply_len_ = 1;
    phase_ = Phase::read_data;
    return;
  }
  // Every other command repeats its code in byte 1.
  if (arg != code) return;
  switch (code) {
    case CMD_BATTERY_LEVEL:
    case CMD_CHARGING_STATUS:
    case CMD_FIRMWARE_VERSION:
    case CMD_UUID:
    case CMD_SERIAL_NUMBER:
    case CMD_USBC_STATE:
      read_reply(code);
      phase_ = Phase::read_data;
      return;
    case CMD_SET_SERIAL_NUMBER:
      write_len_ = 10;
      phase_ = Phase::write_data;
      return;
    case CMD_USBC_MODE:
    case CMD_USBC_CURRENT_MODE:
      write_len_ = 1;
      phase_ = Phase::write_data;
      return;
    default:
      return;  // unknown code: not taken
  }
}

void McuFirmware::read_reply(uint8_t code) {
  auto byte = [this](const char* key, long long def) {
    return static_cast<uint8_t>(state_.get_int(key, def));
  };
  switch (code) {
    case CMD_BATTERY_LEVEL:
      reply_[0] = byte("fw.battery", 87);
      reply_len_ = 1;
      return;
    case CMD_CHARGING_STATUS:
      reply_[0] = byte("fw.charging", 1);
      reply_len_ = 1;
      return;
    case CMD_FIRMWARE_VERSION: {
      long long patch = state_.get_int("fw.patch", 2);
      long long build = state_.get_int("fw.build", 57);
      reply_[0] = byte("fw.major", 1);
      reply_[1] = byte("fw.minor", 4);
      reply_[2] = static_cast<uint8_t>(patch >> 8);
      reply_[3] = static_cast<uint8_t>(patch);
      reply_[4] = static_cast<uint8_t>(build >> 8);
      reply_[5] = static_cast<uint8_t>(build);
      copy_text(state_.get("fw.commit", "a1b2c3d"), reply_ + 6, 7);
      reply_len_ = 13;
      return;
    }
    case CMD_UUID:
      parse_hex(state_.get("fw.uuid", "000102030405060708090a0b0c0d0e0f"), reply_, 16);
      reply_[16] = byte("fw.status.uuid", 1);
      reply_len_ = 17;
      return;
    case CMD_SERIAL_NUMBER:
      copy_text(state_.get("fw.serial", "SU01-02003"), reply_, 10);
      reply_[10] = byte("fw.status.serial", 1);
      reply_len_ = 11;
      return;
    case CMD_USBC_STATE:
      parse_hex(state_.get("fw.usbc", "6ba6d0"), reply_, 3);
      reply_[3] = byte("fw.status.usbc", 1);
      reply_len_ = 4;
      return;
    default:
      reply_len_ = 0;
      return;
  }
}

void McuFirmware::write_payload(const uint8_t* tx, size_t len) {
  write_ok_ = len == write_len_ + 1 && crc8(tx, write_len_) == tx[write_len_];
  if (!write_ok_) return;
  if (state_.get_int("fw.ack_refuse") != 0) {
    write_ok_ = false;
    return;
  }
  switch (command_) {
    case CMD_SET_SERIAL_NUMBER: {
      // The state file holds one setting per line: line breaks and NULs
      // cannot be kept there and are stored as '?'.
      std::string serial;
      for (size_t i = 0; i < write_len_; ++i) {
        char c = static_cast<char>(tx[i]);
        serial += (c == '\n' || c == '\r' || c == '\0') ? '?' : c;
      }
      state_.set("fw.serial", serial);
      return;
    }
    case CMD_USBC_MODE: state_.set_int("fw.usbc_mode", tx[0]); return;
    case CMD_USBC_CURRENT_MODE: state_.set_int("fw.usbc_current", tx[0]); return;
    default: return;
  }
}

}  // namespace boardsim
