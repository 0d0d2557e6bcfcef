// What is known of each sending unit, by source address, in a table of fixed
// size. When it is full, datagrams of further units are still decoded and
// reported as JSON, but those units are not kept (the table says how many).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "telemetry_decode.h"

constexpr size_t UNITS_MAX = 1024;

struct unit_record {
  uint32_t address;
  bool has_status, has_version, has_identity;
  bool malformed_reported;     // a bad datagram of this unit was reported once
  uint64_t status_ms;          // when the last status datagram arrived
  telemetry_record status, version, identity;
};

struct unit_table {
  unit_record units[UNITS_MAX];
  size_t count;
  uint32_t untracked;          // datagrams from units that found the table full
};

// The unit's record, added when new; nullptr when the table is full.
unit_record* units_find_or_add(unit_table* table, uint32_t address);

// Keeps a decoded datagram in the unit's record.
void units_update(unit_record* unit, const telemetry_record* record, uint64_t now_ms);
