#include "kboot_link.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

kboot_result exchange_failed(void) {
  kboot_result r;
  r.status = kboot_status::exchange_failed;
  r.value = static_cast<uint32_t>(errno);
  return r;
}

bool exchange(const kboot_link* link, const uint8_t* tx, uint8_t* rx, size_t length) {
  return spidev_exchange(link->device, tx, rx, static_cast<uint32_t>(length)) == 0;
}

// Reads `length` bytes, sending 0x00 for each in its own exchange.
bool read_bytes(const kboot_link* link, uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const uint8_t zero = 0x00;
    if (!exchange(link, &zero, &bytes[i], 1)) return false;
  }
  return true;
}

// Sends a whole packet, discarding what comes back meanwhile.
kboot_result send_packet(const kboot_link* link, const uint8_t* packet, size_t size) {
  uint8_t ignored[KBOOT_COMMAND_MAX_SIZE > KBOOT_DATA_MAX_SIZE ? KBOOT_COMMAND_MAX_SIZE
                                                               : KBOOT_DATA_MAX_SIZE];
  if (size > sizeof ignored) size = sizeof ignored;
  if (!exchange(link, packet, ignored, size)) return exchange_failed();
  return {};
}

// Reads `length` bytes in one exchange, sending 0x00 for each.
bool read_block(const kboot_link* link, uint8_t* bytes, size_t length) {
  static const uint8_t zeros[KBOOT_RESPONSE_MAX_SIZE > KBOOT_DATA_MAX_SIZE ? KBOOT_RESPONSE_MAX_SIZE
                                                                         : KBOOT_DATA_MAX_SIZE] = {};
  return length <= sizeof zeros && exchange(link, zeros, bytes, length);
}

kboot_result bad_packet(const char* awaited, uint32_t what) {
  kboot_result r;
  r.status = kboot_status::bad_packet;
  r.awaited = awaited;
  r.value = what;
  return r;
}

// The CRC a packet carries against the one over its bytes 0-3 and payload.
kboot_result check_crc(const uint8_t* packet, size_t size) {
  kboot_result r;
  r.crc_received = get_u16_le(packet + 4);
  r.crc_calculated = kboot_packet_crc(packet, size - KBOOT_HEADER_SIZE);
  if (r.crc_calculated != r.crc_received) r.status = kboot_status::bad_crc;
  return r;
}

// The host's ACK where the bootloader goes on at once (read memory): no
// filler bytes after it, which could swallow the next packet's start.
kboot_result send_bare_ack(const kboot_link* link) {
  kboot_say(link, "Send ack\n");
  const uint8_t ack[2] = {KBOOT_START_BYTE, KBOOT_PACKET_ACK};
  uint8_t ignored[2];
  if (!exchange(link, ack, ignored, sizeof ack)) return exchange_failed();
  return {};
}

// Milliseconds of a clock reading: tv_nsec is below 10^9, so its division
// stays in 32 bits.
int64_t milliseconds(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000 + static_cast<uint32_t>(t.tv_nsec) / 1000000u;
}

int64_t clock_ms(const kboot_link* link) {
  timespec now{};
  link->clock(&now);
  return milliseconds(now);
}

enum class PollKind { ping, ack, generic_response };

// Clocks single bytes until the bootloader answers the start byte 0x5A.
// Everything before it is filler. The ping poll sends back the byte it
// received last (starting with `first`); the others send 0x00. Gives up
// after KBOOT_POLL_TIMEOUT_MS, naming what it waited for.
kboot_result poll_for_start(const kboot_link* link, PollKind kind, uint8_t first,
                            const char* awaited) {
  const int64_t start = clock_ms(link);
  uint8_t last = first;
  for (;;) {
    const uint8_t out = kind == PollKind::ping ? last : 0x00;
    if (!exchange(link, &out, &last, 1)) return exchange_failed();
    if (last == KBOOT_START_BYTE) return {};
    if (last != 0x00) {
      kboot_say(link, "Skipping non-zero packet to sync\n");
    } else if (kind == PollKind::generic_response) {
      kboot_say(link, "Skipping 0x00 packet\n");
    }
    const int64_t waited = clock_ms(link) - start;
    if (waited >= KBOOT_POLL_TIMEOUT_MS || waited < 0) {
      kboot_result r;
      r.status = kboot_status::no_answer;
      r.awaited = awaited;
      return r;
    }
  }
}

}  // namespace

void kboot_say(const kboot_link* link, const char* format, ...) {
  if (!link->verbose) return;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
}

void kboot_trace(const kboot_link* link, const uint8_t* packet, size_t size, const char* label) {
  if (link->verbose) spidev_dump(packet, size, size, label, false);
}

