// Intel HEX: ":" count, 16-bit offset, type, data, checksum, one record a
// line. Data records (00) go to the base address of the last extended
// segment (02) or extended linear (04) record plus their offset; start
// address records (03, 05) are ignored; the end-of-file record (01) is
// required and last.
#include "image_walk.h"

namespace {

constexpr size_t MAX_BYTES = 5 + 255;  // count, offset, type, data, checksum

struct hex_record {
  uint8_t bytes[MAX_BYTES];
  size_t count;  // data bytes
  uint8_t type;
  uint16_t offset;
  const uint8_t* data;
};

// Syntax and checksum of one line; the problem, or none.
layout_problem decode(const uint8_t* line, size_t length, hex_record* r) {
  if (length < 11 || line[0] != ':' || (length - 1) % 2 != 0 || (length - 1) / 2 > MAX_BYTES)
    return layout_problem::bad_record;
  const size_t n = (length - 1) / 2;
  if (!image_hex_bytes(line + 1, n, r->bytes) || r->bytes[0] + 5u != n)
    return layout_problem::bad_record;
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += r->bytes[i];
  if ((sum & 0xFF) != 0) return layout_problem::bad_checksum;
  r->count = r->bytes[0];
  r->offset = static_cast<uint16_t>(r->bytes[1] << 8 | r->bytes[2]);
  r->type = r->bytes[3];
  r->data = r->bytes + 4;
  // Each record type other than data has its fixed size.
  static const signed char sizes[] = {-1, 0, 2, 4, 2, 4};
  if (r->type >= sizeof sizes) return layout_problem::bad_record_type;
  if (sizes[r->type] >= 0 && r->count != static_cast<size_t>(sizes[r->type]))
    return layout_problem::bad_record;
  return layout_problem::none;
}

}  // namespace

bool image_hex_line_ok(const uint8_t* line, size_t length) {
  hex_record r;
  return decode(line, length, &r) == layout_problem::none;
}

bool image_walk_hex(const uint8_t* text, size_t size, image_sink* sink) {
  image_lines lines{text, size};
  const uint8_t* line;
  size_t length;
  uint32_t base = 0;
  bool ended = false;
  while (lines.next(&line, &length)) {
    if (ended) {
      if (length != 0) return image_fail(sink, layout_problem::after_end, lines.number);
      continue;
    }
    hex_record r;
    const layout_problem p = decode(line, length, &r);
    if (p != layout_problem::none) return image_fail(sink, p, lines.number);
    switch (r.type) {
      case 0: {
        const uint64_t address = static_cast<uint64_t>(base) + r.offset;
        if (address + r.count > 0x100000000ull)
          return image_fail(sink, layout_problem::past_4gib, lines.number);
        if (r.count > 0 &&
            !sink->take(sink, static_cast<uint32_t>(address), r.data, r.count, lines.number))
          return false;
        break;
      }
      case 1:
        ended = true;
        break;
      case 2:
        base = static_cast<uint32_t>(r.data[0] << 8 | r.data[1]) << 4;
        break;
      case 4:
        base = static_cast<uint32_t>(r.data[0] << 8 | r.data[1]) << 16;
        break;
      default:  // start addresses
        break;
    }
  }
  if (!ended) return image_fail(sink, layout_problem::no_end, lines.number);
  return true;
}
