// The one spelling of bytes from the network in unitmon's exposition and
// JSON: serial numbers escaped, UUIDs in hexadecimal.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "telemetry_wire.h"

// Label value and JSON string escape: backslash, quote and
// newline as \\, \" and \n; bytes from 0x80 up as the characters U+0080 to
// U+00FF, and other control bytes as their Unicode control pictures (U+2400
// up, U+2421 for 0x7F), so the text is always valid UTF-8 and valid in both.
// `out` holds 3 * len + 1 bytes.
void text_escape(const uint8_t* bytes, size_t len, char* out);

// The UUID as 32 upper-case hexadecimal digits, as unitctl -u shows it.
// `out` holds 33 bytes.
void text_uuid(const uint8_t* uuid, char* out);
