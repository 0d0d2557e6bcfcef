// The fleet at a glance for a browser (GET /): one HTML page, readable
// without scripts, one table row per unit. Silent units come first, the
// longest silent at the top, then the others by battery, lowest first.
// Every byte that came from a unit is escaped for HTML.
#pragma once

#include <stdint.h>

#include "metrics.h"
#include "snapshot.h"

struct fleet_page_info {
  uint64_t now_ms;         // now, wall clock, as the units' last contact
  uint32_t started_s;      // when this unitmon started, wall clock
  unsigned long stale_s;   // silent for longer: the row is marked
  unsigned refresh_s;      // the page reloads itself after this (0: never)
};

void fleet_page_render(text_buffer* out, const fleet_snapshot* fleet, const fleet_page_info* info);

// Text of unit bytes for HTML: & < > " ' as character references, bytes
// from 0x80 up as the characters U+0080 to U+00FF and control bytes as
// their control pictures (as in the exposition). `out` holds 8 * len + 1.
void fleet_page_escape(const uint8_t* bytes, size_t len, char* out);
