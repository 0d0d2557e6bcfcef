// What is known of each sending unit. A unit is known by its identity
// (serial number and UUID) once its identity datagram has arrived from its
// address, and by the address until then: an address whose identity changes
// starts a new unit, and the same identity from a new address stays one
// unit. Memory grows with the units seen, up to a limit; units silent for
// long are forgotten.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "telemetry_decode.h"

constexpr size_t UNITS_DEFAULT_MAX = 10000;
constexpr size_t UNITS_LIMIT = 1000000;

// The latest status and version of a unit.
struct unit_readings {
  bool has_status, has_version;
  uint64_t status_ms;           // when the status arrived
  telemetry_record status, version;
};

struct unit_record {
  uint32_t address;             // the address it was last heard from
  bool at_address;              // still the unit behind that address
  bool has_identity;
  uint8_t serial[TELEMETRY_SERIAL_LEN];  // zero-padded
  uint8_t serial_len;
  uint8_t uuid[TELEMETRY_UUID_LEN];
  unit_readings now;
  // Since the address's last identity datagram: what the readings were
  // before, and which of them arrived since. A new identity takes those.
  unit_readings before;
  bool since_status, since_version;
  uint64_t seen_ms;             // last good datagram, on the table's clock
  uint32_t seen_s, seen_us;     // the same, wall-clock time
  uint64_t identity_ms;         // its last identity datagram, on both clocks:
  uint32_t identity_s, identity_us;  // all it sent since may be another's
  bool stale;                   // marked by the caller
  bool malformed_reported;      // a bad datagram of this unit was said once
};

// What a unit shows and what survives a restart: its identity, address,
// latest readings and when it was last heard from (wall-clock time).
struct unit_view {
  uint32_t address;
  uint32_t seen_s, seen_us;
  bool has_identity, has_status, has_version, battery_valid, charging_valid;
  uint8_t serial_len;
  uint8_t serial[TELEMETRY_SERIAL_LEN];
  uint8_t uuid[TELEMETRY_UUID_LEN];
  uint8_t battery, charging, major, minor;
  uint16_t patch;
};

struct unit_table {
  unit_record** units;          // in order of arrival
  unit_record** by_address;     // units at their address, by address
  unit_record** by_identity;    // identified units, by serial and UUID
  size_t count, identified, addressed, capacity;
  size_t max;
  uint64_t dropped;             // datagrams of units beyond max
};

// An empty table for at most `max` units.
void units_init(unit_table* table, size_t max);
void units_free(unit_table* table);

// The unit behind `address`; nullptr when none is.
unit_record* units_find(const unit_table* table, uint32_t address);

// The unit behind `address`, added when new; nullptr when the table is full
// (counted in `dropped`) or memory ran out.
unit_record* units_at(unit_table* table, uint32_t address, uint64_t now_ms);

// Keeps a decoded datagram of the unit behind `address`, returning the unit
// it now belongs to (a new identity is a new unit; nullptr as units_at). A
// unit exists only once a good datagram came from it; a known identity from
// a new address moves there, also when the table is full.
unit_record* units_update(unit_table* table, uint32_t address, const telemetry_record* record,
                          uint64_t now_ms, uint32_t seconds, uint32_t microseconds);

// Removes the units silent since before `oldest_ms`; returns how many.
size_t units_forget(unit_table* table, uint64_t oldest_ms);

void units_view(const unit_record* unit, unit_view* out);

// Puts back a unit kept from an earlier run, last heard from at `seen_ms` on
// the table's clock; nullptr when the table is full or already has its
// identity or address (the first one stays).
unit_record* units_restore(unit_table* table, const unit_view* view, uint64_t seen_ms);
