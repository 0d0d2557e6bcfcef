// The Prometheus text exposition (format 0.0.4) of what unitmon knows: one
// set of samples per unit, labelled by serial number and UUID once known
// and by address before, and the listener's own counters.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "units.h"

struct listener_counts {
  uint64_t received[3];  // good datagrams by type: status, version, identity
  uint64_t malformed;
  uint64_t forgotten;    // units that left the table after --forget
};

// A growing text; `failed` once memory ran out (the text is then cut).
struct text_buffer {
  char* data;
  size_t len, capacity;
  bool failed;
};

void text_append(text_buffer* b, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Label value escape: backslash, quote and newline as \\, \" and \n; bytes
// from 0x80 up as the characters U+0080 to U+00FF, and other control bytes
// as their Unicode control pictures (U+2400 up, U+2421 for 0x7F), so the
// text is always valid UTF-8. `out` holds 3 * len + 1 bytes.
void metrics_escape_label(const uint8_t* bytes, size_t len, char* out);

// The whole exposition, with the process metrics that Linux gives.
void metrics_render(text_buffer* out, const unit_table* table, const listener_counts* counts);