kboot_result kboot_wake_up(const kboot_link* link) {
  // The bootloader needs a moment after its restart; the bytes it returns
  // meanwhile mean nothing. Whole seconds, as a phase of "until the clock
  // has moved on by two" has always been counted.
  timespec now{};
  link->clock(&now);
  const int64_t start = now.tv_sec;
  for (;;) {
    link->clock(&now);
    if (now.tv_sec - start >= KBOOT_WAKE_UP_SECONDS) break;
    const uint8_t wake = 0xFF;
    uint8_t ignored = 0;
    if (!exchange(link, &wake, &ignored, 1)) return exchange_failed();
  }
  return {};
}

kboot_result kboot_ping(const kboot_link* link) {
  const uint8_t ping[2] = {KBOOT_START_BYTE, KBOOT_PACKET_PING};
  uint8_t echo[2] = {0, 0};
  if (!exchange(link, ping, echo, sizeof ping)) return exchange_failed();
  const kboot_result polled = poll_for_start(link, PollKind::ping, echo[0], "ping response");
  if (polled.status != kboot_status::ok) return polled;
  kboot_say(link, "Got magic packet\n");
  uint8_t response[KBOOT_PING_RESPONSE_SIZE] = {KBOOT_START_BYTE};
  if (!read_bytes(link, response + 1, sizeof response - 1)) return exchange_failed();
  kboot_trace(link, response, sizeof response, "Ping response");
  return {};
}

kboot_result kboot_send_ack(const kboot_link* link) {
  kboot_say(link, "Send ack\n");
  const uint8_t ack[2] = {KBOOT_START_BYTE, KBOOT_PACKET_ACK};
  uint8_t ignored[6];
  if (!exchange(link, ack, ignored, sizeof ack)) return exchange_failed();
  // Six more bytes let the bootloader finish with the ACK.
  if (!read_bytes(link, ignored, sizeof ignored)) return exchange_failed();
  return {};
}

kboot_result kboot_wait_ack(const kboot_link* link) {
  const kboot_result polled = poll_for_start(link, PollKind::ack, 0x00, "ack");
  if (polled.status != kboot_status::ok) return polled;
  uint8_t type = 0;
  if (!read_bytes(link, &type, 1)) return exchange_failed();
  if (type != KBOOT_PACKET_ACK) {
    kboot_result r;
    r.status = kboot_status::no_ack;
    r.value = type;
    return r;
  }
  kboot_say(link, "Got ack\n");
  return {};
}

kboot_result kboot_read_generic_response(const kboot_link* link) {
  const kboot_result polled =
      poll_for_start(link, PollKind::generic_response, 0x00, "generic response");
  if (polled.status != kboot_status::ok) return polled;
  kboot_say(link, "Got magic packet\n");
  uint8_t response[KBOOT_GENERIC_RESPONSE_SIZE];
  response[0] = KBOOT_START_BYTE;
  if (!read_bytes(link, response + 1, KBOOT_GENERIC_RESPONSE_SIZE - 1)) return exchange_failed();
  kboot_trace(link, response, KBOOT_GENERIC_RESPONSE_SIZE, "Generic response");
  // The ACK goes out before anything in the response is checked.
  const kboot_result acked = kboot_send_ack(link);
  if (acked.status != kboot_status::ok) return acked;

  // Its length field is not trusted: the CRC covers all eighteen bytes.
  kboot_result r = check_crc(response, KBOOT_GENERIC_RESPONSE_SIZE);
  if (r.status != kboot_status::ok) return r;
  r.value = kboot_response_status(response);
  if (r.value != 0) r.status = kboot_status::error_status;
  return r;
}

kboot_result kboot_send_command(const kboot_link* link, const kboot_command& command) {
  uint8_t packet[KBOOT_COMMAND_MAX_SIZE];
  const size_t size =
      kboot_build_command(packet, command.tag, command.reserved, command.parameters, command.count);
  kboot_trace(link, packet, size, command.label);
  kboot_result r = send_packet(link, packet, size);
  if (r.status == kboot_status::ok) r = kboot_wait_ack(link);
  if (r.status == kboot_status::ok) r = kboot_read_generic_response(link);
  return r;
}

kboot_result kboot_send_data(const kboot_link* link, const uint8_t* chunk, size_t length) {
  uint8_t packet[KBOOT_DATA_MAX_SIZE];
  const size_t size = kboot_build_data(packet, chunk, length);
  kboot_trace(link, packet, size, "data");
  kboot_result r = send_packet(link, packet, size);
  if (r.status == kboot_status::ok) r = kboot_wait_ack(link);
  return r;
}

