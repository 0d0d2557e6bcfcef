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

// One record of a text image, decoded.
enum class image_record_kind : uint8_t {
  data,   // `count` bytes at `data` for `address` (plus the HEX base)
  base,   // a HEX extended address: the base for the data records after it
  count,  // an S-record count: `address` data records came before
  end,    // the end record
  skip,   // a header or start address
};

struct image_record {
  uint8_t bytes[5 + 255];  // the record's bytes, decoded from hex
  image_record_kind kind;
  uint32_t address;
  const uint8_t* data;
  size_t count;
};

// Decode one line (without its line end) into a record: syntax, record
// type and checksum; the problem, or none.
layout_problem image_hex_record(const uint8_t* line, size_t length, image_record* record);
layout_problem image_srec_record(const uint8_t* line, size_t length, image_record* record);

// Each walker returns false with sink->fault filled in when it refuses the
// file, or when the sink refused a piece.
bool image_walk_elf(const uint8_t* file, size_t size, image_sink* sink);
bool image_walk_text(const uint8_t* text, size_t size, image_sink* sink,
                     layout_problem (*decode)(const uint8_t*, size_t, image_record*));

// Splits a text into lines as tools and editors leave them: a UTF-8 byte
// order mark before the first, each ended by LF, CR LF or CR CR LF (the
// last may lack its end), trailing blanks and tabs dropped. A blank line
// comes out empty.
struct image_lines {
  const uint8_t* text;
  size_t size;
  size_t at = 0;
  unsigned long number = 0;

  // The next line and its length, false at the end of the text.
  bool next(const uint8_t** line, size_t* length);
};

// Whether a file starts with the ELF magic, 7F "ELF".
inline bool image_elf_magic(const uint8_t* file, size_t size) {
  return size >= 4 && file[0] == 0x7F && file[1] == 'E' && file[2] == 'L' && file[3] == 'F';
}

// The text format a line starts like, after any blanks (which the format
// then refuses): ":" for Intel HEX, "S" and a digit for S-record; raw for
// anything else.
inline image_format image_record_start(const uint8_t* line, size_t length) {
  while (length > 0 && (line[0] == ' ' || line[0] == '\t')) ++line, --length;
  if (length > 0 && line[0] == ':') return image_format::hex;
  if (length > 1 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9') return image_format::srec;
  return image_format::raw;
}

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

// Whether `length` bytes from `address` stay inside the 32-bit space, in
// 32-bit arithmetic (cheap on the board).
inline bool image_fits(uint32_t address, uint32_t length) {
  return length == 0 || length - 1 <= 0xFFFFFFFFu - address;
}

inline bool image_fail(image_sink* sink, layout_problem problem, unsigned long line) {
  sink->fault->problem = problem;
  sink->fault->line = line;
  return false;
}
