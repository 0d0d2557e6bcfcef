// The unit table kept across restarts (--state FILE): the identity,
// address, latest readings and last-seen time of every unit, in a file
// replaced whole (a temporary file beside it, then a rename), so that a
// stop at any moment leaves either the old file or the new one.
//
// Layout, big-endian: "UNITMONS", format 1 (4 bytes), the unit count (4),
// the FNV-1a checksum of the records (4), then one 48-byte record per unit:
// address, seen seconds, seen microseconds (4 each), flags (identity,
// status, version, battery valid, charging valid from bit 0), serial
// length, serial (10), UUID (16), battery, charging, major, minor, patch
// (2), two zero bytes.
#pragma once

#include <stddef.h>

#include "units.h"

enum state_result {
  STATE_LOADED,
  STATE_MISSING,     // no file: an empty table
  STATE_UNUSABLE,    // not a regular file, or unreadable: left alone
  STATE_MOVED,       // damaged, truncated, oversized or foreign: moved aside
  STATE_NOT_MOVED,   // the same, but it could not be moved
};

struct state_contents {
  unit_view* units;  // malloc'ed; the caller frees it
  size_t count;
  const char* reason;   // what was wrong with the file
  int error;            // errno of what failed, or 0
  char aside[4096];     // where a damaged file went
};

state_result state_load(const char* path, state_contents* out);

// 0 when written, otherwise the errno of what failed.
int state_save(const char* path, const unit_view* units, size_t count);
