#include "units.h"

#include <string.h>

unit_record* units_find_or_add(unit_table* table, uint32_t address) {
  for (size_t i = 0; i < table->count; ++i) {
    if (table->units[i].address == address) return &table->units[i];
  }
  if (table->count == UNITS_MAX) {
    ++table->untracked;
    return nullptr;
  }
  unit_record* unit = &table->units[table->count++];
  memset(unit, 0, sizeof *unit);
  unit->address = address;
  return unit;
}

void units_update(unit_record* unit, const telemetry_record* record, uint64_t now_ms) {
  switch (record->type) {
    case TELEMETRY_STATUS:
      unit->status = *record;
      unit->has_status = true;
      unit->status_ms = now_ms;
      break;
    case TELEMETRY_VERSION:
      unit->version = *record;
      unit->has_version = true;
      break;
    case TELEMETRY_IDENTITY:
      unit->identity = *record;
      unit->has_identity = true;
      break;
    default:
      break;
  }
}
