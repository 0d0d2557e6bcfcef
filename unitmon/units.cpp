#include "units.h"

#include <stdlib.h>
#include <string.h>

namespace {

int compare_identity(const unit_record* u, const uint8_t* serial, const uint8_t* uuid) {
  const int c = memcmp(u->serial, serial, TELEMETRY_SERIAL_LEN);
  return c != 0 ? c : memcmp(u->uuid, uuid, TELEMETRY_UUID_LEN);
}

// Lower bounds in the sorted indexes.
size_t address_position(const unit_table* t, uint32_t address) {
  size_t lo = 0, hi = t->addressed;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (t->by_address[mid]->address < address) lo = mid + 1; else hi = mid;
  }
  return lo;
}

size_t identity_position(const unit_table* t, const uint8_t* serial, const uint8_t* uuid) {
  size_t lo = 0, hi = t->identified;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (compare_identity(t->by_identity[mid], serial, uuid) < 0) lo = mid + 1; else hi = mid;
  }
  return lo;
}

void insert_at(unit_record** list, size_t* n, size_t at, unit_record* u) {
  memmove(list + at + 1, list + at, (*n - at) * sizeof *list);
  list[at] = u;
  ++*n;
}

void remove_at(unit_record** list, size_t* n, size_t at) {
  memmove(list + at, list + at + 1, (*n - at - 1) * sizeof *list);
  --*n;
}

void index_address(unit_table* t, unit_record* u) {
  insert_at(t->by_address, &t->addressed, address_position(t, u->address), u);
  u->at_address = true;
}

void unindex_address(unit_table* t, unit_record* u) {
  if (u->at_address) remove_at(t->by_address, &t->addressed, address_position(t, u->address));
  u->at_address = false;
}

void unindex(unit_table* t, unit_record* u) {
  unindex_address(t, u);
  if (u->has_identity) remove_at(t->by_identity, &t->identified, identity_position(t, u->serial, u->uuid));
}

// A new, empty unit in the table; nullptr when full or out of memory.
unit_record* add_unit(unit_table* t) {
  if (t->count == t->max) {
    ++t->dropped;
    return nullptr;
  }
  if (t->count == t->capacity) {
    const size_t cap = t->capacity == 0 ? 64 : t->capacity * 2;
    unit_record*** lists[] = {&t->units, &t->by_address, &t->by_identity};
    for (unit_record*** list : lists) {
      void* grown = realloc(*list, cap * sizeof **list);
      if (grown == nullptr) return nullptr;
      *list = static_cast<unit_record**>(grown);
    }
    t->capacity = cap;
  }
  unit_record* u = static_cast<unit_record*>(calloc(1, sizeof *u));
  if (u != nullptr) t->units[t->count++] = u;
  return u;
}

// The readings that arrived since the address's last identity datagram go
// from one unit to another; the first gets back what it had before them.
void move_recent_readings(unit_record* from, unit_record* to) {
  if (from->since_status) {
    to->now.status = from->now.status;
    to->now.status_ms = from->now.status_ms;
    to->now.has_status = true;
    from->now.status = from->before.status;
    from->now.status_ms = from->before.status_ms;
    from->now.has_status = from->before.has_status;
  }
  if (from->since_status || from->since_version) {
    from->seen_ms = from->identity_ms;
    from->seen_s = from->identity_s;
    from->seen_us = from->identity_us;
  }
  if (from->since_version) {
    to->now.version = from->now.version;
    to->now.has_version = true;
    from->now.version = from->before.version;
    from->now.has_version = from->before.has_version;
  }
  from->since_status = from->since_version = false;
}

void remove_unit(unit_table* t, unit_record* u) {
  unindex(t, u);
  for (size_t i = 0; i < t->count; ++i) {
    if (t->units[i] == u) {
      remove_at(t->units, &t->count, i);
      break;
    }
  }
  free(u);
}

// The unit that an identity datagram from `address` names; u is the unit
// behind that address, nullptr when none is. A known identity moves to the
// address without needing room in the table.
unit_record* identify(unit_table* t, unit_record* u, uint32_t address, const telemetry_record* r,
                      uint64_t now_ms) {
  uint8_t serial[TELEMETRY_SERIAL_LEN] = {};
  memcpy(serial, r->serial, r->serial_len);
  if (u != nullptr && u->has_identity && compare_identity(u, serial, r->uuid) == 0) {
    u->since_status = u->since_version = false;
    return u;
  }
  const size_t at = identity_position(t, serial, r->uuid);
  unit_record* known = at < t->identified && compare_identity(t->by_identity[at], serial, r->uuid) == 0
                           ? t->by_identity[at] : nullptr;
  unit_record* target = known;
  if (target == nullptr && u != nullptr && !u->has_identity) {
    target = u;
  } else if (target == nullptr) {
    target = add_unit(t);
    if (target == nullptr) return nullptr;
    if (u == nullptr) {              // a new unit at a new address
      target->address = address;
      index_address(t, target);
    }
  }
  if (target != known) {
    memcpy(target->serial, serial, sizeof serial);
    target->serial_len = r->serial_len;
    memcpy(target->uuid, r->uuid, TELEMETRY_UUID_LEN);
    target->has_identity = true;
    insert_at(t->by_identity, &t->identified, identity_position(t, serial, r->uuid), target);
  }
  // Without u, a known unit came from an address that nobody holds: it moved.
  if (target != u && (u != nullptr || target == known)) {
    if (u != nullptr) {
      move_recent_readings(u, target);
      if (u->has_identity) {
        unindex_address(t, u);     // another unit behind its address now
      } else {
        remove_unit(t, u);         // it was this unit all along
      }
    }
    unindex_address(t, target);
    target->address = address;
    target->seen_ms = now_ms;
    index_address(t, target);
  }
  target->since_status = target->since_version = false;
  return target;
}

}  // namespace

