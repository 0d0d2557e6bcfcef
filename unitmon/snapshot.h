// A copy of what the listener knows, for the scrapes, the state file and
// any other reader outside the receiving thread. The receiving thread alone
// changes the unit table; a reader takes the table's lock only for the
// copy (a few milliseconds at 100,000 units) and works on the copy after,
// while reception goes on.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "units.h"

struct listener_counts {
  uint64_t received[3];  // good datagrams by type: status, version, identity
  uint64_t malformed;
  uint64_t forgotten;    // units that left the table after --forget
  uint64_t receive_drops;         // dropped by the kernel on the socket
  uint64_t receive_buffer_bytes;  // the socket's receive buffer as granted
};

struct fleet_snapshot {
  unit_view* units;      // in order of arrival
  size_t count;
  size_t max;            // --max-units
  uint64_t dropped;      // datagrams of units beyond max
  listener_counts counts;
};

// Copies the table and counts; false when memory ran out (nothing to free).
bool snapshot_take(fleet_snapshot* out, const unit_table* table, const listener_counts* counts);
void snapshot_free(fleet_snapshot* snapshot);

// Fills `out` with a snapshot taken under the owner's lock; false when none
// could be taken. Safe to call from any thread while reception goes on.
typedef bool (*snapshot_source)(void* context, fleet_snapshot* out);
