// Inside the image reader: each format's walker hands every piece of data
// it finds, in file order, to a sink; the reader builds the runs from them.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "image_format.h"

struct image_sink {
  // Takes `length` bytes for `address` (address + length <= 2^32), found on
  // line (or in segment) `line`; returns false after filling in *fault.
  bool (*take)(image_sink* sink, uint32_t address, const uint8_t* bytes, size_t length,
               unsigned long line);
  layout_fault* fault;
};

// Each walker returns false with sink->fault filled in when it refuses the
// file, or when the sink refused a piece.
bool image_walk_elf(const uint8_t* file, size_t size, image_sink* sink);
bool image_walk_hex(const uint8_t* text, size_t size, image_sink* sink);
bool image_walk_srec(const uint8_t* text, size_t size, image_sink* sink);

// Whether `line` (without its line end) is one well-formed record.
bool image_hex_line_ok(const uint8_t* line, size_t length);
bool image_srec_line_ok(const uint8_t* line, size_t length);

// Splits a text into lines ended by LF or CR LF; the last may lack its end.
struct image_lines {
  const uint8_t* text;
  size_t size;
  size_t at = 0;
  unsigned long number = 0;

  bool next(const uint8_t** line, size_t* length) {
    if (at >= size) return false;
    const uint8_t* start = text + at;
    const void* lf = memchr(start, '\n', size - at);
    size_t n = lf ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - start) : size - at;
    at += lf ? n + 1 : n;
    if (lf && n > 0 && start[n - 1] == '\r') --n;
    ++number;
    *line = start;
    *length = n;
    return true;
  }
};

// Decodes the pairs of hex digits of text[0..2*count) into out; false on a
// character that is not a hex digit.
inline bool image_hex_bytes(const uint8_t* text, size_t count, uint8_t* out) {
  for (size_t i = 0; i < count; ++i) {
    unsigned value = 0;
    for (int half = 0; half < 2; ++half) {
      const uint8_t c = text[2 * i + half];
      unsigned digit;
      if (c >= '0' && c <= '9') digit = c - '0';
      else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      else return false;
      value = value << 4 | digit;
    }
    out[i] = static_cast<uint8_t>(value);
  }
  return true;
}

inline bool image_fail(image_sink* sink, layout_problem problem, unsigned long line) {
  sink->fault->problem = problem;
  sink->fault->line = line;
  return false;
}