void units_init(unit_table* table, size_t max) {
  memset(table, 0, sizeof *table);
  table->max = max;
}

void units_free(unit_table* table) {
  for (size_t i = 0; i < table->count; ++i) free(table->units[i]);
  free(table->units);
  free(table->by_address);
  free(table->by_identity);
  memset(table, 0, sizeof *table);
}

unit_record* units_find(const unit_table* table, uint32_t address) {
  const size_t at = address_position(table, address);
  return at < table->addressed && table->by_address[at]->address == address ? table->by_address[at] : nullptr;
}

unit_record* units_at(unit_table* table, uint32_t address, uint64_t now_ms) {
  unit_record* known = units_find(table, address);
  if (known != nullptr) return known;
  unit_record* u = add_unit(table);
  if (u == nullptr) return nullptr;
  u->address = address;
  u->seen_ms = now_ms;
  index_address(table, u);
  return u;
}

unit_record* units_update(unit_table* table, uint32_t address, const telemetry_record* r,
                          uint64_t now_ms, uint32_t seconds, uint32_t microseconds) {
  unit_record* u = nullptr;
  if (r->type == TELEMETRY_IDENTITY) {
    u = identify(table, units_find(table, address), address, r, now_ms);
    if (u == nullptr) return nullptr;
    u->identity_ms = now_ms;
    u->identity_s = seconds;
    u->identity_us = microseconds;
  } else if ((u = units_at(table, address, now_ms)) == nullptr) {
    return nullptr;
  } else if (r->type == TELEMETRY_STATUS) {
    if (!u->since_status) {
      u->before.status = u->now.status;
      u->before.has_status = u->now.has_status;
      u->before.status_ms = u->now.status_ms;
    }
    u->since_status = true;
    u->now.status = *r;
    u->now.has_status = true;
    u->now.status_ms = now_ms;
  } else if (r->type == TELEMETRY_VERSION) {
    if (!u->since_version) {
      u->before.version = u->now.version;
      u->before.has_version = u->now.has_version;
    }
    u->since_version = true;
    u->now.version = *r;
    u->now.has_version = true;
  }
  u->seen_ms = now_ms;
  u->seen_s = seconds;
  u->seen_us = microseconds;
  u->stale = false;
  return u;
}

size_t units_forget(unit_table* table, uint64_t oldest_ms) {
  size_t kept = 0, gone = 0;
  for (size_t i = 0; i < table->count; ++i) {
    unit_record* u = table->units[i];
    if (u->seen_ms < oldest_ms) {
      unindex(table, u);
      free(u);
      ++gone;
    } else {
      table->units[kept++] = u;
    }
  }
  table->count = kept;
  return gone;
}

void units_view(const unit_record* u, unit_view* v) {
  memset(v, 0, sizeof *v);
  v->address = u->address;
  v->seen_s = u->seen_s;
  v->seen_us = u->seen_us;
  v->has_identity = u->has_identity;
  v->serial_len = u->serial_len;
  memcpy(v->serial, u->serial, sizeof v->serial);
  memcpy(v->uuid, u->uuid, sizeof v->uuid);
  const telemetry_record& s = u->now.status;
  v->has_status = u->now.has_status;
  v->battery_valid = s.battery_valid;
  v->charging_valid = s.charging_valid;
  v->battery = s.battery;
  v->charging = s.charging;
  v->has_version = u->now.has_version;
  v->major = u->now.version.major;
  v->minor = u->now.version.minor;
  v->patch = u->now.version.patch;
}

unit_record* units_restore(unit_table* table, const unit_view* v, uint64_t seen_ms) {
  if (units_find(table, v->address) != nullptr) return nullptr;
  if (v->has_identity) {
    const size_t at = identity_position(table, v->serial, v->uuid);
    if (at < table->identified && compare_identity(table->by_identity[at], v->serial, v->uuid) == 0) return nullptr;
  }
  unit_record* u = add_unit(table);
  if (u == nullptr) return nullptr;
  u->address = v->address;
  index_address(table, u);
  if (v->has_identity) {
    u->has_identity = true;
    u->serial_len = v->serial_len;
    memcpy(u->serial, v->serial, sizeof u->serial);
    memcpy(u->uuid, v->uuid, sizeof u->uuid);
    insert_at(table->by_identity, &table->identified, identity_position(table, u->serial, u->uuid), u);
  }
  u->now.has_status = v->has_status;
  u->now.status.type = TELEMETRY_STATUS;
  u->now.status.battery = v->battery;
  u->now.status.charging = v->charging;
  u->now.status.battery_valid = v->battery_valid;
  u->now.status.charging_valid = v->charging_valid;
  u->now.status_ms = seen_ms;
  u->now.has_version = v->has_version;
  u->now.version.type = TELEMETRY_VERSION;
  u->now.version.major = v->major;
  u->now.version.minor = v->minor;
  u->now.version.patch = v->patch;
  u->before = u->now;
  u->seen_ms = u->identity_ms = seen_ms;
  u->seen_s = u->identity_s = v->seen_s;
  u->seen_us = u->identity_us = v->seen_us;
  return u;
}
