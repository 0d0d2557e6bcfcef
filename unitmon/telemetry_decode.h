// Decoding of the unit's telemetry datagrams (UDP port 2013). Every datagram
// begins with a 16-bit big-endian type; the fields follow at fixed offsets.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "telemetry_wire.h"

enum telemetry_result {
  TELEMETRY_OK,
  TELEMETRY_TOO_SHORT,     // fewer than the two bytes of the type
  TELEMETRY_BAD_LENGTH,    // a known type of the wrong length
  TELEMETRY_UNKNOWN_TYPE,
};

// One decoded datagram. Out-of-range status values are kept but flagged:
// they are never shown as readings.
struct telemetry_record {
  uint16_t type;
  // status
  uint8_t battery;        // percent when battery_valid
  uint8_t charging;       // 0 off, 1 on, 2 error when charging_valid
  bool battery_valid;
  bool charging_valid;
  // version
  uint8_t major;
  uint8_t minor;
  uint16_t patch;
  // identity: the serial number's bytes up to the first zero byte
  uint8_t serial[TELEMETRY_SERIAL_LEN];
  uint8_t serial_len;
  uint8_t uuid[TELEMETRY_UUID_LEN];
};

// Decodes one datagram into *out (filled only on TELEMETRY_OK; out->type is
// set whenever the datagram has a type).
telemetry_result telemetry_decode(const uint8_t* data, size_t len, telemetry_record* out);

// The expected length of a known type, 0 for an unknown one.
size_t telemetry_expected_length(uint16_t type);

// "OFF", "ON" or "ERROR" as unitctl -c prints them; "invalid" otherwise.
const char* telemetry_charging_text(uint8_t charging);
