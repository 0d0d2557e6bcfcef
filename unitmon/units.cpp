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

// The unit that an identity datagram from u's address names.
unit_record* identify(unit_table* t, unit_record* u, const telemetry_record* r, uint64_t now_ms) {
  uint8_t serial[TELEMETRY_SERIAL_LEN] = {};
  memcpy(serial, r->serial, r->serial_len);
  if (u->has_identity && compare_identity(u, serial, r->uuid) == 0) {
    u->since_status = u->since_version = false;
    return u;
  }
  const size_t at = identity_position(t, serial, r->uuid);
  unit_record* known = at < t->identified && compare_identity(t->by_identity[at], serial, r->uuid) == 0
                           ? t->by_identity[at] : nullptr;
  unit_record* target = known;
  if (target == nullptr && !u->has_identity) {
    target = u;
  } else if (target == nullptr) {
    target = add_unit(t);
    if (target == nullptr) return nullptr;
  }
  if (target != known) {
    memcpy(target->serial, serial, sizeof serial);
    target->serial_len = r->serial_len;
    memcpy(target->uuid, r->uuid, TELEMETRY_UUID_LEN);
    target->has_identity = true;
    insert_at(t->by_identity, &t->identified, identity_position(t, serial, r->uuid), target);
  }
  if (target != u) {
    move_recent_readings(u, target);
    const uint32_t address = u->address;
    if (u->has_identity) {
      unindex_address(t, u);       // another unit behind its address now
    } else {
      remove_unit(t, u);           // it was this unit all along
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

unit_record* units_at(unit_table* table, uint32_t address, uint64_t now_ms) {
  const size_t at = address_position(table, address);
  if (at < table->addressed && table->by_address[at]->address == address) return table->by_address[at];
  unit_record* u = add_unit(table);
  if (u == nullptr) return nullptr;
  u->address = address;
  u->seen_ms = now_ms;
  index_address(table, u);
  return u;
}

unit_record* units_update(unit_table* table, uint32_t address, const telemetry_record* r,
                          uint64_t now_ms, uint32_t seconds, uint32_t microseconds) {
  unit_record* u = units_at(table, address, now_ms);
  if (u == nullptr) return nullptr;
  if (r->type == TELEMETRY_IDENTITY) {
    u = identify(table, u, r, now_ms);
    if (u == nullptr) return nullptr;
    u->identity_ms = now_ms;
    u->identity_s = seconds;
    u->identity_us = microseconds;
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
