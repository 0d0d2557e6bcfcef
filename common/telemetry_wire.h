// The telemetry datagrams on the wire, for the sender (unitctl), the
// listener (unitmon) and the simulator. Every datagram begins with a 16-bit
// big-endian type; every multi-byte field is big-endian.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint16_t TELEMETRY_PORT = 2013;

constexpr uint16_t TELEMETRY_STATUS = 0;    // type, battery %, charging
constexpr uint16_t TELEMETRY_VERSION = 1;   // type, major, minor, patch
constexpr uint16_t TELEMETRY_IDENTITY = 2;  // type, serial and its zero byte, UUID

constexpr size_t TELEMETRY_SERIAL_LEN = 10;  // characters; an eleventh byte ends them
constexpr size_t TELEMETRY_UUID_LEN = 16;

constexpr size_t TELEMETRY_STATUS_LEN = 4;
constexpr size_t TELEMETRY_STATUS_BATTERY = 2;
constexpr size_t TELEMETRY_STATUS_CHARGING = 3;

constexpr size_t TELEMETRY_VERSION_LEN = 6;
constexpr size_t TELEMETRY_VERSION_MAJOR = 2;
constexpr size_t TELEMETRY_VERSION_MINOR = 3;
constexpr size_t TELEMETRY_VERSION_PATCH = 4;  // 2 bytes

constexpr size_t TELEMETRY_IDENTITY_SERIAL = 2;  // TELEMETRY_SERIAL_LEN + 1 bytes
constexpr size_t TELEMETRY_IDENTITY_UUID = TELEMETRY_IDENTITY_SERIAL + TELEMETRY_SERIAL_LEN + 1;
constexpr size_t TELEMETRY_IDENTITY_LEN = TELEMETRY_IDENTITY_UUID + TELEMETRY_UUID_LEN;  // 29
