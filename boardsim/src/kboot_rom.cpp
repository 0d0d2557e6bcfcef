#include "kboot_rom.h"

#include <cstdio>
#include <cstring>

#include "snapshot.h"

namespace boardsim {

namespace {

constexpr uint8_t kStart = 0x5A;
constexpr uint8_t kTypeAck = 0xA1;
constexpr uint8_t kTypeNak = 0xA2;
constexpr uint8_t kTypeCommand = 0xA4;
constexpr uint8_t kTypeData = 0xA5;
constexpr uint8_t kTypePing = 0xA6;
constexpr uint8_t kTypePingResponse = 0xA7;

constexpr uint8_t kTagRead = 0x03;
constexpr uint8_t kTagErase = 0x0D;
constexpr uint8_t kTagWrite = 0x04;
constexpr uint8_t kTagGetProperty = 0x07;
constexpr uint8_t kTagExecute = 0x09;
constexpr uint8_t kTagGenericResponse = 0xA0;
constexpr uint8_t kTagReadResponse = 0xA3;
constexpr uint8_t kTagPropertyResponse = 0xA7;

constexpr uint32_t kPropertyFlashStart = 3;
constexpr uint32_t kPropertyFlashSize = 4;

constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusInvalidArgument = 4;
constexpr uint32_t kStatusEraseRefused = 103;
constexpr uint32_t kStatusUnknownCommand = 10000;
constexpr uint32_t kStatusSecurityViolation = 10001;
constexpr uint32_t kStatusMemoryRangeInvalid = 10200;
constexpr uint32_t kStatusUnknownProperty = 10300;

constexpr size_t kMaxCommandPayload = 4 + 4 * 7;  // header and up to 7 parameters
constexpr size_t kMaxDataPayload = 32;
constexpr long long kFlashStart = 0;
constexpr long long kFlashSize = 256 * 1024;

// CRC-16, polynomial 0x1021, initial value 0, no reflection, no final XOR.
uint16_t crc16(uint16_t crc, const uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// CRC of a framed packet: bytes 0-3, then the payload from byte 6.
uint16_t packet_crc(const uint8_t* packet, size_t payload_len) {
  return crc16(crc16(0, packet, 4), packet + 6, payload_len);
}

uint16_t get_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put_u16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string format(const char* fmt, unsigned long a, unsigned long b = 0, unsigned long c = 0) {
  char line[160];
  std::snprintf(line, sizeof line, fmt, a, b, c);
  return line;
}

}  // namespace

void KbootRom::reset() {
  out_.clear();
  out_head_ = 0;
  rx_ = Rx::idle;
  pkt_len_ = 0;
  pkt_need_ = 0;
  ack_due_ = false;
  closing_due_ = false;
  data_phase_ = false;
  data_done_ = false;
  downloaded_ = false;
  data_address_ = 0;
  data_left_ = 0;
  packets_ = 0;
  responses_ = 0;
  bad_crc_next_ = false;
  reading_ = false;
  read_address_ = 0;
  read_left_ = 0;
  read_security();
}

void KbootRom::read_security() {
  // Bits 1-0: 0b10 unsecured, anything else secured; bits 5-4: 0b10 mass
  // erase disabled.
  const uint8_t fsec = flash_.read(Flash::kSecurityAddress, 1)[0];
  secured_ = (fsec & 0x03) != 0x02;
  mass_erase_disabled_ = (fsec & 0x30) == 0x20;
}

void KbootRom::save(std::string* out) const {
  SnapshotWriter w(out);
  w.bytes(out_.data() + out_head_, out_.size() - out_head_);
  w.u8(static_cast<uint8_t>(rx_));
  w.bytes(pkt_, pkt_len_);
  w.u32(static_cast<uint32_t>(pkt_need_));
  w.u32(static_cast<uint32_t>(ack_due_ | closing_due_ << 1 | data_phase_ << 2 | data_done_ << 3 |
                             downloaded_ << 4 | bad_crc_next_ << 5 | reading_ << 6 |
                             secured_ << 7 | mass_erase_disabled_ << 8));
  w.u32(data_address_);
  w.u32(data_left_);
  w.u32(read_address_);
  w.u32(read_left_);
  w.u64(packets_);
  w.u64(responses_);
}

bool KbootRom::restore(const std::string& in) {
  SnapshotReader r(in);
  std::string pending = r.rest_string();
  out_.assign(pending.begin(), pending.end());
  out_head_ = 0;
  uint8_t rx = r.u8();
  pkt_len_ = r.bytes(pkt_, sizeof pkt_);
  pkt_need_ = r.u32();
  uint32_t flags = r.u32();
  data_address_ = r.u32();
  data_left_ = r.u32();
  read_address_ = r.u32();
  read_left_ = r.u32();
  packets_ = static_cast<unsigned long>(r.u64());
  responses_ = static_cast<unsigned long>(r.u64());
  ack_due_ = flags & 1;
  closing_due_ = flags & 2;
  data_phase_ = flags & 4;
  data_done_ = flags & 8;
  downloaded_ = flags & 16;
  bad_crc_next_ = flags & 32;
  reading_ = flags & 64;
  secured_ = flags & 128;
  mass_erase_disabled_ = flags & 256;
  rx_ = static_cast<Rx>(rx);
  if (!r.ok() || rx > static_cast<uint8_t>(Rx::discard) || pkt_need_ > sizeof pkt_) {
    reset();
    return false;
  }
  return true;
}

void KbootRom::exchange(const uint8_t* tx, uint8_t* rx, size_t len) {
  if (len == 0) return;
  size_t i = 0;
  // The common case by far (wake-up bytes, polls with nothing to answer):
  // nothing queued and no packet under way. Bytes other than 0x5A are
  // ignored and answered with zeros.
  if (out_head_ == out_.size() && rx_ == Rx::idle) {
    if (tx)
      while (i < len && tx[i] != kStart) ++i;
    else
      i = len;
    if (rx) std::memset(rx, 0, i);
    if (i == len) return;
  }
  if (state_.get_int("kb.silent") != 0) {
    // The bootloader does not answer: zeros out, nothing taken in.
    if (rx) std::memset(rx + i, 0, len - i);
    out_.clear();
    out_head_ = 0;
    rx_ = Rx::idle;
    return;
  }
  for (; i < len; ++i) {
    uint8_t o = 0;
    if (out_head_ < out_.size()) {
      o = out_[out_head_++];
      if (out_head_ == out_.size()) {
        out_.clear();
        out_head_ = 0;
      }
    }
    if (rx) rx[i] = o;
    receive(tx ? tx[i] : 0);
  }
  end_of_exchange();
}

void KbootRom::receive(uint8_t byte) {
  switch (rx_) {
    case Rx::idle:
      if (byte == kStart) {
        pkt_[0] = byte;
        pkt_len_ = 1;
        rx_ = Rx::type;
      }
      return;

    case Rx::type:
      pkt_[1] = byte;
      pkt_len_ = 2;
      switch (byte) {
        case kTypePing:
          rx_ = Rx::idle;
          on_ping();
          return;
        case kTypeAck:
          rx_ = Rx::idle;
          on_host_ack();
          return;
        case kTypeCommand:
        case kTypeData:
          rx_ = Rx::header;
          return;
        default:
          violation(format("packet of unknown type 0x%02lx", byte));
          rx_ = Rx::discard;
          return;
      }

    case Rx::header: {
      pkt_[pkt_len_++] = byte;
      if (pkt_len_ < 6) return;
      size_t n = get_u16(pkt_ + 2);
      bool command = pkt_[1] == kTypeCommand;
      size_t max = command ? kMaxCommandPayload : kMaxDataPayload;
      size_t min = command ? 4 : 1;
      if (n < min || n > max) {
        check_order(false);
        ++packets_;
        violation(format(command ? "command packet with a payload length of %lu bytes"
                                 : "data packet with a payload length of %lu bytes",
                         n));
        send_ack(false);
        rx_ = Rx::discard;
        return;
      }
      pkt_need_ = 6 + n;
      rx_ = Rx::payload;
      return;
    }

    case Rx::payload:
      pkt_[pkt_len_++] = byte;
      if (pkt_len_ == pkt_need_) {
        rx_ = Rx::idle;
        on_framed_packet();
      }
      return;

    case Rx::discard:
      return;
  }
}

void KbootRom::end_of_exchange() {
  if (rx_ == Rx::discard) {
    rx_ = Rx::idle;
    return;
  }
  if (rx_ == Rx::idle) return;
  // Every host packet travels in one chip-select frame.
  violation(format("packet cut short at the end of its exchange: %lu bytes of %lu", pkt_len_,
                   rx_ == Rx::payload ? pkt_need_ : (rx_ == Rx::type ? 2 : 6)));
  rx_ = Rx::idle;
}

void KbootRom::check_order(bool is_ack) {
  if (out_head_ < out_.size()) {
    // The host talks before it has read the bootloader's answer: the
    // bootloader drops what it had not yet sent.
    // A generic response among them never reached the host: no ACK is due.
    violation(format("host packet while %lu bytes of the previous answer were unread",
                     out_.size() - out_head_));
    out_.clear();
    out_head_ = 0;
    ack_due_ = false;
    closing_due_ = false;
  }
  if (is_ack) return;
  if (ack_due_) {
    violation(reading_ ? "no ACK from the host during a read memory"
                       : "no ACK from the host after a generic response");
    ack_due_ = false;
    closing_due_ = false;
  }
  reading_ = false;
}

void KbootRom::on_ping() {
  check_order(false);
  if (data_phase_) {
    violation(format("ping during the data phase, %lu bytes still due", data_left_));
    data_phase_ = false;
  }
  uint8_t response[10] = {kStart, kTypePingResponse, 0x00, 0x02, 0x01, 0x50, 0x00, 0x00};
  put_u16(response + 8, crc16(0, response, 8));
  send(response, sizeof response);
}

void KbootRom::on_host_ack() {
  check_order(true);
  if (!ack_due_) {
    violation("ACK from the host where none was due");
    return;
  }
  ack_due_ = false;
  if (reading_) {
    // Each ACK of the host fetches the next data packet; after the last
    // one the generic response closes the read.
    if (read_left_ > 0) {
      send_read_data();
    } else {
      reading_ = false;
      send_generic(kTagRead, next_status(kStatusSuccess));
    }
    return;
  }
  if (closing_due_) {
    // A write of zero bytes: its data phase is over at once. The host
    // clocks six filler bytes after its ACK; the response comes after them.
    closing_due_ = false;
    static constexpr uint8_t kPause[6] = {};
    out_.insert(out_.end(), kPause, kPause + sizeof kPause);
    send_generic(kTagWrite, next_status(kStatusSuccess));
  }
}

void KbootRom::on_framed_packet() {
  check_order(false);
  ++packets_;
  size_t n = pkt_need_ - 6;
  uint16_t want = packet_crc(pkt_, n);
  uint16_t got = get_u16(pkt_ + 4);
  bool command = pkt_[1] == kTypeCommand;
  if (want != got) {
    violation(format(command ? "command packet with CRC 0x%04lx, expected 0x%04lx"
                             : "data packet with CRC 0x%04lx, expected 0x%04lx",
                     got, want));
    send_ack(false);
    return;
  }
  if (static_cast<long long>(packets_) == state_.get_int("kb.nak_at")) {
    send_ack(false);
    return;
  }
  if (command)
    on_command(pkt_ + 6, n);
  else
    on_data(pkt_ + 6, n);
}

void KbootRom::on_command(const uint8_t* p, size_t n) {
  uint8_t tag = p[0];
  unsigned count = p[3];
  if (n != 4 + 4 * count) {
    violation(format("command 0x%02lx with %lu parameters in a payload of %lu bytes", tag, count, n));
    send_ack(false);
    return;
  }
  if (data_phase_) {
    violation(format("command 0x%02lx during the data phase, %lu bytes still due", tag, data_left_));
    data_phase_ = false;
  }
  data_done_ = false;
  send_ack(true);
  answering_ = tag;  // until its first response is built
  answer_command(tag, p + 4, count);
  answering_ = -1;
}

void KbootRom::answer_command(uint8_t tag, const uint8_t* param, unsigned count) {
  int want_count;
  switch (tag) {
    case kTagErase: want_count = 0; break;
    case kTagRead: want_count = 2; break;
    case kTagWrite: want_count = 2; break;
    case kTagGetProperty: want_count = count == 1 ? 1 : 2; break;  // memory id optional
    case kTagExecute: want_count = 3; break;
    default:
      violation(format("unknown command 0x%02lx", tag));
      send_generic(tag, next_status(kStatusUnknownCommand));
      return;
  }
  if (count != static_cast<unsigned>(want_count)) {
    violation(format("command 0x%02lx with %lu parameters, expected %lu", tag, count, want_count));
    send_generic(tag, next_status(kStatusInvalidArgument));
    return;
  }

  switch (tag) {
    case kTagGetProperty:
      on_get_property(param);
      return;
    case kTagRead:
      on_read_memory(param);
      return;
    case kTagErase: {
      uint32_t status =
          next_status(secured_ && mass_erase_disabled_ ? kStatusEraseRefused : kStatusSuccess);
      if (status == kStatusSuccess) {
        secured_ = false;  // the erase unsecures the MCU
        flash_.erase();
        state_.set_int("kb.erased", 1);
        state_.set("mcu.firmware", "erased");
        downloaded_ = false;
      }
      send_generic(tag, status);
      return;
    }
    case kTagWrite: {
      uint32_t address = get_u32(param);
      uint32_t bytes = get_u32(param + 4);
      uint32_t status = next_status(secured_                   ? kStatusSecurityViolation
                                    : in_flash(address, bytes) ? kStatusSuccess
                                                               : kStatusMemoryRangeInvalid);
      if (status == kStatusSuccess) {
        if (bytes == 0) {
          closing_due_ = true;
        } else {
          downloaded_ = false;
          data_phase_ = true;
          data_address_ = address;
          data_left_ = bytes;
        }
      }
      send_generic(tag, status);
      return;
    }
    case kTagExecute: {
      uint32_t status = next_status(kStatusSuccess);
      if (status == kStatusSuccess) {
        char text[40];
        std::snprintf(text, sizeof text, "%lx,%lx,%lx", static_cast<unsigned long>(get_u32(param)),
                      static_cast<unsigned long>(get_u32(param + 4)),
                      static_cast<unsigned long>(get_u32(param + 8)));
        state_.set("kb.executed", text);
        if (downloaded_) state_.erase("mcu.firmware");
      }
      send_generic(tag, status);
      return;
    }
    default:
      return;
  }
}

void KbootRom::on_data(const uint8_t* p, size_t n) {
  if (!data_phase_) {
    violation(data_done_ ? format("data packet of %lu bytes beyond the announced byte count", n)
                         : format("data packet of %lu bytes outside a write memory", n));
    send_ack(false);
    return;
  }
  if (n > data_left_) {
    violation(format("data packet of %lu bytes where only %lu announced bytes remain", n, data_left_));
    send_ack(false);
    return;
  }
  uint8_t stored[kMaxDataPayload];
  std::memcpy(stored, p, n);
  // The fault: one byte lands in flash other than it was sent.
  if (state_.has("kb.corrupt_at")) {
    uint64_t at = static_cast<uint64_t>(state_.get_int("kb.corrupt_at"));
    if (at >= data_address_ && at < static_cast<uint64_t>(data_address_) + n)
      stored[at - data_address_] ^= 0xFF;
  }
  flash_.write(data_address_, stored, n);
  data_address_ += static_cast<uint32_t>(n);
  data_left_ -= static_cast<uint32_t>(n);
  send_ack(true);
  if (data_left_ == 0) {
    data_phase_ = false;
    data_done_ = true;
    downloaded_ = true;
    send_generic(kTagWrite, next_status(kStatusSuccess));
  }
}

void KbootRom::send(const uint8_t* packet, size_t len) {
  long long filler = state_.get_int("kb.filler", 2);
  long long storm = state_.get_int("kb.storm", 0);
  constexpr long long kMaxFill = 1 << 20;
  filler = filler < 0 ? 0 : filler > kMaxFill ? kMaxFill : filler;
  storm = storm < 0 ? 0 : storm > kMaxFill ? kMaxFill : storm;
  out_.insert(out_.end(), static_cast<size_t>(filler), 0x00);
  out_.insert(out_.end(), static_cast<size_t>(storm), 0xFF);
  out_.insert(out_.end(), packet, packet + len);
}

void KbootRom::send_ack(bool ack) {
  const uint8_t packet[2] = {kStart, ack ? kTypeAck : kTypeNak};
  send(packet, sizeof packet);
}

uint32_t KbootRom::next_status(uint32_t natural) {
  ++responses_;
  long long k = static_cast<long long>(responses_);
  bad_crc_next_ = state_.get_int("kb.bad_crc_at") == k;
  const int answering = answering_;
  answering_ = -1;
  if (answering >= 0 && state_.get_int("kb.error_command", -1) == answering)
    return static_cast<uint32_t>(state_.get_int("kb.error_status", kStatusUnknownCommand));
  if (state_.get_int("kb.error_at") == k)
    return static_cast<uint32_t>(state_.get_int("kb.error_status", kStatusUnknownCommand));
  return natural;
}

void KbootRom::send_generic(uint32_t tag, uint32_t status) {
  const uint32_t params[2] = {status, tag};
  send_response(kTagGenericResponse, params, 2);
}

void KbootRom::send_response(uint8_t tag, const uint32_t* params, size_t count) {
  uint8_t packet[6 + 4 + 4 * 2] = {kStart, kTypeCommand, 0, 0, 0, 0, tag, 0, 0,
                                   static_cast<uint8_t>(count)};
  for (size_t i = 0; i < count; ++i) put_u32(packet + 10 + 4 * i, params[i]);
  const size_t payload = 4 + 4 * count;
  put_u16(packet + 2, static_cast<uint16_t>(payload));
  uint16_t crc = packet_crc(packet, payload);
  if (bad_crc_next_) crc ^= 0xFFFF;
  bad_crc_next_ = false;
  put_u16(packet + 4, crc);
  send(packet, 6 + payload);
  ack_due_ = true;
}

bool KbootRom::in_flash(uint32_t address, uint32_t bytes) const {
  const long long start = state_.get_int("kb.flash_start", kFlashStart);
  const long long size = state_.get_int("kb.flash_size", kFlashSize);
  return static_cast<long long>(address) >= start &&
         static_cast<long long>(address) + bytes <= start + size;
}

void KbootRom::on_get_property(const uint8_t* param) {
  const uint32_t property = get_u32(param);
  long long value = 0;
  uint32_t natural = kStatusSuccess;
  if (property == kPropertyFlashStart)
    value = state_.get_int("kb.flash_start", kFlashStart);
  else if (property == kPropertyFlashSize)
    value = state_.get_int("kb.flash_size", kFlashSize);
  else
    natural = kStatusUnknownProperty;
  if (state_.get_int("kb.no_properties") != 0) natural = kStatusUnknownProperty;
  const uint32_t params[2] = {next_status(natural), static_cast<uint32_t>(value)};
  // An error carries the status alone.
  send_response(kTagPropertyResponse, params, params[0] == kStatusSuccess ? 2 : 1);
}

void KbootRom::on_read_memory(const uint8_t* param) {
  const uint32_t address = get_u32(param);
  const uint32_t bytes = get_u32(param + 4);
  const uint32_t status = next_status(secured_                   ? kStatusSecurityViolation
                                      : in_flash(address, bytes) ? kStatusSuccess
                                                                 : kStatusMemoryRangeInvalid);
  const uint32_t params[2] = {status, status == kStatusSuccess ? bytes : 0};
  send_response(kTagReadResponse, params, 2);
  // After the host's ACK: the data packets, then the closing response.
  if (status == kStatusSuccess) {
    reading_ = true;
    read_address_ = address;
    read_left_ = bytes;
  }
}

void KbootRom::send_read_data() {
  const size_t n = read_left_ < kMaxDataPayload ? read_left_ : kMaxDataPayload;
  const std::vector<uint8_t> bytes = flash_.read(read_address_, n);
  uint8_t packet[6 + kMaxDataPayload] = {kStart, kTypeData};
  put_u16(packet + 2, static_cast<uint16_t>(n));
  std::memcpy(packet + 6, bytes.data(), n);
  put_u16(packet + 4, packet_crc(packet, n));
  send(packet, 6 + n);
  read_address_ += static_cast<uint32_t>(n);
  read_left_ -= static_cast<uint32_t>(n);
  ack_due_ = true;
}

void KbootRom::violation(const std::string& what) {
  state_.set_int("kb.violations", state_.get_int("kb.violations") + 1);
  if (note_) note_(what);
}

}  // namespace boardsim
