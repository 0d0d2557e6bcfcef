// How unitmon shows what it received: one JSON object per datagram, or one
// row per unit. Bytes that came off the network are escaped before they
// reach standard output: nothing received can end a JSON string early or
// send a control sequence to a terminal.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "telemetry_decode.h"
#include "units.h"

// Dotted-quad text of a host-value IPv4 address; buffer of 16 bytes.
void report_address(uint32_t address, char* out);

// Table escape: printable ASCII as is, every other byte and the backslash as
// \xNN. `out` holds 4 * len + 1 bytes.
void report_escape_text(const uint8_t* bytes, size_t len, char* out);

// One line of JSON for a decoded datagram, with its wall-clock time.
void report_json(FILE* f, uint32_t source, uint32_t seconds, uint32_t microseconds,
                 const telemetry_record* record);

// One line of JSON when a unit falls silent: its address, identity when
// known, and when it was last heard from.
void report_json_stale(FILE* f, uint32_t seconds, uint32_t microseconds, const unit_record* unit);

// The column headings and one row per unit, 80 columns wide for a usual
// unit (the UUID shows its first 8 digits); age is now_ms minus the time of
// the unit's last status datagram, and a stale unit says so.
void report_header(FILE* f);
void report_row(FILE* f, const unit_record* unit, uint64_t now_ms);
