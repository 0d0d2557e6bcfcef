// The Prometheus text exposition (format 0.0.4) of what unitmon knows: one
// set of samples per unit, labelled by serial number and UUID once known
// and by address before, and the listener's own counters.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "snapshot.h"

// A growing text; `failed` once memory ran out (the text is then cut).
struct text_buffer {
  char* data;
  size_t len, capacity;
  bool failed;
};

void text_append(text_buffer* b, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The whole exposition, with the process metrics that Linux gives.
void metrics_render(text_buffer* out, const fleet_snapshot* snapshot);
