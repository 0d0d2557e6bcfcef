#include "kboot_link.h"

#include <errno.h>
#include <time.h>

int64_t (*kboot_clock_ms)(void) = kboot_monotonic_ms;

namespace {

kboot_result exchange_failed(void) {
  kboot_result r;
  r.status = kboot_status::exchange_failed;
  r.value = static_cast<uint32_t>(errno);
  return r;
}

bool exchange(int fd, const uint8_t* tx, uint8_t* rx, size_t length) {
  return spi_exchange(fd, tx, rx, static_cast<uint32_t>(length)) >= 1;
}

// Reads `length` bytes, sending 0x00 for each in its own exchange.
bool read_bytes(int fd, uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const uint8_t zero = 0x00;
    if (!exchange(fd, &zero, &bytes[i], 1)) return false;
  }
  return true;
}

enum class PollKind { ping, ack, generic_response };

// Clocks single bytes until the bootloader answers the start byte 0x5A.
// Everything before it is filler. The ping poll sends back the byte it
// received last (starting with `first`); the others send 0x00. Gives up
// after KBOOT_POLL_TIMEOUT_MS, naming what it waited for.
kboot_result poll_for_start(int fd, PollKind kind, uint8_t first, const char* awaited) {
  const int64_t start = kboot_clock_ms();
  uint8_t last = first;
  for (;;) {
    const uint8_t out = kind == PollKind::ping ? last : 0x00;
    if (!exchange(fd, &out, &last, 1)) return exchange_failed();
    if (last == KBOOT_START_BYTE) return {};
    if (last != 0x00) {
      verbose_printf("Skipping non-zero packet to sync\n");
    } else if (kind == PollKind::generic_response) {
      verbose_printf("Skipping 0x00 packet\n");
    }
    const int64_t waited = kboot_clock_ms() - start;
    if (waited >= KBOOT_POLL_TIMEOUT_MS || waited < 0) {
      kboot_result r;
      r.status = kboot_status::no_answer;
      r.awaited = awaited;
      return r;
    }
  }
}

}  // namespace

uint32_t kboot_wake_clock_seconds(void) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec);
}

kboot_result kboot_wake_up(int fd) {
  // The bootloader needs a moment after its restart; the bytes it returns
  // meanwhile mean nothing.
  const uint32_t start = kboot_wake_clock_seconds();
  while (kboot_wake_clock_seconds() - start < 2) {
    const uint8_t wake = 0xFF;
    uint8_t ignored = 0;
    if (!exchange(fd, &wake, &ignored, 1)) return exchange_failed();
  }
  return {};
}

kboot_result kboot_send_packet(int fd, const uint8_t* packet, size_t size) {
  uint8_t ignored[KBOOT_COMMAND_MAX_SIZE > KBOOT_DATA_MAX_SIZE ? KBOOT_COMMAND_MAX_SIZE
                                                               : KBOOT_DATA_MAX_SIZE];
  if (size > sizeof ignored) size = sizeof ignored;
  if (!exchange(fd, packet, ignored, size)) return exchange_failed();
  return {};
}

kboot_result kboot_ping(int fd) {
  const uint8_t ping[2] = {KBOOT_START_BYTE, KBOOT_PACKET_PING};
  uint8_t echo[2] = {0, 0};
  if (!exchange(fd, ping, echo, sizeof ping)) return exchange_failed();
  const kboot_result polled = poll_for_start(fd, PollKind::ping, echo[0], "ping response");
  if (polled.status != kboot_status::ok) return polled;
  verbose_printf("Got magic packet\n");
  uint8_t response[KBOOT_PING_RESPONSE_SIZE] = {KBOOT_START_BYTE};
  if (!read_bytes(fd, response + 1, sizeof response - 1)) return exchange_failed();
  trace_dump(response, sizeof response, sizeof response, "Ping response");
  return {};
}

kboot_result kboot_send_ack(int fd) {
  verbose_printf("Send ack\n");
  const uint8_t ack[2] = {KBOOT_START_BYTE, KBOOT_PACKET_ACK};
  uint8_t ignored[6];
  if (!exchange(fd, ack, ignored, sizeof ack)) return exchange_failed();
  // Six more bytes let the bootloader finish with the ACK.
  if (!read_bytes(fd, ignored, sizeof ignored)) return exchange_failed();
  return {};
}

kboot_result kboot_wait_ack(int fd) {
  const kboot_result polled = poll_for_start(fd, PollKind::ack, 0x00, "ack");
  if (polled.status != kboot_status::ok) return polled;
  uint8_t type = 0;
  if (!read_bytes(fd, &type, 1)) return exchange_failed();
  if (type != KBOOT_PACKET_ACK) {
    kboot_result r;
    r.status = kboot_status::no_ack;
    r.value = type;
    return r;
  }
  verbose_printf("Got ack\n");
  return {};
}

kboot_result kboot_read_generic_response(int fd) {
  const kboot_result polled =
      poll_for_start(fd, PollKind::generic_response, 0x00, "generic response");
  if (polled.status != kboot_status::ok) return polled;
  verbose_printf("Got magic packet\n");
  uint8_t response[KBOOT_GENERIC_RESPONSE_SIZE] = {KBOOT_START_BYTE};
  if (!read_bytes(fd, response + 1, sizeof response - 1)) return exchange_failed();
  trace_dump(response, sizeof response, sizeof response, "Generic response");
  // The ACK goes out before anything in the response is checked.
  const kboot_result acked = kboot_send_ack(fd);
  if (acked.status != kboot_status::ok) return acked;

  kboot_result r;
  r.crc_calculated = kboot_response_crc_calculated(response);
  r.crc_received = kboot_response_crc_received(response);
  if (r.crc_calculated != r.crc_received) {
    r.status = kboot_status::bad_crc;
    return r;
  }
  r.value = kboot_response_status(response);
  if (r.value != 0) r.status = kboot_status::error_status;
  return r;
}