namespace {

// A response packet of any length up to KBOOT_RESPONSE_MAX_SIZE: after the
// poll, its header in one exchange and its payload in another.
kboot_result read_response(const kboot_link* link, const char* awaited, const char* label,
                           uint8_t* packet, size_t* size) {
  const kboot_result polled = poll_for_start(link, PollKind::generic_response, 0x00, awaited);
  if (polled.status != kboot_status::ok) return polled;
  kboot_say(link, "Got magic packet\n");
  packet[0] = KBOOT_START_BYTE;
  if (!read_block(link, packet + 1, KBOOT_HEADER_SIZE - 1)) return exchange_failed();
  const size_t length = get_u16_le(packet + 2);
  if (packet[1] != KBOOT_PACKET_COMMAND || length < 4 ||
      length > KBOOT_RESPONSE_MAX_SIZE - KBOOT_HEADER_SIZE)
    return bad_packet(awaited, packet[1]);
  if (!read_block(link, packet + KBOOT_HEADER_SIZE, length)) return exchange_failed();
  *size = KBOOT_HEADER_SIZE + length;
  kboot_trace(link, packet, *size, label);
  return {};
}

// A command with two parameters whose answer is a response packet with
// `tag` (get-property, read memory): the command, its ACK, the response,
// the host's ACK (with its filler bytes unless data packets follow at
// once), then the response's CRC, tag and status, the first parameter.
// *second receives the second parameter.
kboot_result query(const kboot_link* link, uint8_t command, uint32_t first_parameter,
                   uint32_t second_parameter, uint8_t tag, const char* label,
                   const char* awaited, const char* response_label, bool data_follows,
                   uint32_t* second) {
  const uint32_t parameters[2] = {first_parameter, second_parameter};
  uint8_t packet[KBOOT_RESPONSE_MAX_SIZE];
  size_t size = kboot_build_command(packet, command, 0x00, parameters, 2);
  kboot_trace(link, packet, size, label);
  kboot_result r = send_packet(link, packet, size);
  if (r.status == kboot_status::ok) r = kboot_wait_ack(link);
  if (r.status == kboot_status::ok) r = read_response(link, awaited, response_label, packet, &size);
  if (r.status == kboot_status::ok) r = data_follows ? send_bare_ack(link) : kboot_send_ack(link);
  if (r.status != kboot_status::ok) return r;
  r = check_crc(packet, size);
  if (r.status != kboot_status::ok) return r;
  const uint8_t* payload = packet + KBOOT_HEADER_SIZE;
  const size_t count = payload[3];
  if (payload[0] != tag || count < 1 || 4 + 4 * count > size - KBOOT_HEADER_SIZE)
    return bad_packet(awaited, payload[0]);
  r.value = get_u32_le(payload + 4);
  if (r.value != 0) {
    r.status = kboot_status::error_status;
    return r;
  }
  if (count < 2) return bad_packet(awaited, payload[0]);
  *second = get_u32_le(payload + 8);
  return r;
}

}  // namespace

kboot_result kboot_get_property(const kboot_link* link, uint32_t property, uint32_t* value) {
  return query(link, KBOOT_CMD_GET_PROPERTY, property, 0, KBOOT_GET_PROPERTY_RESPONSE,
               "get property", "get-property response", "Get property response", false, value);
}

kboot_result kboot_read_memory(const kboot_link* link, uint32_t address, uint32_t count) {
  uint32_t announced = 0;
  const char* awaited = "read-memory response";
  const kboot_result r = query(link, KBOOT_CMD_READ_MEMORY, address, count,
                               KBOOT_READ_MEMORY_RESPONSE, "read memory", awaited,
                               "Read memory response", true, &announced);
  if (r.status == kboot_status::ok && announced != count)
    return bad_packet(awaited, KBOOT_READ_MEMORY_RESPONSE);
  return r;
}

kboot_result kboot_read_data(const kboot_link* link, uint8_t* bytes, size_t length) {
  const char* awaited = "data packet";
  const kboot_result polled = poll_for_start(link, PollKind::ack, 0x00, awaited);
  if (polled.status != kboot_status::ok) return polled;
  uint8_t packet[KBOOT_DATA_MAX_SIZE] = {KBOOT_START_BYTE};
  if (length < 1 || length > KBOOT_DATA_CHUNK) length = KBOOT_DATA_CHUNK;
  const size_t size = KBOOT_HEADER_SIZE + length;
  if (!read_block(link, packet + 1, size - 1)) return exchange_failed();
  kboot_trace(link, packet, size, "read data");
  kboot_result r = send_bare_ack(link);
  if (r.status != kboot_status::ok) return r;
  if (packet[1] != KBOOT_PACKET_DATA || get_u16_le(packet + 2) != length)
    return bad_packet(awaited, packet[1]);
  r = check_crc(packet, size);
  if (r.status == kboot_status::ok) memcpy(bytes, packet + KBOOT_HEADER_SIZE, length);
  return r;
}
