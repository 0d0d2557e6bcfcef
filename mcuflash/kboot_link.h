// The link procedures with the MCU's KBoot ROM bootloader: ping, ACKs and
// the generic response, each polling for the bootloader's start byte within
// a bounded time. They return what happened and print only verbose output.
#pragma once

#include <stdint.h>

#include "kboot_packet.h"
#include "spi_transport.h"
#include "spidev.h"

// How long a poll waits for the start byte before giving up. Generous: a
// mass erase may keep the bootloader busy for a good while.
constexpr int64_t KBOOT_POLL_TIMEOUT_MS = 10000;

// The clock the poll bound is measured on, in milliseconds: the monotonic
// clock unless a test puts its own in place.
extern int64_t (*kboot_clock_ms)(void);
constexpr int64_t (*kboot_monotonic_ms)(void) = monotonic_ms;

enum class kboot_status {
  ok,
  exchange_failed,  // the driver refused an exchange; `value` is errno
  no_answer,        // no start byte within the bound; `awaited` names the packet
  no_ack,           // `value` is the byte that came in place of the ACK
  bad_crc,          // `crc_calculated` and `crc_received` differ
  error_status,     // `value` is the generic response's non-zero status
  image_unreadable, // the image file could not be read (already reported)
};

struct kboot_result {
  kboot_status status = kboot_status::ok;
  const char* awaited = nullptr;
  uint32_t value = 0;
  uint16_t crc_calculated = 0;
  uint16_t crc_received = 0;
};

// The clock of the wake-up phase: whole seconds of the monotonic clock, so
// that a step of the calendar clock (NTP at boot) cannot cut or stretch it.
// Differences are taken modulo 2^32.
uint32_t kboot_wake_clock_seconds(void);

// Clocks single 0xFF bytes until the wake-up clock has moved on by 2.
kboot_result kboot_wake_up(int fd);

kboot_result kboot_ping(int fd);
kboot_result kboot_send_ack(int fd);
kboot_result kboot_wait_ack(int fd);
// Reads the response, acknowledges it, then checks its CRC and status.
kboot_result kboot_read_generic_response(int fd);
// Sends a whole packet, discarding what comes back meanwhile.
kboot_result kboot_send_packet(int fd, const uint8_t* packet, size_t size);
