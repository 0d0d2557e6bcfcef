#include "snapshot.h"

#include <stdlib.h>

bool snapshot_take(fleet_snapshot* out, const unit_table* table, const listener_counts* counts) {
  out->units = nullptr;
  if (table->count != 0) {
    out->units = static_cast<unit_view*>(malloc(table->count * sizeof *out->units));
    if (out->units == nullptr) return false;
  }
  for (size_t i = 0; i < table->count; ++i) units_view(table->units[i], &out->units[i]);
  out->count = table->count;
  out->max = table->max;
  out->dropped = table->dropped;
  out->counts = *counts;
  return true;
}

void snapshot_free(fleet_snapshot* snapshot) {
  free(snapshot->units);
  snapshot->units = nullptr;
  snapshot->count = 0;
}
