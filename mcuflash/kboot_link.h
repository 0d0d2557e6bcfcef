// The link with the MCU's KBoot ROM bootloader: the wake-up phase, framing
// packets on the device, polls for the start byte within a bounded time,
// ACKs, responses and the command helper. Everything returns what happened
// and prints only verbose output.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "kboot_packet.h"
#include "spidev.h"

// How long a poll waits for the start byte before giving up. Generous: a
// mass erase may keep the bootloader busy for a good while.
constexpr int64_t KBOOT_POLL_TIMEOUT_MS = 10000;
// The wake-up phase clocks 0xFF until the clock's whole seconds have moved
// on by this many.
constexpr int64_t KBOOT_WAKE_UP_SECONDS = 2;

struct kboot_link {
  const spidev_device* device;  // open and configured, exchanges untraced
  bool verbose;                 // messages and packet rows on standard output
  // The clock of the poll bound and the wake-up phase: the monotonic clock
  // (monotonic_clock.h), or a test's own. Whole seconds come straight from
  // tv_sec; milliseconds need no 64-bit division.
  void (*clock)(timespec* now);
};

enum class kboot_status {
  ok,
  exchange_failed,  // the driver refused an exchange; `value` is errno
  no_answer,        // no start byte within the bound; `awaited` names the packet
  no_ack,           // `value` is the byte that came in place of the ACK
  bad_crc,          // `crc_calculated` and `crc_received` differ
  error_status,     // `value` is the response's non-zero status
  bad_packet,       // `awaited` came as another packet; `value` its type or tag
};

struct kboot_result {
  kboot_status status = kboot_status::ok;
  const char* awaited = nullptr;
  uint32_t value = 0;
  uint16_t crc_calculated = 0;
  uint16_t crc_received = 0;
};

// One command: its tag, reserved byte, parameters and trace label.
struct kboot_command {
  uint8_t tag;
  uint8_t reserved;
  const uint32_t* parameters;
  size_t count;  // at most KBOOT_MAX_PARAMETERS
  const char* label;
};

// printf in verbose mode only.
void kboot_say(const kboot_link* link, const char* format, ...) __attribute__((format(printf, 2, 3)));
// A packet's trace row (one row, no character column), in verbose mode only.
void kboot_trace(const kboot_link* link, const uint8_t* packet, size_t size, const char* label);

// Clocks single 0xFF bytes until the clock has moved on by the wake-up time.
kboot_result kboot_wake_up(const kboot_link* link);
kboot_result kboot_ping(const kboot_link* link);
kboot_result kboot_send_ack(const kboot_link* link);
kboot_result kboot_wait_ack(const kboot_link* link);
// Reads the response, acknowledges it, then checks its CRC and status.
kboot_result kboot_read_generic_response(const kboot_link* link);
// Sends a command packet, waits for its ACK and reads its response.
kboot_result kboot_send_command(const kboot_link* link, const kboot_command& command);
// Sends one data packet of 1 to KBOOT_DATA_CHUNK bytes and waits for its ACK.
kboot_result kboot_send_data(const kboot_link* link, const uint8_t* chunk, size_t length);

// get-property with memory id 0: *value receives the property. A refusal
// is error_status with the bootloader's status in `value`.
kboot_result kboot_get_property(const kboot_link* link, uint32_t property, uint32_t* value);
// read memory: the command and the bootloader's response announcing
// `count` bytes. The bytes follow with kboot_read_data, packet by packet,
// and kboot_read_generic_response ends the command.
kboot_result kboot_read_memory(const kboot_link* link, uint32_t address, uint32_t count);
// One data packet of exactly `length` bytes (1 to KBOOT_DATA_CHUNK) from the
// bootloader, acknowledged; the rest after its 0x5A comes in one exchange.
kboot_result kboot_read_data(const kboot_link* link, uint8_t* bytes, size_t length);
